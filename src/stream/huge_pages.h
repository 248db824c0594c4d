// Advice to the system that a range of memory about to be written whole be
// backed by large pages, which saves most of the cost of touching fresh
// memory page by page. Advice only: where the system has no such advice
// (Windows, macOS) nothing happens. Borrows the range; owns nothing.
#pragma once

#include <cstdint>

namespace tolvar::stream {

// Advises the whole pages inside [memory, memory + size).
void advise_huge_pages(void* memory, uint64_t size);

}  // namespace tolvar::stream
