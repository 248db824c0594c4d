// PageCache: pieces of a Stream read at places that jump about (values found
// by their offset anywhere in a data section), kept as pages of a fixed size
// so that each page is read once while it stays, up to a budget; the page
// used longest ago goes first. Owns its pages; borrows the Stream, which
// other readers may share (every read seeks first).
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "stream/byte_buffer.h"
#include "stream/stream.h"

namespace tolvar::stream {

class PageCache {
public:
    static constexpr uint64_t kPageSize = 64 * 1024;

    // Keeps at most `budget` bytes of pages (at least two pages).
    PageCache(Stream* stream, uint64_t budget);
    PageCache(const PageCache&) = delete;
    PageCache& operator=(const PageCache&) = delete;

    // The n bytes at `offset`, or null when fewer exist (or memory runs
    // out). Valid until the next call. Bytes that span pages are put
    // together in a buffer of the cache's own.
    const uint8_t* fetch(uint64_t offset, uint64_t n);

    // Reads the page that holds `offset` when it is not held, and asks the
    // processor to fetch the byte there, so that many values found in a row
    // wait for memory together.
    void prefetch(uint64_t offset);

    // Pages read from the stream so far (each read of a page that had gone
    // counts again).
    uint64_t pages_read() const { return pages_read_; }

private:
    struct Page {
        uint64_t number = 0;
        uint64_t last_use = 0;
        uint64_t size = 0;  // bytes the stream had for it (short at its end)
        std::vector<uint8_t> bytes;
    };
    // The page, read when it is not held; null when it cannot be read or
    // memory runs out.
    Page* page(uint64_t number);
    void forget(uint64_t number);

    Stream* stream_;  // borrowed
    uint64_t max_pages_;
    std::vector<Page> pages_;
    // Page number -> slot in pages_ + 1 (0: not held), for a stream of known
    // size; a map for one whose size is unknown.
    std::vector<uint32_t> slots_;
    std::unordered_map<uint64_t, size_t> index_;
    Page* last_ = nullptr;  // the page of the last fetch
    uint64_t tick_ = 0;
    uint64_t pages_read_ = 0;
    ByteBuffer joined_;
};

}  // namespace tolvar::stream
