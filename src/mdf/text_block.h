// The text block ("##TX"): a name, unit or comment as plain text. Owns its
// text. The parse is shared with the metadata block, which has the same layout.
#pragma once

#include <string>

#include "mdf/block.h"

namespace tolvar::mdf {

// Reads the data section of a block without links into `text`: every byte but
// the last (the terminating zero, whatever its value). Fails on links, on a
// length that leaves no room for the header, and on a short read; the text
// grows only as bytes arrive, so a huge stated length cannot force a huge
// allocation.
// The section's size is charged to the cache before anything is read.
bool parse_text_section(Stream& stream, BlockCache& cache, const BlockHeader& header, std::string& text);

// Writes a block without links holding `text`: length = text length + 25
// (the text and one terminating zero byte), then zero bytes up to the next
// multiple of 8, which the length does not count and where the next block
// starts. Fails for a block that holds links.
bool save_text_section(SaveContext& context, Block& block, const std::string& text);

class TxBlock final : public Block {
public:
    static constexpr BlockKind kKind = BlockKind::kTx;

    TxBlock() : Block(kKind) {}

    bool parse(Stream& stream, BlockCache& cache, const BlockHeader& header, BlockList* list) override;
    bool save(SaveContext& context) override;
    void destroy() override;

    // The data section without its last byte; zero bytes inside stay.
    std::string text;
};

// The text of a TxBlock or an MdBlock, null for any other block (or none).
const std::string* block_text(const Block* block);

}  // namespace tolvar::mdf
