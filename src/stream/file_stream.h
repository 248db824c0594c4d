// A Stream over a file opened by path for binary reading, through the
// standard buffered file functions with 64-bit offsets. The path is in the
// encoding the interpreter uses for file names (UTF-8 on Windows, where it
// may name a file in any script). Owns the file handle.
#pragma once

#include <cstdio>

#include "stream/stream.h"

namespace tolvar::stream {

class FileStream final : public Stream {
public:
    // No stream for a null path, a path that is no such encoding, or a file
    // that cannot be opened (errno then tells why; a directory is refused
    // with EISDIR).
    static std::unique_ptr<FileStream> open(const char* path);
    ~FileStream() override;

    int64_t read(void* buffer, uint64_t n) override;
    int64_t tell() override;
    // An absolute seek to the position already reached returns at once and
    // leaves the library's read buffer untouched: block readers seek before
    // every field, most often to where they already are.
    int64_t seek(int64_t offset, int whence) override;
    int close() override;

    // Number of seeks handed to the file library (for tests).
    uint64_t library_seeks() const { return library_seeks_; }

private:
    explicit FileStream(std::FILE* file) : file_(file) {}

    std::FILE* file_;
    int64_t position_ = 0;  // cached; updated by read and by successful seeks
    uint64_t library_seeks_ = 0;
};

}  // namespace tolvar::stream
