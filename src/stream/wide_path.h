// A path as the interpreter encodes it for the file system (UTF-8, with
// lone surrogates kept as three-byte sequences, Python's "surrogatepass"),
// turned into the UTF-16 that Windows' file functions take. Plain code on
// every system, so that it is tested everywhere; only Windows opens files
// with it. Owns nothing.
#pragma once

#include <string>

namespace tolvar::stream {

// The UTF-16 units of the NUL-terminated `path`; false, with `units` left
// unspecified, for bytes that are no such encoding (an overlong or cut-off
// sequence, a byte that never starts one, a code point past U+10FFFF).
bool wide_path(const char* path, std::u16string* units);

}  // namespace tolvar::stream
