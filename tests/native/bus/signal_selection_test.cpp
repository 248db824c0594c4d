// Which signals a frame carries and which frames a message takes:
// multiplexers simple, extended and cascaded, with several ranges per
// value, signed, unknown and truncated; J1939 parameter group numbers;
// databases per channel; frame kinds; value names; tables that grow past
// the size where their memory is mapped; validity bitmaps.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "bus/frame.h"
#include "bus/signal_decoder.h"
#include "signal_test_util.h"

namespace tolvar::bus {
namespace {

using namespace testing;
using T = SignalValueType;
using Values = std::vector<std::optional<double>>;

// Decodes the frames and gives each table's rows as optional values.
class Decoded {
public:
    explicit Decoded(DecodeDescription d) : description_(std::move(d)) {
        std::string error;
        EXPECT_TRUE(SignalProgram::compile(description_, program_, error)) << error;
        decoder_ = std::make_unique<SignalDecoder>(program_);
    }
    void add(const CanFrameView& f) { ASSERT_TRUE(decoder_->append(f)); }
    const MessageTable& table(size_t t = 0) const { return decoder_->tables()[t]; }
    Values row(uint64_t r = 0, size_t t = 0) const {
        Values values;
        for (size_t c = 0; c < table(t).column_count(); ++c) {
            if (table(t).kind(c) == ColumnKind::kCode) {
                const int32_t code = table(t).codes(c)[r];
                values.push_back(code < 0 ? std::nullopt : std::optional<double>(code));
                continue;
            }
            const double v = table(t).values(c)[r];
            values.push_back(is_absent(v) ? std::nullopt : std::optional<double>(v));
        }
        return values;
    }
    const SignalProgram& program() const { return program_; }

private:
    DecodeDescription description_;
    SignalProgram program_;
    std::unique_ptr<SignalDecoder> decoder_;
};

constexpr std::nullopt_t kAbsent = std::nullopt;

// A multiplexer in byte 0 and signals in bytes 1 to 3 selected by it.
DecodeDescription simple_multiplexing() {
    return database({message("M", 0x100, 8,
                             {signal("mux", 0, 8), signal("always", 32, 8),
                              muxed(signal("a", 8, 8), "mux", {{1, 1}}), muxed(signal("b", 8, 8), "mux", {{2, 2}}),
                              muxed(signal("c", 16, 8), "mux", {{1, 3}, {7, 7}}),
                              muxed(signal("d", 24, 8), "mux", {{10, 12}, {20, 29}, {5, 5}}),
                              muxed(signal("never", 24, 8), "mux", {})})});
}

struct MuxCase {
    uint8_t mux;
    Values expected;  // mux, always, a, b, c, d, never
};

class SimpleMultiplexing : public ::testing::TestWithParam<MuxCase> {};

TEST_P(SimpleMultiplexing, SelectsItsSignals) {
    Decoded run(simple_multiplexing());
    Payload p({GetParam().mux, 0x11, 0x22, 0x33, 0x44});
    run.add(frame(p, 8));
    EXPECT_EQ(run.row(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SimpleMultiplexing,
    ::testing::Values(MuxCase{1, {1, 0x44, 0x11, kAbsent, 0x22, kAbsent, kAbsent}},
                      MuxCase{2, {2, 0x44, kAbsent, 0x11, 0x22, kAbsent, kAbsent}},
                      MuxCase{3, {3, 0x44, kAbsent, kAbsent, 0x22, kAbsent, kAbsent}},
                      MuxCase{7, {7, 0x44, kAbsent, kAbsent, 0x22, kAbsent, kAbsent}},
                      MuxCase{5, {5, 0x44, kAbsent, kAbsent, kAbsent, 0x33, kAbsent}},
                      MuxCase{11, {11, 0x44, kAbsent, kAbsent, kAbsent, 0x33, kAbsent}},
                      MuxCase{29, {29, 0x44, kAbsent, kAbsent, kAbsent, 0x33, kAbsent}},
                      // Values no signal names: only the multiplexed signals go.
                      MuxCase{0, {0, 0x44, kAbsent, kAbsent, kAbsent, kAbsent, kAbsent}},
                      MuxCase{13, {13, 0x44, kAbsent, kAbsent, kAbsent, kAbsent, kAbsent}},
                      MuxCase{255, {255, 0x44, kAbsent, kAbsent, kAbsent, kAbsent, kAbsent}}));

// Extended multiplexing: a multiplexer selected by another, three levels
// deep, listed children first so that order of evaluation is the program's.
DecodeDescription cascaded() {
    return database({message("M", 0x100, 8,
                             {muxed(signal("leaf", 24, 8), "inner", {{5, 6}}),
                              muxed(signal("inner", 16, 8), "middle", {{3, 3}, {8, 9}}),
                              muxed(signal("middle", 8, 8), "outer", {{1, 1}}), signal("outer", 0, 8),
                              muxed(signal("other", 24, 8), "inner", {{7, 7}})})});
}

TEST(SignalSelectionTest, CascadedMultiplexers) {
    Decoded run(cascaded());
    const std::vector<std::pair<std::vector<uint8_t>, Values>> cases = {
        {{1, 3, 5, 0x44}, {0x44, 5, 3, 1, kAbsent}},
        {{1, 9, 6, 0x44}, {0x44, 6, 9, 1, kAbsent}},
        {{1, 8, 7, 0x44}, {kAbsent, 7, 8, 1, 0x44}},
        {{1, 4, 5, 0x44}, {kAbsent, kAbsent, 4, 1, kAbsent}},       // middle selects no inner
        {{2, 3, 5, 0x44}, {kAbsent, kAbsent, kAbsent, 2, kAbsent}},  // outer selects no middle: all below go
        {{1, 3, 0, 0x44}, {kAbsent, 0, 3, 1, kAbsent}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        Payload p(cases[i].first);
        run.add(frame(p, 8));
        EXPECT_EQ(run.row(i), cases[i].second) << i;
    }
    // Frames too short for a multiplexer lose what it selects.
    Payload p({1, 3, 5, 0x44});
    run.add(frame(p, 1));
    EXPECT_EQ(run.row(cases.size()), (Values{kAbsent, kAbsent, kAbsent, 1, kAbsent}));
    run.add(frame(p, 2));
    EXPECT_EQ(run.row(cases.size() + 1), (Values{kAbsent, kAbsent, 3, 1, kAbsent}));
    run.add(frame(p, 3));
    EXPECT_EQ(run.row(cases.size() + 2), (Values{kAbsent, 5, 3, 1, kAbsent}));
}

TEST(SignalSelectionTest, SignedMultiplexer) {
    const auto m = message("M", 0x100, 8,
                           {signal("mux", 0, 8, kLittle, T::kSigned), muxed(signal("neg", 8, 8), "mux", {{-3, -1}}),
                            muxed(signal("around", 16, 8), "mux", {{-1, 1}})});
    Decoded run(database({m}));
    for (uint8_t mux : {0xFD, 0xFF, 0x00, 0x01, 0x02, 0x80}) {
        Payload p({mux, 0x11, 0x22});
        run.add(frame(p, 8));
    }
    EXPECT_EQ(run.row(0), (Values{-3, 0x11, kAbsent}));
    EXPECT_EQ(run.row(1), (Values{-1, 0x11, 0x22}));
    EXPECT_EQ(run.row(2), (Values{0, kAbsent, 0x22}));
    EXPECT_EQ(run.row(3), (Values{1, kAbsent, 0x22}));
    EXPECT_EQ(run.row(4), (Values{2, kAbsent, kAbsent}));
    EXPECT_EQ(run.row(5), (Values{-128, kAbsent, kAbsent}));
}

// A multiplexer that is no column still selects; a scaled one selects by
// its raw value.
TEST(SignalSelectionTest, MultiplexerNotAColumnAndScaled) {
    auto mux = signal("mux", 0, 8, kLittle, T::kUnsigned, 10.0, 5.0);
    mux.column = false;
    Decoded run(database({message("M", 0x100, 8, {mux, muxed(signal("a", 8, 8), "mux", {{2, 2}})})}));
    Payload p({2, 0x11});
    run.add(frame(p, 8));
    EXPECT_EQ(run.row(), (Values{0x11}));
    ASSERT_EQ(run.program().table(0).columns.size(), 1u);
    EXPECT_EQ(run.program().table(0).columns[0].signal, 1u);
}

TEST(SignalSelectionTest, J1939ByParameterGroupNumber) {
    // PDU2 (format 0xFE): the PS byte is part of the group number. PDU1
    // (format 0xEA): the PS byte is a destination address and ignored.
    const auto pdu2 = message("Pdu2", 0x18FEF100, 8, {signal("x", 0, 8)}, true, true);
    const auto pdu1 = message("Pdu1", 0x18EAFF00, 8, {signal("y", 0, 8)}, true, true);
    const auto plain = message("Plain", 0x18FEF200, 8, {signal("z", 0, 8)}, true, false);
    Decoded run(database({pdu2, pdu1, plain}));
    Payload p({0x42});
    for (uint32_t id : {0x0CFEF117u, 0x18FEF100u, 0x1CEA2517u, 0x18EAFFFEu, 0x18FEF201u, 0x18FEF200u, 0x18FEF000u}) {
        run.add(frame(p, 8, id, 1, 1u << kFlagExtended));
    }
    // A standard frame never matches a J1939 message.
    run.add(frame(p, 8, 0x100, 1, 0));
    ASSERT_EQ(run.table(0).rows(), 2u);
    EXPECT_EQ(run.table(0).source_address()[0], 0x17);
    EXPECT_EQ(run.table(0).source_address()[1], 0x00);
    ASSERT_EQ(run.table(1).rows(), 2u);
    EXPECT_EQ(run.table(1).source_address()[0], 0x17);
    EXPECT_EQ(run.table(1).source_address()[1], 0xFE);
    EXPECT_EQ(run.table(2).rows(), 1u);  // a plain message matches its identifier only
    EXPECT_EQ(run.table(2).source_address(), nullptr);
}

TEST(SignalSelectionTest, DatabasesPerChannelAndFrameKinds) {
    DecodeDescription d;
    d.databases.push_back({{message("OnOne", 0x100, 8, {signal("a", 0, 8)})}, false, {1}});
    d.databases.push_back({{message("OnTwo", 0x100, 8, {signal("b", 0, 8)}),
                            message("Extended", 0x100, 8, {signal("c", 0, 8)}, true)},
                           false,
                           {2, 5}});
    Decoded run(std::move(d));
    Payload p({9});
    run.add(frame(p, 8, 0x100, 1));
    run.add(frame(p, 8, 0x100, 2));
    run.add(frame(p, 8, 0x100, 5, 1u << kFlagFd));
    run.add(frame(p, 8, 0x100, 5, 1u << kFlagExtended));
    run.add(frame(p, 8, 0x100, 3));                          // no database on CAN 3
    run.add(frame(p, 8, 0x100, 256 + 1));                    // LIN 1
    run.add(frame(p, 8, 0x100, 1, 1u << kFlagRemote));
    run.add(frame(p, 8, 0x100, 1, 1u << kFlagError));
    run.add(frame(p, 8, 0x101, 1));
    EXPECT_EQ(run.table(0).rows(), 1u);
    ASSERT_EQ(run.table(1).rows(), 2u);
    EXPECT_EQ(run.table(1).channel()[0], 2);
    EXPECT_EQ(run.table(1).channel()[1], 5);
    EXPECT_EQ(run.table(1).timestamp()[1], 1.5);
    EXPECT_EQ(run.table(2).rows(), 1u);
}

TEST(SignalSelectionTest, ValueNames) {
    auto s = signal("state", 0, 8, kLittle, T::kSigned);
    s.value_names = {{3, "three"}, {static_cast<uint64_t>(-1), "minus"}, {1, "one"}, {7, "one"}, {3, "again"}};
    auto f = signal("f", 8, 32, kLittle, T::kFloat);
    f.value_names = {{2, "two"}};
    auto mux = signal("mux", 40, 8);
    mux.value_names = {{0, "zero"}};
    const auto m = message("M", 0x100, 8, {s, f, mux, muxed(signal("sel", 48, 8), "mux", {{0, 0}})});
    Decoded run(database({m}, true));
    const TableInfo& info = run.program().table(0);
    ASSERT_EQ(info.columns[0].kind, ColumnKind::kCode);
    EXPECT_EQ(info.columns[0].value_names, (std::vector<std::string>{"minus", "one", "three"}));
    const std::vector<std::vector<uint8_t>> payloads = {{3, 0, 0, 0, 0x40, 0}, {0xFF, 0, 0, 0, 0, 1},
                                                        {7, 0, 0, 0x20, 0x40, 0}, {2, 0, 0, 0x10, 0x40, 0}};
    for (const auto& bytes : payloads) {
        Payload p(bytes);
        run.add(frame(p, 8));
    }
    Payload p({1});
    run.add(frame(p, 1));  // the float is absent: null too
    EXPECT_EQ(run.row(0), (Values{2, 0, 0, 0}));  // 2.0f is "two"; the mux selects by raw value
    EXPECT_EQ(run.row(1), (Values{0, kAbsent, kAbsent, kAbsent}));
    EXPECT_EQ(run.row(2), (Values{1, kAbsent, 0, 0}));  // 2.5f has no name
    EXPECT_EQ(run.row(3), (Values{kAbsent, kAbsent, 0, 0}));
    EXPECT_EQ(run.row(4), (Values{1, kAbsent, kAbsent, kAbsent}));
}

// Rows past the first allocations and past the size where a column becomes
// a mapping keep their values; the bitmaps agree with the absent values.
TEST(SignalSelectionTest, GrowthAndValidity) {
    Decoded run(database({message("M", 0x100, 8, {signal("a", 0, 32), signal("b", 32, 32)})}));
    constexpr uint32_t kRows = 700000;  // 5.6 MB of float64 per column
    Payload p;
    for (uint32_t i = 0; i < kRows; ++i) {
        std::memcpy(p.data(), &i, 4);
        run.add(frame(p, i % 3 == 0 ? 4 : 8, 0x100, 1, 0, i));
    }
    const MessageTable& t = run.table();
    ASSERT_EQ(t.rows(), kRows);
    std::vector<uint8_t> bitmap((kRows + 7) / 8, 0xEE);
    EXPECT_EQ(value_validity(t.values(1), kRows, bitmap.data()), (kRows + 2) / 3);
    for (uint32_t i = 0; i < kRows; ++i) {
        ASSERT_EQ(t.values(0)[i], i);
        ASSERT_EQ(t.timestamp()[i], i);
        ASSERT_EQ(is_absent(t.values(1)[i]), i % 3 == 0);
        ASSERT_EQ((bitmap[i / 8] >> (i % 8) & 1) != 0, i % 3 != 0) << i;
    }
    const int32_t codes[10] = {0, -1, 3, -1, -1, 2, 0, 0, -1, 1};
    uint8_t bits[2] = {0xEE, 0xEE};
    EXPECT_EQ(code_validity(codes, 10, bits), 4u);
    EXPECT_EQ(bits[0], 0b11100101);
    EXPECT_EQ(bits[1], 0b10);
}

}  // namespace
}  // namespace tolvar::bus
