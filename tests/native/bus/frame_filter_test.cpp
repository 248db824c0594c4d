// The identifier, channel and window filter, and the names of channels.
#include "bus/frame_filter.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace tolvar::bus {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct FilterCase {
    const char* name;
    std::vector<IdFilter> filters;
    std::vector<bool> expected;  // per frame of frames()
};

// A standard data frame 0x123 on CAN 1, an extended one 0x18FEF100 on CAN 2,
// an error frame on CAN 1 (extended, as can.Message's default has it) and a
// LIN frame 0x21 on LIN 1.
std::vector<Frame> frames() {
    return {Frame{0, 0x123, 1, 1, 1 << kFlagRx},
            Frame{0, 0x18FEF100, 2, 1, 1 << kFlagRx | 1 << kFlagExtended},
            Frame{0, 0, 1, 0, 1 << kFlagRx | 1 << kFlagExtended | 1 << kFlagError},
            Frame{0, 0x21, static_cast<uint16_t>(kLinChannels + 1), 0, 1 << kFlagRx}};
}

class IdFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(IdFilterTest, MatchesAsPythonCan) {
    FrameFilter filter;
    filter.set_id_filters(GetParam().filters);
    std::vector<bool> got;
    for (const Frame& f : frames()) got.push_back(filter.passes(f));
    EXPECT_EQ(got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, IdFilterTest,
    ::testing::Values(
        FilterCase{"exact", {{0x123, 0x7FF, -1}}, {true, false, false, false}},
        FilterCase{"mask_zero", {{0, 0, -1}}, {true, true, true, true}},
        // An error frame counts as extended, as can.Message's default has it.
        FilterCase{"extended_only", {{0, 0, 1}}, {false, true, true, false}},
        FilterCase{"standard_only", {{0, 0, 0}}, {true, false, false, true}},
        FilterCase{"error_id_zero", {{0, 0x1FFFFFFF, -1}}, {false, false, true, false}},
        FilterCase{"any_of_two", {{0x21, 0x3F, 0}, {0x18FEF100, 0x1FFFFFFF, -1}}, {false, true, false, true}},
        FilterCase{"empty_list_passes_nothing", {}, {false, false, false, false}}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.name); });

TEST(FrameFilterTest, Channels) {
    FrameFilter filter;
    std::bitset<kChannelCount> channels;
    channels.set(channel_code(FrameKind::kLinFrame, 1));
    channels.set(channel_code(FrameKind::kCanDataFrame, 2));
    filter.set_channels(channels);
    std::vector<bool> got;
    for (const Frame& f : frames()) got.push_back(filter.passes(f));
    EXPECT_EQ(got, (std::vector<bool>{false, true, false, true}));
}

TEST(FrameFilterTest, WindowComparesTheTimestampAsAMessageHasIt) {
    FrameFilter filter;
    const double origin = 1600000000.123;
    filter.set_window(origin + 0.1, origin + 0.2);
    EXPECT_TRUE(filter.has_start());
    EXPECT_TRUE(filter.before_start(origin + 0.05));
    EXPECT_FALSE(filter.before_start(origin + 0.1));
    EXPECT_TRUE(filter.in_window(origin + 0.1));
    EXPECT_TRUE(filter.at_or_after_stop(origin + 0.2));
    EXPECT_FALSE(filter.in_window(kNaN));
    EXPECT_FALSE(filter.before_start(kNaN));
    EXPECT_FALSE(filter.at_or_after_stop(kNaN));
    FrameFilter stop_only;
    stop_only.set_window(-std::numeric_limits<double>::infinity(), 1.0);
    EXPECT_FALSE(stop_only.has_start());
}

TEST(ChannelNameTest, NamesAndCodesRoundTrip) {
    for (unsigned code = 0; code < kChannelCount; ++code) {
        char name[kChannelNameSize];
        const unsigned length = channel_name(code, name);
        const std::string expected =
            (code < kLinChannels ? "CAN " : "LIN ") + std::to_string(code % kLinChannels);
        ASSERT_EQ(std::string(name), expected);
        ASSERT_EQ(length, expected.size());
        ASSERT_EQ(channel_of_name(name, length), static_cast<int>(code));
    }
    for (const char* other : {"CAN", "CAN ", "CAN 01", "CAN 256", "can 1", "CAN1", "LIN -1", "CAN 1 ", "FLEX 1"}) {
        EXPECT_EQ(channel_of_name(other, std::string(other).size()), -1) << other;
    }
}

}  // namespace
}  // namespace tolvar::bus
