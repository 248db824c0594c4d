// The metadata block ("##MD"): a comment as XML text. Owns its text; same
// layout and parse as the text block, but a kind of its own, so a link that
// must lead to XML is told apart from one that leads to plain text.
#pragma once

#include <string>

#include "mdf/block.h"

namespace tolvar::mdf {

class MdBlock final : public Block {
public:
    static constexpr BlockKind kKind = BlockKind::kMd;

    MdBlock() : Block(kKind) {}

    bool parse(Stream& stream, BlockCache& cache, const BlockHeader& header, BlockList* list) override;
    bool save(SaveContext& context) override;
    void destroy() override;

    // The data section without its last byte; zero bytes inside stay.
    std::string text;
};

}  // namespace tolvar::mdf
