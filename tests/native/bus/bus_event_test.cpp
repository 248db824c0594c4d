#include "bus/bus_event.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvar::bus {
namespace {

struct RoleCase {
    const char* name;
    ChannelRole role;
};

class RoleOfNameTest : public ::testing::TestWithParam<RoleCase> {};

TEST_P(RoleOfNameTest, GivesTheRoleOfTheExactName) {
    EXPECT_EQ(role_of_name(GetParam().name), GetParam().role) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    EveryListedName, RoleOfNameTest,
    ::testing::Values(RoleCase{"CAN_DataFrame.BRS", ChannelRole::kCanBrs},
                      RoleCase{"CAN_DataFrame.BusChannel", ChannelRole::kCanBusChannel},
                      RoleCase{"CAN_RemoteFrame.BusChannel", ChannelRole::kCanBusChannel},
                      RoleCase{"CAN_ErrorFrame.BusChannel", ChannelRole::kCanBusChannel},
                      RoleCase{"CAN_DataFrame.DataBytes", ChannelRole::kCanDataBytes},
                      RoleCase{"CAN_DataFrame.DataLength", ChannelRole::kCanDataLength},
                      RoleCase{"CAN_RemoteFrame.DataLength", ChannelRole::kCanDataLength},
                      RoleCase{"CAN_DataFrame.Dir", ChannelRole::kCanDir},
                      RoleCase{"CAN_RemoteFrame.Dir", ChannelRole::kCanDir},
                      RoleCase{"CAN_DataFrame.DLC", ChannelRole::kCanDlc},
                      RoleCase{"CAN_RemoteFrame.DLC", ChannelRole::kCanDlc},
                      RoleCase{"CAN_DataFrame.EDL", ChannelRole::kCanEdl},
                      RoleCase{"CAN_ErrorFrame.ErrorType", ChannelRole::kCanErrorType},
                      RoleCase{"CAN_DataFrame.ESI", ChannelRole::kCanEsi},
                      RoleCase{"CAN_DataFrame.ID", ChannelRole::kCanId},
                      RoleCase{"CAN_RemoteFrame.ID", ChannelRole::kCanId},
                      RoleCase{"CAN_DataFrame.IDE", ChannelRole::kCanIde},
                      RoleCase{"CAN_RemoteFrame.IDE", ChannelRole::kCanIde},
                      RoleCase{"LIN_Frame.BusChannel", ChannelRole::kLinBusChannel},
                      RoleCase{"LIN_Frame.DataBytes", ChannelRole::kLinDataBytes},
                      RoleCase{"LIN_Frame.DataLength", ChannelRole::kLinDataLength},
                      RoleCase{"LIN_Frame.Dir", ChannelRole::kLinDir},
                      RoleCase{"LIN_Frame.ID", ChannelRole::kLinId},
                      RoleCase{"LIN_Frame.ReceivedDataByteCount", ChannelRole::kLinReceivedDataByteCount},
                      RoleCase{"Timestamp", ChannelRole::kTimestampRole}));

INSTANTIATE_TEST_SUITE_P(
    NamesWithoutARole, RoleOfNameTest,
    ::testing::Values(RoleCase{"can_dataframe.id", ChannelRole::kNoRole},       // case matters
                      RoleCase{"CAN_RemoteFrame.ESI", ChannelRole::kNoRole},    // remote frames have no ESI
                      RoleCase{"CAN_RemoteFrame.DataBytes", ChannelRole::kNoRole},
                      RoleCase{"CAN_ErrorFrame.ID", ChannelRole::kNoRole},
                      RoleCase{"LIN_ChecksumError.ID", ChannelRole::kNoRole},
                      RoleCase{"CAN_DataFrame.Foo.Bar", ChannelRole::kNoRole},
                      RoleCase{"CAN_DataFrame.I", ChannelRole::kNoRole},        // a prefix of a name
                      RoleCase{"CAN_DataFrame.IDEX", ChannelRole::kNoRole},     // a name as prefix
                      RoleCase{"Timestamp ", ChannelRole::kNoRole},
                      RoleCase{"", ChannelRole::kNoRole}));

TEST(RoleOfNameTest, EndsANameAtItsFirstZeroByte) {
    EXPECT_EQ(role_of_name(std::string("CAN_DataFrame.ID\0\0\0", 19)), ChannelRole::kCanId);
    EXPECT_EQ(role_of_name(std::string("Timestamp\0junk", 14)), ChannelRole::kTimestampRole);
    EXPECT_EQ(role_of_name(std::string("\0Timestamp", 10)), ChannelRole::kNoRole);
}

struct ClassifyCase {
    std::vector<std::string_view> names;
    bool classified;
    FrameKind kind;
};

class ClassifyGroupTest : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(ClassifyGroupTest, ClassifiesByTheOnePrefix) {
    const ClassifyCase& c = GetParam();
    const auto result = classify_group(c.names);
    ASSERT_EQ(result.has_value(), c.classified);
    if (!c.classified) return;
    EXPECT_EQ(*result, c.kind);
}

INSTANTIATE_TEST_SUITE_P(
    Events, ClassifyGroupTest,
    ::testing::Values(
        ClassifyCase{{"Timestamp", "CAN_DataFrame.ID", "CAN_DataFrame.DataBytes", "CAN_DataFrame.DLC"},
                     true, FrameKind::kCanDataFrame},
        ClassifyCase{{"CAN_RemoteFrame.ID", "Timestamp"}, true, FrameKind::kCanRemoteFrame},
        ClassifyCase{{"Timestamp", "CAN_ErrorFrame.ErrorType"}, true, FrameKind::kCanErrorFrame},
        ClassifyCase{{"Timestamp", "LIN_Frame.ID"}, true, FrameKind::kLinFrame},
        ClassifyCase{{"Timestamp", "LIN_ChecksumError.ID"}, true, FrameKind::kNone},
        ClassifyCase{{"Timestamp", "LIN_ReceiveError.ID"}, true, FrameKind::kNone},
        ClassifyCase{{"Timestamp", "LIN_SyncError.BusChannel"}, true, FrameKind::kNone},
        ClassifyCase{{"Timestamp", "LIN_TransmissionError.ID"}, true, FrameKind::kNone},
        // A prefix that names no frame event still classifies, as a group that
        // decodes no frame.
        ClassifyCase{{"Timestamp", "FlexRay_Frame.ID"}, true, FrameKind::kNone},
        ClassifyCase{{"Timestamp", ".ID"}, true, FrameKind::kNone},
        ClassifyCase{{"can_dataframe.ID"}, true, FrameKind::kNone},
        ClassifyCase{{"CAN_DataFrame.Foo.Bar", "CAN_DataFrame.ID"}, true, FrameKind::kCanDataFrame},
        // No prefix, or more than one: not a bus event.
        ClassifyCase{{"Timestamp", "CAN_DataFrame.ID", "CAN_RemoteFrame.ID"}, false, {}},
        ClassifyCase{{"Timestamp", "Speed"}, false, {}},
        ClassifyCase{{}, false, {}},
        ClassifyCase{{"CAN_DataFrame.ID", ".ID"}, false, {}}));

}  // namespace
}  // namespace tolvar::bus

namespace tolvar::bus {
namespace {

struct MemberCase {
    FrameKind kind;
    const char* member;
    ChannelRole role;
};

class RoleOfMemberTest : public ::testing::TestWithParam<MemberCase> {};

TEST_P(RoleOfMemberTest, GivesTheRoleTheFrameUses) {
    const MemberCase& c = GetParam();
    EXPECT_EQ(role_of_member(c.kind, c.member), c.role) << c.member;
}

INSTANTIATE_TEST_SUITE_P(
    Members, RoleOfMemberTest,
    ::testing::Values(
        MemberCase{FrameKind::kCanDataFrame, "ID", ChannelRole::kCanId},
        MemberCase{FrameKind::kCanDataFrame, "DataBytes", ChannelRole::kCanDataBytes},
        MemberCase{FrameKind::kCanDataFrame, "DLC", ChannelRole::kCanDlc},
        MemberCase{FrameKind::kCanDataFrame, "BRS", ChannelRole::kCanBrs},
        MemberCase{FrameKind::kCanDataFrame, "SRR", ChannelRole::kIgnored},
        MemberCase{FrameKind::kCanDataFrame, "CRC", ChannelRole::kIgnored},
        MemberCase{FrameKind::kCanDataFrame, "ReceivedDataByteCount", ChannelRole::kIgnored},
        MemberCase{FrameKind::kCanDataFrame, "id", ChannelRole::kIgnored},
        MemberCase{FrameKind::kCanRemoteFrame, "DLC", ChannelRole::kCanDlc},
        MemberCase{FrameKind::kCanRemoteFrame, "DataLength", ChannelRole::kCanDataLength},
        MemberCase{FrameKind::kCanRemoteFrame, "DataBytes", ChannelRole::kIgnored},
        MemberCase{FrameKind::kCanRemoteFrame, "EDL", ChannelRole::kIgnored},
        MemberCase{FrameKind::kCanErrorFrame, "ID", ChannelRole::kCanId},
        MemberCase{FrameKind::kCanErrorFrame, "ErrorType", ChannelRole::kCanErrorType},
        MemberCase{FrameKind::kCanErrorFrame, "BusChannel", ChannelRole::kCanBusChannel},
        MemberCase{FrameKind::kCanErrorFrame, "DataBytes", ChannelRole::kIgnored},
        MemberCase{FrameKind::kCanErrorFrame, "IDE", ChannelRole::kIgnored},
        MemberCase{FrameKind::kLinFrame, "ID", ChannelRole::kLinId},
        MemberCase{FrameKind::kLinFrame, "DataBytes", ChannelRole::kLinDataBytes},
        MemberCase{FrameKind::kLinFrame, "ReceivedDataByteCount", ChannelRole::kLinReceivedDataByteCount},
        MemberCase{FrameKind::kLinFrame, "Checksum", ChannelRole::kIgnored},
        MemberCase{FrameKind::kLinFrame, "IDE", ChannelRole::kIgnored},
        MemberCase{FrameKind::kNone, "ID", ChannelRole::kIgnored}));

TEST(RoleOfNameDefaultTest, NeverIgnoresAMember) {
    // The exact names of the default layouts keep failing a frame they do not fit.
    EXPECT_EQ(role_of_name("CAN_DataFrame.SRR"), ChannelRole::kNoRole);
    EXPECT_EQ(role_of_name("CAN_ErrorFrame.ID"), ChannelRole::kNoRole);
}

}  // namespace
}  // namespace tolvar::bus
