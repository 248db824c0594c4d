// Test helpers for the bus record tests: channel, channel-group, data-group
// and signal-data blocks on top of the MDF byte builder, a parsed data group
// that keeps its stream alive, and hand-made layouts for the decoders.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bus/channel_group.h"
#include "bus/data_group.h"
#include "mdf/block_cache.h"
#include "mdf_bytes.h"

namespace tolvar::test {

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

// A data group parsed from built bytes; the stream and the block stay alive
// as long as this does (the document's role).
struct ParsedGroup {
    std::unique_ptr<MemoryStream> stream;
    mdf::BlockRef block;
    bus::DgBlock* dg() const { return mdf::as<bus::DgBlock>(block); }
};

inline ParsedGroup parse_group(const MdfBytes& file, uint64_t dg_offset) {
    ParsedGroup parsed;
    parsed.stream = file.stream();
    mdf::BlockCache cache;
    parsed.block = mdf::parse_block_at(*parsed.stream, dg_offset, cache);
    return parsed;
}

}  // namespace tolvar::test
