// The data-group block ("##DG"): a data block of records and the channel
// groups that describe them. Owns its channel-group chain and links through
// shared references.
#pragma once

#include <cstdint>

#include "mdf/block.h"

namespace tolvar::mdf {

class DtBlock;

class DgBlock final : public ChainBlock {
public:
    static constexpr BlockKind kKind = BlockKind::kDg;

    DgBlock() : ChainBlock(kKind) {}

    // Follows channel groups, data block and comment and reads the record id
    // size; the next data group is followed by the chain walk.
    bool parse_rest(stream::Stream& stream, BlockCache& cache, Links links, uint64_t data_start) override;
    void destroy() override;

    BlockList channel_groups;  // chain order
    BlockRef data;             // only a DtBlock holds records (by default)
    // Read for any writer: the data blocks (Dt or Dz) that `data` stands for,
    // in order (collect_data_blocks). Empty by default.
    BlockList data_blocks;
    BlockRef comment;
    uint8_t rec_id_size = 0;  // bytes of record id in front of every record
};

// The data block, or null when the link is absent or leads to another kind.
DtBlock* data_block(const DgBlock& group);

}  // namespace tolvar::mdf
