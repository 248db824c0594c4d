#include "bus/mapped_memory.h"

#include <cstdint>

// TEMPORARY (Windows build, until this component moves into src/stream as
// the allocation owner): plain zeroed heap memory stands in for mappings on
// Windows, with nothing to move or give back early. Drop at the merge.
#ifdef _WIN32
#include <cstdlib>

namespace tolvar::bus {

uint8_t* map_memory(size_t size) {
    const size_t spanned = mapping_size(size);
    if (spanned < size) return nullptr;
    return static_cast<uint8_t*>(std::calloc(spanned, 1));
}

void unmap_memory(uint8_t* memory, size_t /*size*/) { std::free(memory); }

void unmap_pages(uint8_t* /*memory*/, size_t /*size*/) {}

bool move_pages(uint8_t* /*from*/, uint8_t* /*to*/, size_t /*size*/) { return false; }

}  // namespace tolvar::bus
#else  // END TEMPORARY (the POSIX code below is unchanged)

#include <sys/mman.h>

namespace tolvar::bus {

uint8_t* map_memory(size_t size) {
    const size_t spanned = mapping_size(size);
    if (spanned < size) return nullptr;
    // One boundary more than needed, then the parts before and after the
    // aligned range go back.
    const size_t asked = spanned + kMappingAlignment;
    if (asked < spanned) return nullptr;
    void* raw = mmap(nullptr, asked, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + kMappingAlignment - 1) & ~(uintptr_t{kMappingAlignment} - 1);
    if (aligned > start) munmap(raw, aligned - start);
    const uintptr_t end = start + asked;
    if (end > aligned + spanned) munmap(reinterpret_cast<void*>(aligned + spanned), end - (aligned + spanned));
#ifdef MADV_HUGEPAGE
    // Advice only: nothing changes when it is not taken.
    madvise(reinterpret_cast<void*>(aligned), spanned, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<uint8_t*>(aligned);
}

void unmap_memory(uint8_t* memory, size_t size) {
    if (memory != nullptr) munmap(memory, mapping_size(size));
}

void unmap_pages(uint8_t* memory, size_t size) {
    if (memory != nullptr && size != 0) munmap(memory, size);
}

bool move_pages(uint8_t* from, uint8_t* to, size_t size) {
#if defined(__linux__) && defined(MREMAP_FIXED)
    void* moved = mremap(from, size, size, MREMAP_MAYMOVE | MREMAP_FIXED, to);
    return moved != MAP_FAILED;
#else
    (void)from;
    (void)to;
    (void)size;
    return false;
#endif
}

}  // namespace tolvar::bus
#endif  // TEMPORARY: end of the POSIX branch
