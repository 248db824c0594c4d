#include "stream/range_stream.h"

#include <limits>

namespace tolvar::stream {

std::unique_ptr<RangeStream> RangeStream::create(Stream* inner, int64_t start, int64_t end) {
    if (inner == nullptr) return nullptr;
    inner->seek(start, kSeekSet);
    return std::unique_ptr<RangeStream>(new RangeStream(inner, start, end));
}

int64_t RangeStream::limit(uint64_t n) {
    const uint64_t cap = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (n > cap) n = cap;
    if (!bounded()) return static_cast<int64_t>(n);
    const int64_t at = inner_->tell();
    if (at < 0) return -1;
    if (at >= end_) return 0;
    const uint64_t left = static_cast<uint64_t>(end_ - at);
    return static_cast<int64_t>(n < left ? n : left);
}

int64_t RangeStream::read(void* buffer, uint64_t n) {
    const int64_t count = limit(n);
    if (count <= 0) return count;
    return inner_->read(buffer, static_cast<uint64_t>(count));
}

int64_t RangeStream::write(const void* buffer, uint64_t n) {
    const int64_t count = limit(n);
    if (count <= 0) return count;
    return inner_->write(buffer, static_cast<uint64_t>(count));
}

int64_t RangeStream::tell() {
    const int64_t at = inner_->tell();
    if (at < 0) return -1;
    const int64_t relative = at - start_;
    if (bounded() && relative > end_ - start_) return -1;
    return relative;
}

int64_t RangeStream::seek(int64_t offset, int whence) {
    int64_t base;
    switch (whence) {
        case kSeekSet: base = start_; break;
        case kSeekCur:
            base = inner_->tell();
            if (base < 0) return -1;
            break;
        case kSeekEnd:
            base = bounded() ? end_ : inner_->size();
            if (base < 0) return -1;
            break;
        default: return -1;
    }
    int64_t target;
    if (__builtin_add_overflow(base, offset, &target)) return -1;
    if (bounded() && target > end_) target = end_;
    if (target < start_) target = start_;
    if (inner_->seek(target, kSeekSet) != target) return -1;
    return target - start_;
}

}  // namespace tolvar::stream
