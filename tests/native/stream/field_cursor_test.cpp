#include "stream/field_cursor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "stream/memory_stream.h"

namespace tolvar::stream {
namespace {

void counting_bytes(MemoryStream& s, size_t n) {
    std::vector<uint8_t> bytes(n);
    std::iota(bytes.begin(), bytes.end(), 0);
    s.write(bytes.data(), n);
}

TEST(FieldCursor, ReadsAtBasePlusPositionWhateverTheStreamDidMeanwhile) {
    MemoryStream s;
    std::vector<uint8_t> bytes(600);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    s.write(bytes.data(), bytes.size());
    s.seek(100, kSeekSet);
    FieldCursor cursor(&s);
    EXPECT_EQ(cursor.base(), 100u);
    s.seek(500, kSeekSet);
    uint16_t a = 0;
    ASSERT_TRUE(cursor.read_u16(a));
    EXPECT_EQ(a, bytes[100] | (bytes[101] << 8));
    s.seek(3, kSeekSet);
    uint8_t b = 0;
    ASSERT_TRUE(cursor.read_u8(b));
    EXPECT_EQ(b, bytes[102]);
    EXPECT_EQ(cursor.position(), 3u);
}

TEST(FieldCursor, FailedReadDoesNotAdvance) {
    MemoryStream s;
    counting_bytes(s, 10);
    FieldCursor cursor(&s, 4);
    uint64_t wide = 0;
    EXPECT_FALSE(cursor.read_u64(wide));  // only 6 bytes left
    EXPECT_EQ(cursor.position(), 0u);
    uint32_t narrow = 0;
    ASSERT_TRUE(cursor.read_u32(narrow));
    EXPECT_EQ(narrow, 0x07060504u);
    EXPECT_EQ(cursor.position(), 4u);
}

TEST(FieldCursor, LittleEndianWidths) {
    MemoryStream s;
    counting_bytes(s, 16);
    FieldCursor cursor(&s, 0);
    uint8_t u8;
    uint16_t u16;
    uint32_t u32;
    uint64_t u64;
    ASSERT_TRUE(cursor.read_u8(u8) && cursor.read_u16(u16) && cursor.read_u32(u32) && cursor.read_u64(u64));
    EXPECT_EQ(u8, 0x00);
    EXPECT_EQ(u16, 0x0201);
    EXPECT_EQ(u32, 0x06050403u);
    EXPECT_EQ(u64, 0x0E0D0C0B0A090807ULL);
    EXPECT_EQ(cursor.position(), 15u);
}

TEST(FieldCursor, BigEndianWordStoresOnlyOnSuccess) {
    MemoryStream s;
    s.write("\x00\x00\x01\x02\xff", 5);
    FieldCursor cursor(&s, 0);
    uint32_t value = 0;
    ASSERT_TRUE(cursor.read_u32_be(&value));
    EXPECT_EQ(value, 258u);
    value = 99;
    EXPECT_FALSE(cursor.read_u32_be(&value));
    EXPECT_EQ(value, 99u);
    EXPECT_FALSE(cursor.read_u32_be(nullptr));
}

TEST(FieldCursor, TextAppendsAndRefusesLengthsBeyondTheStream) {
    MemoryStream s;
    s.write("hello world", 11);
    FieldCursor cursor(&s, 0);
    std::string text = ">";
    ASSERT_TRUE(cursor.read_text(text, 5));
    EXPECT_EQ(text, ">hello");
    // A damaged length must not size an allocation: it fails with what arrived.
    std::string huge;
    EXPECT_FALSE(cursor.read_text(huge, UINT64_MAX / 2));
    EXPECT_LE(huge.size(), 6u);
    EXPECT_EQ(cursor.position(), 5u);
}

TEST(FieldCursor, SkipMovesWithoutIo) {
    MemoryStream s;
    counting_bytes(s, 8);
    FieldCursor cursor(&s, 0);
    ASSERT_TRUE(cursor.skip(6));
    uint8_t b;
    ASSERT_TRUE(cursor.read_u8(b));
    EXPECT_EQ(b, 6);
}

TEST(FieldCursor, WritesAtItsOwnPosition) {
    MemoryStream s;
    s.write(std::string(8, '\0').data(), 8);
    FieldCursor cursor(&s, 2);
    s.seek(0, kSeekEnd);
    ASSERT_TRUE(cursor.write_u16(0xBEEF));
    ASSERT_TRUE(cursor.write_text("ab"));
    EXPECT_EQ(cursor.position(), 4u);
    const uint8_t expected[] = {0, 0, 0xEF, 0xBE, 'a', 'b', 0, 0};
    EXPECT_EQ(std::memcmp(s.data(), expected, 8), 0);
}

// Serves at most one byte per read, as a raw host file object or a pipe may.
class TrickleStream final : public Stream {
public:
    explicit TrickleStream(MemoryStream& inner) : inner_(inner) {}
    int64_t read(void* buffer, uint64_t n) override { return inner_.read(buffer, n < 1 ? n : 1); }
    int64_t tell() override { return inner_.tell(); }
    int64_t seek(int64_t offset, int whence) override { return inner_.seek(offset, whence); }

private:
    MemoryStream& inner_;
};

TEST(FieldCursor, ShortReadsAreNotTheEnd) {
    MemoryStream s;
    counting_bytes(s, 12);
    TrickleStream trickle(s);
    FieldCursor cursor(&trickle, 0);
    uint64_t wide = 0;
    ASSERT_TRUE(cursor.read_u64(wide));
    EXPECT_EQ(wide, 0x0706050403020100ULL);
    std::string text;
    ASSERT_TRUE(cursor.read_text(text, 4));
    EXPECT_EQ(text, std::string("\x08\x09\x0a\x0b"));
    EXPECT_FALSE(cursor.read_u8(*reinterpret_cast<uint8_t*>(&wide)));
}

TEST(FieldCursor, WithoutAStreamEveryAccessFails) {
    FieldCursor cursor(nullptr);
    uint8_t b;
    EXPECT_FALSE(cursor.read_u8(b));
    EXPECT_FALSE(cursor.write_u8(1));
    EXPECT_EQ(cursor.position(), 0u);
}

}  // namespace
}  // namespace tolvar::stream
