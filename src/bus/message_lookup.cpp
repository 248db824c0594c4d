#include "bus/message_lookup.h"

#include <new>
#include <utility>

namespace tolvar::bus {

bool MessageLookup::fill(std::vector<Slot>& slots, const std::vector<std::pair<uint32_t, int32_t>>& entries) {
    slots.clear();
    if (entries.empty()) return true;
    size_t size = 4;
    while (size < entries.size() * 2) size *= 2;
    slots.assign(size, Slot{});
    const uint32_t mask = static_cast<uint32_t>(size - 1);
    for (const auto& [key, value] : entries) {
        uint32_t i = hash(key) >> 8 & mask;
        while (slots[i].key != kEmpty && slots[i].key != key) i = (i + 1) & mask;
        slots[i] = Slot{key, value};  // a later entry of the same key replaces the earlier
    }
    return true;
}

bool MessageLookup::build(const std::vector<Key>& keys) {
    try {
        standard_.clear();
        std::vector<std::pair<uint32_t, int32_t>> extended;
        std::vector<std::pair<uint32_t, int32_t>> by_group;
        for (size_t i = 0; i < keys.size(); ++i) {
            const Key& k = keys[i];
            const int32_t index = static_cast<int32_t>(i);
            if (!k.extended) {
                if (k.frame_id >= kStandardCount) continue;
                if (standard_.empty()) standard_.assign(kStandardCount, -1);
                standard_[k.frame_id] = index;
                continue;
            }
            if (k.frame_id > 0x1FFFFFFFu) continue;
            extended.emplace_back(k.frame_id, index);
            if (k.j1939) by_group.emplace_back(parameter_group_number(k.frame_id), index);
        }
        return fill(extended_, extended) && fill(by_group_, by_group);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace tolvar::bus
