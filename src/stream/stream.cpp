#include "stream/stream.h"

namespace tolvar::stream {

int64_t Stream::read(void*, uint64_t) { return kAbsent; }
int64_t Stream::write(const void*, uint64_t) { return kAbsent; }
int64_t Stream::tell() { return kAbsent; }
int64_t Stream::seek(int64_t, int) { return kAbsent; }
int Stream::close() { return 0; }

int64_t Stream::size() {
    const int64_t position = tell();
    seek(0, kSeekEnd);
    const int64_t end = tell();
    seek(position, kSeekSet);
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

}  // namespace tolvar::stream
