// Whole recordings opened as a document and walked group by group.
#include <gtest/gtest.h>

#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "bus_bytes.h"
#include "mdf/channel_group_block.h"
#include "mdf/mdf_document.h"

namespace tolvar::bus {
namespace {

using test::BusBytes;
using test::Bytes;
using test::Cn;

std::vector<Cn> can_channels(uint8_t cn_type = 0, uint64_t data = 0) {
    Cn bytes{"CAN_DataFrame.DataBytes", 3, 0, 64, test::kByteArray, cn_type};
    bytes.data = data;
    return {{"Timestamp", 0, 0, 8}, {"CAN_DataFrame.ID", 1, 0, 8}, {"CAN_DataFrame.DataLength", 2, 0, 8}, bytes};
}

void link_header(BusBytes& file, uint64_t first_dg, uint64_t first_fh) {
    file.set_link(64, 0, first_dg);
    file.set_link(64, 1, first_fh);
}

std::vector<std::vector<double>> walk_document(const BusBytes& file) {
    auto stream = file.stream();
    std::unique_ptr<mdf::MdfDocument> document = mdf::MdfDocument::open(stream.get());
    EXPECT_NE(document, nullptr);
    std::vector<std::vector<double>> groups;
    if (document == nullptr) return groups;
    std::optional<std::vector<GroupPlan>> plans = build_plans(*document);
    EXPECT_TRUE(plans.has_value());
    if (!plans) return groups;
    for (const GroupPlan& plan : *plans) {
        std::optional<RecordIterator> it = RecordIterator::create(&plan);
        std::vector<double> times;
        for (const BusMessage* m = it->first(); m != nullptr; m = it->advance()) {
            EXPECT_EQ(m->kind, FrameKind::kCanDataFrame);
            times.push_back(m->time);
        }
        groups.push_back(times);
    }
    return groups;
}

TEST(DocumentWalkTest, WalksEveryDataGroupOfARecording) {
    BusBytes file;
    file.hd();  // at offset 64, before everything else
    const uint64_t fh = file.fh(0, file.tool_comment());
    const uint64_t cg2 = file.cg(file.channels(can_channels()), 0, 11, 0, file.bus_source());
    const uint64_t dg2 = file.dg(cg2, file.dt(Bytes().u8(5).u8(1).u8(0).u64(0).u8(6).u8(1).u8(0).u64(0).bytes), 0);
    const uint64_t cg1 = file.cg(file.channels(can_channels()), 1, 11, 0, file.bus_source());
    const uint64_t dg1 = file.dg(cg1, file.dt(Bytes().u8(1).u8(1).u8(1).u8(0).u64(0).bytes), 1, dg2);
    link_header(file, dg1, fh);
    EXPECT_EQ(walk_document(file), (std::vector<std::vector<double>>{{1}, {5, 6}}));
}

// An unfinalised recording: the last data block's length was never written,
// and the recording stopped in the middle of its last frame.
TEST(DocumentWalkTest, AnUnfinalisedRecordingEndsAfterItsLastCompleteFrame) {
    for (size_t cut : {0u, 1u, 6u, 11u}) {
        BusBytes file;
        file.id("UnFinMF ", 0x0004);
        file.hd();
        const uint64_t fh = file.fh(0, file.tool_comment());
        const uint64_t cg = file.cg(file.channels(can_channels()), 0, 11, 0, file.bus_source());
        Bytes records;
        for (uint8_t t = 1; t <= 3; ++t) records.u8(t).u8(2).u8(8).u64(0x0807060504030201u);
        records.bytes.resize(records.bytes.size() - 11 + cut);  // the third frame keeps `cut` bytes
        const uint64_t dg = file.dg(cg, 0, 0);
        link_header(file, dg, fh);
        const uint64_t dt = file.dt(records.bytes, 24);
        file.set_link(dg, 2, dt);
        const std::vector<double> expected = cut == 11 ? std::vector<double>{1, 2, 3} : std::vector<double>{1, 2};
        EXPECT_EQ(walk_document(file), (std::vector<std::vector<double>>{expected})) << cut;
    }
}

TEST(DocumentWalkTest, AnUnfinalisedRecordingCutInAVlsdValueEndsBeforeThatFrame) {
    for (size_t cut : {0u, 1u, 4u, 6u, 7u}) {
        BusBytes file;
        file.id("UnFinMF ", 0x0004);
        file.hd();
        const uint64_t fh = file.fh(0, file.tool_comment());
        const uint64_t vlsd = file.cg(0, 2, 0, 0, 0, mdf::CgBlock::kFlagVlsd);
        const uint64_t cg = file.cg(file.channels(can_channels(1, vlsd)), 1, 11, 0, file.bus_source(), 0, vlsd);
        Bytes records;
        for (uint8_t t = 1; t <= 3; ++t) records.u8(1).u8(t).u8(2).u8(2).u64(0).u8(2).u32(2).u8(0xAA).u8(0xBB);
        records.bytes.resize(records.bytes.size() - 7 + cut);  // the third value keeps `cut` of its 7 bytes
        const uint64_t dg = file.dg(cg, 0, 1);
        link_header(file, dg, fh);
        const uint64_t dt = file.dt(records.bytes, 24);
        file.set_link(dg, 2, dt);
        const std::vector<double> expected = cut == 7 ? std::vector<double>{1, 2, 3} : std::vector<double>{1, 2};
        EXPECT_EQ(walk_document(file), (std::vector<std::vector<double>>{expected})) << cut;
    }
}

}  // namespace
}  // namespace tolvar::bus
