// What a table or record batch of frames holds and how each of its columns
// is laid out (ColumnLayout), and the allocations of one filled chunk
// (ColumnChunk), which its taker owns.
#pragma once

#include <bitset>
#include <cstdint>
#include <vector>

#include "bus/frame.h"
#include "stream/allocation.h"

namespace tolvar::bus {

// The columns of a frame table, in table order: the flags in FrameFlag order
// from kIsExtendedId on.
enum class Column : uint8_t {
    kTimestamp,
    kArbitrationId,
    kIsExtendedId,
    kIsRemoteFrame,
    kIsErrorFrame,
    kIsFd,
    kBitrateSwitch,
    kErrorStateIndicator,
    kIsRx,
    kDlc,
    kChannel,
    kData,
};
constexpr unsigned kColumnCount = 12;
constexpr unsigned kFirstFlagColumn = 2;
constexpr unsigned column_index(Column column) { return static_cast<unsigned>(column); }

// What to fill and how each column is laid out.
struct ColumnLayout {
    std::bitset<kColumnCount> wanted = std::bitset<kColumnCount>().set();
    // Flags: one byte (0 or 1) per row, or one bit per row, least significant
    // bit first (Arrow's layout).
    bool flag_bits = false;
    // Channel: an int16 index into the chunk's dictionary of channel codes,
    // or the name as fixed-width UCS-4 text as wide as the longest present
    // (numpy's strings).
    enum class Channel : uint8_t { kCodes, kText } channel = Channel::kCodes;
    // The dictionary holds every channel (kChannelCount entries in code order,
    // the same in every chunk) rather than the channels present.
    bool dictionary_of_all = false;
    // Data: the payloads back to back with rows + 1 offsets (32-bit, or
    // 64-bit beyond 2 GiB of payload), or rows of one width as wide as the
    // widest payload, zero-padded.
    enum class Data : uint8_t { kValues, kRows } data = Data::kValues;
};

// The columns of one chunk of merged frames. Every column wanted has its
// allocation (at least `rows` elements; data and offsets as the layout
// says); the others are empty.
struct ColumnChunk {
    uint64_t rows = 0;
    stream::Allocation columns[kColumnCount];
    stream::Allocation offsets;  // Data::kValues: rows + 1 of them
    bool large_offsets = false;  // int64 offsets
    uint64_t payload_bytes = 0;  // Data::kValues
    uint64_t data_width = 0;     // Data::kRows: bytes per row
    uint64_t text_width = 0;     // Channel::kText: code units per row
    // Channel::kCodes: the channel code of each dictionary entry.
    std::vector<uint16_t> dictionary;
};

// The channel names as numpy's fixed-width text: 8 UCS-4 code units per
// channel code, the name zero-padded.
const uint32_t* channel_texts();

}  // namespace tolvar::bus
