#include "mdf/text_block.h"

#include "mdf/block_cache.h"
#include "mdf/block_writer.h"
#include "mdf/field_cursor.h"
#include "mdf/metadata_block.h"

namespace tolvar::mdf {

bool parse_text_section(Stream& stream, BlockCache& cache, const BlockHeader& header, std::string& text) {
    if (header.link_count != 0) return false;
    text.clear();
    // A length below the header size wraps data_size; such a block holds no
    // text at all.
    if (header.length < kBlockHeaderSize) return false;
    const uint64_t n = data_size(header);
    if (n == 0) return true;
    if (!cache.charge(stream, n)) return false;
    FieldCursor cursor(&stream);
    if (!cursor.read_text(text, n)) {
        text.clear();
        return false;
    }
    text.pop_back();
    return true;
}

bool save_text_section(SaveContext& context, Block& block, const std::string& text) {
    if (block.header.link_count != 0) return false;
    const uint64_t at = context.next;
    const uint64_t length = uint64_t{text.size()} + kBlockHeaderSize + 1;
    uint64_t end = 0;
    if (at > UINT64_MAX - length || !align8(at + length, end)) return false;
    block.offset = at;
    context.next = end;
    BlockWriter out(context, at, BlockHeader{block.kind(), length, 0});
    out.bytes(text.data(), text.size());
    out.zeros(1);
    return out.finish(end - at);
}

bool TxBlock::parse(Stream& stream, BlockCache& cache, const BlockHeader& header, BlockList*) {
    if (header.link_count != 0) return false;
    this->header = header;
    return parse_text_section(stream, cache, header, text);
}

bool TxBlock::save(SaveContext& context) { return save_text_section(context, *this, text); }

void TxBlock::destroy() { std::string().swap(text); }

const std::string* block_text(const Block* block) {
    if (const auto* tx = as<TxBlock>(block)) return &tx->text;
    if (const auto* md = as<MdBlock>(block)) return &md->text;
    return nullptr;
}

}  // namespace tolvar::mdf
