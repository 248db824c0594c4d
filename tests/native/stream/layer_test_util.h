// Helpers for the container-layer tests: a stream that serves awkward read
// sizes, a stream that fails on request, log capture, and builders of layer
// bytes (header, LZSS bitstream with real back-references, CRC footer).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "log/log.h"
#include "stream/crc32.h"
#include "stream/memory_stream.h"
#include "stream/stream.h"

namespace tolvar::test {

using Bytes = std::vector<uint8_t>;

inline Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::unique_ptr<stream::MemoryStream> memory_of(const Bytes& bytes) {
    auto stream = std::make_unique<stream::MemoryStream>();
    if (!bytes.empty()) stream->write(bytes.data(), bytes.size());
    stream->seek(0, stream::kSeekSet);
    return stream;
}

inline Bytes read_all(stream::Stream& stream) {
    Bytes out;
    stream.seek(0, stream::kSeekSet);
    uint8_t piece[4096];
    for (;;) {
        const int64_t got = stream.read(piece, sizeof piece);
        if (got <= 0) break;
        out.insert(out.end(), piece, piece + got);
    }
    return out;
}

// Serves bytes in read sizes 1, 2, 3, ... up to 17 and round again (or always
// one byte), like a pipe or a raw file object would.
class AwkwardStream final : public stream::Stream {
public:
    explicit AwkwardStream(Bytes bytes, bool one_byte = false) : bytes_(std::move(bytes)), one_byte_(one_byte) {}
    int64_t read(void* buffer, uint64_t n) override {
        if (position_ >= bytes_.size() || n == 0) return 0;
        uint64_t count = one_byte_ ? 1 : (turn_++ % 17) + 1;
        count = std::min<uint64_t>({count, n, bytes_.size() - position_});
        std::memcpy(buffer, bytes_.data() + position_, count);
        position_ += count;
        return static_cast<int64_t>(count);
    }
    int64_t tell() override { return static_cast<int64_t>(position_); }
    int64_t seek(int64_t offset, int whence) override {
        int64_t base = whence == stream::kSeekSet ? 0 : whence == stream::kSeekCur ? static_cast<int64_t>(position_)
                       : whence == stream::kSeekEnd ? static_cast<int64_t>(bytes_.size()) : -1;
        if (base < 0 || base + offset < 0) return -1;
        position_ = static_cast<uint64_t>(base + offset);
        return static_cast<int64_t>(position_);
    }

private:
    Bytes bytes_;
    bool one_byte_;
    uint64_t position_ = 0;
    uint64_t turn_ = 0;
};

// A byte stream that fails reads at or after `fail_at` and refuses seeks
// from the end after `end_seeks` of them have succeeded.
class FailingStream final : public stream::Stream {
public:
    FailingStream(Bytes bytes, uint64_t fail_at, int end_seeks = 1 << 30)
        : bytes_(std::move(bytes)), fail_at_(fail_at), end_seeks_(end_seeks) {}
    int64_t read(void* buffer, uint64_t n) override {
        if (position_ >= fail_at_) return -1;
        uint64_t count = std::min<uint64_t>({n, fail_at_ - position_, bytes_.size() - std::min<uint64_t>(position_, bytes_.size())});
        std::memcpy(buffer, bytes_.data() + position_, count);
        position_ += count;
        return static_cast<int64_t>(count);
    }
    int64_t tell() override { return static_cast<int64_t>(position_); }
    int64_t seek(int64_t offset, int whence) override {
        int64_t base = 0;
        if (whence == stream::kSeekCur) base = static_cast<int64_t>(position_);
        if (whence == stream::kSeekEnd) {
            if (end_seeks_-- <= 0) return -1;
            base = static_cast<int64_t>(bytes_.size());
        }
        if (base + offset < 0) return -1;
        position_ = static_cast<uint64_t>(base + offset);
        return static_cast<int64_t>(position_);
    }

private:
    Bytes bytes_;
    uint64_t fail_at_;
    int end_seeks_;
    uint64_t position_ = 0;
};

// Collects the message text of every log line while it lives.
class LogCapture {
public:
    LogCapture() { log::set_output(log::kMessage, &lines_, &collect); }
    ~LogCapture() { log::reset_output(); }
    const std::vector<std::string>& lines() const { return lines_; }

private:
    static int collect(log::LogMessage* message, void* argument) {
        static_cast<std::vector<std::string>*>(argument)->emplace_back(message->message_start);
        return 0;
    }
    std::vector<std::string> lines_;
};

// Writes numbers most significant bit first; the last byte is zero-padded.
class BitWriter {
public:
    void write(uint32_t value, unsigned count) {
        for (unsigned i = count; i-- > 0;) {
            acc_ = static_cast<uint8_t>((acc_ << 1) | ((value >> i) & 1));
            if (++bits_ == 8) {
                out_.push_back(acc_);
                acc_ = 0;
                bits_ = 0;
            }
        }
    }
    void literal(uint8_t byte) {
        write(1, 1);
        write(byte, 8);
    }
    void reference(uint32_t distance, uint32_t length, unsigned window_bits, unsigned lookahead_bits) {
        write(0, 1);
        write(distance - 1, window_bits);
        write(length - 1, lookahead_bits);
    }
    Bytes finish() {
        Bytes out = out_;
        if (bits_ > 0) out.push_back(static_cast<uint8_t>(acc_ << (8 - bits_)));
        return out;
    }

private:
    Bytes out_;
    uint8_t acc_ = 0;
    unsigned bits_ = 0;
};

// Greedy LZSS over 3-byte hash chains, overlapping references included.
inline Bytes lzss_encode(const Bytes& data, unsigned window_bits, unsigned lookahead_bits) {
    const size_t window = size_t{1} << window_bits;
    const size_t max_length = size_t{1} << lookahead_bits;
    const size_t min_length = std::max<size_t>(3, (1 + window_bits + lookahead_bits) / 9 + 1);
    std::unordered_map<uint32_t, std::vector<size_t>> heads;
    auto key = [&](size_t at) { return uint32_t{data[at]} | (uint32_t{data[at + 1]} << 8) | (uint32_t{data[at + 2]} << 16); };
    auto remember = [&](size_t at) {
        if (at + 3 <= data.size()) heads[key(at)].push_back(at);
    };
    BitWriter out;
    size_t pos = 0;
    while (pos < data.size()) {
        size_t best = 0, best_distance = 0;
        const size_t limit = std::min(max_length, data.size() - pos);
        if (limit >= 3) {
            auto found = heads.find(key(pos));
            if (found != heads.end()) {
                const auto& chain = found->second;
                int tries = 0;
                for (size_t i = chain.size(); i-- > 0 && tries < 32; ++tries) {
                    const size_t distance = pos - chain[i];
                    if (distance > window) break;
                    size_t length = 0;
                    while (length < limit && data[chain[i] + length] == data[pos + length]) ++length;
                    if (length > best) {
                        best = length;
                        best_distance = distance;
                        if (length == limit) break;
                    }
                }
            }
        }
        if (best >= min_length) {
            out.reference(static_cast<uint32_t>(best_distance), static_cast<uint32_t>(best), window_bits, lookahead_bits);
            for (size_t at = pos; at < pos + best; ++at) remember(at);
            pos += best;
        } else {
            out.literal(data[pos]);
            remember(pos);
            ++pos;
        }
    }
    return out.finish();
}

inline Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

// Lines like a bus log: timestamps, identifiers, payload bytes.
inline Bytes log_like(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    unsigned ids[24];
    for (auto& id : ids) id = static_cast<unsigned>(rng() % 0x7FF);
    std::string text;
    double t = 0;
    char line[160];
    while (text.size() < n) {
        t += (rng() % 10000) / 1e6;
        unsigned b[8];
        for (auto& v : b) v = static_cast<unsigned>((rng() % 4) * 17);
        const unsigned id = ids[rng() % 24];
        const int len = std::snprintf(line, sizeof line,
                                      "%12.6f 1 %03X Rx d 8 %02X %02X %02X %02X %02X %02X %02X %02X Length = 240000 BitCount = 128\n",
                                      t, id, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
        text.append(line, static_cast<size_t>(len));
    }
    text.resize(n);
    return Bytes(text.begin(), text.end());
}

inline void put_u32_be(Bytes& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

inline Bytes layer_header(uint8_t type, uint32_t key_id = 0, uint8_t flag = 0, uint8_t footer = 0, uint8_t version = 1) {
    const char magic[] = "Generic File";
    Bytes out(magic, magic + 12);
    out.push_back(flag);
    out.push_back(footer);
    out.push_back(type);
    out.push_back(version);
    put_u32_be(out, key_id);
    return out;
}

struct CompressedSpec {
    uint32_t lookahead_word = 4;
    uint32_t window_word = 1u << 12;
    bool footer = true;
    int flag = -1;  // -1: equal to the footer flag
    uint8_t type = 34;
    uint8_t version = 1;
    bool inverted_crc = false;
};

inline Bytes compressed_layer(const Bytes& payload, const CompressedSpec& spec = {}) {
    const uint8_t footer = spec.footer ? 1 : 0;
    Bytes out = layer_header(spec.type, 0, spec.flag < 0 ? footer : static_cast<uint8_t>(spec.flag), footer, spec.version);
    put_u32_be(out, spec.lookahead_word);
    put_u32_be(out, spec.window_word);
    out.insert(out.end(), payload.begin(), payload.end());
    if (spec.footer) {
        uint32_t crc = stream::crc_update(stream::kCrcInitial, payload.data(), payload.size());
        if (spec.inverted_crc) crc = ~crc;
        put_u32_be(out, crc);
    }
    return out;
}

}  // namespace tolvar::test
