#include "mdf/header_block.h"

#include <gtest/gtest.h>

#include "mdf/block_cache.h"
#include "mdf/file_history_block.h"
#include "mdf/text_block.h"
#include "mdf_bytes.h"

namespace tolvar::mdf {
namespace {

using test::Fields;
using test::LogCapture;
using test::MdfBytes;

class HeaderBlockTest : public ::testing::Test {
protected:
    HeaderBlockTest() { f.hd(); }

    BlockRef parse_header() {
        stream_ = f.stream();
        BlockCache cache;
        return parse_block_at(*stream_, 64, cache);
    }

    MdfBytes f;
    LogCapture log;
    std::unique_ptr<stream::MemoryStream> stream_;
};

TEST_F(HeaderBlockTest, ReadsFieldsAndComment) {
    const uint64_t comment = f.md("<HDcomment><TX>drive</TX></HDcomment>");
    f.block_at(64, "HD", {0, 0, 0, 0, 0, comment},
               Fields().u64(1500000000000000000ull).i16(-120).i16(60).u8(2).u8(10).u8(1).u8(0xEE).f64(0.25).f64(7.5).bytes);
    BlockRef block = parse_header();
    const HdBlock* hd = as<HdBlock>(block);
    ASSERT_NE(hd, nullptr);
    EXPECT_EQ(hd->start_time_ns, 1500000000000000000ull);
    EXPECT_EQ(hd->tz_offset_min, -120);
    EXPECT_EQ(hd->dst_offset_min, 60);
    EXPECT_EQ(hd->time_flags, 2);
    EXPECT_EQ(hd->time_class, 10);
    EXPECT_EQ(hd->flags, 1);
    EXPECT_EQ(hd->start_angle_rad, 0.25);
    EXPECT_EQ(hd->start_distance_m, 7.5);
    ASSERT_NE(block_text(hd->comment.get(), BlockKind::kMd), nullptr);
    EXPECT_EQ(*block_text(hd->comment.get(), BlockKind::kMd), "<HDcomment><TX>drive</TX></HDcomment>");
    EXPECT_TRUE(hd->data_groups.empty());
    EXPECT_TRUE(hd->file_history.empty());
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(HeaderBlockTest, HistoryWithTheToolIsAccepted) {
    const uint64_t comment = f.tool_comment();
    const uint64_t second = f.fh(0, comment, 2);
    const uint64_t first = f.fh(second, comment, 1);
    f.set_link(64, 1, first);
    BlockRef block = parse_header();
    const HdBlock* hd = as<HdBlock>(block);
    ASSERT_NE(hd, nullptr);
    ASSERT_EQ(hd->file_history.size(), 2u);
    EXPECT_EQ(as<FhBlock>(hd->file_history[0])->time_ns, 1u);
    EXPECT_EQ(as<FhBlock>(hd->file_history[1])->time_ns, 2u);
    EXPECT_EQ(hd->file_history[0]->offset, first);
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(HeaderBlockTest, NoHistoryIsAccepted) {
    EXPECT_TRUE(as<HdBlock>(parse_header()));
    EXPECT_TRUE(log.lines.empty());
}

struct ToolCase {
    const char* name;
    const char* code;  // comment block kind
    std::string text;
    bool accepted;
};

class ToolCheck : public ::testing::TestWithParam<ToolCase> {};

TEST_P(ToolCheck, NeedsTheToolIdInXmlMetadata) {
    const ToolCase& c = GetParam();
    MdfBytes f;
    f.hd();
    const uint64_t comment = c.code == nullptr ? 0 : f.block(c.code, {}, MdfBytes::with_zero(c.text));
    f.set_link(64, 1, f.fh(0, comment));
    auto s = f.stream();
    LogCapture log;
    BlockCache cache;
    const bool opened = static_cast<bool>(parse_block_at(*s, 64, cache));
    EXPECT_EQ(opened, c.accepted);
    EXPECT_EQ(log.texts(), c.accepted ? std::vector<std::string>{}
                                      : std::vector<std::string>{"Unsupported MF4 file"});
}

INSTANTIATE_TEST_SUITE_P(
    Comments, ToolCheck,
    ::testing::Values(
        ToolCase{"inside_xml", "MD", "<FHcomment><TX>x</TX><tool_id>ZR</tool_id><tool_vendor>v</tool_vendor></FHcomment>", true},
        ToolCase{"alone", "MD", "<tool_id>ZR</tool_id>", true},
        ToolCase{"other_tool", "MD", "<FHcomment><tool_id>XY</tool_id></FHcomment>", false},
        ToolCase{"case_differs", "MD", "<tool_id>zr</tool_id>", false},
        ToolCase{"after_zero", "MD", std::string("<FHcomment>\0<tool_id>ZR</tool_id>", 34), false},
        ToolCase{"plain_text", "TX", "<tool_id>ZR</tool_id>", false},
        ToolCase{"no_comment", nullptr, "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HeaderBlockTest, OneRefusedEntryLogsOnce) {
    const uint64_t good = f.tool_comment();
    const uint64_t bad = f.md("<FHcomment><tool_id>XY</tool_id></FHcomment>");
    const uint64_t third = f.fh(0, bad);
    const uint64_t second = f.fh(third, bad);
    const uint64_t first = f.fh(second, good);
    f.set_link(64, 1, first);
    EXPECT_FALSE(parse_header());
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Unsupported MF4 file"});
}

TEST_F(HeaderBlockTest, RefusesHierarchyAttachmentsAndEventsAfterTheChains) {
    for (size_t link : {2, 3, 4}) {
        MdfBytes g;
        g.hd();
        const uint64_t comment = g.tool_comment();
        const uint64_t entry = g.fh(0, comment);
        g.set_link(64, 1, entry);
        g.set_link(64, link, 8);  // never followed
        auto s = g.stream();
        LogCapture lines;
        BlockCache cache;
        EXPECT_FALSE(parse_block_at(*s, 64, cache));
        EXPECT_EQ(lines.texts(), std::vector<std::string>{"Unsupported parameter present in file"});
        // The history had been parsed (and checked) first.
        EXPECT_NE(cache.find(entry), nullptr);
    }
}

TEST_F(HeaderBlockTest, WrongLinkCountsAreRefusedSilently) {
    const uint64_t comment = f.tool_comment();
    const uint64_t entry = f.block("FH", {0, comment, 0}, Fields().zeros(16).bytes);
    f.set_link(64, 1, entry);
    EXPECT_FALSE(parse_header());

    MdfBytes g;
    g.id();
    g.block_at(64, "HD", {0, 0, 0, 0, 0, 0, 0}, Fields().zeros(32).bytes);
    auto s = g.stream();
    BlockCache cache;
    EXPECT_FALSE(parse_block_at(*s, 64, cache));
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(HeaderBlockTest, UnreadableCommentOrFieldsFail) {
    f.set_link(64, 5, 1u << 20);
    EXPECT_FALSE(parse_header());

    MdfBytes g;
    g.hd();
    g.bytes.resize(64 + 24 + 48 + 20);  // fields cut short
    auto s = g.stream();
    BlockCache cache;
    EXPECT_FALSE(parse_block_at(*s, 64, cache));
}

TEST_F(HeaderBlockTest, HistoryThatLoopsBackToTheHeaderFails) {
    const uint64_t comment = f.tool_comment();
    const uint64_t entry = f.fh(64, comment);
    f.set_link(64, 1, entry);
    EXPECT_FALSE(parse_header());
    MdfBytes g;
    g.hd();
    g.set_link(64, 5, 64);  // the comment is the header block itself
    auto s = g.stream();
    BlockCache cache;
    EXPECT_FALSE(parse_block_at(*s, 64, cache));
}

}  // namespace
}  // namespace tolvar::mdf
