// The 20-byte header that announces a container layer ("Generic File"), and
// the test that recognises it at the start of a stream. Borrows the stream.
#pragma once

#include <cstdint>

#include "stream/stream.h"

namespace tolvar::stream {

enum LayerType : uint8_t {
    kLayerEncrypted = 17,
    kLayerCompressed = 34,
};

constexpr uint64_t kLayerHeaderSize = 20;
constexpr char kLayerMagic[12] = {'G', 'e', 'n', 'e', 'r', 'i', 'c', ' ', 'F', 'i', 'l', 'e'};

// In memory the version comes before the type; in the file the type is at
// offset 14 and the version at 15. Numbers are big-endian in the file.
struct ContainerHeader {
    uint8_t magic[12] = {};
    uint32_t key_identifier = 0;
    uint8_t flag = 0;         // offset 12
    uint8_t footer_flag = 0;  // offset 13: 1 = a CRC-32 footer ends the layer
    uint8_t version = 0;      // offset 15
    uint8_t layer_type = 0;   // offset 14
};

// True when the stream begins with a layer header. Fills `header` as far as
// it could read; only the magic is tested, the openers judge the rest.
bool detect_layer_header(Stream* stream, ContainerHeader* header);

}  // namespace tolvar::stream
