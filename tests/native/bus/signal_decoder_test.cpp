// Signals decoded from frames: hand-worked values of both byte orders, every
// bit position and length against a bit-by-bit reading, signed and float
// values, scale and offset, payloads to 64 bytes, short and long frames,
// multiplexers simple, extended and cascaded, J1939, channels, value names
// and the validity bitmaps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bus/frame.h"
#include "bus/signal_decoder.h"
#include "signal_test_util.h"

namespace tolvar::bus {
namespace {

using namespace testing;
using T = SignalValueType;

// A compiled program and its decoder, for frames of a test.
struct Decoding {
    explicit Decoding(const DecodeDescription& d) {
        std::string error;
        compiled = SignalProgram::compile(d, program, error);
        EXPECT_TRUE(compiled) << error;
        decoder = std::make_unique<SignalDecoder>(program);
    }
    void add(const CanFrameView& f) { ASSERT_TRUE(decoder->append(f)); }
    const MessageTable& table(size_t i = 0) const { return decoder->tables()[i]; }
    // Row `row` of value column `c` of table `t`, absent as nullopt.
    std::optional<double> value(size_t c, uint64_t row = 0, size_t t = 0) const {
        const double v = table(t).values(c)[row];
        if (is_absent(v)) return std::nullopt;
        return v;
    }

    SignalProgram program;
    bool compiled = false;
    std::unique_ptr<SignalDecoder> decoder;
};

std::optional<double> decode_one(const SignalDescription& s, const std::vector<uint8_t>& bytes, uint32_t length = 8) {
    Decoding d(database({message("M", 0x100, length, {s})}));
    Payload p(bytes);
    d.add(frame(p, static_cast<uint8_t>(length)));
    return d.value(0);
}

TEST(SignalDecoderTest, HandWorkedValues) {
    const std::vector<uint8_t> b{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    EXPECT_EQ(decode_one(signal("s", 0, 16), b), 0x0201);
    EXPECT_EQ(decode_one(signal("s", 4, 8), b), 0x20);        // high nibble of byte 0, low of byte 1
    EXPECT_EQ(decode_one(signal("s", 7, 16, kBig), b), 0x0102);
    EXPECT_EQ(decode_one(signal("s", 3, 8, kBig), b), 0x10);  // bits 3..0 of byte 0, then 7..4 of byte 1
    EXPECT_EQ(decode_one(signal("s", 63, 8, kBig), b), 0x08);   // byte 7 whole
    EXPECT_EQ(decode_one(signal("s", 60, 8, kBig), b), std::nullopt);  // bits 4..0 of byte 7, then past the message
    EXPECT_EQ(decode_one(signal("s", 60, 5, kBig), b), 0x08);
    EXPECT_EQ(decode_one(signal("s", 7, 64, kBig), b), 0x0102030405060708.p0);
    EXPECT_EQ(decode_one(signal("s", 0, 64), b), 0x0807060504030201.p0);
    EXPECT_EQ(decode_one(signal("s", 0, 8, kLittle, T::kSigned), {0xFF}), -1.0);
    EXPECT_EQ(decode_one(signal("s", 0, 12, kLittle, T::kSigned), {0x00, 0x08}), -2048.0);
    EXPECT_EQ(decode_one(signal("s", 0, 12, kLittle, T::kSigned), {0xFF, 0x07}), 2047.0);
    EXPECT_EQ(decode_one(signal("s", 0, 64, kLittle, T::kSigned), std::vector<uint8_t>(8, 0xFF)), -1.0);
    EXPECT_EQ(decode_one(signal("s", 0, 64), std::vector<uint8_t>(8, 0xFF)), 18446744073709551615.0);
    EXPECT_EQ(decode_one(signal("s", 0, 32, kLittle, T::kFloat), {0x00, 0x00, 0xC0, 0x3F}), 1.5);
    EXPECT_EQ(decode_one(signal("s", 7, 32, kBig, T::kFloat), {0x3F, 0xC0, 0x00, 0x00}), 1.5);
    EXPECT_EQ(decode_one(signal("s", 0, 64, kLittle, T::kFloat), {0, 0, 0, 0, 0, 0, 0xF8, 0xBF}), -1.5);
    EXPECT_EQ(decode_one(signal("s", 7, 64, kBig, T::kFloat), {0xBF, 0xF8, 0, 0, 0, 0, 0, 0}), -1.5);
    EXPECT_EQ(decode_one(signal("s", 0, 16, kLittle, T::kFloat), {0x00, 0x3E}), 1.5);  // binary16
    EXPECT_EQ(decode_one(signal("s", 0, 16, kLittle, T::kFloat), {0x01, 0x80}), -std::ldexp(1.0, -24));
    EXPECT_EQ(decode_one(signal("s", 0, 16, kLittle, T::kFloat), {0x00, 0xFC}), -HUGE_VAL);
}

TEST(SignalDecoderTest, ScaleAndOffset) {
    // raw 7 * -0.5 + 3.25, both steps exact.
    EXPECT_EQ(decode_one(signal("s", 0, 8, kLittle, T::kUnsigned, -0.5, 3.25), {7}), -0.25);
    // raw -3 * 0.25 - 100.
    EXPECT_EQ(decode_one(signal("s", 0, 8, kLittle, T::kSigned, 0.25, -100.0), {0xFD}), -100.75);
    // Two roundings, as Python computes 3 * 0.3 + 0.1 (a fused multiply-add gives 1.0).
    EXPECT_EQ(decode_one(signal("s", 0, 8, kLittle, T::kUnsigned, 0.3, 0.1), {3}), 0.9999999999999999);
    // A float's raw value is scaled too; unscaled it keeps its sign of zero.
    EXPECT_EQ(decode_one(signal("s", 0, 32, kLittle, T::kFloat, 2.0, 1.0), {0x00, 0x00, 0xC0, 0x3F}), 4.0);
    const auto negative_zero = decode_one(signal("s", 0, 32, kLittle, T::kFloat), {0x00, 0x00, 0x00, 0x80});
    ASSERT_TRUE(negative_zero);
    EXPECT_TRUE(std::signbit(*negative_zero));
    // A NaN on the bus is a NaN, never an absent value.
    const auto nan = decode_one(signal("s", 0, 64, kLittle, T::kFloat), {0x00, 0xDE, 0xC0, 0xDE, 0, 0, 0xF8, 0x7F});
    ASSERT_TRUE(nan);
    EXPECT_TRUE(std::isnan(*nan));
}

// Every start bit and length of both byte orders in a 64-byte payload of
// random bytes, against the bit-by-bit reading; each signed as well. A
// payload of mostly zero bytes too, so that values of 54 bits and more often
// fit a double exactly and their lowest bits count.
class EveryPositionAndLength : public ::testing::TestWithParam<int> {};

TEST_P(EveryPositionAndLength, MatchesTheBitsOneByOne) {
    std::mt19937_64 random(7);
    Payload p;
    for (int i = 0; i < 64; ++i) p.data()[i] = random() % GetParam() == 0 ? static_cast<uint8_t>(random()) : 0;
    for (SignalByteOrder order : {kLittle, kBig}) {
        for (uint32_t length = 1; length <= 64; ++length) {
            std::vector<SignalDescription> signals;
            for (uint32_t start = 0; start < 512; ++start) {
                // Where the signal's bits run in the numbering of its order.
                const uint32_t first = order == kLittle ? start : 8 * (start / 8) + 7 - start % 8;
                if (first + length > 512) continue;
                signals.push_back(signal("u" + std::to_string(start), start, length, order));
                signals.push_back(signal("s" + std::to_string(start), start, length, order, T::kSigned));
            }
            Decoding d(database({message("M", 0x100, 64, signals)}));
            d.add(frame(p, 64));
            for (size_t c = 0; c < signals.size(); ++c) {
                const SignalDescription& s = signals[c];
                const uint64_t raw = bits_one_by_one(p.data(), s.start, length, order);
                double expected = static_cast<double>(raw);
                if (s.type == T::kSigned && length < 64 && (raw >> (length - 1)) != 0) {
                    expected = static_cast<double>(static_cast<int64_t>(raw) - static_cast<int64_t>(uint64_t{1} << (length - 1)) -
                                                   static_cast<int64_t>(uint64_t{1} << (length - 1)));
                } else if (s.type == T::kSigned && length == 64) {
                    expected = static_cast<double>(static_cast<int64_t>(raw));
                }
                ASSERT_EQ(d.value(c), expected) << s.name << " length " << length << " order " << int(order);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Payloads, EveryPositionAndLength, ::testing::Values(1, 8),
                         [](const auto& info) { return info.param == 1 ? "random" : "sparse"; });

// Bytes past the frame's length, and past the message's, never change a
// value; a signal lying past either is absent, the others stay.
TEST(SignalDecoderTest, ShortAndLongFrames) {
    const auto m = message("M", 0x100, 8,
                           {signal("a", 0, 16), signal("b", 16, 16), signal("c", 55, 16, kBig), signal("d", 48, 16)});
    for (uint8_t length = 0; length <= 12; ++length) {
        for (uint8_t fill : {0x00, 0xA5, 0xFF}) {
            Decoding d(database({m}));
            Payload p({1, 2, 3, 4, 5, 6, 7, 8}, fill);
            for (int i = length; i < 64; ++i) p.data()[i] = fill;
            d.add(frame(p, length));
            ASSERT_EQ(d.table().rows(), 1u);
            EXPECT_EQ(d.value(0), length >= 2 ? std::optional<double>(0x0201) : std::nullopt) << int(length);
            EXPECT_EQ(d.value(1), length >= 4 ? std::optional<double>(0x0403) : std::nullopt) << int(length);
            EXPECT_EQ(d.value(2), length >= 8 ? std::optional<double>(0x0708) : std::nullopt) << int(length);
            EXPECT_EQ(d.value(3), length >= 8 ? std::optional<double>(0x0807) : std::nullopt) << int(length);
        }
    }
    // A message of 4 bytes: frames of 8 bytes are read as 4.
    Decoding d(database({message("M", 0x100, 4, {signal("a", 0, 32), signal("past", 32, 8)})}));
    Payload p({1, 2, 3, 4, 5, 6, 7, 8});
    d.add(frame(p, 8));
    EXPECT_EQ(d.value(0), 0x04030201);
    EXPECT_EQ(d.value(1), std::nullopt);
}

TEST(SignalDecoderTest, FdPayloadsToTheLastByte) {
    const auto m = message("M", 0x100, 64,
                           {signal("last", 504, 8), signal("last_big", 511, 8, kBig), signal("tail", 448, 64),
                            signal("tail_big", 455, 64, kBig), signal("wide", 3, 64), signal("wide_big", 4, 64, kBig),
                            signal("wide_end", 445, 64), signal("wide_end_big", 443, 64, kBig)});
    Decoding d(database({m}));
    Payload p;
    for (int i = 0; i < 64; ++i) p.data()[i] = static_cast<uint8_t>(i * 37 + 11);
    d.add(frame(p, 64));
    for (size_t c = 0; c < m.signals.size(); ++c) {
        const SignalDescription& s = m.signals[c];
        EXPECT_EQ(d.value(c), static_cast<double>(bits_one_by_one(p.data(), s.start, s.length, s.byte_order)))
            << s.name;
    }
    EXPECT_EQ(d.value(0), static_cast<uint8_t>(63 * 37 + 11));
    // 63 bytes: only the signals ending before the last byte remain.
    Decoding short_frame(database({m}));
    short_frame.add(frame(p, 63));
    for (size_t c : {0, 1, 2, 3, 6, 7}) EXPECT_EQ(short_frame.value(c), std::nullopt) << m.signals[c].name;
    EXPECT_TRUE(short_frame.value(4) && short_frame.value(5));
}

// Rows wait in a batch per message before their signals are decoded: frames
// of three messages interleaved, some short (their rows decoded at once, after
// the rows waiting before them), the tables read between frames, give every
// row the values its own frame holds, in the frames' order.
struct BatchCase {
    const char* name;
    MessageDescription message;
};

void PrintTo(const BatchCase& c, std::ostream* os) { *os << c.name; }

class BatchedRows : public ::testing::TestWithParam<BatchCase> {};

TEST_P(BatchedRows, EachRowHoldsItsOwnFramesValues) {
    const MessageDescription& m = GetParam().message;
    const MessageDescription other = message("Other", 0x7F0, 8, {signal("x", 0, 8)});
    Decoding d(database({m, other}));
    std::mt19937 random(5);
    std::vector<std::vector<uint8_t>> payloads;
    std::vector<uint8_t> lengths;
    const size_t count = 3 * SignalDecoder::kBatchRows + 7;
    for (size_t i = 0; i < count; ++i) {
        std::vector<uint8_t> bytes(64);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
        const uint8_t length = i % 7 == 3 ? static_cast<uint8_t>(random() % m.length) : static_cast<uint8_t>(m.length);
        Payload p(bytes);
        d.add(frame(p, length, m.frame_id, 1, m.extended ? 1 : 0, static_cast<double>(i)));
        if (i % 5 == 0) d.add(frame(p, 8, 0x7F0));
        if (i == SignalDecoder::kBatchRows + 1) {
            EXPECT_EQ(d.table(0).rows(), i + 1);  // read between frames
        }
        payloads.push_back(bytes);
        lengths.push_back(length);
    }
    const MessageTable& table = d.table(0);
    ASSERT_EQ(table.rows(), count);
    for (size_t row = 0; row < count; ++row) {
        ASSERT_EQ(table.timestamp()[row], static_cast<double>(row));
        for (size_t c = 0; c < m.signals.size(); ++c) {
            const SignalDescription& s = m.signals[c];
            const uint32_t first = s.byte_order == kBig ? 8 * (s.start / 8) + 7 - s.start % 8 : s.start;
            bool present = (first + s.length + 7) / 8 <= lengths[row];
            if (!s.multiplexer.empty()) {
                const uint64_t selector = payloads[row][0] & 0x3;
                present = present && lengths[row] >= 1 && selector == s.selector[0].low;
            }
            uint64_t raw = bits_one_by_one(payloads[row].data(), s.start, s.length, s.byte_order);
            if (s.type == T::kSigned && s.length < 64 && (raw >> (s.length - 1)) != 0) raw |= ~uint64_t{0} << s.length;
            const double number = s.type == T::kSigned ? static_cast<double>(static_cast<int64_t>(raw))
                                                       : static_cast<double>(raw);
            const std::optional<double> expected =
                present ? std::optional<double>(number * s.scale + s.offset) : std::nullopt;
            ASSERT_EQ(d.value(c, row), expected) << s.name << " row " << row;
        }
    }
    EXPECT_EQ(d.table(1).rows(), (count + 4) / 5);
}

// Scales and offsets exact in binary, so that the reference's arithmetic
// gives the decoder's bits.
INSTANTIATE_TEST_SUITE_P(
    Messages, BatchedRows,
    ::testing::Values(
        BatchCase{"classic", message("C", 0x123, 8,
                                     {signal("lu", 0, 12), signal("ls", 12, 9, kLittle, T::kSigned, 0.25, -40),
                                      signal("bu", 31, 7, kBig), signal("bs", 40, 11, kBig, T::kSigned, 2, 8),
                                      signal("whole", 0, 64)})},
        BatchCase{"fd", message("F", 0x18FF0001, 64,
                                {signal("a", 3, 30), signal("b", 260, 20, kBig, T::kSigned, 0.5, 1),
                                 signal("wide", 445, 64), signal("last", 504, 8)},
                                true)},
        BatchCase{"multiplexed", message("M", 0x200, 8,
                                         {signal("mux", 0, 2), muxed(signal("zero", 8, 16), "mux", {{0, 0}}),
                                          muxed(signal("one", 8, 12, kBig), "mux", {{1, 1}}), signal("plain", 40, 8)})}),
    [](const ::testing::TestParamInfo<BatchCase>& info) { return std::string(info.param.name); });

// A stated frame count makes room for each table once from its share of the
// first frames; the values are those of a decoder without one, whatever the
// count says (too few, far too many).
TEST(SignalDecoderTest, ExpectedFramesMakeRoomOnceAndChangeNoValue) {
    const auto d = database({message("A", 0x100, 8, {signal("a", 0, 16), signal("b", 16, 8, kBig)}),
                             message("B", 0x101, 8, {signal("c", 8, 32, kLittle, T::kSigned, 0.25)})});
    constexpr size_t kFrames = 200000;
    std::vector<Payload> payloads;
    for (int i = 0; i < 16; ++i) payloads.emplace_back(std::vector<uint8_t>(8, static_cast<uint8_t>(i * 29 + 3)));
    auto run = [&](uint64_t expected) {
        auto decoding = std::make_unique<Decoding>(d);
        if (expected != 0) decoding->decoder->expect(expected);
        for (size_t i = 0; i < kFrames; ++i) {
            decoding->add(frame(payloads[i % 16], 8, i % 4 == 3 ? 0x101 : 0x100, 1, 0, static_cast<double>(i)));
        }
        return decoding;
    };
    const auto plain = run(0);
    for (uint64_t expected : {uint64_t{kFrames}, uint64_t{kFrames / 3}, uint64_t{1} << 60}) {
        const auto hinted = run(expected);
        for (size_t t = 0; t < 2; ++t) {
            const MessageTable& got = hinted->table(t);
            const MessageTable& want = plain->table(t);
            ASSERT_EQ(got.rows(), want.rows());
            EXPECT_EQ(std::memcmp(got.timestamp(), want.timestamp(), got.rows() * 8), 0);
            for (size_t c = 0; c < got.column_count(); ++c) {
                EXPECT_EQ(std::memcmp(got.values(c), want.values(c), got.rows() * 8), 0) << expected;
            }
            if (expected == kFrames) {
                // Room for its rows and a little more, where doubling would
                // have left up to twice as many.
                EXPECT_GE(got.capacity(), got.rows());
                EXPECT_LT(got.capacity(), got.rows() + got.rows() / 8 + 256);
            }
        }
    }
    EXPECT_EQ(plain->table(0).rows(), kFrames / 4 * 3);
}

}  // namespace
}  // namespace tolvar::bus
