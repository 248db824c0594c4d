#include "mdf/header_block.h"

#include <vector>

#include "log/log.h"
#include "stream/field_cursor.h"

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

bool HdBlock::parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found, BlockList*) {
    std::vector<uint64_t> links;
    uint64_t data_start = 0;
    if (!parse_head(stream, found, links, data_start)) return false;

    if (!follow_chain(stream, cache, links[kFirstFileHistory], file_history)) return false;
    if (!follow_chain(stream, cache, links[kFirstDataGroup], data_groups)) return false;
    if (links[kFirstChannelHierarchy] != kNoLink || links[kFirstAttachment] != kNoLink ||
        links[kFirstEvent] != kNoLink) {
        TOLVAR_LOG_ERROR("Unsupported parameter present in file");
        return false;
    }
    if (!follow_link(stream, cache, links[kComment], comment)) return false;

    stream::FieldCursor cursor(&stream, data_start);
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

void HdBlock::destroy() {
    data_groups.clear();
    file_history.clear_front_first();
    comment.release();
}

}  // namespace tolvar::mdf
