#include "mdf/data_list_block.h"

#include <algorithm>
#include <new>
#include <unordered_set>
#include <vector>

#include "log/log.h"
#include "mdf/block_cache.h"
#include "stream/field_cursor.h"

namespace tolvar::mdf {

bool DlBlock::parse(stream::Stream& stream, BlockCache&, const BlockHeader& found, BlockList*) {
    if (found.link_count == 0) return false;
    header = found;
    stream::FieldCursor links_cursor(&stream);
    std::vector<uint64_t> links;
    if (!read_links(stream, found, links)) return false;
    stream::FieldCursor cursor(&stream, links_cursor.base() + 8 * found.link_count);
    bool ok = cursor.read_u8(flags);
    ok = ok && cursor.skip(3);
    ok = ok && cursor.read_u32(count);
    if (!ok) return false;
    // The offsets or the common length that follow only restate the sizes of
    // the blocks, which are read from the blocks themselves.
    next = links[0];
    const uint64_t listed = std::min<uint64_t>(count, links.size() - 1);
    items.assign(links.begin() + 1, links.begin() + 1 + static_cast<std::ptrdiff_t>(listed));
    return true;
}

bool HlBlock::parse(stream::Stream& stream, BlockCache&, const BlockHeader& found, BlockList*) {
    std::vector<uint64_t> links;
    uint64_t data_start = 0;
    if (!parse_head(stream, found, links, data_start)) return false;
    first_list = links[0];
    stream::FieldCursor cursor(&stream, data_start);
    return cursor.read_u16(flags) && cursor.read_u8(zip_type);
}

bool DzBlock::parse(stream::Stream& stream, BlockCache&, const BlockHeader& found, BlockList*) {
    std::vector<uint64_t> links;
    uint64_t data_start = 0;
    if (!parse_head(stream, found, links, data_start)) return false;
    stream::FieldCursor cursor(&stream, data_start);
    bool ok = cursor.read_bytes(original_kind, 2);
    ok = ok && cursor.read_u8(zip_type);
    ok = ok && cursor.skip(1);
    ok = ok && cursor.read_u32(zip_parameter);
    ok = ok && cursor.read_u64(original_length);
    ok = ok && cursor.read_u64(compressed_length);
    if (!ok) return false;
    compressed_start = data_start + kFieldsSize;
    file = &stream;
    return true;
}

bool DzBlock::compressed_fits() const {
    const uint64_t section = data_size(header);
    return header.length >= kBlockHeaderSize && section <= header.length && section >= kFieldsSize &&
           compressed_length <= section - kFieldsSize;
}

namespace {

bool is_data_block(const Block* block) {
    if (block == nullptr) return false;
    const BlockKind kind = block->kind();
    return kind == BlockKind::kDt || kind == BlockKind::kSd || kind == BlockKind::kDz;
}

void log_list_end(uint64_t offset, const char* why) {
    TOLVAR_LOG_WARNING("Data list ends at offset %llu: %s", static_cast<unsigned long long>(offset), why);
}

}  // namespace

bool collect_data_blocks(stream::Stream& stream, BlockCache& cache, const BlockRef& first, BlockList& blocks) {
    try {
        if (!first) return true;
        if (is_data_block(first.get())) {
            blocks.push_front(first);
            return true;
        }
        uint64_t at = kNoLink;
        if (const auto* dl = as<DlBlock>(first)) {
            at = dl->offset;
        } else if (const auto* hl = as<HlBlock>(first)) {
            at = hl->first_list;
        } else {
            return true;
        }
        // Collected front to back, then put in front of `blocks` in order.
        std::vector<BlockRef> found;
        std::unordered_set<uint64_t> lists;
        // A block listed twice would be read twice: the list ends there.
        std::unordered_set<uint64_t> listed;
        while (at != kNoLink) {
            if (!lists.insert(at).second) {
                log_list_end(at, "the chain of data lists loops");
                break;
            }
            BlockRef list = parse_block_at(stream, at, cache);
            const auto* dl = as<DlBlock>(list);
            if (dl == nullptr) {
                log_list_end(at, "no data list there");
                break;
            }
            bool ended = false;
            for (uint64_t item : dl->items) {
                if (item != kNoLink && !listed.insert(item).second) {
                    log_list_end(item, "the block is listed twice");
                    ended = true;
                    break;
                }
                BlockRef block = item != kNoLink ? parse_block_at(stream, item, cache) : BlockRef();
                if (!is_data_block(block.get())) {
                    log_list_end(item == kNoLink ? 0 : item, "no data block there");
                    ended = true;
                    break;
                }
                found.push_back(std::move(block));
            }
            if (ended) break;
            at = dl->next;
        }
        for (auto it = found.rbegin(); it != found.rend(); ++it) blocks.push_front(std::move(*it));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace tolvar::mdf
