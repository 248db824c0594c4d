// What a log line asks of the operating system: the local wall-clock time,
// the ids of the process and thread, and an unbuffered write to standard
// error. POSIX (Linux, macOS) and Windows; owns and borrows nothing.
#pragma once

#include <cstddef>

namespace tolvar::log {

// The local time of day, to the millisecond.
struct LocalTime {
    int month;  // 1..12
    int day;
    int hour;
    int minute;
    int second;
    int millisecond;
};

LocalTime local_time_now();

long current_process_id();

// The system's id of the calling thread (what a debugger or `top` shows).
long current_thread_id();

// Writes [data, data + size) to the process's standard error as it is now
// (a redirection made since start-up included), unbuffered; short writes are
// continued, and the first failure ends the write.
void write_standard_error(const char* data, size_t size);

}  // namespace tolvar::log
