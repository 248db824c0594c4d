#include "stream/page_cache.h"

#include <cstring>
#include <new>

namespace tolvar::stream {

PageCache::PageCache(Stream* stream, uint64_t budget)
    : stream_(stream), max_pages_(budget / kPageSize < 2 ? 2 : budget / kPageSize) {}

PageCache::Page* PageCache::page(uint64_t number) {
    const auto found = index_.find(number);
    if (found != index_.end()) {
        Page& p = pages_[found->second];
        p.last_use = ++tick_;
        return &p;
    }
    if (stream_ == nullptr || number > static_cast<uint64_t>(INT64_MAX) / kPageSize) return nullptr;
    try {
        size_t slot = pages_.size();
        if (pages_.size() < max_pages_) {
            pages_.emplace_back();
            pages_.back().bytes.resize(kPageSize);
        } else {
            // The page used longest ago makes room.
            slot = 0;
            for (size_t i = 1; i < pages_.size(); ++i) {
                if (pages_[i].last_use < pages_[slot].last_use) slot = i;
            }
            index_.erase(pages_[slot].number);
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
        index_[number] = slot;
        return &p;
    } catch (const std::bad_alloc&) {
        return nullptr;
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
