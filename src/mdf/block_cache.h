// The per-open map from file offset to the block parsed there, so that every
// offset parses into one shared block during an open. It also knows which
// offsets are being parsed right now (a link back to one of them is a cycle),
// how deeply parses are nested and what the open asked for (ParseOptions).
// Holds one reference per cached block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mdf/block.h"

namespace tolvar::mdf {

// What an open asks of the parse.
struct ParseOptions {
    // Read recordings of any MDF 4 writer: no file-history check; data lists,
    // header lists and compressed data blocks are accepted; a channel's
    // variable-length link to a channel group whose parse has not finished
    // (a VLSD group placed before its user), and a maximum-length channel's
    // link to its size channel, are kept as offsets for the plan to resolve.
    bool any_writer = false;
};

class BlockCache {
public:
    // Parses nested deeper than this fail. Chains do not count (they are
    // walked iteratively); only links inside links do: the channel tree of a
    // recording is about ten levels deep, so a file that nests hundreds of
    // levels (structures in structures, conversions whose inverse has an
    // inverse ...) is damaged or hostile and is refused instead of being
    // followed until the stack runs out.
    static constexpr int kMaxNestingDepth = 200;

    BlockCache() = default;
    explicit BlockCache(ParseOptions options) : options_(options) {}
    BlockCache(const BlockCache&) = delete;
    BlockCache& operator=(const BlockCache&) = delete;

    // The block completed at offset, or null (also while it is being parsed).
    Block* find(uint64_t offset) const;
    // find and in_progress in one look-up.
    Block* find(uint64_t offset, bool& in_progress) const;
    // True while the block at offset has started but not finished its parse.
    bool in_progress(uint64_t offset) const;
    // Marks offset as being parsed; false when it is cached or already marked.
    bool begin(uint64_t offset);
    // Drops the mark of a parse that failed.
    void abandon(uint64_t offset);
    // Enters a block whose parse has succeeded, replacing its mark (or
    // without one). False when the offset already holds a completed block.
    // The cache keeps its own reference: a block released because a later
    // parse failed can never be handed out, and a chain member that nothing
    // owns (a chain reached through a single link) lives as long as the cache.
    bool complete(uint64_t offset, const BlockRef& block);

    // Completed blocks.
    size_t size() const { return completed_; }

    // Accounts for `bytes` of content that a parse is about to keep (texts,
    // conversion parameters); false when the total would exceed the size of
    // the stream. Every such byte comes from the stream, and the blocks of a
    // well-formed file do not overlap, so only a file whose blocks share their
    // bytes (overlapping blocks, each claiming most of the file) can reach the
    // limit: without it, such a file could make a small stream hold its own
    // size many times over in memory.
    bool charge(stream::Stream& stream, uint64_t bytes);

    // One more level of nesting; false (and nothing to undo) past the limit.
    bool enter();
    void leave() { --depth_; }
    int depth() const { return depth_; }

    const ParseOptions& options() const { return options_; }

private:
    ParseOptions options_;
    // Open addressing with linear probing: no allocation per entry, which
    // matters for files of a million blocks. An empty reference in a used
    // slot marks a parse in progress.
    struct Slot {
        uint64_t offset = 0;
        bool used = false;
        BlockRef block;
    };
    size_t slot_of(uint64_t offset) const;  // the slot holding offset, or npos
    size_t home_of(uint64_t offset) const;
    bool grow();
    static constexpr size_t npos = ~size_t{0};

    std::vector<Slot> slots_;  // a power of two in size, at most half used
    size_t used_ = 0;
    size_t completed_ = 0;
    static constexpr uint64_t kUnknown = ~uint64_t{0};
    uint64_t budget_ = kUnknown;  // the stream's size, taken at the first charge
    uint64_t charged_ = 0;
    int depth_ = 0;
};

}  // namespace tolvar::mdf
