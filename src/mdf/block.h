// What every parsed MDF 4 block has in common: the Block base, the counted
// shared reference BlockRef, the front-inserting BlockList of chains, and the
// walk that parses a block at a file offset through the per-open cache.
// Blocks own their children through BlockRefs and BlockLists; streams are
// borrowed. Blocks hold what the file says and nothing else: what a reader
// makes of them is built above this floor.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "mdf/block_header.h"
#include "stream/stream.h"

namespace tolvar::mdf {

class Block;
class BlockCache;
class BlockList;
class ChainBlock;

// An absent link in memory; the file writes it as 0 and read_links converts.
constexpr uint64_t kNoLink = ~uint64_t{0};

// The header a new block of this kind starts with: its default length and the
// link count its parse requires (Dt and Sd keep 0 whatever the file says).
BlockHeader default_header(BlockKind kind);

// The common part of every parsed block. A block is created by create_block
// (block_kinds.h), filled by parse, shared through BlockRefs and deleted when
// the last one goes.
class Block {
public:
    explicit Block(BlockKind kind);
    virtual ~Block();
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    BlockKind kind() const { return header.kind; }

    // Fills the block from the stream, which stands at the block's link section
    // (the identification block: at its first byte). `found` is the header
    // just read; `list` is where a chain member's successor goes (may be null).
    // Kinds that form chains derive from ChainBlock instead of overriding this.
    virtual bool parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found,
                       BlockList* list) = 0;
    // Releases every BlockRef and BlockList the block holds and frees its own
    // buffers; the object itself is deleted by whoever calls this.
    virtual void destroy();
    // Non-null for the kinds that form chains (file history, data group,
    // channel group, channel).
    virtual ChainBlock* as_chain() { return nullptr; }

    // The first steps of every parse of a kind with links: fails unless the
    // header's link count is the kind's required count; copies the header and
    // appends the links to `links`. The stream is left at the data section,
    // whose position goes to `data_start`.
    bool parse_head(stream::Stream& stream, const BlockHeader& found, std::vector<uint64_t>& links,
                    uint64_t& data_start);

    // The use count held by all BlockRefs to this block.
    int32_t use_count() const { return count_.load(std::memory_order_relaxed); }

    // A copy of the header read from the file (the kind's default before).
    BlockHeader header;
    // File offset the block was found at.
    uint64_t offset = 0;

private:
    friend class BlockRef;
    std::atomic<int32_t> count_{0};
};

// A counted shared reference to a block. Copying increments the atomic use
// count, releasing decrements it; the release that reaches 0 destroys and
// deletes the block. Destruction of deep trees runs iteratively, so a long
// line of blocks that each hold the next cannot exhaust the stack.
class BlockRef {
public:
    BlockRef() = default;
    BlockRef(const BlockRef& other);
    BlockRef(BlockRef&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    BlockRef& operator=(const BlockRef& other);
    BlockRef& operator=(BlockRef&& other) noexcept;
    ~BlockRef() { release(); }

    // Takes a newly created block (use count 0) and gives it its count of 1.
    static BlockRef adopt(Block* block);
    // One more reference to a block that is already held elsewhere.
    static BlockRef share(Block* block);

    void release();
    Block* get() const { return block_; }
    Block* operator->() const { return block_; }
    Block& operator*() const { return *block_; }
    explicit operator bool() const { return block_ != nullptr; }
    int32_t use_count() const { return block_ != nullptr ? block_->use_count() : 0; }

private:
    Block* block_ = nullptr;
};

// Whether a block of this kind is of class T: T names its one kind as
// T::kKind; a class that serves several kinds specialises this.
template <class T>
constexpr bool holds_kind(BlockKind kind) {
    return kind == T::kKind;
}

// Typed access: the block as class T when its kind is one of T's, otherwise
// null (also for an empty reference).
template <class T>
T* as(Block* block) {
    return block != nullptr && holds_kind<T>(block->kind()) ? static_cast<T*>(block) : nullptr;
}
template <class T>
const T* as(const Block* block) {
    return block != nullptr && holds_kind<T>(block->kind()) ? static_cast<const T*>(block) : nullptr;
}
template <class T>
T* as(const BlockRef& ref) {
    return as<T>(ref.get());
}

// A chain's blocks in link order. Elements are inserted at the front (the
// chain walk adds the last member first); each element holds one reference.
class BlockList {
public:
    using const_iterator = std::deque<BlockRef>::const_iterator;

    void push_front(BlockRef ref) { items_.push_front(std::move(ref)); }
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const BlockRef& operator[](size_t i) const { return items_[i]; }
    const BlockRef& front() const { return items_.front(); }
    const BlockRef& back() const { return items_.back(); }
    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }

    // Releases every element, last first.
    void clear();
    // Releases every element, first first.
    void clear_front_first();

private:
    std::deque<BlockRef> items_;
};

// The links of a block as read, NoLink for absent ones; index 0 is the first
// link of the file layout.
struct Links {
    const uint64_t* values = nullptr;
    size_t count = 0;
    uint64_t operator[](size_t i) const { return i < count ? values[i] : kNoLink; }
};

// A block kind that forms chains through its first link (the next link).
// Its parse is split around that link so chains of any length are walked
// without one level of recursion per member: parse_block_at/parse_block_into
// run parse_head for every member from the first to the last, and then
// parse_rest from the last to the first. Each member's successor is
// therefore complete (and cached) before the member's other links are
// followed, exactly as if every member followed its next link first.
class ChainBlock : public Block {
public:
    using Block::Block;

    // The recursive form, for a caller that parses a single block by hand:
    // head, then the successor through parse_block_into(list), then the rest.
    bool parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found,
               BlockList* list) final;
    ChainBlock* as_chain() final { return this; }

    // Follows links 1.. in the kind's order (link 0, the next link, has been
    // dealt with), then reads the data fields from data_start with a new
    // FieldCursor. Everything but the next link.
    virtual bool parse_rest(stream::Stream& stream, BlockCache& cache, Links links, uint64_t data_start) = 0;
};

// Reads the header's link count of links at the stream's position, appending
// each to `links` with 0 turned into NoLink. Succeeds only when every link was
// read; a count of 2^63 or more reads nothing and fails.
bool read_links(stream::Stream& stream, const BlockHeader& header, std::vector<uint64_t>& links);

// The block at `offset`, parsed once per cache: a cached block is shared,
// NoLink and every failure give an empty reference.
BlockRef parse_block_at(stream::Stream& stream, uint64_t offset, BlockCache& cache);

// Like parse_block_at, but puts the block (and, for a chain member, every
// following member of its chain) at the front of `list` in link order.
// NoLink and every failure give false and leave the list unchanged.
bool parse_block_into(stream::Stream& stream, uint64_t offset, BlockCache& cache, BlockList* list);

// The steps of the common parse skeleton: a single link into a member (NoLink
// leaves it empty and succeeds; a link that gives no block fails), and the
// first link of a child chain into one of the block's lists.
bool follow_link(stream::Stream& stream, BlockCache& cache, uint64_t link, BlockRef& into);
bool follow_chain(stream::Stream& stream, BlockCache& cache, uint64_t link, BlockList& into);

}  // namespace tolvar::mdf
