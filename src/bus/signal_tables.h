// MessageTable: the decoded rows of one message, a column each for the
// timestamp, the channel code, the J1939 source address, every signal and,
// where asked, each row's place among the frames decoded, grown as rows
// arrive. A signal absent from a frame is kAbsentBits in a value column and
// -1 in a code column. Beside it, the forms the host's tables want made of
// those columns: channel names or dictionary indices, Arrow validity
// bitmaps, value names as fixed-width text. Owns its columns (Allocations
// grown by grow_allocation), which a caller may take.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bus/signal_program.h"
#include "stream/allocation.h"

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
    // A table with a source address column or not, a row number column or
    // not, and these signal columns.
    MessageTable(bool source_address, bool row_numbers, std::vector<ColumnKind> kinds);
    MessageTable(MessageTable&&) noexcept = default;
    MessageTable& operator=(MessageTable&&) noexcept = default;

    uint64_t rows() const { return rows_; }
    size_t column_count() const { return kinds_.size(); }
    ColumnKind kind(size_t column) const { return kinds_[column]; }
    bool has_source_address() const { return source_address_; }
    bool has_row_numbers() const { return row_numbers_; }

    // Room for row rows(): its values are written through the pointers
    // below, then commit_row() adds it. False when memory runs out.
    bool make_room() { return rows_ < capacity_ || grow_to(capacity_ == 0 ? kFirstRows : capacity_ * 2); }
    void commit_row() { ++rows_; }
    // Room for `rows` rows at once, where a caller knows about how many will
    // come: the columns are then made once instead of grown by doubling.
    // False, the table as it was, when memory runs out.
    bool reserve(uint64_t rows) { return rows <= capacity_ || grow_to(rows); }
    uint64_t capacity() const { return capacity_; }

    double* timestamp() const { return reinterpret_cast<double*>(timestamp_.data()); }
    uint16_t* channel() const { return reinterpret_cast<uint16_t*>(channel_.data()); }
    uint8_t* source_address() const { return source_address_column_.data(); }  // null without one
    uint64_t* row_number() const { return reinterpret_cast<uint64_t*>(row_number_.data()); }  // null without one
    // Per column: float64 (kValue) or int32 (kCode) per row.
    uint8_t* const* columns() const { return pointers_.data(); }
    double* values(size_t column) const { return reinterpret_cast<double*>(pointers_[column]); }
    int32_t* codes(size_t column) const { return reinterpret_cast<int32_t*>(pointers_[column]); }

    // The memory of each column (at least rows() rows; where the table has
    // no row, perhaps none), for a caller that takes it by moving it out:
    // the table is of no further use then.
    stream::Allocation& timestamp_memory() { return timestamp_; }
    stream::Allocation& channel_memory() { return channel_; }
    stream::Allocation& source_address_memory() { return source_address_column_; }
    stream::Allocation& row_number_memory() { return row_number_; }
    stream::Allocation& column_memory(size_t column) { return columns_[column]; }

private:
    // Rows of a table's first allocation; each growth doubles.
    static constexpr uint64_t kFirstRows = 256;

    bool grow_to(uint64_t rows);

    uint64_t rows_ = 0;
    uint64_t capacity_ = 0;
    bool source_address_ = false;
    bool row_numbers_ = false;
    std::vector<ColumnKind> kinds_;
    stream::Allocation timestamp_;
    stream::Allocation channel_;
    stream::Allocation source_address_column_;
    stream::Allocation row_number_;
    std::vector<stream::Allocation> columns_;
    std::vector<uint8_t*> pointers_;  // columns_[i].data(), kept beside them for the decoder
};

// Arrow's validity bitmap of a column: bit i (least significant first) set
// where row i holds a value; every byte of (rows + 7) / 8 is written. Returns
// how many rows hold none.
uint64_t value_validity(const double* values, uint64_t rows, uint8_t* bitmap);
uint64_t code_validity(const int32_t* codes, uint64_t rows, uint8_t* bitmap);

// The same as an allocation of its own; empty when memory runs out.
stream::Allocation value_validity(const double* values, uint64_t rows, uint64_t& absent);
stream::Allocation code_validity(const int32_t* codes, uint64_t rows, uint64_t& absent);

// Rewrites a table's channel codes (uint16, `rows` of them) in place as
// int16 indices into `dictionary`: the codes present, in ascending order.
void channel_indices(uint16_t* channel, uint64_t rows, std::vector<uint16_t>& dictionary);

// Fixed-width text in numpy's "<U" form (UCS-4, `width` code units per row,
// the unused ones zero): channel names ("CAN 1") of the codes, `width` the
// longest present (at least 1); empty when memory runs out.
stream::Allocation channel_text(const uint16_t* channel, uint64_t rows, uint64_t& width);
// ... and the value names `names` (UCS-4 each) that the codes index, a code
// of -1 (absent or unnamed) an empty string; `width` the longest name (at
// least 1).
stream::Allocation names_text(const int32_t* codes, uint64_t rows, const std::vector<std::u32string>& names,
                              uint64_t& width);

}  // namespace tolvar::bus
