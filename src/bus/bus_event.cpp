#include "bus/bus_event.h"

#include "mdf/text_block.h"

namespace tolvar::bus {

namespace {

struct RoleEntry {
    std::string_view name;
    ChannelRole role;
};

constexpr RoleEntry kRoles[] = {
    {"CAN_DataFrame.BRS", ChannelRole::kCanBrs},
    {"CAN_DataFrame.BusChannel", ChannelRole::kCanBusChannel},
    {"CAN_RemoteFrame.BusChannel", ChannelRole::kCanBusChannel},
    {"CAN_ErrorFrame.BusChannel", ChannelRole::kCanBusChannel},
    {"CAN_DataFrame.DataBytes", ChannelRole::kCanDataBytes},
    {"CAN_DataFrame.DataLength", ChannelRole::kCanDataLength},
    {"CAN_RemoteFrame.DataLength", ChannelRole::kCanDataLength},
    {"CAN_DataFrame.Dir", ChannelRole::kCanDir},
    {"CAN_RemoteFrame.Dir", ChannelRole::kCanDir},
    {"CAN_DataFrame.DLC", ChannelRole::kCanDlc},
    {"CAN_RemoteFrame.DLC", ChannelRole::kCanDlc},
    {"CAN_DataFrame.EDL", ChannelRole::kCanEdl},
    {"CAN_ErrorFrame.ErrorType", ChannelRole::kCanErrorType},
    {"CAN_DataFrame.ESI", ChannelRole::kCanEsi},
    {"CAN_DataFrame.ID", ChannelRole::kCanId},
    {"CAN_RemoteFrame.ID", ChannelRole::kCanId},
    {"CAN_DataFrame.IDE", ChannelRole::kCanIde},
    {"CAN_RemoteFrame.IDE", ChannelRole::kCanIde},
    {"LIN_Frame.BusChannel", ChannelRole::kLinBusChannel},
    {"LIN_Frame.DataBytes", ChannelRole::kLinDataBytes},
    {"LIN_Frame.DataLength", ChannelRole::kLinDataLength},
    {"LIN_Frame.Dir", ChannelRole::kLinDir},
    {"LIN_Frame.ID", ChannelRole::kLinId},
    {"LIN_Frame.ReceivedDataByteCount", ChannelRole::kLinReceivedDataByteCount},
    {"Timestamp", ChannelRole::kTimestampRole},
};

struct EventEntry {
    std::string_view prefix;
    FrameKind kind;
};

constexpr EventEntry kEvents[] = {
    {"CAN_DataFrame", FrameKind::kCanDataFrame},
    {"CAN_RemoteFrame", FrameKind::kCanRemoteFrame},
    {"CAN_ErrorFrame", FrameKind::kCanErrorFrame},
    {"LIN_Frame", FrameKind::kLinFrame},
};

struct MemberEntry {
    std::string_view member;
    ChannelRole can;  // in a CAN data or remote frame
    ChannelRole lin;  // in a LIN frame
};

constexpr MemberEntry kMembers[] = {
    {"BRS", ChannelRole::kCanBrs, ChannelRole::kIgnored},
    {"BusChannel", ChannelRole::kCanBusChannel, ChannelRole::kLinBusChannel},
    {"DataBytes", ChannelRole::kCanDataBytes, ChannelRole::kLinDataBytes},
    {"DataLength", ChannelRole::kCanDataLength, ChannelRole::kLinDataLength},
    {"Dir", ChannelRole::kCanDir, ChannelRole::kLinDir},
    {"DLC", ChannelRole::kCanDlc, ChannelRole::kIgnored},
    {"EDL", ChannelRole::kCanEdl, ChannelRole::kIgnored},
    {"ESI", ChannelRole::kCanEsi, ChannelRole::kIgnored},
    {"ID", ChannelRole::kCanId, ChannelRole::kLinId},
    {"IDE", ChannelRole::kCanIde, ChannelRole::kIgnored},
    {"ReceivedDataByteCount", ChannelRole::kIgnored, ChannelRole::kLinReceivedDataByteCount},
};

}  // namespace

ChannelRole role_of_member(FrameKind kind, std::string_view member) {
    member = mdf::up_to_zero(member);
    if (kind == FrameKind::kCanErrorFrame) {
        if (member == "BusChannel") return ChannelRole::kCanBusChannel;
        if (member == "ErrorType") return ChannelRole::kCanErrorType;
        if (member == "ID") return ChannelRole::kCanId;
        return ChannelRole::kIgnored;
    }
    for (const MemberEntry& entry : kMembers) {
        if (entry.member != member) continue;
        ChannelRole role = kind == FrameKind::kLinFrame ? entry.lin : entry.can;
        // A remote frame has no payload, nor the flags of a CAN FD frame.
        if (kind == FrameKind::kCanRemoteFrame &&
            (role == ChannelRole::kCanDataBytes || role == ChannelRole::kCanBrs || role == ChannelRole::kCanEdl ||
             role == ChannelRole::kCanEsi)) {
            role = ChannelRole::kIgnored;
        }
        return kind == FrameKind::kNone ? ChannelRole::kIgnored : role;
    }
    return ChannelRole::kIgnored;
}

ChannelRole role_of_name(std::string_view name) {
    name = mdf::up_to_zero(name);
    for (const RoleEntry& entry : kRoles) {
        if (entry.name == name) return entry.role;
    }
    return ChannelRole::kNoRole;
}

std::optional<FrameKind> classify_group(const std::vector<std::string_view>& names) {
    std::optional<std::string_view> prefix;
    for (std::string_view name : names) {
        name = mdf::up_to_zero(name);
        size_t dot = name.find('.');
        if (dot == std::string_view::npos) continue;
        std::string_view candidate = name.substr(0, dot);
        if (!prefix) {
            prefix = candidate;
        } else if (*prefix != candidate) {
            return std::nullopt;  // two events in one group: not a bus event
        }
    }
    if (!prefix) return std::nullopt;
    for (const EventEntry& entry : kEvents) {
        if (entry.prefix == *prefix) return entry.kind;
    }
    return FrameKind::kNone;
}

}  // namespace tolvar::bus
