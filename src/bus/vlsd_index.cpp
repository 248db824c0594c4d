#include "bus/vlsd_index.h"

#include <algorithm>
#include <new>

#include "bus/record_framing.h"
#include "bus/record_plan.h"
#include "stream/read_ahead.h"

namespace tolvar::bus {

namespace {
// Records of a block of entries at the most: a new base now and then keeps
// the search within a block short.
constexpr uint64_t kBlockEntries = 4096;
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

std::optional<uint64_t> VlsdIndex::find(uint32_t slot, uint64_t offset) const {
    if (slot >= groups_.size()) return std::nullopt;
    const Group& group = groups_[slot];
    // The block whose base is the last at or below the offset.
    const auto block = std::upper_bound(group.blocks.begin(), group.blocks.end(), offset,
                                        [](uint64_t o, const Block& b) { return o < b.offset; });
    if (block == group.blocks.begin()) return std::nullopt;
    const Block& base = *(block - 1);
    const uint64_t end = block == group.blocks.end() ? group.entries.size() : block->first;
    const uint64_t delta = offset - base.offset;
    if (delta > UINT32_MAX) return std::nullopt;
    const auto first = group.entries.begin() + static_cast<std::ptrdiff_t>(base.first);
    const auto last = group.entries.begin() + static_cast<std::ptrdiff_t>(end);
    const auto entry = std::lower_bound(first, last, static_cast<uint32_t>(delta),
                                        [](const Entry& e, uint32_t d) { return e.offset < d; });
    if (entry == last || entry->offset != delta) return std::nullopt;
    return base.position + entry->position;
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

}  // namespace tolvar::bus
