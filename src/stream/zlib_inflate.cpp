#include "stream/zlib_inflate.h"

#include <zlib.h>

#include <climits>
#include <cstdio>

namespace tolvar::stream {

bool inflate_exact(const uint8_t* in, uint64_t in_size, uint8_t* out, uint64_t out_size) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    // zlib counts in uInt: sizes beyond it are fed in pieces.
    constexpr uint64_t kPiece = UINT_MAX;
    uint64_t in_left = in_size;
    uint64_t out_left = out_size;
    z.next_in = const_cast<Bytef*>(in);
    z.next_out = out;
    int status = Z_OK;
    for (;;) {
        if (z.avail_in == 0 && in_left != 0) {
            z.avail_in = static_cast<uInt>(in_left < kPiece ? in_left : kPiece);
            in_left -= z.avail_in;
        }
        if (z.avail_out == 0 && out_left != 0) {
            z.avail_out = static_cast<uInt>(out_left < kPiece ? out_left : kPiece);
            out_left -= z.avail_out;
        }
        const uInt in_before = z.avail_in;
        const uInt out_before = z.avail_out;
        status = inflate(&z, Z_NO_FLUSH);
        if (status == Z_STREAM_END || (status != Z_OK && status != Z_BUF_ERROR)) break;
        // Neither input consumed nor output made: the stream needs bytes or
        // room that are not there.
        if (z.avail_in == in_before && z.avail_out == out_before) break;
    }
    const bool exact = status == Z_STREAM_END && z.avail_out == 0 && out_left == 0;
    inflateEnd(&z);
    return exact;
}

const char* zlib_version_text() {
    static char text[32];
    std::snprintf(text, sizeof text, "zlib %s", zlibVersion());
    return text;
}

}  // namespace tolvar::stream
