// The source-information block ("##SI"): where the samples of a channel group
// were acquired (an ECU, a bus, ...). Owns its name, path and comment blocks
// through shared references.
#pragma once

#include <cstdint>

#include "mdf/block.h"

namespace tolvar::mdf {

class SiBlock final : public Block {
public:
    static constexpr BlockKind kKind = BlockKind::kSi;

    // source_type values, and what source_class makes of them.
    static constexpr uint8_t kSourceBus = 2;
    static constexpr int32_t kClassBus = 2;
    static constexpr int32_t kClassOther = 6;

    SiBlock() : Block(kKind) {}

    bool parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found, BlockList* list) override;
    void destroy() override;

    BlockRef name;
    BlockRef path;
    BlockRef comment;
    uint8_t source_type = 0;
    uint8_t bus_type = 0;
    uint8_t flags = 0;
    int32_t source_class = 0;  // kClassBus for a bus, kClassOther otherwise
};

}  // namespace tolvar::mdf
