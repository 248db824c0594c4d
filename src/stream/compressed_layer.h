// The opener of compressed layers (type 34): reads the parameter words,
// decodes the whole LZSS payload into memory and checks the CRC-32 footer.
// Borrows the source stream; the layer stream it returns owns the content.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>

#include "stream/container_header.h"
#include "stream/decoded_layer_stream.h"
#include "stream/stream.h"

namespace tolvar::stream {

constexpr uint64_t kNoDecodedLimit = std::numeric_limits<uint64_t>::max();

// The decoded layer, or nothing when the header, the parameters, the
// bitstream, the source or the footer fail, or when the decoded content
// would exceed `max_decoded_size` bytes (a cap for fuzzing and tests) or
// cannot be held in memory. Logs the footer's two error lines.
std::unique_ptr<DecodedLayerStream> open_compressed(Stream* source, const ContainerHeader* header,
                                                    uint64_t max_decoded_size = kNoDecodedLimit);

// Verifies the footer of a layer whose payload has the checksum `computed`:
// logs and returns false when the footer is missing or differs.
bool check_crc_footer(Stream* source, uint32_t computed);

}  // namespace tolvar::stream
