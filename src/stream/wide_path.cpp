#include "stream/wide_path.h"

#include <cstdint>

namespace tolvar::stream {

namespace {

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

bool wide_path(const char* path, std::u16string* units) {
    units->clear();
    if (path == nullptr) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(path);
    while (*p != 0) {
        const unsigned char lead = *p;
        uint32_t code = 0;
        int more = 0;
        uint32_t least = 0;  // the smallest code point of this length: shorter forms are overlong
        if (lead < 0x80) {
            code = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            code = lead & 0x1F;
            more = 1;
            least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            code = lead & 0x0F;
            more = 2;
            least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            code = lead & 0x07;
            more = 3;
            least = 0x10000;
        } else {
            return false;  // a continuation byte, or a lead byte no code point needs
        }
        ++p;
        for (int i = 0; i < more; ++i, ++p) {
            // A cut-off sequence ends at the terminator, which is no continuation.
            if (!continuation(*p)) return false;
            code = (code << 6) | (*p & 0x3F);
        }
        if (code < least || code > 0x10FFFF) return false;
        // Surrogates (U+D800..U+DFFF) pass one by one: Windows names may hold
        // unpaired ones, and the interpreter hands them over that way.
        if (code < 0x10000) {
            units->push_back(static_cast<char16_t>(code));
        } else {
            code -= 0x10000;
            units->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            units->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        }
    }
    return true;
}

}  // namespace tolvar::stream
