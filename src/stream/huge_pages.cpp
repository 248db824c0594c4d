#include "stream/huge_pages.h"

#ifndef _WIN32
#include <sys/mman.h>
#endif

namespace tolvar::stream {

void advise_huge_pages(void* memory, uint64_t size) {
#ifdef MADV_HUGEPAGE
    // The advice takes whole pages only: the range shrinks to those inside.
    constexpr uintptr_t kPage = 4096;
    const uintptr_t start = reinterpret_cast<uintptr_t>(memory);
    const uintptr_t aligned = (start + kPage - 1) & ~(kPage - 1);
    const uintptr_t end = (start + static_cast<uintptr_t>(size)) & ~(kPage - 1);
    if (memory != nullptr && end > aligned) {
        madvise(reinterpret_cast<void*>(aligned), end - aligned, MADV_HUGEPAGE);
    }
#else
    (void)memory;
    (void)size;
#endif
}

}  // namespace tolvar::stream
