#include "mdf/metadata_block.h"

#include "mdf/text_block.h"

namespace tolvar::mdf {

bool MdBlock::parse(Stream& stream, BlockCache& cache, const BlockHeader& header, BlockList*) {
    if (header.link_count != 0) return false;
    this->header = header;
    return parse_text_section(stream, cache, header, text);
}

bool MdBlock::save(SaveContext& context) { return save_text_section(context, *this, text); }

void MdBlock::destroy() { std::string().swap(text); }

}  // namespace tolvar::mdf
