#include "stream/allocation.h"

#include <cstring>
#include <utility>

#include "stream/system_memory.h"

namespace tolvar::stream {

Allocation Allocation::make(size_t size, bool zero) {
    if (size == 0) size = 1;
    if (size >= kMappedFrom) {
        const size_t spanned = mapping_size(size);
        uint8_t* memory = spanned >= size ? system_memory::map_pages(spanned) : nullptr;
        return memory != nullptr ? Allocation(memory, size, true) : Allocation();
    }
    const size_t rounded = (size + kAlignment - 1) & ~(kAlignment - 1);
    void* memory = rounded >= size ? system_memory::allocate_aligned(rounded, kAlignment) : nullptr;
    if (memory == nullptr) return Allocation();
    if (zero) std::memset(memory, 0, rounded);
    return Allocation(static_cast<uint8_t*>(memory), size, false);
}

Allocation Allocation::zeroed(size_t size) { return make(size, true); }
Allocation Allocation::uninitialised(size_t size) { return make(size, false); }

Allocation::Allocation(Allocation&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

Allocation& Allocation::operator=(Allocation&& other) noexcept {
    if (this != &other) {
        free();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
}

Allocation::~Allocation() { free(); }

void Allocation::free() {
    if (data_ == nullptr) return;
    if (mapped_) {
        system_memory::unmap_pages(data_, mapping_size(size_));
    } else {
        system_memory::free_aligned(data_);
    }
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
}

bool Allocation::hand_over(size_t bytes, Allocation& to, size_t to_offset) {
    if (!mapped_ || !to.mapped_ || bytes == 0 || bytes % kMappingAlignment != 0 || to_offset % kMappingAlignment != 0)
        return false;
    const size_t spanned = mapping_size(size_);
    const size_t to_spanned = mapping_size(to.size_);
    if (bytes > spanned || to_offset > to_spanned || to_spanned - to_offset < bytes) return false;
    if (!system_memory::move_pages(data_, spanned, bytes, to.data_ + to_offset)) return false;
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
    return true;
}

}  // namespace tolvar::stream
