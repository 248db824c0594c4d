#include "mdf/data_list_block.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mdf/block_cache.h"
#include "mdf/data_block.h"
#include "mdf/data_group_block.h"
#include "mdf/mdf_document.h"
#include "mdf_bytes.h"

namespace tolvar::mdf {
namespace {

using test::Fields;
using test::LogCapture;
using test::MdfBytes;

ParseOptions any_writer() {
    ParseOptions options;
    options.any_writer = true;
    return options;
}

uint64_t dl(MdfBytes& f, uint64_t next, const std::vector<uint64_t>& items) {
    std::vector<uint64_t> links{next};
    links.insert(links.end(), items.begin(), items.end());
    Fields fields;
    fields.u8(0).zeros(3).u32(static_cast<uint32_t>(items.size()));
    for (size_t i = 0; i < items.size(); ++i) fields.u64(100 * i);
    return f.block("DL", links, fields.bytes);
}

uint64_t dz(MdfBytes& f, const char* kind, uint8_t zip_type, uint32_t parameter, uint64_t original,
            const std::vector<uint8_t>& packed) {
    Fields fields;
    fields.text(std::string(kind, 2)).u8(zip_type).u8(0).u32(parameter).u64(original).u64(packed.size());
    fields.put(packed.data(), packed.size());
    return f.block("DZ", {}, fields.bytes);
}

// The offsets of the collected blocks.
std::vector<uint64_t> offsets(const BlockList& blocks) {
    std::vector<uint64_t> out;
    for (const BlockRef& b : blocks) out.push_back(b->offset);
    return out;
}

struct Chain {
    MdfBytes f;
    uint64_t a, b, c, z, first, second;
    Chain() {
        f.hd();  // its place at 64, rewritten by a test that needs it
        a = f.dt({1, 2, 3});
        b = f.dt({4, 5});
        c = f.dt({6});
        z = dz(f, "DT", 0, 0, 10, {0x78, 0x9c});
        second = dl(f, 0, {c, z});
        first = dl(f, second, {a, b});
    }
};

TEST(DataListTest, CollectsTheBlocksOfEveryListInOrder) {
    Chain chain;
    auto s = chain.f.stream();
    BlockCache cache(any_writer());
    BlockRef head = parse_block_at(*s, chain.first, cache);
    ASSERT_NE(as<DlBlock>(head), nullptr);
    EXPECT_EQ(as<DlBlock>(head)->next, chain.second);
    EXPECT_EQ(as<DlBlock>(head)->count, 2u);
    BlockList blocks;
    LogCapture log;
    ASSERT_TRUE(collect_data_blocks(*s, cache, head, blocks));
    EXPECT_EQ(offsets(blocks), (std::vector<uint64_t>{chain.a, chain.b, chain.c, chain.z}));
    EXPECT_TRUE(log.lines.empty());
    const auto* zipped = as<DzBlock>(blocks[3]);
    ASSERT_NE(zipped, nullptr);
    EXPECT_TRUE(zipped->holds('D', 'T'));
    EXPECT_EQ(zipped->original_length, 10u);
    EXPECT_EQ(zipped->compressed_length, 2u);
    EXPECT_EQ(zipped->compressed_start, chain.z + 48);
    EXPECT_TRUE(zipped->compressed_fits());
}

TEST(DataListTest, AHeaderListLeadsToItsFirstList) {
    Chain chain;
    const uint64_t hl = chain.f.block("HL", {chain.first}, Fields().u16(1).u8(0).zeros(5).bytes);
    auto s = chain.f.stream();
    BlockCache cache(any_writer());
    BlockList blocks;
    ASSERT_TRUE(collect_data_blocks(*s, cache, parse_block_at(*s, hl, cache), blocks));
    EXPECT_EQ(offsets(blocks), (std::vector<uint64_t>{chain.a, chain.b, chain.c, chain.z}));
}

struct Break {
    const char* name;
    int link;  // which link of the second list is changed: 0 next, 1 first item
    uint64_t target_kind;  // 0: the first list, 1: beyond the file, 2: a text block, 3: a listed block
    const char* log;
};

class DataListBreakTest : public ::testing::TestWithParam<Break> {};

TEST_P(DataListBreakTest, EndsWithWhatCameBeforeAndOneLine) {
    const Break& b = GetParam();
    Chain chain;
    const uint64_t text = chain.f.tx("not data");
    const uint64_t target = b.target_kind == 0   ? chain.first
                            : b.target_kind == 1 ? uint64_t{1} << 40
                            : b.target_kind == 2 ? text
                                                 : chain.a;
    chain.f.set_link(chain.second, static_cast<size_t>(b.link), target);
    auto s = chain.f.stream();
    BlockCache cache(any_writer());
    BlockList blocks;
    LogCapture log;
    ASSERT_TRUE(collect_data_blocks(*s, cache, parse_block_at(*s, chain.first, cache), blocks));
    const std::vector<uint64_t> before{chain.a, chain.b};
    std::vector<uint64_t> want = before;
    if (b.link == 0) {
        want.push_back(chain.c);
        want.push_back(chain.z);
    }
    EXPECT_EQ(offsets(blocks), want);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].text.find(b.log), std::string::npos) << log.lines[0].text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DataListBreakTest,
    ::testing::Values(Break{"loop", 0, 0, "loops"}, Break{"next_beyond_the_file", 0, 1, "no data list there"},
                      Break{"next_to_a_text", 0, 2, "no data list there"},
                      Break{"item_beyond_the_file", 1, 1, "no data block there"},
                      Break{"item_to_a_text", 1, 2, "no data block there"},
                      Break{"item_listed_twice", 1, 3, "listed twice"}),
    [](const auto& info) { return std::string(info.param.name); });

// A data group whose data link leads to a list, and a history that names
// this reader's tool or another writer.
MdfBytes document_with_list(uint64_t& list, uint64_t& group, bool our_tool) {
    Chain chain;
    list = chain.first;
    MdfBytes& f = chain.f;
    group = f.dg(0, 0, chain.first);
    const uint64_t comment =
        our_tool ? f.tool_comment() : f.md("<FHcomment><tool_id>other</tool_id></FHcomment>");
    f.hd(group, f.fh(0, comment));
    return f;
}

TEST(DataListTest, ByDefaultAListIsAnUnknownBlockAndTheHistoryIsChecked) {
    uint64_t list = 0, group = 0;
    MdfBytes ours = document_with_list(list, group, true);
    auto s = ours.stream();
    {
        LogCapture log;
        EXPECT_EQ(MdfDocument::open(s.get()), nullptr);
        EXPECT_EQ(log.texts(), (std::vector<std::string>{"Unable to load block header for type ##DL"}));
    }
    MdfBytes f = document_with_list(list, group, false);
    auto plain = f.stream();
    LogCapture log;
    EXPECT_EQ(MdfDocument::open(plain.get()), nullptr);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Unsupported MF4 file"}));
}

TEST(DataListTest, ForAnyWriterTheDataGroupHoldsTheListsBlocks) {
    uint64_t list = 0, group = 0;
    MdfBytes f = document_with_list(list, group, false);
    auto s = f.stream();
    LogCapture log;
    auto document = MdfDocument::open(s.get(), any_writer());
    ASSERT_NE(document, nullptr);
    EXPECT_TRUE(log.lines.empty());
    ASSERT_EQ(document->data_groups().size(), 1u);
    const auto* dg = as<DgBlock>(document->data_groups()[0]);
    ASSERT_NE(dg, nullptr);
    EXPECT_EQ(dg->offset, group);
    EXPECT_EQ(dg->data->offset, list);
    EXPECT_EQ(dg->data_blocks.size(), 4u);
}

TEST(DataListTest, CompressedBytesBeyondTheBlockDoNotFit) {
    MdfBytes f;
    f.id();
    const uint64_t z = dz(f, "SD", 1, 8, 100, {1, 2, 3, 4});
    f.set_u64(z + 24 + 16, 5);  // five compressed bytes declared, four there
    auto s = f.stream();
    BlockCache cache(any_writer());
    BlockRef block = parse_block_at(*s, z, cache);
    const auto* zipped = as<DzBlock>(block);
    ASSERT_NE(zipped, nullptr);
    EXPECT_TRUE(zipped->holds('S', 'D'));
    EXPECT_EQ(zipped->zip_type, DzBlock::kZipTransposedDeflate);
    EXPECT_EQ(zipped->zip_parameter, 8u);
    EXPECT_FALSE(zipped->compressed_fits());
}

}  // namespace
}  // namespace tolvar::mdf
