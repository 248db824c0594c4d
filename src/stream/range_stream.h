// A Stream over the bytes [start, end) of an inner stream, positioned relative
// to start; an end of 0 or less runs to the end of the inner stream. Borrows
// the inner stream; owns nothing.
#pragma once

#include <cstdint>
#include <memory>

#include "stream/stream.h"

namespace tolvar::stream {

class RangeStream final : public Stream {
public:
    // Seeks the inner stream to start. No stream for a null inner stream.
    static std::unique_ptr<RangeStream> create(Stream* inner, int64_t start, int64_t end);

    // Read and write never go past end.
    int64_t read(void* buffer, uint64_t n) override;
    int64_t write(const void* buffer, uint64_t n) override;
    int64_t tell() override;
    // Targets are clamped into [start, end].
    int64_t seek(int64_t offset, int whence) override;
    int close() override { return 0; }

    int64_t start() const { return start_; }
    int64_t end() const { return end_; }

private:
    RangeStream(Stream* inner, int64_t start, int64_t end) : inner_(inner), start_(start), end_(end) {}
    bool bounded() const { return end_ > 0; }
    // How many of n bytes fit before end; negative when the inner position is unknown.
    int64_t limit(uint64_t n);

    Stream* inner_;  // borrowed
    int64_t start_;
    int64_t end_;
};

}  // namespace tolvar::stream
