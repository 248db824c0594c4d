#include "mdf/block.h"

#include <gtest/gtest.h>

#include <cstring>

#include "mdf/block_cache.h"
#include "mdf/block_kinds.h"
#include "mdf/conversion_block.h"
#include "mdf/file_history_block.h"
#include "mdf/header_block.h"
#include "mdf/text_block.h"
#include "mdf/source_info_block.h"
#include "mdf_bytes.h"

namespace tolvar::mdf {
namespace {

using test::CountingStream;
using test::Fields;
using test::LogCapture;
using test::MdfBytes;

// Counts how many blocks of this kind are alive, to see destruction happen.
int g_alive = 0;
class ProbeBlock final : public Block {
public:
    static constexpr BlockKind kKind = BlockKind::kTx;
    ProbeBlock() : Block(kKind) { ++g_alive; }
    ~ProbeBlock() override { --g_alive; }
    bool parse(stream::Stream&, BlockCache&, const BlockHeader&, BlockList*) override { return true; }
    void destroy() override { child.release(); }
    BlockRef child;
};

TEST(BlockRefTest, CountsCopiesAndDestroysAtZero) {
    g_alive = 0;
    {
        BlockRef a = BlockRef::adopt(new ProbeBlock);
        EXPECT_EQ(a.use_count(), 1);
        BlockRef b = a;
        EXPECT_EQ(a.use_count(), 2);
        BlockRef c;
        c = b;
        EXPECT_EQ(a.use_count(), 3);
        b.release();
        EXPECT_FALSE(b);
        EXPECT_EQ(a.use_count(), 2);
        BlockRef d = std::move(c);
        EXPECT_FALSE(c);
        EXPECT_EQ(d.use_count(), 2);
        a = d;  // self-sharing assignment keeps the count
        EXPECT_EQ(d.use_count(), 2);
        EXPECT_EQ(g_alive, 1);
    }
    EXPECT_EQ(g_alive, 0);
}

TEST(BlockRefTest, DestroysALongLineOfOwnedBlocksWithoutRecursion) {
    // A million blocks, each holding the next: destroying the head one frame
    // per block deep would exhaust the stack.
    g_alive = 0;
    BlockRef head = BlockRef::adopt(new ProbeBlock);
    Block* tail = head.get();
    for (int i = 0; i < 1000000; ++i) {
        BlockRef next = BlockRef::adopt(new ProbeBlock);
        Block* raw = next.get();
        static_cast<ProbeBlock*>(tail)->child = std::move(next);
        tail = raw;
    }
    EXPECT_EQ(g_alive, 1000001);
    head.release();
    EXPECT_EQ(g_alive, 0);
}

TEST(BlockRefTest, TypedAccessMatchesTheKindOnly) {
    BlockRef tx = create_block(BlockKind::kTx);
    BlockRef md = create_block(BlockKind::kMd);
    EXPECT_NE(as<TextBlock>(tx), nullptr);
    EXPECT_NE(as<TextBlock>(md), nullptr);
    EXPECT_EQ(as<CcBlock>(tx), nullptr);
    EXPECT_NE(block_text(tx.get(), BlockKind::kTx), nullptr);
    EXPECT_EQ(block_text(tx.get(), BlockKind::kMd), nullptr);
    EXPECT_NE(block_text(md.get(), BlockKind::kMd), nullptr);
    EXPECT_EQ(block_text(md.get(), BlockKind::kTx), nullptr);
    EXPECT_EQ(as<TextBlock>(BlockRef()), nullptr);
    EXPECT_EQ(tx->header.length, 24u);
    EXPECT_EQ(tx->use_count(), 1);
}

TEST(BlockCacheTest, MarksEntriesAndAbandonsThemWithoutLosingOthers) {
    BlockCache cache;
    BlockRef block = create_block(BlockKind::kTx);
    constexpr uint64_t kCount = 5000;
    for (uint64_t i = 0; i < kCount; ++i) ASSERT_TRUE(cache.begin(i * 8));
    EXPECT_FALSE(cache.begin(16));
    for (uint64_t i = 0; i < kCount; i += 3) cache.abandon(i * 8);
    for (uint64_t i = 1; i < kCount; i += 3) ASSERT_TRUE(cache.complete(i * 8, block));
    for (uint64_t i = 0; i < kCount; ++i) {
        bool unfinished = false;
        Block* found = cache.find(i * 8, unfinished);
        switch (i % 3) {
            case 0: EXPECT_TRUE(found == nullptr && !unfinished) << i; break;
            case 1: EXPECT_TRUE(found == block.get() && !unfinished) << i; break;
            case 2: EXPECT_TRUE(found == nullptr && unfinished) << i; break;
        }
    }
    EXPECT_EQ(cache.size(), (kCount + 1) / 3);
    EXPECT_FALSE(cache.complete(8, block));  // already completed
    EXPECT_EQ(block.use_count(), 1 + static_cast<int32_t>((kCount + 1) / 3));
}

TEST(BlockListTest, InsertsAtTheFront) {
    BlockList list;
    BlockRef a = create_block(BlockKind::kTx);
    BlockRef b = create_block(BlockKind::kTx);
    list.push_front(a);
    list.push_front(b);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].get(), b.get());
    EXPECT_EQ(list[1].get(), a.get());
    EXPECT_EQ(a.use_count(), 2);
    list.clear();
    EXPECT_EQ(a.use_count(), 1);
}

TEST(ReadLinksTest, TurnsZeroIntoNoLinkAndNeedsEveryLink) {
    stream::MemoryStream s;
    const uint64_t raw[3] = {0, 4096, 0};
    s.write(raw, sizeof raw);
    s.seek(0, stream::kSeekSet);
    std::vector<uint64_t> links;
    EXPECT_TRUE(read_links(s, BlockHeader{BlockKind::kSi, 48, 3}, links));
    EXPECT_EQ(links, (std::vector<uint64_t>{kNoLink, 4096, kNoLink}));
    EXPECT_EQ(s.tell(), 24);

    s.seek(0, stream::kSeekSet);
    links.clear();
    EXPECT_FALSE(read_links(s, BlockHeader{BlockKind::kSi, 56, 4}, links));
    EXPECT_EQ(links.size(), 3u);

    s.seek(0, stream::kSeekSet);
    links.clear();
    EXPECT_FALSE(read_links(s, BlockHeader{BlockKind::kSi, 56, uint64_t{1} << 63}, links));
    EXPECT_TRUE(links.empty());
}

TEST(ParseBlockTest, NoLinkGivesNothingWithoutIo) {
    MdfBytes f;
    f.tx("abc");
    auto inner = f.stream();
    CountingStream s(*inner);
    BlockCache cache;
    EXPECT_FALSE(parse_block_at(s, kNoLink, cache));
    EXPECT_FALSE(parse_block_into(s, kNoLink, cache, nullptr));
    EXPECT_EQ(s.seeks + s.reads, 0);
}

TEST(ParseBlockTest, SameOffsetParsesOnceAndIsShared) {
    MdfBytes f;
    const uint64_t name = f.tx("speed");
    const uint64_t cc = f.cc(1, {0.0, 2.0}, 0, name, name);
    auto s = f.stream();
    BlockRef block;
    {
        BlockCache cache;
        block = parse_block_at(*s, cc, cache);
        ASSERT_TRUE(block);
        EXPECT_EQ(cache.size(), 2u);
        // A second parse at the same offset is a cache hit: nothing is read.
        CountingStream counting(*s);
        BlockRef again = parse_block_at(counting, cc, cache);
        EXPECT_EQ(again.get(), block.get());
        EXPECT_EQ(counting.reads, 0);
    }
    auto* conversion = as<CcBlock>(block);
    ASSERT_NE(conversion, nullptr);
    EXPECT_EQ(conversion->offset, cc);
    EXPECT_EQ(conversion->name.get(), conversion->unit.get());
    EXPECT_EQ(conversion->name.use_count(), 2);
    EXPECT_EQ(block.use_count(), 1);
    EXPECT_EQ(as<TextBlock>(conversion->name)->text, "speed");
}

// Lays out a history chain at the given offsets, in link order.
std::vector<uint64_t> history_chain(MdfBytes& f, const std::vector<uint64_t>& offsets, uint64_t comment) {
    for (size_t i = 0; i < offsets.size(); ++i) {
        const uint64_t next = i + 1 < offsets.size() ? offsets[i + 1] : 0;
        f.block_at(offsets[i], "FH", {next, comment}, Fields().u64(i).zeros(8).bytes);
    }
    return offsets;
}

TEST(ParseBlockTest, ChainComesInLinkOrder) {
    MdfBytes f;
    const uint64_t comment = f.tool_comment();
    history_chain(f, {1000, 3000, 2000}, comment);
    auto s = f.stream();
    BlockCache cache;
    BlockList list;
    ASSERT_TRUE(parse_block_into(*s, 1000, cache, &list));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]->offset, 1000u);
    EXPECT_EQ(list[1]->offset, 3000u);
    EXPECT_EQ(list[2]->offset, 2000u);
    EXPECT_EQ(as<FhBlock>(list[1])->time_ns, 1u);
    EXPECT_EQ(cache.size(), 4u);
}

TEST(ParseBlockTest, ChainStopsAtACachedMember) {
    MdfBytes f;
    const uint64_t comment = f.tool_comment();
    history_chain(f, {1000, 2000, 3000}, comment);
    auto s = f.stream();
    BlockCache cache;
    BlockList first;
    ASSERT_TRUE(parse_block_into(*s, 2000, cache, &first));
    ASSERT_EQ(first.size(), 2u);
    BlockList list;
    ASSERT_TRUE(parse_block_into(*s, 1000, cache, &list));
    ASSERT_EQ(list.size(), 2u);  // 3000 follows 2000 but is not added again
    EXPECT_EQ(list[0]->offset, 1000u);
    EXPECT_EQ(list[1].get(), first[0].get());
}

TEST(ParseBlockTest, ChainReachedThroughASingleLinkKeepsItsMembersAliveWhileCached) {
    MdfBytes f;
    const uint64_t comment = f.tool_comment();
    history_chain(f, {1000, 2000}, comment);
    auto s = f.stream();
    BlockCache cache;
    BlockRef head = parse_block_at(*s, 1000, cache);
    ASSERT_TRUE(head);
    // The second entry belongs to no list; the cache still hands it out whole.
    BlockRef second = parse_block_at(*s, 2000, cache);
    ASSERT_TRUE(second);
    EXPECT_EQ(as<FhBlock>(second)->time_ns, 1u);
    EXPECT_NE(as<FhBlock>(second)->comment.get(), nullptr);
}

TEST(ParseBlockTest, FailuresGiveNothing) {
    MdfBytes f;
    const uint64_t bad_links = f.block("CC", {0, 0, 0, 0, 0}, Fields().zeros(24).bytes);
    const uint64_t tx = f.tx("abc");
    const uint64_t bad_text = f.block("TX", {}, {'x'}, 20);
    const uint64_t at = f.block("AT", {}, Fields().zeros(8).bytes);
    const uint64_t parent = f.si(2, 2, tx, bad_text);
    auto s = f.stream();
    LogCapture log;
    BlockCache cache;
    EXPECT_FALSE(parse_block_at(*s, bad_links, cache));
    EXPECT_FALSE(parse_block_at(*s, f.bytes.size() + 64, cache));  // beyond the end
    EXPECT_FALSE(parse_block_at(*s, uint64_t{1} << 63, cache));
    EXPECT_FALSE(parse_block_at(*s, bad_text, cache));
    EXPECT_EQ(cache.find(bad_text), nullptr);
    EXPECT_FALSE(parse_block_at(*s, parent, cache));  // its path link fails
    EXPECT_TRUE(log.lines.empty());
    EXPECT_FALSE(parse_block_at(*s, at, cache));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Unable to load block header for type ##AT"});
    BlockList list;
    EXPECT_FALSE(parse_block_into(*s, bad_links, cache, &list));
    EXPECT_TRUE(list.empty());
}

TEST(ParseBlockTest, FailedChainLeavesTheListUnchanged) {
    MdfBytes f;
    const uint64_t comment = f.tool_comment();
    history_chain(f, {1000, 2000, 3000}, comment);
    f.block_at(3000, "FH", {0, comment, 0}, Fields().zeros(16).bytes);  // three links
    auto s = f.stream();
    LogCapture log;
    BlockCache cache;
    BlockList list;
    EXPECT_FALSE(parse_block_into(*s, 1000, cache, &list));
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(log.lines.empty());
    EXPECT_FALSE(cache.in_progress(1000));
    EXPECT_FALSE(cache.in_progress(2000));
}

// --- cycles: a link back to a block whose parse has not finished

TEST(CycleTest, ChainThatLoopsBackFails) {
    MdfBytes f;
    const uint64_t comment = f.tool_comment();
    history_chain(f, {1000, 2000, 3000}, comment);
    f.set_link(3000, 0, 1000);
    auto s = f.stream();
    BlockCache cache;
    BlockList list;
    EXPECT_FALSE(parse_block_into(*s, 1000, cache, &list));
    EXPECT_TRUE(list.empty());
    // The same chain entered in the middle loops too.
    EXPECT_FALSE(parse_block_into(*s, 2000, cache, &list));
}

TEST(CycleTest, ChainMemberNamingItselfFails) {
    MdfBytes f;
    const uint64_t comment = f.tool_comment();
    history_chain(f, {1000}, comment);
    f.set_link(1000, 0, 1000);
    auto s = f.stream();
    BlockCache cache;
    BlockList list;
    EXPECT_FALSE(parse_block_into(*s, 1000, cache, &list));
}

TEST(CycleTest, ConversionWhoseInverseIsItselfFails) {
    MdfBytes f;
    const uint64_t cc = f.cc(1, {0, 1});
    f.set_link(cc, 3, cc);
    auto s = f.stream();
    BlockCache cache;
    EXPECT_FALSE(parse_block_at(*s, cc, cache));
    EXPECT_EQ(cache.find(cc), nullptr);
    EXPECT_FALSE(cache.in_progress(cc));
}

TEST(CycleTest, ConversionsInverseOfEachOtherFail) {
    MdfBytes f;
    const uint64_t a = f.cc(1, {0, 1});
    const uint64_t b = f.cc(1, {0, 2}, a);
    f.set_link(a, 3, b);
    auto s = f.stream();
    BlockCache cache;
    EXPECT_FALSE(parse_block_at(*s, a, cache));
    EXPECT_FALSE(parse_block_at(*s, b, cache));
}

TEST(CycleTest, SingleLinkIntoAnUnfinishedChainFails) {
    // The last entry's comment names the first entry, which is still open.
    MdfBytes f;
    const uint64_t comment = f.tool_comment();
    history_chain(f, {1000, 2000}, comment);
    f.set_link(2000, 1, 1000);
    auto s = f.stream();
    BlockCache cache;
    BlockList list;
    EXPECT_FALSE(parse_block_into(*s, 1000, cache, &list));
}

// --- depth

// Copies the block `code` laid out alone by `make` to `count` places, `size`
// bytes apart from `first`, letting `patch` change each copy.
template <class Make, class Patch>
void repeat_block(MdfBytes& f, uint64_t first, uint64_t count, Make make, Patch patch) {
    MdfBytes scratch;
    const uint64_t at = make(scratch);
    const std::vector<uint8_t> one(scratch.bytes.begin() + at, scratch.bytes.end());
    f.grow(first + count * one.size());
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t* p = &f.bytes[first + i * one.size()];
        std::memcpy(p, one.data(), one.size());
        patch(p, i, first + i * one.size());
    }
}

TEST(DepthTest, MillionEntryChainIsWalkedInOrder) {
    constexpr uint64_t kCount = 1000000;
    constexpr uint64_t kSize = 56;
    MdfBytes f;
    const uint64_t comment = f.tool_comment();
    const uint64_t first = f.next();
    repeat_block(
        f, first, kCount, [&](MdfBytes& b) { return b.fh(0, comment); },
        [&](uint8_t* p, uint64_t i, uint64_t at) {
            const uint64_t next = i + 1 < kCount ? at + kSize : 0;
            std::memcpy(p + 24, &next, 8);
            std::memcpy(p + 40, &i, 8);
        });
    auto s = f.stream();
    BlockList list;
    {
        BlockCache cache;
        ASSERT_TRUE(parse_block_into(*s, first, cache, &list));
        EXPECT_EQ(cache.size(), kCount + 1);
    }
    ASSERT_EQ(list.size(), kCount);
    EXPECT_EQ(as<FhBlock>(list[0])->time_ns, 0u);
    EXPECT_EQ(as<FhBlock>(list[kCount / 2])->time_ns, kCount / 2);
    EXPECT_EQ(as<FhBlock>(list[kCount - 1])->time_ns, kCount - 1);
    EXPECT_EQ(list[0].use_count(), 1);
    EXPECT_EQ(as<FhBlock>(list[7])->comment.use_count(), static_cast<int32_t>(kCount));
}

// Conversions nested through their inverse links, `depth` deep; gives the
// outermost.
uint64_t nested_conversions(MdfBytes& f, int depth) {
    const uint64_t first = f.next();
    uint64_t size = 0;
    repeat_block(
        f, first, depth,
        [&](MdfBytes& b) {
            const uint64_t at = b.cc(1, {0, 1});
            size = b.bytes.size() - at;
            return at;
        },
        [&](uint8_t* p, uint64_t i, uint64_t at) {
            const uint64_t inner = i == 0 ? 0 : at - size;
            const double offset = double(i);
            std::memcpy(p + 48, &inner, 8);
            std::memcpy(p + 80, &offset, 8);
        });
    return first + (depth - 1) * size;
}

TEST(DepthTest, NestingWithinTheLimitParses) {
    MdfBytes f;
    const uint64_t outer = nested_conversions(f, BlockCache::kMaxNestingDepth);
    auto s = f.stream();
    BlockCache cache;
    BlockRef block = parse_block_at(*s, outer, cache);
    ASSERT_TRUE(block);
    int depth = 0;
    for (const CcBlock* cc = as<CcBlock>(block); cc != nullptr; cc = as<CcBlock>(cc->inverse)) ++depth;
    EXPECT_EQ(depth, BlockCache::kMaxNestingDepth);
    EXPECT_EQ(cache.depth(), 0);
}

TEST(DepthTest, NestingHundredsOfThousandsDeepFailsCleanly) {
    MdfBytes f;
    const uint64_t outer = nested_conversions(f, 300000);
    auto s = f.stream();
    LogCapture log;
    BlockCache cache;
    EXPECT_FALSE(parse_block_at(*s, outer, cache));
    EXPECT_EQ(cache.depth(), 0);
    EXPECT_TRUE(log.lines.empty());
    // One level too deep fails as well, from a fresh start.
    MdfBytes g;
    const uint64_t just_over = nested_conversions(g, BlockCache::kMaxNestingDepth + 1);
    auto t = g.stream();
    BlockCache fresh;
    EXPECT_FALSE(parse_block_at(*t, just_over, fresh));
}

}  // namespace
}  // namespace tolvar::mdf
