#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log/system_services.h"

namespace tolvar::log {
namespace {

struct Output {
    uint32_t mask = 0xFFFF;
    void* argument = nullptr;
    OutputCallback callback = stderr_sink;
};

int32_t g_min_level = 0;
Output g_output;
const char* g_tag_prefix = nullptr;  // never set in this system

// Appends formatted text at *append, cut off at end; returns the new position.
char* append_text(char* append, char* end, const char* text) {
    while (*text != '\0' && append < end) *append++ = *text++;
    return append;
}

}  // namespace

int32_t min_level() { return g_min_level; }

void set_output(uint32_t mask, void* argument, OutputCallback callback) {
    g_output.mask = mask;
    g_output.argument = argument;
    g_output.callback = callback;
}

void reset_output() { g_output = Output{}; }

char level_letter(int32_t level) {
    static const char kLetters[] = "VDIWEF";
    if (level < kVerbose || level > kFatal) return '?';
    return kLetters[level - kVerbose];
}

char* format_context(char* dst, char* end, const LogContext& c, int32_t level) {
    if (dst >= end) return dst;
    const size_t room = static_cast<size_t>(end - dst) + 1;
    int n = std::snprintf(dst, room, "%02d-%02d %02d:%02d:%02d.%03d %5ld %5ld %c ", c.month,
                          c.day, c.hour, c.minute, c.second, c.millisecond, c.process_id,
                          c.thread_id, level_letter(level));
    if (n < 0) return dst;
    if (static_cast<size_t>(n) >= room) return end;
    return dst + n;
}

LogContext current_context() {
    const LocalTime now = local_time_now();
    LogContext c{};
    c.month = now.month;
    c.day = now.day;
    c.hour = now.hour;
    c.minute = now.minute;
    c.second = now.second;
    c.millisecond = now.millisecond;
    c.process_id = current_process_id();
    c.thread_id = current_thread_id();
    return c;
}

int log(int32_t level, const char* tag, const char* format, ...) {
    char buffer[kBufferSize];
    buffer[0] = '\0';
    LogMessage m{};
    m.level = level;
    m.tag = tag;
    m.buffer = buffer;
    m.buffer_end = buffer + kBufferEnd;
    m.append = buffer;
    const uint32_t mask = g_output.mask;

    if (mask & kContext) m.append = format_context(m.append, m.buffer_end, current_context(), level);

    if (mask & kTag) {
        m.tag_start = m.append;
        if (g_tag_prefix != nullptr) m.append = append_text(m.append, m.buffer_end, g_tag_prefix);
        if (tag != nullptr && *tag != '\0') {
            if (m.append != m.tag_start) m.append = append_text(m.append, m.buffer_end, ".");
            m.append = append_text(m.append, m.buffer_end, tag);
        }
        if (m.append != m.tag_start) m.append = append_text(m.append, m.buffer_end, " ");
        m.tag_end = m.append;
    }

    if (mask & kMessage) {
        m.message_start = m.append;
        const size_t room = static_cast<size_t>(m.buffer_end - m.append);
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(m.append, room + 1, format, args);
        va_end(args);
        if (n > 0 && static_cast<size_t>(n) <= room)
            m.append += n;
        else
            m.append = m.buffer_end;
        *m.append = '\0';
    }

    return g_output.callback(&m, g_output.argument);
}

int stderr_sink(LogMessage* message, void* /*argument*/) {
    *message->append = '\n';
    const size_t count = static_cast<size_t>(message->append - message->buffer) + 1;
    write_standard_error(message->buffer, count);
    return 0;
}

}  // namespace tolvar::log
