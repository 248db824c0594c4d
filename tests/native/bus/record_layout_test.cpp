#include "bus/record_layout.h"

#include <gtest/gtest.h>

#include "bus/value_extraction.h"
#include "mdf/block_cache.h"
#include "mdf/channel_group_block.h"
#include "mdf/data_block.h"
#include "mdf_bytes.h"

namespace tolvar::bus {
namespace {

using test::BusBytes;
using test::Bytes;
using test::Cn;
using test::Fields;
using test::LogCapture;

// A channel group parsed from built bytes and laid out.
struct ParsedCg {
    std::unique_ptr<stream::MemoryStream> stream;
    mdf::BlockRef block;
    RecordLayout layout;
    bool laid_out = false;
    mdf::CgBlock* cg() const { return mdf::as<mdf::CgBlock>(block); }
};

ParsedCg parse_cg(const BusBytes& file, uint64_t at) {
    ParsedCg parsed;
    parsed.stream = file.stream();
    mdf::BlockCache cache;
    parsed.block = mdf::parse_block_at(*parsed.stream, at, cache);
    if (parsed.cg() != nullptr) parsed.laid_out = build_layout(*parsed.cg(), parsed.layout);
    return parsed;
}

TEST(LayoutTest, GivesEachChannelItsRoleByName) {
    BusBytes file;
    const uint64_t cn = file.channels({{"Timestamp"}});
    const ParsedCg parsed = parse_cg(file, file.cg(cn, 0, 8, 0, file.bus_source(), 0x0005));
    ASSERT_TRUE(parsed.laid_out);
    ASSERT_EQ(parsed.layout.size(), 1u);
    EXPECT_EQ(parsed.layout[0].role, ChannelRole::kTimestampRole);
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
    const RecordLayout& layout = parsed.layout;
    ASSERT_EQ(layout.size(), 4u);
    EXPECT_EQ(layout[1].bit_position, 35u);
    EXPECT_EQ(layout[1].bit_count, 11u);
    EXPECT_EQ(layout[1].role, ChannelRole::kCanId);
    EXPECT_EQ(layout[1].value_kind, ValueKind::kUnsigned);
    EXPECT_EQ(layout[1].byte_order, ByteOrder::kIntel);
    EXPECT_EQ(layout[2].value_kind, ValueKind::kFloat);
    EXPECT_EQ(layout[3].value_kind, ValueKind::kByteArray);
    EXPECT_EQ(layout[3].role, ChannelRole::kCanDataBytes);
    EXPECT_EQ(layout[0].conversion.kind(), Conversion::Kind::kLinear);
    const std::vector<uint8_t> record = Bytes().u64(250000).bytes;
    EXPECT_DOUBLE_EQ(field_value(layout[0], ByteSpan{record.data(), record.size()}), 2.5);
}

TEST(LayoutTest, BitPositionIsComputedIn32Bits) {
    BusBytes file;
    const uint64_t cn = file.channels({{"X", 0x20000000u, 5, 8}});
    const ParsedCg parsed = parse_cg(file, file.cg(cn, 0, 8));
    ASSERT_NE(parsed.cg(), nullptr);
    EXPECT_EQ(parsed.layout[0].bit_position, 5u);  // 0x20000000 * 8 wraps to 0
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
    for (const ChannelField& f : parsed.layout) names.push_back(f.name);
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
    const RecordLayout& layout = parsed.layout;
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
    const RecordLayout& layout = parsed.layout;
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
    const RecordLayout& layout = parsed.layout;
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
    const ParsedCg parsed = parse_cg(file, file.cg(cn, 0, 8));
    ASSERT_NE(parsed.cg(), nullptr);
    EXPECT_FALSE(parsed.laid_out);
    EXPECT_TRUE(parsed.layout.empty());
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
    ASSERT_EQ(parsed.layout.size(), 1u);
    EXPECT_EQ(parsed.layout[0].name, "Leaf");
}

TEST(LayoutTest, BuildLayoutStartsAfresh) {
    BusBytes file;
    const uint64_t cn = file.channels({{"A"}, {"B"}});
    ParsedCg parsed = parse_cg(file, file.cg(cn, 0, 8));
    ASSERT_NE(parsed.cg(), nullptr);
    ASSERT_TRUE(build_layout(*parsed.cg(), parsed.layout));
    ASSERT_TRUE(build_layout(*parsed.cg(), parsed.layout));
    EXPECT_EQ(parsed.layout.size(), 2u);
}


}  // namespace
}  // namespace tolvar::bus
