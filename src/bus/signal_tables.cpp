#include "bus/signal_tables.h"

#include <bitset>
#include <limits>
#include <utility>

#include "bus/frame.h"
#include "bus/growing_allocation.h"

namespace tolvar::bus {
namespace {

bool reserve_rows(stream::Allocation& memory, uint64_t kept, uint64_t rows, size_t width) {
    if (rows > std::numeric_limits<size_t>::max() / width) return false;
    return grow_allocation(memory, static_cast<size_t>(kept) * width, static_cast<size_t>(rows) * width);
}

size_t width_of(ColumnKind kind) { return kind == ColumnKind::kValue ? sizeof(double) : sizeof(int32_t); }

// Zeroed room for `rows` texts of `width` UCS-4 code units; empty when the
// size does not fit or memory runs out.
stream::Allocation text_memory(uint64_t rows, uint64_t width) {
    constexpr uint64_t kMost = std::numeric_limits<size_t>::max() / 4;
    if (width != 0 && rows > kMost / width) return {};
    return stream::Allocation::zeroed(static_cast<size_t>(rows * width * 4));
}

}  // namespace

MessageTable::MessageTable(bool source_address, bool row_numbers, std::vector<ColumnKind> kinds)
    : source_address_(source_address), row_numbers_(row_numbers), kinds_(std::move(kinds)), columns_(kinds_.size()),
      pointers_(kinds_.size()) {}

bool MessageTable::grow_to(uint64_t rows) {
    if (rows <= capacity_) return false;  // a doubling that wrapped around
    // Each column keeps what it has when another fails, so a failed growth
    // leaves the table as it was, only some columns roomier.
    const uint64_t kept = rows_;
    bool ok = reserve_rows(timestamp_, kept, rows, sizeof(double)) &&
              reserve_rows(channel_, kept, rows, sizeof(uint16_t)) &&
              (!source_address_ || reserve_rows(source_address_column_, kept, rows, 1)) &&
              (!row_numbers_ || reserve_rows(row_number_, kept, rows, sizeof(uint64_t)));
    for (size_t c = 0; ok && c < columns_.size(); ++c) {
        ok = reserve_rows(columns_[c], kept, rows, width_of(kinds_[c]));
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

stream::Allocation value_validity(const double* values, uint64_t rows, uint64_t& absent) {
    stream::Allocation bitmap = stream::Allocation::uninitialised(static_cast<size_t>((rows + 7) / 8));
    if (bitmap) absent = value_validity(values, rows, bitmap.data());
    return bitmap;
}

stream::Allocation code_validity(const int32_t* codes, uint64_t rows, uint64_t& absent) {
    stream::Allocation bitmap = stream::Allocation::uninitialised(static_cast<size_t>((rows + 7) / 8));
    if (bitmap) absent = code_validity(codes, rows, bitmap.data());
    return bitmap;
}

void channel_indices(uint16_t* channel, uint64_t rows, std::vector<uint16_t>& dictionary) {
    std::bitset<kChannelCount> present;
    for (uint64_t r = 0; r < rows; ++r) present.set(channel[r] % kChannelCount);
    int16_t index[kChannelCount] = {};
    dictionary.clear();
    for (unsigned code = 0; code < kChannelCount; ++code) {
        if (!present.test(code)) continue;
        index[code] = static_cast<int16_t>(dictionary.size());
        dictionary.push_back(static_cast<uint16_t>(code));
    }
    for (uint64_t r = 0; r < rows; ++r) {
        const int16_t i = index[channel[r] % kChannelCount];
        std::memcpy(&channel[r], &i, sizeof i);
    }
}

stream::Allocation channel_text(const uint16_t* channel, uint64_t rows, uint64_t& width) {
    std::bitset<kChannelCount> present;
    for (uint64_t r = 0; r < rows; ++r) present.set(channel[r] % kChannelCount);
    char names[kChannelCount][kChannelNameSize] = {};
    uint64_t lengths[kChannelCount] = {};
    width = 1;
    for (unsigned code = 0; code < kChannelCount; ++code) {
        if (!present.test(code)) continue;
        lengths[code] = channel_name(code, names[code]);
        if (lengths[code] > width) width = lengths[code];
    }
    stream::Allocation text = text_memory(rows, width);
    if (!text) return text;
    uint32_t* out = reinterpret_cast<uint32_t*>(text.data());
    for (uint64_t r = 0; r < rows; ++r, out += width) {
        const unsigned code = channel[r] % kChannelCount;
        for (uint64_t i = 0; i < lengths[code]; ++i) out[i] = static_cast<unsigned char>(names[code][i]);
    }
    return text;
}

stream::Allocation names_text(const int32_t* codes, uint64_t rows, const std::vector<std::u32string>& names,
                              uint64_t& width) {
    width = 1;
    for (const std::u32string& name : names) {
        if (name.size() > width) width = name.size();
    }
    stream::Allocation text = text_memory(rows, width);
    if (!text) return text;
    uint32_t* out = reinterpret_cast<uint32_t*>(text.data());
    for (uint64_t r = 0; r < rows; ++r, out += width) {
        const int32_t code = codes[r];
        if (code < 0 || static_cast<size_t>(code) >= names.size()) continue;
        const std::u32string& name = names[static_cast<size_t>(code)];
        std::memcpy(out, name.data(), name.size() * 4);
    }
    return text;
}

}  // namespace tolvar::bus
