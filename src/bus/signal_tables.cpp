#include "bus/signal_tables.h"

#include <limits>
#include <utility>

namespace tolvar::bus {
namespace {

// Rows of a table's first allocation; each growth doubles.
constexpr uint64_t kFirstRows = 256;

bool reserve_rows(GrowingBuffer& buffer, uint64_t rows, size_t width) {
    if (rows > std::numeric_limits<size_t>::max() / width) return false;
    return buffer.reserve(static_cast<size_t>(rows) * width);
}

size_t width_of(ColumnKind kind) { return kind == ColumnKind::kValue ? sizeof(double) : sizeof(int32_t); }

}  // namespace

MessageTable::MessageTable(bool source_address, std::vector<ColumnKind> kinds)
    : source_address_(source_address), kinds_(std::move(kinds)), columns_(kinds_.size()), pointers_(kinds_.size()) {}

bool MessageTable::grow() {
    const uint64_t rows = capacity_ == 0 ? kFirstRows : capacity_ * 2;
    if (rows < capacity_) return false;
    // Each buffer keeps what it has when another fails, so a failed growth
    // leaves the table as it was, only some columns roomier.
    bool ok = reserve_rows(timestamp_, rows, sizeof(double)) && reserve_rows(channel_, rows, sizeof(uint16_t)) &&
              (!source_address_ || reserve_rows(source_address_column_, rows, 1));
    for (size_t c = 0; ok && c < columns_.size(); ++c) {
        ok = reserve_rows(columns_[c], rows, width_of(kinds_[c]));
        pointers_[c] = columns_[c].data();
    }
    if (!ok) return false;
    capacity_ = rows;
    return true;
}

uint64_t value_validity(const double* values, uint64_t rows, uint8_t* bitmap) {
    uint64_t absent = 0;
    for (uint64_t base = 0; base < rows; base += 8) {
        const uint64_t count = rows - base < 8 ? rows - base : 8;
        uint8_t bits = 0;
        for (uint64_t i = 0; i < count; ++i) {
            const bool present = !is_absent(values[base + i]);
            bits |= static_cast<uint8_t>(present) << i;
            absent += !present;
        }
        bitmap[base / 8] = bits;
    }
    return absent;
}

uint64_t code_validity(const int32_t* codes, uint64_t rows, uint8_t* bitmap) {
    uint64_t absent = 0;
    for (uint64_t base = 0; base < rows; base += 8) {
        const uint64_t count = rows - base < 8 ? rows - base : 8;
        uint8_t bits = 0;
        for (uint64_t i = 0; i < count; ++i) {
            const bool present = codes[base + i] >= 0;
            bits |= static_cast<uint8_t>(present) << i;
            absent += !present;
        }
        bitmap[base / 8] = bits;
    }
    return absent;
}

}  // namespace tolvar::bus
