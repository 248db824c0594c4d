#include "mdf/id_block.h"

#include <cstring>

#include "stream/field_cursor.h"

namespace tolvar::mdf {

bool IdBlock::parse(stream::Stream& stream, BlockCache&, const BlockHeader&, BlockList*) {
    stream::FieldCursor cursor(&stream);
    char file_id[8];
    if (!cursor.read_bytes(file_id, sizeof file_id)) return false;
    if (std::memcmp(file_id, "MDF     ", 8) != 0 && std::memcmp(file_id, "UnFinMF ", 8) != 0) return false;
    unfinalised_id = std::memcmp(file_id, "UnFinMF ", 8) == 0;

    // The rest never fails the parse: a stream this short cannot hold the
    // header block at offset 64 either, and the document refuses it there.
    std::string text;
    if (cursor.read_text(text, 8)) format_id = text;
    text.clear();
    if (cursor.read_text(text, 8)) program_id = text;
    cursor.skip(4);
    uint16_t value = 0;
    if (cursor.read_u16(value)) version = value;
    cursor.skip(30);
    if (cursor.read_u16(value)) unfinalised_flags = value;
    if (cursor.read_u16(value)) custom_unfinalised_flags = value;
    return true;
}

void IdBlock::destroy() { header_block.release(); }

}  // namespace tolvar::mdf
