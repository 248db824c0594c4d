// Frame stores and their merge into columns: the values a message would
// carry, heapq.merge's order (ties, NaN, groups out of time order), chunk
// boundaries of the stores and of the columns (a table read a chunk at a
// time equals the table read whole), every shape of columns, and pages
// handed on to the columns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "bus/column_writer.h"
#include "bus/frame_columns.h"
#include "bus/frame_merge.h"
#include "bus/frame_store.h"

namespace tolvar::bus {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A frame as the decoders leave it, with its payload.
struct Input {
    Frame frame;
    std::vector<uint8_t> payload;
};

Input data_frame(double time, uint32_t id, std::vector<uint8_t> payload, uint16_t channel = 1, uint8_t flags = 0) {
    Input in;
    in.frame = Frame{time, id, channel, static_cast<uint8_t>(payload.size()), static_cast<uint8_t>(flags | 1 << kFlagRx)};
    in.payload = std::move(payload);
    return in;
}

bool append(FrameStore& store, const Input& in) {
    // A store chunk's room: a payload is read up to its full width.
    std::vector<uint8_t> padded(in.payload);
    padded.resize(kCanPayloadSize, 0xCD);
    return store.append(in.frame, padded.data());
}

// The columns of a chunk as plain vectors.
struct Table {
    std::vector<double> timestamp;
    std::vector<uint32_t> id;
    std::vector<uint8_t> dlc;
    std::vector<uint8_t> flags[kFlagCount];  // one byte or bits, as the layout says
    std::vector<int16_t> channel;
    std::vector<uint32_t> text;
    std::vector<uint8_t> data;  // rows or values
    std::vector<int64_t> offsets;
    uint64_t width = 0;
    uint64_t text_width = 0;
    std::vector<uint16_t> dictionary;
};

template <class T>
std::vector<T> copy_of(const stream::Allocation& memory, uint64_t count) {
    if (!memory) return {};
    const T* data = reinterpret_cast<const T*>(memory.data());
    return std::vector<T>(data, data + count);
}

Table table_of(const ColumnChunk& chunk, const ColumnLayout& layout) {
    const uint64_t n = chunk.rows;
    Table t;
    t.width = chunk.data_width;
    t.text_width = chunk.text_width;
    t.dictionary = chunk.dictionary;
    t.timestamp = copy_of<double>(chunk.columns[column_index(Column::kTimestamp)], n);
    t.id = copy_of<uint32_t>(chunk.columns[column_index(Column::kArbitrationId)], n);
    t.dlc = copy_of<uint8_t>(chunk.columns[column_index(Column::kDlc)], n);
    for (unsigned k = 0; k < kFlagCount; ++k) {
        t.flags[k] = copy_of<uint8_t>(chunk.columns[kFirstFlagColumn + k], layout.flag_bits ? (n + 7) / 8 : n);
    }
    if (layout.channel == ColumnLayout::Channel::kText) {
        t.text = copy_of<uint32_t>(chunk.columns[column_index(Column::kChannel)], n * chunk.text_width);
    } else {
        t.channel = copy_of<int16_t>(chunk.columns[column_index(Column::kChannel)], n);
    }
    if (layout.data == ColumnLayout::Data::kRows) {
        t.data = copy_of<uint8_t>(chunk.columns[column_index(Column::kData)], n * chunk.data_width);
    } else {
        t.data = copy_of<uint8_t>(chunk.columns[column_index(Column::kData)], chunk.payload_bytes);
        if (chunk.large_offsets) {
            t.offsets = copy_of<int64_t>(chunk.offsets, n + 1);
        } else {
            for (int32_t o : copy_of<int32_t>(chunk.offsets, chunk.offsets ? n + 1 : 0)) t.offsets.push_back(o);
        }
    }
    return t;
}

// The allocations of a chunk of `rows` rows, as FrameColumns makes them.
void allocate(ColumnChunk& chunk, const ColumnLayout& layout, uint64_t rows, uint64_t payload, uint64_t width) {
    auto make = [](stream::Allocation& memory, uint64_t bytes) {
        memory = stream::Allocation::zeroed(bytes);
        ASSERT_TRUE(memory);
    };
    chunk.data_width = width;
    chunk.text_width = 6;
    make(chunk.columns[column_index(Column::kTimestamp)], rows * 8);
    make(chunk.columns[column_index(Column::kArbitrationId)], rows * 4);
    make(chunk.columns[column_index(Column::kDlc)], rows);
    for (unsigned k = 0; k < kFlagCount; ++k) {
        make(chunk.columns[kFirstFlagColumn + k], layout.flag_bits ? (rows + 7) / 8 : rows);
    }
    const bool text = layout.channel == ColumnLayout::Channel::kText;
    make(chunk.columns[column_index(Column::kChannel)], rows * (text ? 4 * chunk.text_width : 2));
    if (layout.data == ColumnLayout::Data::kRows) {
        make(chunk.columns[column_index(Column::kData)], rows * width);
    } else {
        make(chunk.columns[column_index(Column::kData)], payload);
        make(chunk.offsets, (rows + 1) * 4);
    }
}

// Channel codes as their own dictionary entries.
struct Identity {
    int16_t index[kChannelCount];
    Identity() {
        for (unsigned c = 0; c < kChannelCount; ++c) index[c] = static_cast<int16_t>(c);
    }
};
const Identity kIdentity;

// Every row of the stores merged into one chunk of `layout`.
Table fill(std::vector<FrameStore>& stores, ColumnLayout layout = {}) {
    uint64_t n = 0, width = 0, bytes = 0;
    bool nan = false;
    for (FrameStore& s : stores) {
        n += s.appended();
        width = std::max(width, s.widest());
        bytes += s.payload_bytes();
        nan = nan || s.has_nan();
    }
    ColumnChunk chunk;
    allocate(chunk, layout, n, bytes, width);
    ColumnWriter writer(layout, chunk, n, bytes, kIdentity.index);
    writer.accept_pages();
    FrameMerge merge(stores, nullptr);
    EXPECT_TRUE(merge.start());
    merge.write_all(writer, nan);
    writer.finish();
    EXPECT_EQ(chunk.rows, n);
    for (FrameStore& s : stores) EXPECT_TRUE(s.chunks().empty());
    return table_of(chunk, layout);
}

// Merge orders as the host's heapq.merge gives them for messages compared by
// timestamp, each frame tagged with id = 100 * group + index in the group.
struct MergeCase {
    const char* name;
    std::vector<std::vector<double>> groups;
    std::vector<uint32_t> expected;
};

class MergeOrderTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeOrderTest, FollowsHeapqMerge) {
    const MergeCase& c = GetParam();
    std::vector<FrameStore> stores(c.groups.size());
    for (size_t g = 0; g < c.groups.size(); ++g) {
        for (size_t i = 0; i < c.groups[g].size(); ++i) {
            ASSERT_TRUE(append(stores[g], data_frame(c.groups[g][i], static_cast<uint32_t>(100 * g + i), {1})));
        }
    }
    EXPECT_EQ(fill(stores).id, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, MergeOrderTest,
    ::testing::Values(MergeCase{"ties", {{1, 3, 3}, {2, 3}, {3}}, {0, 100, 1, 2, 101, 200}},
                      MergeCase{"nan", {{kNaN, 0, 5}, {1, 2}, {kNaN}}, {200, 100, 0, 1, 101, 2}},
                      MergeCase{"backwards", {{5, 1, 2}, {3, 4}, {0, 9}}, {200, 100, 101, 0, 1, 2, 201}},
                      MergeCase{"empty_groups", {{}, {2, 1}, {}, {1, 1}}, {300, 301, 100, 101}},
                      MergeCase{"nothing", {{}, {}}, {}}),
    [](const ::testing::TestParamInfo<MergeCase>& info) { return std::string(info.param.name); });

TEST(FrameColumnsTest, ValuesAreThoseOfTheFrames) {
    std::vector<FrameStore> stores(1);
    const Input fd = data_frame(100.5, 0x123, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 3,
                                1 << kFlagFd | 1 << kFlagBitrateSwitch | 1 << kFlagErrorStateIndicator |
                                    1 << kFlagExtended);
    Input transmitted = fd;
    transmitted.frame.flags &= static_cast<uint8_t>(~(1u << kFlagRx));
    Input remote = data_frame(100.75, 0x7DF, {}, 1, 1 << kFlagRemote);
    remote.frame.dlc = 4;  // the length it asks for: no payload
    const Input error = data_frame(101.0, 0, {}, 2, 1 << kFlagError | 1 << kFlagExtended);
    const Input lin = data_frame(101.25, 0x21, {0xAB}, kLinChannels + 1);
    for (const Input& in : {transmitted, remote, error, lin}) ASSERT_TRUE(append(stores[0], in));
    EXPECT_EQ(stores[0].widest(), 12u);  // a remote frame carries no payload
    const Table t = fill(stores);

    EXPECT_EQ(t.timestamp, (std::vector<double>{100.5, 100.75, 101.0, 101.25}));
    EXPECT_EQ(t.id, (std::vector<uint32_t>{0x123, 0x7DF, 0, 0x21}));
    EXPECT_EQ(t.dlc, (std::vector<uint8_t>{12, 4, 0, 1}));
    EXPECT_EQ(t.channel, (std::vector<int16_t>{3, 1, 2, 257}));
    // extended, remote, error, fd, brs, esi, rx per row
    const std::vector<std::vector<uint8_t>> flags = {{1, 0, 1, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {1, 0, 0, 0},
                                                     {1, 0, 0, 0}, {1, 0, 0, 0}, {0, 1, 1, 1}};
    for (unsigned k = 0; k < kFlagCount; ++k) EXPECT_EQ(t.flags[k], flags[k]) << "flag " << k;
    EXPECT_EQ(t.offsets, (std::vector<int64_t>{0, 12, 12, 12, 13}));
    EXPECT_EQ(t.data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0xAB}));

    std::vector<FrameStore> again(1);
    for (const Input& in : {transmitted, remote, error, lin}) ASSERT_TRUE(append(again[0], in));
    ColumnLayout rows;
    rows.data = ColumnLayout::Data::kRows;
    const Table r = fill(again, rows);
    ASSERT_EQ(r.width, 12u);
    EXPECT_EQ(std::vector<uint8_t>(r.data.begin(), r.data.begin() + 12),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(std::vector<uint8_t>(r.data.begin() + 12, r.data.begin() + 36), std::vector<uint8_t>(24, 0));
    EXPECT_EQ(r.data[36], 0xAB);
}

TEST(FrameColumnsTest, ManyChunksInterleaved) {
    // Two groups of several chunks each, interleaved in time: every row
    // comes out once, in order, with its own payload.
    constexpr uint32_t kPerGroup = 5000;
    std::vector<FrameStore> stores(2);
    for (uint32_t k = 0; k < kPerGroup; ++k) {
        for (uint32_t g = 0; g < 2; ++g) {
            const uint32_t n = 2 * k + g;
            ASSERT_TRUE(append(stores[g], data_frame(n, n, std::vector<uint8_t>(n % 9, static_cast<uint8_t>(n)))));
        }
    }
    ColumnLayout rows;
    rows.data = ColumnLayout::Data::kRows;
    const Table t = fill(stores, rows);
    ASSERT_EQ(t.id.size(), 2u * kPerGroup);
    for (uint32_t n = 0; n < 2 * kPerGroup; ++n) {
        ASSERT_EQ(t.id[n], n);
        ASSERT_EQ(t.dlc[n], n % 9);
        for (uint32_t b = 0; b < t.width; ++b) {
            ASSERT_EQ(t.data[n * t.width + b], b < n % 9 ? static_cast<uint8_t>(n) : 0) << n;
        }
    }
}

TEST(FrameColumnsTest, BitFlagsForArrow) {
    std::vector<FrameStore> stores(1);
    for (int i = 0; i < 11; ++i) {
        ASSERT_TRUE(append(stores[0], data_frame(i, 0, {}, 1, i % 3 == 0 ? 1 << kFlagFd : 0)));
    }
    ColumnLayout arrow;
    arrow.flag_bits = true;
    const Table t = fill(stores, arrow);
    EXPECT_EQ(t.flags[kFlagFd], (std::vector<uint8_t>{0b01001001, 0b00000010}));  // rows 0 3 6 9
}

// A chunk of a store may stay empty (a batch whose frames a filter passed
// over, right after a chunk filled up): the merge passes over it and writes
// no row it does not hold.
TEST(FrameColumnsTest, AnEmptyChunkAtTheEndOfAStoreGivesNoRow) {
    std::vector<FrameStore> stores(2);
    for (uint32_t i = 0; i < 1024; ++i) ASSERT_TRUE(append(stores[0], data_frame(i, i, {1})));
    FrameBatch batch;
    batch.count = 3;
    for (uint32_t i = 0; i < 3; ++i) {
        batch.frames[i] = data_frame(2000 + i, 7, {}).frame;
        batch.keep[i] = 0;
    }
    ASSERT_TRUE(stores[0].append(batch));
    ASSERT_EQ(stores[0].chunks().size(), 2u);
    EXPECT_EQ(stores[0].chunks().back().size, 0u);
    ASSERT_TRUE(append(stores[1], data_frame(0.5, 5000, {2})));
    const Table t = fill(stores);
    ASSERT_EQ(t.id.size(), 1025u);
    EXPECT_EQ(t.id[1], 5000u);
    EXPECT_EQ(t.id.back(), 1023u);
}

// heapq.merge of Python's standard library, transcribed line by line from
// heapq.py (heapify, _siftdown, _siftup, heapreplace on the top, heappop),
// over [timestamp, order] entries compared as Python compares such lists.
// Gives the group of each row in merge order.
std::vector<uint32_t> heapq_merge(const std::vector<std::vector<double>>& groups) {
    struct Entry {
        double value;
        uint32_t order;
        size_t next;
    };
    auto lt = [](const Entry& a, const Entry& b) { return a.value == b.value ? a.order < b.order : a.value < b.value; };
    std::vector<Entry> h;
    for (uint32_t g = 0; g < groups.size(); ++g) {
        if (!groups[g].empty()) h.push_back({groups[g][0], g, 1});
    }
    auto siftdown = [&](size_t startpos, size_t pos) {
        Entry newitem = h[pos];
        while (pos > startpos) {
            const size_t parentpos = (pos - 1) >> 1;
            if (lt(newitem, h[parentpos])) {
                h[pos] = h[parentpos];
                pos = parentpos;
                continue;
            }
            break;
        }
        h[pos] = newitem;
    };
    auto siftup = [&](size_t pos) {
        const size_t endpos = h.size();
        const size_t startpos = pos;
        Entry newitem = h[pos];
        size_t childpos = 2 * pos + 1;
        while (childpos < endpos) {
            const size_t rightpos = childpos + 1;
            if (rightpos < endpos && !lt(h[childpos], h[rightpos])) childpos = rightpos;
            h[pos] = h[childpos];
            pos = childpos;
            childpos = 2 * pos + 1;
        }
        h[pos] = newitem;
        siftdown(startpos, pos);
    };
    for (size_t i = h.size() / 2; i-- > 0;) siftup(i);
    std::vector<uint32_t> out;
    while (h.size() > 1) {
        Entry& s = h[0];
        out.push_back(s.order);
        const std::vector<double>& group = groups[s.order];
        if (s.next < group.size()) {
            s.value = group[s.next++];
            siftup(0);  // heapreplace
        } else {
            h[0] = h.back();  // heappop
            h.pop_back();
            if (!h.empty()) siftup(0);
        }
    }
    if (!h.empty()) {
        for (size_t i = h[0].next - 1; i < groups[h[0].order].size(); ++i) out.push_back(h[0].order);
    }
    return out;
}

struct RandomMergeCase {
    const char* name;
    uint32_t groups;  // at most this many
    bool nan;
    bool backwards;
};

class RandomMergeTest : public ::testing::TestWithParam<RandomMergeCase> {};

std::vector<std::vector<double>> random_groups(std::mt19937_64& random, const RandomMergeCase& c) {
    const uint32_t count = 1 + static_cast<uint32_t>(random() % c.groups);
    std::vector<std::vector<double>> groups(count);
    for (uint32_t g = 0; g < count; ++g) {
        const size_t rows = random() % 4 == 0 ? 0 : random() % 300;
        double t = static_cast<double>(random() % 10);
        for (size_t i = 0; i < rows; ++i) {
            t += static_cast<double>(random() % 3);  // steps of 0 make ties
            double value = t;
            if (c.backwards && random() % 17 == 0) value -= static_cast<double>(random() % 50);
            if (c.nan && random() % 29 == 0) value = kNaN;
            groups[g].push_back(value);
        }
    }
    return groups;
}

// Random groups with ties, NaN and groups out of time order, few (scanned)
// and many (a heap): every row lands where heapq.merge puts it.
TEST_P(RandomMergeTest, FollowsHeapqMerge) {
    const RandomMergeCase& c = GetParam();
    std::mt19937_64 random(c.groups * 31 + c.nan * 7 + c.backwards);
    for (int round = 0; round < 60; ++round) {
        const std::vector<std::vector<double>> groups = random_groups(random, c);
        std::vector<FrameStore> stores(groups.size());
        for (uint32_t g = 0; g < groups.size(); ++g) {
            for (size_t i = 0; i < groups[g].size(); ++i) {
                ASSERT_TRUE(append(stores[g], data_frame(groups[g][i], g, {static_cast<uint8_t>(i)})));
            }
        }
        EXPECT_EQ(fill(stores).id, heapq_merge(groups)) << "round " << round;
    }
}

// Rows that arrive as the merge asks for them, a few at a time, as the walks
// give them to a table read a chunk at a time.
class LazySource final : public FrameMerge::Source {
public:
    LazySource(std::vector<FrameStore>& stores, const std::vector<std::vector<Input>>& rows, std::mt19937_64& random)
        : stores_(stores), rows_(rows), next_(rows.size(), 0), random_(random) {}

    CollectResult more(size_t group) override {
        size_t& next = next_[group];
        const size_t count = 1 + random_() % 40;
        for (size_t i = 0; i < count && next < rows_[group].size(); ++i) {
            if (!append(stores_[group], rows_[group][next++])) return CollectResult::kNoMemory;
        }
        return next < rows_[group].size() ? CollectResult::kMore : CollectResult::kDone;
    }

private:
    std::vector<FrameStore>& stores_;
    const std::vector<std::vector<Input>>& rows_;
    std::vector<size_t> next_;
    std::mt19937_64& random_;
};

// A table read a chunk at a time (rows handed over as the merge needs them,
// chunks of any size) is, chunk after chunk, the table read whole.
TEST_P(RandomMergeTest, ChunkAfterChunkIsTheWholeTable) {
    const RandomMergeCase& c = GetParam();
    std::mt19937_64 random(c.groups * 37 + c.nan * 5 + c.backwards);
    for (int round = 0; round < 40; ++round) {
        const std::vector<std::vector<double>> groups = random_groups(random, c);
        std::vector<std::vector<Input>> rows(groups.size());
        for (uint32_t g = 0; g < groups.size(); ++g) {
            for (size_t i = 0; i < groups[g].size(); ++i) {
                rows[g].push_back(data_frame(groups[g][i], 1000 * g + static_cast<uint32_t>(i),
                                             std::vector<uint8_t>(i % 65, static_cast<uint8_t>(i)), g % 3,
                                             i % 2 == 0 ? 1 << kFlagFd : 0));
            }
        }
        std::vector<FrameStore> whole(groups.size());
        for (size_t g = 0; g < rows.size(); ++g) {
            for (const Input& in : rows[g]) ASSERT_TRUE(append(whole[g], in));
        }
        ColumnLayout layout;
        layout.flag_bits = round % 2 == 0;
        const Table expected = fill(whole, layout);

        std::vector<FrameStore> stores(groups.size());
        for (FrameStore& s : stores) s.set_largest_chunk(16);
        LazySource source(stores, rows, random);
        FrameMerge merge(stores, &source);
        ASSERT_TRUE(merge.start());
        Table got;
        while (!merge.finished()) {
            const uint64_t capacity = 1 + random() % 200;
            ColumnChunk chunk;
            allocate(chunk, layout, capacity, capacity * kCanPayloadSize, 0);
            ColumnWriter writer(layout, chunk, capacity, capacity * kCanPayloadSize, kIdentity.index);
            ASSERT_TRUE(merge.write_some(writer, capacity, UINT64_MAX));
            writer.finish();
            const Table part = table_of(chunk, layout);
            got.timestamp.insert(got.timestamp.end(), part.timestamp.begin(), part.timestamp.end());
            got.id.insert(got.id.end(), part.id.begin(), part.id.end());
            got.channel.insert(got.channel.end(), part.channel.begin(), part.channel.end());
            got.data.insert(got.data.end(), part.data.begin(), part.data.end());
            for (uint64_t r = 0; r < chunk.rows; ++r) {
                uint8_t fd = layout.flag_bits ? part.flags[kFlagFd][r / 8] >> (r % 8) & 1 : part.flags[kFlagFd][r];
                got.flags[kFlagFd].push_back(fd);
            }
        }
        EXPECT_EQ(got.id, expected.id) << "round " << round;
        EXPECT_EQ(got.channel, expected.channel) << "round " << round;
        EXPECT_EQ(got.data, expected.data) << "round " << round;
        std::vector<uint8_t> expected_fd;
        for (uint64_t r = 0; r < expected.id.size(); ++r) {
            expected_fd.push_back(layout.flag_bits ? expected.flags[kFlagFd][r / 8] >> (r % 8) & 1
                                                   : expected.flags[kFlagFd][r]);
        }
        EXPECT_EQ(got.flags[kFlagFd], expected_fd) << "round " << round;
        for (FrameStore& s : stores) EXPECT_TRUE(s.chunks().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Groups, RandomMergeTest,
    ::testing::Values(RandomMergeCase{"FewInOrder", 6, false, false}, RandomMergeCase{"FewBackwards", 6, false, true},
                      RandomMergeCase{"FewWithNaN", 6, true, true}, RandomMergeCase{"ManyInOrder", 40, false, false},
                      RandomMergeCase{"ManyBackwards", 40, false, true}, RandomMergeCase{"ManyWithNaN", 40, true, false}),
    [](const ::testing::TestParamInfo<RandomMergeCase>& info) { return std::string(info.param.name); });

// numpy's shape (padded rows, text channels) and Arrow's (bit flags, codes,
// values) give the same columns, across batches and store chunks.
TEST(FrameColumnsTest, NumpyAndArrowShapesGiveTheSameColumns) {
    constexpr uint32_t kPerGroup = 9000;
    auto stores_of = [] {
        std::vector<FrameStore> stores(3);
        std::mt19937_64 random(5);
        for (uint32_t k = 0; k < kPerGroup; ++k) {
            for (uint32_t g = 0; g < 3; ++g) {
                uint8_t flags = static_cast<uint8_t>((k % 3 == 0) << kFlagFd | (k % 5 == 0) << kFlagExtended);
                Input in = data_frame(k + 0.25 * g, 100 * g + k % 97,
                                      std::vector<uint8_t>(random() % 13, static_cast<uint8_t>(k)), 1 + g, flags);
                if (g == 2 && k % 7 == 0) {
                    in.frame.flags |= 1 << kFlagRemote;
                    in.payload.clear();
                }
                EXPECT_TRUE(append(stores[g], in));
            }
        }
        return stores;
    };
    std::vector<FrameStore> numpy_stores = stores_of();
    ColumnLayout numpy;
    numpy.channel = ColumnLayout::Channel::kText;
    numpy.data = ColumnLayout::Data::kRows;
    const Table rows = fill(numpy_stores, numpy);
    std::vector<FrameStore> arrow_stores = stores_of();
    ColumnLayout arrow;
    arrow.flag_bits = true;
    const Table values = fill(arrow_stores, arrow);
    const uint64_t n = rows.timestamp.size();
    ASSERT_EQ(n, 3u * kPerGroup);
    EXPECT_EQ(rows.timestamp, values.timestamp);
    EXPECT_EQ(rows.id, values.id);
    EXPECT_EQ(rows.dlc, values.dlc);
    for (unsigned k = 0; k < kFlagCount; ++k) {
        for (uint64_t r = 0; r < n; ++r) {
            ASSERT_EQ(values.flags[k][r / 8] >> (r % 8) & 1, rows.flags[k][r]) << k << " " << r;
        }
        // The bits beyond the last row are zero.
        if (n % 8 != 0) {
            EXPECT_EQ(values.flags[k].back() >> (n % 8), 0) << k;
        }
    }
    for (uint64_t r = 0; r < n; ++r) {
        const uint32_t* name = channel_texts() + 8 * static_cast<uint64_t>(values.channel[r]);
        ASSERT_TRUE(std::equal(rows.text.begin() + rows.text_width * r, rows.text.begin() + rows.text_width * (r + 1),
                               name))
            << r;
        const uint64_t begin = static_cast<uint64_t>(values.offsets[r]);
        const uint64_t length = static_cast<uint64_t>(values.offsets[r + 1]) - begin;
        for (uint64_t b = 0; b < rows.width; ++b) {
            ASSERT_EQ(rows.data[r * rows.width + b], b < length ? values.data[begin + b] : 0) << r;
        }
    }
}

// Columns in mappings of their own, into which the merge moves the pages of
// the stores it has copied out (stores and columns large enough for both to
// be mapped), come out exactly as the same table of a store too small to
// hand pages on.
TEST(FrameColumnsTest, PagesHandedOnToTheColumnsChangeNoValue) {
    constexpr uint32_t kPerGroup = 400000;
    auto stores_of = [](uint32_t largest) {
        std::vector<FrameStore> stores(3);
        for (FrameStore& s : stores) s.set_largest_chunk(largest);
        for (uint32_t k = 0; k < kPerGroup; ++k) {
            for (uint32_t g = 0; g < 3; ++g) {
                const uint32_t n = 3 * k + g;
                EXPECT_TRUE(append(stores[g], data_frame(n * 0.5, n,
                                                         std::vector<uint8_t>(g == 2 ? 64 : 1 + n % 8,
                                                                              static_cast<uint8_t>(n)),
                                                         g)));
            }
        }
        return stores;
    };
    for (const bool arrow : {false, true}) {
        ColumnLayout layout;
        if (arrow) {
            layout.flag_bits = true;
        } else {
            layout.channel = ColumnLayout::Channel::kText;
            layout.data = ColumnLayout::Data::kRows;
        }
        std::vector<FrameStore> small = stores_of(1024);  // chunks of the C heap: nothing to hand on
        std::vector<FrameStore> large = stores_of(0);
        const Table plain = fill(small, layout);
        const Table moved = fill(large, layout);
        EXPECT_EQ(plain.timestamp, moved.timestamp);
        EXPECT_EQ(plain.id, moved.id);
        EXPECT_EQ(plain.dlc, moved.dlc);
        for (unsigned k = 0; k < kFlagCount; ++k) EXPECT_EQ(plain.flags[k], moved.flags[k]);
        EXPECT_EQ(plain.channel, moved.channel);
        EXPECT_EQ(plain.text, moved.text);
        EXPECT_EQ(plain.data, moved.data);
        EXPECT_EQ(plain.offsets, moved.offsets);
    }
}

}  // namespace
}  // namespace tolvar::bus
