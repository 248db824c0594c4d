// The channel-group block ("##CG"): one kind of record of a data group, its
// record id and length and the chain of channels that describe it. Owns its
// channel chain and links through shared references.
#pragma once

#include <cstdint>

#include "mdf/block.h"

namespace tolvar::mdf {

class CgBlock final : public ChainBlock {
public:
    static constexpr BlockKind kKind = BlockKind::kCg;

    // cg_flags bits.
    static constexpr uint16_t kFlagVlsd = 1u << 0;
    static constexpr uint16_t kFlagBusEvent = 1u << 1;
    static constexpr uint16_t kFlagPlainBusEvent = 1u << 2;

    CgBlock() : ChainBlock(kKind) {}

    // Follows channels, acquisition name and source, refuses a sample
    // reduction ("Unsupported parameter present in file"), follows the
    // comment and reads the fields; the next group is followed by the chain
    // walk.
    bool parse_rest(stream::Stream& stream, BlockCache& cache, Links links, uint64_t data_start) override;
    void destroy() override;

    // The group holds the variable-length values of another group's channel.
    bool is_vlsd() const { return (cg_flags & kFlagVlsd) != 0; }

    BlockList channels;  // chain order
    BlockRef acquisition_name;
    BlockRef acquisition_source;  // an SiBlock says whether the records come from a bus
    BlockRef comment;
    uint64_t record_id = 0;
    uint64_t cycle_count = 0;
    uint16_t cg_flags = 0;
    uint16_t path_separator = 0;
    uint32_t data_bytes = 0;
    uint32_t inval_bytes = 0;
};

}  // namespace tolvar::mdf
