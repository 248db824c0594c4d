// The standard's own layout of bus events: which channel groups hold
// frames, of what kind, and the role of each of their channels, told by
// their names under one event prefix and by the master channel of time.
#pragma once

#include <string_view>

#include "bus/frame.h"
#include "bus/record_layout.h"
#include "mdf/channel_group_block.h"

namespace tolvar::bus {

// The master channel with time synchronisation: the time of a standard
// layout, whatever its name.
bool is_time_master(const ChannelField& field);

// Whether a channel group was recorded from a bus: its acquisition source
// says so, or its flags mark it a bus event.
bool is_bus_group(const mdf::CgBlock& group);

// The frame kind of a standard layout (kNone for a group that is not of a
// bus): every member but the time shares one event prefix, given in
// `prefix`.
FrameKind classify_standard(const mdf::CgBlock& group, const RecordLayout& layout, std::string_view& prefix);

// Gives every field of a standard layout its role, and the layout what its
// decoder completes.
void assign_standard_roles(RecordLayout& layout, FrameKind kind, std::string_view prefix);

}  // namespace tolvar::bus
