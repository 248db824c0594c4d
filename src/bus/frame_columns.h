// Frames as columns: the frames of one data group stored row by row as a
// walk delivers them (FrameStore), and the merge of several stores into
// caller-owned column buffers in the order a timestamp merge of the groups
// gives (fill_columns). A store owns its chunks; fill_columns borrows the
// stores and frees each chunk once it has been copied out, and borrows the
// target buffers.
#pragma once

#include <bitset>
#include <cstdint>
#include <vector>

#include "bus/bus_message.h"
#include "bus/frame_filter.h"

namespace tolvar::bus {

// The flags of a frame as a message shows them, one bit each in this order.
enum FrameFlag : uint8_t {
    kFlagExtended = 0,
    kFlagRemote = 1,
    kFlagError = 2,
    kFlagFd = 3,
    kFlagBitrateSwitch = 4,
    kFlagErrorStateIndicator = 5,
    kFlagRx = 6,
};
constexpr unsigned kFlagCount = 7;

// The frames of one data group in walk order. Move-only.
class FrameStore {
public:
    FrameStore() = default;
    FrameStore(FrameStore&&) noexcept;
    FrameStore& operator=(FrameStore&&) noexcept;
    FrameStore(const FrameStore&) = delete;
    FrameStore& operator=(const FrameStore&) = delete;
    ~FrameStore();

    // Appends a frame (kinds 1 to 4) with every value a message built from
    // it has, its timestamp being origin + time. False when memory runs out
    // or the message is no frame.
    bool append(const BusMessage& message, double origin);
    // The same for a decoded frame: the row the message to_message makes of
    // it would give.
    bool append(const DecodedFrame& frame, double origin);
    // The same for the kept frames of a batch of CAN data frames.
    bool append(const CanDataBatch& batch, double origin);

    uint64_t size() const { return size_; }
    // The longest payload and the payload bytes of all frames together.
    uint64_t widest() const { return widest_; }
    uint64_t payload_bytes() const { return payload_bytes_; }
    // The channel codes (see frame_filter.h) of the stored frames.
    const std::bitset<kChannelCount>& channels() const { return channels_; }
    // Whether a stored timestamp is NaN, which compares with nothing.
    bool has_nan() const { return has_nan_; }

    struct Row;
    struct Chunk;

private:
    friend class ColumnMerge;
    // A row with room for `length` payload bytes at the end of the last
    // chunk; null when memory runs out.
    Row* add_row(uint64_t length, uint8_t*& payload);
    // The last chunk when it has room for a row, otherwise a new one; null
    // when memory runs out.
    Chunk* room();

    std::vector<Chunk*> chunks_;  // owned
    uint64_t size_ = 0;
    uint64_t widest_ = 0;
    uint64_t payload_bytes_ = 0;
    std::bitset<kChannelCount> channels_;
    bool has_nan_ = false;
};

// What a walk into a store ended with.
enum class CollectResult {
    kDone,
    kNoFrame,    // a record gave no frame: the host reports it, as iteration does
    kNoMemory,
};

// Where fill_columns writes: buffers of the caller, each with room for every
// row (all stores together), or null when that column is not wanted.
struct ColumnTargets {
    double* timestamp = nullptr;
    uint32_t* arbitration_id = nullptr;
    uint8_t* dlc = nullptr;
    // Per flag: one byte (0 or 1) per row, or with flag_bits one bit per row,
    // least significant bit first (Arrow's layout; every byte is written).
    uint8_t* flags[kFlagCount] = {};
    bool flag_bits = false;
    // The channel of each row as channel_codes[code].
    int16_t* channel = nullptr;
    const int16_t* channel_codes = nullptr;  // kChannelCount entries
    // The channel of each row as text of channel_text_width UCS-4 code units
    // (numpy's fixed-width strings, at most 8): channel_texts holds 8 code
    // units for every code, the name zero-padded, kChannelCount * 8 in all.
    uint32_t* channel_text = nullptr;
    uint64_t channel_text_width = 0;
    const uint32_t* channel_texts = nullptr;
    // The payload as rows of data_width bytes, zero-padded (data_width at
    // least the widest payload); and/or as the payloads back to back with
    // rows + 1 offsets, 32-bit or 64-bit.
    uint8_t* data_rows = nullptr;
    uint64_t data_width = 0;
    uint8_t* data_values = nullptr;
    int32_t* offsets32 = nullptr;
    int64_t* offsets64 = nullptr;
    // Every buffer above of at least kMappedFrom bytes (mapped_memory.h),
    // sized as the rows need it, is a mapping of map_memory of its own: the
    // merge may move the pages of stores it has copied out into the part of
    // such a buffer it has not written yet, which it then writes whole.
    bool mapped = false;
};

// Writes the frames of all stores in the order in which a merge by timestamp
// gives them (the host's heapq.merge over the groups in this order: equal
// timestamps in group order, and each group's frames in its own order
// whatever their timestamps), freeing every chunk of a store once it is
// copied out. The stores are empty afterwards. Allocates nothing but the
// merge's heap (one entry per store); false when that fails.
bool fill_columns(std::vector<FrameStore>& stores, const ColumnTargets& targets);

}  // namespace tolvar::bus
