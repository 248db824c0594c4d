// Allocation: memory with exactly one owner, for the buffers that hold a
// recording's frames (row stores, table columns, record batches). Small
// allocations come from the C heap, large ones are mapped from the system
// (stream/system_memory) in pieces of 2 MiB with large pages asked for: fresh
// pages of a mapping cost the system a fault and a page of zeros each, which
// for tables of millions of frames is much of the work, so where the system
// can (Linux) the pages of one large allocation are moved into another
// instead of being given back and faulted in anew. Every allocation starts
// on a 64-byte boundary. Move-only; owns its memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/system_memory.h"

namespace tolvar::stream {

class Allocation {
public:
    // Mappings span whole multiples of this, and pages move in such pieces.
    static constexpr size_t kMappingAlignment = system_memory::kMappingAlignment;
    // Memory is mapped from this size on; smaller allocations are not worth it.
    static constexpr size_t kMappedFrom = size_t{4} << 20;
    // Every allocation's first byte lies on this boundary.
    static constexpr size_t kAlignment = 64;

    Allocation() = default;
    Allocation(Allocation&& other) noexcept;
    Allocation& operator=(Allocation&& other) noexcept;
    Allocation(const Allocation&) = delete;
    Allocation& operator=(const Allocation&) = delete;
    ~Allocation();

    // `size` bytes (at least one, so that an empty buffer has an address),
    // all zero; empty (no data) when the memory cannot be had. Mapped from
    // kMappedFrom on.
    static Allocation zeroed(size_t size);
    // The same without zeroing what the C heap gives (a mapping is zero).
    static Allocation uninitialised(size_t size);

    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool mapped() const { return mapped_; }
    explicit operator bool() const { return data_ != nullptr; }

    // The bytes a mapping of `size` bytes spans.
    static size_t mapping_size(size_t size) { return (size + kMappingAlignment - 1) & ~(kMappingAlignment - 1); }

    // Moves this mapping's first `bytes` (a multiple of kMappingAlignment)
    // to `to` at `to_offset` (a multiple of kMappingAlignment, with room for
    // them), replacing what was mapped there, and gives the rest of this
    // mapping back: this allocation is empty afterwards. The pages hold what
    // was written to them, with no fault or zeroing on either side. False,
    // with nothing changed, where the system cannot (or either side is not
    // a mapping).
    bool hand_over(size_t bytes, Allocation& to, size_t to_offset);

private:
    Allocation(uint8_t* data, size_t size, bool mapped) : data_(data), size_(size), mapped_(mapped) {}
    static Allocation make(size_t size, bool zero);
    void free();

    uint8_t* data_ = nullptr;  // owned
    size_t size_ = 0;
    bool mapped_ = false;
};

}  // namespace tolvar::stream
