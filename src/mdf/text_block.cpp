#include "mdf/text_block.h"

#include "mdf/block_cache.h"
#include "stream/field_cursor.h"

namespace tolvar::mdf {

bool TextBlock::parse(stream::Stream& stream, BlockCache& cache, const BlockHeader& found, BlockList*) {
    if (found.link_count != 0) return false;
    header = found;
    text.clear();
    // A length below the header size wraps data_size; such a block holds no
    // text at all.
    if (found.length < kBlockHeaderSize) return false;
    const uint64_t n = data_size(found);
    if (n == 0) return true;
    if (!cache.charge(stream, n)) return false;
    stream::FieldCursor cursor(&stream);
    if (!cursor.read_text(text, n)) {
        text.clear();
        return false;
    }
    text.pop_back();
    return true;
}

void TextBlock::destroy() { std::string().swap(text); }

const std::string* block_text(const Block* block) {
    const auto* text = as<TextBlock>(block);
    return text != nullptr ? &text->text : nullptr;
}

const std::string* block_text(const Block* block, BlockKind kind) {
    return block != nullptr && block->kind() == kind ? block_text(block) : nullptr;
}

std::string_view up_to_zero(std::string_view text) {
    const size_t end = text.find('\0');
    return end == std::string_view::npos ? text : text.substr(0, end);
}

}  // namespace tolvar::mdf
