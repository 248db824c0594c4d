#include "mdf/file_history_block.h"

#include <cstring>
#include <string_view>

#include "log/log.h"
#include "mdf/block_writer.h"
#include "mdf/field_cursor.h"
#include "mdf/metadata_block.h"

namespace tolvar::mdf {

bool names_expected_tool(const Block* comment) {
    const MdBlock* md = as<MdBlock>(comment);
    if (md == nullptr) return false;
    // The text as a zero-terminated string: what follows an embedded zero
    // byte does not count.
    const std::string_view text(md->text.c_str());
    return text.find(kExpectedToolId) != std::string_view::npos;
}

bool FhBlock::parse_rest(Stream& stream, BlockCache& cache, Links links, uint64_t data_start) {
    if (!follow_link(stream, cache, links[1], comment)) return false;

    FieldCursor cursor(&stream, data_start);
    bool ok = cursor.read_u64(time_ns);
    ok = cursor.read_bytes(&tz_offset_min, 2) && ok;
    ok = cursor.read_bytes(&dst_offset_min, 2) && ok;
    ok = cursor.read_u8(time_flags) && ok;
    if (!ok) return false;

    if (!names_expected_tool(comment.get())) {
        TOLVAR_LOG_ERROR("Unsupported MF4 file");
        return false;
    }
    return true;
}

bool FhBlock::save_member(SaveContext& context, uint64_t next_link) {
    std::vector<uint64_t> links{next_link};
    if (!save_link(context, comment, links)) return false;
    BlockWriter out(context, *this);
    out.links(links);
    out.u64(time_ns);
    out.i16(tz_offset_min);
    out.i16(dst_offset_min);
    out.u8(time_flags);
    out.zeros(3);
    return out.finish();
}

void FhBlock::destroy() { comment.release(); }

}  // namespace tolvar::mdf
