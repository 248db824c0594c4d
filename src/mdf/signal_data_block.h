// The signal-data block ("##SD"): variable-length values (such as the payload
// bytes of bus frames) stored outside the records, each as a 4-byte length and
// its bytes, read through the block's data section Stream (borrowed stream).
#pragma once

#include "mdf/data_block.h"

namespace tolvar::mdf {

// Differs from the data block only in its kind and in how a short read moves
// the section's position (by the bytes delivered, not the bytes requested).
class SdBlock final : public SectionBlock {
public:
    static constexpr BlockKind kKind = BlockKind::kSd;
    SdBlock() : SectionBlock(kKind) {}
};

}  // namespace tolvar::mdf
