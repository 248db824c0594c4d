// Frame stores and their merge into columns: the values a message would
// carry, heapq.merge's order (ties, NaN, groups out of time order), chunk
// boundaries, and the identifier and channel filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "bus/frame_columns.h"
#include "bus/frame_filter.h"
#include "bus/mapped_memory.h"

namespace tolvar::bus {
namespace {

BusMessage data_frame(double time, uint32_t id, std::vector<uint8_t> payload, uint8_t bus = 1) {
    BusMessage m{};
    m.kind = FrameKind::kCanDataFrame;
    m.time = time;
    m.identifier = id;
    m.details.can.bus = bus;
    if (!payload.empty()) std::memcpy(m.details.can.payload, payload.data(), payload.size());
    m.data = m.details.can.payload;
    m.data_length = payload.size();
    return m;
}

struct Table {
    std::vector<double> timestamp;
    std::vector<uint32_t> id;
    std::vector<uint8_t> dlc;
    std::vector<uint8_t> flags[kFlagCount];
    std::vector<int16_t> channel;
    std::vector<uint8_t> rows;
    std::vector<uint8_t> values;
    std::vector<int32_t> offsets;
    uint64_t width = 0;
};

Table fill(std::vector<FrameStore>& stores) {
    uint64_t n = 0, width = 0, bytes = 0;
    for (const FrameStore& s : stores) {
        n += s.size();
        width = std::max(width, s.widest());
        bytes += s.payload_bytes();
    }
    Table t;
    t.width = width;
    t.timestamp.resize(n);
    t.id.resize(n);
    t.dlc.resize(n);
    for (auto& f : t.flags) f.resize(n);
    t.channel.resize(n);
    t.rows.assign(n * width, 0xEE);  // padding must be written as zeros
    t.values.resize(bytes);
    t.offsets.resize(n + 1);
    int16_t codes[kChannelCount];
    for (unsigned c = 0; c < kChannelCount; ++c) codes[c] = static_cast<int16_t>(c);
    ColumnTargets targets;
    targets.timestamp = t.timestamp.data();
    targets.arbitration_id = t.id.data();
    targets.dlc = t.dlc.data();
    for (unsigned k = 0; k < kFlagCount; ++k) targets.flags[k] = t.flags[k].data();
    targets.channel = t.channel.data();
    targets.channel_codes = codes;
    targets.data_rows = t.rows.data();
    targets.data_width = width;
    targets.data_values = t.values.data();
    targets.offsets32 = t.offsets.data();
    EXPECT_TRUE(fill_columns(stores, targets));
    for (const FrameStore& s : stores) EXPECT_EQ(s.size(), 0u);
    return t;
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
            ASSERT_TRUE(stores[g].append(data_frame(c.groups[g][i], static_cast<uint32_t>(100 * g + i), {1}), 0.0));
        }
    }
    EXPECT_EQ(fill(stores).id, c.expected);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Orders, MergeOrderTest,
    ::testing::Values(MergeCase{"ties", {{1, 3, 3}, {2, 3}, {3}}, {0, 100, 1, 2, 101, 200}},
                      MergeCase{"nan", {{kNaN, 0, 5}, {1, 2}, {kNaN}}, {200, 100, 0, 1, 101, 2}},
                      MergeCase{"backwards", {{5, 1, 2}, {3, 4}, {0, 9}}, {200, 100, 101, 0, 1, 2, 201}},
                      MergeCase{"empty_groups", {{}, {2, 1}, {}, {1, 1}}, {300, 301, 100, 101}},
                      MergeCase{"nothing", {{}, {}}, {}}),
    [](const ::testing::TestParamInfo<MergeCase>& info) { return std::string(info.param.name); });

TEST(FrameColumnsTest, ValuesAreThoseOfTheMessage) {
    std::vector<FrameStore> stores(1);
    BusMessage fd = data_frame(0.5, 0x80000123u, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 3);
    fd.details.can.fd = fd.details.can.brs = fd.details.can.esi = 1;
    fd.details.can.extended = 1;
    fd.details.can.direction = 1;
    BusMessage remote = data_frame(0.75, 0x7DF, {0, 0, 0, 0});
    remote.kind = FrameKind::kCanRemoteFrame;
    remote.details.can.remote = 1;
    BusMessage error{};
    error.kind = FrameKind::kCanErrorFrame;
    error.time = 1.0;
    error.details.error.bus = 2;
    BusMessage lin{};
    lin.kind = FrameKind::kLinFrame;
    lin.time = 1.25;
    lin.identifier = 0x21;
    lin.details.lin.bus = 1;
    lin.details.lin.payload[0] = 0xAB;
    lin.data = lin.details.lin.payload;
    lin.data_length = 1;
    for (const BusMessage& m : {fd, remote, error, lin}) ASSERT_TRUE(stores[0].append(m, 100.0));
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
    ASSERT_EQ(t.width, 12u);
    EXPECT_EQ(std::vector<uint8_t>(t.rows.begin(), t.rows.begin() + 12),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(std::vector<uint8_t>(t.rows.begin() + 12, t.rows.begin() + 36), std::vector<uint8_t>(24, 0));
    EXPECT_EQ(t.rows[36], 0xAB);
    EXPECT_EQ(t.offsets, (std::vector<int32_t>{0, 12, 12, 12, 13}));
}

TEST(FrameColumnsTest, ManyChunksInterleaved) {
    // Two groups of several chunks each, interleaved in time: every row
    // comes out once, in order, with its own payload.
    constexpr uint32_t kPerGroup = 5000;
    std::vector<FrameStore> stores(2);
    for (uint32_t k = 0; k < kPerGroup; ++k) {
        for (uint32_t g = 0; g < 2; ++g) {
            const uint32_t n = 2 * k + g;
            ASSERT_TRUE(stores[g].append(data_frame(n, n, std::vector<uint8_t>(n % 9, static_cast<uint8_t>(n))), 0.0));
        }
    }
    const Table t = fill(stores);
    ASSERT_EQ(t.id.size(), 2u * kPerGroup);
    for (uint32_t n = 0; n < 2 * kPerGroup; ++n) {
        ASSERT_EQ(t.id[n], n);
        ASSERT_EQ(t.dlc[n], n % 9);
        ASSERT_EQ(t.offsets[n + 1] - t.offsets[n], static_cast<int32_t>(n % 9));
        for (uint32_t b = 0; b < t.width; ++b) {
            ASSERT_EQ(t.rows[n * t.width + b], b < n % 9 ? static_cast<uint8_t>(n) : 0) << n;
        }
    }
}

TEST(FrameColumnsTest, BitFlagsForArrow) {
    std::vector<FrameStore> stores(1);
    for (int i = 0; i < 11; ++i) {
        BusMessage m = data_frame(i, 0, {});
        m.details.can.fd = i % 3 == 0;
        ASSERT_TRUE(stores[0].append(m, 0.0));
    }
    std::vector<uint8_t> fd(2, 0);
    ColumnTargets targets;
    targets.flags[kFlagFd] = fd.data();
    targets.flag_bits = true;
    ASSERT_TRUE(fill_columns(stores, targets));
    EXPECT_EQ(fd, (std::vector<uint8_t>{0b01001001, 0b00000010}));  // rows 0 3 6 9
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
    uint32_t groups;   // at most this many
    bool nan;
    bool backwards;
};

class RandomMergeTest : public ::testing::TestWithParam<RandomMergeCase> {};

// Random groups with ties, NaN and groups out of time order, few (scanned)
// and many (a heap): every row lands where heapq.merge puts it.
TEST_P(RandomMergeTest, FollowsHeapqMerge) {
    const RandomMergeCase& c = GetParam();
    std::mt19937_64 random(c.groups * 31 + c.nan * 7 + c.backwards);
    for (int round = 0; round < 60; ++round) {
        const uint32_t count = 1 + static_cast<uint32_t>(random() % c.groups);
        std::vector<std::vector<double>> groups(count);
        std::vector<FrameStore> stores(count);
        for (uint32_t g = 0; g < count; ++g) {
            const size_t rows = random() % 4 == 0 ? 0 : random() % 300;
            double t = static_cast<double>(random() % 10);
            for (size_t i = 0; i < rows; ++i) {
                t += static_cast<double>(random() % 3);  // steps of 0 make ties
                double value = t;
                if (c.backwards && random() % 17 == 0) value -= static_cast<double>(random() % 50);
                if (c.nan && random() % 29 == 0) value = kNaN;
                groups[g].push_back(value);
                ASSERT_TRUE(stores[g].append(data_frame(value, g, {static_cast<uint8_t>(i)}), 0.0));
            }
        }
        EXPECT_EQ(fill(stores).id, heapq_merge(groups)) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Groups, RandomMergeTest,
    ::testing::Values(RandomMergeCase{"FewInOrder", 6, false, false}, RandomMergeCase{"FewBackwards", 6, false, true},
                      RandomMergeCase{"FewWithNaN", 6, true, true}, RandomMergeCase{"ManyInOrder", 40, false, false},
                      RandomMergeCase{"ManyBackwards", 40, false, true}, RandomMergeCase{"ManyWithNaN", 40, true, false}),
    [](const ::testing::TestParamInfo<RandomMergeCase>& info) { return std::string(info.param.name); });

// The shapes of target the host uses give the columns a target of every
// column gives, across batches and chunks: numpy's (zeroed padded rows, text
// channels), Arrow's (bit flags, codes, values), each beside the full one.
TEST(FrameColumnsTest, EveryShapeOfTargetGivesTheSameColumns) {
    constexpr uint32_t kPerGroup = 9000;
    auto stores_of = [] {
        std::vector<FrameStore> stores(3);
        std::mt19937_64 random(5);
        for (uint32_t k = 0; k < kPerGroup; ++k) {
            for (uint32_t g = 0; g < 3; ++g) {
                BusMessage m = data_frame(k + 0.25 * g, 100 * g + k % 97,
                                          std::vector<uint8_t>(random() % 13, static_cast<uint8_t>(k)), 1 + g);
                m.details.can.fd = k % 3 == 0;
                m.details.can.extended = k % 5 == 0;
                if (g == 2 && k % 7 == 0) {
                    m.kind = FrameKind::kCanRemoteFrame;
                    m.details.can.remote = 1;
                }
                EXPECT_TRUE(stores[g].append(m, 0.0));
            }
        }
        return stores;
    };
    std::vector<FrameStore> full_stores = stores_of();
    const Table full = fill(full_stores);
    const uint64_t n = full.timestamp.size();
    int16_t codes[kChannelCount];
    std::vector<uint32_t> texts(kChannelCount * 8, 0);
    for (unsigned c = 0; c < kChannelCount; ++c) {
        codes[c] = static_cast<int16_t>(c);
        for (unsigned u = 0; u < 6; ++u) texts[c * 8 + u] = 'a' + (c + u) % 26;
    }

    // numpy's shape: zeroed rows, text of 6 code units per row.
    std::vector<FrameStore> numpy_stores = stores_of();
    std::vector<double> timestamp(n);
    std::vector<uint32_t> id(n);
    std::vector<uint8_t> dlc(n);
    std::vector<std::vector<uint8_t>> flags(kFlagCount, std::vector<uint8_t>(n));
    std::vector<uint32_t> text(n * 6);
    std::vector<uint8_t> rows(n * full.width, 0);
    ColumnTargets t;
    t.timestamp = timestamp.data();
    t.arbitration_id = id.data();
    t.dlc = dlc.data();
    for (unsigned k = 0; k < kFlagCount; ++k) t.flags[k] = flags[k].data();
    t.channel_text = text.data();
    t.channel_text_width = 6;
    t.channel_texts = texts.data();
    t.data_rows = rows.data();
    t.data_width = full.width;
    ASSERT_TRUE(fill_columns(numpy_stores, t));
    EXPECT_EQ(timestamp, full.timestamp);
    EXPECT_EQ(id, full.id);
    EXPECT_EQ(dlc, full.dlc);
    for (unsigned k = 0; k < kFlagCount; ++k) EXPECT_EQ(flags[k], full.flags[k]) << "flag " << k;
    EXPECT_EQ(rows, full.rows);
    for (uint64_t r = 0; r < n; ++r) {
        const auto code = static_cast<uint64_t>(full.channel[r]);
        ASSERT_TRUE(std::equal(text.begin() + 6 * r, text.begin() + 6 * r + 6, texts.begin() + 8 * code)) << r;
    }

    // Arrow's shape: bit flags, codes, values with 32-bit offsets.
    std::vector<FrameStore> arrow_stores = stores_of();
    std::vector<std::vector<uint8_t>> bits(kFlagCount, std::vector<uint8_t>((n + 7) / 8, 0xFF));
    std::vector<int16_t> channel(n);
    std::vector<uint8_t> values(full.values.size());
    std::vector<int32_t> offsets(n + 1);
    ColumnTargets a;
    a.timestamp = timestamp.data();
    a.arbitration_id = id.data();
    a.dlc = dlc.data();
    for (unsigned k = 0; k < kFlagCount; ++k) a.flags[k] = bits[k].data();
    a.flag_bits = true;
    a.channel = channel.data();
    a.channel_codes = codes;
    a.data_values = values.data();
    a.offsets32 = offsets.data();
    ASSERT_TRUE(fill_columns(arrow_stores, a));
    EXPECT_EQ(channel, full.channel);
    EXPECT_EQ(values, full.values);
    EXPECT_EQ(offsets, full.offsets);
    for (unsigned k = 0; k < kFlagCount; ++k) {
        for (uint64_t r = 0; r < n; ++r) ASSERT_EQ(bits[k][r / 8] >> (r % 8) & 1, full.flags[k][r]) << k << " " << r;
        // The bits beyond the last row are zero.
        if (n % 8 != 0) {
            EXPECT_EQ(bits[k].back() >> (n % 8), 0) << k;
        }
    }
}

// Columns in mappings of their own, into which the merge moves the pages of
// the stores it has copied out (stores and columns large enough for both to
// be mapped), come out exactly as columns in ordinary memory.
TEST(FrameColumnsTest, PagesHandedOnToTheColumnsChangeNoValue) {
    constexpr uint32_t kPerGroup = 400000;
    auto stores_of = [] {
        std::vector<FrameStore> stores(3);
        for (uint32_t k = 0; k < kPerGroup; ++k) {
            for (uint32_t g = 0; g < 3; ++g) {
                const uint32_t n = 3 * k + g;
                EXPECT_TRUE(stores[g].append(
                    data_frame(n * 0.5, n, std::vector<uint8_t>(g == 2 ? 64 : 1 + n % 8, static_cast<uint8_t>(n)), g),
                    0.0));
            }
        }
        return stores;
    };
    for (const bool arrow : {false, true}) {
        std::vector<FrameStore> plain_stores = stores_of();
        std::vector<FrameStore> mapped_stores = stores_of();
        uint64_t n = 0, width = 0, bytes = 0;
        for (const FrameStore& s : plain_stores) {
            n += s.size();
            width = std::max(width, s.widest());
            bytes += s.payload_bytes();
        }
        // Every column of the shape, sized as the rows need it.
        struct Column {
            uint8_t** slot;
            uint64_t size;
        };
        int16_t codes[kChannelCount];
        std::vector<uint32_t> texts(kChannelCount * 8, 0);
        for (unsigned c = 0; c < kChannelCount; ++c) {
            codes[c] = static_cast<int16_t>(c);
            texts[c * 8] = '0' + c % 10;
        }
        auto targets_of = [&](ColumnTargets& t) {
            std::vector<Column> columns = {{reinterpret_cast<uint8_t**>(&t.timestamp), n * 8},
                                           {reinterpret_cast<uint8_t**>(&t.arbitration_id), n * 4},
                                           {&t.dlc, n}};
            for (auto& flag : t.flags) columns.push_back({&flag, arrow ? (n + 7) / 8 : n});
            t.flag_bits = arrow;
            if (arrow) {
                t.channel_codes = codes;
                columns.push_back({reinterpret_cast<uint8_t**>(&t.channel), n * 2});
                columns.push_back({&t.data_values, bytes});
                columns.push_back({reinterpret_cast<uint8_t**>(&t.offsets32), (n + 1) * 4});
            } else {
                t.channel_text_width = 1;
                t.channel_texts = texts.data();
                t.data_width = width;
                columns.push_back({reinterpret_cast<uint8_t**>(&t.channel_text), n * 4});
                columns.push_back({&t.data_rows, n * width});
            }
            return columns;
        };
        ColumnTargets plain;
        std::vector<std::vector<uint8_t>> plain_memory;
        for (const Column& c : targets_of(plain)) {
            plain_memory.emplace_back(c.size);
            *c.slot = plain_memory.back().data();
        }
        ColumnTargets mapped;
        mapped.mapped = true;
        std::vector<Column> mapped_columns = targets_of(mapped);
        for (const Column& c : mapped_columns) {
            *c.slot = c.size >= kMappedFrom ? map_memory(c.size) : static_cast<uint8_t*>(std::calloc(c.size + 1, 1));
            ASSERT_NE(*c.slot, nullptr);
        }
        ASSERT_TRUE(fill_columns(plain_stores, plain));
        ASSERT_TRUE(fill_columns(mapped_stores, mapped));
        const std::vector<Column> plain_columns = targets_of(plain);
        for (size_t i = 0; i < mapped_columns.size(); ++i) {
            EXPECT_EQ(std::memcmp(*mapped_columns[i].slot, *plain_columns[i].slot, mapped_columns[i].size), 0)
                << (arrow ? "arrow" : "numpy") << " column " << i;
        }
        for (const Column& c : mapped_columns) {
            if (c.size >= kMappedFrom) {
                unmap_memory(*c.slot, c.size);
            } else {
                std::free(*c.slot);
            }
        }
    }
}

// -- the identifier and channel filter -----------------------------------------

struct FilterCase {
    const char* name;
    std::vector<IdFilter> filters;
    std::vector<bool> expected;  // per frame of frames()
};

// A standard data frame 0x123 on CAN 1, an extended one 0x18FEF100 on CAN 2,
// an error frame on CAN 1 and a LIN frame 0x21 on LIN 1.
std::vector<BusMessage> frames() {
    BusMessage standard = data_frame(0, 0x80000123u, {1});
    BusMessage extended = data_frame(0, 0x18FEF100u, {1}, 2);
    extended.details.can.extended = 1;
    BusMessage error{};
    error.kind = FrameKind::kCanErrorFrame;
    error.details.error.bus = 1;
    BusMessage lin{};
    lin.kind = FrameKind::kLinFrame;
    lin.identifier = 0x21;
    lin.details.lin.bus = 1;
    return {standard, extended, error, lin};
}

class IdFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(IdFilterTest, MatchesAsPythonCan) {
    FrameFilter filter;
    filter.set_id_filters(GetParam().filters);
    std::vector<bool> got;
    for (const BusMessage& m : frames()) got.push_back(filter.passes(m));
    EXPECT_EQ(got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, IdFilterTest,
    ::testing::Values(
        FilterCase{"exact", {{0x123, 0x7FF, -1}}, {true, false, false, false}},
        FilterCase{"mask_zero", {{0, 0, -1}}, {true, true, true, true}},
        // An error frame counts as extended, as can.Message's default has it.
        FilterCase{"extended_only", {{0, 0, 1}}, {false, true, true, false}},
        FilterCase{"standard_only", {{0, 0, 0}}, {true, false, false, true}},
        FilterCase{"error_id_zero", {{0, 0x1FFFFFFF, -1}}, {false, false, true, false}},
        FilterCase{"any_of_two", {{0x21, 0x3F, 0}, {0x18FEF100, 0x1FFFFFFF, -1}}, {false, true, false, true}},
        FilterCase{"empty_list_passes_nothing", {}, {false, false, false, false}}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.name); });

TEST(FrameFilterTest, ChannelsAndRecordsWithoutFrames) {
    FrameFilter filter;
    std::bitset<kChannelCount> channels;
    channels.set(channel_code(FrameKind::kLinFrame, 1));
    channels.set(channel_code(FrameKind::kCanDataFrame, 2));
    filter.set_channels(channels);
    std::vector<bool> got;
    for (const BusMessage& m : frames()) got.push_back(filter.passes(m));
    EXPECT_EQ(got, (std::vector<bool>{false, true, false, true}));
    BusMessage none{};
    none.kind = FrameKind::kNone;
    EXPECT_TRUE(filter.passes(none));  // no frame to judge: the host reports it
}

TEST(FrameFilterTest, WindowComparesTheTimestampAsAMessageHasIt) {
    FrameFilter filter;
    const double origin = 1600000000.123;
    filter.set_window(origin, origin + 0.1, origin + 0.2);
    EXPECT_TRUE(filter.has_start());
    EXPECT_TRUE(filter.before_start(0.05));
    EXPECT_FALSE(filter.before_start((origin + 0.1) - origin));
    EXPECT_TRUE(filter.in_window((origin + 0.1) - origin));
    EXPECT_TRUE(filter.at_or_after_stop(0.2));
    EXPECT_FALSE(filter.in_window(kNaN));
    EXPECT_FALSE(filter.before_start(kNaN));
    EXPECT_FALSE(filter.at_or_after_stop(kNaN));
    FrameFilter stop_only;
    stop_only.set_window(0.0, -std::numeric_limits<double>::infinity(), 1.0);
    EXPECT_FALSE(stop_only.has_start());
}

}  // namespace
}  // namespace tolvar::bus
