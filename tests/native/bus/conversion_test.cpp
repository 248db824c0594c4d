#include "bus/conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "mdf/block_cache.h"
#include "mdf/block_kinds.h"
#include "mdf/conversion_block.h"
#include "mdf_bytes.h"

namespace tolvar::bus {
namespace {

using mdf::BlockCache;
using mdf::BlockKind;
using mdf::BlockRef;
using mdf::CcBlock;
using mdf::cc_value;
using mdf::create_block;
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
        return mdf::as<CcBlock>(block_);
    }
    std::unique_ptr<stream::MemoryStream> stream_;
    BlockRef block_;
};

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

}  // namespace
}  // namespace tolvar::bus
