#include "stream/read_ahead.h"

namespace tolvar::stream {

// The window grows only as bytes arrive, so a length read from a damaged file
// cannot size it.
const uint8_t* ReadAhead::refill(uint64_t offset, uint64_t n) {
    window_.clear();
    start_ = offset;
    if (stream_ == nullptr || offset > static_cast<uint64_t>(INT64_MAX)) return nullptr;
    if (!window_.reserve(next_size_)) return nullptr;
    if (next_size_ < kLargestWindow) next_size_ *= 2;
    while (window_.size() < n || window_.size() == 0) {
        // Beyond the window's size only for a piece longer than it, and then
        // only as fast as the bytes arrive.
        if (window_.size() == window_.capacity() && !window_.reserve(window_.capacity() * 2)) return nullptr;
        // Every read seeks first: other readers share the Stream, and a short
        // read is taken up again exactly where it stopped.
        const uint64_t at = offset + window_.size();
        if (at > static_cast<uint64_t>(INT64_MAX) ||
            stream_->seek(static_cast<int64_t>(at), kSeekSet) != static_cast<int64_t>(at)) {
            break;
        }
        const int64_t got = stream_->read(window_.data() + window_.size(), window_.capacity() - window_.size());
        if (got <= 0) break;
        window_.set_size(window_.size() + static_cast<uint64_t>(got));
    }
    return window_.size() >= n ? window_.data() : nullptr;
}

}  // namespace tolvar::stream
