#include "mdf/header_block.h"

#include <vector>

#include "log/log.h"
#include "mdf/block_writer.h"
#include "mdf/field_cursor.h"

namespace tolvar::mdf {

namespace {
enum HeaderLink : size_t {
    kFirstDataGroup = 0,
    kFirstFileHistory = 1,
    kFirstChannelHierarchy = 2,
    kFirstAttachment = 3,
    kFirstEvent = 4,
    kComment = 5,
};
}  // namespace

bool HdBlock::parse(Stream& stream, BlockCache& cache, const BlockHeader& header, BlockList*) {
    std::vector<uint64_t> links;
    uint64_t data_start = 0;
    if (!parse_head(stream, header, links, data_start)) return false;

    if (!follow_chain(stream, cache, links[kFirstFileHistory], file_history)) return false;
    if (!follow_chain(stream, cache, links[kFirstDataGroup], data_groups)) return false;
    if (links[kFirstChannelHierarchy] != kNoLink || links[kFirstAttachment] != kNoLink ||
        links[kFirstEvent] != kNoLink) {
        TOLVAR_LOG_ERROR("Unsupported parameter present in file");
        return false;
    }
    if (!follow_link(stream, cache, links[kComment], comment)) return false;

    FieldCursor cursor(&stream, data_start);
    bool ok = cursor.read_u64(start_time_ns);
    ok = cursor.read_bytes(&tz_offset_min, 2) && ok;
    ok = cursor.read_bytes(&dst_offset_min, 2) && ok;
    ok = cursor.read_u8(time_flags) && ok;
    ok = cursor.read_u8(time_class) && ok;
    ok = cursor.read_u8(flags) && ok;
    ok = cursor.skip(1) && ok;
    ok = cursor.read_f64(start_angle_rad) && ok;
    ok = cursor.read_f64(start_distance_m) && ok;
    return ok;
}

bool HdBlock::save(SaveContext& context) {
    const BlockHeader layout = default_header(kKind);
    if (!place_block(context, *this, layout.link_count, layout.length)) return false;
    std::vector<uint64_t> links;
    if (!save_chain(context, data_groups, links)) return false;
    if (!save_chain(context, file_history, links)) return false;
    links.insert(links.end(), {0, 0, 0});  // channel hierarchy, attachment, event
    if (!save_link(context, comment, links)) return false;

    BlockWriter out(context, *this);
    out.links(links);
    out.u64(start_time_ns);
    out.i16(tz_offset_min);
    out.i16(dst_offset_min);
    out.u8(time_flags);
    out.u8(time_class);
    out.u8(flags);
    out.zeros(1);
    out.f64(start_angle_rad);
    out.f64(start_distance_m);
    return out.finish();
}

void HdBlock::destroy() {
    data_groups.clear();
    file_history.clear_front_first();
    comment.release();
}

}  // namespace tolvar::mdf
