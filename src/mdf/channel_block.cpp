#include "mdf/channel_block.h"

#include "mdf/block_cache.h"
#include "mdf/data_list_block.h"
#include "stream/field_cursor.h"

namespace tolvar::mdf {

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
        case kDataTypeUnsignedIntel:
        case kDataTypeFloatIntel:
        case kDataTypeString:
        case kDataTypeByteArray: return static_cast<DataTypeCode>(cn_data_type);
        default: return kDataTypeUnsupported;
    }
}

bool CnBlock::parse_rest(stream::Stream& stream, BlockCache& cache, Links links, uint64_t data_start) {
    const bool any_writer = cache.options().any_writer;
    data_link = links[5];
    // Link 0, the next channel, belongs to the chain walk.
    if (!follow_chain(stream, cache, links[1], components)) return false;
    if (!follow_link(stream, cache, links[2], name)) return false;
    if (!follow_link(stream, cache, links[3], source)) return false;
    if (!follow_link(stream, cache, links[4], conversion)) return false;
    if (!any_writer && !follow_link(stream, cache, links[5], data)) return false;
    if (!follow_link(stream, cache, links[6], unit)) return false;
    if (!follow_link(stream, cache, links[7], comment)) return false;
    if (!read_fields(stream, data_start)) return false;
    if (any_writer) {
        // The size channel of a maximum-length channel is one of the group's
        // own channels, possibly one whose parse is under way; a VLSD group
        // may come before the group that uses it in the chain.
        const bool keep_offset = cn_type == kCnTypeMaximumLength || cache.in_progress(data_link);
        if (!keep_offset) {
            if (!follow_link(stream, cache, data_link, data)) return false;
            if (!collect_data_blocks(stream, cache, data, signal_blocks)) return false;
        }
    }
    return true;
}

bool CnBlock::read_fields(stream::Stream& stream, uint64_t data_start) {
    stream::FieldCursor cursor(&stream, data_start);
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

void CnBlock::destroy() {
    components.clear();
    name.release();
    source.release();
    conversion.release();
    data.release();
    signal_blocks.clear();
    unit.release();
    comment.release();
}

}  // namespace tolvar::mdf
