#include "bus/channel.h"

#include <cstring>

#include "log/log.h"
#include "mdf/block_writer.h"
#include "mdf/field_cursor.h"

namespace tolvar::bus {

ChannelTypeCode type_code_from(uint8_t cn_type) {
    switch (cn_type) {
        case 0: return kChannelFixedLength;
        case 1: return kChannelVariableLength;
        case 2: return kChannelMaster;
        case 6: return kChannelVirtual;
        default: return kChannelOther;
    }
}

DataTypeCode data_code_from(uint8_t cn_data_type) {
    switch (cn_data_type) {
        case 0: return kDataTypeUnsignedIntel;
        case 4: return kDataTypeFloatIntel;
        case 6: return kDataTypeString;
        case 10: return kDataTypeByteArray;
        default: return kDataTypeUnsupported;
    }
}

bool CnBlock::parse_rest(Stream& stream, mdf::BlockCache& cache, mdf::Links links,
                         uint64_t data_start) {
    // Link 0, the next channel, belongs to the chain walk.
    if (!mdf::follow_chain(stream, cache, links[1], components)) return false;
    if (!mdf::follow_link(stream, cache, links[2], name)) return false;
    if (!mdf::follow_link(stream, cache, links[3], source)) return false;
    if (!mdf::follow_link(stream, cache, links[4], conversion)) return false;
    if (!mdf::follow_link(stream, cache, links[5], data)) return false;
    if (!mdf::follow_link(stream, cache, links[6], unit)) return false;
    if (!mdf::follow_link(stream, cache, links[7], comment)) return false;

    mdf::FieldCursor cursor(&stream, data_start);
    bool ok = true;
    ok &= cursor.read_u8(cn_type);
    ok &= cursor.read_u8(sync_type);
    ok &= cursor.read_u8(data_type);
    ok &= cursor.read_u8(bit_offset);
    ok &= cursor.read_u32(byte_offset);
    ok &= cursor.read_u32(bit_count);
    ok &= cursor.read_u32(flags);
    ok &= cursor.read_u32(inval_bit_pos);
    ok &= cursor.read_u8(precision);
    ok &= cursor.skip(1);
    ok &= cursor.read_u16(attachment_count);
    ok &= cursor.read_f64(val_range_min);
    ok &= cursor.read_f64(val_range_max);
    ok &= cursor.read_f64(limit_min);
    ok &= cursor.read_f64(limit_max);
    ok &= cursor.read_f64(limit_ext_min);
    ok &= cursor.read_f64(limit_ext_max);
    if (!ok) return false;

    type_code = type_code_from(cn_type);
    data_code = data_code_from(data_type);
    return true;
}

bool CnBlock::save_member(mdf::SaveContext& context, uint64_t next_link) {
    std::vector<uint64_t> links{next_link};
    if (!mdf::save_chain(context, components, links)) return false;
    for (const mdf::BlockRef* child : {&name, &source, &conversion, &data, &unit, &comment}) {
        if (!mdf::save_link(context, *child, links)) return false;
    }
    mdf::BlockWriter out(context, *this);
    out.links(links);
    out.u8(cn_type);
    out.u8(sync_type);
    out.u8(data_type);
    out.u8(bit_offset);
    out.u32(byte_offset);
    out.u32(bit_count);
    out.u32(flags);
    out.u32(inval_bit_pos);
    out.u8(precision);
    out.zeros(1);
    out.u16(attachment_count);
    for (double value : {val_range_min, val_range_max, limit_min, limit_max, limit_ext_min, limit_ext_max}) {
        out.f64(value);
    }
    const bool ok = out.finish();
    const uint64_t expected = offset + header.length;
    const int64_t at = context.stream->tell();
    if (at < 0 || static_cast<uint64_t>(at) != expected) {
        TOLVAR_LOG_ERROR("Error during save. Expected to be at %zu but stream is at %zu",
                         static_cast<size_t>(expected), static_cast<size_t>(at));
    }
    return ok;
}

void CnBlock::destroy() {
    components.clear();
    name.release();
    source.release();
    conversion.release();
    data.release();
    unit.release();
    comment.release();
}

uint32_t bit_count(const CnBlock* channel) { return channel != nullptr ? channel->bit_count : 0; }
uint8_t bit_offset(const CnBlock* channel) { return channel != nullptr ? channel->bit_offset : 0; }
uint32_t byte_offset(const CnBlock* channel) { return channel != nullptr ? channel->byte_offset : 0; }
ChannelTypeCode channel_type_code(const CnBlock* channel) {
    return channel != nullptr ? channel->type_code : kChannelOther;
}
DataTypeCode data_type_code(const CnBlock* channel) {
    return channel != nullptr ? channel->data_code : kDataTypeUnsupported;
}

}  // namespace tolvar::bus
