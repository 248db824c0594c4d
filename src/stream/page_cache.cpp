#include "stream/page_cache.h"

#include <cstring>
#include <new>

namespace tolvar::stream {

namespace {
// Page numbers a table of slots covers at the most (1 TiB of stream).
constexpr uint64_t kMostTablePages = uint64_t{1} << 24;
}  // namespace

PageCache::PageCache(Stream* stream, uint64_t budget)
    : stream_(stream), max_pages_(budget / kPageSize < 2 ? 2 : budget / kPageSize) {
    // Pages keep their place: a pointer to one stays good while it is held.
    try {
        pages_.reserve(static_cast<size_t>(max_pages_));
    } catch (const std::bad_alloc&) {
        max_pages_ = 0;
    }
    const int64_t size = stream != nullptr ? stream->size() : -1;
    if (size >= 0 && static_cast<uint64_t>(size) / kPageSize < kMostTablePages) {
        try {
            slots_.assign(static_cast<size_t>(static_cast<uint64_t>(size) / kPageSize + 1), 0);
        } catch (const std::bad_alloc&) {
            slots_.clear();
        }
    }
}

PageCache::Page* PageCache::page(uint64_t number) {
    if (last_ != nullptr && last_->number == number) return last_;
    size_t held = 0;
    if (!slots_.empty()) {
        if (number < slots_.size()) held = slots_[number];
    } else {
        const auto found = index_.find(number);
        if (found != index_.end()) held = found->second + 1;
    }
    if (held != 0) {
        Page& p = pages_[held - 1];
        p.last_use = ++tick_;
        last_ = &p;
        return &p;
    }
    if (stream_ == nullptr || number > static_cast<uint64_t>(INT64_MAX) / kPageSize) return nullptr;
    try {
        size_t slot = pages_.size();
        if (max_pages_ == 0) return nullptr;
        if (pages_.size() < max_pages_) {
            pages_.emplace_back();
            pages_.back().bytes.resize(kPageSize);
        } else {
            // The page used longest ago makes room.
            slot = 0;
            for (size_t i = 1; i < pages_.size(); ++i) {
                if (pages_[i].last_use < pages_[slot].last_use) slot = i;
            }
            forget(pages_[slot].number);
        }
        Page& p = pages_[slot];
        p.number = number;
        p.size = 0;
        p.last_use = ++tick_;
        const int64_t at = static_cast<int64_t>(number * kPageSize);
        if (stream_->seek(at, kSeekSet) == at) {
            const int64_t got = read_fully(*stream_, p.bytes.data(), kPageSize);
            if (got > 0) p.size = static_cast<uint64_t>(got);
        }
        ++pages_read_;
        if (!slots_.empty()) {
            if (number < slots_.size()) slots_[number] = static_cast<uint32_t>(slot + 1);
        } else {
            index_[number] = slot;
        }
        last_ = &p;
        return &p;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void PageCache::prefetch(uint64_t offset) {
    Page* p = page(offset / kPageSize);
    const uint64_t within = offset % kPageSize;
    if (p != nullptr && within < p->size) __builtin_prefetch(p->bytes.data() + within);
}

void PageCache::forget(uint64_t number) {
    if (!slots_.empty()) {
        if (number < slots_.size()) slots_[number] = 0;
    } else {
        index_.erase(number);
    }
}

const uint8_t* PageCache::fetch(uint64_t offset, uint64_t n) {
    const uint64_t first = offset / kPageSize;
    const uint64_t within = offset % kPageSize;
    if (n <= kPageSize - within) {
        Page* p = page(first);
        if (p == nullptr || p->size < within || p->size - within < n) return nullptr;
        return p->bytes.data() + within;
    }
    // Across pages: put together piece by piece, as the bytes arrive.
    joined_.clear();
    uint64_t at = offset;
    while (joined_.size() < n) {
        Page* p = page(at / kPageSize);
        const uint64_t in_page = at % kPageSize;
        if (p == nullptr || p->size <= in_page) return nullptr;
        const uint64_t take = n - joined_.size() < p->size - in_page ? n - joined_.size() : p->size - in_page;
        if (!joined_.append(p->bytes.data() + in_page, take)) return nullptr;
        at += take;
        if (p->size < kPageSize && joined_.size() < n) return nullptr;
    }
    return joined_.data();
}

}  // namespace tolvar::stream
