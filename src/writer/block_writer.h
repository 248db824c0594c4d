// The writer of MDF 4 files: a save walk that writes a tree of blocks, rooted
// at an IdBlock, to an output Stream, every kind in the file layout the
// reader parses. The reader never writes; only tools and tests link this.
// SaveContext borrows the output Stream and the blocks; it owns only its sets.
#pragma once

#include <cstdint>
#include <unordered_set>

#include "mdf/block.h"
#include "mdf/block_header.h"
#include "stream/stream.h"

namespace tolvar::writer {

// The state of one save walk. Every block gets a new offset, in the order the
// walk reaches it, and is written once however many links lead to it; the
// offset member of each saved block is overwritten with its new position.
struct SaveContext {
    explicit SaveContext(stream::Stream* output) : stream(output) {}

    stream::Stream* stream;  // the output, borrowed
    uint64_t next = 0;       // the next free output position
    // Blocks written, by identity.
    std::unordered_set<const mdf::Block*> saved;
    // Blocks whose save has begun and not finished: a link back to one of
    // them is a cycle, which a recursive walk would follow without end.
    std::unordered_set<const mdf::Block*> in_progress;
    // Chain members written with no successor (next link 0). A chain member
    // reached through a single link is written so before the list that holds
    // its chain is saved; that list then writes its successor into the link.
    std::unordered_set<const mdf::Block*> open_tails;
    // How far the output has been written. Blocks are written children first,
    // at offsets beyond what exists; the gap is written as zeros first, so
    // the output never holds bytes the walk did not write.
    uint64_t end = 0;
    int depth = 0;  // nesting of save_block and chain saves
};

// Nested saves deeper than this fail. Parsed trees are at most as deep as the
// parse allows (a little less than this); only a tree built by hand can be
// deeper, and it is refused instead of exhausting the stack.
constexpr int kMaxSaveDepth = 256;

// Writes the block once per context: an absent block or context, a cycle (a
// link back to a block being saved), too deep a tree or a failed save fail;
// a block already saved succeeds at once. A tree is saved by calling this on
// its IdBlock with a fresh context.
//
// What each kind writes: its held header and links, then its fields in file
// order, reserved bytes as zeros, padded to its held length. The
// identification block is written only as the first block of a context
// (offset 0), followed by the header block, which lands at 64; its file
// identifier is "UnFinMF " when either unfinalised flag field is set, else
// "MDF     ". The header block writes its channel-hierarchy, attachment and
// event links as 0, a channel group its sample-reduction link as 0. A text
// or metadata block is written as its text and one terminating zero (length =
// text length + 25), then zero bytes up to the next multiple of 8, which the
// length does not count. A conversion block fails when cc_val does not hold
// cc_val_count parameters. A data or signal-data block copies its whole data
// section (its owned stream, when it has one, from the first byte to its end)
// whatever position a reader left it at, and restores that position; its
// length is 24 + the bytes copied, so a section cut short by the end of its
// stream is written as long as it really is. A channel whose output does not
// end at its offset + held length afterwards (a held length shorter than the
// layout, or a failed write) logs "Error during save. Expected to be at %zu
// but stream is at %zu" and keeps its result. Chains are written without one
// level of recursion per member, whatever their length.
bool save_block(mdf::Block* block, SaveContext* context);

// Writes the header of a kind 2..12 block at the stream's position; kinds 0
// and 1 write nothing. The write result is not examined.
void write_block_header(const mdf::BlockHeader& header, stream::Stream& stream);

}  // namespace tolvar::writer
