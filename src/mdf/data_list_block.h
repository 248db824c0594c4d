// The blocks other MDF 4 writers store data in: the data list ("##DL") that
// strings data blocks together, the header list ("##HL") in front of a chain
// of data lists, and the compressed data block ("##DZ"); and the walk that
// turns a data link into the data blocks it stands for, in order. The blocks
// hold what the file says (links as offsets, nothing followed); the walk's
// list owns a reference to each data block it found. Streams are borrowed.
#pragma once

#include <cstdint>
#include <vector>

#include "mdf/block.h"
#include "stream/stream.h"

namespace tolvar::mdf {

// A data list: the next list of the chain and the data blocks of this one.
// Its parse follows no link, so a chain of any length, and one that loops,
// is walked by collect_data_blocks alone.
class DlBlock final : public Block {
public:
    static constexpr BlockKind kKind = BlockKind::kDl;
    static constexpr uint8_t kFlagEqualLength = 1;

    DlBlock() : Block(kKind) {}

    // Reads the links and the fields. Fails when the header has no link (a
    // list has at least its next link) or the fields cannot be read.
    bool parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found, BlockList* list) override;

    uint64_t next = kNoLink;
    // The data blocks of this list: dl_count of them, at most as many as
    // there are links after the next one.
    std::vector<uint64_t> items;
    uint8_t flags = 0;
    uint32_t count = 0;  // as written
};

// A header list: the first data list of the chain, and how its blocks are
// compressed.
class HlBlock final : public Block {
public:
    static constexpr BlockKind kKind = BlockKind::kHl;

    HlBlock() : Block(kKind) {}

    bool parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found, BlockList* list) override;

    uint64_t first_list = kNoLink;
    uint16_t flags = 0;
    uint8_t zip_type = 0;
};

// A compressed data block: the fields that say what it holds and how, and
// where its compressed bytes lie. What the bytes inflate to is decided where
// they are read, not here.
class DzBlock final : public Block {
public:
    static constexpr BlockKind kKind = BlockKind::kDz;
    static constexpr uint8_t kZipDeflate = 0;
    static constexpr uint8_t kZipTransposedDeflate = 1;
    // Bytes of fields in front of the compressed data.
    static constexpr uint64_t kFieldsSize = 24;

    DzBlock() : Block(kKind) {}

    // Reads the fields; fails only when the header has links or the fields
    // cannot be read.
    bool parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found, BlockList* list) override;

    // The kind of block the bytes were compressed from ("DT", "SD", ...).
    char original_kind[2] = {0, 0};
    uint8_t zip_type = 0;
    uint32_t zip_parameter = 0;  // transposed deflate: the bytes of one record
    uint64_t original_length = 0;
    uint64_t compressed_length = 0;
    uint64_t compressed_start = 0;   // position of the compressed bytes in `file`
    stream::Stream* file = nullptr;  // the stream the block was parsed from; borrowed

    // The compressed bytes declared lie within the block.
    bool compressed_fits() const;
    bool holds(char a, char b) const { return original_kind[0] == a && original_kind[1] == b; }
};

// The data blocks (Dt, Sd and Dz blocks) that the block `first` stands for,
// in order, appended to `blocks`: `first` itself when it is one, the blocks
// of its data lists when it is a data list or a header list. A list whose
// chain loops, that lists a block twice, or that links to something that is
// not a data block or cannot be parsed, ends there: what came before is kept,
// and one line is logged.
// Blocks of other kinds give nothing. False only when memory runs out.
bool collect_data_blocks(stream::Stream& stream, BlockCache& cache, const BlockRef& first, BlockList& blocks);

}  // namespace tolvar::mdf
