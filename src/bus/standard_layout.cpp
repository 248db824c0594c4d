#include "bus/standard_layout.h"

#include <vector>

#include "bus/bus_event.h"
#include "mdf/channel_block.h"
#include "mdf/source_info_block.h"

namespace tolvar::bus {

bool is_time_master(const ChannelField& field) {
    return field.channel != nullptr &&
           (field.channel->cn_type == mdf::kCnTypeMaster || field.channel->cn_type == mdf::kCnTypeVirtualMaster) &&
           field.channel->sync_type == mdf::kSyncTypeTime;
}

bool is_bus_group(const mdf::CgBlock& group) {
    const auto* source = mdf::as<mdf::SiBlock>(group.acquisition_source);
    if (source != nullptr && source->source_class == mdf::SiBlock::kClassBus) return true;
    return (group.cg_flags & mdf::CgBlock::kFlagBusEvent) != 0;
}

FrameKind classify_standard(const mdf::CgBlock& group, const RecordLayout& layout, std::string_view& prefix) {
    if (!is_bus_group(group)) return FrameKind::kNone;
    std::vector<std::string_view> names;
    names.reserve(layout.size());
    for (const ChannelField& field : layout) {
        if (!is_time_master(field)) names.push_back(field.name);
    }
    const FrameKind kind = classify_group(names).value_or(FrameKind::kNone);
    prefix = std::string_view();
    for (std::string_view name : names) {
        const size_t dot = name.find('.');
        if (dot != std::string_view::npos) {
            prefix = name.substr(0, dot);
            break;
        }
    }
    return kind;
}

void assign_standard_roles(RecordLayout& layout, FrameKind kind, std::string_view prefix) {
    bool has_ide = false;
    bool has_length = false;
    for (ChannelField& field : layout.fields) {
        const std::string_view name = field.name;
        if (is_time_master(field) || name == "Timestamp") {
            field.role = ChannelRole::kTimestampRole;
        } else if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
                   name[prefix.size()] == '.') {
            field.role = role_of_member(kind, name.substr(prefix.size() + 1));
        } else {
            field.role = ChannelRole::kIgnored;
        }
    }
    // A maximum-length payload says through its size channel how much of it
    // is used: that channel is the frame's data length, whatever its name.
    for (const ChannelField& field : layout.fields) {
        const bool payload = field.role == ChannelRole::kCanDataBytes || field.role == ChannelRole::kLinDataBytes;
        if (!payload || field.channel == nullptr || field.channel->cn_type != mdf::kCnTypeMaximumLength) continue;
        for (ChannelField& size : layout.fields) {
            if (size.channel == nullptr || size.channel->offset != field.channel->data_link) continue;
            if (size.role == ChannelRole::kIgnored) {
                size.role = kind == FrameKind::kLinFrame ? ChannelRole::kLinDataLength : ChannelRole::kCanDataLength;
            }
        }
    }
    for (const ChannelField& field : layout.fields) {
        if (field.role == ChannelRole::kCanIde) has_ide = true;
        if (field.role == ChannelRole::kCanDataLength || field.role == ChannelRole::kLinDataLength) has_length = true;
    }
    layout.standard.enabled = true;
    layout.standard.extended_from_id = !has_ide && kind != FrameKind::kLinFrame;
    layout.standard.length_from_dlc = !has_length && kind == FrameKind::kCanDataFrame;
    layout.standard.remote_length_from_dlc = kind == FrameKind::kCanRemoteFrame;
}

}  // namespace tolvar::bus
