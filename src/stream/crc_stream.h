// A Stream that passes reads and writes through to an inner stream and keeps
// the CRC-32 of every byte that passed. Borrows the inner stream; owns nothing.
#pragma once

#include <cstdint>
#include <memory>

#include "stream/crc32.h"
#include "stream/stream.h"

namespace tolvar::stream {

class CrcStream final : public Stream {
public:
    // No stream for a null inner stream.
    static std::unique_ptr<CrcStream> create(Stream* inner);

    // The inner result unchanged; a failed read leaves the register alone.
    int64_t read(void* buffer, uint64_t n) override;
    // Counts the bytes the inner write accepted.
    int64_t write(const void* buffer, uint64_t n) override;
    // No tell and no seek: a checksum over a stream that moves means nothing.
    int close() override { return 0; }

    uint32_t value() const { return crc_; }

private:
    explicit CrcStream(Stream* inner) : inner_(inner) {}

    Stream* inner_;  // borrowed
    uint32_t crc_ = kCrcInitial;
};

}  // namespace tolvar::stream
