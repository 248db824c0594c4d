// The channel-group block ("##CG"): one kind of record of a data group, its
// record id and length, and the RecordLayout made of its channels. Owns its
// channel chain and links through shared references, and its layout.
#pragma once

#include <cstdint>

#include "bus/channel.h"
#include "bus/record_layout.h"
#include "mdf/block.h"

namespace tolvar::bus {

class CgBlock final : public mdf::ChainBlock {
public:
    static constexpr mdf::BlockKind kKind = mdf::BlockKind::kCg;
    static constexpr uint64_t kLinkCount = 6;

    // cg_flags bits.
    static constexpr uint16_t kFlagVlsd = 1u << 0;
    static constexpr uint16_t kFlagBusEvent = 1u << 1;
    static constexpr uint16_t kFlagPlainBusEvent = 1u << 2;

    CgBlock() : ChainBlock(kKind) {}

    // Follows channels, acquisition name and source, refuses a sample
    // reduction, follows the comment, reads the fields and lays out the
    // channels; the next group is followed by the chain walk.
    bool parse_rest(Stream& stream, mdf::BlockCache& cache, mdf::Links links,
                    uint64_t data_start) override;
    // Writes the fields in file order, the sample-reduction link as 0 and
    // the reserved bytes as zeros.
    bool save_member(mdf::SaveContext& context, uint64_t next_link) override;
    void destroy() override;

    mdf::BlockList channels;  // chain order
    mdf::BlockRef acquisition_name;
    mdf::BlockRef acquisition_source;  // an SiBlock decides classification
    mdf::BlockRef comment;
    uint64_t record_id = 0;
    uint64_t cycle_count = 0;
    uint16_t cg_flags = 0;
    uint16_t path_separator = 0;
    uint32_t data_bytes = 0;
    uint32_t inval_bytes = 0;
    bool is_vlsd = false;  // the group holds the variable-length values of another group's channel
    bool is_bus_event = false;
    bool is_plain_bus_event = false;
    RecordLayout layout;
};

// Empties the group's layout and lays out every channel again, in chain order.
// False (with an empty layout) when a channel appears twice in the group's
// channel tree: a damaged file that shares channels could otherwise make the
// layout grow exponentially with the depth of the tree.
bool build_layout(CgBlock& group);

// Appends the fields of one channel, or of its components (recursively, depth
// first) when it has any; false when a channel appears twice in its tree.
bool append_fields(const CnBlock& channel, RecordLayout& layout);

}  // namespace tolvar::bus
