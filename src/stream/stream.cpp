#include "stream/stream.h"

namespace tolvar {

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

bool read_exact(Stream& stream, void* buffer, uint64_t n) {
    return stream.read(buffer, n) == static_cast<int64_t>(n);
}

}  // namespace tolvar
