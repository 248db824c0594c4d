#include "bus/frame_columns.h"

#include <new>
#include <optional>

#include "bus/column_writer.h"
#include "bus/frame_merge.h"
#include "bus/frame_store.h"
#include "bus/record_iterator.h"
#include "bus/record_plan.h"

namespace tolvar::bus {

namespace {

// Rows a walk adds to its store each time the merge of a chunk at a time
// finds the store empty, and the rows of each store chunk then: small, so
// that what waits in the stores stays small beside a chunk.
constexpr uint64_t kRefillRows = 4096;
// A chunk's payload values stay addressable with 32-bit offsets: a chunk
// ends once it holds more than this, the last row at most a payload more.
constexpr uint64_t kChunkPayloadLimit = uint64_t{INT32_MAX} - kCanPayloadSize;

// a * b, or false when it does not fit.
bool product(uint64_t a, uint64_t b, uint64_t& out) {
    if (b != 0 && a > UINT64_MAX / b) return false;
    out = a * b;
    return true;
}

}  // namespace

struct FrameColumns::State final : FrameMerge::Source {
    State(const FrameFilter* frame_filter, double time_origin, const ColumnLayout& column_layout,
          uint64_t rows_per_chunk)
        : filter(frame_filter), origin(time_origin), layout(column_layout), chunk_rows(rows_per_chunk) {}

    const FrameFilter* filter;  // borrowed
    double origin;
    ColumnLayout layout;
    uint64_t chunk_rows;
    std::vector<RecordIterator> walks;
    std::vector<FrameStore> stores;
    std::optional<FrameMerge> merge;
    bool ended = false;
    StopCheck stop = nullptr;
    void* context = nullptr;
    int16_t channel_index[kChannelCount] = {};

    CollectResult more(size_t group) override {
        if (stop != nullptr && stop(context)) return CollectResult::kStopped;
        const CollectResult result = walks[group].collect(stores[group], kRefillRows);
        if (stop != nullptr && stop(context)) return CollectResult::kStopped;
        return result;
    }

    bool allocate(ColumnChunk& chunk, const ColumnLayout& as, uint64_t rows, uint64_t payload_capacity,
                  const std::bitset<kChannelCount>& channels, uint64_t widest);
    ColumnResult whole(ColumnChunk& chunk);
    ColumnResult bounded(ColumnChunk& chunk);
};

// The chunk's allocations for `rows` rows, as the layout `as` says; its
// channel dictionary of `channels` (or of every channel).
bool FrameColumns::State::allocate(ColumnChunk& chunk, const ColumnLayout& as, uint64_t rows,
                                   uint64_t payload_capacity, const std::bitset<kChannelCount>& channels,
                                   uint64_t widest) {
    chunk = ColumnChunk();
    const auto wanted = [&](Column c) { return as.wanted.test(column_index(c)); };
    try {
        chunk.dictionary.clear();
        for (unsigned code = 0; code < kChannelCount; ++code) {
            if (!as.dictionary_of_all && !channels.test(code)) continue;
            channel_index[code] = static_cast<int16_t>(chunk.dictionary.size());
            chunk.dictionary.push_back(static_cast<uint16_t>(code));
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    // The channel's text as wide as the longest name present (at least one
    // character, as numpy makes an empty array of strings).
    chunk.text_width = 1;
    for (unsigned code = 0; code < kChannelCount; ++code) {
        if (!channels.test(code)) continue;
        char name[kChannelNameSize];
        const uint64_t length = channel_name(code, name);
        if (length > chunk.text_width) chunk.text_width = length;
    }
    chunk.data_width = widest;
    chunk.large_offsets = payload_capacity > static_cast<uint64_t>(INT32_MAX);
    auto make = [&](stream::Allocation& memory, uint64_t count, uint64_t size) {
        uint64_t bytes = 0;
        if (!product(count, size, bytes) || bytes > SIZE_MAX) return false;
        memory = stream::Allocation::zeroed(static_cast<size_t>(bytes));
        return static_cast<bool>(memory);
    };
    auto column = [&](Column c) -> stream::Allocation& { return chunk.columns[column_index(c)]; };
    if (wanted(Column::kTimestamp) && !make(column(Column::kTimestamp), rows, 8)) return false;
    if (wanted(Column::kArbitrationId) && !make(column(Column::kArbitrationId), rows, 4)) return false;
    for (unsigned k = 0; k < kFlagCount; ++k) {
        const Column flag = static_cast<Column>(kFirstFlagColumn + k);
        if (wanted(flag) && !make(column(flag), as.flag_bits ? (rows + 7) / 8 : rows, 1)) return false;
    }
    if (wanted(Column::kDlc) && !make(column(Column::kDlc), rows, 1)) return false;
    if (wanted(Column::kChannel)) {
        const bool text = as.channel == ColumnLayout::Channel::kText;
        if (!make(column(Column::kChannel), rows, text ? 4 * chunk.text_width : 2)) return false;
    }
    if (wanted(Column::kData)) {
        if (as.data == ColumnLayout::Data::kRows) {
            if (!make(column(Column::kData), rows, chunk.data_width)) return false;
        } else if (!make(column(Column::kData), payload_capacity, 1) ||
                   !make(chunk.offsets, rows + 1, chunk.large_offsets ? 8 : 4)) {
            return false;
        }
    }
    return true;
}

// Every frame in one chunk: each group walked whole into its store, then the
// columns sized exactly and filled by the merge, which hands the stores'
// pages on to them as it empties the stores.
ColumnResult FrameColumns::State::whole(ColumnChunk& chunk) {
    uint64_t rows = 0;
    uint64_t payload = 0;
    uint64_t widest = 0;
    bool nan = false;
    std::bitset<kChannelCount> channels;
    for (size_t g = 0; g < walks.size(); ++g) {
        walks[g].rewind();
        const CollectResult result = walks[g].collect(stores[g]);
        if (result == CollectResult::kNoFrame) return ColumnResult::kNoFrame;
        if (result == CollectResult::kNoMemory) return ColumnResult::kNoMemory;
        // A host stream that failed ends the read.
        if (stop != nullptr && stop(context)) return ColumnResult::kStopped;
        const FrameStore& store = stores[g];
        rows += store.appended();
        payload += store.payload_bytes();
        if (store.widest() > widest) widest = store.widest();
        channels |= store.channels();
        nan = nan || store.has_nan();
    }
    if (!allocate(chunk, layout, rows, payload, channels, widest)) return ColumnResult::kNoMemory;
    ColumnWriter writer(layout, chunk, rows, payload, channel_index);
    writer.accept_pages();
    FrameMerge all(stores, nullptr);
    if (!all.start()) return ColumnResult::kNoMemory;
    all.write_all(writer, nan);
    writer.finish();
    ended = true;
    return ColumnResult::kChunk;
}

// The next chunk of at most chunk_rows rows, the walks read as the merge
// needs their rows.
ColumnResult FrameColumns::State::bounded(ColumnChunk& chunk) {
    auto failed = [](CollectResult result) {
        if (result == CollectResult::kNoFrame) return ColumnResult::kNoFrame;
        if (result == CollectResult::kStopped) return ColumnResult::kStopped;
        return ColumnResult::kNoMemory;
    };
    if (!merge) {
        for (RecordIterator& walk : walks) walk.rewind();
        merge.emplace(stores, this);
        if (!merge->start()) return failed(merge->failure());
    }
    if (merge->finished()) {
        ended = true;
        return ColumnResult::kEnd;
    }
    uint64_t payload_capacity = 0;
    if (!product(chunk_rows, kCanPayloadSize, payload_capacity)) payload_capacity = UINT64_MAX;
    if (payload_capacity > static_cast<uint64_t>(INT32_MAX)) payload_capacity = INT32_MAX;
    std::bitset<kChannelCount> every;
    every.set();
    // A stream's dictionary cannot wait for the channels present: it holds
    // every channel, the same in every chunk.
    ColumnLayout fixed = layout;
    fixed.dictionary_of_all = true;
    if (!allocate(chunk, fixed, chunk_rows, payload_capacity, every, kCanPayloadSize)) return ColumnResult::kNoMemory;
    ColumnWriter writer(fixed, chunk, chunk_rows, payload_capacity, channel_index);
    if (!merge->write_some(writer, chunk_rows, kChunkPayloadLimit)) return failed(merge->failure());
    writer.finish();
    if (chunk.rows == 0) {
        ended = true;
        return ColumnResult::kEnd;
    }
    return ColumnResult::kChunk;
}

std::unique_ptr<FrameColumns> FrameColumns::open(const GroupPlan* plans, size_t count, const FrameFilter* filter,
                                                 double origin, const ColumnLayout& layout, uint64_t chunk_rows) {
    try {
        auto state = std::make_unique<State>(filter, origin, layout, chunk_rows);
        state->walks.reserve(count);
        for (size_t g = 0; g < count; ++g) {
            std::optional<RecordIterator> walk = RecordIterator::create(&plans[g], origin, filter);
            if (!walk) return nullptr;
            state->walks.push_back(std::move(*walk));
        }
        state->stores.resize(count);
        for (FrameStore& store : state->stores) {
            if (chunk_rows != 0) store.set_largest_chunk(static_cast<uint32_t>(kRefillRows));
        }
        return std::unique_ptr<FrameColumns>(new FrameColumns(std::move(state)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

FrameColumns::FrameColumns(std::unique_ptr<State> state) : state_(std::move(state)) {}
FrameColumns::~FrameColumns() = default;

ColumnResult FrameColumns::next(ColumnChunk& chunk, StopCheck stop, void* context) {
    State& s = *state_;
    if (s.ended) return ColumnResult::kEnd;
    s.stop = stop;
    s.context = context;
    const ColumnResult result = s.chunk_rows == 0 ? s.whole(chunk) : s.bounded(chunk);
    s.stop = nullptr;
    s.context = nullptr;
    if (result != ColumnResult::kChunk) s.ended = true;
    return result;
}

}  // namespace tolvar::bus
