// Where each channel of a channel group lies in a record, its value kind,
// conversion and role. A layout owns its fields and their conversions; a field
// borrows the block holding its variable-length values (its channel owns it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bus/bus_event.h"
#include "mdf/block.h"
#include "mdf/conversion_block.h"

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
    mdf::Conversion conversion;  // owned; identity when the channel has none
    std::string name;
    ChannelRole role = ChannelRole::kNoRole;
    // For a variable-length channel: the SdBlock or channel group holding its
    // values; null for every other channel. Borrowed.
    mdf::Block* signal_source = nullptr;
};

// The fields of a channel group in depth-first order of its channel tree.
class RecordLayout {
public:
    std::vector<ChannelField> fields;

    size_t size() const { return fields.size(); }
    bool empty() const { return fields.empty(); }
    const ChannelField& operator[](size_t i) const { return fields[i]; }
    std::vector<ChannelField>::const_iterator begin() const { return fields.begin(); }
    std::vector<ChannelField>::const_iterator end() const { return fields.end(); }
    void clear() { fields.clear(); }
};

}  // namespace tolvar::bus
