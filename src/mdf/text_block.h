// The text block ("##TX", plain text) and the metadata block ("##MD", XML):
// a name, unit or comment. Both have the same layout and parse, so one class
// serves both kinds; the kind tells plain text from XML where a link must lead
// to one of them. Owns its text.
#pragma once

#include <string>
#include <string_view>

#include "mdf/block.h"

namespace tolvar::mdf {

class TextBlock final : public Block {
public:
    // kind is BlockKind::kTx or BlockKind::kMd.
    explicit TextBlock(BlockKind kind) : Block(kind) {}

    // Reads the data section into `text`: every byte but the last (the
    // terminating zero, whatever its value). Fails on links, on a length that
    // leaves no room for the header, and on a short read; the text grows only
    // as bytes arrive, so a huge stated length cannot force a huge allocation.
    // The section's size is charged to the cache before anything is read.
    bool parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found, BlockList* list) override;
    void destroy() override;

    // The data section without its last byte; zero bytes inside stay.
    std::string text;
};

// Typed access (block.h) gives a TextBlock for either kind.
template <>
constexpr bool holds_kind<TextBlock>(BlockKind kind) {
    return kind == BlockKind::kTx || kind == BlockKind::kMd;
}

// The text of a text or metadata block, null for any other block (or none).
const std::string* block_text(const Block* block);
// The text of a block of exactly this kind (kTx or kMd), else null.
const std::string* block_text(const Block* block, BlockKind kind);

// Text as the writers of these files mean it: up to its first zero byte
// (text blocks may be padded with zeros, and their length may count them).
std::string_view up_to_zero(std::string_view text);

}  // namespace tolvar::mdf
