#include "mdf/data_block.h"

#include <algorithm>
#include <cstdint>

#include "mdf/block_writer.h"

namespace tolvar::mdf {

bool SectionBlock::parse(Stream& stream, BlockCache&, const BlockHeader& header, BlockList*) {
    this->header.length = header.length;
    const int64_t at = stream.tell();
    data_start = at > 0 ? static_cast<uint64_t>(at) : 0;
    this->stream = &stream;
    owned_stream.reset();
    return true;
}

bool SectionBlock::save(SaveContext& context) {
    if (context.next > static_cast<uint64_t>(INT64_MAX) - kBlockHeaderSize) return false;
    const uint64_t at = context.next;
    offset = at;

    // The source: the owned stream whole, or the section up to its size.
    Stream* source = owned_stream.get();
    uint64_t limit = UINT64_MAX;
    int64_t was = 0;
    if (source != nullptr) {
        was = source->tell();
    } else {
        source = &section;
        limit = section.section_size();
        was = static_cast<int64_t>(section.position());
    }

    // Every read starts with a seek to the bytes copied so far, so a stream
    // that serves short pieces is copied whole, and a data block whose
    // section moves by the bytes asked for stays in step.
    constexpr uint64_t kChunk = 4096;
    uint8_t buffer[kChunk];
    uint64_t copied = 0;
    bool ok = true;
    while (copied < limit && copied <= static_cast<uint64_t>(INT64_MAX)) {
        if (source->seek(static_cast<int64_t>(copied), kSeekSet) != static_cast<int64_t>(copied)) break;
        const int64_t got = source->read(buffer, std::min(kChunk, limit - copied));
        if (got < 0) ok = false;
        if (got <= 0) break;
        const uint64_t n = static_cast<uint64_t>(got);
        if (!write_at(context, at + kBlockHeaderSize + copied, buffer, n)) {
            ok = false;
            break;
        }
        copied += n;
    }
    if (was >= 0) source->seek(was, kSeekSet);
    if (!ok) return false;

    const uint64_t length = kBlockHeaderSize + copied;
    uint64_t end = 0;
    if (!align8(at + length, end)) return false;
    context.next = end;
    BlockWriter head(context, at, BlockHeader{kind(), length, 0});
    if (!head.finish(kBlockHeaderSize)) return false;
    BlockWriter padding(context, at + length, BlockHeader{}, false);
    return padding.finish(end - at - length);
}

void SectionBlock::destroy() {
    close(owned_stream);
    stream = nullptr;
}

uint64_t DataSectionStream::section_size() const { return data_size(block_.header); }

namespace {

// Moves the underlying stream to data_start + target; false when it does not
// get there (including a position no Stream can name).
bool seek_underlying(SectionBlock& block, uint64_t target) {
    if (block.stream == nullptr) return false;
    const uint64_t at = block.data_start + target;
    if (at < block.data_start || at > static_cast<uint64_t>(INT64_MAX)) return false;
    return block.stream->seek(static_cast<int64_t>(at), kSeekSet) == static_cast<int64_t>(at);
}

}  // namespace

int64_t DataSectionStream::read(void* buffer, uint64_t n) {
    const uint64_t size = section_size();
    const uint64_t left = position_ < size ? size - position_ : 0;
    if (n > left) n = left;
    if (n == 0) return 0;
    if (n > static_cast<uint64_t>(INT64_MAX)) n = static_cast<uint64_t>(INT64_MAX);
    if (!seek_underlying(block_, position_)) return -1;
    const int64_t got = block_.stream->read(buffer, n);
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
    const uint64_t size = section_size();
    uint64_t target;
    switch (whence) {
        case kSeekSet:
            target = static_cast<uint64_t>(offset);
            if (target > size) target = size;
            break;
        case kSeekEnd: target = size; break;
        case kSeekCur:
            if (offset < 0) {
                const uint64_t back = static_cast<uint64_t>(-(offset + 1)) + 1;
                if (back > position_) return -1;
                target = position_ - back;
            } else {
                target = position_ + static_cast<uint64_t>(offset);
                if (target < position_ || target > size) target = size;
            }
            break;
        default: return -1;
    }
    if (target > static_cast<uint64_t>(INT64_MAX)) return -1;
    if (!seek_underlying(block_, target)) return -1;
    position_ = target;
    return static_cast<int64_t>(target);
}

DataSectionStream* section_of(Block* block) {
    if (block == nullptr) return nullptr;
    if (block->kind() != BlockKind::kDt && block->kind() != BlockKind::kSd) return nullptr;
    return &static_cast<SectionBlock*>(block)->section;
}

}  // namespace tolvar::mdf
