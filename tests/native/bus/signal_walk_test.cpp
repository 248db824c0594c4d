// The signal path: every frame of a recording's data groups decoded in
// iteration's order (the column path's merge, read whole, is the reference),
// across store chunks, with ties, NaN timestamps and filters; row numbers;
// the forms a host table is made of; and the growth of column memory.
#include "bus/signal_walk.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "bus/column_layout.h"
#include "bus/frame_filter.h"
#include "bus/growing_allocation.h"
#include "bus/record_plan.h"
#include "bus/signal_tables.h"
#include "bus_bytes.h"
#include "mdf/mdf_document.h"
#include "signal_test_util.h"

namespace tolvar::bus {
namespace {

using namespace testing;
using test::BusBytes;
using test::Bytes;
using test::Cn;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Records of 23 bytes: time (float64), bus, identifier, IDE, length, 8 data bytes.
std::vector<Cn> can_channels() {
    return {{"Timestamp", 0, 0, 64, test::kFloatIntel},
            {"CAN_DataFrame.BusChannel", 8, 0, 8},
            {"CAN_DataFrame.ID", 9, 0, 32},
            {"CAN_DataFrame.IDE", 13, 0, 1},
            {"CAN_DataFrame.DataLength", 14, 0, 8},
            {"CAN_DataFrame.DataBytes", 15, 0, 64, test::kByteArray}};
}

struct Row {
    double time;
    uint8_t bus;
    uint32_t id;
    bool extended;
    std::vector<uint8_t> data;
};

// A recording of one data group per list of rows.
struct Recording {
    std::unique_ptr<stream::MemoryStream> stream;
    std::unique_ptr<mdf::MdfDocument> document;
    std::vector<GroupPlan> plans;
};

std::unique_ptr<Recording> recording_of(const std::vector<std::vector<Row>>& groups) {
    BusBytes file;
    file.hd();
    const uint64_t fh = file.fh(0, file.tool_comment());
    uint64_t next = 0;
    for (size_t g = groups.size(); g-- > 0;) {
        Bytes records;
        for (const Row& r : groups[g]) {
            std::vector<uint8_t> data = r.data;
            data.resize(8, 0);
            records.f64(r.time).u8(r.bus).u32(r.id).u8(r.extended ? 1 : 0).u8(static_cast<uint8_t>(r.data.size()));
            for (uint8_t b : data) records.u8(b);
        }
        const uint64_t cg = file.cg(file.channels(can_channels()), 0, 23, 0, file.bus_source());
        next = file.dg(cg, file.dt(records.bytes), 0, next);
    }
    file.set_link(64, 0, next);
    file.set_link(64, 1, fh);
    auto out = std::make_unique<Recording>();
    out->stream = file.stream();
    out->document = mdf::MdfDocument::open(out->stream.get());
    EXPECT_NE(out->document, nullptr);
    if (!out->document) return nullptr;
    std::optional<std::vector<GroupPlan>> plans = build_plans(*out->document);
    EXPECT_TRUE(plans.has_value());
    if (!plans) return nullptr;
    out->plans = std::move(*plans);
    return out;
}

// Three messages on every channel: a plain one, a multiplexed one and an
// extended one; frames of other identifiers match none.
DecodeDescription three_messages() {
    return database({
        message("Plain", 0x100, 8, {signal("a", 0, 12), signal("b", 12, 20, kBig, SignalValueType::kSigned, 0.5, -3)}),
        message("Muxed", 0x200, 8, {signal("m", 0, 4), muxed(signal("x", 8, 16), "m", {{1, 2}}),
                                    muxed(signal("y", 8, 8), "m", {{3, 3}})}),
        message("Ext", 0x1ABCDE, 8, {signal("z", 7, 64, kBig)}, true),
    });
}

// The decoder fed, row by row, with the column path's merged frames read
// whole: iteration's order, as the column tests establish.
void decode_merged(const Recording& r, const FrameFilter* filter, SignalDecoder& decoder) {
    ColumnLayout layout;
    layout.channel = ColumnLayout::Channel::kCodes;
    layout.dictionary_of_all = true;
    layout.data = ColumnLayout::Data::kRows;
    std::unique_ptr<FrameColumns> columns = FrameColumns::open(r.plans.data(), r.plans.size(), filter, 0.0, layout, 0);
    ASSERT_NE(columns, nullptr);
    ColumnChunk chunk;
    ASSERT_EQ(columns->next(chunk), ColumnResult::kChunk);
    auto column = [&](Column c) { return chunk.columns[column_index(c)].data(); };
    const double* time = reinterpret_cast<const double*>(column(Column::kTimestamp));
    const uint32_t* id = reinterpret_cast<const uint32_t*>(column(Column::kArbitrationId));
    const int16_t* channel = reinterpret_cast<const int16_t*>(column(Column::kChannel));
    const uint8_t* dlc = column(Column::kDlc);
    const uint8_t* extended = column(Column::kIsExtendedId);
    for (uint64_t i = 0; i < chunk.rows; ++i) {
        Payload payload;
        std::memcpy(payload.data(), column(Column::kData) + i * chunk.data_width, chunk.data_width);
        const uint8_t flags = static_cast<uint8_t>(extended[i] << kFlagExtended);
        ASSERT_TRUE(decoder.append(frame(payload, dlc[i], id[i], chunk.dictionary[channel[i]], flags, time[i])));
    }
}

// Whether two decoders' tables hold the same rows, bit for bit.
void expect_same_tables(const SignalDecoder& got, const SignalDecoder& expected) {
    ASSERT_EQ(got.tables().size(), expected.tables().size());
    for (size_t t = 0; t < got.tables().size(); ++t) {
        const MessageTable& a = got.tables()[t];
        const MessageTable& b = expected.tables()[t];
        ASSERT_EQ(a.rows(), b.rows()) << t;
        const uint64_t n = a.rows();
        if (n == 0) continue;
        EXPECT_EQ(std::memcmp(a.timestamp(), b.timestamp(), n * 8), 0) << t;
        EXPECT_EQ(std::memcmp(a.channel(), b.channel(), n * 2), 0) << t;
        for (size_t c = 0; c < a.column_count(); ++c) {
            EXPECT_EQ(std::memcmp(a.values(c), b.values(c), n * 8), 0) << t << " column " << c;
        }
    }
}

std::vector<std::vector<Row>> random_groups(size_t groups, size_t per_group, unsigned seed, bool nan) {
    std::mt19937 rng(seed);
    const uint32_t ids[] = {0x100, 0x200, 0x1ABCDE, 0x300, 0x7FF};
    std::vector<std::vector<Row>> out(groups);
    for (size_t g = 0; g < groups; ++g) {
        double t = 0;
        for (size_t k = 0; k < per_group; ++k) {
            // Steps of 0 give ties within a group and, as groups step alike,
            // between groups.
            t += (rng() % 3) * 0.25;
            Row r{t, static_cast<uint8_t>(1 + rng() % 3), ids[rng() % 5], false, {}};
            r.extended = r.id > 0x7FF;
            r.data.resize(rng() % 9);
            for (uint8_t& b : r.data) b = static_cast<uint8_t>(rng());
            if (nan && rng() % 500 == 0) r.time = kNaN;
            out[g].push_back(std::move(r));
        }
    }
    return out;
}

struct WalkCase {
    const char* name;
    size_t groups;
    size_t per_group;  // past the walk's refill of 4096 rows: several store chunks
    bool nan;
};

class SignalWalkTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(SignalWalkTest, DecodesEveryFrameInIterationsOrder) {
    const WalkCase& c = GetParam();
    std::unique_ptr<Recording> r = recording_of(random_groups(c.groups, c.per_group, 7, c.nan));
    ASSERT_NE(r, nullptr);
    SignalProgram program;
    std::string error;
    ASSERT_TRUE(SignalProgram::compile(three_messages(), program, error)) << error;

    FrameFilter window;
    window.set_window(10.0, 900.0);
    std::bitset<kChannelCount> buses;
    buses.set(1);
    buses.set(3);
    FrameFilter channels;
    channels.set_channels(buses);
    const std::vector<const FrameFilter*> filters{nullptr, &window, &channels};
    for (const FrameFilter* filter : filters) {
        SignalDecoder got(program, true);
        ASSERT_EQ(decode_frames(r->plans.data(), r->plans.size(), filter, 0.0, got), ColumnResult::kEnd);
        SignalDecoder expected(program);
        decode_merged(*r, filter, expected);
        expect_same_tables(got, expected);
        EXPECT_EQ(got.frames(), expected.frames());
        uint64_t rows = 0;
        for (const MessageTable& t : got.tables()) rows += t.rows();
        EXPECT_EQ(rows > 0, c.per_group > 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Recordings, SignalWalkTest,
                         ::testing::Values(WalkCase{"one_group", 1, 300, false},
                                           WalkCase{"three_groups_many_chunks", 3, 9000, false},
                                           WalkCase{"nan_timestamps", 3, 5000, true},
                                           WalkCase{"empty_groups", 2, 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Row numbers are each row's place among the frames handed over: merged
// back by them, the tables give the frames in order.
TEST(SignalWalkRowsTest, RowNumbersGiveEachRowsPlaceInIteration) {
    std::unique_ptr<Recording> r = recording_of(random_groups(2, 2000, 3, false));
    ASSERT_NE(r, nullptr);
    SignalProgram program;
    std::string error;
    ASSERT_TRUE(SignalProgram::compile(three_messages(), program, error)) << error;
    SignalDecoder decoder(program, true);
    ASSERT_EQ(decode_frames(r->plans.data(), r->plans.size(), nullptr, 0.0, decoder), ColumnResult::kEnd);
    EXPECT_EQ(decoder.frames(), 4000u);
    std::vector<double> by_row(decoder.frames(), kNaN);
    uint64_t decoded = 0;
    for (const MessageTable& t : decoder.tables()) {
        ASSERT_TRUE(t.has_row_numbers());
        for (uint64_t i = 0; i < t.rows(); ++i) {
            ASSERT_LT(t.row_number()[i], by_row.size());
            EXPECT_TRUE(std::isnan(by_row[t.row_number()[i]])) << "row number given twice";
            by_row[t.row_number()[i]] = t.timestamp()[i];
            if (i > 0) {
                EXPECT_LT(t.row_number()[i - 1], t.row_number()[i]);
            }
        }
        decoded += t.rows();
    }
    // Frames of identifiers 0x300 and 0x7FF match no message: 3 of 5 match.
    EXPECT_GT(decoded, 4000u * 2 / 5);
    EXPECT_LT(decoded, 4000u * 4 / 5);
    double last = -1;
    for (double t : by_row) {
        if (std::isnan(t)) continue;
        EXPECT_LE(last, t);
        last = t;
    }
}

TEST(SignalTableFormsTest, ChannelsAsDictionaryIndicesAndAsText) {
    std::vector<uint16_t> codes{3, 1, 3, 255, 1};
    uint64_t width = 0;
    stream::Allocation text = channel_text(codes.data(), codes.size(), width);
    ASSERT_TRUE(text);
    EXPECT_EQ(width, 7u);  // "CAN 255"
    const uint32_t* units = reinterpret_cast<const uint32_t*>(text.data());
    std::u32string first(reinterpret_cast<const char32_t*>(units), 7);
    EXPECT_EQ(first, std::u32string(U"CAN 3\0\0", 7));
    EXPECT_EQ(std::u32string(reinterpret_cast<const char32_t*>(units + 21), 7), U"CAN 255");

    std::vector<uint16_t> dictionary;
    channel_indices(codes.data(), codes.size(), dictionary);
    EXPECT_EQ(dictionary, (std::vector<uint16_t>{1, 3, 255}));
    std::vector<int16_t> indices(codes.size());
    std::memcpy(indices.data(), codes.data(), codes.size() * 2);
    EXPECT_EQ(indices, (std::vector<int16_t>{1, 0, 1, 2, 0}));
}

TEST(SignalTableFormsTest, ValueNamesAsTextAndValidity) {
    const std::vector<int32_t> codes{0, -1, 2, 1, -1, 0, 0, 0, 2};
    const std::vector<std::u32string> names{U"Park", U"", U"Drive \u00e9"};
    uint64_t width = 0;
    stream::Allocation text = names_text(codes.data(), codes.size(), names, width);
    ASSERT_TRUE(text);
    ASSERT_EQ(width, 7u);
    const char32_t* units = reinterpret_cast<const char32_t*>(text.data());
    EXPECT_EQ(std::u32string(units, 7), std::u32string(U"Park\0\0\0", 7));
    EXPECT_EQ(std::u32string(units + 7, 7), std::u32string(7, U'\0'));
    EXPECT_EQ(std::u32string(units + 14, 7), U"Drive \u00e9");

    uint64_t absent = 0;
    stream::Allocation bitmap = code_validity(codes.data(), codes.size(), absent);
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(absent, 2u);
    EXPECT_EQ(bitmap.data()[0], 0b11101101);
    EXPECT_EQ(bitmap.data()[1], 0b1);

    const std::vector<double> values{1.0, absent_value(), kNaN, 0.0};
    bitmap = value_validity(values.data(), values.size(), absent);
    EXPECT_EQ(absent, 1u);
    EXPECT_EQ(bitmap.data()[0], 0b1101);  // a decoded NaN is a value
}

// Column memory grows from the heap into mappings (whose pages move rather
// than being copied) and keeps what it held at every step.
TEST(GrowingAllocationTest, KeepsItsBytesFromTheHeapIntoMappings) {
    stream::Allocation memory;
    size_t size = 0;
    uint64_t written = 0;
    for (size_t next = 256; next <= (size_t{32} << 20); next *= 2) {
        ASSERT_TRUE(grow_allocation(memory, size, next));
        ASSERT_GE(memory.size(), next);
        uint64_t* words = reinterpret_cast<uint64_t*>(memory.data());
        for (uint64_t i = 0; i < written; i += 4093) ASSERT_EQ(words[i], i * 0x9E3779B97F4A7C15ull) << next;
        for (uint64_t i = written; i < next / 8; ++i) words[i] = i * 0x9E3779B97F4A7C15ull;
        written = next / 8;
        size = next;
    }
    EXPECT_TRUE(memory.mapped());
    const uint8_t* before = memory.data();
    EXPECT_TRUE(grow_allocation(memory, size, size / 2));  // room enough: nothing changes
    EXPECT_EQ(memory.data(), before);
    EXPECT_FALSE(grow_allocation(memory, size, ~size_t{0} - 4096));
    EXPECT_EQ(memory.data(), before);
}

}  // namespace
}  // namespace tolvar::bus
