#include "stream/file_stream.h"

#ifdef _WIN32
#include <sys/stat.h>

#include <string>

#include "stream/wide_path.h"
#else
#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <new>

namespace tolvar::stream {

namespace {

// The system's own calls behind the standard file functions: 64-bit offsets
// everywhere, and on Windows a path in any script, which the narrow fopen
// would read in the system's code page.
#ifdef _WIN32

std::FILE* open_for_reading(const char* path) {
    std::u16string units;
    if (!wide_path(path, &units)) return nullptr;
    const std::wstring wide(units.begin(), units.end());
    return _wfopen(wide.c_str(), L"rb");
}

int seek_file(std::FILE* file, int64_t offset, int whence) { return _fseeki64(file, offset, whence); }

int64_t tell_file(std::FILE* file) { return _ftelli64(file); }

bool is_directory(std::FILE* file) {
    struct _stat64 status;
    return _fstat64(_fileno(file), &status) == 0 && (status.st_mode & _S_IFMT) == _S_IFDIR;
}

#else

static_assert(sizeof(off_t) == 8, "recordings beyond 2 GiB need 64-bit file offsets");

std::FILE* open_for_reading(const char* path) { return std::fopen(path, "rb"); }

int seek_file(std::FILE* file, int64_t offset, int whence) { return fseeko(file, static_cast<off_t>(offset), whence); }

int64_t tell_file(std::FILE* file) { return static_cast<int64_t>(ftello(file)); }

// Whether a descriptor is a directory's, asked of fdopendir, which takes
// only those (and a copy of the descriptor, as it keeps the one it is
// given). Not fstat: a module built against the C library of 2.33 or later
// would need that version's fstat symbol, which older systems lack.
bool is_directory(std::FILE* file) {
    const int copy = ::dup(fileno(file));
    if (copy < 0) return false;
    DIR* directory = fdopendir(copy);
    if (directory == nullptr) {
        ::close(copy);
        return false;
    }
    closedir(directory);
    return true;
}

#endif

}  // namespace

std::unique_ptr<FileStream> FileStream::open(const char* path) {
    if (path == nullptr) return nullptr;
    std::FILE* file = open_for_reading(path);
    if (file == nullptr) return nullptr;
    // A directory opens for reading on some systems, and only its reads fail.
    if (is_directory(file)) {
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
    return tell_file(file_);
}

int64_t FileStream::seek(int64_t offset, int whence) {
    if (file_ == nullptr) return -1;
    if (whence == kSeekSet && offset == position_) return offset;
    if (whence != kSeekSet && whence != kSeekCur && whence != kSeekEnd) return -1;
    ++library_seeks_;
    // Offsets are 64-bit throughout, so recordings beyond 2 GiB stay readable.
    if (seek_file(file_, offset, whence) != 0) return -1;
    position_ = tell_file(file_);
    return position_;
}

int FileStream::close() {
    if (file_ == nullptr) return 0;
    const int result = std::fclose(file_);
    file_ = nullptr;
    return result;
}

}  // namespace tolvar::stream
