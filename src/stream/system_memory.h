// The system's memory calls, for stream::Allocation and the decoded layers:
// mappings of zeroed pages, the move of a mapping's pages into another (Linux
// alone can; elsewhere the caller copies), aligned blocks of the C heap, and
// advice that a range be backed by large pages. Linux, other POSIX systems
// (macOS) and Windows. Owns nothing: each call hands memory over or takes it back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvar::stream::system_memory {

// Mappings are asked for in whole multiples of this; on POSIX systems they
// also start on it (so that large pages can back them, and whole pieces of
// them can move), on Windows on the system's allocation granularity.
constexpr size_t kMappingAlignment = size_t{2} << 20;

// Whether move_pages can succeed here: where it cannot, the pages of one
// mapping reach another only as a copy.
#if defined(__linux__)
constexpr bool kCanMovePages = true;
#else
constexpr bool kCanMovePages = false;
#endif

// `size` bytes of zeroed, readable and writable pages (size a non-zero
// multiple of kMappingAlignment), with large pages asked for where the
// system has such advice; nullptr when the system gives none.
uint8_t* map_pages(size_t size);

// Gives back a whole mapping of `size` bytes that map_pages made.
void unmap_pages(uint8_t* memory, size_t size);

// Moves the first `bytes` of the mapping `from` (of `from_size` bytes, as
// map_pages made it) to `to` (inside another mapping, with room for them),
// replacing the pages that were there, and gives the rest of `from` back.
// Both addresses and `bytes` are multiples of kMappingAlignment. The pages
// keep what was written to them, with no fault or copy. False, with nothing
// changed, where the system cannot move pages or refuses.
bool move_pages(uint8_t* from, size_t from_size, size_t bytes, uint8_t* to);

// `size` bytes of the C heap on an `alignment` boundary (a power of two, at
// least the size of a pointer), uninitialised; nullptr when there are none.
// Given back with free_aligned alone: on Windows the C runtime's free()
// does not take them.
void* allocate_aligned(size_t size, size_t alignment);
void free_aligned(void* memory);

// Advises that the whole pages inside [memory, memory + size), about to be
// written whole, be backed by large pages. Advice only: where the system has
// none (Windows, macOS) nothing happens.
void advise_huge_pages(void* memory, uint64_t size);

// The size of the system's pages (4 KiB on x86-64; 4, 16 or 64 KiB on arm64).
size_t page_size();

}  // namespace tolvar::stream::system_memory
