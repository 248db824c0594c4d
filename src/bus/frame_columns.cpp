#include "bus/frame_columns.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "bus/mapped_memory.h"

namespace tolvar::bus {

// One frame of a store: every value of its row but the payload, which lies in
// the chunk's payload area in row order.
struct FrameStore::Row {
    double time;
    uint32_t id;
    uint16_t channel;
    uint8_t dlc;    // as the message shows it: a remote frame's requested length
    uint8_t flags;  // FrameFlag bits
};
static_assert(sizeof(FrameStore::Row) == 16, "a row is 16 bytes");

namespace {

// Rows per chunk: small for a group's first frames, doubling up to the
// largest. A chunk reserves room for payloads of 64 bytes on every row; its
// unused payload room is never touched and costs no memory. Large chunks are
// mappings of their own: fill_columns hands their pages on to the columns or
// back to the system as it copies them out, so the stores shrink while the
// columns grow.
constexpr uint32_t kFirstChunkRows = 1024;
constexpr uint32_t kLargestChunkRows = 1u << 18;
constexpr uint64_t kBytesPerRow = sizeof(FrameStore::Row) + kCanPayloadSize;
}  // namespace

struct FrameStore::Chunk {
    uint32_t capacity = 0;
    uint32_t size = 0;
    uint64_t payload_size = 0;
    // Regions of this chunk's own allocation, right after it.
    Row* rows = nullptr;
    uint8_t* payload = nullptr;
    // The allocation's size; a large one is a mapping (mapped_memory.h),
    // whose pages the merge may move into the columns.
    size_t bytes = 0;
    bool mapped = false;

    static Chunk* create(uint32_t capacity) {
        const size_t header = (sizeof(Chunk) + 15) & ~size_t{15};
        const size_t bytes = header + static_cast<size_t>(capacity) * kBytesPerRow;
        const bool mapped = bytes >= kMappedFrom;
        void* memory = mapped ? static_cast<void*>(map_memory(bytes)) : std::malloc(bytes);
        if (memory == nullptr) return nullptr;
        Chunk* chunk = new (memory) Chunk();
        uint8_t* at = static_cast<uint8_t*>(memory) + header;
        chunk->capacity = capacity;
        chunk->rows = reinterpret_cast<Row*>(at);
        chunk->payload = at + size_t{capacity} * sizeof(Row);
        chunk->bytes = bytes;
        chunk->mapped = mapped;
        return chunk;
    }
    static void destroy(Chunk* chunk) {
        if (chunk == nullptr) return;
        const size_t bytes = chunk->bytes;
        const bool mapped = chunk->mapped;
        chunk->~Chunk();
        if (mapped) {
            unmap_memory(reinterpret_cast<uint8_t*>(chunk), bytes);
        } else {
            std::free(chunk);
        }
    }
};

FrameStore::FrameStore(FrameStore&& other) noexcept
    : chunks_(std::move(other.chunks_)),
      size_(other.size_),
      widest_(other.widest_),
      payload_bytes_(other.payload_bytes_),
      channels_(other.channels_),
      has_nan_(other.has_nan_) {
    other.chunks_.clear();
    other.size_ = other.widest_ = other.payload_bytes_ = 0;
    other.has_nan_ = false;
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
        has_nan_ = other.has_nan_;
        other.size_ = other.widest_ = other.payload_bytes_ = 0;
        other.has_nan_ = false;
    }
    return *this;
}

FrameStore::~FrameStore() {
    for (Chunk* chunk : chunks_) Chunk::destroy(chunk);
}

FrameStore::Chunk* FrameStore::room() {
    Chunk* chunk = chunks_.empty() ? nullptr : chunks_.back();
    if (chunk != nullptr && chunk->size < chunk->capacity) return chunk;
    uint32_t capacity = chunk == nullptr ? kFirstChunkRows : chunk->capacity;
    if (chunk != nullptr && capacity < kLargestChunkRows) capacity *= 2;
    chunk = Chunk::create(capacity);
    if (chunk == nullptr) return nullptr;
    try {
        chunks_.push_back(chunk);
    } catch (const std::bad_alloc&) {
        Chunk::destroy(chunk);
        return nullptr;
    }
    return chunk;
}

FrameStore::Row* FrameStore::add_row(uint64_t length, uint8_t*& payload) {
    Chunk* chunk = room();
    if (chunk == nullptr) return nullptr;
    Row* row = chunk->rows + chunk->size;
    payload = chunk->payload + chunk->payload_size;
    chunk->payload_size += length;
    ++chunk->size;
    ++size_;
    payload_bytes_ += length;
    if (length > widest_) widest_ = length;
    return row;
}

bool FrameStore::append(const BusMessage& m, double origin) {
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
    const unsigned channel = channel_code(m.kind, bus);
    uint8_t* payload = nullptr;
    Row* row = add_row(length, payload);
    if (row == nullptr) return false;
    const double time = origin + m.time;
    *row = Row{time, m.identifier & 0x1FFFFFFFu, static_cast<uint16_t>(channel), static_cast<uint8_t>(dlc), flags};
    if (length != 0) std::memcpy(payload, m.data, length);
    channels_.set(channel);
    if (time != time) has_nan_ = true;
    return true;
}

bool FrameStore::append(const DecodedFrame& f, double origin) {
    // As append(BusMessage) takes the message to_message makes of the frame.
    uint64_t length = 0;
    uint64_t stored = 0;
    uint8_t flags = 0;
    switch (f.kind) {
        case FrameKind::kCanDataFrame:
            length = stored = f.data_length;
            flags = static_cast<uint8_t>((f.extended != 0) << kFlagExtended | (f.fd != 0) << kFlagFd |
                                         (f.brs != 0) << kFlagBitrateSwitch |
                                         (f.esi != 0) << kFlagErrorStateIndicator | (f.direction == 0) << kFlagRx);
            break;
        case FrameKind::kCanRemoteFrame:
            length = f.data_length;
            flags = static_cast<uint8_t>((f.extended != 0) << kFlagExtended | 1 << kFlagRemote |
                                         (f.direction == 0) << kFlagRx);
            break;
        case FrameKind::kCanErrorFrame:
            flags = static_cast<uint8_t>(1 << kFlagExtended | 1 << kFlagError | 1 << kFlagRx);
            break;
        case FrameKind::kLinFrame:
            length = stored = f.data_length;
            flags = static_cast<uint8_t>((f.direction == 0) << kFlagRx);
            break;
        case FrameKind::kNone:
            return false;
    }
    const unsigned channel = channel_code(f.kind, f.bus);
    uint8_t* payload = nullptr;
    Row* row = add_row(stored, payload);
    if (row == nullptr) return false;
    const double time = origin + f.time;
    *row = Row{time, f.identifier & 0x1FFFFFFFu, static_cast<uint16_t>(channel), static_cast<uint8_t>(length), flags};
    if (stored != 0) {
        if (f.kind == FrameKind::kLinFrame) {
            std::memcpy(payload, f.lin_payload, stored);
        } else {
            const uint64_t copied = f.present < stored ? f.present : stored;
            if (copied != 0) std::memcpy(payload, f.payload, copied);
            if (stored > copied) std::memset(payload + copied, 0, stored - copied);
        }
    }
    channels_.set(channel);
    if (time != time) has_nan_ = true;
    return true;
}

namespace {

// 64 bytes of ones, then 64 of zeros: the 64 bytes from kKeep + 64 - n keep
// the first n bytes of a word and clear the rest.
alignas(64) constexpr uint8_t kKeep[128] = {
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

// Bit k of each of 8 flag bytes (one little-endian word), as the 8 bytes 0
// or 1 / as one byte of 8 bits, the first row's the lowest.
inline uint64_t flag_bytes(uint64_t word, unsigned k) { return (word >> k) & 0x0101010101010101u; }
inline uint8_t flag_bits(uint64_t word, unsigned k) {
    return static_cast<uint8_t>((flag_bytes(word, k) * 0x0102040810204080u) >> 56);
}

}  // namespace

bool FrameStore::append(const CanDataBatch& b, double origin) {
    uint32_t i = 0;
    while (i < b.count) {
        Chunk* chunk = room();
        if (chunk == nullptr) return false;
        // The chunk's and store's counts in locals while the rows go in: the
        // payload bytes written may alias anything.
        uint32_t size = chunk->size;
        uint64_t payload_size = chunk->payload_size;
        uint64_t rows = size_;
        uint64_t payload_bytes = payload_bytes_;
        uint64_t widest = widest_;
        bool nan = has_nan_;
        Row* const out = chunk->rows;
        uint8_t* const payloads = chunk->payload;
        for (; i < b.count && size < chunk->capacity; ++i) {
            if (b.keep[i] == 0) continue;
            const uint64_t length = b.data_length[i];
            const uint8_t flags = static_cast<uint8_t>(
                (b.extended[i] != 0) << kFlagExtended | (b.fd[i] != 0) << kFlagFd |
                (b.brs[i] != 0) << kFlagBitrateSwitch | (b.esi[i] != 0) << kFlagErrorStateIndicator |
                (b.direction[i] == 0) << kFlagRx);
            const unsigned channel = channel_code(FrameKind::kCanDataFrame, b.bus[i]);
            const double time = origin + b.time[i];
            out[size] = Row{time, b.identifier[i] & 0x1FFFFFFFu, static_cast<uint16_t>(channel),
                            static_cast<uint8_t>(length), flags};
            uint8_t* payload = payloads + payload_size;
            const uint64_t copied = b.present[i] < length ? b.present[i] : length;
            if (copied != 0) std::memcpy(payload, b.payload[i], copied);
            if (length > copied) std::memset(payload + copied, 0, length - copied);
            payload_size += length;
            ++size;
            ++rows;
            payload_bytes += length;
            if (length > widest) widest = length;
            channels_.set(channel);
            nan = nan || time != time;
        }
        chunk->size = size;
        chunk->payload_size = payload_size;
        size_ = rows;
        payload_bytes_ = payload_bytes;
        widest_ = widest;
        has_nan_ = nan;
    }
    return true;
}

// The merge of fill_columns, in two forms that give the same order. Python's
// heapq.merge compares its entries ([message, order, next] lists) by
// timestamp unless the timestamps are equal, then by group order. Without
// NaN that is a strict total order on the groups' current frames, so its
// heap always gives the least of them: the merge takes runs of one group
// while its frames stay below the least frame of the others (found by a scan
// over the groups, or from a heap where there are many), and copies each run
// in one go. A NaN timestamp compares with nothing, and the heap's order then
// depends on its shape: the merge follows heapq's algorithm step for step
// (its heapify, its sift with the smaller child chosen unless the left one
// is strictly less, its replace and pop), so that the result is the same odd
// order iteration gives.
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
        const ColumnTargets& t = targets_;
        bool nan = false;
        uint64_t rows = 0;
        for (size_t g = 0; g < stores_.size(); ++g) {
            FrameStore& store = stores_[g];
            total_payload_ += store.payload_bytes_;
            rows += store.size_;
            if (store.size_ == 0) continue;
            nan = nan || store.has_nan_;
            Cursor cursor{&store, 0, nullptr, nullptr, nullptr, static_cast<uint32_t>(g)};
            enter_chunk(cursor);
            cursors_.push_back(cursor);
            heap_.push_back(static_cast<uint32_t>(cursors_.size() - 1));
        }
        rows_end_ = t.data_rows + rows * t.data_width;
        text_end_ = t.channel_text + rows * t.channel_text_width;
        span_ = (t.data_width + 7) & ~uint64_t{7};
        if (span_ > kCanPayloadSize) span_ = kCanPayloadSize;
        if (t.mapped) find_recipients(rows);

        bool all_flags = true;
        for (uint8_t* flag : t.flags) all_flags = all_flags && flag != nullptr;
        const bool basic = t.timestamp != nullptr && t.arbitration_id != nullptr && t.dlc != nullptr && all_flags;
        const bool offsets = (t.offsets32 != nullptr) != (t.offsets64 != nullptr);
        if (basic && t.data_rows != nullptr && t.data_values == nullptr) {
            merge<Shape::kRows>(nan);
        } else if (basic && t.data_rows == nullptr && t.data_values != nullptr && offsets) {
            merge<Shape::kValues>(nan);
        } else {
            merge<Shape::kGeneral>(nan);
        }
        flush();
        if (t.offsets32 != nullptr) t.offsets32[row_] = static_cast<int32_t>(value_at_);
        if (t.offsets64 != nullptr) t.offsets64[row_] = static_cast<int64_t>(value_at_);
        for (FrameStore& store : stores_) store = FrameStore();
        return true;
    }

private:
    // What the columns wanted allow leaving out per row: every basic column
    // (timestamp, identifier, dlc, flags) and the payload as padded rows, or
    // as values with offsets, or anything (each column checked).
    enum class Shape { kRows, kValues, kGeneral };

    struct Cursor {
        FrameStore* store;
        size_t chunk;
        const FrameStore::Row* row;  // the current row; null once the store is copied out
        const FrameStore::Row* end;  // of the current chunk
        const uint8_t* payload;      // the current row's payload
        uint32_t order;
    };

    // Rows whose flags and channels wait in batch_flags_ and batch_channels_
    // until they are spread over their columns in one pass. A multiple of 8,
    // so that every batch starts on a whole byte of Arrow's bit columns.
    static constexpr uint32_t kBatch = 4096;
    // The text of a channel name: at most 7 characters ("LIN 255"), kept in
    // 8 code units per code.
    static constexpr uint64_t kTextUnits = 8;

    void enter_chunk(Cursor& c) {
        FrameStore::Chunk* chunk = c.store->chunks_[c.chunk];
        c.row = chunk->rows;
        c.end = chunk->rows + chunk->size;
        c.payload = chunk->payload;
    }

    // Moves past a chunk copied out, handing its memory on; false when it
    // was the last.
    bool next_chunk(Cursor& c) {
        std::vector<FrameStore::Chunk*>& chunks = c.store->chunks_;
        retire(chunks[c.chunk]);
        chunks[c.chunk] = nullptr;
        if (++c.chunk == chunks.size()) {
            c.row = c.end = nullptr;
            return false;
        }
        enter_chunk(c);
        return true;
    }

    // A column buffer that is a mapping of its own, and how far into it the
    // merge has written: below row_ * stride + slack (value_at_ + slack for
    // the payload values) for the rows written so far, and below `given`
    // for the pages moved in.
    struct Recipient {
        uint8_t* base;
        uint64_t size;
        uint64_t stride;  // bytes per row; 0: the payload values
        uint64_t slack;   // bytes a row's writes may reach past its own
        uint64_t given;
    };

    // The mapped buffers, largest first, that can take a store's pages.
    void find_recipients(uint64_t rows) {
        const ColumnTargets& t = targets_;
        const uint64_t flag_row = t.flag_bits ? 0 : 1;
        const Recipient candidates[] = {
            {t.data_rows, rows * t.data_width, t.data_width, kCanPayloadSize, 0},
            {t.channel_text != nullptr ? reinterpret_cast<uint8_t*>(t.channel_text) : nullptr,
             rows * t.channel_text_width * 4, t.channel_text_width * 4, kTextUnits * 4, 0},
            {t.data_values, total_payload_, 0, kCanPayloadSize, 0},
            {reinterpret_cast<uint8_t*>(t.timestamp), rows * 8, 8, 0, 0},
            {reinterpret_cast<uint8_t*>(t.arbitration_id), rows * 4, 4, 0, 0},
            {reinterpret_cast<uint8_t*>(t.channel), rows * 2, 2, 0, 0},
            {t.offsets64 != nullptr ? reinterpret_cast<uint8_t*>(t.offsets64) : reinterpret_cast<uint8_t*>(t.offsets32),
             (rows + 1) * (t.offsets64 != nullptr ? 8u : 4u), t.offsets64 != nullptr ? 8u : 4u, 0, 0},
            {t.dlc, rows, 1, 0, 0},
            {t.flags[0], rows * flag_row, flag_row, 0, 0},
        };
        for (const Recipient& r : candidates) {
            if (r.base != nullptr && r.size >= kMappedFrom && recipient_count_ < kMaxRecipients) {
                recipients_[recipient_count_++] = r;
            }
        }
    }

    // Frees a chunk copied out, or moves the pages it wrote (its rows and
    // payloads, from its start) where a column will be written next: they
    // are in memory already, where a column's fresh pages would each cost a
    // fault and a page of zeros. The pages it never wrote go back.
    void retire(FrameStore::Chunk* chunk) {
        if (chunk != nullptr && chunk->mapped) {
            const uint64_t spanned = mapping_size(chunk->bytes);
            const uint64_t written =
                static_cast<uint64_t>(reinterpret_cast<uint8_t*>(chunk->payload) - reinterpret_cast<uint8_t*>(chunk)) +
                chunk->payload_size;
            const uint64_t bytes = written & ~uint64_t{kMappingAlignment - 1};
            if (bytes != 0 && give(reinterpret_cast<uint8_t*>(chunk), bytes)) {
                unmap_pages(reinterpret_cast<uint8_t*>(chunk) + bytes, spanned - bytes);
                return;
            }
        }
        FrameStore::Chunk::destroy(chunk);
    }

    // Moves `bytes` of pages to the recipient that will write them soonest,
    // past what it has written; pages put far ahead would only wait there,
    // and the memory in use would grow meanwhile, so they go back instead.
    bool give(uint8_t* pages, uint64_t bytes) {
        constexpr uint64_t kFarthest = uint64_t{32} << 20;
        Recipient* best = nullptr;
        uint64_t best_at = 0;
        uint64_t best_ahead = kFarthest + 1;
        for (uint32_t i = 0; i < recipient_count_; ++i) {
            Recipient& r = recipients_[i];
            // Whole pieces of the buffer, past everything written.
            const uint64_t usable = r.size & ~uint64_t{kMappingAlignment - 1};
            const uint64_t written = (r.stride == 0 ? value_at_ : row_ * r.stride) + r.slack;
            uint64_t at = written > r.given ? written : r.given;
            at = (at + kMappingAlignment - 1) & ~uint64_t{kMappingAlignment - 1};
            if (at >= usable || usable - at < bytes) continue;
            const uint64_t ahead = at - written;
            if (ahead < best_ahead) {
                best = &r;
                best_at = at;
                best_ahead = ahead;
            }
        }
        if (best == nullptr || !move_pages(pages, best->base + best_at, bytes)) return false;
        best->given = best_at + bytes;
        return true;
    }

    template <Shape S>
    void merge(bool nan) {
        if (nan) {
            merge_as_heapq<S>();
        } else if (cursors_.size() <= kScanned) {
            merge_scanned<S>();
        } else {
            merge_heap<S>();
        }
    }

    // Copies the cursor's row out and moves on to the next; false when the
    // store is copied out.
    template <Shape S>
    bool emit(Cursor& c) {
        const ColumnTargets& t = targets_;
        const FrameStore::Row& row = *c.row;
        const uint64_t length = (row.flags >> kFlagRemote & 1u) != 0 ? 0 : row.dlc;
        const uint8_t* bytes = c.payload;
        const uint64_t r = row_++;
        const uint32_t b = static_cast<uint32_t>(r - batch_start_);
        if (S != Shape::kGeneral || t.timestamp != nullptr) t.timestamp[r] = row.time;
        if (S != Shape::kGeneral || t.arbitration_id != nullptr) t.arbitration_id[r] = row.id;
        if (S != Shape::kGeneral || t.dlc != nullptr) t.dlc[r] = row.dlc;
        batch_flags_[b] = row.flags;
        batch_channels_[b] = row.channel;
        if (S == Shape::kRows || (S == Shape::kGeneral && t.data_rows != nullptr)) {
            uint8_t* out = t.data_rows + r * t.data_width;
            // The store holds a payload's room after every row's payload, and
            // the rows after this one are written later: a whole padded span
            // at once, zeros and all, where the buffer has room for it.
            if (static_cast<uint64_t>(rows_end_ - out) >= span_) {
                copy_padded(out, bytes, length, span_);
            } else {
                if (length != 0) std::memcpy(out, bytes, length);
                if (t.data_width > length) std::memset(out + length, 0, t.data_width - length);
            }
        }
        if (S == Shape::kValues || (S == Shape::kGeneral && t.data_values != nullptr)) {
            uint8_t* out = t.data_values + value_at_;
            // A whole payload's width at once where the buffer has room for
            // it: the values after this one overwrite the excess.
            if (total_payload_ - value_at_ >= kCanPayloadSize) {
                std::memcpy(out, bytes, kCanPayloadSize);
            } else if (length != 0) {
                std::memcpy(out, bytes, length);
            }
            if (t.offsets32 != nullptr) {
                t.offsets32[r] = static_cast<int32_t>(value_at_);
            } else if (t.offsets64 != nullptr) {
                t.offsets64[r] = static_cast<int64_t>(value_at_);
            }
            value_at_ += length;
        }
        if (b + 1 == kBatch) flush();
        c.payload = bytes + length;
        if (++c.row != c.end) return true;
        return next_chunk(c);
    }

    // Copies the cursor's rows out while they come before a frame at `limit`
    // of a group after it (`wins_ties`) or before it; at least one row, the
    // least of all. False when the store is copied out.
    template <Shape S>
    bool take_run(Cursor& c, double limit, bool wins_ties) {
        if (wins_ties) {
            do {
                if (!emit<S>(c)) return false;
            } while (c.row->time <= limit);
        } else {
            do {
                if (!emit<S>(c)) return false;
            } while (c.row->time < limit);
        }
        return true;
    }

    // Up to this many groups, the least two frames are found by a scan.
    static constexpr size_t kScanned = 16;

    template <Shape S>
    void merge_scanned() {
        // Cursors stay in group order: the first of equal timestamps wins.
        std::vector<Cursor>& active = cursors_;
        while (active.size() > 1) {
            size_t best = 0;
            size_t second = 1;
            double best_time = active[0].row->time;
            double second_time = active[1].row->time;
            if (second_time < best_time) {
                std::swap(best, second);
                std::swap(best_time, second_time);
            }
            for (size_t i = 2; i < active.size(); ++i) {
                const double time = active[i].row->time;
                if (time < best_time) {
                    second = best;
                    second_time = best_time;
                    best = i;
                    best_time = time;
                } else if (time < second_time) {
                    second = i;
                    second_time = time;
                }
            }
            Cursor& c = active[best];
            if (!take_run<S>(c, second_time, c.order < active[second].order)) active.erase(active.begin() + best);
        }
        if (!active.empty()) {
            while (emit<S>(active[0])) {
            }
        }
    }

    // heapq's comparison of two cursors' current frames.
    bool less(uint32_t a, uint32_t b) const {
        const Cursor& x = cursors_[a];
        const Cursor& y = cursors_[b];
        const double xt = x.row->time;
        const double yt = y.row->time;
        if (xt == yt) return x.order < y.order;
        return xt < yt;
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

    void heapify() {
        for (size_t i = heap_.size() / 2; i-- > 0;) sift_up(i);
    }

    // After the top's frames went out: the top back into its place, or out.
    void settle_top(bool more) {
        if (!more) {
            heap_[0] = heap_.back();
            heap_.pop_back();
        }
        if (!heap_.empty()) sift_up(0);
    }

    // Many groups: the top of the heap copies frames while they come before
    // the least of the other groups' frames (the smaller child of the top).
    template <Shape S>
    void merge_heap() {
        heapify();
        while (heap_.size() > 1) {
            Cursor& top = cursors_[heap_[0]];
            size_t second = 1;
            if (heap_.size() > 2 && less(heap_[2], heap_[1])) second = 2;
            const Cursor& next = cursors_[heap_[second]];
            settle_top(take_run<S>(top, next.row->time, top.order < next.order));
        }
        if (!heap_.empty()) {
            while (emit<S>(cursors_[heap_[0]])) {
            }
        }
    }

    // heapq.merge step for step: one frame at a time.
    template <Shape S>
    void merge_as_heapq() {
        heapify();
        while (heap_.size() > 1) settle_top(emit<S>(cursors_[heap_[0]]));
        if (!heap_.empty()) {
            while (emit<S>(cursors_[heap_[0]])) {
            }
        }
    }

    // Spreads the batch's flags and channels over their columns.
    void flush() {
        const ColumnTargets& t = targets_;
        const uint64_t start = batch_start_;
        const uint32_t n = static_cast<uint32_t>(row_ - start);
        if (n == 0) return;
        // Whole words of 8 rows; the flags beyond the last row are zero.
        const uint32_t words = (n + 7) / 8;
        std::memset(batch_flags_ + n, 0, words * 8 - n);
        for (unsigned k = 0; k < kFlagCount; ++k) {
            uint8_t* column = t.flags[k];
            if (column == nullptr) continue;
            if (t.flag_bits) {
                uint8_t* out = column + start / 8;
                for (uint32_t w = 0; w < words; ++w) {
                    uint64_t word;
                    std::memcpy(&word, batch_flags_ + 8 * w, 8);
                    out[w] = flag_bits(word, k);
                }
            } else {
                uint8_t* out = column + start;
                const uint32_t whole = n / 8;
                for (uint32_t w = 0; w < whole; ++w) {
                    uint64_t word;
                    std::memcpy(&word, batch_flags_ + 8 * w, 8);
                    word = flag_bytes(word, k);
                    std::memcpy(out + 8 * w, &word, 8);
                }
                for (uint32_t j = 8 * whole; j < n; ++j) out[j] = static_cast<uint8_t>(batch_flags_[j] >> k & 1u);
            }
        }
        if (t.channel != nullptr) {
            int16_t* out = t.channel + start;
            for (uint32_t j = 0; j < n; ++j) out[j] = t.channel_codes[batch_channels_[j]];
        }
        if (t.channel_text != nullptr) {
            const uint64_t width = t.channel_text_width;
            uint32_t* out = t.channel_text + start * width;
            for (uint32_t j = 0; j < n; ++j, out += width) {
                const uint32_t* text = t.channel_texts + batch_channels_[j] * kTextUnits;
                // All 8 code units where the buffer has room: the next row's
                // text overwrites those beyond this one's width.
                if (text_end_ - out >= static_cast<ptrdiff_t>(kTextUnits)) {
                    std::memcpy(out, text, kTextUnits * 4);
                } else {
                    std::memcpy(out, text, width * 4);
                }
            }
        }
        batch_start_ = row_;
    }

    std::vector<FrameStore>& stores_;
    const ColumnTargets& targets_;
    std::vector<Cursor> cursors_;
    std::vector<uint32_t> heap_;  // indices into cursors_
    uint64_t row_ = 0;
    uint64_t value_at_ = 0;
    uint64_t total_payload_ = 0;
    const uint8_t* rows_end_ = nullptr;
    const uint32_t* text_end_ = nullptr;
    uint64_t span_ = 0;
    static constexpr uint32_t kMaxRecipients = 9;
    Recipient recipients_[kMaxRecipients];
    uint32_t recipient_count_ = 0;
    uint64_t batch_start_ = 0;
    uint8_t batch_flags_[kBatch + 8];
    uint16_t batch_channels_[kBatch];
};

bool fill_columns(std::vector<FrameStore>& stores, const ColumnTargets& targets) {
    ColumnMerge* merge = new (std::nothrow) ColumnMerge(stores, targets);
    if (merge == nullptr) return false;
    const bool ok = merge->run();
    delete merge;
    return ok;
}

}  // namespace tolvar::bus
