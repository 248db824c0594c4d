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
    // bus_type values kept apart by bus_class; every other bus is 4.
    static constexpr int32_t kBusNone = 0;
    static constexpr int32_t kBusCan = 2;
    static constexpr int32_t kBusLin = 3;
    static constexpr int32_t kBusOther = 4;

    SiBlock() : Block(kKind) {}

    bool parse(Stream& stream, BlockCache& cache, const BlockHeader& header, BlockList* list) override;
    bool save(SaveContext& context) override;
    void destroy() override;

    BlockRef name;
    BlockRef path;
    BlockRef comment;
    uint8_t source_type = 0;
    uint8_t bus_type = 0;
    uint8_t flags = 0;
    int32_t source_class = 0;  // kClassBus for a bus, kClassOther otherwise
    int32_t bus_class = 0;     // kBusNone, kBusCan, kBusLin or kBusOther
};

}  // namespace tolvar::mdf
