#include "bus/vlsd_index.h"

#include <algorithm>
#include <memory>
#include <new>

#include "bus/record_framing.h"
#include "bus/record_plan.h"
#include "stream/read_ahead.h"

namespace tolvar::bus {

namespace {
// Records of a block of entries at the most: a new base now and then keeps
// the search within a block short, and the guess of where an offset stands
// within a few entries of the one looked for.
constexpr uint64_t kBlockEntries = 256;
}  // namespace

bool VlsdIndex::Group::add(uint64_t offset, uint64_t position) {
    const bool fits = !blocks.empty() && entries.size() - blocks.back().first < kBlockEntries &&
                      offset - blocks.back().offset <= UINT32_MAX && position - blocks.back().position <= UINT32_MAX;
    try {
        if (!fits) blocks.push_back(Block{offset, position, entries.size()});
        const Block& base = blocks.back();
        entries.push_back(Entry{static_cast<uint32_t>(offset - base.offset),
                                static_cast<uint32_t>(position - base.position)});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

std::optional<VlsdIndex> VlsdIndex::build(const GroupPlan& plan) {
    VlsdIndex index;
    std::vector<uint64_t> sizes;  // per group: the offset of its next record
    try {
        index.groups_.resize(plan.vlsd_groups);
        sizes.assign(plan.vlsd_groups, 0);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    stream::ReadAhead ahead(plan.data);
    RecordFraming framing(&plan);
    uint64_t at = 0;
    for (;;) {
        FramedRecord framed;
        if (framing.frame<false>(ahead, at, framed, nullptr) != Framing::kRecord) break;
        const RecordGroup& group = *framed.group;
        if (group.record_length < 0 && group.vlsd_slot < plan.vlsd_groups) {
            const uint64_t size = framed.next - framed.record_at;
            if (!index.groups_[group.vlsd_slot].add(sizes[group.vlsd_slot], framed.record_at)) return std::nullopt;
            sizes[group.vlsd_slot] += size;
            index.groups_[group.vlsd_slot].size = sizes[group.vlsd_slot];
        }
        at = framed.next;
    }
    // What the growth reserved beyond the entries goes back.
    for (Group& group : index.groups_) {
        try {
            group.entries.shrink_to_fit();
            group.blocks.shrink_to_fit();
        } catch (const std::bad_alloc&) {
        }
    }
    return index;
}

struct VlsdIndex::Span {
    const Block* base;
    const Entry* first;
    const Entry* last;
    const Entry* guess;
    uint32_t delta;
};

bool VlsdIndex::span_of(const Group& group, uint64_t offset, Span& span) {
    // The block whose base is the last at or below the offset.
    const auto block = std::upper_bound(group.blocks.begin(), group.blocks.end(), offset,
                                        [](uint64_t o, const Block& b) { return o < b.offset; });
    if (block == group.blocks.begin()) return false;
    const Block& base = *(block - 1);
    const uint64_t end = block == group.blocks.end() ? group.entries.size() : block->first;
    const uint64_t delta = offset - base.offset;
    if (delta > UINT32_MAX || end == base.first) return false;
    span.base = &base;
    span.first = group.entries.data() + base.first;
    span.last = group.entries.data() + end;
    span.delta = static_cast<uint32_t>(delta);
    // The offsets grow about evenly within a block: the entry the offset
    // would have at the block's mean record size is close to the one looked
    // for. The block's size comes from where the next one starts (or the
    // group's end), which lie beside its base rather than among the entries.
    const uint64_t count = end - base.first;
    const uint64_t spanned = (block == group.blocks.end() ? group.size : block->offset) - base.offset;
    uint64_t guess = spanned == 0 ? 0 : static_cast<uint64_t>(static_cast<double>(delta) / spanned * count);
    if (guess >= count) guess = count - 1;
    span.guess = span.first + guess;
    return true;
}

std::optional<uint64_t> VlsdIndex::find(uint32_t slot, uint64_t offset) const {
    if (slot >= groups_.size()) return std::nullopt;
    Span span;
    if (!span_of(groups_[slot], offset, span)) return std::nullopt;
    // The search stays within a few cache lines of the guess where the
    // offset lies there.
    constexpr std::ptrdiff_t kReach = 8;
    const Entry* low = span.guess - span.first > kReach ? span.guess - kReach : span.first;
    const Entry* high = span.last - span.guess > kReach ? span.guess + kReach + 1 : span.last;
    if (low->offset > span.delta || high[-1].offset < span.delta) {
        low = span.first;
        high = span.last;
    }
    const Entry* entry = std::lower_bound(low, high, span.delta,
                                          [](const Entry& e, uint32_t d) { return e.offset < d; });
    if (entry == high || entry->offset != span.delta) return std::nullopt;
    return span.base->position + entry->position;
}

void VlsdIndex::prefetch(uint32_t slot, uint64_t offset) const {
    if (slot >= groups_.size()) return;
    Span span;
    if (!span_of(groups_[slot], offset, span)) return;
    // The lines around the guess, where the search will look.
    __builtin_prefetch(span.guess);
    if (span.guess - span.first >= 8) __builtin_prefetch(span.guess - 8);
    if (span.last - span.guess > 8) __builtin_prefetch(span.guess + 8);
}

uint64_t VlsdIndex::records() const {
    uint64_t n = 0;
    for (const Group& group : groups_) n += group.entries.size();
    return n;
}

uint64_t VlsdIndex::bytes() const {
    uint64_t n = 0;
    for (const Group& group : groups_) n += group.entries.capacity() * sizeof(Entry) + group.blocks.capacity() * sizeof(Block);
    return n;
}

// Defined here, with the index whole, so that the plan holds it without
// knowing it.
const VlsdIndex* GroupPlan::vlsd_index() const {
    if (!vlsd_index_tried_) {
        vlsd_index_tried_ = true;
        std::optional<VlsdIndex> built = VlsdIndex::build(*this);
        if (built) {
            try {
                vlsd_index_ = std::make_shared<const VlsdIndex>(std::move(*built));
            } catch (const std::bad_alloc&) {
                // Without an index the values by offset are not found.
            }
        }
    }
    return vlsd_index_.get();
}

}  // namespace tolvar::bus
