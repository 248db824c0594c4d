// Compiling a database: every description decoding could not read safely is
// refused with a reason naming what is wrong; multiplexers come before what
// they select; the message look-up by identifier, extended or not, and by
// J1939 parameter group number.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "bus/message_lookup.h"
#include "bus/signal_program.h"
#include "signal_test_util.h"

namespace tolvar::bus {
namespace {

using namespace testing;
using T = SignalValueType;

struct Refusal {
    const char* what;
    std::function<void(DecodeDescription&)> change;
    const char* reason;  // part of the error
};

DecodeDescription valid() {
    return database({message("Engine", 0x123, 8,
                             {signal("Mux", 0, 4), muxed(signal("Speed", 8, 16), "Mux", {{1, 1}}),
                              signal("Temp", 39, 8, kBig, T::kSigned, 0.5, -40)})});
}

SignalDescription& speed(DecodeDescription& d) { return d.databases[0].messages[0].signals[1]; }

class SignalProgramRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(SignalProgramRefusal, NamesTheReason) {
    DecodeDescription d = valid();
    GetParam().change(d);
    SignalProgram program;
    std::string error;
    EXPECT_FALSE(SignalProgram::compile(d, program, error));
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
    // A refused program decodes nothing, whatever it is asked.
    EXPECT_EQ(program.table_count(), 0u);
    EXPECT_EQ(program.find(1, 0x123, false), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, SignalProgramRefusal,
    ::testing::Values(
        Refusal{"standard id", [](auto& d) { d.databases[0].messages[0].frame_id = 0x800; }, "too large for a standard"},
        Refusal{"extended id",
                [](auto& d) {
                    d.databases[0].messages[0].extended = true;
                    d.databases[0].messages[0].frame_id = 0x20000000;
                },
                "too large for an extended"},
        Refusal{"long message", [](auto& d) { d.databases[0].messages[0].length = 65; }, "65 bytes long"},
        Refusal{"empty signal", [](auto& d) { speed(d).length = 0; }, "signal 'Speed' of message 'Engine' is 0 bits"},
        Refusal{"long signal", [](auto& d) { speed(d).length = 65; }, "65 bits long"},
        Refusal{"float length",
                [](auto& d) {
                    speed(d).type = T::kFloat;
                    speed(d).length = 24;
                },
                "a float of 24 bits"},
        Refusal{"past byte 64 little", [](auto& d) { speed(d).start = 500; }, "runs past byte 64"},
        Refusal{"past byte 64 big",
                [](auto& d) {
                    speed(d).byte_order = kBig;
                    speed(d).start = 496;  // most significant bit at 503: 16 bits run to 519
                },
                "runs past byte 64"},
        Refusal{"start past byte 64", [](auto& d) { speed(d).start = 512; }, "runs past byte 64"},
        Refusal{"NaN scale", [](auto& d) { speed(d).scale = std::nan(""); }, "NaN"},
        Refusal{"NaN offset", [](auto& d) { speed(d).offset = std::nan(""); }, "NaN"},
        Refusal{"same name", [](auto& d) { speed(d).name = "Temp"; }, "two signals named 'Temp'"},
        Refusal{"missing multiplexer", [](auto& d) { speed(d).multiplexer = "Gear"; }, "'Gear', which the message"},
        Refusal{"float multiplexer",
                [](auto& d) {
                    auto& mux = d.databases[0].messages[0].signals[0];
                    mux.type = T::kFloat;
                    mux.length = 32;
                },
                "a floating-point signal"},
        Refusal{"itself", [](auto& d) { speed(d).multiplexer = "Speed"; }, "cycle of multiplexers"},
        Refusal{"cycle",
                [](auto& d) {
                    auto& signals = d.databases[0].messages[0].signals;
                    signals[0] = muxed(signals[0], "Temp", {{0, 0}});
                    signals[2] = muxed(signals[2], "Speed", {{0, 0}});
                },
                "cycle of multiplexers"},
        Refusal{"reversed range", [](auto& d) { speed(d).selector = {{5, 4}}; }, "low end is above its high end"},
        Refusal{"no CAN channel",
                [](auto& d) {
                    d.databases[0].every_channel = false;
                    d.databases[0].channels = {256};
                },
                "no CAN channel"},
        Refusal{"two databases", [](auto& d) { d.databases.push_back(d.databases[0]); }, "served by two databases"}),
    [](const auto& info) {
        std::string name = info.param.what;
        for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(SignalProgramTest, GroupsMultiplexersFirst) {
    DecodeDescription d = database({message(
        "M", 0x100, 16,
        {muxed(signal("leaf", 24, 8), "inner", {{7, 7}, {1, 2}, {3, 3}}), muxed(signal("inner", 16, 8), "outer", {{1, 1}}),
         signal("outer", 0, 8), muxed(signal("twin", 32, 8), "inner", {{1, 3}, {7, 7}}), signal("plain", 40, 8)})});
    SignalProgram program;
    std::string error;
    ASSERT_TRUE(SignalProgram::compile(d, program, error)) << error;
    const MessageProgram& m = program.message(0);
    ASSERT_EQ(m.group_count, 3u);  // leaf and twin share a group: their ranges merge to the same
    EXPECT_EQ(m.slot_count, 2u);
    EXPECT_EQ(m.needs, 6u);
    const SignalGroup* g = program.groups() + m.first_group;
    EXPECT_EQ(g[0].mux_slot, kNoSlot);
    EXPECT_EQ(g[0].step_count, 2u);  // outer, plain
    EXPECT_EQ(g[1].step_count, 1u);  // inner
    EXPECT_EQ(g[2].step_count, 2u);  // leaf, twin
    ASSERT_EQ(g[2].ranges_count, 2u);
    EXPECT_EQ(program.ranges()[g[2].ranges_begin].low, 1u);
    EXPECT_EQ(program.ranges()[g[2].ranges_begin].high, 3u);
    EXPECT_EQ(program.ranges()[g[2].ranges_begin + 1].low, 7u);
    // Each group's multiplexer is decoded in an earlier group.
    const SignalStep* steps = program.steps();
    EXPECT_EQ(steps[g[0].first_step].mux_slot, g[1].mux_slot);
    EXPECT_EQ(steps[g[1].first_step].mux_slot, g[2].mux_slot);
    // Columns keep the message's order of signals.
    std::vector<uint32_t> order;
    for (const TableColumn& c : program.table(0).columns) order.push_back(c.signal);
    EXPECT_EQ(order, (std::vector<uint32_t>{0, 1, 2, 3, 4}));
}

TEST(SignalProgramTest, LoadsStayWithinTheFirst64Bytes) {
    // Every signal of every position: its load of 8 bytes, and the 9th byte
    // of a wide read, lie within 64 bytes; the signal within its load.
    for (SignalByteOrder order : {kLittle, kBig}) {
        std::vector<SignalDescription> signals;
        for (uint32_t length = 1; length <= 64; ++length) {
            for (uint32_t start = 0; start < 512; ++start) {
                const uint32_t first = order == kLittle ? start : 8 * (start / 8) + 7 - start % 8;
                if (first + length <= 512) {
                    signals.push_back(signal(std::to_string(length) + "_" + std::to_string(start), start, length, order));
                }
            }
        }
        SignalProgram program;
        std::string error;
        ASSERT_TRUE(SignalProgram::compile(database({message("M", 1, 64, signals)}), program, error)) << error;
        for (size_t i = 0; i < signals.size(); ++i) {
            const SignalStep& s = program.steps()[i];
            const bool wide = s.read == SignalRead::kLittleWide || s.read == SignalRead::kBigWide;
            ASSERT_LE(s.at + 8 + (wide ? 1 : 0), 64) << signals[i].name;
            ASSERT_LE(s.end, 64) << signals[i].name;
            ASSERT_GT(s.end, s.at) << signals[i].name;
        }
    }
}

TEST(MessageLookupTest, FindsByIdentifierAndGroupNumber) {
    MessageLookup lookup;
    ASSERT_TRUE(lookup.build({{0x100, false, false},
                              {0x100, true, false},
                              {0x7FF, false, false},
                              {0x18FEF100, true, true},
                              {0x18EA00FE, true, true},
                              {0x1FFFFFFF, true, false},
                              {0x100, false, false}}));  // a later message of an identifier wins
    EXPECT_EQ(lookup.find(0x100, false), 6);
    EXPECT_EQ(lookup.find(0x100, true), 1);
    EXPECT_EQ(lookup.find(0x7FF, false), 2);
    EXPECT_EQ(lookup.find(0x800, false), -1);
    EXPECT_EQ(lookup.find(0x7FF, true), -1);
    EXPECT_EQ(lookup.find(0x1FFFFFFF, true), 5);
    EXPECT_EQ(lookup.find(0x18FEF100, true), 3);
    EXPECT_EQ(lookup.find(0x04FEF1AB, true), 3);  // priority and source address ignored
    EXPECT_EQ(lookup.find(0x18FEF2AB, true), -1);
    EXPECT_EQ(lookup.find(0x18EA55AB, true), 4);  // destination address ignored below format 240
    EXPECT_EQ(lookup.find(0x19EA55AB, true), -1);  // data page differs
    EXPECT_EQ(lookup.find(0x18FEF100, false), -1);

    // Many extended identifiers, all found, none found that is not there.
    std::vector<MessageLookup::Key> keys;
    for (uint32_t i = 0; i < 5000; ++i) keys.push_back({i * 104729u & 0x1FFFFFFFu, true, false});
    ASSERT_TRUE(lookup.build(keys));
    for (uint32_t i = 0; i < 5000; ++i) ASSERT_EQ(lookup.find(keys[i].frame_id, true), static_cast<int32_t>(i));
    EXPECT_EQ(lookup.find(0x1FFFFFFE, true), -1);
    EXPECT_EQ(lookup.find(0x100, false), -1);
}

}  // namespace
}  // namespace tolvar::bus
