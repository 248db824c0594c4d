#include "bus/conversion.h"

#include <algorithm>
#include <cmath>

#include "mdf/conversion_block.h"

namespace tolvar::bus {

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

Conversion conversion_of(const mdf::Block* block) {
    const mdf::CcBlock* cc = mdf::as<mdf::CcBlock>(block);
    if (cc == nullptr) return Conversion::identity();
    switch (cc->cc_type) {
        case mdf::CcBlock::kLinear: {
            if (cc->cc_val_count == 0) return Conversion::identity();
            double offset = 0.0;
            double factor = 1.0;
            mdf::cc_value(cc, 0, &offset);
            mdf::cc_value(cc, 1, &factor);
            return Conversion::linear(factor, offset);
        }
        case mdf::CcBlock::kValueToValue: {
            std::vector<std::pair<double, double>> pairs;
            const uint32_t count = cc->cc_val_count / 2u;
            pairs.reserve(count);
            for (uint32_t i = 0; i < count; ++i) {
                double key = 0.0;
                double value = 0.0;
                if (mdf::cc_value(cc, 2 * i, &key) && mdf::cc_value(cc, 2 * i + 1, &value)) pairs.emplace_back(key, value);
            }
            return Conversion::value_table(pairs);
        }
        default: return Conversion::unsupported();
    }
}

}  // namespace tolvar::bus
