// Positioned field reader and writer over a borrowed Stream. Every access
// seeks to base + position first, so a cursor keeps its place while other
// code moves the stream; a failed access reports false and does not advance.
#pragma once

#include <cstdint>
#include <string>

#include "stream/stream.h"

namespace tolvar::stream {

class FieldCursor {
public:
    // base = the stream's position now, position = 0.
    explicit FieldCursor(Stream* stream);
    FieldCursor(Stream* stream, uint64_t base) : stream_(stream), base_(base) {}

    // Fields are little-endian and copied raw into the destination.
    bool read_u8(uint8_t& value) { return read_bytes(&value, 1); }
    bool read_u16(uint16_t& value) { return read_bytes(&value, 2); }
    bool read_u32(uint32_t& value) { return read_bytes(&value, 4); }
    bool read_u64(uint64_t& value) { return read_bytes(&value, 8); }
    bool read_f64(double& value) { return read_bytes(&value, 8); }
    bool read_bytes(void* destination, uint64_t n);
    // Appends n bytes to text. The text grows only as the bytes arrive, so a
    // length taken from a damaged file cannot force a huge allocation.
    bool read_text(std::string& text, uint64_t n);
    // Big-endian 32-bit value (layer headers); stored only on success.
    bool read_u32_be(uint32_t* value);
    // Advances without I/O.
    bool skip(uint64_t n);

    bool write_u8(uint8_t value) { return write_bytes(&value, 1); }
    bool write_u16(uint16_t value) { return write_bytes(&value, 2); }
    bool write_u32(uint32_t value) { return write_bytes(&value, 4); }
    bool write_u64(uint64_t value) { return write_bytes(&value, 8); }
    bool write_bytes(const void* buffer, uint64_t n);
    bool write_text(const std::string& text) { return write_bytes(text.data(), text.size()); }

    Stream* stream() const { return stream_; }
    uint64_t base() const { return base_; }
    uint64_t position() const { return position_; }

private:
    bool seek_to_field();

    Stream* stream_;  // borrowed
    uint64_t base_ = 0;
    uint64_t position_ = 0;
};

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "fields are copied raw and MDF 4 is little-endian");

}  // namespace tolvar::stream
