// The 24-byte header that starts every MDF 4 block but the identification
// block, the twelve block kinds this reader supports, and the three kinds of
// data lists and compressed data that it accepts only when asked to read
// recordings of any writer. Plain values.
#pragma once

#include <cstdint>
#include <optional>

#include "stream/stream.h"

namespace tolvar::mdf {

// Id is 1; the twelve from Cc to Tx follow in alphabetical order of their
// codes, then the kinds of any writer's data storage.
enum class BlockKind : uint32_t {
    kNone = 0,
    kId = 1,
    kCc = 2,
    kCg = 3,
    kCn = 4,
    kDg = 5,
    kDt = 6,
    kFh = 7,
    kHd = 8,
    kMd = 9,
    kSd = 10,
    kSi = 11,
    kTx = 12,
    kDl = 13,  // a list of data blocks
    kDz = 14,  // a compressed data block
    kHl = 15,  // the header of a data list
};

struct BlockHeader {
    BlockKind kind = BlockKind::kNone;
    uint64_t length = 0;      // whole block, header included
    uint64_t link_count = 0;  // 8-byte links following the header
};

constexpr uint64_t kBlockHeaderSize = 24;

// The 4-character id ("##DG") of kinds 2..15; nullptr for the others.
const char* block_id(BlockKind kind);

// length - 24 - 8 * link count, wrapping like the unsigned values it is made of.
inline uint64_t data_size(const BlockHeader& header) {
    return header.length - kBlockHeaderSize - 8 * header.link_count;
}

// Reads a header at the stream's position. An identification block ("MDF     "
// or "UnFinMF ") gives kind Id, length 64, and leaves the stream where it was;
// any other recognised block leaves it at its first link. The kinds Dl, Dz and
// Hl are recognised only with `storage_kinds`; without it they are unknown ids
// like any other. An unknown id is logged; a short stream gives nothing
// silently.
std::optional<BlockHeader> read_block_header(stream::Stream& stream, bool storage_kinds = false);

}  // namespace tolvar::mdf
