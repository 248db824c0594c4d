#include "mdf/block_sequence_stream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "mdf/block_cache.h"
#include "mdf_bytes.h"

namespace tolvar::mdf {
namespace {

using test::Fields;
using test::LogCapture;
using test::MdfBytes;

std::vector<uint8_t> deflated(const std::vector<uint8_t>& data) {
    uLongf size = compressBound(data.size());
    std::vector<uint8_t> out(size);
    EXPECT_EQ(compress2(out.data(), &size, data.data(), data.size(), 6), Z_OK);
    out.resize(size);
    return out;
}

std::vector<uint8_t> bytes_from(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i * 13 + (i >> 8));
    return v;
}

// Column by column, as a writer transposes records of `columns` bytes; the
// bytes after the last whole record stay where they are.
std::vector<uint8_t> transposed(const std::vector<uint8_t>& data, size_t columns) {
    const size_t records = data.size() / columns;
    std::vector<uint8_t> out(data);
    for (size_t c = 0; c < columns; ++c) {
        for (size_t r = 0; r < records; ++r) out[c * records + r] = data[r * columns + c];
    }
    return out;
}

struct Dz {
    const char* kind = "DT";
    uint8_t zip_type = 0;
    uint32_t parameter = 0;
    uint64_t declared = 0;
};

uint64_t dz(MdfBytes& f, const Dz& d, const std::vector<uint8_t>& packed) {
    Fields fields;
    fields.text(std::string(d.kind, 2)).u8(d.zip_type).u8(0).u32(d.parameter).u64(d.declared).u64(packed.size());
    fields.put(packed.data(), packed.size());
    return f.block("DZ", {}, fields.bytes);
}

// A file of data blocks and the list of them, parsed for any writer.
struct Sequence {
    MdfBytes f;
    std::vector<uint64_t> at;
    std::vector<uint8_t> expected;  // the bytes the sequence serves
    std::unique_ptr<stream::MemoryStream> file;
    std::unique_ptr<mdf::BlockCache> cache;
    mdf::BlockList blocks;

    void stored(const std::vector<uint8_t>& data, const char* code = "DT") {
        at.push_back(f.block(code, {}, data));
        expected.insert(expected.end(), data.begin(), data.end());
    }
    void zipped(const std::vector<uint8_t>& data, Dz d = {}) {
        if (d.declared == 0) d.declared = data.size();
        const std::vector<uint8_t> source = d.zip_type == 1 ? transposed(data, d.parameter) : data;
        at.push_back(dz(f, d, deflated(source)));
        expected.insert(expected.end(), data.begin(), data.end());
    }
    std::unique_ptr<BlockSequenceStream> open(mdf::BlockKind kind = mdf::BlockKind::kDt) {
        file = f.stream();
        mdf::ParseOptions options;
        options.any_writer = true;
        cache = std::make_unique<mdf::BlockCache>(options);
        blocks.clear();
        for (auto it = at.rbegin(); it != at.rend(); ++it) blocks.push_front(mdf::parse_block_at(*file, *it, *cache));
        return BlockSequenceStream::create(blocks, kind, file->size());
    }
};

std::vector<uint8_t> read_all(stream::Stream& s, size_t piece) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buffer(piece);
    for (;;) {
        const int64_t got = s.read(buffer.data(), piece);
        if (got <= 0) break;
        out.insert(out.end(), buffer.begin(), buffer.begin() + got);
    }
    return out;
}

Sequence mixed() {
    Sequence q;
    q.f.id();
    q.stored(bytes_from(100, 1));
    q.zipped(bytes_from(1000, 2));
    q.zipped(bytes_from(12 * 40 + 5, 3), Dz{"DT", 1, 12});
    q.stored(bytes_from(7, 4));
    q.zipped(bytes_from(300, 5), Dz{"DT", 1, 1});
    return q;
}

TEST(BlockSequenceStreamTest, ServesTheBlocksBytesInOrderWhateverTheReadSize) {
    for (size_t piece : {size_t{1}, size_t{7}, size_t{64}, size_t{5000}}) {
        Sequence q = mixed();
        auto s = q.open();
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->total_size(), q.expected.size());
        EXPECT_EQ(s->piece_count(), 5u);
        EXPECT_EQ(read_all(*s, piece), q.expected) << piece;
        EXPECT_EQ(s->tell(), static_cast<int64_t>(q.expected.size()));
    }
}

TEST(BlockSequenceStreamTest, SeeksAnywhereAndReadsAcrossBlocks) {
    Sequence q = mixed();
    auto s = q.open();
    std::mt19937 random(7);
    for (int i = 0; i < 300; ++i) {
        const uint64_t at = random() % (q.expected.size() + 10);
        const uint64_t n = random() % 700;
        const uint64_t to = at < q.expected.size() ? at : q.expected.size();
        ASSERT_EQ(s->seek(static_cast<int64_t>(at), stream::kSeekSet), static_cast<int64_t>(to));
        // Another reader of the file moves it meanwhile: the sequence seeks anew.
        q.file->seek(0, stream::kSeekSet);
        std::vector<uint8_t> buffer(n);
        const int64_t got = s->read(buffer.data(), n);
        const uint64_t want = std::min<uint64_t>(n, q.expected.size() - to);
        ASSERT_EQ(got, static_cast<int64_t>(want));
        ASSERT_TRUE(std::equal(buffer.begin(), buffer.begin() + got, q.expected.begin() + to)) << at << " " << n;
    }
    EXPECT_EQ(s->seek(0, stream::kSeekEnd), static_cast<int64_t>(q.expected.size()));
    EXPECT_EQ(s->seek(-1, stream::kSeekCur), static_cast<int64_t>(q.expected.size() - 1));
    EXPECT_LT(s->seek(-static_cast<int64_t>(q.expected.size()) - 1, stream::kSeekCur), 0);
}

TEST(BlockSequenceStreamTest, SignalDataTakesSignalBlocks) {
    Sequence q;
    q.f.id();
    q.stored(bytes_from(50, 9), "SD");
    q.zipped(bytes_from(80, 8), Dz{"SD", 0, 0});
    auto s = q.open(mdf::BlockKind::kSd);
    EXPECT_EQ(read_all(*s, 13), q.expected);
}

struct Refusal {
    const char* name;
    Dz dz;
    bool damage_stream;  // the compressed bytes do not inflate
    const char* log;
};

class BlockSequenceRefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(BlockSequenceRefusalTest, EndsTheDataBeforeTheBlockWithOneLine) {
    const Refusal& r = GetParam();
    Sequence q;
    q.f.id();
    q.stored(bytes_from(40, 1));
    const std::vector<uint8_t> kept = q.expected;
    const std::vector<uint8_t> data = bytes_from(500, 2);
    Dz d = r.dz;
    if (d.declared == 0) d.declared = data.size();
    std::vector<uint8_t> packed = deflated(d.zip_type == 1 ? transposed(data, d.parameter) : data);
    if (r.damage_stream) packed.resize(packed.size() / 2);
    q.at.push_back(dz(q.f, d, packed));
    q.stored(bytes_from(30, 3));
    LogCapture log;
    auto s = q.open();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(read_all(*s, 64), kept);
    EXPECT_EQ(s->total_size(), kept.size());
    // Read again from the start: the same, and nothing more logged.
    s->seek(0, stream::kSeekSet);
    EXPECT_EQ(read_all(*s, 3), kept);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].text.find(r.log), std::string::npos) << log.lines[0].text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlockSequenceRefusalTest,
    ::testing::Values(
        Refusal{"signal_data_among_records", Dz{"SD", 0, 0, 0}, false, "holds another kind of data"},
        Refusal{"unknown_compression", Dz{"DT", 2, 0, 0}, false, "its compression is unknown"},
        Refusal{"beyond_the_cap", Dz{"DT", 0, 0, kMaxInflatedBlock + 1}, false, "more than 64 MiB"},
        Refusal{"beyond_what_deflate_gives", Dz{"DT", 0, 0, 1u << 26}, false, "compressed bytes can hold"},
        Refusal{"inflates_to_less", Dz{"DT", 0, 0, 501}, false, "does not inflate"},
        Refusal{"inflates_to_more", Dz{"DT", 0, 0, 499}, false, "does not inflate"},
        Refusal{"transposed_to_more", Dz{"DT", 1, 10, 499}, false, "does not inflate"},
        Refusal{"cut_short", Dz{"DT", 0, 0, 0}, true, "does not inflate"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BlockSequenceStreamTest, ADataBlockBeyondTheFileEndsTheData) {
    Sequence q;
    q.f.id();
    q.stored(bytes_from(40, 1));
    const uint64_t last = q.f.block("DT", {}, bytes_from(16, 2), 24 + 1000);
    q.at.push_back(last);
    LogCapture log;
    auto s = q.open();
    std::vector<uint8_t> want = q.expected;
    const std::vector<uint8_t> tail = bytes_from(16, 2);
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(read_all(*s, 9), want);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].text.find("reaches beyond the file"), std::string::npos);
}

}  // namespace
}  // namespace tolvar::mdf

namespace tolvar::mdf {
namespace {

TEST(BlockSequenceStreamTest, ABlockListedTwiceEndsTheData) {
    Sequence q;
    q.f.id();
    q.stored(bytes_from(4000, 1));
    const std::vector<uint8_t> kept = q.expected;
    q.at.push_back(q.at.front());  // the same block again: more than the file holds
    LogCapture log;
    auto s = q.open();
    EXPECT_EQ(read_all(*s, 1000), kept);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].text.find("shares its bytes"), std::string::npos);
}

}  // namespace
}  // namespace tolvar::mdf
