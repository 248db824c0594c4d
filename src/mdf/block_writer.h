// The save walk that writes a tree of parsed blocks, rooted at an IdBlock, to
// an output Stream as an MDF 4 file, and the helpers every kind's save uses.
// SaveContext borrows the output Stream and the blocks; it owns only its sets.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "mdf/block.h"
#include "mdf/field_cursor.h"
#include "stream/stream.h"

namespace tolvar::mdf {

// The state of one save walk. Every block gets a new offset, in the order the
// walk reaches it, and is written once however many links lead to it; the
// offset member of each saved block is overwritten with its new position.
struct SaveContext {
    explicit SaveContext(Stream* output) : stream(output) {}

    Stream* stream;     // the output, borrowed
    uint64_t next = 0;  // the next free output position
    // Blocks written, by identity.
    std::unordered_set<const Block*> saved;
    // Blocks whose save has begun and not finished: a link back to one of
    // them is a cycle, which a recursive walk would follow without end.
    std::unordered_set<const Block*> in_progress;
    // Chain members written with no successor (next link 0). A chain member
    // reached through a single link is written so before the list that holds
    // its chain is saved; that list then writes its successor into the link.
    std::unordered_set<const Block*> open_tails;
    // How far the output has been written. Blocks are written children first,
    // at offsets beyond what exists; the gap is written as zeros first, so
    // the output never holds bytes the walk did not write.
    uint64_t end = 0;
    int depth = 0;  // nesting of save_block and save_chain
};

// Nested saves deeper than this fail. Parsed trees are at most as deep as the
// parse allows (a little less than this); only a tree built by hand can be
// deeper, and it is refused instead of exhausting the stack.
constexpr int kMaxSaveDepth = 256;

// Writes the block once per context: an absent block or context, a cycle (a
// link back to a block being saved), too deep a tree or a failed save fail;
// a block already saved succeeds at once. A tree is saved by calling this on
// its IdBlock with a fresh context.
bool save_block(Block* block, SaveContext* context);

// Saves the child when there is one and appends its new offset to links (0
// when there is none). False when the child's save fails.
bool save_link(SaveContext& context, const BlockRef& child, std::vector<uint64_t>& links);

// Saves a chain in list order and appends the offset of its first block to
// links (0 for an empty list). Iterative: every member gets its offset first,
// then the members are written from the last to the first with their next
// links, which is the order a walk that followed each next link first would
// give. False when any member (or anything below it) fails.
bool save_chain(SaveContext& context, const BlockList& list, std::vector<uint64_t>& links);

// Gives the block its offset: context.next, which then moves on by the bytes
// the block occupies (at least `layout_size`, the bytes its save writes, even
// when its held length is smaller, so blocks never overlap). False, placing
// nothing, when the block's link count is not `link_count` or the output
// would pass the largest stream position.
bool place_block(SaveContext& context, Block& block, uint64_t link_count, uint64_t layout_size);

// Writes n bytes at `offset` of the output through a FieldCursor, after
// zeros for any gap between the output's end and offset. False when a write
// fails.
bool write_at(SaveContext& context, uint64_t offset, const void* data, uint64_t n);

// Writes one block at its offset: the held header (or none, for the
// identification block), then links and data fields in file order. Reserved
// bytes are written as zeros, and finish pads with zeros up to the held
// length. The fields are gathered in memory and written by finish with one
// write, so a tree of a million blocks is not a hundred million stream calls.
class BlockWriter {
public:
    // Writes `header` at `offset` first; with_header false writes none.
    BlockWriter(SaveContext& context, uint64_t offset, const BlockHeader& header, bool with_header = true);
    // The block's held header at its offset.
    BlockWriter(SaveContext& context, const Block& block) : BlockWriter(context, block.offset, block.header) {}
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    void links(const std::vector<uint64_t>& values);
    void u8(uint8_t value) { bytes(&value, 1); }
    void u16(uint16_t value) { bytes(&value, 2); }
    void i16(int16_t value) { bytes(&value, 2); }
    void u32(uint32_t value) { bytes(&value, 4); }
    void u64(uint64_t value) { bytes(&value, 8); }
    void f64(double value) { bytes(&value, 8); }
    void bytes(const void* data, uint64_t n);
    // Exactly `width` bytes of the text: cut, or padded with zero bytes.
    void fixed_text(const std::string& text, uint64_t width);
    void zeros(uint64_t n);

    // Pads with zeros up to `length` bytes from the block's start (nothing
    // when it has that many already), then writes the header (through
    // write_block_header) and the fields. True when every write succeeded.
    bool finish(uint64_t length);
    // finish with the header's length (for a block without header: nothing).
    bool finish() { return finish(length_); }

    // Bytes from the block's start, the header included.
    uint64_t written() const { return start_ + fields_.size(); }

private:
    SaveContext& context_;
    uint64_t offset_;
    BlockHeader header_;
    bool with_header_;
    uint64_t start_ = 0;   // where the fields begin relative to offset (after the header)
    uint64_t length_ = 0;  // the header's length
    std::vector<uint8_t> fields_;
};

// Rounds up to a multiple of 8; false when that would pass the largest
// stream position.
bool align8(uint64_t value, uint64_t& aligned);

}  // namespace tolvar::mdf
