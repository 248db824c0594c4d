#include "mdf/id_block.h"

#include <cstring>

#include "mdf/block_writer.h"
#include "mdf/field_cursor.h"

namespace tolvar::mdf {

bool IdBlock::parse(Stream& stream, BlockCache&, const BlockHeader&, BlockList*) {
    FieldCursor cursor(&stream);
    char file_id[8];
    if (!cursor.read_bytes(file_id, sizeof file_id)) return false;
    if (std::memcmp(file_id, "MDF     ", 8) != 0 && std::memcmp(file_id, "UnFinMF ", 8) != 0) return false;

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

bool IdBlock::save(SaveContext& context) {
    if (context.next != 0) return false;
    offset = 0;
    context.next = default_header(kKind).length;
    BlockWriter out(context, offset, header, false);
    const bool unfinalised = unfinalised_flags != 0 || custom_unfinalised_flags != 0;
    out.bytes(unfinalised ? "UnFinMF " : "MDF     ", 8);
    out.fixed_text(format_id, 8);
    out.fixed_text(program_id, 8);
    out.zeros(4);
    out.u16(version);
    out.zeros(30);
    out.u16(unfinalised_flags);
    out.u16(custom_unfinalised_flags);
    const bool written = out.finish();
    // A file without its header block is no MDF file: that save decides too.
    const bool header_saved = save_block(header_block.get(), &context);
    return written && header_saved;
}

void IdBlock::destroy() { header_block.release(); }

}  // namespace tolvar::mdf
