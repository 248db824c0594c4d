#include "mdf/block_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log/log.h"
#include "stream/memory_stream.h"

namespace tolvar::mdf {
namespace {

std::vector<std::string> g_lines;
int capture(log::LogMessage* m, void*) {
    g_lines.emplace_back(m->message_start);
    return 0;
}

class BlockHeaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_lines.clear();
        log::set_output(log::kMessage, nullptr, capture);
    }
    void TearDown() override { log::reset_output(); }

    // 24 header bytes (id, reserved, length, link count) followed by padding.
    static void put_header(stream::MemoryStream& s, const char* id, const char* reserved, uint64_t length,
                           uint64_t links) {
        s.write(id, 4);
        s.write(reserved, 4);
        s.write(&length, 8);
        s.write(&links, 8);
        s.write(std::string(40, '\0').data(), 40);
        s.seek(0, stream::kSeekSet);
    }
};

struct KindCase {
    const char* id;
    BlockKind kind;
};

class EveryKind : public BlockHeaderTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(EveryKind, IsIdentifiedAndLeavesTheStreamAtTheFirstLink) {
    stream::MemoryStream s;
    put_header(s, GetParam().id, "\x01\x02\x03\x04", 0x1122334455667788ULL, 6);
    auto header = read_block_header(s);
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->kind, GetParam().kind);
    EXPECT_EQ(header->length, 0x1122334455667788ULL);
    EXPECT_EQ(header->link_count, 6u);
    EXPECT_EQ(s.tell(), 24);
    EXPECT_TRUE(g_lines.empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, EveryKind,
                         ::testing::Values(KindCase{"##CC", BlockKind::kCc}, KindCase{"##CG", BlockKind::kCg},
                                           KindCase{"##CN", BlockKind::kCn}, KindCase{"##DG", BlockKind::kDg},
                                           KindCase{"##DT", BlockKind::kDt}, KindCase{"##FH", BlockKind::kFh},
                                           KindCase{"##HD", BlockKind::kHd}, KindCase{"##MD", BlockKind::kMd},
                                           KindCase{"##SD", BlockKind::kSd}, KindCase{"##SI", BlockKind::kSi},
                                           KindCase{"##TX", BlockKind::kTx}));

class IdentificationText : public BlockHeaderTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(IdentificationText, GivesAnIdHeaderAndRewinds) {
    stream::MemoryStream s;
    s.write(GetParam(), 8);
    s.write("4.10    ", 8);
    s.write(std::string(48, '\x7f').data(), 48);
    s.seek(0, stream::kSeekSet);
    auto header = read_block_header(s);
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->kind, BlockKind::kId);
    EXPECT_EQ(header->length, 64u);
    EXPECT_EQ(header->link_count, 0u);
    EXPECT_EQ(s.tell(), 0);
}

INSTANTIATE_TEST_SUITE_P(Texts, IdentificationText, ::testing::Values("MDF     ", "UnFinMF "));

TEST_F(BlockHeaderTest, UnknownIdIsLoggedWithItsText) {
    stream::MemoryStream s;
    put_header(s, "##AT", "\0\0\0\0", 24, 0);
    EXPECT_FALSE(read_block_header(s).has_value());
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0], "Unable to load block header for type ##AT");
}

TEST_F(BlockHeaderTest, IdentificationTextMustMatchAllEightBytes) {
    stream::MemoryStream s;
    put_header(s, "MDF ", "4.10", 24, 0);
    EXPECT_FALSE(read_block_header(s).has_value());
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0], "Unable to load block header for type MDF 4.10");
}

TEST_F(BlockHeaderTest, ShortStreamGivesNothingSilently) {
    stream::MemoryStream s;
    put_header(s, "##DG", "\0\0\0\0", 64, 4);
    s.seek(54, stream::kSeekSet);  // 10 bytes left
    EXPECT_FALSE(read_block_header(s).has_value());
    EXPECT_TRUE(g_lines.empty());
}

TEST(DataSize, SubtractsHeaderAndLinksAndWraps) {
    EXPECT_EQ(data_size(BlockHeader{BlockKind::kTx, 24, 0}), 0u);
    EXPECT_EQ(data_size(BlockHeader{BlockKind::kDg, 64, 4}), 8u);
    EXPECT_EQ(data_size(BlockHeader{BlockKind::kDg, 24, 1}), UINT64_MAX - 7);
}

}  // namespace
}  // namespace tolvar::mdf
