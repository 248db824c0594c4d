#include "bus/frame_columns.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "bus/record_iterator.h"

namespace tolvar::bus {

namespace {

// Rows per chunk: small for a group's first frames, doubling up to the
// largest. A chunk reserves room for payloads of 64 bytes on every row, so
// that the largest is above the allocator's threshold for mapping memory of
// its own (32 MiB where it is highest): such a chunk goes back to the system
// when fill_columns frees it, and the stores shrink while the columns grow.
// Its unused payload room is never touched and costs no memory.
constexpr uint32_t kFirstChunkRows = 1024;
constexpr uint32_t kLargestChunkRows = 1u << 19;
constexpr uint64_t kBytesPerRow = 8 + 4 + 2 + 1 + 1 + kCanPayloadSize;

}  // namespace

struct FrameStore::Chunk {
    uint32_t capacity = 0;
    uint32_t size = 0;
    uint64_t payload_size = 0;
    // Regions of this chunk's own allocation, right after it.
    double* time = nullptr;
    uint32_t* id = nullptr;
    uint16_t* channel = nullptr;
    uint8_t* dlc = nullptr;  // payload length, but a remote frame's payload is empty
    uint8_t* flags = nullptr;
    uint8_t* payload = nullptr;

    static Chunk* create(uint32_t capacity) {
        const size_t header = (sizeof(Chunk) + 15) & ~size_t{15};
        void* memory = std::malloc(header + static_cast<size_t>(capacity) * kBytesPerRow);
        if (memory == nullptr) return nullptr;
        Chunk* chunk = new (memory) Chunk();
        uint8_t* at = static_cast<uint8_t*>(memory) + header;
        chunk->capacity = capacity;
        chunk->time = reinterpret_cast<double*>(at);
        at += size_t{capacity} * 8;
        chunk->id = reinterpret_cast<uint32_t*>(at);
        at += size_t{capacity} * 4;
        chunk->channel = reinterpret_cast<uint16_t*>(at);
        at += size_t{capacity} * 2;
        chunk->dlc = at;
        at += capacity;
        chunk->flags = at;
        at += capacity;
        chunk->payload = at;
        return chunk;
    }
    static void destroy(Chunk* chunk) {
        if (chunk == nullptr) return;
        chunk->~Chunk();
        std::free(chunk);
    }
};

FrameStore::FrameStore(FrameStore&& other) noexcept
    : chunks_(std::move(other.chunks_)),
      size_(other.size_),
      widest_(other.widest_),
      payload_bytes_(other.payload_bytes_),
      channels_(other.channels_) {
    other.chunks_.clear();
    other.size_ = other.widest_ = other.payload_bytes_ = 0;
}

FrameStore& FrameStore::operator=(FrameStore&& other) noexcept {
    if (this != &other) {
        for (Chunk* chunk : chunks_) Chunk::destroy(chunk);
        chunks_ = std::move(other.chunks_);
        other.chunks_.clear();
        size_ = other.size_;
        widest_ = other.widest_;
        payload_bytes_ = other.payload_bytes_;
        channels_ = other.channels_;
        other.size_ = other.widest_ = other.payload_bytes_ = 0;
    }
    return *this;
}

FrameStore::~FrameStore() {
    for (Chunk* chunk : chunks_) Chunk::destroy(chunk);
}

bool FrameStore::append(const BusMessage& m, double origin) {
    Chunk* chunk = chunks_.empty() ? nullptr : chunks_.back();
    if (chunk == nullptr || chunk->size == chunk->capacity) {
        uint32_t capacity = chunk == nullptr ? kFirstChunkRows : chunk->capacity;
        if (chunk != nullptr && capacity < kLargestChunkRows) capacity *= 2;
        chunk = Chunk::create(capacity);
        if (chunk == nullptr) return false;
        try {
            chunks_.push_back(chunk);
        } catch (const std::bad_alloc&) {
            Chunk::destroy(chunk);
            return false;
        }
    }
    // The values a message built from this frame has; what iteration does
    // not pass takes can.Message's default (an error frame is extended and
    // received, only a data frame has FD flags).
    uint64_t length = 0;
    uint8_t flags = 0;
    uint8_t bus = 0;
    switch (m.kind) {
        case FrameKind::kCanDataFrame: {
            const CanFrameDetails& c = m.details.can;
            length = m.data == nullptr ? 0 : (m.data_length < kCanPayloadSize ? m.data_length : kCanPayloadSize);
            flags = static_cast<uint8_t>((c.extended != 0) << kFlagExtended | (c.fd != 0) << kFlagFd |
                                         (c.brs != 0) << kFlagBitrateSwitch |
                                         (c.esi != 0) << kFlagErrorStateIndicator | (c.direction == 0) << kFlagRx);
            bus = c.bus;
            break;
        }
        case FrameKind::kCanRemoteFrame: {
            const CanFrameDetails& c = m.details.can;
            length = m.data == nullptr ? 0 : (m.data_length < kCanPayloadSize ? m.data_length : kCanPayloadSize);
            flags = static_cast<uint8_t>((c.extended != 0) << kFlagExtended | 1 << kFlagRemote |
                                         (c.direction == 0) << kFlagRx);
            bus = c.bus;
            break;
        }
        case FrameKind::kCanErrorFrame:
            flags = static_cast<uint8_t>(1 << kFlagExtended | 1 << kFlagError | 1 << kFlagRx);
            bus = m.details.error.bus;
            break;
        case FrameKind::kLinFrame:
            length = m.data == nullptr ? 0 : (m.data_length < kLinPayloadSize ? m.data_length : kLinPayloadSize);
            flags = static_cast<uint8_t>((m.details.lin.direction == 0) << kFlagRx);
            bus = m.details.lin.bus;
            break;
        case FrameKind::kNone:
            return false;
    }
    // can.Message keeps no data for a remote frame, only its length code.
    const uint64_t dlc = length;
    if (m.kind == FrameKind::kCanRemoteFrame) length = 0;
    const uint32_t i = chunk->size;
    const unsigned channel = channel_code(m.kind, bus);
    chunk->time[i] = origin + m.time;
    chunk->id[i] = m.identifier & 0x1FFFFFFFu;
    chunk->channel[i] = static_cast<uint16_t>(channel);
    chunk->dlc[i] = static_cast<uint8_t>(dlc);
    chunk->flags[i] = flags;
    if (length != 0) std::memcpy(chunk->payload + chunk->payload_size, m.data, length);
    chunk->payload_size += length;
    chunk->size = i + 1;
    ++size_;
    payload_bytes_ += length;
    if (length > widest_) widest_ = length;
    channels_.set(channel);
    return true;
}

CollectResult collect(RecordIterator& cursor, double origin, FrameStore& store) {
    FrameKind kind = FrameKind::kNone;
    for (const BusMessage* m = cursor.first(&kind); m != nullptr; m = cursor.advance(&kind)) {
        if (m->kind == FrameKind::kNone) return CollectResult::kNoFrame;
        if (!store.append(*m, origin)) return CollectResult::kNoMemory;
    }
    return CollectResult::kDone;
}

// The merge of fill_columns: heapq.merge's algorithm step for step (its
// heapify, its sift with the smaller child chosen unless the left one is
// strictly less, its replace and pop), comparing entries as Python compares
// heapq.merge's [message, order, next] lists: by timestamp unless the
// timestamps are equal, then by group order. With NaN timestamps or groups
// out of time order the result is therefore the same odd order iteration
// gives.
class ColumnMerge {
public:
    ColumnMerge(std::vector<FrameStore>& stores, const ColumnTargets& targets)
        : stores_(stores), targets_(targets) {}

    bool run() {
        try {
            cursors_.reserve(stores_.size());
            heap_.reserve(stores_.size());
        } catch (const std::bad_alloc&) {
            return false;
        }
        for (size_t g = 0; g < stores_.size(); ++g) {
            FrameStore& store = stores_[g];
            Cursor cursor{&store, 0, 0, 0, store.size_, static_cast<uint32_t>(g), 0.0};
            if (cursor.remaining == 0) continue;
            cursor.head = store.chunks_[0]->time[0];
            cursors_.push_back(cursor);
            heap_.push_back(static_cast<uint32_t>(cursors_.size() - 1));
        }
        for (size_t i = heap_.size() / 2; i-- > 0;) sift_up(i);
        while (heap_.size() > 1) {
            Cursor& top = cursors_[heap_[0]];
            emit(top);
            if (top.remaining == 0) {
                heap_[0] = heap_.back();
                heap_.pop_back();
                if (!heap_.empty()) sift_up(0);
            } else {
                sift_up(0);
            }
        }
        if (!heap_.empty()) {
            Cursor& last = cursors_[heap_[0]];
            while (last.remaining != 0) emit(last);
        }
        if (targets_.offsets32 != nullptr) targets_.offsets32[row_] = static_cast<int32_t>(value_at_);
        if (targets_.offsets64 != nullptr) targets_.offsets64[row_] = static_cast<int64_t>(value_at_);
        for (FrameStore& store : stores_) store = FrameStore();
        return true;
    }

private:
    struct Cursor {
        FrameStore* store;
        size_t chunk;
        uint32_t row;
        uint64_t payload_at;
        uint64_t remaining;
        uint32_t order;
        double head;  // timestamp of the row the cursor stands on
    };

    bool less(uint32_t a, uint32_t b) const {
        const Cursor& x = cursors_[a];
        const Cursor& y = cursors_[b];
        if (x.head == y.head) return x.order < y.order;
        return x.head < y.head;
    }

    void sift_down(size_t start, size_t pos) {
        const uint32_t item = heap_[pos];
        while (pos > start) {
            const size_t parent = (pos - 1) >> 1;
            if (!less(item, heap_[parent])) break;
            heap_[pos] = heap_[parent];
            pos = parent;
        }
        heap_[pos] = item;
    }

    void sift_up(size_t pos) {
        const size_t end = heap_.size();
        const size_t start = pos;
        const uint32_t item = heap_[pos];
        size_t child = 2 * pos + 1;
        while (child < end) {
            const size_t right = child + 1;
            if (right < end && !less(heap_[child], heap_[right])) child = right;
            heap_[pos] = heap_[child];
            pos = child;
            child = 2 * pos + 1;
        }
        heap_[pos] = item;
        sift_down(start, pos);
    }

    // Copies the cursor's row out and moves it on, freeing a chunk left behind.
    void emit(Cursor& cursor) {
        FrameStore::Chunk* chunk = cursor.store->chunks_[cursor.chunk];
        const uint32_t i = cursor.row;
        const uint64_t r = row_++;
        const ColumnTargets& t = targets_;
        const uint8_t flags = chunk->flags[i];
        const uint8_t dlc = chunk->dlc[i];
        const uint64_t length = (flags >> kFlagRemote & 1u) != 0 ? 0 : dlc;
        const uint8_t* payload = chunk->payload + cursor.payload_at;
        if (t.timestamp != nullptr) t.timestamp[r] = chunk->time[i];
        if (t.arbitration_id != nullptr) t.arbitration_id[r] = chunk->id[i];
        if (t.dlc != nullptr) t.dlc[r] = dlc;
        for (unsigned k = 0; k < kFlagCount; ++k) {
            uint8_t* column = t.flags[k];
            if (column == nullptr) continue;
            const uint8_t bit = (flags >> k) & 1u;
            if (t.flag_bits) {
                column[r >> 3] = static_cast<uint8_t>(column[r >> 3] | bit << (r & 7));
            } else {
                column[r] = bit;
            }
        }
        if (t.channel != nullptr) t.channel[r] = t.channel_codes[chunk->channel[i]];
        if (t.data_rows != nullptr) {
            uint8_t* row = t.data_rows + r * t.data_width;
            if (length != 0) std::memcpy(row, payload, length);
            if (t.data_width > length) std::memset(row + length, 0, t.data_width - length);
        }
        if (t.data_values != nullptr) {
            if (length != 0) std::memcpy(t.data_values + value_at_, payload, length);
            if (t.offsets32 != nullptr) t.offsets32[r] = static_cast<int32_t>(value_at_);
            if (t.offsets64 != nullptr) t.offsets64[r] = static_cast<int64_t>(value_at_);
            value_at_ += length;
        }

        cursor.payload_at += length;
        --cursor.remaining;
        if (++cursor.row == chunk->size) {
            FrameStore::Chunk::destroy(chunk);
            cursor.store->chunks_[cursor.chunk] = nullptr;
            ++cursor.chunk;
            cursor.row = 0;
            cursor.payload_at = 0;
        }
        if (cursor.remaining != 0) cursor.head = cursor.store->chunks_[cursor.chunk]->time[cursor.row];
    }

    std::vector<FrameStore>& stores_;
    const ColumnTargets& targets_;
    std::vector<Cursor> cursors_;
    std::vector<uint32_t> heap_;  // indices into cursors_
    uint64_t row_ = 0;
    uint64_t value_at_ = 0;
};

bool fill_columns(std::vector<FrameStore>& stores, const ColumnTargets& targets) {
    return ColumnMerge(stores, targets).run();
}

}  // namespace tolvar::bus
