#include "log/system_services.h"

#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <string>
#include <thread>

#include "system_files.h"

namespace tolvar::log {
namespace {

bool same_second(const LocalTime& t, std::time_t when) {
    const std::tm* local = std::localtime(&when);
    return t.month == local->tm_mon + 1 && t.day == local->tm_mday && t.hour == local->tm_hour &&
           t.minute == local->tm_min && t.second == local->tm_sec;
}

TEST(SystemServices, LocalTimeIsTheCalendarsLocalTime) {
    // The clock may tick between the readings: one of the two seconds matches.
    const std::time_t before = std::time(nullptr);
    const LocalTime now = local_time_now();
    const std::time_t after = std::time(nullptr);
    EXPECT_TRUE(same_second(now, before) || same_second(now, after))
        << now.month << "-" << now.day << " " << now.hour << ":" << now.minute << ":" << now.second;
    EXPECT_GE(now.millisecond, 0);
    EXPECT_LE(now.millisecond, 999);
}

TEST(SystemServices, ProcessIdIsTheProcesssOwn) { EXPECT_EQ(current_process_id(), test::process_id()); }

TEST(SystemServices, ThreadIdsAreStableWithinAThreadAndDifferAcrossThreads) {
    const long mine = current_thread_id();
    EXPECT_EQ(current_thread_id(), mine);
    std::set<long> others;
    for (int i = 0; i < 3; ++i) {
        long other = 0;
        std::thread([&other] { other = current_thread_id(); }).join();
        others.insert(other);
    }
    EXPECT_EQ(others.count(mine), 0u);
    EXPECT_EQ(others.count(0), 0u);
}

TEST(SystemServices, StandardErrorReceivesEveryByteInOrder) {
    std::string text;
    for (int i = 0; i < 2000; ++i) text += static_cast<char>('a' + i % 26);
    text += '\n';
    test::StderrCapture capture;
    ASSERT_TRUE(capture.ok());
    write_standard_error(text.data(), text.size());
    write_standard_error("", 0);
    write_standard_error("tail", 4);
    EXPECT_EQ(capture.finish(), text + "tail");
}

}  // namespace
}  // namespace tolvar::log
