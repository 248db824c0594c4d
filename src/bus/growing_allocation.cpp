#include "bus/growing_allocation.h"

#include <cstring>
#include <utility>

namespace tolvar::bus {

bool grow_allocation(stream::Allocation& memory, size_t kept, size_t size) {
    using stream::Allocation;
    if (memory && memory.size() >= size) return true;
    Allocation grown = Allocation::uninitialised(size);
    if (!grown) return false;
    if (kept > memory.size()) kept = memory.size();
    if (kept != 0) {
        // A mapping spans whole pieces of kMappingAlignment: all of them move
        // to the start of the new mapping, which is larger. Where the system
        // cannot move them, or the old memory is the heap's, they are copied.
        const size_t spanned = memory.mapped() ? Allocation::mapping_size(memory.size()) : 0;
        const bool moved = spanned != 0 && grown.mapped() && spanned <= Allocation::mapping_size(grown.size()) &&
                           memory.hand_over(spanned, grown, 0);
        if (!moved) std::memcpy(grown.data(), memory.data(), kept);
    }
    memory = std::move(grown);
    return true;
}

}  // namespace tolvar::bus
