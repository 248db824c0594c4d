// The identification block at offset 0: whether the file is MDF 4 at all and
// whether its recording was finalised. Root of the block tree: owns the header
// block through a shared reference once the document has stored it there.
#pragma once

#include <cstdint>
#include <string>

#include "mdf/block.h"

namespace tolvar::mdf {

class IdBlock final : public Block {
public:
    static constexpr BlockKind kKind = BlockKind::kId;
    // Bit of unfinalised_flags: the last data block's length was never written.
    static constexpr uint16_t kUpdateLastDataBlockLength = 0x0004;

    IdBlock() : Block(kKind) {}

    // Reads the 64 bytes from the stream's position (the block's first byte).
    // Fails only on a file identifier other than "MDF     " or "UnFinMF ";
    // a field that cannot be read keeps its default.
    bool parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found, BlockList* list) override;
    void destroy() override;

    BlockRef header_block;  // the HdBlock at offset 64, set by the document
    std::string format_id;   // 8 bytes as read
    std::string program_id;  // 8 bytes as read
    uint16_t version = 0;
    uint16_t unfinalised_flags = 0;
    uint16_t custom_unfinalised_flags = 0;
    bool unfinalised_id = false;  // the file identifier is "UnFinMF "
};

}  // namespace tolvar::mdf
