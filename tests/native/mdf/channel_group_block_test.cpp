#include "mdf/channel_group_block.h"

#include <gtest/gtest.h>

#include "mdf/block_cache.h"
#include "mdf/channel_block.h"
#include "mdf/conversion_block.h"
#include "mdf/source_info_block.h"
#include "mdf/text_block.h"
#include "mdf_bytes.h"

namespace tolvar::mdf {
namespace {

using test::BusBytes;
using test::Fields;
using test::LogCapture;

struct ParsedCg {
    std::unique_ptr<stream::MemoryStream> stream;
    BlockRef block;
    CgBlock* cg() const { return as<CgBlock>(block); }
};

ParsedCg parse_cg(const BusBytes& file, uint64_t at) {
    ParsedCg parsed;
    parsed.stream = file.stream();
    BlockCache cache;
    parsed.block = parse_block_at(*parsed.stream, at, cache);
    return parsed;
}

TEST(ChannelTest, ReadsEveryFieldInFileOrder) {
    BusBytes file;
    const uint64_t name = file.tx("Speed");
    const uint64_t cc = file.cc(1, {0.0, 2.0});
    Fields f;
    f.u8(2).u8(1).u8(4).u8(3).u32(4).u32(11).u32(0xF0).u32(17).u8(9).u8(0).u16(5);
    for (int i = 0; i < 6; ++i) f.f64(i + 0.5);
    const uint64_t at = file.block("CN", {0, 0, name, 0, cc, 0, 0, 0}, f.bytes);
    auto stream = file.stream();
    BlockCache cache;
    BlockRef ref = parse_block_at(*stream, at, cache);
    const CnBlock* cn = as<CnBlock>(ref);
    ASSERT_NE(cn, nullptr);
    EXPECT_EQ(cn->cn_type, 2);
    EXPECT_EQ(cn->sync_type, 1);
    EXPECT_EQ(cn->data_type, 4);
    EXPECT_EQ(cn->bit_offset, 3);
    EXPECT_EQ(cn->byte_offset, 4u);
    EXPECT_EQ(cn->bit_count, 11u);
    EXPECT_EQ(cn->flags, 0xF0u);
    EXPECT_EQ(cn->inval_bit_pos, 17u);
    EXPECT_EQ(cn->precision, 9);
    EXPECT_EQ(cn->attachment_count, 5);
    EXPECT_EQ(cn->val_range_min, 0.5);
    EXPECT_EQ(cn->limit_ext_max, 5.5);
    EXPECT_EQ(cn->type_code, kChannelMaster);
    EXPECT_EQ(cn->data_code, kDataTypeFloatIntel);
    EXPECT_NE(as<CcBlock>(cn->conversion), nullptr);
}

TEST(ChannelTest, MapsTypeCodes) {
    EXPECT_EQ(type_code_from(0), kChannelFixedLength);
    EXPECT_EQ(type_code_from(1), kChannelVariableLength);
    EXPECT_EQ(type_code_from(2), kChannelMaster);
    EXPECT_EQ(type_code_from(3), kChannelOther);
    EXPECT_EQ(type_code_from(6), kChannelVirtual);
    EXPECT_EQ(type_code_from(255), kChannelOther);
    EXPECT_EQ(data_code_from(0), kDataTypeUnsignedIntel);
    EXPECT_EQ(data_code_from(1), kDataTypeUnsupported);
    EXPECT_EQ(data_code_from(4), kDataTypeFloatIntel);
    EXPECT_EQ(data_code_from(6), kDataTypeString);
    EXPECT_EQ(data_code_from(10), kDataTypeByteArray);
    EXPECT_EQ(data_code_from(16), kDataTypeUnsupported);
}

TEST(ChannelTest, RefusesOtherLinkCountsAndShortFields) {
    BusBytes file;
    Fields f;
    f.zeros(72);
    const uint64_t nine = file.block("CN", {0, 0, 0, 0, 0, 0, 0, 0, 0}, f.bytes);
    const uint64_t short_cn = file.block("CN", {0, 0, 0, 0, 0, 0, 0, 0}, Fields().zeros(10).bytes);
    auto stream = file.stream();
    BlockCache cache;
    EXPECT_FALSE(parse_block_at(*stream, nine, cache));
    EXPECT_FALSE(parse_block_at(*stream, short_cn, cache));
}

TEST(ChannelGroupTest, ReadsFieldsAndFlags) {
    BusBytes file;
    const uint64_t cn = file.channels({{"Timestamp"}});
    const uint64_t source = file.bus_source();
    const uint64_t at = file.cg(cn, 0x0102030405060708, 10, 2, source, 0x0005);
    const ParsedCg parsed = parse_cg(file, at);
    const CgBlock* cg = parsed.cg();
    ASSERT_NE(cg, nullptr);
    EXPECT_EQ(cg->record_id, 0x0102030405060708u);
    EXPECT_EQ(cg->data_bytes, 10u);
    EXPECT_EQ(cg->inval_bytes, 2u);
    EXPECT_EQ(cg->cg_flags, 5);
    EXPECT_TRUE(cg->is_vlsd());
    EXPECT_FALSE(cg->cg_flags & CgBlock::kFlagBusEvent);
    EXPECT_TRUE(cg->cg_flags & CgBlock::kFlagPlainBusEvent);
    EXPECT_NE(as<SiBlock>(cg->acquisition_source), nullptr);
    ASSERT_EQ(cg->channels.size(), 1u);
    EXPECT_EQ(*block_text(as<CnBlock>(cg->channels[0])->name.get()), "Timestamp");
}

TEST(ChannelGroupTest, RefusesASampleReduction) {
    BusBytes file;
    const uint64_t cn = file.channels({{"Timestamp"}});
    const uint64_t at = file.cg(cn, 0, 8, 0, 0, 0, 0, /*sample_reduction=*/file.tx("sr"));
    LogCapture log;
    EXPECT_EQ(parse_cg(file, at).cg(), nullptr);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].text, "Unsupported parameter present in file");
    EXPECT_EQ(log.lines[0].level, log::kError);
}

TEST(ChannelGroupTest, RefusesOtherLinkCounts) {
    BusBytes file;
    const uint64_t at = file.block("CG", {0, 0, 0, 0, 0}, Fields().zeros(32).bytes);
    EXPECT_EQ(parse_cg(file, at).cg(), nullptr);
    const uint64_t short_cg = file.block("CG", {0, 0, 0, 0, 0, 0}, Fields().zeros(30).bytes);
    EXPECT_EQ(parse_cg(file, short_cg).cg(), nullptr);
}

}  // namespace
}  // namespace tolvar::mdf
