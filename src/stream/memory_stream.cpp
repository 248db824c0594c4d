#include "stream/memory_stream.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace tolvar::stream {

MemoryStream::~MemoryStream() { close(); }

bool MemoryStream::reserve(uint64_t capacity) {
    if (capacity <= capacity_) return true;
    if (capacity > std::numeric_limits<size_t>::max()) return false;
    void* grown = std::realloc(buffer_, static_cast<size_t>(capacity));
    if (grown == nullptr) return false;
    buffer_ = static_cast<uint8_t*>(grown);
    capacity_ = capacity;
    return true;
}

bool MemoryStream::grow_for(uint64_t end) {
    if (end <= capacity_) return true;
    uint64_t capacity = capacity_;
    while (capacity < end) {
        if (capacity == 0) {
            capacity = 2;
        } else if (capacity > std::numeric_limits<uint64_t>::max() / 2) {
            return false;
        } else {
            capacity *= 2;
        }
    }
    return reserve(capacity);
}

bool MemoryStream::append_in_place(uint64_t n) {
    if (n > capacity_ - size_) return false;
    size_ += n;
    position_ = size_;
    return true;
}

int64_t MemoryStream::write(const void* buffer, uint64_t n) {
    if (n > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - position_) return -1;
    if (!grow_for(position_ + n)) return -1;
    if (n > 0) std::memcpy(buffer_ + position_, buffer, static_cast<size_t>(n));
    position_ += n;
    if (position_ > size_) size_ = position_;
    return static_cast<int64_t>(n);
}

int64_t MemoryStream::read(void* buffer, uint64_t n) {
    if (position_ >= size_) return 0;
    uint64_t count = size_ - position_;
    if (n < count) count = n;
    std::memcpy(buffer, buffer_ + position_, static_cast<size_t>(count));
    position_ += count;
    return static_cast<int64_t>(count);
}

int64_t MemoryStream::tell() { return static_cast<int64_t>(position_); }

int64_t MemoryStream::seek(int64_t offset, int whence) {
    int64_t target;
    switch (whence) {
        case kSeekSet: target = offset; break;
        case kSeekCur:
            if (__builtin_add_overflow(static_cast<int64_t>(position_), offset, &target)) return -1;
            break;
        case kSeekEnd:
            if (__builtin_add_overflow(static_cast<int64_t>(size_), offset, &target)) return -1;
            if (target > static_cast<int64_t>(size_)) {
                // Extend with zeros in one step (the same content as writing
                // zero pieces, without a loop whose length the caller picks).
                const uint64_t end = static_cast<uint64_t>(target);
                if (!grow_for(end)) return -1;
                std::memset(buffer_ + size_, 0, static_cast<size_t>(end - size_));
                size_ = end;
            }
            break;
        default: return -1;
    }
    if (target < 0 || static_cast<uint64_t>(target) > capacity_) return -1;
    position_ = static_cast<uint64_t>(target);
    return target;
}

int MemoryStream::close() {
    std::free(buffer_);
    buffer_ = nullptr;
    capacity_ = size_ = position_ = 0;
    return 0;
}

}  // namespace tolvar::stream
