#include "bus/column_writer.h"

#include <cstddef>

namespace tolvar::bus {

namespace {

// Bit k of each of 8 flag bytes (one little-endian word), as the 8 bytes 0
// or 1 / as one byte of 8 bits, the first row's the lowest.
inline uint64_t flag_bytes(uint64_t word, unsigned k) { return (word >> k) & 0x0101010101010101u; }
inline uint8_t flag_bits(uint64_t word, unsigned k) {
    return static_cast<uint8_t>((flag_bytes(word, k) * 0x0102040810204080u) >> 56);
}

template <class T>
T* column_of(ColumnChunk& chunk, Column column) {
    stream::Allocation& memory = chunk.columns[column_index(column)];
    return memory ? reinterpret_cast<T*>(memory.data()) : nullptr;
}

}  // namespace

ColumnWriter::ColumnWriter(const ColumnLayout& layout, ColumnChunk& chunk, uint64_t capacity,
                           uint64_t payload_capacity, const int16_t* channel_index)
    : layout_(layout), chunk_(chunk), capacity_(capacity), payload_capacity_(payload_capacity),
      channel_index_(channel_index) {
    timestamp_ = column_of<double>(chunk, Column::kTimestamp);
    arbitration_id_ = column_of<uint32_t>(chunk, Column::kArbitrationId);
    dlc_ = column_of<uint8_t>(chunk, Column::kDlc);
    bool all_flags = true;
    for (unsigned k = 0; k < kFlagCount; ++k) {
        flags_[k] = column_of<uint8_t>(chunk, static_cast<Column>(kFirstFlagColumn + k));
        all_flags = all_flags && flags_[k] != nullptr;
    }
    if (layout.channel == ColumnLayout::Channel::kText) {
        channel_text_ = column_of<uint32_t>(chunk, Column::kChannel);
    } else {
        channel_ = column_of<int16_t>(chunk, Column::kChannel);
    }
    if (layout.data == ColumnLayout::Data::kRows) {
        data_rows_ = column_of<uint8_t>(chunk, Column::kData);
    } else if ((data_values_ = column_of<uint8_t>(chunk, Column::kData)) != nullptr) {
        if (chunk.large_offsets) {
            offsets64_ = reinterpret_cast<int64_t*>(chunk.offsets.data());
        } else {
            offsets32_ = reinterpret_cast<int32_t*>(chunk.offsets.data());
        }
    }
    rows_end_ = data_rows_ + capacity * chunk.data_width;
    text_end_ = channel_text_ + capacity * chunk.text_width;
    span_ = (chunk.data_width + 7) & ~uint64_t{7};
    if (span_ > kCanPayloadSize) span_ = kCanPayloadSize;
    const bool basic = timestamp_ != nullptr && arbitration_id_ != nullptr && dlc_ != nullptr && all_flags &&
                       (channel_ != nullptr || channel_text_ != nullptr);
    if (basic && data_rows_ != nullptr) {
        shape_ = Shape::kRows;
    } else if (basic && data_values_ != nullptr) {
        shape_ = Shape::kValues;
    }
}

void ColumnWriter::accept_pages() {
    const uint64_t rows = capacity_;
    const uint64_t flag_row = layout_.flag_bits ? 0 : 1;
    const uint64_t offset_size = chunk_.large_offsets ? 8 : 4;
    auto column = [&](Column c) { return &chunk_.columns[column_index(c)]; };
    const Recipient candidates[] = {
        {column(Column::kData), layout_.data == ColumnLayout::Data::kRows ? rows * chunk_.data_width : payload_capacity_,
         layout_.data == ColumnLayout::Data::kRows ? chunk_.data_width : 0, kCanPayloadSize, 0},
        {column(Column::kChannel), channel_text_ != nullptr ? rows * chunk_.text_width * 4 : rows * 2,
         channel_text_ != nullptr ? chunk_.text_width * 4 : 2, channel_text_ != nullptr ? kTextUnits * 4 : 0, 0},
        {column(Column::kTimestamp), rows * 8, 8, 0, 0},
        {column(Column::kArbitrationId), rows * 4, 4, 0, 0},
        {&chunk_.offsets, (rows + 1) * offset_size, offset_size, 0, 0},
        {column(Column::kDlc), rows, 1, 0, 0},
        {column(Column::kIsExtendedId), rows * flag_row, flag_row, 0, 0},
    };
    for (const Recipient& r : candidates) {
        if (r.memory->mapped() && r.size >= stream::Allocation::kMappedFrom && recipient_count_ < kMaxRecipients) {
            recipients_[recipient_count_++] = r;
        }
    }
}

// Frees a chunk copied out, or moves the pages it wrote (its rows and
// payloads, from its start) where a column will be written next: they are in
// memory already, where a column's fresh pages would each cost a fault and a
// page of zeros. The pages it never wrote go back.
void ColumnWriter::retire(FrameStore::Chunk& chunk) {
    if (chunk.memory.mapped()) {
        const uint64_t bytes = chunk.written() & ~uint64_t{stream::Allocation::kMappingAlignment - 1};
        if (bytes != 0 && give(chunk.memory, bytes)) return;
    }
    chunk.memory = stream::Allocation();
}

// Moves `bytes` of pages to the recipient that will write them soonest, past
// what it has written; pages put far ahead would only wait there, and the
// memory in use would grow meanwhile, so they go back instead.
bool ColumnWriter::give(stream::Allocation& pages, uint64_t bytes) {
    constexpr uint64_t kAlign = stream::Allocation::kMappingAlignment;
    constexpr uint64_t kFarthest = uint64_t{32} << 20;
    Recipient* best = nullptr;
    uint64_t best_at = 0;
    uint64_t best_ahead = kFarthest + 1;
    for (uint32_t i = 0; i < recipient_count_; ++i) {
        Recipient& r = recipients_[i];
        // Whole pieces of the buffer, past everything written.
        const uint64_t usable = r.size & ~uint64_t{kAlign - 1};
        const uint64_t written = (r.stride == 0 ? value_at_ : row_ * r.stride) + r.slack;
        uint64_t at = written > r.given ? written : r.given;
        at = (at + kAlign - 1) & ~uint64_t{kAlign - 1};
        if (at >= usable || usable - at < bytes) continue;
        const uint64_t ahead = at - written;
        if (ahead < best_ahead) {
            best = &r;
            best_at = at;
            best_ahead = ahead;
        }
    }
    if (best == nullptr || !pages.hand_over(bytes, *best->memory, best_at)) return false;
    best->given = best_at + bytes;
    return true;
}

// Spreads the batch's flags and channels over their columns.
void ColumnWriter::flush() {
    const uint64_t start = batch_start_;
    const uint32_t n = static_cast<uint32_t>(row_ - start);
    if (n == 0) return;
    // Whole words of 8 rows; the flags beyond the last row are zero.
    const uint32_t words = (n + 7) / 8;
    std::memset(batch_flags_ + n, 0, words * 8 - n);
    for (unsigned k = 0; k < kFlagCount; ++k) {
        uint8_t* column = flags_[k];
        if (column == nullptr) continue;
        if (layout_.flag_bits) {
            uint8_t* out = column + start / 8;
            for (uint32_t w = 0; w < words; ++w) {
                uint64_t word;
                std::memcpy(&word, batch_flags_ + 8 * w, 8);
                out[w] = flag_bits(word, k);
            }
        } else {
            uint8_t* out = column + start;
            const uint32_t whole = n / 8;
            for (uint32_t w = 0; w < whole; ++w) {
                uint64_t word;
                std::memcpy(&word, batch_flags_ + 8 * w, 8);
                word = flag_bytes(word, k);
                std::memcpy(out + 8 * w, &word, 8);
            }
            for (uint32_t j = 8 * whole; j < n; ++j) out[j] = static_cast<uint8_t>(batch_flags_[j] >> k & 1u);
        }
    }
    if (channel_ != nullptr) {
        int16_t* out = channel_ + start;
        for (uint32_t j = 0; j < n; ++j) out[j] = channel_index_[batch_channels_[j]];
    }
    if (channel_text_ != nullptr) {
        const uint64_t width = chunk_.text_width;
        const uint32_t* texts = channel_texts();
        uint32_t* out = channel_text_ + start * width;
        for (uint32_t j = 0; j < n; ++j, out += width) {
            const uint32_t* text = texts + batch_channels_[j] * kTextUnits;
            // All 8 code units where the buffer has room: the next row's text
            // overwrites those beyond this one's width.
            if (text_end_ - out >= static_cast<ptrdiff_t>(kTextUnits)) {
                std::memcpy(out, text, kTextUnits * 4);
            } else {
                std::memcpy(out, text, width * 4);
            }
        }
    }
    batch_start_ = row_;
}

void ColumnWriter::finish() {
    flush();
    if (offsets32_ != nullptr) offsets32_[row_] = static_cast<int32_t>(value_at_);
    if (offsets64_ != nullptr) offsets64_[row_] = static_cast<int64_t>(value_at_);
    chunk_.rows = row_;
    chunk_.payload_bytes = value_at_;
}

}  // namespace tolvar::bus
