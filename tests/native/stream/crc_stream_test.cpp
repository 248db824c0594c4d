#include "stream/crc_stream.h"

#include <gtest/gtest.h>

#include "layer_test_util.h"
#include "stream/crc32.h"

namespace tolvar::stream {
namespace {

TEST(Crc32, VariantWithoutFinalInversion) {
    EXPECT_EQ(crc_update(kCrcInitial, "", 0), 0xFFFFFFFFu);
    EXPECT_EQ(crc_update(kCrcInitial, "abc", 3), 0xCADBBE3Du);
    EXPECT_EQ(crc_update(kCrcInitial, "123456789", 9), 0x340BC6D9u);
    EXPECT_EQ(~crc_update(kCrcInitial, "123456789", 9), 0xCBF43926u);
}

TEST(Crc32, BulkUpdateEqualsByteSteps) {
    const auto data = test::random_bytes(1003, 7);
    for (size_t split : {0, 1, 3, 4, 5, 500, 1003}) {
        uint32_t bytewise = kCrcInitial;
        for (uint8_t b : data) bytewise = crc_step(bytewise, b);
        uint32_t bulk = crc_update(kCrcInitial, data.data(), split);
        bulk = crc_update(bulk, data.data() + split, data.size() - split);
        EXPECT_EQ(bulk, bytewise) << split;
    }
}

TEST(CrcStream, ChecksumsWhatPassesAndHasNoPosition) {
    auto inner = test::memory_of({'1', '2', '3', '4', '5', '6', '7', '8', '9'});
    auto crc = CrcStream::create(inner.get());
    ASSERT_NE(crc, nullptr);
    uint8_t out[4];
    EXPECT_EQ(crc->read(out, 4), 4);
    EXPECT_EQ(crc->read(out, 4), 4);
    EXPECT_EQ(crc->read(out, 4), 1);
    EXPECT_EQ(crc->read(out, 4), 0);
    EXPECT_EQ(crc->value(), 0x340BC6D9u);
    EXPECT_EQ(crc->tell(), kAbsent);
    EXPECT_EQ(crc->seek(0, kSeekSet), kAbsent);
    EXPECT_EQ(crc->close(), 0);
    EXPECT_EQ(CrcStream::create(nullptr), nullptr);
}

TEST(CrcStream, FailedReadLeavesTheRegister) {
    test::FailingStream inner({'a', 'b', 'c', 'd'}, 3);
    auto crc = CrcStream::create(&inner);
    uint8_t out[8];
    EXPECT_EQ(crc->read(out, 8), 3);
    EXPECT_EQ(crc->read(out, 8), -1);
    EXPECT_EQ(crc->value(), 0xCADBBE3Du);
}

TEST(CrcStream, WritesAreChecksummed) {
    MemoryStream inner;
    auto crc = CrcStream::create(&inner);
    EXPECT_EQ(crc->write("abc", 3), 3);
    EXPECT_EQ(crc->value(), 0xCADBBE3Du);
    EXPECT_EQ(inner.content_size(), 3u);
}

}  // namespace
}  // namespace tolvar::stream
