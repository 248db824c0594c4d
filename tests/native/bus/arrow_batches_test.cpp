// Record batches on the Arrow C data interface: the schema's formats and
// names, a batch's buffers against the chunk it came from for every type of
// data column, children released on their own (as consumers that take a
// column move it out) and from other threads, and the requested schemas the
// reader honours or refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bus/arrow_batches.h"

namespace tolvar::bus {
namespace {

constexpr unsigned kData = column_index(Column::kData);
constexpr unsigned kChannel = column_index(Column::kChannel);

// A chunk as the column path fills it for a stream: payloads of the given
// lengths (byte k of payload r is r + k), channel index r % 3.
ColumnChunk chunk_of(const std::vector<uint32_t>& lengths) {
    ColumnChunk chunk;
    const uint64_t rows = lengths.size();
    chunk.rows = rows;
    auto make = [](uint64_t bytes) { return stream::Allocation::zeroed(bytes); };
    chunk.columns[column_index(Column::kTimestamp)] = make(rows * 8);
    chunk.columns[column_index(Column::kArbitrationId)] = make(rows * 4);
    for (unsigned k = 0; k < kFlagCount; ++k) chunk.columns[kFirstFlagColumn + k] = make((rows + 7) / 8);
    chunk.columns[column_index(Column::kDlc)] = make(rows);
    chunk.columns[kChannel] = make(rows * 2);
    uint64_t payload = 0;
    for (uint32_t length : lengths) payload += length;
    chunk.columns[kData] = make(payload);
    chunk.offsets = make((rows + 1) * 4);
    chunk.payload_bytes = payload;
    auto* offsets = reinterpret_cast<int32_t*>(chunk.offsets.data());
    int32_t at = 0;
    for (uint64_t r = 0; r < rows; ++r) {
        reinterpret_cast<double*>(chunk.columns[0].data())[r] = 0.5 * static_cast<double>(r);
        reinterpret_cast<uint32_t*>(chunk.columns[1].data())[r] = 0x100 + static_cast<uint32_t>(r);
        reinterpret_cast<int16_t*>(chunk.columns[kChannel].data())[r] = static_cast<int16_t>(r % 3);
        offsets[r] = at;
        for (uint32_t k = 0; k < lengths[r]; ++k) chunk.columns[kData].data()[at + k] = static_cast<uint8_t>(r + k);
        at += static_cast<int32_t>(lengths[r]);
    }
    offsets[rows] = at;
    return chunk;
}

std::vector<uint8_t> payload(uint64_t r, uint32_t length) {
    std::vector<uint8_t> out(length);
    for (uint32_t k = 0; k < length; ++k) out[k] = static_cast<uint8_t>(r + k);
    return out;
}

// The payload of row r as the data column's buffers give it.
std::vector<uint8_t> payload_of(const ArrowArray& data, DataType type, uint64_t r) {
    const uint8_t* const* b = reinterpret_cast<const uint8_t* const*>(data.buffers);
    if (type == DataType::kBinaryView) {
        const uint8_t* view = b[1] + 16 * r;
        int32_t length;
        std::memcpy(&length, view, 4);
        if (length <= 12) return std::vector<uint8_t>(view + 4, view + 4 + length);
        int32_t buffer, offset;
        std::memcpy(&buffer, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        EXPECT_EQ(0, std::memcmp(view + 4, b[2 + buffer] + offset, 4)) << "the prefix is the payload's start";
        return std::vector<uint8_t>(b[2 + buffer] + offset, b[2 + buffer] + offset + length);
    }
    int64_t begin, end;
    if (type == DataType::kLargeBinary) {
        begin = reinterpret_cast<const int64_t*>(b[1])[r];
        end = reinterpret_cast<const int64_t*>(b[1])[r + 1];
    } else {
        begin = reinterpret_cast<const int32_t*>(b[1])[r];
        end = reinterpret_cast<const int32_t*>(b[1])[r + 1];
    }
    return std::vector<uint8_t>(b[2] + begin, b[2] + end);
}

class DataTypeTest : public testing::TestWithParam<DataType> {};

TEST_P(DataTypeTest, BatchHoldsTheChunksValues) {
    const DataType type = GetParam();
    const std::vector<uint32_t> lengths = {0, 8, 12, 13, 64, 3, 0, 20, 1, 12};
    ColumnChunk chunk = chunk_of(lengths);
    const void* timestamps = chunk.columns[0].data();
    BatchSchema schema;
    schema.data = type;
    ArrowArray batch;
    ASSERT_TRUE(export_batch(chunk, schema, &batch));
    EXPECT_FALSE(chunk.columns[0]) << "the batch took the allocations";
    ASSERT_EQ(batch.n_children, static_cast<int64_t>(kColumnCount));
    EXPECT_EQ(batch.length, static_cast<int64_t>(lengths.size()));
    EXPECT_EQ(batch.n_buffers, 1);
    EXPECT_EQ(batch.buffers[0], nullptr);
    EXPECT_EQ(batch.children[0]->buffers[1], timestamps) << "no copy";
    for (int64_t i = 0; i < batch.n_children; ++i) {
        const ArrowArray& child = *batch.children[i];
        EXPECT_EQ(child.length, batch.length);
        EXPECT_EQ(child.null_count, 0);
        EXPECT_EQ(child.buffers[0], nullptr) << "no validity: no nulls";
        for (int64_t k = 1; k < child.n_buffers; ++k) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(child.buffers[k]) % 64, 0u) << "column " << i << " buffer " << k;
        }
    }
    const ArrowArray& data = *batch.children[kData];
    EXPECT_EQ(data.n_buffers, type == DataType::kBinaryView ? 4 : 3);
    for (uint64_t r = 0; r < lengths.size(); ++r) EXPECT_EQ(payload_of(data, type, r), payload(r, lengths[r])) << r;
    if (type == DataType::kBinaryView) {
        EXPECT_EQ(reinterpret_cast<const int64_t*>(data.buffers[3])[0], 133) << "the variadic buffer's size";
    }
    const ArrowArray& channel = *batch.children[kChannel];
    ASSERT_NE(channel.dictionary, nullptr);
    const ArrowArray& names = *channel.dictionary;
    ASSERT_EQ(names.length, static_cast<int64_t>(kChannelCount));
    const int32_t* offsets = static_cast<const int32_t*>(names.buffers[1]);
    const char* text = static_cast<const char*>(names.buffers[2]);
    for (unsigned code : {0u, 1u, 255u, 256u, 300u, 511u}) {
        char expected[kChannelNameSize];
        const unsigned length = channel_name(code, expected);
        EXPECT_EQ(std::string(text + offsets[code], text + offsets[code + 1]), std::string(expected, length));
    }
    batch.release(&batch);
    EXPECT_EQ(batch.release, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Types, DataTypeTest,
                         testing::Values(DataType::kBinary, DataType::kLargeBinary, DataType::kBinaryView));

TEST(ArrowBatchesTest, ChildrenMovedOutOutliveTheirParentAndReleaseOnOtherThreads) {
    ColumnChunk chunk = chunk_of({1, 2, 3, 40});
    ArrowArray batch;
    ASSERT_TRUE(export_batch(chunk, BatchSchema(), &batch));
    // A consumer takes the channel and data columns (moving the structs out)
    // and lets the batch go first.
    ArrowArray channel = *batch.children[kChannel];
    batch.children[kChannel]->release = nullptr;
    ArrowArray data = *batch.children[kData];
    batch.children[kData]->release = nullptr;
    std::thread([&] { batch.release(&batch); }).join();
    EXPECT_EQ(payload_of(data, DataType::kBinary, 3), payload(3, 40));
    EXPECT_EQ(channel.dictionary->length, static_cast<int64_t>(kChannelCount));
    std::thread([&] { channel.release(&channel); }).join();
    std::thread([&] { data.release(&data); }).join();
    EXPECT_EQ(channel.release, nullptr);
    EXPECT_EQ(data.release, nullptr);
}

TEST(ArrowBatchesTest, ProjectedBatchHasTheColumnsChosenInTableOrder) {
    ColumnChunk chunk = chunk_of({4, 5});
    BatchSchema schema;
    schema.columns.reset();
    schema.columns.set(column_index(Column::kArbitrationId)).set(kChannel);
    ArrowArray batch;
    ASSERT_TRUE(export_batch(chunk, schema, &batch));
    ASSERT_EQ(batch.n_children, 2);
    EXPECT_EQ(static_cast<const uint32_t*>(batch.children[0]->buffers[1])[1], 0x101u);
    EXPECT_NE(batch.children[1]->dictionary, nullptr);
    batch.release(&batch);

    ArrowSchema exported;
    ASSERT_TRUE(export_schema(schema, &exported));
    ASSERT_EQ(exported.n_children, 2);
    EXPECT_STREQ(exported.children[0]->name, "arbitration_id");
    EXPECT_STREQ(exported.children[1]->name, "channel");
    exported.release(&exported);
}

TEST(ArrowBatchesTest, SchemaNamesAndFormats) {
    ArrowSchema schema;
    ASSERT_TRUE(export_schema(BatchSchema(), &schema));
    EXPECT_STREQ(schema.format, "+s");
    ASSERT_EQ(schema.n_children, static_cast<int64_t>(kColumnCount));
    const char* expected[][2] = {{"timestamp", "g"}, {"arbitration_id", "I"}, {"is_extended_id", "b"},
                                 {"is_remote_frame", "b"}, {"is_error_frame", "b"}, {"is_fd", "b"},
                                 {"bitrate_switch", "b"}, {"error_state_indicator", "b"}, {"is_rx", "b"},
                                 {"dlc", "C"}, {"channel", "s"}, {"data", "z"}};
    for (unsigned i = 0; i < kColumnCount; ++i) {
        EXPECT_STREQ(schema.children[i]->name, expected[i][0]);
        EXPECT_STREQ(schema.children[i]->format, expected[i][1]);
        EXPECT_EQ(schema.children[i]->flags, ARROW_FLAG_NULLABLE);
    }
    ASSERT_NE(schema.children[kChannel]->dictionary, nullptr);
    EXPECT_STREQ(schema.children[kChannel]->dictionary->format, "u");
    // A consumer may take the channel field and release it after the schema.
    ArrowSchema channel = *schema.children[kChannel];
    schema.children[kChannel]->release = nullptr;
    schema.release(&schema);
    EXPECT_STREQ(channel.dictionary->format, "u");
    channel.release(&channel);
    EXPECT_EQ(channel.release, nullptr);
}

// A requested schema edited from the reader's own.
struct Request {
    const char* name;
    void (*edit)(ArrowSchema& schema);
    bool honoured;
    DataType data;
    unsigned columns;
};

const Request kRequests[] = {
    {"own", [](ArrowSchema&) {}, true, DataType::kBinary, kColumnCount},
    {"large_binary", [](ArrowSchema& s) { s.children[kData]->format = "Z"; }, true, DataType::kLargeBinary,
     kColumnCount},
    {"binary_view", [](ArrowSchema& s) { s.children[kData]->format = "vz"; }, true, DataType::kBinaryView,
     kColumnCount},
    {"the first columns", [](ArrowSchema& s) { s.n_children = 3; }, true, DataType::kBinary, 3},
    {"string data", [](ArrowSchema& s) { s.children[kData]->format = "u"; }, false, DataType::kBinary, 0},
    {"float32 timestamps", [](ArrowSchema& s) { s.children[0]->format = "f"; }, false, DataType::kBinary, 0},
    {"a renamed column", [](ArrowSchema& s) { s.children[1]->name = "id"; }, false, DataType::kBinary, 0},
    {"columns swapped", [](ArrowSchema& s) { std::swap(s.children[0], s.children[1]); }, false, DataType::kBinary, 0},
    {"channel without dictionary", [](ArrowSchema& s) { s.children[kChannel]->dictionary = nullptr; }, false,
     DataType::kBinary, 0},
    {"large_utf8 dictionary", [](ArrowSchema& s) { s.children[kChannel]->dictionary->format = "U"; }, false,
     DataType::kBinary, 0},
    {"not a struct", [](ArrowSchema& s) { s.format = "+l"; }, false, DataType::kBinary, 0},
    {"no columns", [](ArrowSchema& s) { s.n_children = 0; }, false, DataType::kBinary, 0},
    {"a column without a name", [](ArrowSchema& s) { s.children[2]->name = nullptr; }, false, DataType::kBinary, 0},
};

class RequestedSchemaTest : public testing::TestWithParam<Request> {};

TEST_P(RequestedSchemaTest, HonouredOrRefused) {
    const Request& request = GetParam();
    ArrowSchema schema;
    ASSERT_TRUE(export_schema(BatchSchema(), &schema));
    ArrowSchema** children = schema.children;
    ArrowSchema* original[kColumnCount];
    std::copy(children, children + kColumnCount, original);
    ArrowSchema* dictionary = original[kChannel]->dictionary;
    const char* dictionary_format = dictionary->format;
    request.edit(schema);
    BatchSchema out;
    const char* why = nullptr;
    EXPECT_EQ(read_requested_schema(schema, out, why), request.honoured);
    if (request.honoured) {
        EXPECT_EQ(out.data, request.data);
        EXPECT_EQ(out.columns.count(), request.columns);
    } else {
        EXPECT_NE(why, nullptr);
    }
    // Undo the edits before the release.
    std::copy(original, original + kColumnCount, children);
    original[kChannel]->dictionary = dictionary;
    dictionary->format = dictionary_format;
    schema.n_children = kColumnCount;
    schema.release(&schema);
}

INSTANTIATE_TEST_SUITE_P(Requests, RequestedSchemaTest, testing::ValuesIn(kRequests),
                         [](const testing::TestParamInfo<Request>& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

}  // namespace
}  // namespace tolvar::bus
