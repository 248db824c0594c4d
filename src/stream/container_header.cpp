#include "stream/container_header.h"

#include <cstring>

#include "stream/field_cursor.h"

namespace tolvar::stream {

bool detect_layer_header(Stream* stream, ContainerHeader* header) {
    if (stream == nullptr || header == nullptr) return false;
    stream->seek(0, kSeekSet);
    // Every field is read even after a short one, so the header is filled as
    // far as the stream allows.
    bool complete = FieldCursor(stream, 0).read_bytes(header->magic, sizeof header->magic);
    complete &= FieldCursor(stream, 12).read_u8(header->flag);
    complete &= FieldCursor(stream, 13).read_u8(header->footer_flag);
    complete &= FieldCursor(stream, 14).read_u8(header->layer_type);
    complete &= FieldCursor(stream, 15).read_u8(header->version);
    complete &= FieldCursor(stream, 16).read_u32_be(&header->key_identifier);
    if (!complete) return false;
    return std::memcmp(header->magic, kLayerMagic, sizeof kLayerMagic) == 0;
}

}  // namespace tolvar::stream
