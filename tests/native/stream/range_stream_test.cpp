#include "stream/range_stream.h"

#include <gtest/gtest.h>

#include "layer_test_util.h"

namespace tolvar::stream {
namespace {

TEST(RangeStream, BoundedRangeReadsAndClamps) {
    auto inner = test::memory_of(test::random_bytes(200, 1));
    auto range = RangeStream::create(inner.get(), 28, 100);
    ASSERT_NE(range, nullptr);
    EXPECT_EQ(range->tell(), 0);
    uint8_t out[1000];
    EXPECT_EQ(range->read(out, sizeof out), 72);
    EXPECT_EQ(std::memcmp(out, inner->data() + 28, 72), 0);
    EXPECT_EQ(range->read(out, sizeof out), 0);
    EXPECT_EQ(range->seek(0, kSeekEnd), 72);
    EXPECT_EQ(range->seek(-5, kSeekSet), 0);
    EXPECT_EQ(range->seek(500, kSeekSet), 72);
    EXPECT_EQ(range->seek(-2, kSeekCur), 70);
    EXPECT_EQ(range->read(out, sizeof out), 2);
    EXPECT_EQ(range->seek(0, 3), -1);
    EXPECT_EQ(range->close(), 0);
}

TEST(RangeStream, UnboundedRangeRunsToTheInnerEnd) {
    auto inner = test::memory_of(test::random_bytes(200, 2));
    for (int64_t end : {0, -1}) {
        auto range = RangeStream::create(inner.get(), 28, end);
        uint8_t out[1000];
        EXPECT_EQ(range->read(out, sizeof out), 172);
        EXPECT_EQ(range->seek(0, kSeekEnd), 172);
        EXPECT_EQ(range->seek(-10, kSeekEnd), 162);
        EXPECT_EQ(range->tell(), 162);
    }
}

TEST(RangeStream, WritesStopAtTheEnd) {
    MemoryStream inner;
    inner.seek(20, kSeekEnd);
    auto range = RangeStream::create(&inner, 4, 10);
    EXPECT_EQ(range->write("abcdefghij", 10), 6);
    EXPECT_EQ(range->write("x", 1), 0);
    EXPECT_EQ(std::memcmp(inner.data() + 4, "abcdef", 6), 0);
}

constexpr uint64_t kSparseSize = (uint64_t{1} << 32) + 40;

// kSparseSize zero bytes, held nowhere.
class Sparse final : public Stream {
public:
    int64_t read(void* buffer, uint64_t n) override {
        const uint64_t left = position_ < kSparseSize ? kSparseSize - position_ : 0;
        const uint64_t count = std::min(n, left);
        std::memset(buffer, 0, count);
        position_ += count;
        return static_cast<int64_t>(count);
    }
    int64_t tell() override { return static_cast<int64_t>(position_); }
    int64_t seek(int64_t offset, int whence) override {
        const int64_t base = whence == kSeekSet ? 0 : whence == kSeekCur ? static_cast<int64_t>(position_) : static_cast<int64_t>(kSparseSize);
        position_ = static_cast<uint64_t>(base + offset);
        return static_cast<int64_t>(position_);
    }
    uint64_t position_ = 0;
};

TEST(RangeStream, OffsetsBeyondFourGigabytes) {
    // The range end and its positions are 64-bit: a layer larger than 2 or 4
    // GiB keeps its footer outside the payload.
    Sparse inner;
    const int64_t end = static_cast<int64_t>(kSparseSize) - 4;
    auto range = RangeStream::create(&inner, 28, end);
    EXPECT_EQ(range->seek(0, kSeekEnd), end - 28);
    EXPECT_EQ(range->seek(-8, kSeekCur), end - 36);
    uint8_t out[64];
    EXPECT_EQ(range->read(out, sizeof out), 8);
    EXPECT_EQ(range->read(out, sizeof out), 0);
}

TEST(RangeStream, RefusesANullInner) { EXPECT_EQ(RangeStream::create(nullptr, 0, 0), nullptr); }

}  // namespace
}  // namespace tolvar::stream
