// ColumnWriter: writes merged frames, row after row, into the allocations of
// a ColumnChunk as its layout says, and takes in the memory of store chunks
// the merge has copied out: their pages move to where a column will be
// written next instead of being given back while fresh ones are faulted in.
// Borrows the chunk and the layout.
#pragma once

#include <cstdint>
#include <cstring>

#include "bus/column_layout.h"
#include "bus/frame.h"
#include "bus/frame_store.h"

namespace tolvar::bus {

class ColumnWriter {
public:
    // What the columns wanted allow leaving out per row: every basic column
    // (timestamp, identifier, dlc, flags, channel) and the payload as padded
    // rows, or as values with offsets, or anything (each column checked).
    enum class Shape { kRows, kValues, kGeneral };

    // Writes into `chunk`, whose allocations the caller made for `capacity`
    // rows and `payload_capacity` bytes of payload values (Data::kValues).
    // `channel_index` gives each channel code's dictionary entry (kCodes).
    ColumnWriter(const ColumnLayout& layout, ColumnChunk& chunk, uint64_t capacity, uint64_t payload_capacity,
                 const int16_t* channel_index);

    Shape shape() const { return shape_; }
    uint64_t rows() const { return row_; }
    uint64_t payload_written() const { return value_at_; }

    // Looks for the chunk's mappings that can take a store's pages (tables
    // read whole; a recipient must be written in order from its start).
    void accept_pages();
    // Done with a store chunk whose rows are all written: its memory goes to
    // a column (accept_pages) or back to the system.
    void retire(FrameStore::Chunk& chunk);

    // Writes one row: `payload` has payload_length(frame) bytes, and at least
    // kCanPayloadSize bytes can be read from it (a store chunk's room).
    template <Shape S>
    void emit(const Frame& row, const uint8_t* payload);

    // Writes what waits in the batch, and the last offset; the chunk is
    // complete afterwards.
    void finish();

private:
    // Rows whose flags and channels wait in batch_flags_ and batch_channels_
    // until they are spread over their columns in one pass. A multiple of 8,
    // so that every batch starts on a whole byte of Arrow's bit columns.
    static constexpr uint32_t kBatch = 4096;
    static constexpr uint64_t kTextUnits = 8;

    void flush();
    bool give(stream::Allocation& pages, uint64_t bytes);

    // A column allocation that is a mapping of its own, and how far into it
    // the writer has written: below row_ * stride + slack (value_at_ + slack
    // for the payload values) for the rows written so far, and below `given`
    // for the pages moved in.
    struct Recipient {
        stream::Allocation* memory;
        uint64_t size;
        uint64_t stride;  // bytes per row; 0: the payload values
        uint64_t slack;   // bytes a row's writes may reach past its own
        uint64_t given;
    };

    const ColumnLayout& layout_;
    ColumnChunk& chunk_;
    Shape shape_ = Shape::kGeneral;
    uint64_t capacity_;
    uint64_t payload_capacity_;
    const int16_t* channel_index_;
    // Where each column is written; null when it is not wanted.
    double* timestamp_ = nullptr;
    uint32_t* arbitration_id_ = nullptr;
    uint8_t* dlc_ = nullptr;
    uint8_t* flags_[kFlagCount] = {};
    int16_t* channel_ = nullptr;
    uint32_t* channel_text_ = nullptr;
    uint8_t* data_rows_ = nullptr;
    uint8_t* data_values_ = nullptr;
    int32_t* offsets32_ = nullptr;
    int64_t* offsets64_ = nullptr;
    const uint8_t* rows_end_ = nullptr;
    const uint32_t* text_end_ = nullptr;
    uint64_t span_ = 0;  // bytes of a padded payload row copied at once

    uint64_t row_ = 0;
    uint64_t value_at_ = 0;
    static constexpr uint32_t kMaxRecipients = 9;
    Recipient recipients_[kMaxRecipients];
    uint32_t recipient_count_ = 0;
    uint64_t batch_start_ = 0;
    uint8_t batch_flags_[kBatch + 8];
    uint16_t batch_channels_[kBatch];
};

namespace column_detail {

// 64 bytes of ones, then 64 of zeros: the 64 bytes from kKeep + 64 - n keep
// the first n bytes of a word and clear the rest.
alignas(64) inline constexpr uint8_t kKeep[128] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Writes `span` bytes (a multiple of 8, at most 64, at least `length`): the
// first `length` bytes of `bytes`, then zeros. Reads `span` bytes of `bytes`.
inline void copy_padded(uint8_t* out, const uint8_t* bytes, uint64_t length, uint64_t span) {
    const uint8_t* keep = kKeep + kCanPayloadSize - length;
    for (uint64_t i = 0; i < span; i += 8) {
        uint64_t word;
        uint64_t mask;
        std::memcpy(&word, bytes + i, 8);
        std::memcpy(&mask, keep + i, 8);
        word &= mask;
        std::memcpy(out + i, &word, 8);
    }
}

}  // namespace column_detail

template <ColumnWriter::Shape S>
inline void ColumnWriter::emit(const Frame& row, const uint8_t* bytes) {
    const uint64_t length = payload_length(row);
    const uint64_t r = row_++;
    const uint32_t b = static_cast<uint32_t>(r - batch_start_);
    if (S != Shape::kGeneral || timestamp_ != nullptr) timestamp_[r] = row.timestamp;
    if (S != Shape::kGeneral || arbitration_id_ != nullptr) arbitration_id_[r] = row.id;
    if (S != Shape::kGeneral || dlc_ != nullptr) dlc_[r] = row.dlc;
    batch_flags_[b] = row.flags;
    batch_channels_[b] = row.channel;
    if (S == Shape::kRows || (S == Shape::kGeneral && data_rows_ != nullptr)) {
        const uint64_t width = chunk_.data_width;
        uint8_t* out = data_rows_ + r * width;
        // A payload's room follows every row's payload in the store, and the
        // rows after this one are written later: a whole padded span at once,
        // zeros and all, where the buffer has room for it.
        if (static_cast<uint64_t>(rows_end_ - out) >= span_) {
            column_detail::copy_padded(out, bytes, length, span_);
        } else {
            if (length != 0) std::memcpy(out, bytes, length);
            if (width > length) std::memset(out + length, 0, width - length);
        }
    }
    if (S == Shape::kValues || (S == Shape::kGeneral && data_values_ != nullptr)) {
        uint8_t* out = data_values_ + value_at_;
        // A whole payload's width at once where the buffer has room for it:
        // the values after this one overwrite the excess.
        if (payload_capacity_ - value_at_ >= kCanPayloadSize) {
            std::memcpy(out, bytes, kCanPayloadSize);
        } else if (length != 0) {
            std::memcpy(out, bytes, length);
        }
        if (offsets32_ != nullptr) {
            offsets32_[r] = static_cast<int32_t>(value_at_);
        } else {
            offsets64_[r] = static_cast<int64_t>(value_at_);
        }
        value_at_ += length;
    }
    if (b + 1 == kBatch) flush();
}

}  // namespace tolvar::bus
