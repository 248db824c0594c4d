#include "mdf/data_block.h"

#include <algorithm>
#include <cstdint>

namespace tolvar::mdf {

bool SectionBlock::parse(stream::Stream& stream, BlockCache&, const BlockHeader& found, BlockList*) {
    header.length = found.length;
    const int64_t at = stream.tell();
    data_start = at > 0 ? static_cast<uint64_t>(at) : 0;
    file = &stream;
    owned_stream.reset();
    return true;
}

void SectionBlock::destroy() {
    close(owned_stream);
    file = nullptr;
}

uint64_t DataSectionStream::section_size() const { return data_size(block_.header); }

namespace {

// Moves the underlying stream to data_start + target; false when it does not
// get there (including a position no Stream can name).
bool seek_underlying(SectionBlock& block, uint64_t target) {
    if (block.file == nullptr) return false;
    const uint64_t at = block.data_start + target;
    if (at < block.data_start || at > static_cast<uint64_t>(INT64_MAX)) return false;
    return block.file->seek(static_cast<int64_t>(at), stream::kSeekSet) == static_cast<int64_t>(at);
}

}  // namespace

int64_t DataSectionStream::read(void* buffer, uint64_t n) {
    const uint64_t size = section_size();
    const uint64_t left = position_ < size ? size - position_ : 0;
    if (n > left) n = left;
    if (n == 0) return 0;
    if (n > static_cast<uint64_t>(INT64_MAX)) n = static_cast<uint64_t>(INT64_MAX);
    if (!seek_underlying(block_, position_)) return -1;
    const int64_t got = block_.file->read(buffer, n);
    if (block_.kind() == BlockKind::kSd) {
        // Only what arrived is consumed; an error leaves the position alone.
        if (got > 0) position_ += static_cast<uint64_t>(got);
    } else {
        position_ += n;
    }
    return got;
}

int64_t DataSectionStream::tell() {
    return position_ > static_cast<uint64_t>(INT64_MAX) ? -1 : static_cast<int64_t>(position_);
}

int64_t DataSectionStream::seek(int64_t offset, int whence) {
    const int64_t target = stream::bounded_seek_target(offset, whence, position_, section_size());
    if (target < 0 || !seek_underlying(block_, static_cast<uint64_t>(target))) return -1;
    position_ = static_cast<uint64_t>(target);
    return target;
}

DataSectionStream* section_of(Block* block) {
    if (block == nullptr) return nullptr;
    if (block->kind() != BlockKind::kDt && block->kind() != BlockKind::kSd) return nullptr;
    return &static_cast<SectionBlock*>(block)->section;
}

}  // namespace tolvar::mdf
