#include "mdf/conversion_block.h"

#include <algorithm>
#include <cmath>

#include "mdf/block_cache.h"
#include "mdf/block_writer.h"
#include "mdf/field_cursor.h"

namespace tolvar::mdf {

bool CcBlock::parse(Stream& stream, BlockCache& cache, const BlockHeader& header, BlockList*) {
    std::vector<uint64_t> links;
    uint64_t data_start = 0;
    if (!parse_head(stream, header, links, data_start)) return false;

    if (!follow_link(stream, cache, links[0], name)) return false;
    if (!follow_link(stream, cache, links[1], unit)) return false;
    if (!follow_link(stream, cache, links[2], comment)) return false;
    if (!follow_link(stream, cache, links[3], inverse)) return false;

    FieldCursor cursor(&stream, data_start);
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

bool CcBlock::save(SaveContext& context) {
    // A count the parameters do not match would write a block that reads back
    // other parameters than this one holds.
    if (cc_val.size() != cc_val_count) return false;
    const BlockHeader layout = default_header(kKind);
    if (!place_block(context, *this, layout.link_count, layout.length + 8 * uint64_t{cc_val_count})) return false;
    std::vector<uint64_t> links;
    if (!save_link(context, name, links)) return false;
    if (!save_link(context, unit, links)) return false;
    if (!save_link(context, comment, links)) return false;
    if (!save_link(context, inverse, links)) return false;
    BlockWriter out(context, *this);
    out.links(links);
    out.u8(cc_type);
    out.u8(cc_precision);
    out.u16(cc_flags);
    out.u16(cc_ref_count);
    out.u16(cc_val_count);
    out.f64(cc_phy_range_min);
    out.f64(cc_phy_range_max);
    for (double value : cc_val) out.f64(value);
    return out.finish();
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

Conversion Conversion::unsupported() {
    Conversion conversion;
    conversion.kind_ = Kind::kUnsupported;
    return conversion;
}

Conversion Conversion::linear(double factor, double offset) {
    Conversion conversion;
    conversion.kind_ = Kind::kLinear;
    conversion.factor_ = factor;
    conversion.offset_ = offset;
    return conversion;
}

Conversion Conversion::value_table(const std::vector<std::pair<double, double>>& pairs) {
    Conversion conversion;
    conversion.kind_ = Kind::kValueTable;
    auto& table = conversion.table_;
    table.reserve(pairs.size());
    for (const auto& pair : pairs) {
        if (!std::isnan(pair.first)) table.push_back(pair);
    }
    // Stable, so that of equal keys the first pair stays in front and wins.
    std::stable_sort(table.begin(), table.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    table.erase(std::unique(table.begin(), table.end(),
                            [](const auto& a, const auto& b) { return a.first == b.first; }),
                table.end());
    return conversion;
}

double Conversion::lookup(double x) const {
    const auto it = std::lower_bound(table_.begin(), table_.end(), x,
                                     [](const auto& entry, double key) { return entry.first < key; });
    if (it != table_.end() && it->first == x) return it->second;
    return 0.0;
}

Conversion conversion_of(const Block* block) {
    const CcBlock* cc = as<CcBlock>(block);
    if (cc == nullptr) return Conversion::identity();
    switch (cc->cc_type) {
        case CcBlock::kLinear: {
            if (cc->cc_val_count == 0) return Conversion::identity();
            double offset = 0.0;
            double factor = 1.0;
            cc_value(cc, 0, &offset);
            cc_value(cc, 1, &factor);
            return Conversion::linear(factor, offset);
        }
        case CcBlock::kValueToValue: {
            std::vector<std::pair<double, double>> pairs;
            const uint32_t count = cc->cc_val_count / 2u;
            pairs.reserve(count);
            for (uint32_t i = 0; i < count; ++i) {
                double key = 0.0;
                double value = 0.0;
                if (cc_value(cc, 2 * i, &key) && cc_value(cc, 2 * i + 1, &value)) pairs.emplace_back(key, value);
            }
            return Conversion::value_table(pairs);
        }
        default: return Conversion::unsupported();
    }
}

}  // namespace tolvar::mdf
