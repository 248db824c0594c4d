// The one place that calls zlib: inflating one whole zlib (deflate) stream
// into a buffer of the size its container declares. Every buffer is borrowed.
#pragma once

#include <cstdint>

namespace tolvar::stream {

// Inflates the zlib stream `in` (in_size bytes) into `out`, which holds
// exactly out_size bytes. True only when the stream is intact, ends within
// `in` and gives exactly out_size bytes: a stream that would give more stops
// at the end of `out` and fails, so nothing is ever written past it.
bool inflate_exact(const uint8_t* in, uint64_t in_size, uint8_t* out, uint64_t out_size);

// "zlib 1.2.13" and the like.
const char* zlib_version_text();

}  // namespace tolvar::stream
