// ByteBuffer: a growable run of bytes that reports running out of memory
// instead of throwing, so that a walk over a damaged file ends rather than
// the process. Owns its memory.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tolvar::stream {

class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { std::free(data_); }

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    uint64_t size() const { return size_; }
    uint64_t capacity() const { return capacity_; }
    void clear() { size_ = 0; }
    void set_size(uint64_t size) { size_ = size; }

    // Room for at least `capacity` bytes, the content kept; grows by doubling.
    bool reserve(uint64_t capacity) {
        if (capacity <= capacity_) return true;
        uint64_t grown = capacity_ < 64 ? 64 : capacity_;
        while (grown < capacity) {
            if (grown > (UINT64_MAX >> 1)) return false;
            grown *= 2;
        }
        if (grown > SIZE_MAX) return false;
        void* moved = std::realloc(data_, static_cast<size_t>(grown));
        if (moved == nullptr) return false;
        data_ = static_cast<uint8_t*>(moved);
        capacity_ = grown;
        return true;
    }

    bool append(const void* bytes, uint64_t n) {
        if (n == 0) return true;
        if (n > UINT64_MAX - size_ || !reserve(size_ + n)) return false;
        std::memcpy(data_ + size_, bytes, n);
        size_ += n;
        return true;
    }

    bool append_zeros(uint64_t n) {
        if (n == 0) return true;
        if (n > UINT64_MAX - size_ || !reserve(size_ + n)) return false;
        std::memset(data_ + size_, 0, n);
        size_ += n;
        return true;
    }

    bool append_u32(uint32_t value) { return append(&value, 4); }

private:
    uint8_t* data_ = nullptr;  // owned, malloc'ed
    uint64_t size_ = 0;
    uint64_t capacity_ = 0;
};

}  // namespace tolvar::stream
