#include "stream/compressed_layer.h"

#include <new>
#include <utility>

#include "log/log.h"
#include "stream/field_cursor.h"
#include "stream/crc_stream.h"
#include "stream/decompress_stream.h"
#include "stream/memory_stream.h"
#include "stream/range_stream.h"

namespace tolvar::stream {

namespace {

constexpr int64_t kPayloadOffset = 28;
constexpr int64_t kFooterSize = 4;
constexpr uint64_t kPumpPiece = 4096;

unsigned trailing_zero_bits(uint32_t word) { return word == 0 ? 0 : static_cast<unsigned>(__builtin_ctz(word)); }

}  // namespace

bool check_crc_footer(Stream* source, uint32_t computed) {
    uint32_t stored = 0;
    const bool found = source->seek(-kFooterSize, kSeekEnd) >= 0 && FieldCursor(source).read_u32_be(&stored);
    if (!found) {
        TOLVAR_LOG_ERROR("Expected to read out CRC from footer, but found none");
        return false;
    }
    if (stored != computed) {
        TOLVAR_LOG_ERROR("Could not validate checksum, expected %08X but found %08X", stored, computed);
        return false;
    }
    return true;
}

std::unique_ptr<DecodedLayerStream> open_compressed(Stream* source, const ContainerHeader* header,
                                                    uint64_t max_decoded_size) {
    if (source == nullptr || header == nullptr) return nullptr;
    if (header->layer_type != kLayerCompressed || header->version != 1) return nullptr;
    if (header->flag > 1 || header->flag != header->footer_flag) return nullptr;
    const bool has_footer = header->footer_flag == 1;

    source->seek(20, kSeekSet);
    uint32_t lookahead_word = 0;
    uint32_t window_word = 0;
    if (!FieldCursor(source, 20).read_u32_be(&lookahead_word)) return nullptr;
    if (!FieldCursor(source, 24).read_u32_be(&window_word)) return nullptr;

    std::unique_ptr<MemoryStream> content(new (std::nothrow) MemoryStream());
    if (!content) return nullptr;
    std::unique_ptr<DecodedLayerStream> layer(new (std::nothrow) DecodedLayerStream(*header, std::move(content)));
    if (!layer) return nullptr;
    layer->set_parameter_words(window_word, lookahead_word);
    MemoryStream* memory = layer->content();

    // 64-bit throughout: a layer beyond 2 GiB keeps its footer where it is.
    int64_t end = -1;
    if (has_footer) {
        const int64_t size = source->size();
        if (size < 0) return nullptr;
        end = size - kFooterSize;
    }

    auto range = RangeStream::create(source, kPayloadOffset, end);
    if (!range || range->seek(0, kSeekSet) < 0) return nullptr;
    auto crc = CrcStream::create(range.get());
    if (!crc) return nullptr;
    auto decompress = DecompressStream::create(crc.get(), trailing_zero_bits(window_word), lookahead_word & 0xFF);
    if (!decompress) return nullptr;

    uint8_t piece[kPumpPiece];
    for (;;) {
        const int64_t got = decompress->read(piece, sizeof piece);
        // A source that fails mid-way must not pass off a truncated recording
        // as the whole layer.
        if (got < 0) return nullptr;
        if (got == 0) break;
        if (static_cast<uint64_t>(got) > max_decoded_size - memory->content_size()) return nullptr;
        // Content that cannot be held fails the layer rather than ending it early.
        if (memory->write(piece, static_cast<uint64_t>(got)) != got) return nullptr;
    }

    const uint32_t computed = crc->value();
    decompress->close();
    crc->close();
    range->close();
    if (has_footer && !check_crc_footer(source, computed)) return nullptr;
    return layer;
}

}  // namespace tolvar::stream
