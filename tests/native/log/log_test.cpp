#include "log/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "system_files.h"

namespace tolvar::log {
namespace {

struct Captured {
    std::vector<std::string> lines;
    std::vector<int32_t> levels;
    std::vector<std::string> message_parts;
};

int capture(LogMessage* m, void* arg) {
    auto* c = static_cast<Captured*>(arg);
    c->lines.emplace_back(m->buffer, m->append);
    c->levels.push_back(m->level);
    if (m->message_start != nullptr) c->message_parts.emplace_back(m->message_start);
    return 42;
}

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { reset_output(); }
    Captured captured;
};

TEST_F(LogTest, MessageOnlyMaskHandsOverExactlyTheFormattedText) {
    set_output(kMessage, &captured, capture);
    EXPECT_EQ(log(kError, nullptr, "Could not parse block at offset %llu", 1024ULL), 42);
    ASSERT_EQ(captured.lines.size(), 1u);
    EXPECT_EQ(captured.lines[0], "Could not parse block at offset 1024");
    EXPECT_EQ(captured.message_parts[0], "Could not parse block at offset 1024");
    EXPECT_EQ(captured.levels[0], kError);
}

TEST_F(LogTest, MacroSkipsNothingAtTheDefaultMinimumLevel) {
    set_output(kMessage, &captured, capture);
    int evaluated = 0;
    TOLVAR_LOG(kVerbose, "%d", ++evaluated);
    TOLVAR_LOG_WARNING("Unsupported channel data type: %d", 7);
    EXPECT_EQ(evaluated, 1);
    ASSERT_EQ(captured.lines.size(), 2u);
    EXPECT_EQ(captured.lines[1], "Unsupported channel data type: 7");
    EXPECT_EQ(captured.levels[1], kWarning);
}

TEST(LogPrefix, FieldsAreZeroPaddedAndIdsRightAligned) {
    char buffer[kBufferSize];
    LogContext c{3, 3, 14, 5, 9, 7, 4321, 77};
    char* end = format_context(buffer, buffer + kBufferEnd, c, kError);
    EXPECT_EQ(std::string(buffer, end), "03-03 14:05:09.007  4321    77 E ");
}

TEST(LogPrefix, LongNumbersTakeTheRoomTheyNeed) {
    char buffer[kBufferSize];
    LogContext c{12, 31, 23, 59, 59, 999, 1234567, 42};
    char* end = format_context(buffer, buffer + kBufferEnd, c, kInfo);
    EXPECT_EQ(std::string(buffer, end), "12-31 23:59:59.999 1234567    42 I ");
}

TEST(LogPrefix, LevelLetters) {
    const std::pair<int32_t, char> cases[] = {{1, 'V'}, {2, 'D'}, {3, 'I'}, {4, 'W'},
                                              {5, 'E'}, {6, 'F'}, {7, '?'}, {0, '?'}, {-1, '?'}};
    for (auto [level, letter] : cases) EXPECT_EQ(level_letter(level), letter) << level;
}

TEST(LogPrefix, IsCutOffAtTheBufferEnd) {
    char buffer[16];
    LogContext c{3, 3, 14, 5, 9, 7, 4321, 77};
    char* end = format_context(buffer, buffer + 10, c, kError);
    EXPECT_EQ(end, buffer + 10);
    EXPECT_EQ(std::string(buffer, end), "03-03 14:0");
}

TEST_F(LogTest, ContextPrefixPrecedesTheMessage) {
    set_output(kContext | kMessage, &captured, capture);
    log(7, nullptr, "hello");
    ASSERT_EQ(captured.lines.size(), 1u);
    const std::string& line = captured.lines[0];
    // MM-DD HH:MM:SS.mmm pid tid ?
    ASSERT_GE(line.size(), 20u);
    EXPECT_EQ(line[2], '-');
    EXPECT_EQ(line[5], ' ');
    EXPECT_EQ(line[8], ':');
    EXPECT_EQ(line[14], '.');
    char pid[32];
    std::snprintf(pid, sizeof pid, " %5ld ", test::process_id());
    EXPECT_NE(line.find(pid), std::string::npos) << line;
    EXPECT_EQ(line.substr(line.size() - 8), " ? hello");
}

// Sizes and 64-bit numbers format as C99 says on every system, Windows
// included, whose own older printf knows neither %zu nor %lld.
TEST_F(LogTest, SizesAndLongNumbersFormatAsC99Says) {
    set_output(kMessage, &captured, capture);
    log(kError, nullptr, "%zu blocks, %s, offset %lld, %llu", size_t{4096}, "after", -5LL,
        18446744073709551615ULL);
    ASSERT_EQ(captured.lines.size(), 1u);
    EXPECT_EQ(captured.lines[0], "4096 blocks, after, offset -5, 18446744073709551615");
}

TEST_F(LogTest, LongMessageIsTruncatedAtTheBufferEnd) {
    set_output(kMessage, &captured, capture);
    const std::string text(600, 'x');
    log(kError, nullptr, "%s", text.c_str());
    ASSERT_EQ(captured.lines.size(), 1u);
    EXPECT_EQ(captured.lines[0], std::string(kBufferEnd, 'x'));
    EXPECT_EQ(captured.message_parts[0].size(), kBufferEnd);
}

TEST_F(LogTest, TagPartIsEmptyWithoutATag) {
    set_output(kTag | kMessage, &captured, capture);
    log(kError, nullptr, "m");
    log(kError, "tag", "m");
    ASSERT_EQ(captured.lines.size(), 2u);
    EXPECT_EQ(captured.lines[0], "m");
    EXPECT_EQ(captured.lines[1], "tag m");
}

using test::StderrCapture;

TEST_F(LogTest, StderrSinkWritesOneTerminatedLine) {
    set_output(kMessage, nullptr, stderr_sink);
    StderrCapture capture;
    log(kError, nullptr, "Unsupported MF4 file");
    EXPECT_EQ(capture.finish(), "Unsupported MF4 file\n");
}

TEST_F(LogTest, StderrSinkWritesAtMost511BytesOfATruncatedLine) {
    set_output(kContext | kMessage, nullptr, stderr_sink);
    StderrCapture capture;
    log(kError, nullptr, "%s", std::string(600, 'y').c_str());
    const std::string out = capture.finish();
    EXPECT_EQ(out.size(), kBufferEnd + 1);
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(out[out.size() - 2], 'y');
}

}  // namespace
}  // namespace tolvar::log
