#include "log/system_services.h"

#include <cstdint>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>
#ifdef __linux__
#include <sys/syscall.h>
#endif
#endif

namespace tolvar::log {

#ifdef _WIN32

LocalTime local_time_now() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return LocalTime{now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

long current_process_id() { return static_cast<long>(GetCurrentProcessId()); }

long current_thread_id() { return static_cast<long>(GetCurrentThreadId()); }

// The handle is asked for at every write: the interpreter's C runtime is
// another than this module's, and a redirection made through it (os.dup2)
// reaches this module only as the process's standard handle.
void write_standard_error(const char* data, size_t size) {
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    while (size > 0) {
        const DWORD piece = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(handle, data, piece, &written, nullptr) || written == 0) return;
        data += written;
        size -= written;
    }
}

#else

LocalTime local_time_now() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    const time_t seconds = now.tv_sec;
    struct tm local;
    localtime_r(&seconds, &local);
    return LocalTime{local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                     static_cast<int>(now.tv_usec / 1000)};
}

long current_process_id() { return static_cast<long>(getpid()); }

long current_thread_id() {
#if defined(__linux__)
    // gettid() has a wrapper only from glibc 2.30 on.
    return static_cast<long>(syscall(SYS_gettid));
#elif defined(__APPLE__)
    uint64_t id = 0;
    pthread_threadid_np(nullptr, &id);
    return static_cast<long>(id);
#else
    return reinterpret_cast<long>(pthread_self());
#endif
}

void write_standard_error(const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, size);
        if (written <= 0) return;
        data += written;
        size -= static_cast<size_t>(written);
    }
}

#endif

}  // namespace tolvar::log
