#include "mdf/source_info_block.h"

#include <vector>

#include "mdf/block_writer.h"
#include "mdf/field_cursor.h"

namespace tolvar::mdf {

bool SiBlock::parse(Stream& stream, BlockCache& cache, const BlockHeader& header, BlockList*) {
    std::vector<uint64_t> links;
    uint64_t data_start = 0;
    if (!parse_head(stream, header, links, data_start)) return false;

    if (!follow_link(stream, cache, links[0], name)) return false;
    if (!follow_link(stream, cache, links[1], path)) return false;
    if (!follow_link(stream, cache, links[2], comment)) return false;

    FieldCursor cursor(&stream, data_start);
    bool ok = cursor.read_u8(source_type);
    ok = cursor.read_u8(bus_type) && ok;
    ok = cursor.read_u8(flags) && ok;
    if (!ok) return false;

    source_class = source_type == kSourceBus ? kClassBus : kClassOther;
    switch (bus_type) {
        case 0: bus_class = kBusNone; break;
        case 2: bus_class = kBusCan; break;
        case 3: bus_class = kBusLin; break;
        default: bus_class = kBusOther; break;
    }
    return true;
}

bool SiBlock::save(SaveContext& context) {
    const BlockHeader layout = default_header(kKind);
    if (!place_block(context, *this, layout.link_count, layout.length)) return false;
    std::vector<uint64_t> links;
    if (!save_link(context, name, links)) return false;
    if (!save_link(context, path, links)) return false;
    if (!save_link(context, comment, links)) return false;
    BlockWriter out(context, *this);
    out.links(links);
    out.u8(source_type);
    out.u8(bus_type);
    out.u8(flags);
    out.zeros(5);
    return out.finish();
}

void SiBlock::destroy() {
    name.release();
    path.release();
    comment.release();
}

}  // namespace tolvar::mdf
