#include "stream/system_memory.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <malloc.h>
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
// Older macOS headers name anonymous mappings MAP_ANON alone.
#if !defined(MAP_ANONYMOUS) && defined(MAP_ANON)
#define MAP_ANONYMOUS MAP_ANON
#endif
#endif

namespace tolvar::stream::system_memory {

namespace {

bool valid_mapping_size(size_t size) { return size != 0 && size % kMappingAlignment == 0; }

// Sizes and alignments no heap can serve, refused before the C library sees
// them: Windows' runtime adds the alignment and a pointer to the size without
// a check of its own, and takes a bad alignment for a fault that ends the
// process.
bool valid_heap_block(size_t size, size_t alignment) {
    return alignment >= sizeof(void*) && (alignment & (alignment - 1)) == 0 &&
           size <= SIZE_MAX - alignment - sizeof(void*);
}

}  // namespace

#ifdef _WIN32

// Windows reserves address space in pieces of its allocation granularity
// (64 KiB) and can give a reservation back only whole, so a mapping is one
// reservation, committed at once: its pages are zero and cost nothing until
// touched. Windows has no advice for large pages (they need a privilege that
// processes seldom hold), nor a way to move pages between reservations.
uint8_t* map_pages(size_t size) {
    if (!valid_mapping_size(size)) return nullptr;
    return static_cast<uint8_t*>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

void unmap_pages(uint8_t* memory, size_t /*size*/) {
    if (memory != nullptr) VirtualFree(memory, 0, MEM_RELEASE);
}

bool move_pages(uint8_t*, size_t, size_t, uint8_t*) { return false; }

void* allocate_aligned(size_t size, size_t alignment) {
    return valid_heap_block(size, alignment) ? _aligned_malloc(size != 0 ? size : 1, alignment) : nullptr;
}

void free_aligned(void* memory) { _aligned_free(memory); }

void advise_huge_pages(void*, uint64_t) {}

size_t page_size() {
    static const size_t size = [] {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return static_cast<size_t>(info.dwPageSize);
    }();
    return size;
}

#else

size_t page_size() {
    static const size_t size = [] {
        const long asked = sysconf(_SC_PAGESIZE);
        return asked > 0 ? static_cast<size_t>(asked) : size_t{4096};
    }();
    return size;
}

// One boundary more than needed is mapped, then the parts before and after
// the aligned range go back: POSIX lets any whole pages of a mapping go.
uint8_t* map_pages(size_t size) {
    if (!valid_mapping_size(size)) return nullptr;
    const size_t asked = size + kMappingAlignment;
    if (asked < size) return nullptr;
    void* raw = mmap(nullptr, asked, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kMappingAlignment - 1) & ~(uintptr_t{kMappingAlignment} - 1);
    if (aligned > start) munmap(raw, aligned - start);
    const uintptr_t end = start + asked;
    if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
    advise_huge_pages(reinterpret_cast<void*>(aligned), size);
    return reinterpret_cast<uint8_t*>(aligned);
}

void unmap_pages(uint8_t* memory, size_t size) {
    if (memory != nullptr && size != 0) munmap(memory, size);
}

bool move_pages(uint8_t* from, size_t from_size, size_t bytes, uint8_t* to) {
#if defined(__linux__) && defined(MREMAP_FIXED)
    const auto aligned = [](const void* p) { return reinterpret_cast<uintptr_t>(p) % kMappingAlignment == 0; };
    if (from == nullptr || to == nullptr || !aligned(from) || !aligned(to) || !valid_mapping_size(bytes) ||
        bytes > from_size) {
        return false;
    }
    void* moved = mremap(from, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, to);
    if (moved == MAP_FAILED) return false;
    // The moved range is no longer ours: only the rest goes back.
    if (from_size > bytes) munmap(from + bytes, from_size - bytes);
    return true;
#else
    (void)from;
    (void)from_size;
    (void)bytes;
    (void)to;
    return false;
#endif
}

void* allocate_aligned(size_t size, size_t alignment) {
    void* memory = nullptr;
    if (!valid_heap_block(size, alignment)) return nullptr;
    return posix_memalign(&memory, alignment, size != 0 ? size : 1) == 0 ? memory : nullptr;
}

void free_aligned(void* memory) { std::free(memory); }

void advise_huge_pages(void* memory, uint64_t size) {
#ifdef MADV_HUGEPAGE
    // The advice takes whole pages only: the range shrinks to those inside.
    const uintptr_t page = page_size();
    const uintptr_t start = reinterpret_cast<uintptr_t>(memory);
    const uintptr_t first = (start + page - 1) & ~(page - 1);
    if (memory == nullptr || size > UINTPTR_MAX - start) return;
    const uintptr_t end = (start + static_cast<uintptr_t>(size)) & ~(page - 1);
    // Advice only: nothing changes when it is not taken.
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)memory;
    (void)size;
#endif
}

#endif

}  // namespace tolvar::stream::system_memory
