#include "stream/container_header.h"

#include <cstring>

#include <cstdint>

namespace tolvar {

bool read_layer_field(Stream* stream, uint64_t offset, void* destination, uint64_t n) {
    if (stream == nullptr || offset > static_cast<uint64_t>(INT64_MAX)) return false;
    stream->seek(static_cast<int64_t>(offset), kSeekSet);
    return read_fully(*stream, destination, n) == static_cast<int64_t>(n);
}

bool read_layer_u32(Stream* stream, uint64_t offset, uint32_t* value) {
    uint8_t raw[4];
    if (!read_layer_field(stream, offset, raw, sizeof raw)) return false;
    *value = (uint32_t{raw[0]} << 24) | (uint32_t{raw[1]} << 16) | (uint32_t{raw[2]} << 8) | uint32_t{raw[3]};
    return true;
}

bool detect_layer_header(Stream* stream, ContainerHeader* header) {
    if (stream == nullptr || header == nullptr) return false;
    stream->seek(0, kSeekSet);
    // Every field is read even after a short one, so the header is filled as
    // far as the stream allows.
    bool complete = read_layer_field(stream, 0, header->magic, sizeof header->magic);
    complete &= read_layer_field(stream, 12, &header->flag, 1);
    complete &= read_layer_field(stream, 13, &header->footer_flag, 1);
    complete &= read_layer_field(stream, 14, &header->layer_type, 1);
    complete &= read_layer_field(stream, 15, &header->version, 1);
    complete &= read_layer_u32(stream, 16, &header->key_identifier);
    if (!complete) return false;
    return std::memcmp(header->magic, kLayerMagic, sizeof kLayerMagic) == 0;
}

}  // namespace tolvar
