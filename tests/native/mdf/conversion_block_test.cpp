#include "mdf/conversion_block.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "mdf/block_cache.h"
#include "mdf/text_block.h"
#include "mdf_bytes.h"

namespace tolvar::mdf {
namespace {

using test::Fields;
using test::LogCapture;
using test::MdfBytes;

// Parses a single conversion block with the given type and parameters.
class ConversionTest : public ::testing::Test {
protected:
    const CcBlock* parse(uint8_t type, const std::vector<double>& values) {
        MdfBytes f;
        const uint64_t at = f.cc(type, values);
        stream_ = f.stream();
        BlockCache cache;
        block_ = parse_block_at(*stream_, at, cache);
        return as<CcBlock>(block_);
    }
    std::unique_ptr<MemoryStream> stream_;
    BlockRef block_;
};

TEST_F(ConversionTest, ReadsEveryField) {
    MdfBytes f;
    const uint64_t name = f.tx("n");
    const uint64_t unit = f.tx("km/h");
    const uint64_t inverse = f.cc(1, {0, 2});
    const uint64_t at = f.block(
        "CC", {name, unit, 0, inverse},
        Fields().u8(1).u8(3).u16(0x0102).u16(0).u16(2).f64(-1.5).f64(99.0).f64(10.0).f64(0.5).bytes);
    auto s = f.stream();
    BlockCache cache;
    BlockRef block = parse_block_at(*s, at, cache);
    const CcBlock* cc = as<CcBlock>(block);
    ASSERT_NE(cc, nullptr);
    EXPECT_EQ(cc->cc_type, 1);
    EXPECT_EQ(cc->cc_precision, 3);
    EXPECT_EQ(cc->cc_flags, 0x0102);
    EXPECT_EQ(cc->cc_val_count, 2);
    EXPECT_EQ(cc->cc_phy_range_min, -1.5);
    EXPECT_EQ(cc->cc_phy_range_max, 99.0);
    EXPECT_EQ(cc->cc_val, (std::vector<double>{10.0, 0.5}));
    EXPECT_EQ(as<TxBlock>(cc->unit)->text, "km/h");
    EXPECT_FALSE(cc->comment);
    ASSERT_NE(as<CcBlock>(cc->inverse), nullptr);
    EXPECT_EQ(as<CcBlock>(cc->inverse)->cc_val[1], 2.0);
}

TEST_F(ConversionTest, LinearIsOffsetPlusFactorTimesRaw) {
    const CcBlock* cc = parse(1, {10.0, 0.5});
    ASSERT_NE(cc, nullptr);
    const Conversion c = conversion_of(cc);
    EXPECT_EQ(c.kind(), Conversion::Kind::kLinear);
    EXPECT_EQ(apply_conversion(&c, 4), 12.0);
    const Conversion timestamps = Conversion::linear(1e-5, 0.0);
    EXPECT_DOUBLE_EQ(apply_conversion(&timestamps, 250000), 2.5);
}

TEST_F(ConversionTest, LinearWithMissingParametersUsesTheIdentitysValues) {
    const CcBlock* one = parse(1, {7.0});
    ASSERT_NE(one, nullptr);
    double out = -3.0;
    EXPECT_TRUE(cc_value(one, 0, &out));
    EXPECT_EQ(out, 7.0);
    out = -3.0;
    EXPECT_FALSE(cc_value(one, 1, &out));
    EXPECT_EQ(out, -3.0);
    const Conversion c = conversion_of(one);
    EXPECT_EQ(c.factor(), 1.0);
    EXPECT_EQ(apply_conversion(&c, 5), 12.0);

    const CcBlock* none = parse(1, {});
    ASSERT_NE(none, nullptr);
    EXPECT_FALSE(cc_value(none, 0, &out));
    EXPECT_TRUE(none->cc_val.empty());
    const Conversion identity = conversion_of(none);
    EXPECT_EQ(apply_conversion(&identity, 5), 5.0);
}

TEST_F(ConversionTest, ValueTableFirstPairOfAKeyWins) {
    const CcBlock* cc = parse(5, {0, 0, 9, 12, 10, 16, 9, 99});
    ASSERT_NE(cc, nullptr);
    const Conversion c = conversion_of(cc);
    EXPECT_EQ(c.kind(), Conversion::Kind::kValueTable);
    EXPECT_EQ(apply_conversion(&c, 9), 12.0);
    EXPECT_EQ(apply_conversion(&c, 10), 16.0);
    EXPECT_EQ(apply_conversion(&c, 0), 0.0);
    EXPECT_EQ(apply_conversion(&c, 7.5), 0.0);
    EXPECT_EQ(c.table().size(), 3u);
}

TEST_F(ConversionTest, ValueTableIgnoresAnOddLastParameterAndNaNKeys) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const CcBlock* cc = parse(5, {1, 10, nan, 20, 3, 30, 4});
    ASSERT_NE(cc, nullptr);
    const Conversion c = conversion_of(cc);
    EXPECT_EQ(c.table().size(), 2u);
    EXPECT_EQ(apply_conversion(&c, 1), 10.0);
    EXPECT_EQ(apply_conversion(&c, 3), 30.0);
    EXPECT_EQ(apply_conversion(&c, 4), 0.0);
    EXPECT_EQ(apply_conversion(&c, nan), 0.0);
}

TEST_F(ConversionTest, OtherTypesLeaveValuesUnchanged) {
    for (uint8_t type : {0, 2, 3, 4, 6, 7}) {
        const CcBlock* cc = parse(type, {3.0, 4.0});
        ASSERT_NE(cc, nullptr);
        const Conversion c = conversion_of(cc);
        EXPECT_EQ(c.kind(), Conversion::Kind::kUnsupported);
        EXPECT_EQ(apply_conversion(&c, 42.25), 42.25);
    }
    // No block, or a block of another kind: the identity.
    EXPECT_EQ(conversion_of(nullptr).kind(), Conversion::Kind::kIdentity);
    BlockRef tx = create_block(BlockKind::kTx);
    EXPECT_EQ(conversion_of(tx.get()).kind(), Conversion::Kind::kIdentity);
    EXPECT_EQ(apply_conversion(nullptr, -1.0), -1.0);
}

TEST(ConversionBlockTest, RefusesBadBlocksSilently) {
    MdfBytes f;
    // A value-to-text conversion carries a fifth link.
    const uint64_t five = f.block("CC", {0, 0, 0, 0, 0}, Fields().u8(7).zeros(23).bytes);
    const uint64_t dangling_name = f.cc(1, {0, 1}, 0, 1u << 24);
    // Claims 65535 parameters; the stream holds two.
    const uint64_t short_values = f.block("CC", {0, 0, 0, 0}, Fields().u8(1).u8(0).u16(0).u16(0).u16(65535).f64(0).f64(0).f64(1).f64(2).bytes);
    auto s = f.stream();
    LogCapture log;
    BlockCache cache;
    EXPECT_FALSE(parse_block_at(*s, five, cache));
    EXPECT_FALSE(parse_block_at(*s, dangling_name, cache));
    EXPECT_FALSE(parse_block_at(*s, short_values, cache));
    EXPECT_TRUE(log.lines.empty());
}

}  // namespace
}  // namespace tolvar::mdf
