#include "mdf/block_cache.h"

#include <utility>

namespace tolvar::mdf {

size_t BlockCache::home_of(uint64_t offset) const {
    // Offsets are multiples of 8 and cluster; a multiplicative hash spreads them.
    const uint64_t h = (offset ^ (offset >> 29)) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> 16) & (slots_.size() - 1);
}

size_t BlockCache::slot_of(uint64_t offset) const {
    if (slots_.empty()) return npos;
    const Slot* slots = slots_.data();
    const size_t mask = slots_.size() - 1;
    for (size_t i = home_of(offset);; i = (i + 1) & mask) {
        if (!slots[i].used) return npos;
        if (slots[i].offset == offset) return i;
    }
}

bool BlockCache::grow() {
    const size_t size = slots_.empty() ? 64 : slots_.size() * 2;
    if (size < slots_.size()) return false;
    std::vector<Slot> old;
    old.swap(slots_);
    try {
        slots_.resize(size);
    } catch (...) {
        slots_.swap(old);
        return false;
    }
    const size_t mask = size - 1;
    for (Slot& slot : old) {
        if (!slot.used) continue;
        size_t i = home_of(slot.offset);
        while (slots_[i].used) i = (i + 1) & mask;
        slots_[i] = std::move(slot);
    }
    return true;
}

Block* BlockCache::find(uint64_t offset) const {
    const size_t i = slot_of(offset);
    return i != npos ? slots_[i].block.get() : nullptr;
}

Block* BlockCache::find(uint64_t offset, bool& in_progress) const {
    const size_t i = slot_of(offset);
    in_progress = i != npos && !slots_[i].block;
    return i != npos ? slots_[i].block.get() : nullptr;
}

bool BlockCache::in_progress(uint64_t offset) const {
    const size_t i = slot_of(offset);
    return i != npos && !slots_[i].block;
}

bool BlockCache::begin(uint64_t offset) {
    if ((used_ + 1) * 2 > slots_.size() && !grow()) return false;
    Slot* slots = slots_.data();
    const size_t mask = slots_.size() - 1;
    size_t i = home_of(offset);
    for (; slots[i].used; i = (i + 1) & mask) {
        if (slots[i].offset == offset) return false;
    }
    slots[i].offset = offset;
    slots[i].used = true;
    ++used_;
    return true;
}

void BlockCache::abandon(uint64_t offset) {
    size_t i = slot_of(offset);
    if (i == npos || slots_[i].block) return;
    // Backward-shift deletion keeps every probe sequence unbroken.
    const size_t mask = slots_.size() - 1;
    slots_[i].used = false;
    --used_;
    for (size_t j = (i + 1) & mask; slots_[j].used; j = (j + 1) & mask) {
        const size_t home = home_of(slots_[j].offset);
        // Move j into the hole at i when its home does not lie in (i, j].
        const bool between = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (between) continue;
        slots_[i] = std::move(slots_[j]);
        slots_[j].used = false;
        slots_[j].block.release();
        i = j;
    }
}

bool BlockCache::complete(uint64_t offset, const BlockRef& block) {
    if (!block) return false;
    size_t i = slot_of(offset);
    if (i == npos) {
        if (!begin(offset)) return false;
        i = slot_of(offset);
    }
    if (slots_[i].block) return false;
    slots_[i].block = block;
    ++completed_;
    return true;
}

bool BlockCache::charge(stream::Stream& stream, uint64_t bytes) {
    if (budget_ == kUnknown) {
        const int64_t size = stream.size();
        // A stream that cannot tell its size is bounded by its reads alone.
        budget_ = size >= 0 ? static_cast<uint64_t>(size) : kUnknown - 1;
    }
    if (bytes > budget_ - charged_) return false;
    charged_ += bytes;
    return true;
}

bool BlockCache::enter() {
    if (depth_ >= kMaxNestingDepth) return false;
    ++depth_;
    return true;
}

}  // namespace tolvar::mdf
