#include "mdf/block_header.h"

#include <cstring>

#include "log/log.h"

namespace tolvar::mdf {
namespace {

constexpr const char* kIds[] = {"##CC", "##CG", "##CN", "##DG", "##DT", "##FH", "##HD",
                                "##MD", "##SD", "##SI", "##TX", "##DL", "##DZ", "##HL"};
constexpr uint32_t kLastCoreKind = 12;
constexpr uint32_t kLastKind = 15;

uint64_t load_u64le(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

const char* block_id(BlockKind kind) {
    const auto k = static_cast<uint32_t>(kind);
    if (k < 2 || k > kLastKind) return nullptr;
    return kIds[k - 2];
}

std::optional<BlockHeader> read_block_header(stream::Stream& stream, bool storage_kinds) {
    uint8_t raw[kBlockHeaderSize];
    if (stream::read_fully(stream, raw, sizeof raw) != static_cast<int64_t>(sizeof raw)) return std::nullopt;

    const uint32_t last = storage_kinds ? kLastKind : kLastCoreKind;
    for (uint32_t k = 2; k <= last; ++k) {
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
        stream.seek(-static_cast<int64_t>(kBlockHeaderSize), stream::kSeekCur);
        return BlockHeader{BlockKind::kId, 64, 0};
    }
    char id[9];
    std::memcpy(id, raw, 8);
    id[8] = '\0';
    TOLVAR_LOG_ERROR("Unable to load block header for type %s", id);
    return std::nullopt;
}

}  // namespace tolvar::mdf
