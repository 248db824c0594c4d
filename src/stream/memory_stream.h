// A growable in-memory Stream in one contiguous buffer; holds the decoded
// content of every container layer. Owns its buffer.
#pragma once

#include <cstdint>

#include "stream/stream.h"

namespace tolvar::stream {

class MemoryStream final : public Stream {
public:
    MemoryStream() = default;
    ~MemoryStream() override;

    int64_t read(void* buffer, uint64_t n) override;
    // Grows the capacity from 2 bytes, doubling until the write fits. A failed
    // allocation returns -1 and keeps the previous content.
    int64_t write(const void* buffer, uint64_t n) override;
    int64_t tell() override;
    // Seeking past the end from the end (whence 2) first extends the content
    // with zero bytes; any target up to the capacity is accepted.
    int64_t seek(int64_t offset, int whence) override;
    int close() override;

    uint64_t capacity() const { return capacity_; }
    uint64_t content_size() const { return size_; }
    uint64_t position() const { return position_; }
    // The content, valid until the next write or close.
    const uint8_t* data() const { return buffer_; }
    uint8_t* data() { return buffer_; }

    // Makes room for at least `capacity` bytes without changing the content;
    // false when the allocation fails.
    bool reserve(uint64_t capacity);

    // Makes the n bytes after the content, which the caller has already
    // written through data() within the reserved capacity, part of the
    // content, and moves the position to its new end. Lets a decoder fill the
    // buffer in place instead of copying through write(). False, changing
    // nothing, when they lie beyond the capacity.
    bool append_in_place(uint64_t n);

private:
    bool grow_for(uint64_t end);

    uint64_t capacity_ = 0;
    uint64_t size_ = 0;  // the highest position any write reached
    uint64_t position_ = 0;
    uint8_t* buffer_ = nullptr;
};

}  // namespace tolvar::stream
