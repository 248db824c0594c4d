#include "mdf/data_block.h"

#include <gtest/gtest.h>

#include <numeric>

#include "mdf/block_cache.h"
#include "mdf/data_block.h"
#include "mdf/source_info_block.h"
#include "mdf_bytes.h"

namespace tolvar::mdf {
namespace {

using test::CountingStream;
using test::Fields;
using test::MdfBytes;

std::vector<uint8_t> counting_bytes(size_t n) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), uint8_t{0});
    return v;
}

TEST(DataBlockTest, SectionCoversTheDataSection) {
    MdfBytes f;
    f.block_at(1000, "DT", {}, counting_bytes(1000));
    auto s = f.stream();
    BlockCache cache;
    BlockRef block = parse_block_at(*s, 1000, cache);
    auto* dt = as<DtBlock>(block);
    ASSERT_NE(dt, nullptr);
    EXPECT_EQ(dt->data_start, 1024u);
    EXPECT_EQ(dt->header.length, 1024u);
    EXPECT_EQ(dt->file, s.get());
    DataSectionStream& section = dt->section;
    EXPECT_EQ(section.section_size(), 1000u);

    EXPECT_EQ(section.seek(0, stream::kSeekSet), 0);
    EXPECT_EQ(s->tell(), 1024);
    std::vector<uint8_t> buffer(4096);
    EXPECT_EQ(section.read(buffer.data(), buffer.size()), 1000);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[999], static_cast<uint8_t>(999));
    CountingStream counting(*s);
    dt->file = &counting;
    EXPECT_EQ(section.read(buffer.data(), buffer.size()), 0);
    EXPECT_EQ(counting.reads + counting.seeks, 0);  // nothing left: no I/O
    dt->file = s.get();

    EXPECT_EQ(section.seek(5000, stream::kSeekSet), 1000);
    EXPECT_EQ(section.read(buffer.data(), 1), 0);
    EXPECT_EQ(section.seek(0, stream::kSeekEnd), 1000);
    EXPECT_EQ(section.tell(), 1000);
    EXPECT_EQ(section.seek(-10, stream::kSeekCur), 990);
    EXPECT_EQ(section.seek(4, stream::kSeekCur), 994);
    EXPECT_EQ(section.seek(-995, stream::kSeekCur), -1);
    EXPECT_EQ(section.tell(), 994);
    EXPECT_EQ(section.seek(100, stream::kSeekCur), 1000);
    EXPECT_EQ(section.size(), 1000);
    EXPECT_EQ(section.write("x", 1), stream::kAbsent);
}

TEST(DataBlockTest, EmptyBlockReadsNothing) {
    MdfBytes f;
    const uint64_t at = f.dt({});
    auto s = f.stream();
    BlockCache cache;
    BlockRef block = parse_block_at(*s, at, cache);
    ASSERT_NE(section_of(block.get()), nullptr);
    uint8_t byte = 0;
    EXPECT_EQ(section_of(block.get())->read(&byte, 1), 0);
}

TEST(DataBlockTest, LinksAreNotExamined) {
    // Only the length is taken: the link count stays 0, so the section
    // starts right after the 24 header bytes.
    MdfBytes f;
    const uint64_t at = f.block("SD", {}, counting_bytes(16), MdfBytes::kAuto, 5);
    auto s = f.stream();
    BlockCache cache;
    BlockRef block = parse_block_at(*s, at, cache);
    auto* sd = as<SdBlock>(block);
    ASSERT_NE(sd, nullptr);
    EXPECT_EQ(sd->header.link_count, 0u);
    EXPECT_EQ(sd->section.section_size(), 16u);
}

TEST(DataBlockTest, LengthFollowsTheHeaderCopy) {
    MdfBytes f;
    const uint64_t at = f.dt(counting_bytes(8));
    f.grow(at + 100);
    auto s = f.stream();
    BlockCache cache;
    BlockRef block = parse_block_at(*s, at, cache);
    auto* dt = as<DtBlock>(block);
    ASSERT_NE(dt, nullptr);
    dt->header.length = static_cast<uint64_t>(s->size()) - at;
    EXPECT_EQ(dt->section.seek(0, stream::kSeekEnd), 76);
    std::vector<uint8_t> buffer(200);
    dt->section.seek(0, stream::kSeekSet);
    EXPECT_EQ(dt->section.read(buffer.data(), buffer.size()), 76);
}

TEST(DataBlockTest, TruncatedSectionAdvancesByKind) {
    // Both blocks claim 100 bytes but the stream ends 10 bytes into the data.
    for (const char* code : {"DT", "SD"}) {
        MdfBytes f;
        const uint64_t at = f.block(code, {}, counting_bytes(10), 124);
        auto s = f.stream();
        BlockCache cache;
        BlockRef block = parse_block_at(*s, at, cache);
        DataSectionStream* section = section_of(block.get());
        ASSERT_NE(section, nullptr);
        std::vector<uint8_t> buffer(64);
        EXPECT_EQ(section->read(buffer.data(), 4), 4);
        EXPECT_EQ(section->read(buffer.data(), 64), 6);
        // A data block moves by the request, a signal-data block by what came.
        EXPECT_EQ(section->tell(), std::string(code) == "DT" ? 68 : 10) << code;
    }
}

TEST(DataBlockTest, SectionBeyondTheStreamHasNoSize) {
    // The block claims a mebibyte; the stream holds 10 bytes of it. Its size
    // must not depend on where an earlier read left it.
    MdfBytes f;
    const uint64_t at = f.block("DT", {}, counting_bytes(10), 24 + (uint64_t{1} << 20));
    auto s = f.stream();
    BlockCache cache;
    BlockRef block = parse_block_at(*s, at, cache);
    DataSectionStream* section = section_of(block.get());
    ASSERT_NE(section, nullptr);
    for (const int64_t position : {0, 4, 8}) {
        ASSERT_EQ(section->seek(position, stream::kSeekSet), position);
        EXPECT_LT(section->size(), 0) << position;
        EXPECT_EQ(section->tell(), position);
    }
}

// Serves seeks but fails every read.
class FailingReads final : public stream::Stream {
public:
    int64_t read(void*, uint64_t) override { return -1; }
    int64_t tell() override { return position; }
    int64_t seek(int64_t offset, int) override { return position = offset; }
    int64_t position = 0;
};

TEST(DataBlockTest, FailedReadAdvancesOnlyADataBlock) {
    for (const char* code : {"DT", "SD"}) {
        MdfBytes f;
        const uint64_t at = f.block(code, {}, counting_bytes(32));
        auto s = f.stream();
        BlockCache cache;
        BlockRef block = parse_block_at(*s, at, cache);
        auto* section_block = static_cast<SectionBlock*>(block.get());
        FailingReads failing;
        section_block->file = &failing;
        uint8_t buffer[8];
        EXPECT_EQ(section_block->section.read(buffer, 8), -1);
        EXPECT_EQ(section_block->section.tell(), std::string(code) == "DT" ? 8 : 0) << code;
    }
}

TEST(DataBlockTest, LengthBelowTheHeaderIsBoundedByTheStream) {
    MdfBytes f;
    const uint64_t at = f.block("DT", {}, counting_bytes(8), 10);
    auto s = f.stream();
    BlockCache cache;
    BlockRef block = parse_block_at(*s, at, cache);
    DataSectionStream* section = section_of(block.get());
    ASSERT_NE(section, nullptr);
    std::vector<uint8_t> buffer(64);
    EXPECT_EQ(section->read(buffer.data(), buffer.size()), 8);
    // The wrapped size cannot be told as a position.
    EXPECT_EQ(section->seek(0, stream::kSeekEnd), -1);
}

struct SourceCase {
    uint8_t source_type;
    uint8_t bus_type;
    int32_t source_class;
};

class SourceClasses : public ::testing::TestWithParam<SourceCase> {};

TEST_P(SourceClasses, FollowTheTypes) {
    const SourceCase& c = GetParam();
    MdfBytes f;
    const uint64_t name = f.tx("CAN1");
    const uint64_t at = f.si(c.source_type, c.bus_type, name);
    auto s = f.stream();
    BlockCache cache;
    BlockRef block = parse_block_at(*s, at, cache);
    auto* si = as<SiBlock>(block);
    ASSERT_NE(si, nullptr);
    EXPECT_EQ(si->source_type, c.source_type);
    EXPECT_EQ(si->bus_type, c.bus_type);
    EXPECT_EQ(si->source_class, c.source_class);
    EXPECT_NE(si->name.get(), nullptr);
    EXPECT_FALSE(si->path);
    EXPECT_FALSE(si->comment);
}

INSTANTIATE_TEST_SUITE_P(Types, SourceClasses,
                         ::testing::Values(SourceCase{2, 2, 2}, SourceCase{2, 3, 2}, SourceCase{1, 2, 6},
                                           SourceCase{0, 0, 6}, SourceCase{2, 4, 2}, SourceCase{2, 1, 2},
                                           SourceCase{4, 9, 6}));

TEST(SourceInfoTest, RefusesWrongLinksAndShortFields) {
    MdfBytes f;
    const uint64_t four = f.block("SI", {0, 0, 0, 0}, Fields().u8(2).u8(2).u8(0).zeros(5).bytes);
    const uint64_t dangling = f.si(2, 2, 0, 0, 1u << 20);
    const uint64_t short_fields = f.block("SI", {0, 0, 0}, Fields().u8(2).u8(2).bytes);
    auto s = f.stream();
    BlockCache cache;
    EXPECT_FALSE(parse_block_at(*s, four, cache));
    EXPECT_FALSE(parse_block_at(*s, dangling, cache));
    EXPECT_FALSE(parse_block_at(*s, short_fields, cache));
}

}  // namespace
}  // namespace tolvar::mdf
