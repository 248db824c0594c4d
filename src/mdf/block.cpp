#include "mdf/block.h"

#include <new>
#include <utility>

#include "log/log.h"
#include "mdf/block_cache.h"
#include "mdf/block_kinds.h"
#include "stream/field_cursor.h"

namespace tolvar::mdf {

// ---------------------------------------------------------------- Block

BlockHeader default_header(BlockKind kind) {
    switch (kind) {
        case BlockKind::kId: return {kind, 64, 0};
        case BlockKind::kCc: return {kind, 80, 4};
        case BlockKind::kCg: return {kind, 104, 6};
        case BlockKind::kCn: return {kind, 160, 8};
        case BlockKind::kDg: return {kind, 64, 4};
        case BlockKind::kDt: return {kind, 24, 0};
        case BlockKind::kFh: return {kind, 56, 2};
        case BlockKind::kHd: return {kind, 104, 6};
        case BlockKind::kMd: return {kind, 24, 0};
        case BlockKind::kSd: return {kind, 24, 0};
        case BlockKind::kSi: return {kind, 56, 3};
        case BlockKind::kTx: return {kind, 24, 0};
        case BlockKind::kDl: return {kind, 40, 2};
        case BlockKind::kDz: return {kind, 48, 0};
        case BlockKind::kHl: return {kind, 40, 1};
        case BlockKind::kNone: break;
    }
    return {BlockKind::kNone, 0, 0};
}

Block::Block(BlockKind kind) : header(default_header(kind)) {}

Block::~Block() = default;

void Block::destroy() {}

// ---------------------------------------------------------------- BlockRef

namespace {

// Destroying a block releases its children, whose destruction releases
// theirs, and so on: done recursively, a long line of blocks that each hold
// the next (conversions through their inverse links, structures of
// structures) would need one stack frame per block. The first release on a
// thread drains a queue instead; releases made while it drains only queue.
// The queue lives on the stack of that first release and the thread keeps
// only a plain pointer to it: a thread-local object with a destructor would
// tie the module to the C library's registration of thread-exit destructors,
// which old systems lack.
void destroy_block(Block* block) {
    thread_local std::vector<Block*>* draining = nullptr;
    if (draining != nullptr) {
        try {
            draining->push_back(block);
            return;
        } catch (...) {
            // Out of memory for the queue: fall back to destroying in place.
            block->destroy();
            delete block;
            return;
        }
    }
    std::vector<Block*> queue;
    struct Drain {
        explicit Drain(std::vector<Block*>* queue) { draining = queue; }
        ~Drain() { draining = nullptr; }
        Drain(const Drain&) = delete;
        Drain& operator=(const Drain&) = delete;
    } drain(&queue);
    block->destroy();
    delete block;
    while (!queue.empty()) {
        Block* next = queue.back();
        queue.pop_back();
        next->destroy();
        delete next;
    }
}

}  // namespace

BlockRef BlockRef::share(Block* block) {
    BlockRef ref;
    if (block != nullptr) {
        block->count_.fetch_add(1, std::memory_order_relaxed);
        ref.block_ = block;
    }
    return ref;
}

BlockRef::BlockRef(const BlockRef& other) : block_(other.block_) {
    if (block_ != nullptr) block_->count_.fetch_add(1, std::memory_order_relaxed);
}

BlockRef& BlockRef::operator=(const BlockRef& other) {
    if (other.block_ != nullptr) other.block_->count_.fetch_add(1, std::memory_order_relaxed);
    release();
    block_ = other.block_;
    return *this;
}

BlockRef& BlockRef::operator=(BlockRef&& other) noexcept {
    if (this != &other) {
        release();
        block_ = other.block_;
        other.block_ = nullptr;
    }
    return *this;
}

BlockRef BlockRef::adopt(Block* block) {
    BlockRef ref;
    if (block != nullptr) {
        block->count_.store(1, std::memory_order_relaxed);
        ref.block_ = block;
    }
    return ref;
}

void BlockRef::release() {
    Block* block = block_;
    if (block == nullptr) return;
    block_ = nullptr;
    if (block->count_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy_block(block);
}

// ---------------------------------------------------------------- BlockList

void BlockList::clear() {
    while (!items_.empty()) items_.pop_back();
}

void BlockList::clear_front_first() {
    while (!items_.empty()) items_.pop_front();
}

// ---------------------------------------------------------------- links

bool read_links(stream::Stream& stream, const BlockHeader& header, std::vector<uint64_t>& links) {
    stream::FieldCursor cursor(&stream);
    const int64_t count = static_cast<int64_t>(header.link_count);
    int64_t read = 0;
    for (int64_t i = 0; i < count; ++i) {
        uint64_t link = 0;
        if (!cursor.read_u64(link)) break;
        links.push_back(link == 0 ? kNoLink : link);
        ++read;
    }
    return count >= 0 && static_cast<uint64_t>(read) == header.link_count;
}

// ---------------------------------------------------------------- chains

bool Block::parse_head(stream::Stream& stream, const BlockHeader& found, std::vector<uint64_t>& links,
                       uint64_t& data_start) {
    if (found.link_count != default_header(kind()).link_count) return false;
    header = found;
    stream::FieldCursor cursor(&stream);
    const size_t before = links.size();
    if (!read_links(stream, found, links)) {
        links.resize(before);
        return false;
    }
    data_start = cursor.base() + 8 * found.link_count;
    return true;
}

bool ChainBlock::parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found, BlockList* list) {
    std::vector<uint64_t> links;
    uint64_t data_start = 0;
    if (!parse_head(stream, found, links, data_start)) return false;
    if (links[0] != kNoLink && !parse_block_into(stream, links[0], cache, list)) return false;
    return parse_rest(stream, cache, Links{links.data(), links.size()}, data_start);
}

namespace {

// Seeks to offset, reads the header and creates the block of its kind.
BlockRef load_block(stream::Stream& stream, uint64_t offset, const BlockCache& cache, BlockHeader& header) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return {};
    if (stream.seek(static_cast<int64_t>(offset), stream::kSeekSet) != static_cast<int64_t>(offset)) return {};
    const auto read = read_block_header(stream, cache.options().any_writer);
    if (!read) return {};
    header = *read;
    BlockRef block = create_block(header.kind);
    if (!block) {
        TOLVAR_LOG_ERROR("Could not parse block at offset %llu", static_cast<unsigned long long>(offset));
        return {};
    }
    block->offset = offset;
    return block;
}

// Holds one level of nesting for the duration of a parse.
class NestingLevel {
public:
    explicit NestingLevel(BlockCache& cache) : cache_(cache), entered_(cache.enter()) {}
    ~NestingLevel() {
        if (entered_) cache_.leave();
    }
    explicit operator bool() const { return entered_; }

private:
    BlockCache& cache_;
    bool entered_;
};

struct ChainMember {
    BlockRef block;
    size_t links_at;  // index of its first link in the walk's link store
    size_t link_count;
    uint64_t data_start;
};

// Parses the block at offset and, when it is a chain member, every member
// that follows it. On success `first` gets the block at offset, and `list`
// gets, at its front and in link order, the blocks parsed here followed by the
// block that ended the chain (a member that was cached before, or a block of
// a kind that forms no chain). Iterative: members are opened (header and
// links) from the first to the last, then completed from the last to the
// first, which is the order in which a recursive walk that follows every next
// link first would complete them. Every offset being walked stays marked in
// the cache until its block is complete, so any link back to it is a cycle.
bool walk_chain(stream::Stream& stream, uint64_t offset, BlockCache& cache, BlockList* list, BlockRef* first) {
    if (offset == kNoLink) return false;
    NestingLevel level(cache);
    if (!level) return false;

    std::vector<ChainMember> members;
    std::vector<uint64_t> links;
    BlockRef tail;
    bool ok = true;
    uint64_t at = offset;
    for (;;) {
        bool unfinished = false;
        if (Block* cached = cache.find(at, unfinished)) {
            tail = BlockRef::share(cached);
            break;
        }
        // A link back to a block whose parse has not finished: a cycle.
        if (unfinished) {
            ok = false;
            break;
        }
        BlockHeader header;
        BlockRef block = load_block(stream, at, cache, header);
        if (!block) {
            ok = false;
            break;
        }
        if (ChainBlock* chain = block->as_chain()) {
            const size_t links_at = links.size();
            uint64_t data_start = 0;
            if (!chain->parse_head(stream, header, links, data_start) || !cache.begin(at)) {
                ok = false;
                break;
            }
            members.push_back({std::move(block), links_at, links.size() - links_at, data_start});
            at = links[links_at];
            if (at == kNoLink) break;
            continue;
        }
        if (!cache.begin(at)) {
            ok = false;
            break;
        }
        if (!block->parse(stream, cache, header, list) || !cache.complete(at, block)) {
            cache.abandon(at);
            ok = false;
            break;
        }
        tail = std::move(block);
        break;
    }

    size_t open = members.size();  // members [0, open) still carry a mark
    while (ok && open > 0) {
        ChainMember& member = members[open - 1];
        ChainBlock* chain = member.block->as_chain();
        const Links member_links{links.data() + member.links_at, member.link_count};
        if (!chain->parse_rest(stream, cache, member_links, member.data_start) ||
            !cache.complete(member.block->offset, member.block)) {
            ok = false;
            break;
        }
        --open;
    }
    if (!ok) {
        for (size_t i = 0; i < open; ++i) cache.abandon(members[i].block->offset);
        return false;
    }

    if (first != nullptr) *first = members.empty() ? tail : members.front().block;
    if (list != nullptr) {
        if (tail) list->push_front(std::move(tail));
        for (size_t i = members.size(); i-- > 0;) list->push_front(std::move(members[i].block));
    }
    return true;
}

}  // namespace

BlockRef parse_block_at(stream::Stream& stream, uint64_t offset, BlockCache& cache) {
    BlockRef first;
    if (!walk_chain(stream, offset, cache, nullptr, &first)) return {};
    return first;
}

bool parse_block_into(stream::Stream& stream, uint64_t offset, BlockCache& cache, BlockList* list) {
    return walk_chain(stream, offset, cache, list, nullptr);
}

bool follow_link(stream::Stream& stream, BlockCache& cache, uint64_t link, BlockRef& into) {
    into.release();
    if (link == kNoLink) return true;
    into = parse_block_at(stream, link, cache);
    return static_cast<bool>(into);
}

bool follow_chain(stream::Stream& stream, BlockCache& cache, uint64_t link, BlockList& into) {
    if (link == kNoLink) return true;
    return parse_block_into(stream, link, cache, &into);
}

}  // namespace tolvar::mdf
