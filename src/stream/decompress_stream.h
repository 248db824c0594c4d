// A read-only Stream that decodes the LZSS bitstream of an inner stream on
// the fly. Owns its decoder; borrows the inner stream.
#pragma once

#include <cstdint>
#include <memory>

#include "stream/lzss_decoder.h"
#include "stream/stream.h"

namespace tolvar::stream {

class DecompressStream final : public Stream {
public:
    static constexpr uint16_t kInputCapacity = 1024;

    // Nothing for a null inner stream or parameters the decoder refuses.
    static std::unique_ptr<DecompressStream> create(Stream* inner, unsigned window_bits, unsigned lookahead_bits);

    // Bytes produced, 0 when the bitstream is exhausted, -1 when the inner
    // stream fails or the decoder reports an error.
    int64_t read(void* buffer, uint64_t n) override;
    int64_t write(const void*, uint64_t) override { return -1; }
    int64_t tell() override { return -1; }
    int64_t seek(int64_t, int) override { return -1; }
    int close() override;

    const LzssDecoder* decoder() const { return decoder_.get(); }

private:
    DecompressStream(Stream* inner, std::unique_ptr<LzssDecoder> decoder)
        : inner_(inner), decoder_(std::move(decoder)) {}

    Stream* inner_;  // borrowed
    std::unique_ptr<LzssDecoder> decoder_;
    uint8_t scratch_[kInputCapacity];
};

}  // namespace tolvar::stream
