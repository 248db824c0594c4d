#include "bus/channel_group.h"

#include <gtest/gtest.h>

#include "bus/value_extraction.h"
#include "bus_bytes.h"
#include "mdf/signal_data_block.h"
#include "mdf/source_info_block.h"

namespace tolvar::bus {
namespace {

using test::BusBytes;
using test::Bytes;
using test::Cn;
using test::Fields;
using test::LogCapture;

struct ParsedCg {
    std::unique_ptr<MemoryStream> stream;
    mdf::BlockRef block;
    CgBlock* cg() const { return mdf::as<CgBlock>(block); }
};

ParsedCg parse_cg(const BusBytes& file, uint64_t at) {
    ParsedCg parsed;
    parsed.stream = file.stream();
    mdf::BlockCache cache;
    parsed.block = mdf::parse_block_at(*parsed.stream, at, cache);
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
    mdf::BlockCache cache;
    mdf::BlockRef ref = mdf::parse_block_at(*stream, at, cache);
    const CnBlock* cn = mdf::as<CnBlock>(ref);
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
    EXPECT_NE(mdf::as<mdf::CcBlock>(cn->conversion), nullptr);
    EXPECT_EQ(bit_count(cn), 11u);
    EXPECT_EQ(bit_count(nullptr), 0u);
    EXPECT_EQ(bit_offset(nullptr), 0);
    EXPECT_EQ(byte_offset(nullptr), 0u);
    EXPECT_EQ(channel_type_code(nullptr), kChannelOther);
    EXPECT_EQ(data_type_code(nullptr), kDataTypeUnsupported);
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
    mdf::BlockCache cache;
    EXPECT_FALSE(mdf::parse_block_at(*stream, nine, cache));
    EXPECT_FALSE(mdf::parse_block_at(*stream, short_cn, cache));
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
    EXPECT_TRUE(cg->is_vlsd);
    EXPECT_FALSE(cg->is_bus_event);
    EXPECT_TRUE(cg->is_plain_bus_event);
    EXPECT_NE(mdf::as<mdf::SiBlock>(cg->acquisition_source), nullptr);
    ASSERT_EQ(cg->layout.size(), 1u);
    EXPECT_EQ(cg->layout[0].role, ChannelRole::kTimestampRole);
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

TEST(LayoutTest, PlacesBitsAndKinds) {
    BusBytes file;
    const uint64_t cc = file.cc(1, {0.0, 1e-5});
    Cn time{"Timestamp", 0, 0, 64, test::kUnsignedIntel};
    time.conversion = cc;
    const uint64_t cn = file.channels({
        time,
        {"CAN_DataFrame.ID", 4, 3, 11, test::kUnsignedIntel},
        {"Float", 8, 0, 64, test::kFloatIntel},
        {"CAN_DataFrame.DataBytes", 16, 0, 64, test::kByteArray},
    });
    const ParsedCg parsed = parse_cg(file, file.cg(cn, 0, 24));
    ASSERT_NE(parsed.cg(), nullptr);
    const RecordLayout& layout = parsed.cg()->layout;
    ASSERT_EQ(layout.size(), 4u);
    EXPECT_EQ(layout[1].bit_position, 35u);
    EXPECT_EQ(layout[1].bit_count, 11u);
    EXPECT_EQ(layout[1].role, ChannelRole::kCanId);
    EXPECT_EQ(layout[1].value_kind, ValueKind::kUnsigned);
    EXPECT_EQ(layout[1].byte_order, ByteOrder::kIntel);
    EXPECT_EQ(layout[2].value_kind, ValueKind::kFloat);
    EXPECT_EQ(layout[3].value_kind, ValueKind::kByteArray);
    EXPECT_EQ(layout[3].role, ChannelRole::kCanDataBytes);
    EXPECT_EQ(layout[0].conversion.kind(), mdf::Conversion::Kind::kLinear);
    const std::vector<uint8_t> record = Bytes().u64(250000).bytes;
    EXPECT_DOUBLE_EQ(field_value(layout[0], ByteSpan{record.data(), record.size()}), 2.5);
}

TEST(LayoutTest, BitPositionIsComputedIn32Bits) {
    BusBytes file;
    const uint64_t cn = file.channels({{"X", 0x20000000u, 5, 8}});
    const ParsedCg parsed = parse_cg(file, file.cg(cn, 0, 8));
    ASSERT_NE(parsed.cg(), nullptr);
    EXPECT_EQ(parsed.cg()->layout[0].bit_position, 5u);  // 0x20000000 * 8 wraps to 0
}

TEST(LayoutTest, ReplacesStructuresByTheirComponentsDepthFirst) {
    BusBytes file;
    const uint64_t inner = file.channels({{"A1"}, {"A2"}});
    Cn nested{"A"};
    nested.components = inner;
    const uint64_t components = file.channels({nested, {"B"}, {"C"}});
    Cn structure{"S"};
    structure.components = components;
    const uint64_t cn = file.channels({structure, {"Plain"}});
    const ParsedCg parsed = parse_cg(file, file.cg(cn, 0, 8));
    ASSERT_NE(parsed.cg(), nullptr);
    std::vector<std::string> names;
    for (const ChannelField& f : parsed.cg()->layout) names.push_back(f.name);
    EXPECT_EQ(names, (std::vector<std::string>{"A1", "A2", "B", "C", "Plain"}));
}

TEST(LayoutTest, WarnsAboutUnsupportedDataTypesAndReadsThemMostSignificantBitFirst) {
    BusBytes file;
    const uint64_t cn = file.channels({{"M", 0, 0, 16, test::kUnsignedMotorola}, {"S", 2, 0, 8, test::kString}});
    LogCapture log;
    const ParsedCg parsed = parse_cg(file, file.cg(cn, 0, 3));
    ASSERT_NE(parsed.cg(), nullptr);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Unsupported channel data type: 0",
                                                     "Unsupported channel data type: 7"}));
    EXPECT_EQ(log.lines[0].level, log::kWarning);
    const RecordLayout& layout = parsed.cg()->layout;
    EXPECT_EQ(layout[0].byte_order, ByteOrder::kOther);
    EXPECT_EQ(layout[0].value_kind, ValueKind::kUnsigned);
    const std::vector<uint8_t> record = {0x12, 0x34, 0};
    EXPECT_EQ(field_value(layout[0], ByteSpan{record.data(), record.size()}), 0x1234);
}

TEST(LayoutTest, NamesComeOnlyFromTextBlocksAndEndAtAZeroByte) {
    BusBytes file;
    const uint64_t md_name = file.md("CAN_DataFrame.ID");
    const uint64_t padded = file.block("TX", {}, {'C', 'A', 'N', '_', 'D', 'a', 't', 'a', 'F', 'r', 'a', 'm', 'e',
                                                  '.', 'I', 'D', 0, 0, 0, 0, 0, 0, 0, 0});
    Fields f;
    f.zeros(72);
    const uint64_t second = file.block("CN", {0, 0, padded, 0, 0, 0, 0, 0}, f.bytes);
    const uint64_t first = file.block("CN", {second, 0, md_name, 0, 0, 0, 0, 0}, f.bytes);
    const ParsedCg parsed = parse_cg(file, file.cg(first, 0, 8));
    ASSERT_NE(parsed.cg(), nullptr);
    const RecordLayout& layout = parsed.cg()->layout;
    ASSERT_EQ(layout.size(), 2u);
    EXPECT_EQ(layout[0].name, "");
    EXPECT_EQ(layout[0].role, ChannelRole::kNoRole);
    EXPECT_EQ(layout[1].name, "CAN_DataFrame.ID");
    EXPECT_EQ(layout[1].role, ChannelRole::kCanId);
}

TEST(LayoutTest, OnlyVariableLengthChannelsGetASignalSource) {
    BusBytes file;
    const uint64_t sd = file.sd(Bytes().u32(1).u8(5).bytes);
    Cn vlsd{"CAN_DataFrame.DataBytes", 0, 0, 64, test::kByteArray, /*cn_type=*/1};
    vlsd.data = sd;
    Cn fixed{"Other", 0, 0, 8};
    fixed.data = sd;
    const uint64_t cn = file.channels({vlsd, fixed});
    const ParsedCg parsed = parse_cg(file, file.cg(cn, 0, 8));
    ASSERT_NE(parsed.cg(), nullptr);
    const RecordLayout& layout = parsed.cg()->layout;
    EXPECT_NE(mdf::as<mdf::SdBlock>(layout[0].signal_source), nullptr);
    EXPECT_EQ(layout[1].signal_source, nullptr);
}

TEST(LayoutTest, RefusesAChannelThatAppearsTwiceInTheTree) {
    // Channels that share their components would lay the same fields out once
    // per path: with every level shared, exponentially many.
    BusBytes file;
    const uint64_t shared = file.channels({{"Leaf"}});
    Cn a{"A"};
    a.components = shared;
    Cn b{"B"};
    b.components = shared;
    const uint64_t cn = file.channels({a, b});
    EXPECT_EQ(parse_cg(file, file.cg(cn, 0, 8)).cg(), nullptr);
}

TEST(LayoutTest, NestedStructuresHundredsDeepNeitherRecurseNorFailBelowTheLimit) {
    BusBytes file;
    uint64_t cn = file.channels({{"Leaf"}});
    for (int i = 0; i < 150; ++i) {
        Cn level{"L"};
        level.components = cn;
        cn = file.channels({level});
    }
    const ParsedCg parsed = parse_cg(file, file.cg(cn, 0, 8));
    ASSERT_NE(parsed.cg(), nullptr);
    ASSERT_EQ(parsed.cg()->layout.size(), 1u);
    EXPECT_EQ(parsed.cg()->layout[0].name, "Leaf");
}

TEST(LayoutTest, BuildLayoutStartsAfresh) {
    BusBytes file;
    const uint64_t cn = file.channels({{"A"}, {"B"}});
    const ParsedCg parsed = parse_cg(file, file.cg(cn, 0, 8));
    ASSERT_NE(parsed.cg(), nullptr);
    ASSERT_TRUE(build_layout(*parsed.cg()));
    ASSERT_TRUE(build_layout(*parsed.cg()));
    EXPECT_EQ(parsed.cg()->layout.size(), 2u);
}

}  // namespace
}  // namespace tolvar::bus
