#include "stream/memory_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tolvar::stream {
namespace {

struct GrowthCase {
    std::vector<uint64_t> writes;
    uint64_t capacity;
};

class MemoryStreamGrowth : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(MemoryStreamGrowth, StartsAtTwoAndDoublesUntilTheWriteFits) {
    MemoryStream s;
    uint64_t total = 0;
    for (uint64_t n : GetParam().writes) {
        std::vector<uint8_t> bytes(n, 0xAB);
        ASSERT_EQ(s.write(bytes.data(), n), static_cast<int64_t>(n));
        total += n;
    }
    EXPECT_EQ(s.capacity(), GetParam().capacity);
    EXPECT_EQ(s.content_size(), total);
}

INSTANTIATE_TEST_SUITE_P(Cases, MemoryStreamGrowth,
                         ::testing::Values(GrowthCase{{1}, 2}, GrowthCase{{5}, 8}, GrowthCase{{2}, 2},
                                           GrowthCase{{3, 3}, 8}, GrowthCase{{1, 1, 1}, 4},
                                           GrowthCase{{1000}, 1024}, GrowthCase{{0}, 0}));

TEST(MemoryStream, ReadsFromThePositionUpToTheSize) {
    MemoryStream s;
    s.write("0123456789", 10);
    EXPECT_EQ(s.seek(4, kSeekSet), 4);
    char buf[100];
    EXPECT_EQ(s.read(buf, 100), 6);
    EXPECT_EQ(std::string(buf, 6), "456789");
    EXPECT_EQ(s.read(buf, 100), 0);
    EXPECT_EQ(s.tell(), 10);
}

TEST(MemoryStream, SeeksFromEachOrigin) {
    MemoryStream s;
    s.write("0123456789", 10);
    EXPECT_EQ(s.seek(-4, kSeekEnd), 6);
    EXPECT_EQ(s.seek(-2, kSeekCur), 4);
    EXPECT_EQ(s.seek(3, kSeekCur), 7);
    EXPECT_EQ(s.seek(0, 3), -1);
    EXPECT_EQ(s.tell(), 7);
}

TEST(MemoryStream, SeekFromTheEndBeyondTheSizeExtendsWithZeros) {
    MemoryStream s;
    s.write("0123456789", 10);
    EXPECT_EQ(s.seek(3, kSeekEnd), 13);
    EXPECT_EQ(s.content_size(), 13u);
    ASSERT_EQ(s.seek(0, kSeekSet), 0);
    char buf[13];
    ASSERT_EQ(s.read(buf, 13), 13);
    EXPECT_EQ(std::memcmp(buf, "0123456789\0\0\0", 13), 0);
}

TEST(MemoryStream, TargetsBeyondTheCapacityOrNegativeAreRefused) {
    MemoryStream s;
    s.write("0123456789", 10);  // capacity 16
    ASSERT_EQ(s.capacity(), 16u);
    EXPECT_EQ(s.seek(16, kSeekSet), 16);  // between size and capacity: accepted
    char c;
    EXPECT_EQ(s.read(&c, 1), 0);
    EXPECT_EQ(s.seek(17, kSeekSet), -1);
    EXPECT_EQ(s.seek(-1, kSeekSet), -1);
    EXPECT_EQ(s.tell(), 16);
    EXPECT_EQ(s.seek(INT64_MAX, kSeekCur), -1);
}

TEST(MemoryStream, WriteInTheMiddleKeepsTheSize) {
    MemoryStream s;
    s.write("0123456789", 10);
    s.seek(2, kSeekSet);
    EXPECT_EQ(s.write("ab", 2), 2);
    EXPECT_EQ(s.content_size(), 10u);
    EXPECT_EQ(std::memcmp(s.data(), "01ab456789", 10), 0);
}

TEST(MemoryStream, ImpossibleWriteFailsAndKeepsTheContent) {
    MemoryStream s;
    s.write("abc", 3);
    EXPECT_EQ(s.write("x", UINT64_MAX), -1);
    EXPECT_EQ(s.content_size(), 3u);
    EXPECT_EQ(std::memcmp(s.data(), "abc", 3), 0);
    // A seek whose zero extension cannot be held fails too.
    EXPECT_EQ(s.seek(INT64_MAX - 3, kSeekEnd), -1);
    EXPECT_EQ(s.content_size(), 3u);
}

TEST(MemoryStream, SizeRestoresThePosition) {
    MemoryStream s;
    s.write("0123456789", 10);
    s.seek(3, kSeekSet);
    EXPECT_EQ(s.size(), 10);
    EXPECT_EQ(s.tell(), 3);
}

TEST(MemoryStream, CloseReleasesEverything) {
    StreamPtr s = std::make_unique<MemoryStream>();
    s->write("abc", 3);
    EXPECT_EQ(close(s), 0);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(close(s), 0);  // closing nothing is fine
}

}  // namespace
}  // namespace tolvar::stream
