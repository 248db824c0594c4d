// The data block ("##DT") that holds a data group's records and the
// signal-data block ("##SD") that holds variable-length values (such as the
// payload bytes of bus frames, each as a 4-byte length and its bytes), with
// what they share: the data section offered as a read-only Stream of its own.
// The underlying Stream is borrowed after a parse.
#pragma once

#include <cstdint>

#include "mdf/block.h"
#include "stream/stream.h"

namespace tolvar::mdf {

class SectionBlock;

// The data section of a data or signal-data block as a Stream: positions run
// from 0 to the section's size (the block's length - 24, so it follows the
// length when the document extends the last data block). Reads and seeks go
// to the block's underlying Stream; write and close are absent.
class DataSectionStream final : public stream::Stream {
public:
    explicit DataSectionStream(SectionBlock& block) : block_(block) {}

    int64_t read(void* buffer, uint64_t n) override;
    int64_t tell() override;
    // whence 0: to offset, at most the size; whence 2: to the size (the offset
    // is not added); whence 1: position + offset, at most the size and
    // failing below 0.
    int64_t seek(int64_t offset, int whence) override;

    uint64_t position() const { return position_; }
    uint64_t section_size() const;

private:
    SectionBlock& block_;
    uint64_t position_ = 0;
};

// The layout and parse shared by DtBlock and SdBlock: nothing is read, the
// block remembers where its data section starts.
class SectionBlock : public Block {
public:
    explicit SectionBlock(BlockKind kind) : Block(kind), section(*this) {}

    // Takes the length from the header (kind and link count keep their
    // defaults) and the data start from the stream's position. Never fails.
    bool parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found, BlockList* list) override;
    void destroy() override;

    uint64_t data_start = 0;        // position of the section's first byte in `file`
    stream::Stream* file = nullptr;  // the stream the block was parsed from; borrowed
    // Content of a block built in memory rather than parsed (a block made to
    // be written): it replaces the section, from its first byte to its end.
    stream::StreamPtr owned_stream;
    DataSectionStream section;
};

class DtBlock final : public SectionBlock {
public:
    static constexpr BlockKind kKind = BlockKind::kDt;
    DtBlock() : SectionBlock(kKind) {}
};

// Differs from the data block only in its kind and in how a short read moves
// the section's position (by the bytes delivered, not the bytes requested).
class SdBlock final : public SectionBlock {
public:
    static constexpr BlockKind kKind = BlockKind::kSd;
    SdBlock() : SectionBlock(kKind) {}
};

// The section of a data or signal-data block, null for any other block.
DataSectionStream* section_of(Block* block);

}  // namespace tolvar::mdf
