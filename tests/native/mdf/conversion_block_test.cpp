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

TEST(ConversionBlockTest, ReadsEveryField) {
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
    EXPECT_EQ(as<TextBlock>(cc->unit)->text, "km/h");
    EXPECT_FALSE(cc->comment);
    ASSERT_NE(as<CcBlock>(cc->inverse), nullptr);
    EXPECT_EQ(as<CcBlock>(cc->inverse)->cc_val[1], 2.0);
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
