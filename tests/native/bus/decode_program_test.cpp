// Decoding prepared once per record group against the decoders' general
// rules: for random layouts of every decoder, with random records and signal
// entries, the frame made by the prepared steps (and, for straight CAN data
// programs, by the batch) is byte for byte the frame the decoder gives; and
// common layouts get the fast forms they are prepared for.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bus/decode_program.h"
#include "bus/frame_decoding.h"
#include "mdf/data_block.h"

namespace tolvar::bus {
namespace {

using Read = FieldStep::Read;

// A signal source for fields that own a signal entry; never read here.
mdf::SdBlock g_source;

ChannelField field(ChannelRole role, uint64_t bit_position, uint64_t bit_count, ValueKind kind = ValueKind::kUnsigned,
                   ByteOrder order = ByteOrder::kIntel) {
    ChannelField f;
    f.role = role;
    f.bit_position = bit_position;
    f.bit_count = bit_count;
    f.value_kind = kind;
    f.byte_order = order;
    return f;
}

std::vector<ChannelRole> roles_of(FrameKind kind) {
    using R = ChannelRole;
    switch (kind) {
        case FrameKind::kCanDataFrame:
            return {R::kTimestampRole, R::kCanId, R::kCanIde, R::kCanDir, R::kCanDlc, R::kCanDataLength,
                    R::kCanEdl, R::kCanBrs, R::kCanEsi, R::kCanBusChannel, R::kCanDataBytes};
        case FrameKind::kCanRemoteFrame:
            return {R::kTimestampRole, R::kCanId, R::kCanIde, R::kCanDir, R::kCanDlc, R::kCanDataLength,
                    R::kCanBusChannel};
        case FrameKind::kCanErrorFrame:
            return {R::kTimestampRole, R::kCanBusChannel, R::kCanErrorType, R::kCanId};
        case FrameKind::kLinFrame:
            return {R::kTimestampRole, R::kLinId, R::kLinBusChannel, R::kLinDataLength, R::kLinDir,
                    R::kLinReceivedDataByteCount, R::kLinDataBytes};
        case FrameKind::kNone: break;
    }
    return {};
}

bool is_payload(ChannelRole role) { return role == ChannelRole::kCanDataBytes || role == ChannelRole::kLinDataBytes; }

// A random layout for the decoder of `kind`: either every value once at a
// byte boundary, as loggers and other writers lay out their records (the
// prepared forms' home ground), or anything at all.
RecordLayout random_layout(std::mt19937_64& random, FrameKind kind, uint64_t record_length, bool plain) {
    RecordLayout layout;
    const std::vector<ChannelRole> roles = roles_of(kind);
    const uint64_t bits = record_length * 8;
    auto pick = [&](uint64_t n) { return n == 0 ? 0 : random() % n; };
    auto conversion = [&]() {
        switch (pick(plain ? 8 : 5)) {
            case 0: return Conversion::linear(1e-5, 0.25);
            case 1: return Conversion::value_table({{1, 7}, {2, 300}, {0, -1}});
            case 2: return Conversion::unsupported();
            default: return Conversion::identity();
        }
    };
    if (plain) {
        for (ChannelRole role : roles) {
            if (pick(5) == 0) continue;  // a value no field holds stays 0
            ChannelField f;
            if (role == ChannelRole::kTimestampRole) {
                f = pick(2) == 0 ? field(role, 8 * pick(record_length), 64, ValueKind::kFloat)
                                 : field(role, 8 * pick(record_length), 8 * (1 + pick(7)));
                f.conversion = conversion();
            } else if (is_payload(role)) {
                f = field(role, 8 * pick(record_length + 2), 8 * (1 + pick(70)), ValueKind::kByteArray);
                if (pick(2) == 0) f.signal_source = &g_source;
            } else {
                f = field(role, 8 * pick(record_length) + (pick(3) == 0 ? pick(8) : 0), 1 + pick(32));
            }
            layout.fields.push_back(f);
        }
        if (pick(4) == 0) layout.fields.push_back(field(ChannelRole::kIgnored, pick(bits + 1), 1 + pick(16)));
        std::shuffle(layout.fields.begin(), layout.fields.end(), random);
    } else {
        const uint64_t count = 1 + pick(12);
        for (uint64_t i = 0; i < count; ++i) {
            ChannelRole role = roles[pick(roles.size())];
            const uint64_t other = pick(16);
            if (other == 0) role = ChannelRole::kIgnored;
            if (other == 1) role = ChannelRole::kNoRole;
            if (other == 2) role = static_cast<ChannelRole>(1 + pick(18));
            ValueKind value_kind = static_cast<ValueKind>(pick(3));
            const uint64_t width = pick(3) == 0 ? 1 + pick(600) : 1 + pick(64);
            ChannelField f = field(role, pick(bits + 24), width, value_kind,
                                   pick(5) == 0 ? ByteOrder::kOther : ByteOrder::kIntel);
            if (value_kind == ValueKind::kFloat) f.bit_count = pick(2) == 0 ? 64 : 16 * (1 + pick(4));
            f.conversion = conversion();
            if (pick(3) == 0) f.signal_source = &g_source;
            layout.fields.push_back(f);
        }
    }
    layout.standard.enabled = pick(2) == 0;
    layout.standard.extended_from_id = pick(2) == 0;
    layout.standard.length_from_dlc = pick(2) == 0;
    layout.standard.remote_length_from_dlc = pick(2) == 0;
    return layout;
}

// Signal entries: a length and that many bytes each, some longer than a
// payload, the last one sometimes cut short.
std::vector<uint8_t> random_signal(std::mt19937_64& random) {
    std::vector<uint8_t> bytes;
    const uint64_t entries = random() % 4;
    for (uint64_t i = 0; i < entries; ++i) {
        const uint32_t length = random() % 8 == 0 ? 65 + random() % 20 : random() % 65;
        for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(length >> (8 * b)));
        for (uint32_t b = 0; b < length; ++b) bytes.push_back(static_cast<uint8_t>(random()));
    }
    if (!bytes.empty() && random() % 4 == 0) bytes.resize(random() % bytes.size());
    return bytes;
}

struct KindCase {
    const char* name;
    FrameKind kind;
};

class PreparedDecodingTest : public ::testing::TestWithParam<KindCase> {};

// A decoded record as bytes: its frame and its payload.
std::vector<uint8_t> as_bytes(FrameKind kind, const DecodedRecord& out) {
    if (kind == FrameKind::kNone) return {};
    std::vector<uint8_t> bytes(sizeof(Frame));
    std::memcpy(bytes.data(), &out.frame, sizeof(Frame));
    bytes.insert(bytes.end(), out.payload, out.payload + payload_length(out.frame));
    return bytes;
}

TEST_P(PreparedDecodingTest, GivesTheFrameOfTheGeneralRules) {
    const FrameKind kind = GetParam().kind;
    std::mt19937_64 random(static_cast<uint64_t>(kind) * 7919);
    uint64_t straight = 0;
    uint64_t frames = 0;
    uint64_t batched = 0;
    for (int layouts = 0; layouts < 3000; ++layouts) {
        const bool plain = layouts % 2 == 0;
        const uint64_t record_length = 1 + random() % 40;
        const RecordLayout layout = random_layout(random, kind, record_length, plain);
        const DecodeProgram program = prepare_decoding(layout, record_length, kind);
        straight += program.straight ? 1 : 0;
        std::vector<std::vector<uint8_t>> records;
        std::vector<std::vector<uint8_t>> by_rules;
        for (int r = 0; r < 8; ++r) {
            std::vector<uint8_t> record(record_length);
            for (uint8_t& b : record) b = static_cast<uint8_t>(random() % 3 == 0 ? random() % 3 : random());
            const std::vector<uint8_t> signal = random_signal(random);
            const RecordView view{ByteSpan{record.data(), record.size()}, ByteSpan{signal.data(), signal.size()},
                                  &layout};
            DecodedRecord rule_out;
            DecodedRecord prepared_out;
            std::memset(static_cast<void*>(&rule_out), 0x5A, sizeof rule_out);
            std::memset(static_cast<void*>(&prepared_out), 0x5A, sizeof prepared_out);
            PayloadScratch rule_scratch;
            PayloadScratch prepared_scratch;
            const FrameKind rule_kind = decode_by_rules(kind, view, 1000.0, rule_out, rule_scratch);
            ASSERT_EQ(decode_record(program, view, 1000.0, prepared_out, prepared_scratch), rule_kind);
            frames += rule_kind != FrameKind::kNone ? 1 : 0;
            by_rules.push_back(as_bytes(rule_kind, rule_out));
            ASSERT_EQ(as_bytes(rule_kind, prepared_out), by_rules.back()) << "layout " << layouts;
            records.push_back(std::move(record));
        }
        // The batch of a straight program whose payload lies in the record.
        const bool in_record = program.payload_step < 0 ||
                               program.steps[static_cast<size_t>(program.payload_step)].read == Read::kRecordBytes;
        if (!program.straight || !in_record) continue;
        FrameBatch batch;
        const uint8_t* pointers[8];
        for (size_t r = 0; r < records.size(); ++r) pointers[r] = records[r].data();
        decode_can_data_batch(program, layout.standard, 1000.0, pointers, 8, batch);
        for (uint32_t r = 0; r < 8; ++r) {
            std::vector<uint8_t> bytes(sizeof(Frame));
            std::memcpy(bytes.data(), &batch.frames[r], sizeof(Frame));
            for (uint32_t b = 0; b < batch.frames[r].dlc; ++b) {
                bytes.push_back(b < batch.present[r] ? batch.payload[r][b] : 0);
            }
            ASSERT_EQ(bytes, by_rules[r]) << "layout " << layouts << " record " << r;
            ++batched;
        }
    }
    // Both the straight form and the steps were walked, and frames came out.
    if (kind == FrameKind::kCanDataFrame) {
        EXPECT_GT(straight, 200u);
        EXPECT_GT(batched, 1000u);
    }
    EXPECT_GT(frames, 1000u);
}

INSTANTIATE_TEST_SUITE_P(Decoders, PreparedDecodingTest,
                         ::testing::Values(KindCase{"CanData", FrameKind::kCanDataFrame},
                                           KindCase{"CanRemote", FrameKind::kCanRemoteFrame},
                                           KindCase{"CanError", FrameKind::kCanErrorFrame},
                                           KindCase{"Lin", FrameKind::kLinFrame}),
                         [](const ::testing::TestParamInfo<KindCase>& info) { return std::string(info.param.name); });

// A logger's CAN data frame: a 48-bit tick count with a linear conversion,
// bit-packed flags, the payload in the record.
RecordLayout logger_layout() {
    using R = ChannelRole;
    RecordLayout layout;
    ChannelField time = field(R::kTimestampRole, 0, 48);
    time.conversion = Conversion::linear(1e-6, 0.0);
    layout.fields = {time,
                     field(R::kCanBusChannel, 48, 8),
                     field(R::kCanId, 56, 29),
                     field(R::kCanIde, 87, 1),
                     field(R::kCanDlc, 88, 4),
                     field(R::kCanDir, 92, 1),
                     field(R::kCanEdl, 93, 1),
                     field(R::kCanBrs, 94, 1),
                     field(R::kCanEsi, 95, 1),
                     field(R::kCanDataLength, 96, 8),
                     field(R::kCanDataBytes, 104, 64, ValueKind::kByteArray)};
    return layout;
}

TEST(DecodeProgramTest, ALoggersLayoutIsReadStraight) {
    const RecordLayout layout = logger_layout();
    const DecodeProgram program = prepare_decoding(layout, 21, FrameKind::kCanDataFrame);
    ASSERT_TRUE(program.straight);
    ASSERT_EQ(program.steps.size(), layout.size());
    EXPECT_EQ(program.steps[0].read, Read::kBits);
    EXPECT_FALSE(program.steps[0].identity);  // converted: the double rules apply
    EXPECT_EQ(program.steps[2].read, Read::kBits);
    EXPECT_TRUE(program.steps[2].identity);
    EXPECT_EQ(program.steps[10].read, Read::kRecordBytes);
    EXPECT_EQ(program.steps[10].present, 8u);
    // A field among a record's last 7 bytes is read without a load past it.
    RecordLayout short_record;
    short_record.fields = {field(ChannelRole::kCanDataLength, 8, 8)};
    EXPECT_EQ(prepare_decoding(short_record, 2, FrameKind::kCanDataFrame).steps[0].read, Read::kBitsNearEnd);
}

TEST(DecodeProgramTest, FieldsOfNoEffectAreLeftOut) {
    RecordLayout layout = logger_layout();
    layout.fields.push_back(field(ChannelRole::kIgnored, 0, 8));
    ChannelField crc = field(ChannelRole::kIgnored, 0, 8);
    crc.signal_source = &g_source;  // its entry still counts
    layout.fields.push_back(crc);
    const DecodeProgram program = prepare_decoding(layout, 21, FrameKind::kCanDataFrame);
    ASSERT_EQ(program.steps.size(), logger_layout().size() + 1);
    EXPECT_EQ(program.steps.back().read, Read::kSkipEntry);
    EXPECT_FALSE(program.straight);  // an entry passed over: the order counts
    // Remote and error frames read no signal entries: both fields go.
    EXPECT_EQ(prepare_decoding(layout, 21, FrameKind::kCanRemoteFrame).steps.size(), logger_layout().size());
}

struct NotStraightCase {
    const char* name;
    void (*change)(RecordLayout&);
};

class NotStraightTest : public ::testing::TestWithParam<NotStraightCase> {};

// Where the fields' order or the general rules count, the steps decode.
TEST_P(NotStraightTest, KeepsTheSteps) {
    RecordLayout layout = logger_layout();
    GetParam().change(layout);
    EXPECT_FALSE(prepare_decoding(layout, 21, FrameKind::kCanDataFrame).straight);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, NotStraightTest,
    ::testing::Values(
        NotStraightCase{"TwoIdFields", [](RecordLayout& l) { l.fields.push_back(field(ChannelRole::kCanId, 0, 8)); }},
        NotStraightCase{"TwoPayloads",
                        [](RecordLayout& l) {
                            l.fields.push_back(field(ChannelRole::kCanDataBytes, 0, 16, ValueKind::kByteArray));
                        }},
        NotStraightCase{"ARejectingRole",
                        [](RecordLayout& l) { l.fields.push_back(field(ChannelRole::kNoRole, 0, 8)); }},
        NotStraightCase{"AConvertedFlag",
                        [](RecordLayout& l) { l.fields[3].conversion = Conversion::linear(0.5, 0.0); }},
        NotStraightCase{"AMotorolaId", [](RecordLayout& l) { l.fields[2].byte_order = ByteOrder::kOther; }},
        NotStraightCase{"AnIdBeyondTheRecord", [](RecordLayout& l) { l.fields[2].bit_position = 200; }},
        NotStraightCase{"AWideId", [](RecordLayout& l) { l.fields[2].bit_count = 54; }},
        NotStraightCase{"ANumericFieldWithAnEntry", [](RecordLayout& l) { l.fields[1].signal_source = &g_source; }}),
    [](const ::testing::TestParamInfo<NotStraightCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tolvar::bus
