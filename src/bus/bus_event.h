// Classification of channel groups into bus events by their channel names, and
// the role each channel name plays in a frame. Pure functions over borrowed
// names; applied at open time only, never per record.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

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
};

// What a channel group records, given by the common prefix of its dotted
// channel names. Kinds 1 to 4 equal the kind their decoder writes.
enum class BusEventKind : uint32_t {
    kUnclassified = 0,
    kCanDataFrame = 1,
    kCanRemoteFrame = 2,
    kCanErrorFrame = 3,
    kLinFrame = 4,
    kLinChecksumError = 5,
    kLinReceiveError = 6,
    kLinSyncError = 7,
    kLinTransmissionError = 8,
};

// Which frame decoder a classified group gets.
enum class DecoderChoice : uint32_t {
    kNoFrame = 0,
    kCanDataFrame = 1,
    kCanRemoteFrame = 2,
    kCanErrorFrame = 3,
    kLinFrame = 4,
};

struct Classification {
    DecoderChoice decoder = DecoderChoice::kNoFrame;
    BusEventKind kind = BusEventKind::kUnclassified;
};

// The role of a channel name, compared exactly and case-sensitively up to the
// name's first zero byte; NoRole for every name not in the table.
ChannelRole role_of_name(std::string_view name);

// The event kind and decoder of a group whose channels have these names, in
// layout order. Nothing when the dotted names share no single prefix (none
// at all, or more than one); a single prefix that names no event classifies
// as Unclassified with the no-frame decoder.
std::optional<Classification> classify_group(const std::vector<std::string_view>& names);

}  // namespace tolvar::bus
