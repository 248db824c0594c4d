#include "mdf/source_info_block.h"

#include <vector>

#include "stream/field_cursor.h"

namespace tolvar::mdf {

bool SiBlock::parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found, BlockList*) {
    std::vector<uint64_t> links;
    uint64_t data_start = 0;
    if (!parse_head(stream, found, links, data_start)) return false;

    if (!follow_link(stream, cache, links[0], name)) return false;
    if (!follow_link(stream, cache, links[1], path)) return false;
    if (!follow_link(stream, cache, links[2], comment)) return false;

    stream::FieldCursor cursor(&stream, data_start);
    bool ok = cursor.read_u8(source_type);
    ok = cursor.read_u8(bus_type) && ok;
    ok = cursor.read_u8(flags) && ok;
    if (!ok) return false;

    source_class = source_type == kSourceBus ? kClassBus : kClassOther;
    return true;
}

void SiBlock::destroy() {
    name.release();
    path.release();
    comment.release();
}

}  // namespace tolvar::mdf
