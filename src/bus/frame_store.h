// FrameStore: the frames of one data group in walk order, as compact rows
// (Frame) with their payloads, kept in chunks until the merge copies them
// out. A store is a queue: the walk appends at the back, the merge takes
// from the front and frees (or hands on) each chunk it has copied out. Owns
// its chunks.
#pragma once

#include <bitset>
#include <cstdint>
#include <deque>

#include "bus/decode_program.h"
#include "bus/frame.h"
#include "stream/allocation.h"

namespace tolvar::bus {

class FrameStore {
public:
    // Rows and their payloads in one allocation. The chunk reserves room for
    // a CAN payload on every row, so that at least kCanPayloadSize bytes can
    // be read from any row's payload (the merge copies whole words); unused
    // room of a large chunk is never touched and costs no memory.
    struct Chunk {
        stream::Allocation memory;
        Frame* rows = nullptr;
        uint8_t* payload = nullptr;
        uint32_t capacity = 0;
        uint32_t size = 0;
        uint64_t payload_size = 0;

        // The bytes of the chunk written so far, from its start.
        uint64_t written() const {
            return static_cast<uint64_t>(payload - memory.data()) + payload_size;
        }
    };

    FrameStore() = default;
    FrameStore(FrameStore&&) noexcept = default;
    FrameStore& operator=(FrameStore&&) noexcept = default;
    FrameStore(const FrameStore&) = delete;
    FrameStore& operator=(const FrameStore&) = delete;

    // Chunks of at most this many rows from now on (a store read a chunk at
    // a time keeps what waits in it small).
    void set_largest_chunk(uint32_t rows) { largest_ = rows; }

    // Appends a frame with its payload (payload_length(frame) bytes). False
    // when memory runs out.
    bool append(const Frame& frame, const uint8_t* payload);
    // Appends the kept frames of a batch.
    bool append(const FrameBatch& batch);

    // Rows appended since the store was made (taken ones included).
    uint64_t appended() const { return appended_; }
    // The longest payload and the payload bytes of all frames appended.
    uint64_t widest() const { return widest_; }
    uint64_t payload_bytes() const { return payload_bytes_; }
    // The channel codes of the frames appended.
    const std::bitset<kChannelCount>& channels() const { return channels_; }
    // Whether an appended timestamp is NaN, which compares with nothing.
    bool has_nan() const { return has_nan_; }

    // The chunks not yet taken, oldest first.
    std::deque<Chunk>& chunks() { return chunks_; }

private:
    // The last chunk when it has room for a row, otherwise a new one; null
    // when memory runs out.
    Chunk* room();

    std::deque<Chunk> chunks_;
    uint32_t next_capacity_ = 0;
    uint32_t largest_ = 0;  // 0: the default
    uint64_t appended_ = 0;
    uint64_t widest_ = 0;
    uint64_t payload_bytes_ = 0;
    std::bitset<kChannelCount> channels_;
    bool has_nan_ = false;
};

}  // namespace tolvar::bus
