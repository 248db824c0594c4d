#include "stream/decompress_stream.h"

#include <new>
#include <utility>

namespace tolvar::stream {

std::unique_ptr<DecompressStream> DecompressStream::create(Stream* inner, unsigned window_bits,
                                                           unsigned lookahead_bits) {
    if (inner == nullptr) return nullptr;
    auto decoder = LzssDecoder::create(kInputCapacity, window_bits, lookahead_bits);
    if (!decoder) return nullptr;
    return std::unique_ptr<DecompressStream>(new (std::nothrow) DecompressStream(inner, std::move(decoder)));
}

int64_t DecompressStream::read(void* buffer, uint64_t n) {
    if (!decoder_ || buffer == nullptr) return -1;
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t remaining = n;
    while (remaining > 0) {
        uint64_t produced = 0;
        const DrainResult drained = decoder_->drain(out, remaining, &produced);
        out += produced;
        remaining -= produced;
        if (drained == DrainResult::kOutputFull) continue;
        if (drained != DrainResult::kNeedInput) return -1;
        // After kNeedInput the input buffer is empty, so a whole piece fits.
        const int64_t got = inner_->read(scratch_, sizeof scratch_);
        if (got < 0) return -1;
        if (got == 0 && decoder_->check_end() != EndResult::kPending) break;
        uint64_t accepted = 0;
        if (decoder_->feed(scratch_, static_cast<uint64_t>(got), &accepted) == FeedResult::kErrorNull) return -1;
        if (accepted < static_cast<uint64_t>(got)) {
            inner_->seek(static_cast<int64_t>(accepted) - got, kSeekCur);
        }
    }
    return static_cast<int64_t>(n - remaining);
}

int DecompressStream::close() {
    decoder_.reset();
    return 0;
}

}  // namespace tolvar::stream
