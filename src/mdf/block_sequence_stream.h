// The bytes of a sequence of data blocks (data, signal-data and compressed
// data blocks, as a data list strings them together) read as one seekable
// Stream, the way a record walk reads the section of a single data block.
// Compressed blocks are inflated when a read first reaches them, and only
// the last one inflated is kept. Owns its buffers; borrows the blocks (the
// document owns them) and, through them, the document's Stream.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "mdf/block.h"
#include "mdf/data_block.h"
#include "mdf/data_list_block.h"
#include "stream/stream.h"

namespace tolvar::mdf {

// The most bytes one compressed data block may inflate to. Writers cut their
// data into blocks of a few MiB (4 MiB for the common Python ones), so a
// block that declares more is damaged or hostile; refusing it bounds what
// one walk holds in memory to two blocks of this size.
constexpr uint64_t kMaxInflatedBlock = uint64_t{64} << 20;
// Deflate gives at most 1032 bytes for one byte of compressed stream: a
// declaration beyond that cannot be true, whatever the cap.
constexpr uint64_t kMaxDeflateRatio = 1032;

class BlockSequenceStream final : public stream::Stream {
public:
    // The stream of `blocks` in order, each holding data of `kind` (kDt for
    // records, kSd for signal data): a block of that kind, or a compressed
    // block made from one. The sequence ends, with one line logged, before
    // the first block it cannot serve: another kind, an unknown compression,
    // compressed bytes beyond their block or the file, or a declared size
    // beyond kMaxInflatedBlock or what its compressed bytes can give. A block
    // that later fails to inflate to exactly its declared size ends it there
    // too. `file_size` is the size of the document's Stream (negative when
    // unknown). Null when memory runs out.
    static std::unique_ptr<BlockSequenceStream> create(const BlockList& blocks, BlockKind kind,
                                                       int64_t file_size);

    int64_t read(void* buffer, uint64_t n) override;
    int64_t tell() override;
    // whence 0: to offset, at most the size; 1: position + offset, at most
    // the size and failing below 0; 2: to the size.
    int64_t seek(int64_t offset, int whence) override;

    uint64_t total_size() const { return size_; }
    // Whether the sequence ends before a block it refused (one of another
    // kind, bytes shared with another block, a compressed block it will not
    // or cannot inflate), rather than after its last block.
    bool refused() const { return refused_; }
    size_t piece_count() const { return pieces_.size(); }

private:
    struct Piece {
        uint64_t begin = 0;  // offset of its first byte in the sequence
        uint64_t size = 0;
        const SectionBlock* stored = nullptr;  // a data or signal-data block
        const DzBlock* zipped = nullptr;       // or a compressed one
    };

    BlockSequenceStream() = default;
    size_t piece_at(uint64_t position) const;
    // Makes `index` the inflated piece; false (and the sequence cut before
    // it) when it does not inflate to its declared size.
    bool inflate_piece(size_t index);
    int64_t read_stored(const Piece& piece, uint64_t offset, uint8_t* out, uint64_t n);

    std::vector<Piece> pieces_;
    uint64_t size_ = 0;
    bool refused_ = false;
    uint64_t position_ = 0;
    static constexpr size_t kNone = ~size_t{0};
    size_t inflated_index_ = kNone;
    std::vector<uint8_t> inflated_;    // the inflated bytes of inflated_index_
    // Working space of the last inflation (its compressed, then its
    // transposed bytes): at most one more block.
    std::vector<uint8_t> compressed_;
};

}  // namespace tolvar::mdf
