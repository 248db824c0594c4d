#include "mdf/block_header.h"

#include <cstring>

#include "log/log.h"

namespace tolvar::mdf {
namespace {

constexpr const char* kIds[] = {"##CC", "##CG", "##CN", "##DG", "##DT", "##FH",
                                "##HD", "##MD", "##SD", "##SI", "##TX"};

uint64_t load_u64le(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void store_u64le(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

const char* block_id(BlockKind kind) {
    const auto k = static_cast<uint32_t>(kind);
    if (k < 2 || k > 12) return nullptr;
    return kIds[k - 2];
}

std::optional<BlockHeader> read_block_header(Stream& stream) {
    uint8_t raw[kBlockHeaderSize];
    if (read_fully(stream, raw, sizeof raw) != static_cast<int64_t>(sizeof raw)) return std::nullopt;

    for (uint32_t k = 2; k <= 12; ++k) {
        if (std::memcmp(raw, kIds[k - 2], 4) == 0) {
            BlockHeader header;
            header.kind = static_cast<BlockKind>(k);
            header.length = load_u64le(raw + 8);
            header.link_count = load_u64le(raw + 16);
            return header;
        }
    }
    if (std::memcmp(raw, "UnFinMF ", 8) == 0 || std::memcmp(raw, "MDF     ", 8) == 0) {
        // The identification block's own parser reads it from its first byte.
        stream.seek(-static_cast<int64_t>(kBlockHeaderSize), kSeekCur);
        return BlockHeader{BlockKind::kId, 64, 0};
    }
    char id[9];
    std::memcpy(id, raw, 8);
    id[8] = '\0';
    TOLVAR_LOG_ERROR("Unable to load block header for type %s", id);
    return std::nullopt;
}

void write_block_header(const BlockHeader& header, Stream& stream) {
    const char* id = block_id(header.kind);
    if (id == nullptr) return;
    uint8_t raw[kBlockHeaderSize] = {};
    std::memcpy(raw, id, 4);
    store_u64le(raw + 8, header.length);
    store_u64le(raw + 16, header.link_count);
    stream.write(raw, sizeof raw);
}

}  // namespace tolvar::mdf
