// Conversion: how a raw channel value becomes its physical value, built once
// per channel from its conversion block (conversion_block.h) and evaluated per
// record. A Conversion owns its own copy of the factor, offset or table it
// needs; it borrows nothing.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "mdf/block.h"

namespace tolvar::bus {

// How a raw value becomes a physical value. Identity and unsupported both
// leave the value unchanged; they differ only in what they say they are (an
// unsupported conversion type converts nothing rather than guessing).
class Conversion {
public:
    enum class Kind : uint8_t {
        kIdentity,     // no conversion block
        kUnsupported,  // a conversion type this reader does not evaluate
        kLinear,       // x * factor + offset
        kValueTable,   // the value stored under the key equal to x, else 0.0
    };

    Conversion() = default;
    static Conversion identity() { return Conversion(); }
    static Conversion unsupported();
    static Conversion linear(double factor, double offset);
    // Pairs (key, value) in order; the first pair of a key wins. A NaN key is
    // dropped: no raw value can ever be equal to it.
    static Conversion value_table(const std::vector<std::pair<double, double>>& pairs);

    Kind kind() const { return kind_; }
    double factor() const { return factor_; }
    double offset() const { return offset_; }
    // The table's entries sorted by key, one per key.
    const std::vector<std::pair<double, double>>& table() const { return table_; }

    double evaluate(double x) const {
        switch (kind_) {
            case Kind::kLinear: return x * factor_ + offset_;
            case Kind::kValueTable: return lookup(x);
            default: return x;
        }
    }

private:
    double lookup(double x) const;

    Kind kind_ = Kind::kIdentity;
    double factor_ = 1.0;
    double offset_ = 0.0;
    std::vector<std::pair<double, double>> table_;
};

// x unchanged for an absent conversion, otherwise its evaluation.
inline double apply_conversion(const Conversion* conversion, double x) {
    return conversion != nullptr ? conversion->evaluate(x) : x;
}

// The Conversion a channel gets from the block its conversion link leads to:
// none or a block of another kind give the identity; cc_type 1 gives linear
// with factor cc_val[1] and offset cc_val[0]; cc_type 5 the table of the pairs
// (cc_val[2i], cc_val[2i + 1]) (an odd last parameter is ignored); any other
// type an unsupported conversion, which leaves values unchanged.
// A linear block with fewer than two parameters uses the identity's value for
// each missing one: no parameter converts as the identity, one parameter
// (cc_val[0]) adds that offset with factor 1.
Conversion conversion_of(const mdf::Block* block);

}  // namespace tolvar::bus
