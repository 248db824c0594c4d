#include "stream/lzss_decoder.h"

#include <gtest/gtest.h>

#include <tuple>

#include "layer_test_util.h"

namespace tolvar::stream {
namespace {

using test::Bytes;

// Decodes a whole bitstream, feeding `feed_size` bytes and draining
// `drain_size` bytes at a time.
Bytes decode(const Bytes& payload, unsigned window_bits, unsigned lookahead_bits, size_t feed_size = 1024,
             size_t drain_size = 4096) {
    auto decoder = LzssDecoder::create(1024, window_bits, lookahead_bits);
    EXPECT_NE(decoder, nullptr);
    if (!decoder) return {};
    Bytes out;
    Bytes piece(drain_size);
    size_t fed = 0;
    for (;;) {
        uint64_t produced = 0;
        const DrainResult result = decoder->drain(piece.data(), piece.size(), &produced);
        out.insert(out.end(), piece.begin(), piece.begin() + static_cast<long>(produced));
        if (result == DrainResult::kOutputFull) continue;
        EXPECT_EQ(result, DrainResult::kNeedInput);
        EXPECT_EQ(decoder->pending_input(), 0);
        if (fed == payload.size()) {
            if (decoder->check_end() != EndResult::kPending) break;
            continue;
        }
        uint64_t accepted = 0;
        const size_t n = std::min(feed_size, payload.size() - fed);
        EXPECT_EQ(decoder->feed(payload.data() + fed, n, &accepted), FeedResult::kTaken);
        EXPECT_EQ(accepted, n);
        fed += n;
    }
    return out;
}

TEST(LzssDecoder, BitstreamExamples) {
    // A literal, then distance 1 length 3; the two pad bits end the stream.
    EXPECT_EQ(decode(test::from_hex("A08008"), 8, 4), test::from_hex("41414141"));
    // Literals a and b, then distance 2 length 5 (overlapping its own output).
    EXPECT_EQ(decode(test::from_hex("B0D8800A00"), 10, 4), test::from_hex("61626162616261"));
    // Distance 5 before any output reads the zeroed window.
    EXPECT_EQ(decode(test::from_hex("0210"), 8, 4), test::from_hex("000000"));
    // Nothing in, nothing out.
    EXPECT_EQ(decode({}, 8, 4), Bytes{});
}

TEST(LzssDecoder, MatchesTheToolsEncoder) {
    // Made by tests/layer_tools.py: lzss_encode(b"CAN 1 123 Rx d 8 ..." * 3, 10, 5)
    const Bytes payload = test::from_hex(
        "a1d069d2098c82633299c82a57890592413890010fce2400");
    const std::string text = "CAN 1 123 Rx d 8 CAN 1 123 Rx d 8 CAN 1 123 Rx d 8 ";
    EXPECT_EQ(decode(payload, 10, 5), Bytes(text.begin(), text.end()));
}

TEST(LzssDecoder, RefusesBadParameters) {
    EXPECT_EQ(LzssDecoder::create(1024, 3, 2), nullptr);
    EXPECT_EQ(LzssDecoder::create(1024, 16, 4), nullptr);
    EXPECT_EQ(LzssDecoder::create(1024, 8, 2), nullptr);
    EXPECT_EQ(LzssDecoder::create(1024, 8, 8), nullptr);
    EXPECT_EQ(LzssDecoder::create(0, 8, 4), nullptr);
    EXPECT_NE(LzssDecoder::create(1024, 4, 3), nullptr);
    EXPECT_NE(LzssDecoder::create(1024, 15, 14), nullptr);
}

TEST(LzssDecoder, NullArgumentsAndFullInput) {
    auto decoder = LzssDecoder::create(4, 8, 4);
    uint64_t n = 0;
    uint8_t buffer[8] = {};
    EXPECT_EQ(decoder->feed(nullptr, 1, &n), FeedResult::kErrorNull);
    EXPECT_EQ(decoder->drain(nullptr, 1, &n), DrainResult::kErrorNull);
    EXPECT_EQ(decoder->drain(buffer, 1, nullptr), DrainResult::kErrorNull);
    EXPECT_EQ(decoder->feed(buffer, 8, &n), FeedResult::kTaken);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(decoder->feed(buffer, 8, &n), FeedResult::kFull);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(decoder->check_end(), EndResult::kPending);
}

TEST(LzssDecoder, HalfEmittedReferenceIsPendingAtTheEnd) {
    // Distance 1, length 16 after a literal, drained 4 bytes at a time.
    test::BitWriter bits;
    bits.literal('x');
    bits.reference(1, 16, 8, 4);
    const Bytes payload = bits.finish();
    auto decoder = LzssDecoder::create(1024, 8, 4);
    uint64_t n = 0;
    decoder->feed(payload.data(), payload.size(), &n);
    uint8_t out[4];
    EXPECT_EQ(decoder->drain(out, 4, &n), DrainResult::kOutputFull);
    EXPECT_EQ(decoder->state(), LzssDecoder::kEmitCopy);
    EXPECT_EQ(decoder->copy_remaining(), 13);
    EXPECT_EQ(decoder->copy_distance(), 1);
    EXPECT_EQ(decoder->check_end(), EndResult::kPending);
    Bytes all(out, out + 4);
    while (decoder->drain(out, 4, &n) == DrainResult::kOutputFull || n > 0) all.insert(all.end(), out, out + n);
    EXPECT_EQ(all, Bytes(17, 'x'));
    EXPECT_EQ(decoder->check_end(), EndResult::kAtEnd);
}

TEST(LzssDecoder, StreamEndingInsideAnItemKeepsWhatCame) {
    // Two literals and the first 5 bits of a reference.
    test::BitWriter bits;
    bits.literal('a');
    bits.literal('b');
    bits.write(0, 1);
    bits.write(3, 4);
    EXPECT_EQ(decode(bits.finish(), 12, 4), (Bytes{'a', 'b'}));
}

TEST(LzssDecoder, WindowWrapsAndDistanceEqualToTheWindow) {
    // 16-byte window: a reference of distance 16 repeats the byte 16 back.
    test::BitWriter bits;
    for (int i = 0; i < 40; ++i) bits.literal(static_cast<uint8_t>('A' + i % 26));
    bits.reference(16, 8, 4, 3);
    bits.reference(3, 5, 4, 3);
    const Bytes out = decode(bits.finish(), 4, 3, 1, 1);
    ASSERT_EQ(out.size(), 53u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(out[40 + i], out[24 + i]);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(out[48 + i], out[45 + i]);
}

struct RoundTrip {
    unsigned window_bits;
    unsigned lookahead_bits;
};

class LzssRoundTrip : public testing::TestWithParam<std::tuple<RoundTrip, int>> {};

TEST_P(LzssRoundTrip, DecodesWhatTheEncoderWrote) {
    const auto [params, kind] = GetParam();
    const Bytes data = kind == 0   ? test::random_bytes(20000, params.window_bits)
                       : kind == 1 ? test::log_like(60000, params.lookahead_bits)
                                   : Bytes(70000, 'z');
    const Bytes payload = test::lzss_encode(data, params.window_bits, params.lookahead_bits);
    // Repetitive data shrinks, so real back-references were taken.
    if (kind == 2 || (kind == 1 && params.window_bits >= 8)) {
        EXPECT_LT(payload.size(), data.size() / 2);
    }
    if (kind == 1) {
        EXPECT_LT(payload.size(), data.size());
    }
    EXPECT_EQ(decode(payload, params.window_bits, params.lookahead_bits), data);
    // Resumable at every input byte, with output taken in awkward pieces.
    EXPECT_EQ(decode(payload, params.window_bits, params.lookahead_bits, 1, 7), data);
    EXPECT_EQ(decode(payload, params.window_bits, params.lookahead_bits, 13, 1), data);
    EXPECT_EQ(decode(payload, params.window_bits, params.lookahead_bits, 1000, 65536), data);
}

INSTANTIATE_TEST_SUITE_P(Parameters, LzssRoundTrip,
                         testing::Combine(testing::Values(RoundTrip{4, 3}, RoundTrip{8, 4}, RoundTrip{9, 8},
                                                          RoundTrip{10, 4}, RoundTrip{12, 4}, RoundTrip{12, 9},
                                                          RoundTrip{13, 12}, RoundTrip{15, 14}),
                                          testing::Values(0, 1, 2)));

}  // namespace
}  // namespace tolvar::stream
