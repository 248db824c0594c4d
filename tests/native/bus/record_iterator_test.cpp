#include "bus/record_iterator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "bus/record_plan.h"
#include "bus/value_extraction.h"
#include "bus_bytes.h"
#include "mdf/channel_group_block.h"
#include "mdf/data_block.h"
#include "mdf/data_group_block.h"
#include "mdf/data_block.h"

namespace tolvar::bus {
namespace {

using test::BusBytes;
using test::Bytes;
using test::Cn;
using test::Fields;
using test::ParsedGroup;

// A CAN data-frame group of 8-byte records: time, id, data length, 5 data bytes.
std::vector<Cn> can_channels() {
    return {{"Timestamp", 0, 0, 8},
            {"CAN_DataFrame.ID", 1, 0, 8},
            {"CAN_DataFrame.DataLength", 2, 0, 8},
            {"CAN_DataFrame.DataBytes", 3, 0, 40, test::kByteArray}};
}

// A LIN frame group of 12-byte records: time, id, 8 data bytes, 2 spare bytes
// that no channel describes.
std::vector<Cn> lin_channels() {
    return {{"Timestamp", 0, 0, 8}, {"LIN_Frame.ID", 1, 0, 8}, {"LIN_Frame.DataBytes", 2, 0, 64, test::kByteArray}};
}

std::vector<uint8_t> can_record(uint8_t time, uint8_t id, uint8_t fill = 0) {
    return Bytes().u8(time).u8(id).u8(5).fill(5, fill).bytes;
}

std::vector<uint8_t> lin_record(uint8_t time, uint8_t id) { return Bytes().u8(time).u8(id).fill(10, 0x11).bytes; }

struct Group {
    uint64_t record_id;
    uint32_t data_bytes;
    std::vector<Cn> channels;
    uint32_t inval_bytes = 0;
    bool bus = true;
};

// A data group whose channel groups come in the order given.
uint64_t data_group(BusBytes& file, const std::vector<Group>& groups, uint8_t rec_id_size,
                    const std::vector<uint8_t>& records) {
    uint64_t next = 0;
    for (size_t i = groups.size(); i-- > 0;) {
        const Group& g = groups[i];
        const uint64_t source = g.bus ? file.bus_source() : file.si(1, 0);
        next = file.cg(file.channels(g.channels), g.record_id, g.data_bytes, g.inval_bytes, source, 0, next);
    }
    return file.dg(next, file.dt(records), rec_id_size);
}

struct Seen {
    FrameKind status;  // the kind of the frame given, kNone for a record that gives none
    FrameKind kind;
    double time;
    uint32_t identifier;
};

// What one step of a walk gave, as the message of its frame shows it; nothing
// at the end. A record that gives no frame comes with kind kNone.
struct Msg {
    FrameKind kind = FrameKind::kNone;
    double time = 0.0;
    uint32_t identifier = 0;
    uint64_t data_length = 0;
    std::vector<uint8_t> data;
};

std::optional<Msg> message_of(const RecordIterator& it, WalkStep step, FrameKind* status = nullptr) {
    if (status != nullptr) *status = FrameKind::kNone;
    if (step == WalkStep::kEnd) return std::nullopt;
    Msg m;
    if (step == WalkStep::kFrame) {
        const DecodedRecord& r = it.current();
        m.kind = kind_of(r.frame);
        m.time = r.frame.timestamp;
        m.identifier = r.frame.id;
        m.data_length = payload_length(r.frame);
        m.data.assign(r.payload, r.payload + m.data_length);
    }
    if (status != nullptr) *status = m.kind;
    return m;
}

std::optional<Msg> first_of(RecordIterator& it, FrameKind* status = nullptr) {
    return message_of(it, it.first(), status);
}
std::optional<Msg> next_of(RecordIterator& it, FrameKind* status = nullptr) {
    return message_of(it, it.advance(), status);
}

// Every message of a walk, from first to the end.
std::vector<Seen> walk(const GroupPlan* plan, RecordIterator* out = nullptr) {
    std::optional<RecordIterator> it = RecordIterator::create(plan, 0.0);
    EXPECT_TRUE(it.has_value());
    std::vector<Seen> seen;
    FrameKind status = FrameKind::kNone;
    for (std::optional<Msg> m = first_of(*it, &status); m; m = next_of(*it, &status)) {
        seen.push_back({status, m->kind, m->time, m->identifier});
        if (seen.size() > 1000000) break;
    }
    EXPECT_EQ(status, FrameKind::kNone);
    if (out != nullptr) *out = std::move(*it);
    return seen;
}

std::vector<double> times(const std::vector<Seen>& seen) {
    std::vector<double> out;
    for (const Seen& s : seen) out.push_back(s.time);
    return out;
}

TEST(RecordGroupsTest, BuildsOneEntryPerRecordId) {
    BusBytes file;
    const uint64_t vlsd = file.cg(0, 9, 0, 0, 0, mdf::CgBlock::kFlagVlsd);
    const uint64_t second = file.cg(file.channels(lin_channels()), 2, 10, 2, file.bus_source(), 0, vlsd);
    const uint64_t first = file.cg(file.channels(can_channels()), 1, 8, 0, file.si(1, 2), 0, second);
    const ParsedGroup parsed = test::parse_group(file, file.dg(first, file.dt({}), 1));
    const mdf::DgBlock* dg = parsed.dg();
    ASSERT_TRUE(dg);
    EXPECT_EQ(dg->rec_id_size, 1);
    ASSERT_EQ(dg->channel_groups.size(), 3u);
    const GroupPlan* plan = parsed.plan();
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->id_size, 1);
    ASSERT_EQ(plan->record_groups.size(), 3u);
    const RecordGroup* can = plan->find(1);
    ASSERT_TRUE(can);
    EXPECT_EQ(can->record_length, 8);
    EXPECT_EQ(can->program.decoder, FrameKind::kNone);  // an ECU source: not classified
    EXPECT_EQ(can->kind, FrameKind::kNone);
    const RecordGroup* lin = plan->find(2);
    ASSERT_TRUE(lin);
    EXPECT_EQ(lin->record_length, 12);
    EXPECT_EQ(lin->program.decoder, FrameKind::kLinFrame);
    EXPECT_EQ(lin->kind, FrameKind::kLinFrame);
    ASSERT_NE(lin->layout, nullptr);
    EXPECT_EQ(lin->layout->size(), lin_channels().size());
    const RecordGroup* signal = plan->find(9);
    ASSERT_TRUE(signal);
    EXPECT_EQ(signal->record_length, RecordGroup::kVariableLength);
    EXPECT_EQ(signal->layout, nullptr);
    EXPECT_EQ(signal->program.layout, nullptr);
    EXPECT_EQ(plan->find(3), nullptr);
    EXPECT_NE(plan->data, nullptr);
}

TEST(RecordGroupsTest, WithoutRecordIdsTheFirstGroupIsFoundUnderZero) {
    BusBytes file;
    const ParsedGroup parsed =
        test::parse_group(file, data_group(file, {{5, 8, can_channels()}, {6, 8, can_channels()}}, 0, {}));
    ASSERT_NE(parsed.dg(), nullptr);
    ASSERT_EQ(parsed.plan()->record_groups.size(), 1u);
    EXPECT_EQ(parsed.plan()->record_groups[0].key, 0u);
    EXPECT_EQ(parsed.plan()->record_groups[0].record_id, 5u);
}

TEST(RecordIteratorTest, WalksRecordsOfSeveralGroupsInFileOrder) {
    BusBytes file;
    const std::vector<uint8_t> records =
        Bytes().u8(1).add(can_record(10, 0x71)).u8(2).add(lin_record(20, 0x22)).u8(1).add(can_record(30, 0x73)).bytes;
    const ParsedGroup parsed = test::parse_group(
        file, data_group(file, {{1, 8, can_channels()}, {2, 10, lin_channels(), 2}}, 1, records));
    ASSERT_NE(parsed.dg(), nullptr);
    std::optional<RecordIterator> it = RecordIterator::create(parsed.plan(), 0.0);
    ASSERT_TRUE(it);
    FrameKind status = FrameKind::kNone;
    std::optional<Msg> m = first_of(*it, &status);
    ASSERT_TRUE(m);
    EXPECT_EQ(status, FrameKind::kCanDataFrame);
    EXPECT_EQ(m->time, 10.0);
    EXPECT_EQ(m->identifier, 0x71u);
    m = next_of(*it, &status);
    ASSERT_TRUE(m);
    EXPECT_EQ(status, FrameKind::kLinFrame);
    EXPECT_EQ(m->time, 20.0);
    EXPECT_EQ(it->view().record.size, 12u);  // data bytes + invalidation bytes
    m = next_of(*it, &status);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->time, 30.0);
    EXPECT_EQ(it->position(), 31u);
    EXPECT_FALSE(it->finished());
    EXPECT_FALSE(next_of(*it, &status));
    EXPECT_EQ(status, FrameKind::kNone);
    EXPECT_TRUE(it->finished());
    EXPECT_FALSE(next_of(*it, &status));
    // first starts again.
    m = first_of(*it, &status);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->time, 10.0);
}

TEST(RecordIteratorTest, AnUnknownRecordIdEndsTheWalk) {
    BusBytes file;
    const std::vector<uint8_t> records = Bytes().u8(1).add(can_record(10, 1)).u8(2).add(lin_record(20, 2))
                                             .u8(7).fill(8, 0).u8(1).add(can_record(30, 3)).bytes;
    const ParsedGroup parsed = test::parse_group(
        file, data_group(file, {{1, 8, can_channels()}, {2, 10, lin_channels(), 2}}, 1, records));
    EXPECT_EQ(times(walk(parsed.plan())), (std::vector<double>{10, 20}));
}

TEST(RecordIteratorTest, ARecordCutShortIsDropped) {
    BusBytes file;
    std::vector<uint8_t> records = Bytes().u8(1).add(can_record(10, 1)).u8(1).add(can_record(11, 2)).bytes;
    records.push_back(1);
    records.insert(records.end(), 5, 0);  // 5 of 8 bytes
    const ParsedGroup parsed = test::parse_group(
        file, data_group(file, {{1, 8, can_channels()}, {2, 10, lin_channels(), 2}}, 1, records));
    EXPECT_EQ(times(walk(parsed.plan())), (std::vector<double>{10, 11}));
    // An id cut short names no record either: a 2-byte id with one byte left.
    BusBytes file2;
    records = Bytes().u16(1).add(can_record(10, 1)).u8(1).bytes;
    const ParsedGroup parsed2 = test::parse_group(
        file2, data_group(file2, {{1, 8, can_channels()}, {0, 0, {{"Timestamp", 0, 0, 0}}}}, 2, records));
    EXPECT_EQ(times(walk(parsed2.plan())), (std::vector<double>{10}));
}

class RecordIdSizeTest : public ::testing::TestWithParam<uint8_t> {};

TEST_P(RecordIdSizeTest, ReadsIdsOfEverySize) {
    const uint8_t size = GetParam();
    // Ids that use every byte of the width.
    const uint64_t high = size == 0 ? 0 : (size == 8 ? 0x8877665544332211u : (uint64_t{1} << (8 * size - 1)) | 0x11);
    const uint64_t low = size == 0 ? 0 : 0x01;
    BusBytes file;
    Bytes records;
    for (int i = 0; i < 4; ++i) {
        const bool first_group = size == 0 || i % 2 == 0;
        records.id(first_group ? low : high, size);
        records.add(first_group ? can_record(static_cast<uint8_t>(i), 0x10) : lin_record(static_cast<uint8_t>(i), 0x20));
    }
    std::vector<Group> groups = {{low, 8, can_channels()}};
    if (size != 0) groups.push_back({high, 10, lin_channels(), 2});
    const ParsedGroup parsed = test::parse_group(file, data_group(file, groups, size, records.bytes));
    ASSERT_NE(parsed.dg(), nullptr);
    const std::vector<Seen> seen = walk(parsed.plan());
    ASSERT_EQ(seen.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(seen[i].time, i);
        EXPECT_EQ(seen[i].kind, size == 0 || i % 2 == 0 ? FrameKind::kCanDataFrame : FrameKind::kLinFrame);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RecordIdSizeTest, ::testing::Values(0, 1, 2, 4, 8));

TEST(RecordIteratorTest, WithoutIdsRecordsFollowEachOtherWhateverTheGroupsId) {
    BusBytes file;
    const std::vector<uint8_t> records = Bytes().add(can_record(1, 1)).add(can_record(2, 2)).add(can_record(3, 3)).bytes;
    const ParsedGroup parsed = test::parse_group(file, data_group(file, {{5, 8, can_channels()}}, 0, records));
    EXPECT_EQ(times(walk(parsed.plan())), (std::vector<double>{1, 2, 3}));
}

TEST(RecordIteratorTest, ASingleGroupWithRecordIdsIsWalkedWithThem) {
    // Taking the ids for record bytes would lose every frame (id 5) or shift
    // every record (id 0).
    for (uint64_t id : {0u, 5u}) {
        BusBytes file;
        const std::vector<uint8_t> records =
            Bytes().u16(static_cast<uint16_t>(id)).add(can_record(1, 1)).u16(static_cast<uint16_t>(id)).add(can_record(2, 2)).bytes;
        const ParsedGroup parsed = test::parse_group(file, data_group(file, {{id, 8, can_channels()}}, 2, records));
        const std::vector<Seen> seen = walk(parsed.plan());
        ASSERT_EQ(seen.size(), 2u) << id;
        EXPECT_EQ(seen[1].time, 2.0);
        EXPECT_EQ(seen[1].identifier, 2u);
    }
}

TEST(RecordIteratorTest, TheFirstGroupOfARecordIdKeepsIt) {
    BusBytes file;
    const std::vector<uint8_t> records = Bytes().u8(3).add(can_record(1, 1)).u8(1).add(lin_record(2, 2)).bytes;
    const ParsedGroup parsed = test::parse_group(
        file, data_group(file, {{3, 8, can_channels()}, {1, 12, lin_channels()}, {3, 8, lin_channels()}}, 1, records));
    ASSERT_EQ(parsed.plan()->record_groups.size(), 2u);
    const std::vector<Seen> seen = walk(parsed.plan());
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].kind, FrameKind::kCanDataFrame);
    EXPECT_EQ(seen[1].kind, FrameKind::kLinFrame);
}

TEST(RecordIteratorTest, RecordsOfUnclassifiedGroupsAreGivenWithoutAFrame) {
    BusBytes file;
    Group ecu{0, 8, can_channels()};
    ecu.bus = false;
    const ParsedGroup parsed =
        test::parse_group(file, data_group(file, {ecu}, 0, Bytes().add(can_record(1, 1)).add(can_record(2, 2)).bytes));
    const std::vector<Seen> seen = walk(parsed.plan());
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].status, FrameKind::kNone);
    EXPECT_EQ(seen[0].kind, FrameKind::kNone);
}

TEST(RecordIteratorTest, RecordsThatTakeNoBytesEndTheWalk) {
    BusBytes file;
    const ParsedGroup parsed =
        test::parse_group(file, data_group(file, {{0, 0, {{"Timestamp", 0, 0, 8}}}}, 0, Bytes().fill(64, 1).bytes));
    std::optional<RecordIterator> it = RecordIterator::create(parsed.plan(), 0.0);
    ASSERT_TRUE(it);
    EXPECT_FALSE(first_of(*it));
    EXPECT_TRUE(it->finished());
    // With several groups and no ids: the same.
    BusBytes file2;
    const ParsedGroup parsed2 = test::parse_group(
        file2, data_group(file2, {{0, 0, {{"Timestamp"}}}, {1, 0, {{"Timestamp"}}}}, 0, Bytes().fill(64, 1).bytes));
    EXPECT_TRUE(walk(parsed2.plan()).empty());
}

TEST(RecordIteratorTest, GroupsWithoutRecordsGiveNone) {
    BusBytes file;
    const uint64_t cg = file.cg(file.channels(can_channels()), 0, 8, 0, file.bus_source());
    const ParsedGroup no_data = test::parse_group(file, file.dg(cg, 0, 0));
    ASSERT_NE(no_data.dg(), nullptr);
    EXPECT_TRUE(walk(no_data.plan()).empty());
    const ParsedGroup text_data = test::parse_group(file, file.dg(cg, file.tx("not records"), 0));
    ASSERT_NE(text_data.dg(), nullptr);
    EXPECT_TRUE(walk(text_data.plan()).empty());
    const ParsedGroup no_groups = test::parse_group(file, file.dg(0, file.dt(can_record(1, 1)), 0));
    ASSERT_NE(no_groups.dg(), nullptr);
    EXPECT_TRUE(walk(no_groups.plan()).empty());
    EXPECT_FALSE(RecordIterator::create(nullptr, 0.0));
}

TEST(RecordIteratorTest, ImpossibleRecordLengthsEndTheWalkWithoutReservingThem) {
    BusBytes file;
    const ParsedGroup parsed = test::parse_group(
        file, data_group(file, {{0, 0xFFFFFFFFu, can_channels(), 0xFFFFFFFFu}}, 0, Bytes().fill(100, 1).bytes));
    ASSERT_NE(parsed.dg(), nullptr);
    EXPECT_EQ(parsed.plan()->record_groups[0].record_length, int64_t{0x1FFFFFFFE});
    EXPECT_TRUE(walk(parsed.plan()).empty());
}

TEST(RecordIteratorTest, ReadsAcrossManyReadAheadWindows) {
    BusBytes file;
    Bytes records;
    const int count = 20000;  // 9 bytes each: several read-ahead windows
    for (int i = 0; i < count; ++i) records.u8(i % 2 == 0 ? 1 : 2).add(can_record(static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)));
    const ParsedGroup parsed = test::parse_group(
        file, data_group(file, {{1, 8, can_channels()}, {2, 8, can_channels()}}, 1, records.bytes));
    const std::vector<Seen> seen = walk(parsed.plan());
    ASSERT_EQ(seen.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(seen[i].time, static_cast<uint8_t>(i));
        ASSERT_EQ(seen[i].identifier, static_cast<uint32_t>(static_cast<uint8_t>(i >> 8)));
    }
}

// Serves reads of 1, 2 or 3 bytes at most, like an awkward file object.
class TrickleStream final : public stream::Stream {
public:
    explicit TrickleStream(stream::Stream& inner) : inner_(inner) {}
    int64_t read(void* buffer, uint64_t n) override {
        const uint64_t step = 1 + (calls_++ % 3);
        return inner_.read(buffer, n < step ? n : step);
    }
    int64_t tell() override { return inner_.tell(); }
    int64_t seek(int64_t offset, int whence) override { return inner_.seek(offset, whence); }

private:
    stream::Stream& inner_;
    uint64_t calls_ = 0;
};

TEST(RecordIteratorTest, ShortReadsOfTheStreamChangeNothing) {
    BusBytes file;
    Bytes records;
    for (int i = 0; i < 50; ++i) records.u8(1).add(can_record(static_cast<uint8_t>(i), 1));
    const uint64_t dg = data_group(file, {{1, 8, can_channels()}, {2, 10, lin_channels(), 2}}, 1, records.bytes);
    const ParsedGroup parsed = test::parse_group(file, dg);
    ASSERT_NE(parsed.dg(), nullptr);
    // The records are read through a stream that trickles.
    TrickleStream trickle(*parsed.stream);
    mdf::data_block(*parsed.dg())->file = &trickle;
    const std::vector<Seen> seen = walk(parsed.plan());
    ASSERT_EQ(seen.size(), 50u);
    EXPECT_EQ(seen[49].time, 49.0);
}

TEST(RecordIteratorTest, IteratorsSharingTheStreamDoNotDisturbEachOther) {
    BusBytes file;
    Bytes records;
    for (int i = 0; i < 30000; ++i) records.add(can_record(static_cast<uint8_t>(i), 1));
    const uint64_t first = data_group(file, {{0, 8, can_channels()}}, 0, records.bytes);
    const uint64_t second = data_group(file, {{0, 8, can_channels()}}, 0, records.bytes);
    auto stream = file.stream();
    mdf::BlockCache cache;
    mdf::BlockRef a = mdf::parse_block_at(*stream, first, cache);
    mdf::BlockRef b = mdf::parse_block_at(*stream, second, cache);
    std::optional<GroupPlan> plan_a = GroupPlan::build(*mdf::as<mdf::DgBlock>(a));
    std::optional<GroupPlan> plan_b = GroupPlan::build(*mdf::as<mdf::DgBlock>(b));
    ASSERT_TRUE(plan_a && plan_b);
    std::optional<RecordIterator> ia = RecordIterator::create(&*plan_a, 0.0);
    std::optional<RecordIterator> ib = RecordIterator::create(&*plan_b, 0.0);
    std::optional<Msg> ma = first_of(*ia);
    std::optional<Msg> mb = first_of(*ib);
    for (int i = 0; i < 30000; ++i) {
        ASSERT_TRUE(ma);
        ASSERT_TRUE(mb);
        ASSERT_EQ(ma->time, static_cast<uint8_t>(i));
        ASSERT_EQ(mb->time, static_cast<uint8_t>(i));
        ma = next_of(*ia);
        mb = next_of(*ib);
    }
    EXPECT_FALSE(ma);
    EXPECT_FALSE(mb);
}

TEST(RecordIteratorTest, MovingTheIteratorKeepsTheFrame) {
    BusBytes file;
    const ParsedGroup parsed = test::parse_group(file, data_group(file, {{0, 8, can_channels()}}, 0, can_record(4, 9, 0xAB)));
    std::optional<RecordIterator> it = RecordIterator::create(parsed.plan(), 0.0);
    ASSERT_EQ(it->first(), WalkStep::kFrame);
    const DecodedRecord* before = &it->current();
    RecordIterator moved = std::move(*it);
    EXPECT_EQ(&moved.current(), before);
    ASSERT_EQ(payload_length(moved.current().frame), 5u);
    EXPECT_EQ(moved.current().payload[4], 0xAB);
}

// ---------------------------------------------------------------- signal data

// Group 1 (id 1, 10 bytes) whose DataBytes are the values of VLSD group 2.
struct VlsdFile {
    BusBytes file;
    uint64_t dg = 0;
};

VlsdFile vlsd_file(const std::vector<uint8_t>& records) {
    VlsdFile v;
    const uint64_t vlsd = v.file.cg(0, 2, 0, 0, 0, mdf::CgBlock::kFlagVlsd);
    Cn bytes{"CAN_DataFrame.DataBytes", 2, 0, 64, test::kByteArray, 1};
    bytes.data = vlsd;
    const uint64_t cn = v.file.channels({{"Timestamp", 0, 0, 8}, {"CAN_DataFrame.DataLength", 1, 0, 8}, bytes});
    const uint64_t fixed = v.file.cg(cn, 1, 10, 0, v.file.bus_source(), 0, vlsd);
    v.dg = v.file.dg(fixed, v.file.dt(records), 1);
    return v;
}

std::vector<uint8_t> fixed_record(uint8_t time, uint8_t length) { return Bytes().u8(1).u8(time).u8(length).fill(8, 0).bytes; }

TEST(SignalDataTest, VlsdValuesFollowTheirRecord) {
    const std::vector<uint8_t> records = Bytes().add(fixed_record(7, 5)).u8(2).u32(5).u8(1).u8(2).u8(3).u8(4).u8(5)
                                             .add(fixed_record(8, 1)).u8(2).u32(1).u8(9).bytes;
    VlsdFile v = vlsd_file(records);
    const ParsedGroup parsed = test::parse_group(v.file, v.dg);
    ASSERT_NE(parsed.dg(), nullptr);
    std::optional<RecordIterator> it = RecordIterator::create(parsed.plan(), 0.0);
    std::optional<Msg> m = first_of(*it);
    ASSERT_TRUE(m);
    EXPECT_EQ(it->position(), 21u);
    const RecordView& view = it->view();
    EXPECT_EQ(std::vector<uint8_t>(view.signal_bytes.data, view.signal_bytes.data + view.signal_bytes.size),
              Bytes().u32(5).u8(1).u8(2).u8(3).u8(4).u8(5).bytes);
    EXPECT_EQ(m->kind, FrameKind::kCanDataFrame);
    EXPECT_EQ(m->data_length, 5u);
    EXPECT_EQ(std::vector<uint8_t>(m->data.begin(), m->data.begin() + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    m = next_of(*it);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->time, 8.0);
    EXPECT_EQ(m->data[0], 9);
    EXPECT_EQ(it->position(), 21u + 11 + 6);
    EXPECT_FALSE(next_of(*it));
}

// The offset a record holds (here 0 in both records) names its value when no
// VLSD record follows it; a record of another group follows the first one.
TEST(SignalDataTest, AValueThatDoesNotFollowItsRecordIsFoundByItsOffset) {
    const std::vector<uint8_t> records = Bytes().add(fixed_record(7, 1)).add(fixed_record(8, 1)).u8(2).u32(1).u8(9).bytes;
    VlsdFile v = vlsd_file(records);
    const ParsedGroup parsed = test::parse_group(v.file, v.dg);
    std::optional<RecordIterator> it = RecordIterator::create(parsed.plan(), 0.0);
    std::optional<Msg> m = first_of(*it);
    ASSERT_TRUE(m);
    EXPECT_EQ(it->position(), 11u);
    EXPECT_EQ(m->kind, FrameKind::kCanDataFrame);
    EXPECT_EQ(m->data, (std::vector<uint8_t>{9}));
    m = next_of(*it);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->time, 8.0);
    EXPECT_EQ(m->data, (std::vector<uint8_t>{9}));
    EXPECT_FALSE(next_of(*it));
}

// A VLSD record that no record before took is passed over (its record comes
// later and finds it by its offset); the walk goes on.
TEST(SignalDataTest, AVlsdRecordBeforeItsRecordIsPassedOver) {
    VlsdFile v = vlsd_file(
        Bytes().u8(2).u32(1).u8(7).add(fixed_record(8, 1)).add(fixed_record(9, 1)).u8(2).u32(1).u8(7).bytes);
    const ParsedGroup parsed = test::parse_group(v.file, v.dg);
    std::optional<RecordIterator> it = RecordIterator::create(parsed.plan(), 0.0);
    std::optional<Msg> m = first_of(*it);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->time, 8.0);
    EXPECT_EQ(m->data, (std::vector<uint8_t>{7}));
    m = next_of(*it);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->time, 9.0);
    EXPECT_EQ(m->data, (std::vector<uint8_t>{7}));
    EXPECT_FALSE(next_of(*it));
}

// Offsets beyond the group's records or inside one name no value: the frame
// comes without its payload (zeros of its length), once logged with a count.
TEST(SignalDataTest, AnOffsetThatNamesNoRecordGivesNoPayloadAndIsLoggedOnce) {
    Bytes records;
    records.u8(2).u32(2).u8(5).u8(6);
    for (uint8_t offset : {1, 200, 0}) {
        std::vector<uint8_t> fixed = fixed_record(offset, 2);
        fixed[3] = offset;  // the offset field, from byte 2 of the record
        records.add(fixed);
    }
    records.u8(2).u32(2).u8(5).u8(6);  // the last record's value follows it
    VlsdFile v = vlsd_file(records.bytes);
    const ParsedGroup parsed = test::parse_group(v.file, v.dg);
    test::LogCapture log;
    const std::vector<Seen> seen = walk(parsed.plan());
    ASSERT_EQ(seen.size(), 3u);
    std::optional<RecordIterator> it = RecordIterator::create(parsed.plan(), 0.0);
    std::vector<std::vector<uint8_t>> payloads;
    for (std::optional<Msg> m = first_of(*it); m; m = next_of(*it)) payloads.push_back(m->data);
    EXPECT_EQ(payloads, (std::vector<std::vector<uint8_t>>{{0, 0}, {0, 0}, {5, 6}}));
    size_t lines = 0;
    for (const std::string& text : log.texts()) {
        if (text.find("2 VLSD values are not where their records say") != std::string::npos) ++lines;
    }
    EXPECT_EQ(lines, 2u);  // once per walk to the end
}

// Recorded until the stream was cut: the last frame's value is incomplete.
class VlsdCutTest : public ::testing::TestWithParam<size_t> {};

TEST_P(VlsdCutTest, AValueCutShortEndsTheWalkBeforeItsFrame) {
    const std::vector<uint8_t> whole = Bytes().add(fixed_record(7, 3)).u8(2).u32(3).u8(1).u8(2).u8(3)
                                           .add(fixed_record(8, 3)).u8(2).u32(3).u8(4).u8(5).u8(6).bytes;
    // Keep the first frame with its value, the second frame's record, and
    // `GetParam()` bytes of its value (id, length and bytes: 8 in all).
    std::vector<uint8_t> cut(whole.begin(), whole.begin() + 19 + 11 + GetParam());
    VlsdFile v = vlsd_file(cut);
    const ParsedGroup parsed = test::parse_group(v.file, v.dg);
    const std::vector<Seen> seen = walk(parsed.plan());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].time, 7.0);
}

INSTANTIATE_TEST_SUITE_P(EveryCut, VlsdCutTest, ::testing::Values(0, 1, 3, 5, 7));

TEST(SignalDataTest, AHugeVlsdLengthEndsTheWalk) {
    VlsdFile v = vlsd_file(Bytes().add(fixed_record(7, 3)).u8(2).u32(0xFFFFFFFFu).fill(100, 1).bytes);
    const ParsedGroup parsed = test::parse_group(v.file, v.dg);
    EXPECT_TRUE(walk(parsed.plan()).empty());
}

TEST(SignalDataTest, WithoutIdsAVlsdSourceGivesAnEmptyValue) {
    BusBytes file;
    const uint64_t vlsd = file.cg(0, 2, 0, 0, 0, mdf::CgBlock::kFlagVlsd);
    Cn bytes{"CAN_DataFrame.DataBytes", 1, 0, 64, test::kByteArray, 1};
    bytes.data = vlsd;
    const uint64_t cn = file.channels({{"Timestamp", 0, 0, 8}, bytes});
    const uint64_t fixed = file.cg(cn, 1, 2, 0, file.bus_source());
    const ParsedGroup parsed = test::parse_group(file, file.dg(fixed, file.dt({5, 6, 7, 8}), 0));
    std::optional<RecordIterator> it = RecordIterator::create(parsed.plan(), 0.0);
    ASSERT_TRUE(first_of(*it));
    EXPECT_EQ(it->view().signal_bytes.size, 4u);
    EXPECT_EQ(it->view().signal_bytes.data[0], 0);
    EXPECT_EQ(it->current().frame.timestamp, 5.0);
    ASSERT_TRUE(next_of(*it));
    EXPECT_EQ(it->current().frame.timestamp, 7.0);
}

// Group of 3-byte records: time, data length, and the offset of the payload
// in an SD block.
struct SdFile {
    BusBytes file;
    uint64_t dg = 0;
};

SdFile sd_file(const std::vector<uint8_t>& values, const std::vector<uint8_t>& records, uint64_t sd_length = BusBytes::kAuto) {
    SdFile s;
    const uint64_t sd = s.file.sd(values, sd_length);
    Cn bytes{"CAN_DataFrame.DataBytes", 2, 0, 8, test::kByteArray, 1};
    bytes.data = sd;
    const uint64_t cn = s.file.channels({{"Timestamp", 0, 0, 8}, {"CAN_DataFrame.DataLength", 1, 0, 8}, bytes});
    s.dg = s.file.dg(s.file.cg(cn, 0, 3, 0, s.file.bus_source()), s.file.dt(records), 0);
    return s;
}

TEST(SignalDataTest, SdValuesAreReadAtTheOffsetInTheRecord) {
    std::vector<uint8_t> values = Bytes().u32(2).u8(0xEE).u8(0xEE).fill(10, 0).u32(3).u8(7).u8(8).u8(9).bytes;
    SdFile s = sd_file(values, {1, 3, 16, 2, 2, 0});
    const ParsedGroup parsed = test::parse_group(s.file, s.dg);
    std::optional<RecordIterator> it = RecordIterator::create(parsed.plan(), 0.0);
    std::optional<Msg> m = first_of(*it);
    ASSERT_TRUE(m);
    EXPECT_EQ(it->position(), 3u);  // SD values lie outside the data block
    EXPECT_EQ(std::vector<uint8_t>(m->data.begin(), m->data.begin() + 3), (std::vector<uint8_t>{7, 8, 9}));
    m = next_of(*it);
    ASSERT_TRUE(m);
    EXPECT_EQ(std::vector<uint8_t>(m->data.begin(), m->data.begin() + 2), (std::vector<uint8_t>{0xEE, 0xEE}));
    EXPECT_FALSE(next_of(*it));
}

TEST(SignalDataTest, AnSdValueCutShortIsFilledWithZerosAndItsFrameDelivered) {
    // The value claims 6 bytes; its block ends after 2.
    std::vector<uint8_t> values = Bytes().u32(6).u8(1).u8(2).bytes;
    SdFile s = sd_file(values, {1, 6, 0});
    const ParsedGroup parsed = test::parse_group(s.file, s.dg);
    std::optional<RecordIterator> it = RecordIterator::create(parsed.plan(), 0.0);
    std::optional<Msg> m = first_of(*it);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->kind, FrameKind::kCanDataFrame);
    EXPECT_EQ(it->view().signal_bytes.size, 10u);
    EXPECT_EQ(m->data_length, 6u);
    EXPECT_EQ(std::vector<uint8_t>(m->data.begin(), m->data.begin() + 6), (std::vector<uint8_t>{1, 2, 0, 0, 0, 0}));
}

TEST(SignalDataTest, AnSdOffsetBeyondTheBlockGivesAnEmptyValue) {
    SdFile s = sd_file(Bytes().u32(1).u8(5).bytes, {1, 0, 200});
    const ParsedGroup parsed = test::parse_group(s.file, s.dg);
    std::optional<RecordIterator> it = RecordIterator::create(parsed.plan(), 0.0);
    ASSERT_TRUE(first_of(*it));
    EXPECT_EQ(it->view().signal_bytes.size, 4u);
    EXPECT_EQ(kind_of(it->current().frame), FrameKind::kCanDataFrame);
}

TEST(SignalDataTest, AHugeSdLengthReservesNoHugeMemory) {
    // 4 GiB claimed by a few bytes: the frame is refused (longer than a CAN
    // payload) and the record keeps only a bounded part of the value.
    SdFile s = sd_file(Bytes().u32(0xFFFFFFFFu).u8(1).bytes, {1, 8, 0, 2, 8, 0}, 0xFFFFFFFFFFu);
    const ParsedGroup parsed = test::parse_group(s.file, s.dg);
    std::optional<RecordIterator> it = RecordIterator::create(parsed.plan(), 0.0);
    FrameKind status = FrameKind::kNone;
    ASSERT_TRUE(first_of(*it, &status));
    EXPECT_EQ(status, FrameKind::kNone);
    EXPECT_LE(it->view().signal_bytes.size, 4u + 64 * 1024);
    // The next record is read (its frame is refused the same way).
    ASSERT_TRUE(next_of(*it, &status));
    EXPECT_EQ(it->view().record.data[0], 2);
}

}  // namespace
}  // namespace tolvar::bus

namespace tolvar::bus {
namespace {

TEST(SignalDataTest, ALongSdValueCutShortIsTheRecordsLastEntry) {
    // Two SD fields: the first names a 100-byte value of which 3 bytes exist
    // (no bus payload is that long, so it is not completed with zeros), the
    // second gets no entry at all.
    BusBytes file;
    const uint64_t sd = file.sd(Bytes().u32(100).u8(1).u8(2).u8(3).bytes);
    Cn first{"CAN_DataFrame.DataBytes", 1, 0, 8, test::kByteArray, 1};
    first.data = sd;
    Cn second{"CAN_DataFrame.DataBytes", 2, 0, 8, test::kByteArray, 1};
    second.data = sd;
    const uint64_t cn = file.channels({{"Timestamp", 0, 0, 8}, first, second});
    const ParsedGroup parsed =
        test::parse_group(file, file.dg(file.cg(cn, 0, 3, 0, file.bus_source()), file.dt({1, 0, 0}), 0));
    std::optional<RecordIterator> it = RecordIterator::create(parsed.plan(), 0.0);
    FrameKind status = FrameKind::kNone;
    ASSERT_TRUE(first_of(*it, &status));
    EXPECT_EQ(std::vector<uint8_t>(it->view().signal_bytes.data, it->view().signal_bytes.data + it->view().signal_bytes.size),
              Bytes().u32(100).u8(1).u8(2).u8(3).bytes);
    EXPECT_EQ(status, FrameKind::kNone);  // longer than a CAN payload
}

}  // namespace
}  // namespace tolvar::bus

namespace tolvar::bus {
namespace {

TEST(RecordGroupsTest, DataTypeWarningsComeOnceFromThePlanNotFromTheParse) {
    BusBytes file;
    const uint64_t dg = data_group(file, {{0, 2, {{"Timestamp", 0, 0, 8, test::kUnsignedMotorola}}}}, 0, {});
    auto stream = file.stream();
    test::LogCapture log;
    mdf::BlockCache cache;
    const mdf::BlockRef block = mdf::parse_block_at(*stream, dg, cache);
    ASSERT_NE(mdf::as<mdf::DgBlock>(block), nullptr);
    EXPECT_TRUE(log.lines.empty());
    EXPECT_TRUE(GroupPlan::build(*mdf::as<mdf::DgBlock>(block)).has_value());
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Unsupported channel data type: 0"}));
}

TEST(RecordGroupsTest, ADataLinkToAnUnknownBlockKindFailsTheParse) {
    BusBytes file;
    const uint64_t cg = file.cg(file.channels(can_channels()), 0, 8, 0, file.bus_source());
    const uint64_t list = file.block("DL", {0, 0}, Fields().u8(0).zeros(7).u64(0).bytes);
    test::LogCapture log;
    EXPECT_EQ(test::parse_group(file, file.dg(cg, list, 0)).dg(), nullptr);
}

}  // namespace
}  // namespace tolvar::bus
