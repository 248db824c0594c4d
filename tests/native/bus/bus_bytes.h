// Test helpers for the bus record tests: a parsed data group with its plan
// that keeps its stream alive (the reader's role).
#pragma once

#include <memory>
#include <optional>

#include "bus/bus_event.h"
#include "bus/record_layout.h"
#include "bus/record_plan.h"
#include "mdf/block_cache.h"
#include "mdf/channel_group_block.h"
#include "mdf/data_group_block.h"
#include "mdf_bytes.h"

namespace tolvar::test {

// A field of a record layout by its channel name (which gives its role).
inline bus::ChannelField field(const char* name, uint64_t bit_position, uint64_t bit_count,
                               bus::ValueKind kind = bus::ValueKind::kUnsigned,
                               bus::ByteOrder order = bus::ByteOrder::kIntel) {
    bus::ChannelField f;
    f.name = name;
    f.role = bus::role_of_name(name);
    f.bit_position = bit_position;
    f.bit_count = bit_count;
    f.value_kind = kind;
    f.byte_order = order;
    return f;
}

// A data group parsed from built bytes, with its plan; the stream and the
// block stay alive as long as this does (the document's role).
struct ParsedGroup {
    std::unique_ptr<stream::MemoryStream> stream;
    mdf::BlockRef block;
    std::optional<bus::GroupPlan> group_plan;
    mdf::DgBlock* dg() const { return mdf::as<mdf::DgBlock>(block); }
    // Null when the group did not parse or could not be planned.
    const bus::GroupPlan* plan() const { return group_plan ? &*group_plan : nullptr; }
};

inline ParsedGroup parse_group(const MdfBytes& file, uint64_t dg_offset) {
    ParsedGroup parsed;
    parsed.stream = file.stream();
    mdf::BlockCache cache;
    parsed.block = mdf::parse_block_at(*parsed.stream, dg_offset, cache);
    if (const mdf::DgBlock* dg = parsed.dg()) parsed.group_plan = bus::GroupPlan::build(*dg);
    return parsed;
}

}  // namespace tolvar::test
