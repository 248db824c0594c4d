#include "mdf/id_block.h"

#include <gtest/gtest.h>

#include <cstring>

#include "mdf/block_cache.h"
#include "mdf_bytes.h"

namespace tolvar::mdf {
namespace {

using test::LogCapture;
using test::MdfBytes;

BlockRef parse_id(const MdfBytes& f) {
    auto s = f.stream();
    BlockCache cache;
    BlockRef block = parse_block_at(*s, 0, cache);
    if (block) {
        EXPECT_EQ(s->tell(), 64);
    }
    return block;
}

TEST(IdBlockTest, ReadsTheFieldsOfAFinalisedFile) {
    MdfBytes f;
    f.id("MDF     ", 0, 410, 7);
    std::memcpy(&f.bytes[8], "4.10    ", 8);
    BlockRef block = parse_id(f);
    auto* id = as<IdBlock>(block);
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(id->format_id, "4.10    ");  // trailing blanks kept
    EXPECT_EQ(id->program_id, "Tolvar  ");
    EXPECT_EQ(id->version, 410);
    EXPECT_EQ(id->unfinalised_flags, 0);
    EXPECT_EQ(id->custom_unfinalised_flags, 7);
    EXPECT_FALSE(id->header_block);
    EXPECT_EQ(id->header.length, 64u);
}

TEST(IdBlockTest, AcceptsUnfinalisedAndAnyVersion) {
    for (uint16_t version : {300, 410, 420}) {
        MdfBytes f;
        f.id("UnFinMF ", 0x0005, version);
        BlockRef block = parse_id(f);
        auto* id = as<IdBlock>(block);
        ASSERT_NE(id, nullptr);
        EXPECT_EQ(id->version, version);
        EXPECT_EQ(id->unfinalised_flags, 0x0005);
    }
}

TEST(IdBlockTest, RefusesOtherIdentifiers) {
    MdfBytes f;
    f.id();
    std::memcpy(&f.bytes[0], "MDF\0\0\0\0\0", 8);
    LogCapture log;
    EXPECT_FALSE(parse_id(f));
    // The header loader names what it found.
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].text, "Unable to load block header for type MDF");

    // Called directly, the parse itself refuses it too.
    auto s = f.stream();
    IdBlock id;
    BlockCache cache;
    EXPECT_FALSE(id.parse(*s, cache, default_header(BlockKind::kId), nullptr));
}

TEST(IdBlockTest, ShortStreamKeepsDefaults) {
    MdfBytes f;
    f.id("MDF     ", 4, 410);
    f.bytes.resize(30);  // ends inside the version field
    auto s = f.stream();
    IdBlock id;
    BlockCache cache;
    EXPECT_TRUE(id.parse(*s, cache, default_header(BlockKind::kId), nullptr));
    EXPECT_EQ(id.unfinalised_flags, 0);
    EXPECT_EQ(id.format_id, "4.10    ");
}

}  // namespace
}  // namespace tolvar::mdf
