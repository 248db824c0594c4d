// The conversion block ("##CC") and the Conversion value built from it, which
// turns a raw channel value into its physical value. A CcBlock owns its name,
// unit, comment and inverse blocks (shared references) and its parameters; a
// Conversion owns its own copy of the factor, offset or table it needs.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "mdf/block.h"

namespace tolvar::mdf {

class CcBlock final : public Block {
public:
    static constexpr BlockKind kKind = BlockKind::kCc;
    static constexpr uint8_t kLinear = 1;
    static constexpr uint8_t kValueToValue = 5;  // table without interpolation

    CcBlock() : Block(kKind) {}

    bool parse(Stream& stream, BlockCache& cache, const BlockHeader& header, BlockList* list) override;
    // Fails when cc_val does not hold cc_val_count parameters.
    bool save(SaveContext& context) override;
    void destroy() override;

    BlockRef name;
    BlockRef unit;
    BlockRef comment;
    BlockRef inverse;  // kept, never evaluated
    uint8_t cc_type = 0;
    uint8_t cc_precision = 0;
    uint16_t cc_flags = 0;
    uint16_t cc_ref_count = 0;
    uint16_t cc_val_count = 0;
    double cc_phy_range_min = 0.0;
    double cc_phy_range_max = 0.0;
    std::vector<double> cc_val;  // cc_val_count parameters
};

// Parameter i of the block into out; false (out unchanged) for i beyond
// cc_val_count, an absent block or an absent out.
bool cc_value(const CcBlock* block, uint32_t i, double* out);

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
Conversion conversion_of(const Block* block);

}  // namespace tolvar::mdf
