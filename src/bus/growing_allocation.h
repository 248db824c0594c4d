// Growth of a column's memory (stream::Allocation) as rows arrive: a larger
// allocation takes the place of the old one, and where both are mappings the
// old one's pages move into it instead of being copied (and the new one's
// first pages faulted in anew). The one place that decides how a decoded
// table's columns grow; it owns nothing, the allocation it is given is the
// caller's.
#pragma once

#include <cstddef>

#include "stream/allocation.h"

namespace tolvar::bus {

// Makes `memory` hold at least `size` bytes, its first `kept` bytes (at most
// its size) as they were; the bytes after them are undefined. False, with
// `memory` unchanged, when the memory cannot be had.
bool grow_allocation(stream::Allocation& memory, size_t kept, size_t size);

}  // namespace tolvar::bus
