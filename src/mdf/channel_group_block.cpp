#include "mdf/channel_group_block.h"

#include "log/log.h"
#include "stream/field_cursor.h"

namespace tolvar::mdf {

bool CgBlock::parse_rest(stream::Stream& stream, BlockCache& cache, Links links, uint64_t data_start) {
    // Link 0, the next group, belongs to the chain walk.
    if (!follow_chain(stream, cache, links[1], channels)) return false;
    if (!follow_link(stream, cache, links[2], acquisition_name)) return false;
    if (!follow_link(stream, cache, links[3], acquisition_source)) return false;
    if (links[4] != kNoLink) {
        TOLVAR_LOG_ERROR("Unsupported parameter present in file");
        return false;
    }
    if (!follow_link(stream, cache, links[5], comment)) return false;

    stream::FieldCursor cursor(&stream, data_start);
    bool ok = true;
    ok &= cursor.read_u64(record_id);
    ok &= cursor.read_u64(cycle_count);
    ok &= cursor.read_u16(cg_flags);
    ok &= cursor.read_u16(path_separator);
    ok &= cursor.skip(4);
    ok &= cursor.read_u32(data_bytes);
    ok &= cursor.read_u32(inval_bytes);
    return ok;
}

void CgBlock::destroy() {
    channels.clear();
    acquisition_name.release();
    acquisition_source.release();
    comment.release();
}

}  // namespace tolvar::mdf
