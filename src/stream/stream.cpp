#include "stream/stream.h"

namespace tolvar::stream {

int64_t Stream::read(void*, uint64_t) { return kAbsent; }
int64_t Stream::write(const void*, uint64_t) { return kAbsent; }
int64_t Stream::tell() { return kAbsent; }
int64_t Stream::seek(int64_t, int) { return kAbsent; }
int Stream::close() { return 0; }

int64_t Stream::size() {
    const int64_t position = tell();
    if (position < 0) return position;
    // A stream that cannot reach its end (a section declared longer than the
    // stream under it) has no size: the position it stayed at is none.
    const int64_t end = seek(0, kSeekEnd) < 0 ? -1 : tell();
    if (seek(position, kSeekSet) != position) return -1;
    return end;
}

int close(StreamPtr& stream) {
    if (!stream) return 0;
    const int result = stream->close();
    stream.reset();
    return result;
}

int64_t read_fully(Stream& stream, void* buffer, uint64_t n) {
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t done = 0;
    while (done < n) {
        const int64_t got = stream.read(out + done, n - done);
        if (got < 0 && done == 0) return -1;
        if (got <= 0) break;
        done += static_cast<uint64_t>(got);
    }
    return static_cast<int64_t>(done);
}

int64_t bounded_seek_target(int64_t offset, int whence, uint64_t position, uint64_t size) {
    uint64_t target;
    switch (whence) {
        case kSeekSet:
            target = static_cast<uint64_t>(offset);
            if (target > size) target = size;
            break;
        case kSeekEnd: target = size; break;
        case kSeekCur:
            if (offset < 0) {
                const uint64_t back = static_cast<uint64_t>(-(offset + 1)) + 1;
                if (back > position) return -1;
                target = position - back;
            } else {
                target = position + static_cast<uint64_t>(offset);
                if (target < position || target > size) target = size;
            }
            break;
        default: return -1;
    }
    if (target > static_cast<uint64_t>(INT64_MAX)) return -1;
    return static_cast<int64_t>(target);
}

}  // namespace tolvar::stream
