#include "writer/block_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "mdf/block_cache.h"
#include "mdf/block_kinds.h"
#include "mdf/channel_block.h"
#include "mdf/channel_group_block.h"
#include "mdf/data_group_block.h"
#include "mdf/mdf_document.h"
#include "mdf/conversion_block.h"
#include "mdf/data_block.h"
#include "mdf/file_history_block.h"
#include "mdf/header_block.h"
#include "mdf/id_block.h"
#include "mdf/text_block.h"
#include "mdf/source_info_block.h"
#include "mdf_bytes.h"
#include "stream/file_stream.h"
#include "stream/memory_stream.h"

namespace tolvar::mdf {
namespace {

using test::LogCapture;
using test::MdfBytes;
using writer::kMaxSaveDepth;
using writer::save_block;
using writer::SaveContext;

// ---------------------------------------------------------------- helpers

// A new block of class T with the reference that owns it.
template <class T>
T* make(BlockRef& holder) {
    holder = create_block(T::kKind);
    return as<T>(holder);
}

template <class T>
BlockRef make_ref(T** block) {
    BlockRef ref = create_block(T::kKind);
    *block = as<T>(ref);
    return ref;
}

// A new text (kTx) or metadata (kMd) block.
BlockRef make_text(BlockKind kind, TextBlock** block) {
    BlockRef ref = create_block(kind);
    *block = as<TextBlock>(ref);
    return ref;
}

uint64_t u64_at(const stream::MemoryStream& out, uint64_t at) {
    uint64_t value = 0;
    std::memcpy(&value, out.data() + at, 8);
    return value;
}

std::string bytes_at(const stream::MemoryStream& out, uint64_t at, size_t n) {
    return std::string(reinterpret_cast<const char*>(out.data()) + at, n);
}

bool all_zero(const stream::MemoryStream& out, uint64_t from, uint64_t to) {
    for (uint64_t i = from; i < to; ++i) {
        if (out.data()[i] != 0) return false;
    }
    return true;
}

std::string output_of(const stream::MemoryStream& out) { return bytes_at(out, 0, out.content_size()); }

// An identification block holding a header block, whose history has one
// entry with the tool identification, so the output opens as a document.
struct Tree {
    Tree() {
        id_ref = create_block(BlockKind::kId);
        id = as<IdBlock>(id_ref);
        id->format_id = "4.10    ";
        id->program_id = "Tolvar  ";
        id->version = 410;
        id->header_block = make_ref(&hd);
        hd->start_time_ns = 1234567890123;
        FhBlock* fh = nullptr;
        BlockRef fh_ref = make_ref(&fh);
        TextBlock* tool = nullptr;
        fh->comment = make_text(BlockKind::kMd, &tool);
        tool->text = "<FHcomment><tool_id>ZR</tool_id></FHcomment>";
        hd->file_history.push_front(fh_ref);
    }
    BlockRef id_ref;
    IdBlock* id = nullptr;
    HdBlock* hd = nullptr;
};

// A stream over memory whose writes fail once they would reach `limit`.
class LimitedStream final : public stream::Stream {
public:
    explicit LimitedStream(uint64_t limit) : limit_(limit) {}
    int64_t read(void* buffer, uint64_t n) override { return inner_.read(buffer, n); }
    int64_t write(const void* buffer, uint64_t n) override {
        if (inner_.position() + n > limit_) return -1;
        return inner_.write(buffer, n);
    }
    int64_t tell() override { return inner_.tell(); }
    int64_t seek(int64_t offset, int whence) override { return inner_.seek(offset, whence); }

private:
    stream::MemoryStream inner_;
    uint64_t limit_;
};

// Serves reads in pieces of 1, 2, 3 ... 7 bytes, as a pipe might.
class PiecewiseStream final : public stream::Stream {
public:
    explicit PiecewiseStream(std::string bytes) : bytes_(std::move(bytes)) {}
    int64_t read(void* buffer, uint64_t n) override {
        if (position_ >= bytes_.size() || n == 0) return 0;
        const uint64_t count = std::min<uint64_t>({(turn_++ % 7) + 1, n, bytes_.size() - position_});
        std::memcpy(buffer, bytes_.data() + position_, count);
        position_ += count;
        return static_cast<int64_t>(count);
    }
    int64_t tell() override { return static_cast<int64_t>(position_); }
    int64_t seek(int64_t offset, int whence) override {
        if (whence != stream::kSeekSet || offset < 0) return -1;
        position_ = static_cast<uint64_t>(offset);
        return offset;
    }

private:
    std::string bytes_;
    uint64_t position_ = 0;
    uint64_t turn_ = 0;
};

// ---------------------------------------------------------------- text blocks

class TextBlockSaveTest : public ::testing::TestWithParam<std::string> {};

TEST_P(TextBlockSaveTest, TextIsTerminatedAndPaddedOutsideItsLength) {
    const std::string text = GetParam();
    for (BlockKind kind : {BlockKind::kTx, BlockKind::kMd}) {
        stream::MemoryStream out;
        SaveContext context(&out);
        BlockRef first = create_block(kind);
        BlockRef second = create_block(kind);
        as<TextBlock>(first)->text = text;
        as<TextBlock>(second)->text = "x";
        ASSERT_TRUE(save_block(first.get(), &context));
        const uint64_t length = text.size() + 25;
        const uint64_t padded = (length + 7) / 8 * 8;
        EXPECT_EQ(first->offset, 0u);
        EXPECT_EQ(context.next, padded);
        EXPECT_EQ(bytes_at(out, 0, 4), kind == BlockKind::kTx ? "##TX" : "##MD");
        EXPECT_TRUE(all_zero(out, 4, 8));
        EXPECT_EQ(u64_at(out, 8), length);
        EXPECT_EQ(u64_at(out, 16), 0u);
        EXPECT_EQ(bytes_at(out, 24, text.size()), text);
        EXPECT_TRUE(all_zero(out, 24 + text.size(), padded)) << "terminator and padding";
        EXPECT_EQ(out.content_size(), padded);

        // The next block starts at the aligned position.
        ASSERT_TRUE(save_block(second.get(), &context));
        EXPECT_EQ(second->offset, padded);
        EXPECT_EQ(bytes_at(out, padded, 4), kind == BlockKind::kTx ? "##TX" : "##MD");
    }
}

// "abc": length 28, four zero bytes after it, the next block 32 bytes later.
INSTANTIATE_TEST_SUITE_P(Texts, TextBlockSaveTest,
                         ::testing::Values(std::string(), "a", "abc", "abcdefg", "abcdefgh",
                                           std::string("ab\0cd\0\0", 7), std::string(40, 'z')));

// ---------------------------------------------------------------- the walk

TEST(BlockWriterTest, AbsentBlockOrContextFails) {
    stream::MemoryStream out;
    SaveContext context(&out);
    TextBlock* tx = nullptr;
    BlockRef ref = make_text(BlockKind::kTx, &tx);
    EXPECT_FALSE(save_block(nullptr, &context));
    EXPECT_FALSE(save_block(tx, nullptr));
    SaveContext no_stream(nullptr);
    EXPECT_FALSE(save_block(tx, &no_stream));
    EXPECT_EQ(out.content_size(), 0u);
}

TEST(BlockWriterTest, SharedCommentIsWrittenOnceAndBothLinksNameIt) {
    Tree tree;
    // The header block's comment is also the history entry's comment.
    FhBlock* fh = as<FhBlock>(tree.hd->file_history.front());
    tree.hd->comment = fh->comment;
    stream::MemoryStream out;
    SaveContext context(&out);
    ASSERT_TRUE(save_block(tree.id, &context));

    const std::string file = output_of(out);
    size_t count = 0;
    for (size_t at = file.find("##MD"); at != std::string::npos; at = file.find("##MD", at + 1)) ++count;
    EXPECT_EQ(count, 1u);
    const uint64_t hd_comment = u64_at(out, 64 + 24 + 5 * 8);
    const uint64_t fh_comment = u64_at(out, fh->offset + 24 + 8);
    EXPECT_EQ(hd_comment, fh_comment);
    EXPECT_EQ(hd_comment, fh->comment->offset);

    // Read back, the two links give one shared block.
    auto document = MdfDocument::open(&out);
    ASSERT_NE(document, nullptr);
    const HdBlock* hd = document->header_block();
    ASSERT_EQ(hd->file_history.size(), 1u);
    EXPECT_EQ(hd->comment.get(), as<FhBlock>(hd->file_history.front())->comment.get());
}

TEST(BlockWriterTest, IdentificationBlockComesFirstAndTheHeaderBlockAtSixtyFour) {
    Tree tree;
    tree.id->custom_unfinalised_flags = 0;
    stream::MemoryStream out;
    SaveContext context(&out);
    ASSERT_TRUE(save_block(tree.id, &context));
    EXPECT_EQ(tree.id->offset, 0u);
    EXPECT_EQ(tree.hd->offset, 64u);
    EXPECT_EQ(bytes_at(out, 0, 24), "MDF     4.10    Tolvar  ");
    EXPECT_EQ(bytes_at(out, 64, 4), "##HD");
    EXPECT_EQ(u64_at(out, 64 + 24 + 6 * 8), 1234567890123u);
    EXPECT_EQ(out.content_size(), context.next);
}

TEST(BlockWriterTest, UnfinalisedFlagsChooseTheFileIdentifier) {
    struct Case {
        uint16_t flags;
        uint16_t custom;
        const char* expected;
    };
    for (const Case& c : {Case{0, 0, "MDF     "}, Case{0x0001, 0, "UnFinMF "}, Case{0, 0x0100, "UnFinMF "},
                          Case{0x0005, 0x0002, "UnFinMF "}}) {
        Tree tree;
        tree.id->unfinalised_flags = c.flags;
        tree.id->custom_unfinalised_flags = c.custom;
        stream::MemoryStream out;
        SaveContext context(&out);
        ASSERT_TRUE(save_block(tree.id, &context));
        EXPECT_EQ(bytes_at(out, 0, 8), c.expected);
        uint16_t flags = 0;
        uint16_t custom = 0;
        std::memcpy(&flags, out.data() + 60, 2);
        std::memcpy(&custom, out.data() + 62, 2);
        EXPECT_EQ(flags, c.flags);
        EXPECT_EQ(custom, c.custom);
    }
}

TEST(BlockWriterTest, IdentificationBlockFailsUnlessItIsTheFirstBlock) {
    Tree tree;
    stream::MemoryStream out;
    SaveContext context(&out);
    context.next = 8;
    EXPECT_FALSE(save_block(tree.id, &context));
    EXPECT_EQ(out.content_size(), 0u);
    EXPECT_EQ(context.next, 8u);
    EXPECT_TRUE(context.saved.empty());

    // A block saved before it takes offset 0 from it.
    stream::MemoryStream out2;
    SaveContext context2(&out2);
    ASSERT_TRUE(save_block(tree.hd->file_history.front().get(), &context2));
    EXPECT_FALSE(save_block(tree.id, &context2));

    // Without its header block it is no file.
    IdBlock* lone = nullptr;
    BlockRef lone_ref = make_ref(&lone);
    stream::MemoryStream out3;
    SaveContext context3(&out3);
    EXPECT_FALSE(save_block(lone, &context3));
}

class LinkCountTest : public ::testing::TestWithParam<BlockKind> {};

TEST_P(LinkCountTest, ABlockWhoseLinkCountDiffersFailsWithoutWriting) {
    for (int delta : {-1, 1}) {
        BlockRef block = create_block(GetParam());
        ASSERT_TRUE(block);
        block->header.link_count += static_cast<uint64_t>(delta);
        stream::MemoryStream out;
        SaveContext context(&out);
        EXPECT_FALSE(save_block(block.get(), &context));
        EXPECT_EQ(out.content_size(), 0u);
        EXPECT_EQ(context.next, 0u);
        EXPECT_TRUE(context.saved.empty());
        EXPECT_TRUE(context.in_progress.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LinkCountTest,
                         ::testing::Values(BlockKind::kCc, BlockKind::kSi, BlockKind::kHd, BlockKind::kFh,
                                           BlockKind::kDg, BlockKind::kCg, BlockKind::kCn, BlockKind::kTx,
                                           BlockKind::kMd));

TEST(BlockWriterTest, ChainMemberWithWrongLinkCountFailsTheChain) {
    Tree tree;
    FhBlock* second = nullptr;
    BlockRef second_ref = make_ref(&second);
    second->header.link_count = 3;
    tree.hd->file_history.push_front(second_ref);
    stream::MemoryStream out;
    SaveContext context(&out);
    EXPECT_FALSE(save_block(tree.id, &context));
    EXPECT_TRUE(context.in_progress.empty());
}

TEST(BlockWriterTest, FailedChildFailsEveryBlockAbove) {
    // A conversion block that cannot be written (its parameters do not match
    // their count) leaves a hole its parent would link to: the save fails up
    // to the root instead of reporting a file that cannot be read.
    Tree tree;
    CcBlock* cc = nullptr;
    tree.hd->comment = make_ref(&cc);
    cc->cc_val_count = 2;
    cc->cc_val = {1.0};
    stream::MemoryStream out;
    SaveContext context(&out);
    EXPECT_FALSE(save_block(tree.id, &context));
    EXPECT_EQ(context.saved.count(tree.hd), 0u);
    EXPECT_EQ(context.saved.count(tree.id), 0u);
}

TEST(BlockWriterTest, CyclesAreRefused) {
    stream::MemoryStream out;
    {
        // A conversion whose inverse is itself.
        CcBlock* cc = nullptr;
        BlockRef ref = make_ref(&cc);
        cc->inverse = ref;
        SaveContext context(&out);
        EXPECT_FALSE(save_block(cc, &context));
        EXPECT_TRUE(context.in_progress.empty());
        cc->inverse.release();
    }
    {
        // Two conversions, each the other's inverse.
        CcBlock* a = nullptr;
        CcBlock* b = nullptr;
        BlockRef ra = make_ref(&a);
        BlockRef rb = make_ref(&b);
        a->inverse = rb;
        b->inverse = ra;
        SaveContext context(&out);
        EXPECT_FALSE(save_block(a, &context));
        b->inverse.release();
    }
    {
        // A history chain that comes back to its first entry.
        Tree tree;
        BlockRef first = tree.hd->file_history.front();
        FhBlock* middle = nullptr;
        BlockRef middle_ref = make_ref(&middle);
        middle->comment = as<FhBlock>(first)->comment;
        tree.hd->file_history.push_front(middle_ref);
        tree.hd->file_history.push_front(first);
        SaveContext context(&out);
        EXPECT_FALSE(save_block(tree.id, &context));
        EXPECT_TRUE(context.in_progress.empty());
    }
    {
        // A channel that is its own component.
        CnBlock* cn = nullptr;
        BlockRef ref = make_ref(&cn);
        cn->components.push_front(ref);
        SaveContext context(&out);
        EXPECT_FALSE(save_block(cn, &context));
        cn->components.clear();
    }
    {
        // A header block whose comment is the identification block above it.
        Tree tree;
        tree.hd->comment = tree.id_ref;
        SaveContext context(&out);
        EXPECT_FALSE(save_block(tree.id, &context));
        tree.hd->comment.release();
    }
}

TEST(BlockWriterTest, TooDeepATreeIsRefusedAndADeepOneSaved) {
    for (int depth : {100, 5000}) {
        CcBlock* top = nullptr;
        BlockRef top_ref = make_ref(&top);
        CcBlock* cc = top;
        for (int i = 0; i < depth; ++i) {
            CcBlock* inverse = nullptr;
            cc->inverse = make_ref(&inverse);
            cc = inverse;
        }
        stream::MemoryStream out;
        SaveContext context(&out);
        EXPECT_EQ(save_block(top, &context), depth < kMaxSaveDepth) << depth;
        EXPECT_EQ(context.depth, 0);
        EXPECT_TRUE(context.in_progress.empty());
    }
}

TEST(BlockWriterTest, SkippedBytesAreWrittenAsZeros) {
    Tree tree;
    SiBlock* si = nullptr;
    tree.hd->comment = make_ref(&si);
    si->source_type = 2;
    si->bus_type = 2;
    si->flags = 1;
    TextBlock* name = nullptr;
    si->name = make_text(BlockKind::kTx, &name);
    name->text = "CAN1";
    tree.hd->time_flags = 1;
    tree.hd->flags = 2;

    // Over old bytes that are all 0xFF: every byte of the file is written.
    stream::MemoryStream out;
    const std::string old(4096, '\xFF');
    out.write(old.data(), old.size());
    out.seek(0, stream::kSeekSet);
    SaveContext context(&out);
    ASSERT_TRUE(save_block(tree.id, &context));
    ASSERT_LT(context.next, old.size());

    EXPECT_TRUE(all_zero(out, 24, 28));  // identification block
    EXPECT_TRUE(all_zero(out, 30, 60));
    EXPECT_TRUE(all_zero(out, 64 + 4, 64 + 8));    // header reserved bytes
    EXPECT_TRUE(all_zero(out, 64 + 87, 64 + 88));  // header block's reserved byte
    EXPECT_TRUE(all_zero(out, si->offset + 51, si->offset + 56));
    const Block* fh = tree.hd->file_history.front().get();
    EXPECT_TRUE(all_zero(out, fh->offset + 53, fh->offset + 56));
    EXPECT_TRUE(all_zero(out, name->offset + 24 + 4, name->offset + 32));
    EXPECT_EQ(out.data()[si->offset + 50], 1);
    // Nothing of the old bytes is left before the end of the file.
    for (uint64_t i = 0; i < context.next; ++i) ASSERT_NE(out.data()[i], 0xFF) << i;

    auto document = MdfDocument::open(&out);
    ASSERT_NE(document, nullptr);
    const SiBlock* read = as<SiBlock>(document->header_block()->comment);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->bus_type, 2);  // CAN
    EXPECT_EQ(*block_text(read->name.get()), "CAN1");
}

TEST(BlockWriterTest, BlocksAreLaidOutInWalkOrderWithoutGaps) {
    // The header block's data groups come first, then the history, then the
    // comment; every block but the aligned texts ends where the next begins.
    Tree tree;
    TextBlock* comment = nullptr;
    tree.hd->comment = make_text(BlockKind::kMd, &comment);
    comment->text = "<HDcomment/>";
    stream::MemoryStream out;
    SaveContext context(&out);
    ASSERT_TRUE(save_block(tree.id, &context));
    const Block* fh = tree.hd->file_history.front().get();
    const Block* tool = as<FhBlock>(fh)->comment.get();
    EXPECT_EQ(tree.hd->offset, 64u);
    EXPECT_EQ(fh->offset, 64u + 104);
    EXPECT_EQ(tool->offset, 64u + 104 + 56);
    EXPECT_EQ(comment->offset % 8, 0u);
    EXPECT_GT(comment->offset, tool->offset);
    EXPECT_EQ(context.next, out.content_size());
}

TEST(BlockWriterTest, ConversionWritesItsParametersInFileOrder) {
    stream::MemoryStream out;
    SaveContext context(&out);
    CcBlock* cc = nullptr;
    BlockRef ref = make_ref(&cc);
    cc->cc_type = 5;
    cc->cc_precision = 3;
    cc->cc_flags = 0x0102;
    cc->cc_ref_count = 0;
    cc->cc_val_count = 4;
    cc->cc_val = {0.0, 1.5, 9.0, 12.0};
    cc->cc_phy_range_min = -1.0;
    cc->cc_phy_range_max = 2.0;
    cc->header.length = 80 + 32;
    TextBlock* unit = nullptr;
    cc->unit = make_text(BlockKind::kTx, &unit);
    unit->text = "km/h";
    ASSERT_TRUE(save_block(cc, &context));
    EXPECT_EQ(cc->offset, 0u);
    EXPECT_EQ(unit->offset, 112u);
    EXPECT_EQ(u64_at(out, 24), 0u);
    EXPECT_EQ(u64_at(out, 32), 112u);
    EXPECT_EQ(u64_at(out, 40), 0u);
    EXPECT_EQ(u64_at(out, 48), 0u);
    EXPECT_EQ(out.data()[56], 5);
    EXPECT_EQ(out.data()[57], 3);
    double value = 0;
    std::memcpy(&value, out.data() + 80 + 8, 8);
    EXPECT_EQ(value, 1.5);

    auto stream = std::make_unique<stream::MemoryStream>();
    stream->write(out.data(), out.content_size());
    BlockCache cache;
    BlockRef read = parse_block_at(*stream, 0, cache);
    const CcBlock* back = as<CcBlock>(read);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->cc_val, cc->cc_val);
    EXPECT_EQ(back->cc_flags, 0x0102);
    EXPECT_EQ(*block_text(back->unit.get()), "km/h");
}

TEST(BlockWriterTest, FailedWritesFailTheSave) {
    for (uint64_t limit : {0u, 10u, 64u, 100u, 200u}) {
        Tree tree;
        LimitedStream out(limit);
        SaveContext context(&out);
        EXPECT_FALSE(save_block(tree.id, &context)) << limit;
    }
}

// ---------------------------------------------------------------- channels

TEST(BlockWriterTest, ChannelLogsWhenTheOutputDoesNotEndAtItsLength) {
    struct Case {
        uint64_t length;
        uint64_t next;
        bool logs;
    };
    for (const Case& c : {Case{160, 160, false}, Case{168, 168, false}, Case{100, 160, true}}) {
        LogCapture log;
        CnBlock* cn = nullptr;
        BlockRef ref = make_ref(&cn);
        cn->header.length = c.length;
        cn->bit_count = 11;
        stream::MemoryStream out;
        SaveContext context(&out);
        EXPECT_TRUE(save_block(cn, &context)) << "the check does not change the result";
        EXPECT_EQ(context.next, c.next);
        EXPECT_EQ(u64_at(out, 8), c.length) << "the held length is written";
        if (c.logs) {
            ASSERT_EQ(log.texts().size(), 1u);
            EXPECT_EQ(log.texts()[0], "Error during save. Expected to be at 100 but stream is at 160");
            EXPECT_EQ(log.lines[0].level, 5);
        } else {
            EXPECT_TRUE(log.texts().empty());
        }
    }
    {
        // A write that fails leaves the stream short of the block's end.
        LogCapture log;
        CnBlock* cn = nullptr;
        BlockRef ref = make_ref(&cn);
        LimitedStream out(100);
        SaveContext context(&out);
        EXPECT_FALSE(save_block(cn, &context));
        ASSERT_EQ(log.texts().size(), 1u);
        EXPECT_NE(log.texts()[0].find("Expected to be at 160"), std::string::npos);
    }
}

// ---------------------------------------------------------------- data blocks

TEST(BlockWriterTest, DataBlockCopiesItsWholeSectionWhereverAReaderLeftIt) {
    std::string records;
    for (int i = 0; i < 5000; ++i) records.push_back(static_cast<char>(i * 7));
    MdfBytes file;
    file.id();
    const uint64_t at = file.dt(std::vector<uint8_t>(records.begin(), records.end()));
    auto input = file.stream();
    BlockCache cache;
    BlockRef ref = parse_block_at(*input, at, cache);
    DtBlock* dt = as<DtBlock>(ref);
    ASSERT_NE(dt, nullptr);
    ASSERT_EQ(dt->section.seek(1234, stream::kSeekSet), 1234);

    stream::MemoryStream out;
    SaveContext context(&out);
    ASSERT_TRUE(save_block(dt, &context));
    EXPECT_EQ(dt->section.position(), 1234u) << "the reader's position is given back";
    EXPECT_EQ(bytes_at(out, 0, 4), "##DT");
    EXPECT_EQ(u64_at(out, 8), 24u + records.size());
    EXPECT_EQ(u64_at(out, 16), 0u);
    EXPECT_EQ(bytes_at(out, 24, records.size()), records);
    EXPECT_EQ(context.next, (24 + records.size() + 7) / 8 * 8);
    EXPECT_EQ(out.content_size(), context.next);
    EXPECT_TRUE(all_zero(out, 24 + records.size(), context.next));
}

TEST(BlockWriterTest, DataSectionCutShortByItsStreamIsWrittenAsLongAsItIs) {
    // The block claims 100 bytes; the stream ends 40 bytes into them.
    MdfBytes file;
    file.id();
    std::vector<uint8_t> data(100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
    const uint64_t at = file.dt(data);
    file.bytes.resize(at + 24 + 40);
    auto input = file.stream();
    for (BlockKind kind : {BlockKind::kDt, BlockKind::kSd}) {
        BlockCache cache;
        input->seek(static_cast<int64_t>(at), stream::kSeekSet);
        BlockRef block = create_block(kind);
        BlockHeader header{kind, 124, 0};
        input->seek(static_cast<int64_t>(at + 24), stream::kSeekSet);
        ASSERT_TRUE(block->parse(*input, cache, header, nullptr));
        stream::MemoryStream out;
        SaveContext context(&out);
        ASSERT_TRUE(save_block(block.get(), &context));
        EXPECT_EQ(u64_at(out, 8), 64u);
        EXPECT_EQ(bytes_at(out, 24, 40), std::string(data.begin(), data.begin() + 40));
        EXPECT_EQ(context.next, 64u);
    }
}

TEST(BlockWriterTest, OwnedStreamIsCopiedWholeWhateverPiecesItServes) {
    std::string payload;
    for (int i = 0; i < 9001; ++i) payload.push_back(static_cast<char>('a' + i % 26));
    SdBlock* sd = nullptr;
    BlockRef ref = make_ref(&sd);
    sd->owned_stream = std::make_unique<PiecewiseStream>(payload);
    stream::MemoryStream out;
    SaveContext context(&out);
    ASSERT_TRUE(save_block(sd, &context));
    EXPECT_EQ(bytes_at(out, 0, 4), "##SD");
    EXPECT_EQ(u64_at(out, 8), 24u + payload.size());
    EXPECT_EQ(bytes_at(out, 24, payload.size()), payload);
    EXPECT_EQ(context.next, (24 + payload.size() + 7) / 8 * 8);
}

// ---------------------------------------------------------------- long chains

::testing::AssertionResult same_tree(Block* a_root, Block* b_root, size_t* blocks = nullptr);

// Follows the next links of a chain in the output from its first member:
// the members' offsets in chain order, each checked to hold the block id.
std::vector<uint64_t> chain_in_output(const stream::MemoryStream& out, uint64_t first, const char* id) {
    std::vector<uint64_t> members;
    for (uint64_t at = first; at != 0; at = u64_at(out, at + 24)) {
        if (at + 32 > out.content_size() || bytes_at(out, at, 4) != id || members.size() > out.content_size()) {
            ADD_FAILURE() << "no " << id << " at " << at;
            break;
        }
        members.push_back(at);
    }
    return members;
}

// A million members: one stack frame per member would overflow the stack.
constexpr size_t kMillion = 1000000;

TEST(BlockWriterTest, MillionDataGroupsSaveWithoutRecursionPerMember) {
    Tree tree;
    for (size_t i = kMillion; i-- > 0;) {
        BlockRef dg = create_block(BlockKind::kDg);
        as<DgBlock>(dg)->rec_id_size = static_cast<uint8_t>(i % 3);
        tree.hd->data_groups.push_front(std::move(dg));
    }
    stream::MemoryStream out;
    SaveContext context(&out);
    ASSERT_TRUE(save_block(tree.id, &context));
    EXPECT_EQ(context.depth, 0);
    EXPECT_TRUE(context.in_progress.empty());
    // Every member gets its offset before any is written: in list order,
    // back to back after the header block.
    const std::vector<uint64_t> chain = chain_in_output(out, u64_at(out, 64 + 24), "##DG");
    ASSERT_EQ(chain.size(), kMillion);
    for (size_t i = 0; i < kMillion; ++i) {
        ASSERT_EQ(chain[i], 64u + 104 + 64 * i) << i;
        ASSERT_EQ(out.data()[chain[i] + 56], i % 3) << i;
    }
}

TEST(BlockWriterTest, MillionChannelsSaveWithoutRecursionPerMember) {
    Tree tree;
    DgBlock* dg = nullptr;
    tree.hd->data_groups.push_front(make_ref(&dg));
    CgBlock* cg = nullptr;
    dg->channel_groups.push_front(make_ref(&cg));
    TextBlock* name = nullptr;
    BlockRef name_ref = make_text(BlockKind::kTx, &name);
    name->text = "Timestamp";
    for (size_t i = kMillion; i-- > 0;) {
        CnBlock* cn = nullptr;
        BlockRef ref = make_ref(&cn);
        cn->name = name_ref;
        cn->byte_offset = static_cast<uint32_t>(i);
        cg->channels.push_front(std::move(ref));
    }
    stream::MemoryStream out;
    SaveContext context(&out);
    ASSERT_TRUE(save_block(tree.id, &context));
    EXPECT_EQ(context.saved.size(), kMillion + 7);  // id, hd, fh, its comment, dg, cg, the name

    const std::vector<uint64_t> chain = chain_in_output(out, u64_at(out, cg->offset + 32), "##CN");
    ASSERT_EQ(chain.size(), kMillion);
    uint32_t byte_offset = 0;
    for (size_t i = 0; i < kMillion; ++i) {
        ASSERT_EQ(u64_at(out, chain[i] + 24 + 2 * 8), name->offset) << "the name is shared";
        std::memcpy(&byte_offset, out.data() + chain[i] + 92, 4);
        ASSERT_EQ(byte_offset, i);
    }
    EXPECT_EQ(bytes_at(out, name->offset + 24, 10), std::string("Timestamp\0", 10));
}

TEST(BlockWriterTest, LongChainsReadBack) {
    // Long chains of every kind that forms them, read back whole.
    constexpr size_t kCount = 20000;
    Tree tree;
    BlockRef tool = as<FhBlock>(tree.hd->file_history.front())->comment;
    for (size_t i = 1; i < kCount; ++i) {
        FhBlock* fh = nullptr;
        BlockRef ref = make_ref(&fh);
        fh->comment = tool;
        fh->time_ns = i;
        tree.hd->file_history.push_front(std::move(ref));
    }
    for (size_t i = 0; i < kCount; ++i) tree.hd->data_groups.push_front(create_block(BlockKind::kDg));
    CgBlock* cg = nullptr;
    as<DgBlock>(tree.hd->data_groups.front())->channel_groups.push_front(make_ref(&cg));
    for (size_t i = 1; i < kCount; ++i) {
        BlockRef ref = create_block(BlockKind::kCg);
        as<CgBlock>(ref)->record_id = i;
        as<DgBlock>(tree.hd->data_groups.front())->channel_groups.push_front(std::move(ref));
    }
    CnBlock* structure = nullptr;
    cg->channels.push_front(make_ref(&structure));
    for (size_t i = 0; i < kCount; ++i) {
        BlockRef ref = create_block(BlockKind::kCn);
        as<CnBlock>(ref)->bit_count = static_cast<uint32_t>(i);
        structure->components.push_front(std::move(ref));
    }
    stream::MemoryStream out;
    SaveContext context(&out);
    ASSERT_TRUE(save_block(tree.id, &context));
    auto document = MdfDocument::open(&out);
    ASSERT_NE(document, nullptr);
    EXPECT_TRUE(same_tree(tree.id, document->id_block()));
}

// ---------------------------------------------------------------- chains met twice

TEST(BlockWriterTest, ChainMemberReachedFirstThroughASingleLinkIsLinkedOnByItsList) {
    // A data group's comment names the first history entry, so the entry is
    // written (with no successor) before the header block's history list is
    // saved; the list then links the second entry to it.
    Tree tree;
    FhBlock* first = as<FhBlock>(tree.hd->file_history.front());
    FhBlock* second = nullptr;
    BlockRef second_ref = make_ref(&second);
    second->comment = first->comment;
    second->time_ns = 77;
    BlockRef first_ref = tree.hd->file_history.front();
    tree.hd->file_history.clear();
    tree.hd->file_history.push_front(second_ref);
    tree.hd->file_history.push_front(first_ref);
    DgBlock* dg = nullptr;
    tree.hd->data_groups.push_front(make_ref(&dg));
    dg->comment = first_ref;

    stream::MemoryStream out;
    SaveContext context(&out);
    ASSERT_TRUE(save_block(tree.id, &context));
    EXPECT_LT(first->offset, second->offset);
    EXPECT_EQ(u64_at(out, first->offset + 24), second->offset);
    EXPECT_TRUE(context.open_tails.count(first) == 0);

    auto document = MdfDocument::open(&out);
    ASSERT_NE(document, nullptr);
    const HdBlock* hd = document->header_block();
    ASSERT_EQ(hd->file_history.size(), 2u);
    EXPECT_EQ(as<FhBlock>(hd->file_history[1])->time_ns, 77u);
    EXPECT_EQ(as<DgBlock>(hd->data_groups[0])->comment.get(), hd->file_history[0].get());
}

TEST(BlockWriterTest, ChainsSharingATailWriteItOnce) {
    // Two data groups whose channel-group chains end in the same group.
    Tree tree;
    DgBlock* a = nullptr;
    DgBlock* b = nullptr;
    BlockRef a_ref = make_ref(&a);
    BlockRef b_ref = make_ref(&b);
    tree.hd->data_groups.push_front(b_ref);
    tree.hd->data_groups.push_front(a_ref);
    CgBlock* own = nullptr;
    CgBlock* shared = nullptr;
    BlockRef own_ref = make_ref(&own);
    BlockRef shared_ref = make_ref(&shared);
    own->record_id = 1;
    shared->record_id = 2;
    a->channel_groups.push_front(shared_ref);
    a->channel_groups.push_front(own_ref);
    b->channel_groups.push_front(shared_ref);

    stream::MemoryStream out;
    SaveContext context(&out);
    ASSERT_TRUE(save_block(tree.id, &context));
    EXPECT_EQ(u64_at(out, own->offset + 24), shared->offset);
    EXPECT_EQ(u64_at(out, b->offset + 32), shared->offset);
    const std::string file = output_of(out);
    size_t count = 0;
    for (size_t at = file.find("##CG"); at != std::string::npos; at = file.find("##CG", at + 1)) ++count;
    EXPECT_EQ(count, 2u);

    auto document = MdfDocument::open(&out);
    ASSERT_NE(document, nullptr);
    const auto& groups = document->data_groups();
    ASSERT_EQ(groups.size(), 2u);
    const auto& first_list = as<DgBlock>(groups[0])->channel_groups;
    const auto& second_list = as<DgBlock>(groups[1])->channel_groups;
    ASSERT_EQ(first_list.size(), 2u);
    ASSERT_EQ(second_list.size(), 1u);
    EXPECT_EQ(first_list[1].get(), second_list[0].get());
}

// ---------------------------------------------------------------- round trips

// Everything a reader gets from a document: the frames of every data group,
// in order, and the header block's comment.
struct Reading {
    std::vector<std::vector<std::string>> groups;
    bool has_comment = false;
    std::string comment;
    size_t frames = 0;
};

std::string describe(const bus::BusMessage& m, bus::FrameKind status) {
    std::ostringstream s;
    uint64_t time_bits = 0;
    std::memcpy(&time_bits, &m.time, 8);
    s << "status " << static_cast<int>(status) << " kind " << static_cast<int>(m.kind);
    if (m.kind == bus::FrameKind::kNone) return s.str();
    s << " time " << std::hex << time_bits << " id " << m.identifier << " data";
    for (uint64_t i = 0; m.data != nullptr && i < m.data_length; ++i) s << ' ' << int{m.data[i]};
    switch (m.kind) {
        case bus::FrameKind::kCanDataFrame:
        case bus::FrameKind::kCanRemoteFrame: {
            const auto& c = m.details.can;
            s << " can " << int{c.extended} << int{c.direction} << int{c.fd} << int{c.esi} << int{c.brs}
              << int{c.remote} << ' ' << int{c.bus} << ' ' << int{c.dlc};
            break;
        }
        case bus::FrameKind::kCanErrorFrame: s << " error " << int{m.details.error.bus} << ' ' << m.details.error.error_type; break;
        case bus::FrameKind::kLinFrame: {
            const auto& l = m.details.lin;
            s << " lin " << int{l.direction} << ' ' << int{l.bus} << ' ' << int{l.received_byte_count};
            break;
        }
        default: break;
    }
    return s.str();
}

Reading read_document(const MdfDocument& document) {
    Reading reading;
    std::optional<std::vector<bus::GroupPlan>> plans = bus::build_plans(document);
    EXPECT_TRUE(plans.has_value());
    if (!plans) return reading;
    for (const bus::GroupPlan& plan : *plans) {
        std::vector<std::string> frames;
        auto iterator = bus::RecordIterator::create(&plan);
        if (iterator) {
            bus::FrameKind status = bus::FrameKind::kNone;
            for (const bus::BusMessage* m = iterator->first(&status); m != nullptr; m = iterator->advance(&status)) {
                frames.push_back(describe(*m, status));
            }
        }
        reading.frames += frames.size();
        reading.groups.push_back(std::move(frames));
    }
    if (const std::string* comment = document.comment_text()) {
        reading.has_comment = true;
        reading.comment = *comment;
    }
    return reading;
}

std::string section_bytes(Block* block) {
    DataSectionStream* section = section_of(block);
    const uint64_t was = section->position();
    std::string bytes;
    char piece[4096];
    section->seek(0, stream::kSeekSet);
    for (;;) {
        const int64_t got = section->read(piece, sizeof piece);
        if (got <= 0) break;
        bytes.append(piece, static_cast<size_t>(got));
    }
    section->seek(static_cast<int64_t>(was), stream::kSeekSet);
    return bytes;
}

std::string bits(double value) {
    uint64_t raw = 0;
    std::memcpy(&raw, &value, 8);
    return std::to_string(raw);
}

// The kind-specific fields of a block, its header included (offsets aside;
// the length of a text or data block follows from its content).
std::string fields_of(Block* block) {
    std::ostringstream s;
    s << static_cast<int>(block->kind()) << '/' << block->header.link_count << '/';
    if (!block_text(block) && !section_of(block)) s << block->header.length;
    s << ':';
    if (auto* b = as<IdBlock>(block)) {
        s << b->format_id << '|' << b->program_id << '|' << b->version << '|' << b->unfinalised_flags << '|'
          << b->custom_unfinalised_flags;
    } else if (auto* b = as<HdBlock>(block)) {
        s << b->start_time_ns << '|' << b->tz_offset_min << '|' << b->dst_offset_min << '|' << int{b->time_flags}
          << '|' << int{b->time_class} << '|' << int{b->flags} << '|' << bits(b->start_angle_rad) << '|'
          << bits(b->start_distance_m);
    } else if (auto* b = as<FhBlock>(block)) {
        s << b->time_ns << '|' << b->tz_offset_min << '|' << b->dst_offset_min << '|' << int{b->time_flags};
    } else if (auto* b = as<TextBlock>(block)) {
        s << b->text;
    } else if (block->kind() == BlockKind::kDt || block->kind() == BlockKind::kSd) {
        s << section_bytes(block);
    } else if (auto* b = as<SiBlock>(block)) {
        s << int{b->source_type} << '|' << int{b->bus_type} << '|' << int{b->flags};
    } else if (auto* b = as<CcBlock>(block)) {
        s << int{b->cc_type} << '|' << int{b->cc_precision} << '|' << b->cc_flags << '|' << b->cc_ref_count << '|'
          << b->cc_val_count << '|' << bits(b->cc_phy_range_min) << '|' << bits(b->cc_phy_range_max);
        for (double v : b->cc_val) s << '|' << bits(v);
    } else if (auto* b = as<DgBlock>(block)) {
        s << int{b->rec_id_size};
    } else if (auto* b = as<CgBlock>(block)) {
        s << b->record_id << '|' << b->cycle_count << '|' << b->cg_flags << '|' << b->path_separator << '|'
          << b->data_bytes << '|' << b->inval_bytes;
    } else if (auto* b = as<CnBlock>(block)) {
        s << int{b->cn_type} << '|' << int{b->sync_type} << '|' << int{b->data_type} << '|' << int{b->bit_offset}
          << '|' << b->byte_offset << '|' << b->bit_count << '|' << b->flags << '|' << b->inval_bit_pos << '|'
          << int{b->precision} << '|' << b->attachment_count;
        for (double v : {b->val_range_min, b->val_range_max, b->limit_min, b->limit_max, b->limit_ext_min,
                         b->limit_ext_max}) {
            s << '|' << bits(v);
        }
    }
    return s.str();
}

// The links of a block in file order: single links as groups of 0 or 1,
// chains as their lists.
std::vector<std::vector<Block*>> children_of(Block* block) {
    auto one = [](const BlockRef& ref) { return ref ? std::vector<Block*>{ref.get()} : std::vector<Block*>{}; };
    auto list = [](const BlockList& l) {
        std::vector<Block*> out;
        for (const BlockRef& ref : l) out.push_back(ref.get());
        return out;
    };
    if (auto* b = as<IdBlock>(block)) return {one(b->header_block)};
    if (auto* b = as<HdBlock>(block)) return {list(b->data_groups), list(b->file_history), one(b->comment)};
    if (auto* b = as<FhBlock>(block)) return {one(b->comment)};
    if (auto* b = as<SiBlock>(block)) return {one(b->name), one(b->path), one(b->comment)};
    if (auto* b = as<CcBlock>(block)) return {one(b->name), one(b->unit), one(b->comment), one(b->inverse)};
    if (auto* b = as<DgBlock>(block)) return {list(b->channel_groups), one(b->data), one(b->comment)};
    if (auto* b = as<CgBlock>(block)) {
        return {list(b->channels), one(b->acquisition_name), one(b->acquisition_source), one(b->comment)};
    }
    if (auto* b = as<CnBlock>(block)) {
        return {list(b->components), one(b->name), one(b->source), one(b->conversion), one(b->data), one(b->unit),
                one(b->comment)};
    }
    return {};
}

// Walks two trees side by side: the same kinds and fields in the same places,
// and a block shared in one exactly where its partner is shared in the other.
::testing::AssertionResult same_tree(Block* a_root, Block* b_root, size_t* blocks) {
    std::unordered_map<const Block*, const Block*> a_to_b;
    std::unordered_map<const Block*, const Block*> b_to_a;
    std::vector<std::pair<Block*, Block*>> work{{a_root, b_root}};
    while (!work.empty()) {
        auto [a, b] = work.back();
        work.pop_back();
        const auto ab = a_to_b.find(a);
        const auto ba = b_to_a.find(b);
        if (ab != a_to_b.end() || ba != b_to_a.end()) {
            if (ab == a_to_b.end() || ab->second != b || ba == b_to_a.end() || ba->second != a) {
                return ::testing::AssertionFailure() << "sharing differs at a block of kind " << int(a->kind());
            }
            continue;
        }
        a_to_b.emplace(a, b);
        b_to_a.emplace(b, a);
        const std::string fa = fields_of(a);
        const std::string fb = fields_of(b);
        if (fa != fb) {
            return ::testing::AssertionFailure() << "fields differ: " << fa.substr(0, 200) << " vs "
                                                 << fb.substr(0, 200);
        }
        const auto ca = children_of(a);
        const auto cb = children_of(b);
        for (size_t i = 0; i < ca.size(); ++i) {
            if (ca[i].size() != cb[i].size()) {
                return ::testing::AssertionFailure() << "link " << i << " of a block of kind " << int(a->kind())
                                                     << " leads to " << ca[i].size() << " vs " << cb[i].size();
            }
            for (size_t k = 0; k < ca[i].size(); ++k) work.emplace_back(ca[i][k], cb[i][k]);
        }
    }
    if (blocks != nullptr) *blocks = a_to_b.size();
    return ::testing::AssertionSuccess();
}

void expect_same_reading(const Reading& a, const Reading& b) {
    ASSERT_EQ(a.groups.size(), b.groups.size());
    for (size_t g = 0; g < a.groups.size(); ++g) {
        ASSERT_EQ(a.groups[g].size(), b.groups[g].size()) << "data group " << g;
        for (size_t i = 0; i < a.groups[g].size(); ++i) {
            ASSERT_EQ(a.groups[g][i], b.groups[g][i]) << "data group " << g << " frame " << i;
        }
    }
    EXPECT_EQ(a.has_comment, b.has_comment);
    EXPECT_EQ(a.comment, b.comment);
}

std::unique_ptr<stream::MemoryStream> save_document(const MdfDocument& document) {
    auto out = std::make_unique<stream::MemoryStream>();
    SaveContext context(out.get());
    if (!save_block(document.id_block(), &context)) return nullptr;
    if (out->content_size() != context.next) return nullptr;
    return out;
}

// Parses, saves, parses the output, compares, and saves again: the second
// output must be the first byte for byte. Returns the frames read.
size_t round_trip(stream::Stream& input, const std::string& what) {
    SCOPED_TRACE(what);
    auto original = MdfDocument::open(&input);
    if (original == nullptr) {
        ADD_FAILURE() << "does not open";
        return 0;
    }
    const Reading before = read_document(*original);

    auto saved = save_document(*original);
    if (saved == nullptr) {
        ADD_FAILURE() << "save failed";
        return 0;
    }
    auto reread = MdfDocument::open(saved.get());
    if (reread == nullptr) {
        ADD_FAILURE() << "the saved file does not open";
        return 0;
    }
    const Reading after = read_document(*reread);
    expect_same_reading(before, after);
    size_t blocks = 0;
    EXPECT_TRUE(same_tree(original->id_block(), reread->id_block(), &blocks));
    EXPECT_GT(blocks, 3u);

    auto again = save_document(*reread);
    if (again == nullptr) {
        ADD_FAILURE() << "second save failed";
        return 0;
    }
    EXPECT_TRUE(output_of(*saved) == output_of(*again)) << "the second save differs";
    return before.frames;
}

TEST(BlockWriterRoundTripTest, SampleRecording) {
    const char* source = std::getenv("TOLVAR_SOURCE_DIR");
    const std::string path = std::string(source != nullptr ? source : ".") + "/tests/data/sample.mf4";
    auto input = stream::FileStream::open(path.c_str());
    if (input == nullptr) GTEST_SKIP() << "no " << path;
    EXPECT_GT(round_trip(*input, path), 0u);
}

TEST(BlockWriterRoundTripTest, RoundTripSurvivesAReaderThatWalkedTheRecords) {
    // Saving after a walk (which leaves every data section somewhere in the
    // middle) still writes every record.
    const char* source = std::getenv("TOLVAR_SOURCE_DIR");
    const std::string path = std::string(source != nullptr ? source : ".") + "/tests/data/sample.mf4";
    auto input = stream::FileStream::open(path.c_str());
    if (input == nullptr) GTEST_SKIP() << "no " << path;
    auto document = MdfDocument::open(input.get());
    ASSERT_NE(document, nullptr);
    const Reading before = read_document(*document);
    ASSERT_GT(before.frames, 0u);
    auto saved = save_document(*document);
    ASSERT_NE(saved, nullptr);
    auto reread = MdfDocument::open(saved.get());
    ASSERT_NE(reread, nullptr);
    expect_same_reading(before, read_document(*reread));
}

// Every recording that tests/make_recordings.py writes into the folder named
// by TOLVAR_RECORDINGS: each one that opens (its NAME.frames.json says
// "opens": true) must round trip.
TEST(BlockWriterRoundTripTest, EveryRecordingOfTheTestWriter) {
    const char* folder = std::getenv("TOLVAR_RECORDINGS");
    if (folder == nullptr || *folder == '\0') GTEST_SKIP() << "TOLVAR_RECORDINGS is not set";
    DIR* dir = opendir(folder);
    ASSERT_NE(dir, nullptr) << folder;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".mf4") == 0 && name != "large.mf4") {
            names.push_back(name.substr(0, name.size() - 4));
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());

    size_t sound = 0;
    for (const std::string& name : names) {
        const std::string base = std::string(folder) + "/" + name;
        std::ifstream json(base + ".frames.json");
        std::stringstream text;
        text << json.rdbuf();
        const bool opens = text.str().find("\"opens\": true") != std::string::npos;
        auto input = stream::FileStream::open((base + ".mf4").c_str());
        ASSERT_NE(input, nullptr) << base;
        if (!opens) continue;
        ++sound;
        EXPECT_GT(round_trip(*input, name), 0u) << name;
    }
    EXPECT_GE(sound, 16u);
}

}  // namespace
}  // namespace tolvar::mdf
