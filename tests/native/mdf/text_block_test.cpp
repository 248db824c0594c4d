#include "mdf/text_block.h"

#include <gtest/gtest.h>

#include "mdf/block_cache.h"
#include "mdf_bytes.h"

namespace tolvar::mdf {
namespace {

using test::LogCapture;
using test::MdfBytes;

struct TextCase {
    const char* name;
    std::vector<uint8_t> data;
    uint64_t length;  // kAuto: 24 + data
    bool parses;
    std::string text;
};

class TextSection : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextSection, KeepsEveryByteButTheLast) {
    const TextCase& c = GetParam();
    for (const char* code : {"TX", "MD"}) {
        MdfBytes f;
        const uint64_t at = f.block(code, {}, c.data, c.length);
        auto s = f.stream();
        LogCapture log;
        BlockCache cache;
        BlockRef block = parse_block_at(*s, at, cache);
        EXPECT_EQ(static_cast<bool>(block), c.parses) << code;
        EXPECT_TRUE(log.lines.empty());
        if (!block) {
            EXPECT_EQ(cache.find(at), nullptr);
            continue;
        }
        const std::string* text = block_text(block.get());
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(*text, c.text) << code;
        EXPECT_EQ(text->c_str()[text->size()], '\0');
        EXPECT_EQ(block->header.length, c.length == MdfBytes::kAuto ? 24 + c.data.size() : c.length);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextSection,
    ::testing::Values(TextCase{"empty", {}, MdfBytes::kAuto, true, ""},
                      TextCase{"only_zero", {0}, MdfBytes::kAuto, true, ""},
                      TextCase{"abc", {'a', 'b', 'c', 0}, MdfBytes::kAuto, true, "abc"},
                      TextCase{"padding_counted", {'a', 'b', 'c', 0, 0, 0, 0, 0}, MdfBytes::kAuto, true,
                               std::string("abc\0\0\0\0", 7)},
                      TextCase{"no_terminator", {'a', 'b', 'c', 'd'}, MdfBytes::kAuto, true, "abc"},
                      TextCase{"shorter_than_header", {'a', 'b', 'c', 0}, 20, false, ""},
                      // Lengths far beyond the stream: refused by the short read,
                      // without reserving what the length claims.
                      TextCase{"beyond_stream", {'a', 0}, 4096, false, ""},
                      TextCase{"huge", {'a', 0}, uint64_t{1} << 60, false, ""},
                      TextCase{"largest", {'a', 0}, ~uint64_t{0} - 1, false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TextBlockTest, RefusesLinks) {
    MdfBytes f;
    const uint64_t tx = f.block("TX", {0}, MdfBytes::with_zero("abc"));
    const uint64_t md = f.block("MD", {0}, MdfBytes::with_zero("abc"));
    auto s = f.stream();
    BlockCache cache;
    EXPECT_FALSE(parse_block_at(*s, tx, cache));
    EXPECT_FALSE(parse_block_at(*s, md, cache));
}

TEST(TextBlockTest, EachAccessorTakesOnlyItsKind) {
    MdfBytes f;
    const uint64_t tx = f.tx("name");
    const uint64_t md = f.md("<x/>");
    auto s = f.stream();
    BlockCache cache;
    BlockRef t = parse_block_at(*s, tx, cache);
    BlockRef m = parse_block_at(*s, md, cache);
    ASSERT_NE(block_text(t.get(), BlockKind::kTx), nullptr);
    EXPECT_EQ(block_text(t.get(), BlockKind::kMd), nullptr);
    ASSERT_NE(block_text(m.get(), BlockKind::kMd), nullptr);
    EXPECT_EQ(block_text(m.get(), BlockKind::kTx), nullptr);
    EXPECT_EQ(*block_text(m.get(), BlockKind::kMd), "<x/>");
    EXPECT_EQ(block_text(nullptr), nullptr);
}

TEST(TextBlockTest, OverlappingTextsCannotMultiplyTheStream) {
    // Two text blocks that share most of their bytes: each alone fits the
    // stream, but one open cannot keep both.
    MdfBytes f;
    f.grow(2000);
    f.block_at(64, "TX", {}, {}, 2000 - 64);
    f.block_at(128, "TX", {}, {}, 2000 - 128);
    auto s = f.stream();
    {
        BlockCache cache;
        EXPECT_TRUE(parse_block_at(*s, 64, cache));
        EXPECT_FALSE(parse_block_at(*s, 128, cache));
    }
    BlockCache fresh;
    EXPECT_TRUE(parse_block_at(*s, 128, fresh));
}

}  // namespace
}  // namespace tolvar::mdf
