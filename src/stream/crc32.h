// CRC-32 of compressed layer payloads: reflected, polynomial 0xEDB88320,
// register starting at 0xFFFFFFFF and used without final inversion.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvar::stream {

constexpr uint32_t kCrcInitial = 0xFFFFFFFFu;

// One byte into the register.
uint32_t crc_step(uint32_t crc, uint8_t byte);

// n bytes into the register, in order.
uint32_t crc_update(uint32_t crc, const void* data, size_t n);

}  // namespace tolvar::stream
