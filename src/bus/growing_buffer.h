// GrowingBuffer: the memory of one column that grows as rows arrive, held as
// a stream::Allocation (the one owner of such memory): small ones from the
// heap, copied when they grow, large ones mappings whose pages move into the
// larger mapping instead of being copied. Owns its allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "stream/allocation.h"

namespace tolvar::bus {

class GrowingBuffer {
public:
    GrowingBuffer() = default;
    GrowingBuffer(GrowingBuffer&&) noexcept = default;
    GrowingBuffer& operator=(GrowingBuffer&&) noexcept = default;
    GrowingBuffer(const GrowingBuffer&) = delete;
    GrowingBuffer& operator=(const GrowingBuffer&) = delete;

    // Room for at least `bytes` bytes, what was held kept at the start;
    // false, with nothing changed, when the memory cannot be had.
    bool reserve(size_t bytes);

    uint8_t* data() const { return memory_.data(); }
    size_t capacity() const { return memory_ ? memory_.size() : 0; }

    // Hands the allocation to the caller; the buffer is empty afterwards.
    stream::Allocation take() { return std::move(memory_); }

private:
    stream::Allocation memory_;
};

}  // namespace tolvar::bus
