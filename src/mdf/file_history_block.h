// The file-history block ("##FH"): one entry of the chain that records which
// tool created or changed the file. Owns its comment through a shared
// reference; the entries themselves are owned by the header block's list.
#pragma once

#include <cstdint>

#include "mdf/block.h"

namespace tolvar::mdf {

// What the comment of every history entry must contain for the file to be
// read: the files this reader understands are written by this tool.
constexpr char kExpectedToolId[] = "<tool_id>ZR</tool_id>";

class FhBlock final : public ChainBlock {
public:
    static constexpr BlockKind kKind = BlockKind::kFh;

    FhBlock() : ChainBlock(kKind) {}

    // Comment, fields, then the tool check ("Unsupported MF4 file" when the
    // comment is not XML metadata naming the expected tool; no check when the
    // open reads any writer's recordings). The next entry
    // has been parsed, checks included, by the chain walk before this runs.
    bool parse_rest(stream::Stream& stream, BlockCache& cache, Links links, uint64_t data_start) override;
    void destroy() override;

    BlockRef comment;
    uint64_t time_ns = 0;
    int16_t tz_offset_min = 0;
    int16_t dst_offset_min = 0;
    uint8_t time_flags = 0;
};

// True when the comment is a metadata block whose text, up to its first zero
// byte, contains kExpectedToolId.
bool names_expected_tool(const Block* comment);

}  // namespace tolvar::mdf
