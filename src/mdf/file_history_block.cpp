#include "mdf/file_history_block.h"

#include <cstring>
#include <string_view>

#include "log/log.h"
#include "mdf/block_cache.h"
#include "stream/field_cursor.h"
#include "mdf/text_block.h"

namespace tolvar::mdf {

bool names_expected_tool(const Block* comment) {
    const std::string* xml = block_text(comment, BlockKind::kMd);
    return xml != nullptr && up_to_zero(*xml).find(kExpectedToolId) != std::string_view::npos;
}

bool FhBlock::parse_rest(stream::Stream& stream, BlockCache& cache, Links links, uint64_t data_start) {
    if (!follow_link(stream, cache, links[1], comment)) return false;

    stream::FieldCursor cursor(&stream, data_start);
    bool ok = cursor.read_u64(time_ns);
    ok = cursor.read_bytes(&tz_offset_min, 2) && ok;
    ok = cursor.read_bytes(&dst_offset_min, 2) && ok;
    ok = cursor.read_u8(time_flags) && ok;
    if (!ok) return false;

    // A reader of any writer's recordings takes the history as information.
    if (!cache.options().any_writer && !names_expected_tool(comment.get())) {
        TOLVAR_LOG_ERROR("Unsupported MF4 file");
        return false;
    }
    return true;
}

void FhBlock::destroy() { comment.release(); }

}  // namespace tolvar::mdf
