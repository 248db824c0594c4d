// GrowingBuffer: the memory of one column that grows as rows arrive: small
// on the heap, large as a mapping of large pages whose pages move into a
// larger mapping as it grows, without copying. The one place that decides
// how column memory is had; owns its memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvar::bus {

class GrowingBuffer {
public:
    // Buffers of this size and more are mappings of bus::map_memory.
    static constexpr size_t kMapFrom = size_t{1} << 20;

    GrowingBuffer() = default;
    GrowingBuffer(GrowingBuffer&& other) noexcept;
    GrowingBuffer& operator=(GrowingBuffer&& other) noexcept;
    GrowingBuffer(const GrowingBuffer&) = delete;
    GrowingBuffer& operator=(const GrowingBuffer&) = delete;
    ~GrowingBuffer();

    // Room for at least `bytes` bytes, what was held kept at the start;
    // false, with nothing changed, when the memory cannot be had.
    bool reserve(size_t bytes);

    uint8_t* data() const { return data_; }
    size_t capacity() const { return capacity_; }
    // Whether the memory is a mapping of bus::map_memory(capacity())
    // (mapped_memory.h), to be released with bus::unmap_memory; otherwise it
    // is std::malloc'ed, to be released with std::free.
    bool mapped() const { return mapped_; }

    // Hands the memory to the caller, who releases it as mapped() says; the
    // buffer is empty afterwards.
    uint8_t* release();

private:
    void free_memory();

    uint8_t* data_ = nullptr;  // owned
    size_t capacity_ = 0;
    bool mapped_ = false;
};

}  // namespace tolvar::bus
