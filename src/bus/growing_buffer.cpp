#include "bus/growing_buffer.h"

#include <cstring>
#include <utility>

namespace tolvar::bus {

bool GrowingBuffer::reserve(size_t bytes) {
    if (bytes <= capacity()) return true;
    using stream::Allocation;
    // At least double, so that growing row by row copies little; a mapping
    // spans whole pieces of its alignment, every byte of which may be used.
    size_t wanted = capacity() * 2 > bytes ? capacity() * 2 : bytes;
    if (wanted >= Allocation::kMappedFrom) wanted = Allocation::mapping_size(wanted);
    if (wanted < bytes) return false;
    Allocation grown = Allocation::uninitialised(wanted);
    if (!grown) return false;
    const size_t held = capacity();
    if (held != 0) {
        // A mapping's pages move into the new one rather than being copied.
        const size_t whole = memory_.mapped() ? held & ~(Allocation::kMappingAlignment - 1) : 0;
        if (whole != 0 && memory_.size() == whole && memory_.hand_over(whole, grown, 0)) {
            memory_ = std::move(grown);
            return true;
        }
        std::memcpy(grown.data(), memory_.data(), held);
    }
    memory_ = std::move(grown);
    return true;
}

}  // namespace tolvar::bus
