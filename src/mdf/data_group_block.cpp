#include "mdf/data_group_block.h"

#include "mdf/block_cache.h"
#include "mdf/data_block.h"
#include "mdf/data_list_block.h"
#include "stream/field_cursor.h"

namespace tolvar::mdf {

bool DgBlock::parse_rest(stream::Stream& stream, BlockCache& cache, Links links, uint64_t data_start) {
    // Link 0, the next data group, belongs to the chain walk.
    if (!follow_chain(stream, cache, links[1], channel_groups)) return false;
    if (!follow_link(stream, cache, links[2], data)) return false;
    if (cache.options().any_writer && !collect_data_blocks(stream, cache, data, data_blocks)) return false;
    if (!follow_link(stream, cache, links[3], comment)) return false;
    stream::FieldCursor cursor(&stream, data_start);
    return cursor.read_u8(rec_id_size);
}

void DgBlock::destroy() {
    channel_groups.clear();
    data.release();
    data_blocks.clear();
    comment.release();
}

DtBlock* data_block(const DgBlock& group) { return as<DtBlock>(group.data); }

}  // namespace tolvar::mdf
