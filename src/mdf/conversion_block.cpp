#include "mdf/conversion_block.h"

#include "mdf/block_cache.h"
#include "stream/field_cursor.h"

namespace tolvar::mdf {

bool CcBlock::parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found, BlockList*) {
    std::vector<uint64_t> links;
    uint64_t data_start = 0;
    if (!parse_head(stream, found, links, data_start)) return false;

    if (!follow_link(stream, cache, links[0], name)) return false;
    if (!follow_link(stream, cache, links[1], unit)) return false;
    if (!follow_link(stream, cache, links[2], comment)) return false;
    if (!follow_link(stream, cache, links[3], inverse)) return false;

    stream::FieldCursor cursor(&stream, data_start);
    bool ok = cursor.read_u8(cc_type);
    ok = cursor.read_u8(cc_precision) && ok;
    ok = cursor.read_u16(cc_flags) && ok;
    ok = cursor.read_u16(cc_ref_count) && ok;
    ok = cursor.read_u16(cc_val_count) && ok;
    ok = cursor.read_f64(cc_phy_range_min) && ok;
    ok = cursor.read_f64(cc_phy_range_max) && ok;
    // The parameters are stored as they arrive: the count is at most 65535,
    // but a block that claims more than the stream holds stops at its end.
    cc_val.clear();
    if (!cache.charge(stream, 8 * uint64_t{cc_val_count})) return false;
    for (uint32_t i = 0; i < cc_val_count; ++i) {
        double value = 0.0;
        if (!cursor.read_f64(value)) {
            ok = false;
            break;
        }
        cc_val.push_back(value);
    }
    return ok;
}

void CcBlock::destroy() {
    name.release();
    unit.release();
    comment.release();
    inverse.release();
    std::vector<double>().swap(cc_val);
}

bool cc_value(const CcBlock* block, uint32_t i, double* out) {
    if (block == nullptr || out == nullptr) return false;
    if (i >= block->cc_val_count || i >= block->cc_val.size()) return false;
    *out = block->cc_val[i];
    return true;
}

}  // namespace tolvar::mdf
