// The data block ("##DT") that holds a data group's records, and what it
// shares with the signal-data block: the data section offered as a read-only
// Stream of its own. The underlying Stream is borrowed after a parse.
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
class DataSectionStream final : public Stream {
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
    bool parse(Stream& stream, BlockCache& cache, const BlockHeader& header, BlockList* list) override;
    // Copies the whole data section (the owned stream, when there is one,
    // from its first byte to its end) behind the header, whatever position a
    // reader left the section at, and restores that position. The length
    // written is 24 + the bytes copied, so a section cut short by the end of
    // its stream is written as long as it really is; zero bytes follow up to
    // the next multiple of 8. Fails on a read error or a failed write.
    bool save(SaveContext& context) override;
    void destroy() override;

    uint64_t data_start = 0;         // stream position of the section's first byte
    Stream* stream = nullptr;        // borrowed after a parse
    StreamPtr owned_stream;          // set only by code that builds a block to save
    DataSectionStream section;
};

class DtBlock final : public SectionBlock {
public:
    static constexpr BlockKind kKind = BlockKind::kDt;
    DtBlock() : SectionBlock(kKind) {}
};

// The section of a data or signal-data block, null for any other block.
DataSectionStream* section_of(Block* block);

}  // namespace tolvar::mdf
