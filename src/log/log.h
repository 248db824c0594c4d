// Leveled log facility: formats one line into a fixed stack buffer and hands it
// to a single process-wide output callback. Owns nothing beyond that
// configuration; the callback's argument is borrowed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvar::log {

enum LogLevel : int32_t {
    kVerbose = 1,
    kDebug = 2,
    kInfo = 3,
    kWarning = 4,
    kError = 5,
    kFatal = 6,
};

// Which parts of a line are produced.
enum OutputMask : uint32_t {
    kContext = 1,   // local time, process id, thread id, level letter
    kTag = 2,       // tag prefix and the call's tag
    kLocation = 4,  // source location (no call in this system carries one)
    kMessage = 8,   // the formatted message
};

constexpr size_t kBufferSize = 512;
// The line end and terminator may be written at most this far into the buffer.
constexpr size_t kBufferEnd = 510;

// One formatted line, valid only for the duration of the callback.
struct LogMessage {
    int32_t level;
    const char* tag;
    char* buffer;
    char* buffer_end;
    char* append;
    char* tag_start;
    char* tag_end;
    char* message_start;
};

using OutputCallback = int (*)(LogMessage* message, void* argument);

// The wall-clock and process context of a line's prefix.
struct LogContext {
    int month;  // 1..12
    int day;
    int hour;
    int minute;
    int second;
    int millisecond;
    long process_id;
    long thread_id;
};

// Lines below this level are not produced. Never changed by the system (0).
int32_t min_level();
inline bool enabled(int32_t level) { return min_level() <= level; }

// Replaces the whole output configuration at once.
void set_output(uint32_t mask, void* argument, OutputCallback callback);

// Restores the initial configuration: everything, to standard error.
void reset_output();

// MinGW's C++ formats with its own C99 printf (%zu, %lld), not with the
// system's older one that GCC checks `printf` formats against there.
#ifdef __MINGW32__
#define TOLVAR_PRINTF_LIKE(format_index, first_argument) \
    __attribute__((format(gnu_printf, format_index, first_argument)))
#else
#define TOLVAR_PRINTF_LIKE(format_index, first_argument) \
    __attribute__((format(printf, format_index, first_argument)))
#endif

// Produces one line and returns the callback's result.
int log(int32_t level, const char* tag, const char* format, ...) TOLVAR_PRINTF_LIKE(3, 4);

// The initial callback: terminates the line with a line feed and writes it,
// unbuffered, to the standard-error handle.
int stderr_sink(LogMessage* message, void* argument);

// The letter shown for a level: V D I W E F, "?" for anything else.
char level_letter(int32_t level);

// Writes the context prefix into [dst, end], never past end, and returns the
// new append position. Separated from log() so its layout can be checked.
char* format_context(char* dst, char* end, const LogContext& context, int32_t level);

// The context of "now" for this process and thread.
LogContext current_context();

}  // namespace tolvar::log

// Every call site tests the minimum level first, so the arguments of a
// suppressed line are never evaluated.
#define TOLVAR_LOG(level, ...)                                  \
    do {                                                        \
        if (::tolvar::log::enabled(level))                      \
            ::tolvar::log::log((level), nullptr, __VA_ARGS__);  \
    } while (0)

#define TOLVAR_LOG_ERROR(...) TOLVAR_LOG(::tolvar::log::kError, __VA_ARGS__)
#define TOLVAR_LOG_WARNING(...) TOLVAR_LOG(::tolvar::log::kWarning, __VA_ARGS__)
