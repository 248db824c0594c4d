#include "mdf/mdf_document.h"

#include <gtest/gtest.h>

#include <cstring>

#include "mdf/channel_block.h"
#include "mdf/channel_group_block.h"
#include "mdf/data_group_block.h"
#include "mdf/data_block.h"
#include "mdf/file_history_block.h"
#include "mdf/header_block.h"
#include "mdf/id_block.h"
#include "mdf/source_info_block.h"
#include "mdf/text_block.h"
#include "mdf_bytes.h"

namespace tolvar::mdf {
namespace {

using mdf::as;
using mdf::DtBlock;
using test::Fields;
using test::LogCapture;
using test::MdfBytes;

// A minimal accepted file: identification, header, one history entry.
MdfBytes minimal(const char* file_id = "MDF     ", uint16_t flags = 0) {
    MdfBytes f;
    f.id(file_id, flags);
    f.hd();
    const uint64_t comment = f.tool_comment();
    f.set_link(64, 1, f.fh(0, comment));
    return f;
}

// Data groups whose data blocks lie at the given offsets (0: none), chained in
// that order; the stream then ends at `size`.
MdfBytes with_data_blocks(const std::vector<uint64_t>& offsets, uint64_t size, uint16_t flags) {
    MdfBytes f = minimal("UnFinMF ", flags);
    std::vector<uint64_t> groups;
    for (uint64_t at : offsets) {
        if (at != 0) f.block_at(at, "DT", {}, std::vector<uint8_t>(16, 0xAB));
    }
    for (uint64_t at : offsets) groups.push_back(f.dg(0, 0, at));
    for (size_t i = 0; i + 1 < groups.size(); ++i) f.set_link(groups[i], 0, groups[i + 1]);
    if (!groups.empty()) f.set_link(64, 0, groups[0]);
    f.grow(size);
    return f;
}

std::vector<uint64_t> data_lengths(const MdfDocument& document) {
    std::vector<uint64_t> lengths;
    for (const mdf::BlockRef& group : document.data_groups()) {
        const auto* dg = as<DgBlock>(group);
        const DtBlock* dt = dg != nullptr ? as<DtBlock>(dg->data) : nullptr;
        lengths.push_back(dt != nullptr ? dt->header.length : 0);
    }
    return lengths;
}

TEST(MdfDocumentTest, OpensAMinimalFile) {
    MdfBytes f = minimal();
    f.set_u64(64 + 24 + 48, 1500000000000000000ull);
    auto s = f.stream();
    LogCapture log;
    auto document = MdfDocument::open(s.get());
    ASSERT_TRUE(document);
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(document->stream(), s.get());
    EXPECT_EQ(document->start_time(), 1500000000.0);
    EXPECT_TRUE(document->data_groups().empty());
    ASSERT_NE(document->header_block(), nullptr);
    EXPECT_EQ(document->header_block()->file_history.size(), 1u);
    EXPECT_EQ(document->id_block()->header_block.get(), document->header_block());
    // The tree is owned by the document alone once the open is done.
    EXPECT_EQ(document->id_block()->use_count(), 1);
    EXPECT_EQ(document->id_block()->header_block.use_count(), 1);
    EXPECT_EQ(document->metadata_xml(), nullptr);
    EXPECT_EQ(document->comment_text(), nullptr);
}

TEST(MdfDocumentTest, StartTimeIgnoresTimeZones) {
    MdfBytes f = minimal();
    f.set_u64(64 + 24 + 48, 1500000000000000000ull);
    const int16_t minutes[2] = {-600, 120};
    std::memcpy(&f.bytes[64 + 24 + 48 + 8], minutes, 4);
    auto s = f.stream();
    auto document = MdfDocument::open(s.get());
    ASSERT_TRUE(document);
    EXPECT_EQ(document->start_time(), 1500000000.0);
}

TEST(MdfDocumentTest, GivesTheHeaderComment) {
    for (const char* code : {"MD", "TX"}) {
        MdfBytes f = minimal();
        const std::string xml = std::string("<HDcomment>\0x", 13);
        const uint64_t comment = f.block(code, {}, MdfBytes::with_zero(xml));
        f.set_link(64, 5, comment);
        auto s = f.stream();
        auto document = MdfDocument::open(s.get());
        ASSERT_TRUE(document) << code;
        ASSERT_NE(document->comment_text(), nullptr);
        EXPECT_EQ(*document->comment_text(), xml);
        if (std::string(code) == "MD") {
            ASSERT_NE(document->metadata_xml(), nullptr);
            EXPECT_EQ(*document->metadata_xml(), xml);  // full length, zero byte included
        } else {
            EXPECT_EQ(document->metadata_xml(), nullptr);
        }
    }
}

TEST(MdfDocumentTest, RefusesWhatIsNotAnMdf4File) {
    EXPECT_FALSE(MdfDocument::open(nullptr));
    {
        MdfBytes f = minimal();
        f.bytes.resize(60);
        auto s = f.stream();
        EXPECT_FALSE(MdfDocument::open(s.get()));
    }
    {
        MdfBytes f = minimal();
        f.bytes.resize(64);  // no header block
        auto s = f.stream();
        EXPECT_FALSE(MdfDocument::open(s.get()));
    }
    {
        // Offset 64 holds a block of another kind.
        MdfBytes f;
        f.id();
        f.block_at(64, "TX", {}, MdfBytes::with_zero("not a header"));
        auto s = f.stream();
        EXPECT_FALSE(MdfDocument::open(s.get()));
    }
    {
        MdfBytes f = minimal();
        std::memcpy(&f.bytes[0], "##TX", 4);  // offset 0 holds another kind
        auto s = f.stream();
        EXPECT_FALSE(MdfDocument::open(s.get()));
    }
    {
        MdfBytes f = minimal();
        std::memcpy(&f.bytes[0], "MDF4    ", 8);
        auto s = f.stream();
        LogCapture log;
        EXPECT_FALSE(MdfDocument::open(s.get()));
        EXPECT_EQ(log.texts(), std::vector<std::string>{"Unable to load block header for type MDF4    "});
    }
}

TEST(MdfDocumentTest, RefusalsLogWhatTheParsersSay) {
    MdfBytes f;
    f.hd();
    const uint64_t bad = f.md("<FHcomment><tool_id>other</tool_id></FHcomment>");
    f.set_link(64, 1, f.fh(0, bad));
    auto s = f.stream();
    LogCapture log;
    EXPECT_FALSE(MdfDocument::open(s.get()));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Unsupported MF4 file"});
}

TEST(MdfDocumentTest, FinalisedFileKeepsItsLengths) {
    MdfBytes f = with_data_blocks({1000, 5000, 3000}, 9000, 0);
    std::memcpy(&f.bytes[0], "MDF     ", 8);
    auto s = f.stream();
    auto document = MdfDocument::open(s.get());
    ASSERT_TRUE(document);
    EXPECT_EQ(data_lengths(*document), (std::vector<uint64_t>{40, 40, 40}));
}

struct RepairCase {
    const char* name;
    std::vector<uint64_t> offsets;  // data block per data group, 0 for none
    uint16_t flags;
    std::vector<uint64_t> lengths;  // afterwards, per data group
    uint16_t flags_after;
};

class UnfinalisedRepair : public ::testing::TestWithParam<RepairCase> {};

TEST_P(UnfinalisedRepair, ExtendsTheLastDataBlock) {
    const RepairCase& c = GetParam();
    MdfBytes f = with_data_blocks(c.offsets, 9000, c.flags);
    auto s = f.stream();
    LogCapture log;
    auto document = MdfDocument::open(s.get());
    ASSERT_TRUE(document);
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(data_lengths(*document), c.lengths);
    EXPECT_EQ(document->id_block()->unfinalised_flags, c.flags_after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnfinalisedRepair,
    ::testing::Values(RepairCase{"greatest_offset", {1000, 5000, 3000}, 0x0004, {40, 4000, 40}, 0},
                      RepairCase{"other_bits_stay", {1000, 5000, 3000}, 0x0005, {40, 4000, 40}, 0x0001},
                      RepairCase{"bit_clear", {1000, 5000, 3000}, 0x0000, {40, 40, 40}, 0},
                      RepairCase{"other_bits_only", {1000, 5000}, 0x0001, {40, 40}, 0x0001},
                      RepairCase{"last_group_without_data", {1000, 5000, 0}, 0x0004, {40, 4000, 0}, 0},
                      RepairCase{"shared_block", {5000, 5000}, 0x0004, {4000, 4000}, 0},
                      RepairCase{"no_data_groups", {}, 0x0004, {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MdfDocumentTest, RepairedSectionReachesTheEndOfTheStream) {
    MdfBytes f = with_data_blocks({1000}, 0, 0x0004);
    // The recording went on after the length was written: 60 more bytes.
    f.grow(f.bytes.size() + 60);
    f.bytes.back() = 0x5A;
    const int64_t section = static_cast<int64_t>(f.bytes.size()) - 1024;
    auto s = f.stream();
    auto document = MdfDocument::open(s.get());
    ASSERT_TRUE(document);
    const auto* dg = as<DgBlock>(document->data_groups()[0]);
    ASSERT_NE(dg, nullptr);
    DtBlock* dt = as<DtBlock>(dg->data);
    ASSERT_NE(dt, nullptr);
    EXPECT_EQ(dt->section.seek(0, stream::kSeekEnd), section);
    std::vector<uint8_t> bytes(4096);
    dt->section.seek(0, stream::kSeekSet);
    ASSERT_EQ(dt->section.read(bytes.data(), bytes.size()), section);
    EXPECT_EQ(bytes[0], 0xAB);
    EXPECT_EQ(bytes[section - 1], 0x5A);
}

TEST(MdfDocumentTest, DataGroupChainComesInFileOrder) {
    MdfBytes f = with_data_blocks({1000, 3000, 2000}, 4000, 0);
    auto s = f.stream();
    auto document = MdfDocument::open(s.get());
    ASSERT_TRUE(document);
    std::vector<uint64_t> data_offsets;
    for (const mdf::BlockRef& group : document->data_groups()) {
        data_offsets.push_back(as<DgBlock>(group)->data->offset);
    }
    EXPECT_EQ(data_offsets, (std::vector<uint64_t>{1000, 3000, 2000}));
}

TEST(MdfDocumentTest, DataGroupChainThatLoopsFails) {
    MdfBytes f = with_data_blocks({1000, 3000, 2000}, 4000, 0);
    // Point the last data group back at the first.
    uint64_t groups[3];
    uint64_t at = 64 + 24;  // the header's first-data-group link
    std::memcpy(&groups[0], &f.bytes[at], 8);
    std::memcpy(&groups[1], &f.bytes[groups[0] + 24], 8);
    std::memcpy(&groups[2], &f.bytes[groups[1] + 24], 8);
    f.set_link(groups[2], 0, groups[0]);
    auto s = f.stream();
    EXPECT_FALSE(MdfDocument::open(s.get()));
}

// A data group with one channel group whose first channel is a structure
// nested `depth` levels deep (each channel's only component is the next).
MdfBytes nested_structure(int depth) {
    MdfBytes f = minimal();
    const uint64_t name = f.tx("leaf");
    MdfBytes scratch;
    const uint64_t at = scratch.cn(0, 0, name, 0, 8);
    const std::vector<uint8_t> one(scratch.bytes.begin() + at, scratch.bytes.end());
    const uint64_t first = f.next();
    f.grow(first + depth * one.size());
    for (int i = 0; i < depth; ++i) {
        const uint64_t here = first + i * one.size();
        std::memcpy(&f.bytes[here], one.data(), one.size());
        const uint64_t component = i + 1 < depth ? here + one.size() : 0;
        std::memcpy(&f.bytes[here + 32], &component, 8);
    }
    const uint64_t group = f.cg(0, first, 0, 1);
    const uint64_t data = f.dt({1, 2, 3});
    f.set_link(64, 0, f.dg(0, group, data));
    return f;
}

TEST(MdfDocumentTest, StructureNestedHundredsOfThousandsDeepFailsCleanly) {
    MdfBytes f = nested_structure(300000);
    auto s = f.stream();
    LogCapture log;
    EXPECT_FALSE(MdfDocument::open(s.get()));
    EXPECT_TRUE(log.lines.empty());
}

TEST(MdfDocumentTest, StructureNestedAHundredDeepOpens) {
    MdfBytes f = nested_structure(100);
    auto s = f.stream();
    auto document = MdfDocument::open(s.get());
    ASSERT_TRUE(document);
    ASSERT_EQ(document->data_groups().size(), 1u);
}

// --- blocks reached more than once

// Identification, header block and a history entry whose comment names the
// tool, with the offsets of the entry and its comment.
struct Skeleton {
    Skeleton() {
        f.id();
        f.hd();
        tool = f.tool_comment();
        fh = f.fh(0, tool);
        f.set_link(64, 1, fh);
    }
    std::unique_ptr<MdfDocument> open() {
        stream = f.stream();
        return MdfDocument::open(stream.get());
    }
    MdfBytes f;
    uint64_t tool = 0;
    uint64_t fh = 0;
    std::unique_ptr<stream::MemoryStream> stream;
};

TEST(MdfDocumentTest, ABlockLinkedFromTwoBlocksIsOneBlock) {
    Skeleton file;
    file.f.set_link(64, 5, file.tool);  // the header's comment is the history entry's
    auto document = file.open();
    ASSERT_TRUE(document);
    const HdBlock* hd = document->header_block();
    ASSERT_EQ(hd->file_history.size(), 1u);
    EXPECT_EQ(hd->comment.get(), as<FhBlock>(hd->file_history[0])->comment.get());
    ASSERT_NE(document->comment_text(), nullptr);
    EXPECT_NE(document->comment_text()->find("<tool_id>ZR</tool_id>"), std::string::npos);
}

TEST(MdfDocumentTest, ACommentOfAnotherKindIsReadAsThatKind) {
    Skeleton file;
    file.f.set_link(64, 5, file.f.si(2, 2, file.f.tx("CAN1")));
    auto document = file.open();
    ASSERT_TRUE(document);
    const SiBlock* si = as<SiBlock>(document->header_block()->comment);
    ASSERT_NE(si, nullptr);
    EXPECT_EQ(si->bus_type, 2);
    EXPECT_EQ(as<TextBlock>(si->name)->text, "CAN1");
    EXPECT_EQ(document->comment_text(), nullptr);
}

TEST(MdfDocumentTest, HistoryEntryReachedFirstThroughASingleLinkKeepsItsPlaceInTheChain) {
    // A data group's comment names the first history entry; the header block
    // links its data groups before its history, so the entry is read through
    // that link first. The history still holds both entries.
    Skeleton file;
    const uint64_t second = file.f.fh(0, file.tool, 77);
    file.f.set_link(file.fh, 0, second);
    file.f.set_link(64, 0, file.f.dg(0, 0, 0, 0, file.fh));
    auto document = file.open();
    ASSERT_TRUE(document);
    const HdBlock* hd = document->header_block();
    ASSERT_EQ(hd->file_history.size(), 2u);
    EXPECT_EQ(as<FhBlock>(hd->file_history[1])->time_ns, 77u);
    ASSERT_EQ(hd->data_groups.size(), 1u);
    EXPECT_EQ(as<DgBlock>(hd->data_groups[0])->comment.get(), hd->file_history[0].get());
}

TEST(MdfDocumentTest, ChainsSharingATailShareItsBlock) {
    // Two data groups whose channel-group chains end in the same group.
    Skeleton file;
    const uint64_t shared = file.f.cg(0, 0, 2, 0);
    const uint64_t own = file.f.cg(shared, 0, 1, 0);
    const uint64_t b = file.f.dg(0, shared, 0, 1);
    file.f.set_link(64, 0, file.f.dg(b, own, 0, 1));
    auto document = file.open();
    ASSERT_TRUE(document);
    const BlockList& groups = document->data_groups();
    ASSERT_EQ(groups.size(), 2u);
    const BlockList& first = as<DgBlock>(groups[0])->channel_groups;
    const BlockList& second = as<DgBlock>(groups[1])->channel_groups;
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[1].get(), second[0].get());
    EXPECT_EQ(as<CgBlock>(second[0])->record_id, 2u);
}

TEST(MdfDocumentTest, LongChainsOfEveryKindReadBackWhole) {
    // History entries, data groups, channel groups (in the first data group)
    // and components (of the first group's only channel), 20 000 of each.
    constexpr uint64_t kCount = 20000;
    Skeleton file;
    MdfBytes& f = file.f;
    uint64_t component = 0;
    for (uint64_t i = kCount; i-- > 0;) component = f.cn(component, 0, 0, 0, static_cast<uint32_t>(i));
    const uint64_t structure = f.cn(0, component, 0, 0, 0);
    uint64_t cg = 0;
    for (uint64_t i = kCount; i-- > 1;) cg = f.cg(cg, 0, i, 0);
    cg = f.cg(cg, structure, 0, 0);
    uint64_t dg = 0;
    for (uint64_t i = kCount; i-- > 1;) dg = f.dg(dg, 0, 0, static_cast<uint8_t>(i % 3));
    f.set_link(64, 0, f.dg(dg, cg, 0));
    uint64_t fh = 0;
    for (uint64_t i = kCount; i-- > 1;) fh = f.fh(fh, file.tool, i);
    f.set_link(file.fh, 0, fh);

    auto document = file.open();
    ASSERT_TRUE(document);
    const HdBlock* hd = document->header_block();
    ASSERT_EQ(hd->file_history.size(), kCount);
    ASSERT_EQ(hd->data_groups.size(), kCount);
    const BlockList& groups = as<DgBlock>(hd->data_groups[0])->channel_groups;
    ASSERT_EQ(groups.size(), kCount);
    const BlockList& channels = as<CgBlock>(groups[0])->channels;
    ASSERT_EQ(channels.size(), 1u);
    const BlockList& components = as<CnBlock>(channels[0])->components;
    ASSERT_EQ(components.size(), kCount);
    uint64_t out_of_place = 0;
    for (uint64_t i = 0; i < kCount; ++i) {
        if (as<FhBlock>(hd->file_history[i])->time_ns != i) ++out_of_place;
        if (i > 0 && as<DgBlock>(hd->data_groups[i])->rec_id_size != i % 3) ++out_of_place;
        if (as<CgBlock>(groups[i])->record_id != i) ++out_of_place;
        if (as<CnBlock>(components[i])->bit_count != i) ++out_of_place;
    }
    EXPECT_EQ(out_of_place, 0u);
}

}  // namespace
}  // namespace tolvar::mdf
