// Shared by the signal program and decoder tests: descriptions made in a
// line, a frame over a payload of exactly 64 bytes (so that a read past it
// is caught by the sanitizers), and a bit-by-bit reading of a signal in the
// databases' numbering to check the program's loads and shifts against.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bus/signal_database.h"
#include "bus/signal_decoder.h"

namespace tolvar::bus::testing {

constexpr auto kLittle = SignalByteOrder::kLittleEndian;
constexpr auto kBig = SignalByteOrder::kBigEndian;

inline SignalDescription signal(std::string name, uint32_t start, uint32_t length, SignalByteOrder order = kLittle,
                                SignalValueType type = SignalValueType::kUnsigned, double scale = 1.0,
                                double offset = 0.0) {
    SignalDescription s;
    s.name = std::move(name);
    s.start = start;
    s.length = length;
    s.byte_order = order;
    s.type = type;
    s.scale = scale;
    s.offset = offset;
    return s;
}

// `s` selected by `multiplexer` at raw values [low, high] of each pair.
inline SignalDescription muxed(SignalDescription s, std::string multiplexer,
                               std::vector<std::pair<int64_t, int64_t>> ranges) {
    s.multiplexer = std::move(multiplexer);
    for (const auto& [low, high] : ranges) {
        s.selector.push_back({static_cast<uint64_t>(low), static_cast<uint64_t>(high)});
    }
    return s;
}

inline MessageDescription message(std::string name, uint32_t id, uint32_t length,
                                  std::vector<SignalDescription> signals, bool extended = false, bool j1939 = false) {
    MessageDescription m;
    m.name = std::move(name);
    m.frame_id = id;
    m.length = length;
    m.signals = std::move(signals);
    m.extended = extended;
    m.j1939 = j1939;
    return m;
}

inline DecodeDescription database(std::vector<MessageDescription> messages, bool choices = false) {
    DecodeDescription d;
    d.databases.push_back(DatabaseDescription{std::move(messages), true, {}});
    d.choices = choices;
    return d;
}

// A payload of exactly 64 bytes on the heap: `bytes`, then `fill`.
class Payload {
public:
    explicit Payload(const std::vector<uint8_t>& bytes = {}, uint8_t fill = 0) : data_(new uint8_t[64]) {
        std::memset(data_.get(), fill, 64);
        if (!bytes.empty()) std::memcpy(data_.get(), bytes.data(), bytes.size() < 64 ? bytes.size() : 64);
    }
    uint8_t* data() const { return data_.get(); }

private:
    std::unique_ptr<uint8_t[]> data_;
};

inline CanFrameView frame(const Payload& payload, uint8_t length, uint32_t id = 0x100, uint16_t channel = 1,
                          uint8_t flags = 0, double timestamp = 1.5) {
    CanFrameView f;
    f.timestamp = timestamp;
    f.arbitration_id = id;
    f.flags = flags;
    f.channel = channel;
    f.length = length;
    f.payload = payload.data();
    return f;
}

// The signal's raw bits read one at a time: little-endian from its least
// significant bit upwards; big-endian from its most significant bit, going
// down a byte's bits and on from bit 0 to bit 7 of the next byte.
inline uint64_t bits_one_by_one(const uint8_t* p, uint32_t start, uint32_t length, SignalByteOrder order) {
    auto bit = [&](uint32_t i) { return uint64_t{static_cast<uint8_t>(p[i / 8] >> (i % 8)) & 1u}; };
    uint64_t value = 0;
    if (order == kLittle) {
        for (uint32_t k = 0; k < length; ++k) value |= bit(start + k) << k;
        return value;
    }
    uint32_t at = start;
    for (uint32_t k = 0; k < length; ++k) {
        value = value << 1 | bit(at);
        at = at % 8 == 0 ? at + 15 : at - 1;
    }
    return value;
}

}  // namespace tolvar::bus::testing
