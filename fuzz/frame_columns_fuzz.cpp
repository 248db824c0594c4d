// Any bytes as a file holding a chain of data groups (the first 8 bytes,
// taken as a little-endian number modulo the size, name the first one's
// offset), read into columns in ways that must agree row for row: the walk
// one record at a time (each frame checked against the general decoding
// rules of its group's decoder) merged into a table, and the column path
// (batches of prepared decoding straight into stores) in every layout the
// host uses, whole and a chunk at a time (the chunk's rows taken from the
// input). Also through a filter taken from the last bytes. Parsed and
// planned once as this reader's own recordings and once as any writer's.
// Chunks in Arrow's layout are also exported as record batches (the data
// column binary, large_binary or binary_view) whose values must be the
// chunk's, and released.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "bus/arrow_batches.h"
#include "bus/column_writer.h"
#include "bus/frame_columns.h"
#include "bus/frame_filter.h"
#include "bus/frame_merge.h"
#include "bus/frame_store.h"
#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "log/log.h"
#include "stream/memory_stream.h"

#include "fuzz_plans.h"

namespace {

using namespace tolvar::bus;

int quiet(tolvar::log::LogMessage*, void*) { return 0; }

// One row as a message shows it: the frame's bytes (the timestamp bit for
// bit) and the payload.
struct Row {
    Frame frame;
    std::vector<uint8_t> payload;
    bool operator==(const Row& o) const {
        return std::memcmp(&frame, &o.frame, sizeof frame) == 0 && payload == o.payload;
    }
};

// The record group whose layout the view names.
const RecordGroup& group_of(const GroupPlan& plan, const RecordView& view) {
    for (const RecordGroup& group : plan.record_groups) {
        if (group.layout == view.layout && group.layout != nullptr) return group;
    }
    abort();
}

// Every group walked a record at a time into stores, each frame checked
// against its decoder's general rules; false where a record gives no frame.
bool walked_stores(const std::vector<GroupPlan>& plans, const FrameFilter* filter, std::vector<FrameStore>& stores) {
    stores.resize(plans.size());
    for (size_t g = 0; g < plans.size(); ++g) {
        std::optional<RecordIterator> it = RecordIterator::create(&plans[g], 1000.0, filter);
        if (!it) abort();
        for (WalkStep step = it->first(); step != WalkStep::kEnd; step = it->advance()) {
            if (step == WalkStep::kNoFrame) return false;
            const DecodedRecord& r = it->current();
            DecodedRecord by_rule;
            PayloadScratch scratch;
            const RecordGroup& group = group_of(plans[g], it->view());
            const FrameKind kind = decode_by_rules(group.program.decoder, it->view(), 1000.0, by_rule, scratch);
            // A virtual time is the record's place in its group, which the
            // rules for one record cannot know.
            if (group.virtual_time) by_rule.frame.timestamp = r.frame.timestamp;
            if (kind != kind_of(r.frame) || std::memcmp(&by_rule.frame, &r.frame, sizeof(Frame)) != 0) abort();
            const uint64_t length = payload_length(r.frame);
            if (length != 0 && std::memcmp(by_rule.payload, r.payload, length) != 0) abort();
            // A store chunk's room: a payload is read up to a full width.
            uint8_t padded[kCanPayloadSize] = {};
            if (length != 0) std::memcpy(padded, r.payload, length);
            if (!stores[g].append(r.frame, padded)) abort();
        }
    }
    return true;
}

// The rows of a chunk of `layout`.
void rows_of(const ColumnChunk& chunk, const ColumnLayout& layout, std::vector<Row>& out) {
    const auto column = [&](Column c) { return chunk.columns[column_index(c)].data(); };
    for (uint64_t r = 0; r < chunk.rows; ++r) {
        Row row;
        std::memcpy(&row.frame.timestamp, column(Column::kTimestamp) + 8 * r, 8);
        std::memcpy(&row.frame.id, column(Column::kArbitrationId) + 4 * r, 4);
        row.frame.dlc = column(Column::kDlc)[r];
        row.frame.flags = 0;
        for (unsigned k = 0; k < kFlagCount; ++k) {
            const uint8_t* flags = chunk.columns[kFirstFlagColumn + k].data();
            const unsigned bit = layout.flag_bits ? flags[r / 8] >> (r % 8) & 1u : flags[r];
            if (bit > 1) abort();
            row.frame.flags = static_cast<uint8_t>(row.frame.flags | bit << k);
        }
        if (layout.channel == ColumnLayout::Channel::kText) {
            const uint32_t* text = reinterpret_cast<const uint32_t*>(column(Column::kChannel)) + r * chunk.text_width;
            char name[kChannelNameSize] = {};
            for (uint64_t i = 0; i < chunk.text_width && i < 7; ++i) name[i] = static_cast<char>(text[i]);
            const int code = channel_of_name(name, std::strlen(name));
            if (code < 0) abort();
            row.frame.channel = static_cast<uint16_t>(code);
        } else {
            int16_t index;
            std::memcpy(&index, column(Column::kChannel) + 2 * r, 2);
            if (index < 0 || static_cast<size_t>(index) >= chunk.dictionary.size()) abort();
            row.frame.channel = chunk.dictionary[static_cast<size_t>(index)];
        }
        const uint64_t length = payload_length(row.frame);
        if (layout.data == ColumnLayout::Data::kRows) {
            const uint8_t* bytes = column(Column::kData) + r * chunk.data_width;
            row.payload.assign(bytes, bytes + length);
            for (uint64_t b = length; b < chunk.data_width; ++b) {
                if (bytes[b] != 0) abort();  // padding is zeros
            }
        } else {
            int64_t begin, end;
            if (chunk.large_offsets) {
                std::memcpy(&begin, chunk.offsets.data() + 8 * r, 8);
                std::memcpy(&end, chunk.offsets.data() + 8 * (r + 1), 8);
            } else {
                int32_t b32, e32;
                std::memcpy(&b32, chunk.offsets.data() + 4 * r, 4);
                std::memcpy(&e32, chunk.offsets.data() + 4 * (r + 1), 4);
                begin = b32;
                end = e32;
            }
            if (end - begin != static_cast<int64_t>(length) || end > static_cast<int64_t>(chunk.payload_bytes)) abort();
            row.payload.assign(column(Column::kData) + begin, column(Column::kData) + end);
        }
        out.push_back(std::move(row));
    }
}

// The chunk's rows (read already into `rows`, from `first` on) as an
// exported record batch gives them: timestamps, identifiers and payloads.
void check_batch(ColumnChunk& chunk, DataType type, const std::vector<Row>& rows, size_t first) {
    BatchSchema schema;
    schema.data = type;
    ArrowArray batch;
    if (!export_batch(chunk, schema, &batch)) abort();
    if (batch.length != static_cast<int64_t>(rows.size() - first) || batch.n_children != kColumnCount) abort();
    const ArrowArray& data = *batch.children[column_index(Column::kData)];
    const uint8_t* const* b = reinterpret_cast<const uint8_t* const*>(data.buffers);
    for (int64_t r = 0; r < batch.length; ++r) {
        const Row& row = rows[first + static_cast<size_t>(r)];
        if (std::memcmp(static_cast<const uint8_t*>(batch.children[0]->buffers[1]) + 8 * r, &row.frame.timestamp,
                        8) != 0 ||
            static_cast<const uint32_t*>(batch.children[1]->buffers[1])[r] != row.frame.id) {
            abort();
        }
        std::vector<uint8_t> payload;
        if (type == DataType::kBinaryView) {
            int32_t length, offset;
            std::memcpy(&length, b[1] + 16 * r, 4);
            std::memcpy(&offset, b[1] + 16 * r + 12, 4);
            const uint8_t* bytes = length <= 12 ? b[1] + 16 * r + 4 : b[2] + offset;
            payload.assign(bytes, bytes + length);
        } else if (type == DataType::kLargeBinary) {
            const int64_t* o = reinterpret_cast<const int64_t*>(b[1]);
            payload.assign(b[2] + o[r], b[2] + o[r + 1]);
        } else {
            const int32_t* o = reinterpret_cast<const int32_t*>(b[1]);
            payload.assign(b[2] + o[r], b[2] + o[r + 1]);
        }
        if (payload != row.payload) abort();
    }
    batch.release(&batch);
}

// The rows of the walked stores, merged as iteration merges the groups.
std::vector<Row> merged(std::vector<FrameStore>& stores) {
    uint64_t n = 0, bytes = 0;
    bool nan = false;
    for (const FrameStore& s : stores) {
        n += s.appended();
        bytes += s.payload_bytes();
        nan = nan || s.has_nan();
    }
    ColumnLayout layout;
    ColumnChunk chunk;
    const auto make = [](tolvar::stream::Allocation& memory, uint64_t size) {
        memory = tolvar::stream::Allocation::zeroed(size);
        if (!memory) abort();
    };
    for (unsigned c = 0; c < kColumnCount; ++c) make(chunk.columns[c], n * 8 + 1);
    make(chunk.columns[column_index(Column::kData)], bytes);
    make(chunk.offsets, (n + 1) * 4);
    int16_t identity[kChannelCount];
    for (unsigned c = 0; c < kChannelCount; ++c) {
        identity[c] = static_cast<int16_t>(c);
        chunk.dictionary.push_back(static_cast<uint16_t>(c));
    }
    ColumnWriter writer(layout, chunk, n, bytes, identity);
    FrameMerge merge(stores, nullptr);
    if (!merge.start()) abort();
    merge.write_all(writer, nan);
    writer.finish();
    std::vector<Row> rows;
    rows_of(chunk, layout, rows);
    return rows;
}

// The column path's rows in `layout`: whole, or chunk after chunk.
std::optional<std::vector<Row>> column_rows(const std::vector<GroupPlan>& plans, const FrameFilter* filter,
                                            const ColumnLayout& layout, uint64_t chunk_rows) {
    std::unique_ptr<FrameColumns> columns = FrameColumns::open(plans.data(), plans.size(), filter, 1000.0, layout, chunk_rows);
    if (!columns) abort();
    std::vector<Row> rows;
    for (;;) {
        ColumnChunk chunk;
        const ColumnResult result = columns->next(chunk);
        if (result == ColumnResult::kEnd) break;
        if (result == ColumnResult::kNoFrame) return std::nullopt;
        if (result != ColumnResult::kChunk) abort();
        if (chunk_rows != 0 && (chunk.rows == 0 || chunk.rows > chunk_rows)) abort();
        ColumnLayout as = layout;
        if (chunk_rows != 0) as.dictionary_of_all = true;
        const size_t first = rows.size();
        rows_of(chunk, as, rows);
        if (chunk_rows != 0 && layout.flag_bits) check_batch(chunk, static_cast<DataType>(chunk_rows % 3), rows, first);
        if (chunk_rows == 0) {
            if (columns->next(chunk) != ColumnResult::kEnd) abort();
            break;
        }
    }
    return rows;
}

void compare(const std::vector<GroupPlan>& plans, const FrameFilter* filter, uint64_t chunk_rows) {
    std::vector<FrameStore> stores;
    const bool frames_only = walked_stores(plans, filter, stores);
    std::optional<std::vector<Row>> expected;
    if (frames_only) expected = merged(stores);
    ColumnLayout numpy;
    numpy.channel = ColumnLayout::Channel::kText;
    numpy.data = ColumnLayout::Data::kRows;
    ColumnLayout arrow;
    arrow.flag_bits = true;
    const ColumnLayout pandas;
    for (const ColumnLayout& layout : {numpy, arrow, pandas}) {
        for (const uint64_t rows : {uint64_t{0}, chunk_rows}) {
            const std::optional<std::vector<Row>> got = column_rows(plans, filter, layout, rows);
            if (got.has_value() != frames_only) abort();
            if (got && !(*got == *expected)) abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tolvar::log::set_output(tolvar::log::kMessage, nullptr, quiet);
    if (size < 24) return 0;
    uint64_t first = 0;
    std::memcpy(&first, data, 8);
    first %= size;
    // A filter from the last 16 bytes: a window, an identifier filter and a
    // set of channels; and the rows of a chunk.
    double start = 0.0;
    uint32_t id = 0;
    uint32_t mask = 0;
    std::memcpy(&start, data + size - 16, 8);
    std::memcpy(&id, data + size - 8, 4);
    std::memcpy(&mask, data + size - 4, 4);
    if (std::isnan(start)) start = 0.0;
    FrameFilter filter;
    filter.set_window(1000.0 + start, 1000.0 + start + static_cast<double>(mask % 1000) / 100.0);
    filter.set_id_filters({{id & 0x1FFFFFFFu, mask & 0x1FFFFFFFu, static_cast<int8_t>(static_cast<int>(id >> 30) - 1)}});
    std::bitset<kChannelCount> channels;
    for (unsigned c = 0; c < kChannelCount; c += 1 + (mask >> 24) % 7) channels.set(c);
    filter.set_channels(channels);
    const uint64_t chunk_rows = 1 + (id >> 8) % 300;

    tolvar::stream::MemoryStream stream;
    stream.write(data, size);
    for (const bool any_writer : {false, true}) {
        const FuzzPlans parsed = plans_of(stream, first, size, any_writer);
        compare(parsed.plans, nullptr, chunk_rows);
        compare(parsed.plans, &filter, chunk_rows);
    }
    stream.close();
    return 0;
}
