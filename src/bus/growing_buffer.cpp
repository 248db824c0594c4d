#include "bus/growing_buffer.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "bus/mapped_memory.h"

namespace tolvar::bus {

GrowingBuffer::GrowingBuffer(GrowingBuffer&& other) noexcept
    : data_(other.data_), capacity_(other.capacity_), mapped_(other.mapped_) {
    other.data_ = nullptr;
    other.capacity_ = 0;
    other.mapped_ = false;
}

GrowingBuffer& GrowingBuffer::operator=(GrowingBuffer&& other) noexcept {
    if (this != &other) {
        free_memory();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
}

GrowingBuffer::~GrowingBuffer() { free_memory(); }

void GrowingBuffer::free_memory() {
    if (mapped_) {
        unmap_memory(data_, capacity_);
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    capacity_ = 0;
    mapped_ = false;
}

uint8_t* GrowingBuffer::release() {
    uint8_t* data = data_;
    data_ = nullptr;
    capacity_ = 0;
    mapped_ = false;
    return data;
}

bool GrowingBuffer::reserve(size_t bytes) {
    if (bytes <= capacity_) return true;
    if (bytes < kMapFrom) {
        // Small buffers come from the heap; realloc copies little.
        void* grown = std::realloc(data_, bytes);
        if (grown == nullptr) return false;
        data_ = static_cast<uint8_t*>(grown);
        capacity_ = bytes;
        return true;
    }
    // Large ones are mappings of whole large pages (mapped_memory.h): a
    // fault per 2 MiB instead of per 4 KiB, which for tables of millions of
    // rows is much of the work. A mapping grows into a new one, its pages
    // moved there rather than copied.
    const size_t spanned = mapping_size(bytes);
    if (spanned < bytes) return false;
    uint8_t* mapping = map_memory(spanned);
    if (mapping == nullptr) return false;
    if (!mapped_ || !move_pages(data_, mapping, capacity_)) {
        if (capacity_ != 0) std::memcpy(mapping, data_, capacity_);
        free_memory();
    } else {
        // The pages moved; what is left of the old mapping is nothing.
        data_ = nullptr;
        capacity_ = 0;
        mapped_ = false;
    }
    data_ = mapping;
    capacity_ = spanned;
    mapped_ = true;
    return true;
}

}  // namespace tolvar::bus
