#include "stream/crc32.h"

#include <array>

namespace tolvar::stream {

namespace {

using Tables = std::array<std::array<uint32_t, 256>, 4>;

// Table 0 is the classic byte table; tables 1..3 advance a byte through
// further zero bytes, so four bytes are folded in per step.
constexpr Tables make_tables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
        t[0][i] = r;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (size_t k = 1; k < 4; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
    return t;
}

constexpr Tables kTables = make_tables();

}  // namespace

uint32_t crc_step(uint32_t crc, uint8_t byte) { return (crc >> 8) ^ kTables[0][(crc ^ byte) & 0xFF]; }

uint32_t crc_update(uint32_t crc, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n >= 4) {
        crc ^= uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
        crc = kTables[3][crc & 0xFF] ^ kTables[2][(crc >> 8) & 0xFF] ^ kTables[1][(crc >> 16) & 0xFF] ^
              kTables[0][crc >> 24];
        p += 4;
        n -= 4;
    }
    while (n-- > 0) crc = crc_step(crc, *p++);
    return crc;
}

}  // namespace tolvar::stream
