// MessageTable: the decoded rows of one message, a column each for the
// timestamp, the channel code, the J1939 source address and every signal,
// grown as rows arrive. A signal absent from a frame is kAbsentBits in a
// value column and -1 in a code column; validity bitmaps in Arrow's layout
// are made from those when asked. Owns its columns (GrowingBuffer).
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "bus/growing_buffer.h"
#include "bus/signal_program.h"

namespace tolvar::bus {

// A quiet NaN of its own payload: numpy and pandas see NaN, and no decoded
// value has these bits (a NaN decoded from a frame is stored as the plain
// quiet NaN, kPlainNanBits).
constexpr uint64_t kAbsentBits = 0x7FF80000DEC0DE00ULL;
constexpr uint64_t kPlainNanBits = 0x7FF8000000000000ULL;
inline double absent_value() {
    double value;
    std::memcpy(&value, &kAbsentBits, sizeof value);
    return value;
}
inline bool is_absent(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits == kAbsentBits;
}

class MessageTable {
public:
    MessageTable() = default;
    // A table with a source address column or not, and these signal columns.
    MessageTable(bool source_address, std::vector<ColumnKind> kinds);
    MessageTable(MessageTable&&) noexcept = default;
    MessageTable& operator=(MessageTable&&) noexcept = default;

    uint64_t rows() const { return rows_; }
    size_t column_count() const { return kinds_.size(); }
    ColumnKind kind(size_t column) const { return kinds_[column]; }
    bool has_source_address() const { return source_address_; }

    // Room for row rows(): its values are written through the pointers
    // below, then commit_row() adds it. False when memory runs out.
    bool make_room() { return rows_ < capacity_ || grow(); }
    void commit_row() { ++rows_; }

    double* timestamp() const { return reinterpret_cast<double*>(timestamp_.data()); }
    uint16_t* channel() const { return reinterpret_cast<uint16_t*>(channel_.data()); }
    uint8_t* source_address() const { return source_address_column_.data(); }  // null without one
    // Per column: float64 (kValue) or int32 (kCode) per row.
    uint8_t* const* columns() const { return pointers_.data(); }
    double* values(size_t column) const { return reinterpret_cast<double*>(pointers_[column]); }
    int32_t* codes(size_t column) const { return reinterpret_cast<int32_t*>(pointers_[column]); }

    // The owners of the columns, for a caller that takes their memory
    // (GrowingBuffer::release). The table is of no further use then.
    GrowingBuffer& timestamp_buffer() { return timestamp_; }
    GrowingBuffer& channel_buffer() { return channel_; }
    GrowingBuffer& source_address_buffer() { return source_address_column_; }
    GrowingBuffer& column_buffer(size_t column) { return columns_[column]; }

private:
    bool grow();

    uint64_t rows_ = 0;
    uint64_t capacity_ = 0;
    bool source_address_ = false;
    std::vector<ColumnKind> kinds_;
    GrowingBuffer timestamp_;
    GrowingBuffer channel_;
    GrowingBuffer source_address_column_;
    std::vector<GrowingBuffer> columns_;
    std::vector<uint8_t*> pointers_;  // columns_[i].data(), kept beside them for the decoder
};

// Arrow's validity bitmap of a column: bit i (least significant first) set
// where row i holds a value; every byte of (rows + 7) / 8 is written. Returns
// how many rows hold none.
uint64_t value_validity(const double* values, uint64_t rows, uint8_t* bitmap);
uint64_t code_validity(const int32_t* codes, uint64_t rows, uint8_t* bitmap);

}  // namespace tolvar::bus
