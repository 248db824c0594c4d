// Test helpers for the MDF 4 block tests: a byte builder that lays out blocks
// (header, links, data fields) in a buffer and hands it over as a
// MemoryStream, builders of channels, channel groups, data groups and
// signal-data blocks on top of it, and a capture of the log lines written
// meanwhile.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "log/log.h"
#include "stream/memory_stream.h"

namespace tolvar::test {

// Little-endian data fields of a block, in file order.
class Fields {
public:
    Fields& u8(uint8_t v) { return put(&v, 1); }
    Fields& u16(uint16_t v) { return put(&v, 2); }
    Fields& i16(int16_t v) { return put(&v, 2); }
    Fields& u32(uint32_t v) { return put(&v, 4); }
    Fields& u64(uint64_t v) { return put(&v, 8); }
    Fields& f64(double v) { return put(&v, 8); }
    Fields& zeros(size_t n) {
        bytes.insert(bytes.end(), n, 0);
        return *this;
    }
    Fields& text(const std::string& s) { return put(s.data(), s.size()); }
    Fields& put(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
        return *this;
    }
    std::vector<uint8_t> bytes;
};

// An MDF 4 file under construction. Blocks are appended at the end (aligned
// to 8 bytes) or placed at a chosen offset; links can be patched afterwards,
// so chains and cycles are easy to lay out. A link value of 0 is absent.
class MdfBytes {
public:
    static constexpr uint64_t kAuto = ~uint64_t{0};

    // The 64-byte identification block at offset 0.
    MdfBytes& id(const char* file_id = "MDF     ", uint16_t unfinalised_flags = 0, uint16_t version = 410,
                 uint16_t custom_flags = 0) {
        grow(64);
        std::memcpy(&bytes[0], file_id, 8);
        std::memcpy(&bytes[8], "4.10    ", 8);
        std::memcpy(&bytes[16], "Tolvar  ", 8);
        std::memcpy(&bytes[28], &version, 2);
        std::memcpy(&bytes[60], &unfinalised_flags, 2);
        std::memcpy(&bytes[62], &custom_flags, 2);
        return *this;
    }

    // Writes a block at `at`: "##" + code, reserved zeros, length (the natural
    // one unless given), link count (the number of links unless given).
    uint64_t block_at(uint64_t at, const char* code, const std::vector<uint64_t>& links,
                      const std::vector<uint8_t>& data = {}, uint64_t length = kAuto,
                      uint64_t link_count = kAuto) {
        const uint64_t natural = 24 + 8 * links.size() + data.size();
        grow(at + natural);
        uint8_t* p = &bytes[at];
        std::memcpy(p, "##", 2);
        std::memcpy(p + 2, code, 2);
        std::memset(p + 4, 0, 4);
        const uint64_t len = length == kAuto ? natural : length;
        const uint64_t count = link_count == kAuto ? links.size() : link_count;
        std::memcpy(p + 8, &len, 8);
        std::memcpy(p + 16, &count, 8);
        for (size_t i = 0; i < links.size(); ++i) std::memcpy(p + 24 + 8 * i, &links[i], 8);
        if (!data.empty()) std::memcpy(p + 24 + 8 * links.size(), data.data(), data.size());
        return at;
    }

    // Appends a block at the next 8-byte boundary.
    uint64_t block(const char* code, const std::vector<uint64_t>& links, const std::vector<uint8_t>& data = {},
                   uint64_t length = kAuto, uint64_t link_count = kAuto) {
        return block_at(next(), code, links, data, length, link_count);
    }

    // Text and metadata blocks: the text and its terminating zero.
    uint64_t tx(const std::string& text) { return block("TX", {}, with_zero(text)); }
    uint64_t md(const std::string& text) { return block("MD", {}, with_zero(text)); }
    // A metadata comment that passes the tool check.
    uint64_t tool_comment() { return md("<FHcomment><TX>made</TX><tool_id>ZR</tool_id></FHcomment>"); }

    // A file-history entry.
    uint64_t fh(uint64_t next_entry, uint64_t comment, uint64_t time_ns = 0) {
        return block("FH", {next_entry, comment}, Fields().u64(time_ns).i16(0).i16(0).u8(0).zeros(3).bytes);
    }

    // The header block at offset 64 (the identification block comes first).
    uint64_t hd(uint64_t first_dg = 0, uint64_t first_fh = 0, uint64_t comment = 0, uint64_t start_ns = 0,
                uint64_t ch = 0, uint64_t at = 0, uint64_t ev = 0) {
        if (bytes.size() < 64) id();
        return block_at(64, "HD", {first_dg, first_fh, ch, at, ev, comment},
                        Fields().u64(start_ns).i16(60).i16(0).u8(0).u8(0).u8(0).u8(0).f64(0).f64(0).bytes);
    }

    uint64_t cc(uint8_t type, const std::vector<double>& values, uint64_t inverse = 0, uint64_t name = 0,
                uint64_t unit = 0, uint64_t comment = 0) {
        Fields f;
        f.u8(type).u8(0).u16(0).u16(0).u16(static_cast<uint16_t>(values.size())).f64(0).f64(0);
        for (double v : values) f.f64(v);
        return block("CC", {name, unit, comment, inverse}, f.bytes);
    }

    uint64_t si(uint8_t source_type, uint8_t bus_type, uint64_t name = 0, uint64_t path = 0, uint64_t comment = 0) {
        return block("SI", {name, path, comment}, Fields().u8(source_type).u8(bus_type).u8(0).zeros(5).bytes);
    }

    uint64_t dt(const std::vector<uint8_t>& records, uint64_t length = kAuto) {
        return block("DT", {}, records, length);
    }

    // A data group (the bus record blocks are laid out by their own tests).
    uint64_t dg(uint64_t next_group, uint64_t first_cg, uint64_t data, uint8_t rec_id_size = 0,
                uint64_t comment = 0) {
        return block("DG", {next_group, first_cg, data, comment}, Fields().u8(rec_id_size).zeros(7).bytes);
    }

    // A channel group: links next, first channel, acquisition name, source,
    // sample reduction, comment.
    uint64_t cg(uint64_t next_group, uint64_t first_cn, uint64_t record_id, uint32_t data_bytes,
                uint16_t flags = 0, uint64_t source = 0) {
        return block("CG", {next_group, first_cn, 0, source, 0, 0},
                     Fields().u64(record_id).u64(0).u16(flags).u16(0).zeros(4).u32(data_bytes).u32(0).bytes);
    }

    // A channel: links next, first component, name, source, conversion, data,
    // unit, comment.
    uint64_t cn(uint64_t next_channel, uint64_t first_component, uint64_t name, uint32_t byte_offset,
                uint32_t bit_count, uint8_t data_type = 0, uint64_t conversion = 0) {
        return block("CN", {next_channel, first_component, name, 0, conversion, 0, 0, 0},
                     Fields().u8(0).u8(0).u8(data_type).u8(0).u32(byte_offset).u32(bit_count).u32(0).u32(0)
                         .u8(0).u8(0).u16(0).zeros(48).bytes);
    }

    // Changes link `index` of the block at `block_offset`.
    void set_link(uint64_t block_offset, size_t index, uint64_t target) {
        std::memcpy(&bytes[block_offset + 24 + 8 * index], &target, 8);
    }
    void set_u64(uint64_t at, uint64_t value) {
        grow(at + 8);
        std::memcpy(&bytes[at], &value, 8);
    }

    // The next free, 8-byte aligned offset (never below 64).
    uint64_t next() const {
        const uint64_t end = bytes.size() < 64 ? 64 : bytes.size();
        return (end + 7) & ~uint64_t{7};
    }

    void grow(uint64_t size) {
        if (bytes.size() < size) bytes.resize(size, 0);
    }

    std::unique_ptr<stream::MemoryStream> stream() const {
        auto s = std::make_unique<stream::MemoryStream>();
        if (!bytes.empty()) s->write(bytes.data(), bytes.size());
        s->seek(0, stream::kSeekSet);
        return s;
    }

    static std::vector<uint8_t> with_zero(const std::string& text) {
        std::vector<uint8_t> data(text.begin(), text.end());
        data.push_back(0);
        return data;
    }

    std::vector<uint8_t> bytes;
};

// Collects the message text of every log line while it exists.
class LogCapture {
public:
    LogCapture() { log::set_output(log::kMessage, this, &LogCapture::sink); }
    ~LogCapture() { log::reset_output(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    struct Line {
        int32_t level;
        std::string text;
    };
    std::vector<Line> lines;

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& line : lines) out.push_back(line.text);
        return out;
    }

private:
    static int sink(log::LogMessage* m, void* self) {
        static_cast<LogCapture*>(self)->lines.push_back({m->level, std::string(m->message_start, m->append)});
        return 0;
    }
};

// A stream that counts the calls made through it (to show that something
// performs no I/O).
class CountingStream final : public stream::Stream {
public:
    explicit CountingStream(stream::Stream& inner) : inner_(inner) {}
    int64_t read(void* buffer, uint64_t n) override {
        ++reads;
        return inner_.read(buffer, n);
    }
    int64_t tell() override { return inner_.tell(); }
    int64_t seek(int64_t offset, int whence) override {
        ++seeks;
        return inner_.seek(offset, whence);
    }
    int reads = 0;
    int seeks = 0;

private:
    stream::Stream& inner_;
};

// cn_data_type values.
constexpr uint8_t kUnsignedIntel = 0;
constexpr uint8_t kUnsignedMotorola = 1;
constexpr uint8_t kFloatIntel = 4;
constexpr uint8_t kString = 6;
constexpr uint8_t kByteArray = 10;

struct Cn {
    std::string name;
    uint32_t byte_offset = 0;
    uint8_t bit_offset = 0;
    uint32_t bit_count = 8;
    uint8_t data_type = kUnsignedIntel;
    uint8_t cn_type = 0;
    uint64_t conversion = 0;  // link
    uint64_t data = 0;        // link (SD block or VLSD group)
    uint64_t components = 0;  // link to the first component
};

class BusBytes : public MdfBytes {
public:
    BusBytes() { id(); }

    // A channel block; `next` links the following channel.
    uint64_t cn(const Cn& c, uint64_t next = 0) {
        const uint64_t name = c.name.empty() ? 0 : tx(c.name);
        Fields f;
        f.u8(c.cn_type).u8(0).u8(c.data_type).u8(c.bit_offset).u32(c.byte_offset).u32(c.bit_count)
            .u32(0).u32(0).u8(0).u8(0).u16(0);
        for (int i = 0; i < 6; ++i) f.f64(0);
        return block("CN", {next, c.components, name, 0, c.conversion, c.data, 0, 0}, f.bytes);
    }

    // A chain of channels in the order given; the first one's offset.
    uint64_t channels(const std::vector<Cn>& list) {
        uint64_t next = 0;
        for (size_t i = list.size(); i-- > 0;) next = cn(list[i], next);
        return next;
    }

    uint64_t cg(uint64_t first_cn, uint64_t record_id, uint32_t data_bytes, uint32_t inval_bytes = 0,
                uint64_t source = 0, uint16_t flags = 0, uint64_t next = 0, uint64_t sample_reduction = 0) {
        return block("CG", {next, first_cn, 0, source, sample_reduction, 0},
                     Fields().u64(record_id).u64(0).u16(flags).u16(0).u32(0).u32(data_bytes).u32(inval_bytes).bytes);
    }

    uint64_t dg(uint64_t first_cg, uint64_t data, uint8_t rec_id_size, uint64_t next = 0) {
        return block("DG", {next, first_cg, data, 0}, Fields().u8(rec_id_size).zeros(7).bytes);
    }

    uint64_t sd(const std::vector<uint8_t>& values, uint64_t length = kAuto) {
        return block("SD", {}, values, length);
    }

    // A bus source (source type 2, CAN).
    uint64_t bus_source() { return si(2, 2); }
};

// Appends to a byte vector in file order.
class Bytes {
public:
    Bytes& u8(uint8_t v) { return put(&v, 1); }
    Bytes& u16(uint16_t v) { return put(&v, 2); }
    Bytes& u32(uint32_t v) { return put(&v, 4); }
    Bytes& u64(uint64_t v) { return put(&v, 8); }
    Bytes& f64(double v) { return put(&v, 8); }
    Bytes& id(uint64_t v, size_t size) { return put(&v, size); }
    Bytes& fill(size_t n, uint8_t v) {
        bytes.insert(bytes.end(), n, v);
        return *this;
    }
    Bytes& put(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
        return *this;
    }
    Bytes& add(const std::vector<uint8_t>& more) { return put(more.data(), more.size()); }
    std::vector<uint8_t> bytes;
};

}  // namespace tolvar::test
