// ReadAhead: the bytes of a Stream served from memory that one seek and read
// filled, for readers that take a stream apart in many small pieces (the
// records of a data group). Only this component knows about the window and
// its refills: a reader asks for "the n bytes at offset" and gets them, or
// learns that the stream holds fewer. Owns its window; borrows the Stream,
// which other readers may share (every refill seeks first).
#pragma once

#include <cstdint>

#include "stream/byte_buffer.h"
#include "stream/stream.h"

namespace tolvar::stream {

class ReadAhead {
public:
    // A window starts small and doubles with every refill up to the largest,
    // so that the many readers made at once (one per data group, each
    // reading its first record) hold little memory until they really run.
    static constexpr uint64_t kFirstWindow = 1024;
    static constexpr uint64_t kLargestWindow = 64 * 1024;

    explicit ReadAhead(Stream* stream) : stream_(stream) {}
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    Stream* stream() const { return stream_; }

    // The n bytes at `offset`, or null when fewer exist (or memory runs out).
    // Valid until the next fetch.
    const uint8_t* fetch(uint64_t offset, uint64_t n) {
        const uint8_t* bytes = held(offset, n);
        return bytes != nullptr ? bytes : refill(offset, n);
    }
    // The same without reading: null unless the window holds them.
    const uint8_t* held(uint64_t offset, uint64_t n) const {
        const uint64_t size = window_.size();
        if (offset >= start_ && offset - start_ <= size && n <= size - (offset - start_)) {
            return window_.data() + (offset - start_);
        }
        return nullptr;
    }
    // Where the window lies: the bytes from window_start() on, window_size()
    // of them. A reader that scans many records at once works inside it.
    const uint8_t* window() const { return window_.data(); }
    uint64_t window_start() const { return start_; }
    uint64_t window_size() const { return window_.size(); }

private:
    const uint8_t* refill(uint64_t offset, uint64_t n);

    Stream* stream_;  // borrowed
    ByteBuffer window_;
    uint64_t start_ = 0;
    uint64_t next_size_ = kFirstWindow;  // bytes asked for by the next refill
};

}  // namespace tolvar::stream
