// Large memory mapped from the system for frame stores and columns: zero
// pages on 2 MiB boundaries with large pages asked for, and the moving of
// whole pieces of one such mapping into another. Fresh pages cost the system
// a fault and a page of zeros each, which for tables of millions of frames is
// much of the work: the merge into columns moves a store's pages, once copied
// out, to where the columns will be written next, instead of giving them back
// and faulting in new ones. A mapping is owned by whoever made it, who unmaps
// it; these functions own nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvar::bus {

// Mappings start on this boundary and span whole multiples of it.
constexpr size_t kMappingAlignment = size_t{2} << 20;
// Memory is mapped from this size on; smaller allocations are not worth it.
constexpr size_t kMappedFrom = size_t{4} << 20;

// The bytes a mapping of `size` bytes spans.
inline size_t mapping_size(size_t size) { return (size + kMappingAlignment - 1) & ~(kMappingAlignment - 1); }

// A private anonymous mapping of mapping_size(size) zero bytes on a
// kMappingAlignment boundary; nullptr when the system gives none.
uint8_t* map_memory(size_t size);

// Unmaps a mapping made by map_memory(size), with whatever was moved into it.
void unmap_memory(uint8_t* memory, size_t size);

// Moves the pages of [from, from + size) to [to, to + size), replacing what
// was mapped there and leaving nothing at `from`; both ranges lie in
// mappings made here and size and addresses are multiples of
// kMappingAlignment. False, with nothing changed, where the system cannot.
bool move_pages(uint8_t* from, uint8_t* to, size_t size);

// Unmaps [memory, memory + size) of a mapping made here, the rest of it
// staying; the address and size are multiples of kMappingAlignment.
void unmap_pages(uint8_t* memory, size_t size);

}  // namespace tolvar::bus
