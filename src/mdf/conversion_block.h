// The conversion block ("##CC"): how a raw channel value turns into its
// physical value, as the file states it. Owns its name, unit, comment and
// inverse blocks (shared references) and its parameters.
#pragma once

#include <cstdint>
#include <vector>

#include "mdf/block.h"

namespace tolvar::mdf {

class CcBlock final : public Block {
public:
    static constexpr BlockKind kKind = BlockKind::kCc;
    static constexpr uint8_t kLinear = 1;
    static constexpr uint8_t kValueToValue = 5;  // table without interpolation

    CcBlock() : Block(kKind) {}

    bool parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found, BlockList* list) override;
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

}  // namespace tolvar::mdf
