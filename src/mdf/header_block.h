// The header block ("##HD", always at offset 64): the hub of the file, with
// the recording's start time. Owns the data-group and file-history chains
// (BlockLists) and the file's comment (a shared reference).
#pragma once

#include <cstdint>
#include <string>

#include "mdf/block.h"

namespace tolvar::mdf {

class HdBlock final : public Block {
public:
    static constexpr BlockKind kKind = BlockKind::kHd;

    HdBlock() : Block(kKind) {}

    // File-history chain first (tool checks included), then the data-group
    // chain, then the refusal of channel hierarchies, attachments and events
    // ("Unsupported parameter present in file"), the comment and the fields.
    bool parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found, BlockList* list) override;
    void destroy() override;

    BlockList data_groups;   // DgBlocks in chain order
    BlockList file_history;  // FhBlocks in chain order
    BlockRef comment;        // a text or metadata block, or empty
    uint64_t start_time_ns = 0;
    int16_t tz_offset_min = 0;
    int16_t dst_offset_min = 0;
    uint8_t time_flags = 0;
    uint8_t time_class = 0;
    uint8_t flags = 0;
    double start_angle_rad = 0.0;
    double start_distance_m = 0.0;
};

}  // namespace tolvar::mdf
