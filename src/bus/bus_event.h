// Classification of channel groups into bus events by their channel names, and
// the role each channel name plays in a frame. Pure functions over borrowed
// names; applied at open time only, never per record.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "bus/frame.h"

namespace tolvar::bus {

// What a channel feeds in a decoded frame, given by its full name.
enum class ChannelRole : uint32_t {
    kNoRole = 0,
    kCanBrs = 1,
    kCanBusChannel = 2,
    kCanDataBytes = 3,
    kCanDataLength = 4,
    kCanDir = 5,
    kCanDlc = 6,
    kCanEdl = 7,
    kCanErrorType = 8,
    kCanEsi = 9,
    kCanId = 10,
    kCanIde = 11,
    kLinBusChannel = 12,
    kLinDataBytes = 13,
    kLinDataLength = 14,
    kLinDir = 15,
    kLinId = 16,
    kLinReceivedDataByteCount = 17,
    kTimestampRole = 18,
    // A member of a bus event that the frame does not use (SRR, CRC, a
    // checksum ...): read for any writer, it is passed over instead of
    // failing the frame. Never given by role_of_name.
    kIgnored = 19,
};

// The role of a channel name, compared exactly and case-sensitively up to the
// name's first zero byte; NoRole for every name not in the table.
ChannelRole role_of_name(std::string_view name);

// The role of a bus event's member, named after the event prefix ("ID" of
// "CAN_DataFrame.ID"), for the standard layouts of any writer: the members
// the frame of that kind uses (an error frame uses its bus channel, error
// type and identifier), kIgnored for every other member.
ChannelRole role_of_member(FrameKind kind, std::string_view member);

// The frame kind the records of a group decode to, given the names of its
// channels in layout order. Nothing when the dotted names share no single
// prefix (none at all, or more than one). A single prefix classifies the
// group: the four frame events by their kind, every other prefix (the LIN
// error events among them) as kNone, a group that gives no frames.
std::optional<FrameKind> classify_group(const std::vector<std::string_view>& names);

}  // namespace tolvar::bus
