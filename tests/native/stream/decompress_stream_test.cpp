#include "stream/decompress_stream.h"

#include <gtest/gtest.h>

#include "layer_test_util.h"

namespace tolvar::stream {
namespace {

using test::Bytes;

TEST(DecompressStream, ReadsDecodedBytesThroughAwkwardInner) {
    const Bytes data = test::log_like(50000, 3);
    test::AwkwardStream inner(test::lzss_encode(data, 11, 5));
    auto stream = DecompressStream::create(&inner, 11, 5);
    ASSERT_NE(stream, nullptr);
    Bytes out;
    uint8_t piece[333];
    int64_t got;
    while ((got = stream->read(piece, sizeof piece)) > 0) out.insert(out.end(), piece, piece + got);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(out, data);
    EXPECT_EQ(stream->read(piece, sizeof piece), 0);
}

TEST(DecompressStream, HasNoWriteTellOrSeek) {
    MemoryStream inner;
    auto stream = DecompressStream::create(&inner, 8, 4);
    EXPECT_EQ(stream->write("x", 1), -1);
    EXPECT_EQ(stream->tell(), -1);
    EXPECT_EQ(stream->seek(0, kSeekSet), -1);
    EXPECT_EQ(stream->close(), 0);
}

TEST(DecompressStream, RefusesWhatTheDecoderRefuses) {
    MemoryStream inner;
    EXPECT_EQ(DecompressStream::create(nullptr, 8, 4), nullptr);
    EXPECT_EQ(DecompressStream::create(&inner, 3, 2), nullptr);
    EXPECT_EQ(DecompressStream::create(&inner, 8, 8), nullptr);
}

TEST(DecompressStream, InnerFailureIsAFailure) {
    const Bytes payload = test::lzss_encode(test::random_bytes(5000, 4), 8, 4);
    test::FailingStream inner(payload, 2000);
    auto stream = DecompressStream::create(&inner, 8, 4);
    uint8_t piece[4096];
    int64_t got;
    while ((got = stream->read(piece, sizeof piece)) > 0) {
    }
    EXPECT_EQ(got, -1);
}

}  // namespace
}  // namespace tolvar::stream
