#include "mdf/block_sequence_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "log/log.h"
#include "stream/zlib_inflate.h"

namespace tolvar::mdf {

namespace {

using ull = unsigned long long;

bool fits_file(uint64_t start, uint64_t size, int64_t file_size) {
    if (file_size < 0) return true;  // unknown: a read past the end just ends
    const uint64_t end = start + size;
    return end >= start && end <= static_cast<uint64_t>(file_size);
}

// The bytes of the file a block of the list stands on: a compressed block's
// compressed bytes, a block of the kind its data as far as the file holds
// it, nothing for any other block.
uint64_t bytes_stood_on(const BlockRef& ref, BlockKind kind, int64_t file_size) {
    if (const auto* zipped = as<DzBlock>(ref)) return zipped->compressed_length;
    if (ref->kind() != kind) return 0;
    const auto* stored = static_cast<const SectionBlock*>(ref.get());
    uint64_t size = ref->header.length >= kBlockHeaderSize ? data_size(ref->header) : 0;
    if (file_size >= 0 && !fits_file(stored->data_start, size, file_size)) {
        const uint64_t end = static_cast<uint64_t>(file_size);
        size = stored->data_start < end ? end - stored->data_start : 0;
    }
    return size;
}

// Why a compressed block of the list is not inflated, or null when it is:
// the data of another kind, an unknown compression, compressed bytes beyond
// the block or the file, or a size beyond the cap or beyond what its
// compressed bytes can hold.
const char* refusal_of(const DzBlock& zipped, BlockKind kind, int64_t file_size) {
    const char first = kind == BlockKind::kSd ? 'S' : 'D';
    const char second = kind == BlockKind::kSd ? 'D' : 'T';
    if (!zipped.holds(first, second)) return "it holds another kind of data";
    if (zipped.zip_type != DzBlock::kZipDeflate && zipped.zip_type != DzBlock::kZipTransposedDeflate) {
        return "its compression is unknown";
    }
    if (!zipped.compressed_fits() || !fits_file(zipped.compressed_start, zipped.compressed_length, file_size)) {
        return "its compressed bytes reach beyond the block or the file";
    }
    if (zipped.original_length > kMaxInflatedBlock) return "it declares more than 64 MiB of data";
    if (zipped.original_length / kMaxDeflateRatio > zipped.compressed_length) {
        return "it declares more data than its compressed bytes can hold";
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<BlockSequenceStream> BlockSequenceStream::create(const BlockList& blocks, BlockKind kind,
                                                                 int64_t file_size) {
    try {
        std::unique_ptr<BlockSequenceStream> sequence(new BlockSequenceStream());
        uint64_t at = 0;
        // Bytes of the file the blocks so far stand on. The blocks of a sound
        // list never share their bytes, so more than the file holds means a
        // list that names one block twice or blocks that overlap: followed,
        // a small file could stand for its own size many times over.
        uint64_t claimed = 0;
        for (const BlockRef& ref : blocks) {
            Piece piece;
            piece.begin = at;
            const uint64_t stands_on = bytes_stood_on(ref, kind, file_size);
            claimed += stands_on;
            if (file_size >= 0 && (claimed < stands_on || claimed > static_cast<uint64_t>(file_size))) {
                TOLVAR_LOG_WARNING("Data block at offset %llu shares its bytes with another block of the list; "
                                   "the data ends before it",
                                   static_cast<ull>(ref->offset));
                sequence->refused_ = true;
                break;
            }
            if (ref->kind() == kind) {
                const auto* stored = static_cast<const SectionBlock*>(ref.get());
                piece.stored = stored;
                piece.size = data_size(stored->header);
                if (stored->header.length < kBlockHeaderSize) piece.size = 0;
                if (!fits_file(stored->data_start, piece.size, file_size)) {
                    // The last complete bytes are still served; nothing after.
                    const uint64_t end = static_cast<uint64_t>(file_size);
                    piece.size = stored->data_start < end ? end - stored->data_start : 0;
                    sequence->pieces_.push_back(piece);
                    at += piece.size;
                    TOLVAR_LOG_WARNING("Data block at offset %llu reaches beyond the file; the data ends there",
                                       static_cast<ull>(ref->offset));
                    break;
                }
            } else if (const auto* zipped = as<DzBlock>(ref)) {
                const char* refusal = refusal_of(*zipped, kind, file_size);
                if (refusal != nullptr) {
                    TOLVAR_LOG_WARNING("Compressed data block at offset %llu refused, %s; the data ends before it",
                                       static_cast<ull>(ref->offset), refusal);
                    sequence->refused_ = true;
                    break;
                }
                piece.zipped = zipped;
                piece.size = zipped->original_length;
            } else {
                TOLVAR_LOG_WARNING("Block at offset %llu holds no data of this kind; the data ends before it",
                                   static_cast<ull>(ref->offset));
                sequence->refused_ = true;
                break;
            }
            if (piece.size == 0) continue;
            sequence->pieces_.push_back(piece);
            at += piece.size;
        }
        sequence->size_ = at;
        return sequence;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

size_t BlockSequenceStream::piece_at(uint64_t position) const {
    // The last piece that begins at or before the position.
    auto it = std::upper_bound(pieces_.begin(), pieces_.end(), position,
                               [](uint64_t p, const Piece& piece) { return p < piece.begin; });
    if (it == pieces_.begin()) return kNone;
    return static_cast<size_t>(it - pieces_.begin()) - 1;
}

bool BlockSequenceStream::inflate_piece(size_t index) {
    if (inflated_index_ == index) return true;
    const Piece& piece = pieces_[index];
    const DzBlock& zipped = *piece.zipped;
    inflated_index_ = kNone;
    bool ok = false;
    try {
        // Sizes were checked against the file and the cap when the sequence
        // was built, so these allocations are bounded by them.
        compressed_.resize(zipped.compressed_length);
        const int64_t at = static_cast<int64_t>(zipped.compressed_start);
        ok = zipped.file->seek(at, stream::kSeekSet) == at &&
             stream::read_fully(*zipped.file, compressed_.data(), compressed_.size()) ==
                 static_cast<int64_t>(compressed_.size());
        if (ok) {
            inflated_.resize(piece.size);
            ok = stream::inflate_exact(compressed_.data(), compressed_.size(), inflated_.data(), inflated_.size());
        }
        if (ok && zipped.zip_type == DzBlock::kZipTransposedDeflate) {
            // Written column by column: byte c of record r lies at
            // c * records + r. Bytes after the last whole record were not
            // transposed.
            const uint64_t columns = zipped.zip_parameter;
            const uint64_t records = columns != 0 ? piece.size / columns : 0;
            if (records > 1 && columns > 1) {
                compressed_.assign(inflated_.begin(), inflated_.begin() + static_cast<std::ptrdiff_t>(records * columns));
                const uint8_t* in = compressed_.data();
                uint8_t* out = inflated_.data();
                for (uint64_t c = 0; c < columns; ++c) {
                    const uint8_t* column = in + c * records;
                    for (uint64_t r = 0; r < records; ++r) out[r * columns + c] = column[r];
                }
            }
        }
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (!ok) {
        compressed_.clear();
        compressed_.shrink_to_fit();
        inflated_.clear();
        inflated_.shrink_to_fit();
        TOLVAR_LOG_WARNING("Compressed data block at offset %llu does not inflate to the %llu bytes it declares; "
                           "the data ends before it",
                           static_cast<ull>(zipped.offset), static_cast<ull>(piece.size));
        size_ = piece.begin;
        pieces_.resize(index);
        refused_ = true;
        if (position_ > size_) position_ = size_;
        return false;
    }
    inflated_index_ = index;
    return true;
}

int64_t BlockSequenceStream::read_stored(const Piece& piece, uint64_t offset, uint8_t* out, uint64_t n) {
    const SectionBlock& block = *piece.stored;
    if (block.file == nullptr) return -1;
    const uint64_t at = block.data_start + offset;
    if (at < block.data_start || at > static_cast<uint64_t>(INT64_MAX)) return -1;
    if (block.file->seek(static_cast<int64_t>(at), stream::kSeekSet) != static_cast<int64_t>(at)) return -1;
    return block.file->read(out, n);
}

int64_t BlockSequenceStream::read(void* buffer, uint64_t n) {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint64_t done = 0;
    while (done < n && position_ < size_) {
        const size_t index = piece_at(position_);
        if (index == kNone) break;
        const Piece& piece = pieces_[index];
        const uint64_t offset = position_ - piece.begin;
        const uint64_t want = std::min(n - done, piece.size - offset);
        uint64_t got = 0;
        if (piece.zipped != nullptr) {
            if (!inflate_piece(index)) break;
            std::memcpy(out + done, inflated_.data() + offset, want);
            got = want;
        } else {
            const int64_t read = read_stored(piece, offset, out + done, want);
            if (read < 0) return done != 0 ? static_cast<int64_t>(done) : -1;
            got = static_cast<uint64_t>(read);
        }
        done += got;
        position_ += got;
        if (got < want) break;
    }
    return static_cast<int64_t>(done);
}

int64_t BlockSequenceStream::tell() {
    return position_ > static_cast<uint64_t>(INT64_MAX) ? -1 : static_cast<int64_t>(position_);
}

int64_t BlockSequenceStream::seek(int64_t offset, int whence) {
    if (whence == stream::kSeekSet && offset < 0) return -1;
    const int64_t target = stream::bounded_seek_target(offset, whence, position_, size_);
    if (target < 0) return -1;
    position_ = static_cast<uint64_t>(target);
    return target;
}

}  // namespace tolvar::mdf
