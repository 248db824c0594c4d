// A CAN database as plain values: messages, their signals with cantools' bit
// numbering, multiplexing and value tables, and which channels each database
// serves. What the host reads from a database object once per call and
// signal_program.h compiles; plain values that own their names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tolvar::bus {

enum class SignalByteOrder : uint8_t {
    kLittleEndian,  // Intel: `start` is the least significant bit, bit i being bit i % 8 of byte i / 8
    kBigEndian,     // Motorola: `start` is the most significant bit in the same numbering, the
                    // signal going on to bit 7 of the next byte after bit 0 of a byte
};

enum class SignalValueType : uint8_t {
    kUnsigned,
    kSigned,  // two's complement of `length` bits
    kFloat,   // IEEE 754 binary16, binary32 or binary64 (length 16, 32 or 64)
};

// Raw values of a multiplexer (inclusive), as 64 bits: two's complement for a
// signed multiplexer, and compared as the multiplexer is signed or not.
struct SelectorRange {
    uint64_t low = 0;
    uint64_t high = 0;
};

// One named raw value of a value table; the raw value as 64 bits, two's
// complement for a signed signal (a float signal's value is named when it is
// a whole number equal to it).
struct ValueName {
    uint64_t raw = 0;
    std::string name;
};

struct SignalDescription {
    std::string name;
    uint32_t start = 0;   // bit number as above
    uint32_t length = 0;  // 1 to 64 bits
    SignalByteOrder byte_order = SignalByteOrder::kLittleEndian;
    SignalValueType type = SignalValueType::kUnsigned;
    // Physical value = raw * scale + offset; left as the raw value where the
    // scale is 1 and the offset 0.
    double scale = 1.0;
    double offset = 0.0;
    // The signal whose raw value selects this one, by name (empty: none),
    // and the raw values that do. A signal with a multiplexer and no
    // selector values is never present.
    std::string multiplexer;
    std::vector<SelectorRange> selector;
    std::vector<ValueName> value_names;
    // Whether the signal is a column of its message's table; a signal that
    // is not is decoded only to select others.
    bool column = true;
};

struct MessageDescription {
    std::string name;
    uint32_t frame_id = 0;  // 11 bits, or 29 bits where extended
    bool extended = false;
    // Matched by parameter group number: priority and source address of the
    // frame's identifier ignored, and the destination address too where the
    // PDU format is below 240. Only extended frames match.
    bool j1939 = false;
    uint32_t length = 0;  // bytes, at most 64; bytes of a frame past it are ignored
    std::vector<SignalDescription> signals;
};

// The channel codes of CAN buses: "CAN n" is n.
constexpr unsigned kCanChannelCount = 256;

struct DatabaseDescription {
    std::vector<MessageDescription> messages;
    // The channel codes whose frames this database decodes; every CAN
    // channel where `every_channel` is set.
    bool every_channel = true;
    std::vector<uint16_t> channels;
};

struct DecodeDescription {
    std::vector<DatabaseDescription> databases;
    // Signals with a value table give the index of their value's name (see
    // SignalProgram::value_names) instead of the physical value.
    bool choices = false;
};

}  // namespace tolvar::bus
