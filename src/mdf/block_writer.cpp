#include "mdf/block_writer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace tolvar::mdf {

namespace {

constexpr uint64_t kMaxPosition = static_cast<uint64_t>(INT64_MAX);
constexpr uint64_t kZeroChunk = 4096;
const uint8_t kZeros[kZeroChunk] = {};

// One more level of nesting for as long as it lives; false past the limit.
class SaveLevel {
public:
    explicit SaveLevel(SaveContext& context) : context_(context), entered_(context.depth < kMaxSaveDepth) {
        if (entered_) ++context_.depth;
    }
    ~SaveLevel() {
        if (entered_) --context_.depth;
    }
    SaveLevel(const SaveLevel&) = delete;
    SaveLevel& operator=(const SaveLevel&) = delete;
    explicit operator bool() const { return entered_; }

private:
    SaveContext& context_;
    bool entered_;
};

// Writes zeros from how far the output has been written up to `offset`, so
// that a block written beyond the output's end leaves no unwritten gap (a
// memory stream would otherwise refuse the seek, or show old bytes there).
bool fill_to(SaveContext& context, uint64_t offset) {
    if (context.stream == nullptr) return false;
    if (context.end >= offset) return true;
    FieldCursor cursor(context.stream, context.end);
    uint64_t left = offset - context.end;
    while (left > 0) {
        const uint64_t n = std::min(left, kZeroChunk);
        if (!cursor.write_bytes(kZeros, n)) return false;
        left -= n;
    }
    context.end = offset;
    return true;
}

// Gives a chain member its offset and marks it as being saved.
bool begin_member(SaveContext& context, ChainBlock& member) {
    const BlockHeader layout = default_header(member.kind());
    if (!place_block(context, member, layout.link_count, layout.length)) return false;
    context.in_progress.insert(&member);
    return true;
}

// Writes the next link of a chain member that was written without one.
bool patch_next_link(SaveContext& context, const Block& member, uint64_t next) {
    FieldCursor cursor(context.stream, member.offset + kBlockHeaderSize);
    return cursor.write_u64(next);
}

bool save_chain_members(SaveContext& context, const BlockList& list) {
    struct Member {
        ChainBlock* block;
        size_t index;  // in the list
    };
    std::vector<Member> members;  // saved here, in list order
    std::vector<size_t> patches;  // open tails that this list continues
    size_t end = 0;               // list elements [0, end) are linked
    bool ok = true;
    for (size_t i = 0; i < list.size() && ok; ++i) {
        Block* block = list[i].get();
        end = i + 1;
        if (block == nullptr || context.in_progress.count(block) != 0) {
            ok = false;  // nothing to link to, or a cycle
            break;
        }
        if (context.saved.count(block) != 0) {
            // A block saved before is linked to as it stands: its successors
            // were saved with it, unless it was written as the end of a chain
            // and this list goes on after it.
            if (i + 1 < list.size() && context.open_tails.count(block) != 0) {
                patches.push_back(i);
                continue;
            }
            break;
        }
        ChainBlock* member = block->as_chain();
        if (member == nullptr) {
            // A block of a kind that forms no chain ends it: it has no next
            // link, so nothing after it in the list could be linked.
            ok = i + 1 == list.size() && save_block(block, &context);
            break;
        }
        ok = begin_member(context, *member);
        if (ok) members.push_back({member, i});
    }

    size_t open = members.size();  // members [0, open) are still in progress
    while (ok && open > 0) {
        const Member& member = members[open - 1];
        const uint64_t next = member.index + 1 < end ? list[member.index + 1]->offset : 0;
        ok = member.block->save_member(context, next);
        context.in_progress.erase(member.block);
        --open;
        if (ok) {
            context.saved.insert(member.block);
            if (next == 0) context.open_tails.insert(member.block);
        }
    }
    for (size_t i = 0; i < open; ++i) context.in_progress.erase(members[i].block);
    if (!ok) return false;

    for (size_t i : patches) {
        const Block* tail = list[i].get();
        if (!patch_next_link(context, *tail, list[i + 1]->offset)) return false;
        context.open_tails.erase(tail);
    }
    return true;
}

}  // namespace

bool align8(uint64_t value, uint64_t& aligned) {
    if (value > kMaxPosition - 7) return false;
    aligned = (value + 7) & ~uint64_t{7};
    return true;
}

bool save_block(Block* block, SaveContext* context) {
    if (block == nullptr || context == nullptr || context->stream == nullptr) return false;
    if (context->saved.count(block) != 0) return true;
    // A link back to a block whose save has not finished: a cycle.
    if (context->in_progress.count(block) != 0) return false;
    SaveLevel level(*context);
    if (!level) return false;
    try {
        context->in_progress.insert(block);
        const bool ok = block->save(*context);
        context->in_progress.erase(block);
        if (ok) context->saved.insert(block);
        return ok;
    } catch (const std::bad_alloc&) {
        context->in_progress.erase(block);
        return false;
    }
}

bool save_link(SaveContext& context, const BlockRef& child, std::vector<uint64_t>& links) {
    if (!child) {
        links.push_back(0);
        return true;
    }
    const bool ok = save_block(child.get(), &context);
    links.push_back(child->offset);
    return ok;
}

bool save_chain(SaveContext& context, const BlockList& list, std::vector<uint64_t>& links) {
    if (list.empty()) {
        links.push_back(0);
        return true;
    }
    SaveLevel level(context);
    if (!level) return false;
    bool ok = false;
    try {
        ok = save_chain_members(context, list);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    links.push_back(list.front() ? list.front()->offset : 0);
    return ok;
}

bool place_block(SaveContext& context, Block& block, uint64_t link_count, uint64_t layout_size) {
    if (block.header.link_count != link_count) return false;
    const uint64_t size = std::max(block.header.length, layout_size);
    if (context.next > kMaxPosition || size > kMaxPosition - context.next) return false;
    block.offset = context.next;
    context.next += size;
    return true;
}

bool write_at(SaveContext& context, uint64_t offset, const void* data, uint64_t n) {
    if (offset > kMaxPosition || n > kMaxPosition - offset || !fill_to(context, offset)) return false;
    FieldCursor cursor(context.stream, offset);
    if (!cursor.write_bytes(data, n)) return false;
    context.end = std::max(context.end, offset + n);
    return true;
}

// ---------------------------------------------------------------- BlockWriter

BlockWriter::BlockWriter(SaveContext& context, uint64_t offset, const BlockHeader& header, bool with_header)
    : context_(context),
      offset_(offset),
      header_(header),
      with_header_(with_header),
      start_(with_header ? kBlockHeaderSize : 0),
      length_(with_header ? header.length : 0) {
    fields_.reserve(256);
}

void BlockWriter::links(const std::vector<uint64_t>& values) {
    for (uint64_t link : values) u64(link);
}

void BlockWriter::bytes(const void* data, uint64_t n) {
    if (n == 0) return;
    const size_t at = fields_.size();
    fields_.resize(at + n);
    std::memcpy(fields_.data() + at, data, n);
}

void BlockWriter::fixed_text(const std::string& text, uint64_t width) {
    const uint64_t n = std::min<uint64_t>(text.size(), width);
    bytes(text.data(), n);
    zeros(width - n);
}

void BlockWriter::zeros(uint64_t n) { fields_.insert(fields_.end(), n, 0); }

bool BlockWriter::finish(uint64_t length) {
    if (written() < length) zeros(length - written());
    Stream* out = context_.stream;
    if (out == nullptr || offset_ > kMaxPosition - start_ || !fill_to(context_, offset_)) return false;
    if (with_header_) {
        const auto at = static_cast<int64_t>(offset_);
        if (out->seek(at, kSeekSet) != at) return false;
        write_block_header(header_, *out);
        // The header writer does not report; the position it reached does.
        if (out->tell() != at + static_cast<int64_t>(kBlockHeaderSize)) return false;
        context_.end = std::max(context_.end, offset_ + kBlockHeaderSize);
    }
    return write_at(context_, offset_ + start_, fields_.data(), fields_.size());
}

// ---------------------------------------------------------------- chains

bool ChainBlock::save(SaveContext& context) {
    // Reached through a single link: the block is written alone, as the end
    // of its chain; a list that continues the chain links it on later.
    const BlockHeader layout = default_header(kind());
    if (!place_block(context, *this, layout.link_count, layout.length)) return false;
    if (!save_member(context, 0)) return false;
    context.open_tails.insert(this);
    return true;
}

bool ChainBlock::save_member(SaveContext&, uint64_t) { return false; }

}  // namespace tolvar::mdf
