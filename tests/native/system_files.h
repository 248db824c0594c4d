// What the native tests need of the operating system, on Linux, macOS and
// Windows alike: files in the temporary folder named in UTF-8 (any script),
// written whole or at a far offset, the process id, and standard error
// captured into a pipe. Test code only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

namespace tolvar::test {

inline std::filesystem::path path_of(const std::string& utf8) { return std::filesystem::u8path(utf8); }

// A name in the temporary folder that no other test program of this run
// uses, with `stem` and `suffix` in it; UTF-8.
inline std::string temporary_name(const std::string& stem, const std::string& suffix = "") {
    static unsigned counter = 0;
#ifdef _WIN32
    const long process = static_cast<long>(_getpid());
#else
    const long process = static_cast<long>(getpid());
#endif
    const std::string name = "tolvar-" + stem + "-" + std::to_string(process) + "-" + std::to_string(++counter) + suffix;
    return (std::filesystem::temp_directory_path() / path_of(name)).u8string();
}

// The standard file functions on a UTF-8 name, with 64-bit offsets.
inline std::FILE* open_file(const std::string& utf8, const char* mode) {
#ifdef _WIN32
    const std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(path_of(utf8).c_str(), wide_mode.c_str());
#else
    return std::fopen(utf8.c_str(), mode);
#endif
}

// Writes `size` bytes at `offset` of a new file; a file system that keeps
// holes stores little more than the bytes. False where it cannot.
inline bool write_file_at(const std::string& utf8, int64_t offset, const void* data, size_t size) {
    std::FILE* file = open_file(utf8, "wb");
    if (file == nullptr) return false;
#ifdef _WIN32
    bool ok = _fseeki64(file, offset, SEEK_SET) == 0;
#else
    bool ok = fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
    ok = ok && std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

inline void remove_file(const std::string& utf8) {
    std::error_code ignored;
    std::filesystem::remove(path_of(utf8), ignored);
}

// A file with the given content, removed at the end of the test.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& content, const std::string& stem = "file", const std::string& suffix = "")
        : path_(temporary_name(stem, suffix)) {
        written_ = write_file_at(path_, 0, content.data(), content.size());
    }
    ~TemporaryFile() { remove_file(path_); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const char* path() const { return path_.c_str(); }
    bool written() const { return written_; }

private:
    std::string path_;
    bool written_ = false;
};

inline long process_id() {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(getpid());
#endif
}

// Redirects standard error (descriptor 2, and on Windows the process's
// standard handle with it) into a pipe until finish(). What is written
// meanwhile must fit the pipe's buffer.
class StderrCapture {
public:
    StderrCapture() {
#ifdef _WIN32
        ok_ = _pipe(fds_, 1 << 16, _O_BINARY) == 0;
        saved_ = _dup(2);
        ok_ = ok_ && _dup2(fds_[1], 2) == 0;
#else
        ok_ = pipe(fds_) == 0;
        saved_ = dup(STDERR_FILENO);
        ok_ = ok_ && dup2(fds_[1], STDERR_FILENO) >= 0;
#endif
    }
    bool ok() const { return ok_; }

    std::string finish() {
        std::string out;
        char buffer[4096];
#ifdef _WIN32
        _dup2(saved_, 2);
        _close(saved_);
        _close(fds_[1]);
        int n;
        while ((n = _read(fds_[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
        _close(fds_[0]);
#else
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        close(fds_[1]);
        ssize_t n;
        while ((n = read(fds_[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
        close(fds_[0]);
#endif
        return out;
    }

private:
    int fds_[2] = {-1, -1};
    int saved_ = -1;
    bool ok_ = false;
};

}  // namespace tolvar::test
