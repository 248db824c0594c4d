// Where each channel of a channel group lies in a record, its value kind,
// conversion and role: the RecordLayout a decoder walks, built once per open
// from a parsed channel group. A layout owns its fields and their
// conversions; a field borrows the block holding its variable-length values
// (the document owns it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bus/bus_event.h"
#include "bus/conversion.h"
#include "mdf/block.h"
#include "mdf/channel_block.h"
#include "mdf/channel_group_block.h"

namespace tolvar::bus {

enum class ValueKind : uint32_t {
    kUnsigned = 0,
    kByteArray = 1,
    kFloat = 2,
};

enum class ByteOrder : uint8_t {
    kOther = 0,  // most significant bit first
    kIntel = 1,  // little-endian
};

// One leaf channel of a record.
struct ChannelField {
    // First bit of the value, counted from the first bit of the record (after
    // its id): byte offset * 8 + bit offset, in 32-bit arithmetic as stored.
    uint64_t bit_position = 0;
    uint64_t bit_count = 0;
    ValueKind value_kind = ValueKind::kUnsigned;
    ByteOrder byte_order = ByteOrder::kOther;
    Conversion conversion;  // owned; identity when the channel has none
    std::string name;
    ChannelRole role = ChannelRole::kNoRole;
    // For a variable-length channel: the SdBlock or channel group holding its
    // values; null for every other channel. Borrowed.
    mdf::Block* signal_source = nullptr;
    // The channel block the field was laid out from. Borrowed.
    const mdf::CnBlock* channel = nullptr;
};

// How the decoders complete a frame of a standard layout, which other
// writers may record with fewer members than a frame has. Set by the plan
// of any writer's recordings only; a default layout has none of it.
struct StandardLayout {
    bool enabled = false;
    // No IDE member: bit 31 of the identifier says extended.
    bool extended_from_id = false;
    // No DataLength member: a data frame takes its length from its DLC.
    bool length_from_dlc = false;
    // A remote frame whose DataLength is 0 (or absent) requests its DLC.
    bool remote_length_from_dlc = false;
};

// The fields of a channel group in depth-first order of its channel tree.
class RecordLayout {
public:
    std::vector<ChannelField> fields;
    StandardLayout standard;

    size_t size() const { return fields.size(); }
    bool empty() const { return fields.empty(); }
    const ChannelField& operator[](size_t i) const { return fields[i]; }
    std::vector<ChannelField>::const_iterator begin() const { return fields.begin(); }
    std::vector<ChannelField>::const_iterator end() const { return fields.end(); }
    void clear() { fields.clear(); }
};

// Empties the layout and lays out every channel of the group, in chain order,
// a channel with components replaced by its components' fields (depth first).
// Logs "Unsupported channel data type: %d" for each channel whose data type
// it cannot decode (the field is read as an unsigned integer, most
// significant bit first). False (with an empty layout) when a channel appears
// twice in the group's channel tree, since a damaged file that shares
// channels could otherwise make the layout grow exponentially with the depth
// of the tree, or when memory runs out.
bool build_layout(const mdf::CgBlock& group, RecordLayout& layout);

}  // namespace tolvar::bus
