#include "stream/allocation.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace tolvar::stream {

namespace {

// A private anonymous mapping of mapping_size(size) zero bytes on a
// kMappingAlignment boundary; nullptr when the system gives none.
uint8_t* map_aligned(size_t size) {
    constexpr size_t kAlign = Allocation::kMappingAlignment;
    const size_t spanned = Allocation::mapping_size(size);
    if (spanned < size) return nullptr;
    // One boundary more than needed, then the parts before and after the
    // aligned range go back.
    const size_t asked = spanned + kAlign;
    if (asked < spanned) return nullptr;
    void* raw = mmap(nullptr, asked, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kAlign - 1) & ~(uintptr_t{kAlign} - 1);
    if (aligned > start) munmap(raw, aligned - start);
    const uintptr_t end = start + asked;
    if (end > aligned + spanned) munmap(reinterpret_cast<void*>(aligned + spanned), end - (aligned + spanned));
#ifdef MADV_HUGEPAGE
    // Advice only: nothing changes when it is not taken.
    madvise(reinterpret_cast<void*>(aligned), spanned, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<uint8_t*>(aligned);
}

}  // namespace

Allocation Allocation::make(size_t size, bool zero) {
    if (size == 0) size = 1;
    if (size >= kMappedFrom) {
        uint8_t* memory = map_aligned(size);
        return memory != nullptr ? Allocation(memory, size, true) : Allocation();
    }
    const size_t rounded = (size + kAlignment - 1) & ~(kAlignment - 1);
    void* memory = nullptr;
    if (rounded < size || posix_memalign(&memory, kAlignment, rounded) != 0) return Allocation();
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
        munmap(data_, mapping_size(size_));
    } else {
        std::free(data_);
    }
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
}

bool Allocation::hand_over(size_t bytes, Allocation& to, size_t to_offset) {
#if defined(__linux__) && defined(MREMAP_FIXED)
    if (!mapped_ || !to.mapped_ || bytes == 0 || bytes % kMappingAlignment != 0 || to_offset % kMappingAlignment != 0)
        return false;
    const size_t spanned = mapping_size(size_);
    if (bytes > spanned || to_offset > mapping_size(to.size_) || mapping_size(to.size_) - to_offset < bytes) return false;
    void* moved = mremap(data_, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, to.data_ + to_offset);
    if (moved == MAP_FAILED) return false;
    // The moved range is no longer ours: only the rest is given back.
    if (spanned > bytes) munmap(data_ + bytes, spanned - bytes);
    data_ = nullptr;
    size_ = 0;
    mapped_ = false;
    return true;
#else
    (void)bytes;
    (void)to;
    (void)to_offset;
    return false;
#endif
}

}  // namespace tolvar::stream
