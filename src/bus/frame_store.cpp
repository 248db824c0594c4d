#include "bus/frame_store.h"

#include <cstring>
#include <new>

namespace tolvar::bus {

namespace {

// Rows per chunk: small for a group's first frames, doubling up to the
// largest. Large chunks are mappings of their own: the merge hands their
// pages on to the columns or back to the system as it copies them out, so
// the stores shrink while the columns grow.
constexpr uint32_t kFirstChunkRows = 1024;
constexpr uint32_t kLargestChunkRows = 1u << 18;
constexpr uint64_t kBytesPerRow = sizeof(Frame) + kCanPayloadSize;

}  // namespace

FrameStore::Chunk* FrameStore::room() {
    if (!chunks_.empty() && chunks_.back().size < chunks_.back().capacity) return &chunks_.back();
    const uint32_t largest = largest_ != 0 ? largest_ : kLargestChunkRows;
    uint32_t capacity = next_capacity_ == 0 ? kFirstChunkRows : next_capacity_;
    if (capacity > largest) capacity = largest;
    stream::Allocation memory = stream::Allocation::uninitialised(static_cast<size_t>(capacity) * kBytesPerRow);
    if (!memory) return nullptr;
    try {
        chunks_.emplace_back();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    Chunk& chunk = chunks_.back();
    chunk.rows = reinterpret_cast<Frame*>(memory.data());
    chunk.payload = memory.data() + size_t{capacity} * sizeof(Frame);
    chunk.capacity = capacity;
    chunk.memory = std::move(memory);
    next_capacity_ = capacity < largest ? capacity * 2 : capacity;
    return &chunk;
}

bool FrameStore::append(const Frame& frame, const uint8_t* payload) {
    Chunk* chunk = room();
    if (chunk == nullptr) return false;
    const uint64_t length = payload_length(frame);
    chunk->rows[chunk->size++] = frame;
    if (length != 0) std::memcpy(chunk->payload + chunk->payload_size, payload, length);
    chunk->payload_size += length;
    ++appended_;
    payload_bytes_ += length;
    if (length > widest_) widest_ = length;
    channels_.set(frame.channel);
    if (frame.timestamp != frame.timestamp) has_nan_ = true;
    return true;
}

bool FrameStore::append(const FrameBatch& b) {
    uint32_t i = 0;
    while (i < b.count) {
        Chunk* chunk = room();
        if (chunk == nullptr) return false;
        // The chunk's and store's counts in locals while the rows go in: the
        // payload bytes written may alias anything.
        uint32_t size = chunk->size;
        uint64_t payload_size = chunk->payload_size;
        uint64_t appended = appended_;
        uint64_t payload_bytes = payload_bytes_;
        uint64_t widest = widest_;
        bool nan = has_nan_;
        Frame* const out = chunk->rows;
        uint8_t* const payloads = chunk->payload;
        const uint32_t capacity = chunk->capacity;
        for (; i < b.count && size < capacity; ++i) {
            if (b.keep[i] == 0) continue;
            const Frame& frame = b.frames[i];
            const uint64_t length = frame.dlc;
            out[size] = frame;
            uint8_t* payload = payloads + payload_size;
            const uint64_t copied = b.present[i] < length ? b.present[i] : length;
            if (copied != 0) std::memcpy(payload, b.payload[i], copied);
            if (length > copied) std::memset(payload + copied, 0, length - copied);
            payload_size += length;
            ++size;
            ++appended;
            payload_bytes += length;
            if (length > widest) widest = length;
            channels_.set(frame.channel);
            nan = nan || frame.timestamp != frame.timestamp;
        }
        chunk->size = size;
        chunk->payload_size = payload_size;
        appended_ = appended;
        payload_bytes_ = payload_bytes;
        widest_ = widest;
        has_nan_ = nan;
    }
    return true;
}

}  // namespace tolvar::bus
