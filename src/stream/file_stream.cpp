#include "stream/file_stream.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <new>

namespace tolvar::stream {

std::unique_ptr<FileStream> FileStream::open(const char* path) {
    if (path == nullptr) return nullptr;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    // A directory opens for reading on some systems, and only its reads fail.
    struct stat status;
    if (fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    FileStream* stream = new (std::nothrow) FileStream(file);
    if (stream == nullptr) {
        std::fclose(file);
        errno = ENOMEM;
    }
    return std::unique_ptr<FileStream>(stream);
}

FileStream::~FileStream() { close(); }

int64_t FileStream::read(void* buffer, uint64_t n) {
    if (file_ == nullptr) return -1;
    const size_t got = std::fread(buffer, 1, static_cast<size_t>(n), file_);
    if (got > 0) position_ += static_cast<int64_t>(got);
    return static_cast<int64_t>(got);
}

int64_t FileStream::tell() {
    if (file_ == nullptr) return -1;
    return static_cast<int64_t>(ftello(file_));
}

int64_t FileStream::seek(int64_t offset, int whence) {
    if (file_ == nullptr) return -1;
    if (whence == kSeekSet && offset == position_) return offset;
    if (whence != kSeekSet && whence != kSeekCur && whence != kSeekEnd) return -1;
    ++library_seeks_;
    // Offsets are 64-bit throughout, so recordings beyond 2 GiB stay readable.
    if (fseeko(file_, static_cast<off_t>(offset), whence) != 0) return -1;
    position_ = static_cast<int64_t>(ftello(file_));
    return position_;
}

int FileStream::close() {
    if (file_ == nullptr) return 0;
    const int result = std::fclose(file_);
    file_ = nullptr;
    return result;
}

}  // namespace tolvar::stream
