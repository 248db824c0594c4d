#include "bus/value_extraction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "bus_bytes.h"
#include "mdf/conversion_block.h"
#include "mdf/data_block.h"

namespace tolvar::bus {
namespace {

using test::Bytes;
using test::field;

ByteSpan span_of(const std::vector<uint8_t>& bytes) { return ByteSpan{bytes.data(), bytes.size()}; }

// ---------------------------------------------------------------- extract_bits

TEST(ExtractBitsTest, ReadsTheDocumentedExamples) {
    const std::vector<uint8_t> bytes = {0x34, 0x12};
    const ByteSpan s = span_of(bytes);
    EXPECT_EQ(extract_bits(s, 0, 16, ByteOrder::kIntel), 0x1234u);
    EXPECT_EQ(extract_bits(s, 4, 8, ByteOrder::kIntel), 0x23u);
    EXPECT_EQ(extract_bits(s, 0, 16, ByteOrder::kOther), 0x3412u);
    EXPECT_EQ(extract_bits(s, 0, 0, ByteOrder::kIntel), 0u);
    EXPECT_EQ(extract_bits(s, 8, 16, ByteOrder::kIntel), 0u);  // beyond the span
    EXPECT_EQ(extract_bits(s, 8, 8, ByteOrder::kIntel), 0x12u);
    EXPECT_EQ(extract_bits(s, 15, 1, ByteOrder::kIntel), 0u);
    EXPECT_EQ(extract_bits(s, 12, 1, ByteOrder::kIntel), 1u);
    EXPECT_EQ(extract_bits(s, 0, 17, ByteOrder::kIntel), 0u);
}

uint64_t bit_at(const std::vector<uint8_t>& bytes, uint64_t k) { return (bytes[k / 8] >> (k % 8)) & 1u; }
uint64_t msb_bit_at(const std::vector<uint8_t>& bytes, uint64_t j) { return (bytes[j / 8] >> (7 - j % 8)) & 1u; }

// Every position and width up to 64 bits against a bit-by-bit reading, in
// both orders, near the end of the span too (where the fast path must not
// load bytes that are not there).
TEST(ExtractBitsTest, MatchesABitByBitReadingAtEveryPositionAndWidth) {
    std::mt19937_64 random(7);
    std::vector<uint8_t> bytes(24);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    for (uint64_t n = 1; n <= 64; ++n) {
        for (uint64_t p = 0; p + n <= bytes.size() * 8; ++p) {
            uint64_t intel = 0;
            for (uint64_t k = 0; k < n; ++k) intel |= bit_at(bytes, p + k) << k;
            uint64_t other = 0;
            for (uint64_t j = p; j < p + n; ++j) other = (other << 1) | msb_bit_at(bytes, j);
            // Exact-size spans end right after the field.
            const std::vector<uint8_t> exact(bytes.begin(), bytes.begin() + (p + n + 7) / 8);
            ASSERT_EQ(extract_bits(span_of(exact), p, n, ByteOrder::kIntel), intel) << p << " " << n;
            ASSERT_EQ(extract_bits(span_of(exact), p, n, ByteOrder::kOther), other) << p << " " << n;
        }
    }
}

TEST(ExtractBitsTest, OtherOrderReadsByteAlignedFieldsAsBigEndian) {
    const std::vector<uint8_t> bytes = {0xAA, 0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(extract_bits(span_of(bytes), 8, 32, ByteOrder::kOther), 0x01020304u);
}

TEST(ExtractBitsTest, FieldsWiderThan64BitsKeepTheirLowest64Bits) {
    std::vector<uint8_t> bytes(40);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i + 1);
    uint64_t low = 0;
    std::memcpy(&low, &bytes[1], 8);
    EXPECT_EQ(extract_bits(span_of(bytes), 8, 200, ByteOrder::kIntel), low);
    uint64_t shifted = 0;
    for (uint64_t k = 0; k < 64; ++k) shifted |= bit_at(bytes, 11 + k) << k;
    EXPECT_EQ(extract_bits(span_of(bytes), 11, 300, ByteOrder::kIntel), shifted);
    // Most significant bit first: the last 64 bits read.
    uint64_t last = 0;
    for (uint64_t j = 8 + 256 - 64; j < 8 + 256; ++j) last = (last << 1) | msb_bit_at(bytes, j);
    EXPECT_EQ(extract_bits(span_of(bytes), 8, 256, ByteOrder::kOther), last);
}

TEST(ExtractBitsTest, ReadsPositionsBeyond64KiBitsExactly) {
    // Position 65536 + 8 must not wrap to bit 8.
    std::vector<uint8_t> bytes(9000);
    bytes[1] = 0x11;
    bytes[8193] = 0x77;
    EXPECT_EQ(extract_bits(span_of(bytes), 65536 + 8, 8, ByteOrder::kIntel), 0x77u);
    EXPECT_EQ(extract_bits(span_of(bytes), 65536 + 8, 8, ByteOrder::kOther), 0x77u);
    // And a field starting within byte 255 and read bit by bit past byte 256.
    bytes[255] = 0x80;
    bytes[256] = 0x01;
    EXPECT_EQ(extract_bits(span_of(bytes), 255 * 8 + 7, 2, ByteOrder::kIntel), 3u);
    EXPECT_EQ(extract_bits(span_of(bytes), 255 * 8 + 7, 64, ByteOrder::kIntel), 3u);
}

TEST(ExtractBitsTest, FieldsOutsideTheSpanReadAsZeroWhateverTheirNumbers) {
    const std::vector<uint8_t> bytes(16, 0xFF);
    const ByteSpan s = span_of(bytes);
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    for (ByteOrder order : {ByteOrder::kIntel, ByteOrder::kOther}) {
        EXPECT_EQ(extract_bits(s, max, 8, order), 0u);
        EXPECT_EQ(extract_bits(s, max - 7, 16, order), 0u);  // p + n wraps to a small number
        EXPECT_EQ(extract_bits(s, 8, max, order), 0u);
        EXPECT_EQ(extract_bits(s, max, max, order), 0u);
        EXPECT_EQ(extract_bits(s, 0, 129, order), 0u);
        EXPECT_EQ(extract_bits(s, 65536, 8, order), 0u);
        EXPECT_EQ(extract_bits(ByteSpan{}, 0, 8, order), 0u);
        EXPECT_EQ(extract_bits(s, 0, 128, order), max);
    }
}

// ---------------------------------------------------------------- values


TEST(FieldValueTest, ReadsIntegersAndFloatsThenConverts) {
    const std::vector<uint8_t> record = Bytes().u64(~uint64_t{0}).f64(1.5).u32(0x3FC00000).u16(0x3E00).u16(250).bytes;
    const ByteSpan r = span_of(record);
    EXPECT_EQ(field_value(field("", 0, 64), r), 1.8446744073709552e19);
    EXPECT_EQ(field_value(field("", 64, 64, ValueKind::kFloat), r), 1.5);
    EXPECT_EQ(field_value(field("", 128, 32, ValueKind::kFloat), r), 1.5);  // single precision
    EXPECT_EQ(field_value(field("", 160, 16, ValueKind::kFloat), r), 1.5);  // half precision
    ChannelField scaled = field("", 176, 16);
    scaled.conversion = Conversion::linear(0.5, 10.0);
    EXPECT_EQ(field_value(scaled, r), 135.0);
    ChannelField table = field("", 176, 16);
    table.conversion = Conversion::value_table({{250, 1}, {9, 2}});
    EXPECT_EQ(field_value(table, r), 1.0);
}

TEST(FieldValueTest, DecodesHalfPrecisionSpecialValues) {
    const std::vector<uint8_t> record = Bytes().u16(0x7C00).u16(0xFC00).u16(0x7E00).u16(0x0001).u16(0x8000).bytes;
    const ByteSpan r = span_of(record);
    EXPECT_EQ(field_value(field("", 0, 16, ValueKind::kFloat), r), std::numeric_limits<double>::infinity());
    EXPECT_EQ(field_value(field("", 16, 16, ValueKind::kFloat), r), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(field_value(field("", 32, 16, ValueKind::kFloat), r)));
    EXPECT_EQ(field_value(field("", 48, 16, ValueKind::kFloat), r), std::ldexp(1.0, -24));
    EXPECT_TRUE(std::signbit(field_value(field("", 64, 16, ValueKind::kFloat), r)));
}

TEST(ValueRulesTest, TruncateTowardZero) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(flag_of(-1.0), 1);
    EXPECT_EQ(flag_of(0.9), 0);
    EXPECT_EQ(flag_of(-0.9), 0);
    EXPECT_EQ(flag_of(1.0), 1);
    EXPECT_EQ(flag_of(nan), 1);
    EXPECT_EQ(flag_of(1e300), 1);
    EXPECT_EQ(byte_of(258.7), 2);
    EXPECT_EQ(byte_of(-1.0), 255);
    EXPECT_EQ(byte_of(nan), 0);
    EXPECT_EQ(byte_of(3e9), 0);
    EXPECT_EQ(byte_of(2147483647.9), 255);
    EXPECT_EQ(byte_of(-2147483648.5), 0);
    EXPECT_EQ(identifier_bits_of(2147483939.0), 0x80000123u);
    EXPECT_EQ(identifier_bits_of(-1.0), 0xFFFFFFFFu);
    EXPECT_EQ(identifier_bits_of(nan), 0u);
    EXPECT_EQ(identifier_bits_of(inf), 0u);
    EXPECT_EQ(identifier_bits_of(1e19), 0u);
}

}  // namespace
}  // namespace tolvar::bus
