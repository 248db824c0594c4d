#include "bus/value_extraction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "bus_bytes.h"
#include "mdf/conversion_block.h"
#include "mdf/data_block.h"

namespace tolvar::bus {
namespace {

using test::Bytes;

ByteSpan span_of(const std::vector<uint8_t>& bytes) { return ByteSpan{bytes.data(), bytes.size()}; }

// ---------------------------------------------------------------- extract_bits

TEST(ExtractBitsTest, ReadsTheDocumentedExamples) {
    const std::vector<uint8_t> bytes = {0x34, 0x12};
    const ByteSpan s = span_of(bytes);
    EXPECT_EQ(extract_bits(s, 0, 16, ByteOrder::kIntel), 0x1234u);
    EXPECT_EQ(extract_bits(s, 4, 8, ByteOrder::kIntel), 0x23u);
    EXPECT_EQ(extract_bits(s, 0, 16, ByteOrder::kOther), 0x3412u);
    EXPECT_EQ(extract_bits(s, 0, 0, ByteOrder::kIntel), 0u);
    EXPECT_EQ(extract_bits(s, 8, 16, ByteOrder::kIntel), 0u);  // beyond the span
    EXPECT_EQ(extract_bits(s, 8, 8, ByteOrder::kIntel), 0x12u);
    EXPECT_EQ(extract_bits(s, 15, 1, ByteOrder::kIntel), 0u);
    EXPECT_EQ(extract_bits(s, 12, 1, ByteOrder::kIntel), 1u);
    EXPECT_EQ(extract_bits(s, 0, 17, ByteOrder::kIntel), 0u);
}

uint64_t bit_at(const std::vector<uint8_t>& bytes, uint64_t k) { return (bytes[k / 8] >> (k % 8)) & 1u; }
uint64_t msb_bit_at(const std::vector<uint8_t>& bytes, uint64_t j) { return (bytes[j / 8] >> (7 - j % 8)) & 1u; }

// Every position and width up to 64 bits against a bit-by-bit reading, in
// both orders, near the end of the span too (where the fast path must not
// load bytes that are not there).
TEST(ExtractBitsTest, MatchesABitByBitReadingAtEveryPositionAndWidth) {
    std::mt19937_64 random(7);
    std::vector<uint8_t> bytes(24);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    for (uint64_t n = 1; n <= 64; ++n) {
        for (uint64_t p = 0; p + n <= bytes.size() * 8; ++p) {
            uint64_t intel = 0;
            for (uint64_t k = 0; k < n; ++k) intel |= bit_at(bytes, p + k) << k;
            uint64_t other = 0;
            for (uint64_t j = p; j < p + n; ++j) other = (other << 1) | msb_bit_at(bytes, j);
            // Exact-size spans end right after the field.
            const std::vector<uint8_t> exact(bytes.begin(), bytes.begin() + (p + n + 7) / 8);
            ASSERT_EQ(extract_bits(span_of(exact), p, n, ByteOrder::kIntel), intel) << p << " " << n;
            ASSERT_EQ(extract_bits(span_of(exact), p, n, ByteOrder::kOther), other) << p << " " << n;
        }
    }
}

TEST(ExtractBitsTest, OtherOrderReadsByteAlignedFieldsAsBigEndian) {
    const std::vector<uint8_t> bytes = {0xAA, 0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(extract_bits(span_of(bytes), 8, 32, ByteOrder::kOther), 0x01020304u);
}

TEST(ExtractBitsTest, FieldsWiderThan64BitsKeepTheirLowest64Bits) {
    std::vector<uint8_t> bytes(40);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i + 1);
    uint64_t low = 0;
    std::memcpy(&low, &bytes[1], 8);
    EXPECT_EQ(extract_bits(span_of(bytes), 8, 200, ByteOrder::kIntel), low);
    uint64_t shifted = 0;
    for (uint64_t k = 0; k < 64; ++k) shifted |= bit_at(bytes, 11 + k) << k;
    EXPECT_EQ(extract_bits(span_of(bytes), 11, 300, ByteOrder::kIntel), shifted);
    // Most significant bit first: the last 64 bits read.
    uint64_t last = 0;
    for (uint64_t j = 8 + 256 - 64; j < 8 + 256; ++j) last = (last << 1) | msb_bit_at(bytes, j);
    EXPECT_EQ(extract_bits(span_of(bytes), 8, 256, ByteOrder::kOther), last);
}

TEST(ExtractBitsTest, ReadsPositionsBeyond64KiBitsExactly) {
    // Position 65536 + 8 must not wrap to bit 8.
    std::vector<uint8_t> bytes(9000);
    bytes[1] = 0x11;
    bytes[8193] = 0x77;
    EXPECT_EQ(extract_bits(span_of(bytes), 65536 + 8, 8, ByteOrder::kIntel), 0x77u);
    EXPECT_EQ(extract_bits(span_of(bytes), 65536 + 8, 8, ByteOrder::kOther), 0x77u);
    // And a field starting within byte 255 and read bit by bit past byte 256.
    bytes[255] = 0x80;
    bytes[256] = 0x01;
    EXPECT_EQ(extract_bits(span_of(bytes), 255 * 8 + 7, 2, ByteOrder::kIntel), 3u);
    EXPECT_EQ(extract_bits(span_of(bytes), 255 * 8 + 7, 64, ByteOrder::kIntel), 3u);
}

TEST(ExtractBitsTest, FieldsOutsideTheSpanReadAsZeroWhateverTheirNumbers) {
    const std::vector<uint8_t> bytes(16, 0xFF);
    const ByteSpan s = span_of(bytes);
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    for (ByteOrder order : {ByteOrder::kIntel, ByteOrder::kOther}) {
        EXPECT_EQ(extract_bits(s, max, 8, order), 0u);
        EXPECT_EQ(extract_bits(s, max - 7, 16, order), 0u);  // p + n wraps to a small number
        EXPECT_EQ(extract_bits(s, 8, max, order), 0u);
        EXPECT_EQ(extract_bits(s, max, max, order), 0u);
        EXPECT_EQ(extract_bits(s, 0, 129, order), 0u);
        EXPECT_EQ(extract_bits(s, 65536, 8, order), 0u);
        EXPECT_EQ(extract_bits(ByteSpan{}, 0, 8, order), 0u);
        EXPECT_EQ(extract_bits(s, 0, 128, order), max);
    }
}

// ---------------------------------------------------------------- values

ChannelField field(const char* name, uint64_t bit_position, uint64_t bit_count,
                   ValueKind kind = ValueKind::kUnsigned, ByteOrder order = ByteOrder::kIntel) {
    ChannelField f;
    f.name = name;
    f.role = role_of_name(name);
    f.bit_position = bit_position;
    f.bit_count = bit_count;
    f.value_kind = kind;
    f.byte_order = order;
    return f;
}

TEST(FieldValueTest, ReadsIntegersAndFloatsThenConverts) {
    const std::vector<uint8_t> record = Bytes().u64(~uint64_t{0}).f64(1.5).u32(0x3FC00000).u16(0x3E00).u16(250).bytes;
    const ByteSpan r = span_of(record);
    EXPECT_EQ(field_value(field("", 0, 64), r), 1.8446744073709552e19);
    EXPECT_EQ(field_value(field("", 64, 64, ValueKind::kFloat), r), 1.5);
    EXPECT_EQ(field_value(field("", 128, 32, ValueKind::kFloat), r), 1.5);  // single precision
    EXPECT_EQ(field_value(field("", 160, 16, ValueKind::kFloat), r), 1.5);  // half precision
    ChannelField scaled = field("", 176, 16);
    scaled.conversion = Conversion::linear(0.5, 10.0);
    EXPECT_EQ(field_value(scaled, r), 135.0);
    ChannelField table = field("", 176, 16);
    table.conversion = Conversion::value_table({{250, 1}, {9, 2}});
    EXPECT_EQ(field_value(table, r), 1.0);
}

TEST(FieldValueTest, DecodesHalfPrecisionSpecialValues) {
    const std::vector<uint8_t> record = Bytes().u16(0x7C00).u16(0xFC00).u16(0x7E00).u16(0x0001).u16(0x8000).bytes;
    const ByteSpan r = span_of(record);
    EXPECT_EQ(field_value(field("", 0, 16, ValueKind::kFloat), r), std::numeric_limits<double>::infinity());
    EXPECT_EQ(field_value(field("", 16, 16, ValueKind::kFloat), r), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(field_value(field("", 32, 16, ValueKind::kFloat), r)));
    EXPECT_EQ(field_value(field("", 48, 16, ValueKind::kFloat), r), std::ldexp(1.0, -24));
    EXPECT_TRUE(std::signbit(field_value(field("", 64, 16, ValueKind::kFloat), r)));
}

TEST(ValueRulesTest, TruncateTowardZero) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(flag_of(-1.0), 1);
    EXPECT_EQ(flag_of(0.9), 0);
    EXPECT_EQ(flag_of(-0.9), 0);
    EXPECT_EQ(flag_of(1.0), 1);
    EXPECT_EQ(flag_of(nan), 1);
    EXPECT_EQ(flag_of(1e300), 1);
    EXPECT_EQ(byte_of(258.7), 2);
    EXPECT_EQ(byte_of(-1.0), 255);
    EXPECT_EQ(byte_of(nan), 0);
    EXPECT_EQ(byte_of(3e9), 0);
    EXPECT_EQ(byte_of(2147483647.9), 255);
    EXPECT_EQ(byte_of(-2147483648.5), 0);
    EXPECT_EQ(identifier_bits_of(2147483939.0), 0x80000123u);
    EXPECT_EQ(identifier_bits_of(-1.0), 0xFFFFFFFFu);
    EXPECT_EQ(identifier_bits_of(nan), 0u);
    EXPECT_EQ(identifier_bits_of(inf), 0u);
    EXPECT_EQ(identifier_bits_of(1e19), 0u);
}

// ---------------------------------------------------------------- decoders

// A CAN FD data frame record: Timestamp (raw, 1e-5 s), ID, flags in byte 12,
// DLC, DataLength, BusChannel, 64 data bytes.
struct CanRecord {
    RecordLayout layout;
    std::vector<uint8_t> bytes;
};

CanRecord can_data_record(bool with_data_length = true) {
    CanRecord r;
    ChannelField time = field("Timestamp", 0, 64);
    time.conversion = Conversion::linear(1e-5, 0.0);
    r.layout.fields.push_back(std::move(time));
    r.layout.fields.push_back(field("CAN_DataFrame.ID", 64, 32));
    r.layout.fields.push_back(field("CAN_DataFrame.IDE", 96, 1));
    r.layout.fields.push_back(field("CAN_DataFrame.EDL", 97, 1));
    r.layout.fields.push_back(field("CAN_DataFrame.BRS", 98, 1));
    r.layout.fields.push_back(field("CAN_DataFrame.ESI", 99, 1));
    r.layout.fields.push_back(field("CAN_DataFrame.Dir", 100, 1));
    r.layout.fields.push_back(field("CAN_DataFrame.DLC", 104, 4));
    if (with_data_length) r.layout.fields.push_back(field("CAN_DataFrame.DataLength", 112, 8));
    r.layout.fields.push_back(field("CAN_DataFrame.BusChannel", 120, 8));
    r.layout.fields.push_back(field("CAN_DataFrame.DataBytes", 128, 512, ValueKind::kByteArray));
    Bytes b;
    b.u64(250000).u32(0x80000123).u8(0b00111).u8(9).u8(12).u8(2);
    for (int i = 0; i < 64; ++i) b.u8(static_cast<uint8_t>(0xA0 + i));
    r.bytes = b.bytes;
    return r;
}

RecordView view_of(const RecordLayout& layout, const std::vector<uint8_t>& record,
                   const std::vector<uint8_t>& signal = {}) {
    return RecordView{span_of(record), span_of(signal), &layout};
}

TEST(CanDataFrameTest, DecodesEveryChannel) {
    const CanRecord r = can_data_record();
    BusMessage m;
    std::memset(&m, 0x5A, sizeof m);  // nothing of a previous record survives
    ASSERT_EQ(can_data_frame(view_of(r.layout, r.bytes), m), FrameKind::kCanDataFrame);
    EXPECT_EQ(m.kind, FrameKind::kCanDataFrame);
    EXPECT_DOUBLE_EQ(m.time, 2.5);
    EXPECT_EQ(m.identifier, 0x80000123u);
    EXPECT_EQ(m.details.can.extended, 1);
    EXPECT_EQ(m.details.can.fd, 1);
    EXPECT_EQ(m.details.can.brs, 1);
    EXPECT_EQ(m.details.can.esi, 0);
    EXPECT_EQ(m.details.can.direction, 0);
    EXPECT_EQ(m.details.can.remote, 0);
    EXPECT_EQ(m.details.can.dlc, 9);
    EXPECT_EQ(m.details.can.bus, 2);
    EXPECT_EQ(m.data_length, 12u);
    ASSERT_EQ(m.data, m.details.can.payload);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(m.data[i], 0xA0 + i);
}

TEST(CanDataFrameTest, WithoutADataLengthChannelTheLengthIsZero) {
    const CanRecord r = can_data_record(false);
    BusMessage m{};
    ASSERT_EQ(can_data_frame(view_of(r.layout, r.bytes), m), FrameKind::kCanDataFrame);
    EXPECT_EQ(m.data_length, 0u);
    EXPECT_EQ(m.data[63], 0xA0 + 63);  // the bytes were copied all the same
}

TEST(CanDataFrameTest, AChannelWithoutARoleRejectsTheRecord) {
    CanRecord r = can_data_record();
    r.layout.fields.insert(r.layout.fields.begin() + 2, field("CAN_DataFrame.CRC", 104, 4));
    BusMessage m{};
    ASSERT_EQ(can_data_frame(view_of(r.layout, r.bytes), m), FrameKind::kNone);
    EXPECT_EQ(m.kind, FrameKind::kNone);
    EXPECT_EQ(m.data, nullptr);
    EXPECT_EQ(m.data_length, 0u);
    EXPECT_EQ(m.details.can.bus, 2);  // later fields are still stored
}

TEST(CanDataFrameTest, ChannelsOfOtherEventsAreRejected) {
    for (const char* name : {"CAN_ErrorFrame.ErrorType", "LIN_Frame.ID", "LIN_Frame.Dir"}) {
        CanRecord r = can_data_record();
        r.layout.fields.push_back(field(name, 0, 8));
        BusMessage m{};
        EXPECT_EQ(can_data_frame(view_of(r.layout, r.bytes), m), FrameKind::kNone) << name;
    }
}

TEST(CanDataFrameTest, ALengthBeyondThePayloadIsCutToIt) {
    CanRecord r = can_data_record();
    r.bytes[14] = 200;  // DataLength
    BusMessage m{};
    ASSERT_EQ(can_data_frame(view_of(r.layout, r.bytes), m), FrameKind::kCanDataFrame);
    EXPECT_EQ(m.data_length, kCanPayloadSize);
}

TEST(CanDataFrameTest, ByteArraysWiderThanThePayloadOrBeyondTheRecordStayInside) {
    RecordLayout layout;
    layout.fields.push_back(field("CAN_DataFrame.DataBytes", 8, 8 * 200, ValueKind::kByteArray));
    layout.fields.push_back(field("CAN_DataFrame.DataLength", 0, 8));
    std::vector<uint8_t> record(20, 0x33);
    record[0] = 64;
    BusMessage m{};
    ASSERT_EQ(can_data_frame(view_of(layout, record), m), FrameKind::kCanDataFrame);
    EXPECT_EQ(m.data_length, 64u);
    EXPECT_EQ(m.data[18], 0x33);  // record bytes 1..19
    EXPECT_EQ(m.data[19], 0);     // beyond the record: zeros
    EXPECT_EQ(m.data[63], 0);

    RecordLayout far;
    far.fields.push_back(field("CAN_DataFrame.DataBytes", ~uint64_t{0} - 7, 64, ValueKind::kByteArray));
    ASSERT_EQ(can_data_frame(view_of(far, record), m), FrameKind::kCanDataFrame);
    EXPECT_EQ(m.data[0], 0);
}

TEST(CanDataFrameTest, PayloadFromSignalData) {
    RecordLayout layout;
    ChannelField bytes = field("CAN_DataFrame.DataBytes", 0, 64, ValueKind::kByteArray);
    mdf::SdBlock source;
    bytes.signal_source = &source;
    layout.fields.push_back(bytes);
    layout.fields.push_back(field("CAN_DataFrame.DataLength", 0, 8));
    const std::vector<uint8_t> record = {3, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> signal = Bytes().u32(3).u8(1).u8(2).u8(3).bytes;
    BusMessage m{};
    ASSERT_EQ(can_data_frame(view_of(layout, record, signal), m), FrameKind::kCanDataFrame);
    EXPECT_EQ(m.data_length, 3u);
    EXPECT_EQ(std::vector<uint8_t>(m.data, m.data + 4), (std::vector<uint8_t>{1, 2, 3, 0}));

    // Longer than the payload: no frame.
    const std::vector<uint8_t> long_signal = Bytes().u32(70).fill(70, 9).bytes;
    EXPECT_EQ(can_data_frame(view_of(layout, record, long_signal), m), FrameKind::kNone);
    EXPECT_EQ(m.kind, FrameKind::kNone);
    EXPECT_EQ(m.data, nullptr);

    // Exactly 64 is accepted; a truncated entry gives zeros, not a read past it.
    const std::vector<uint8_t> short_signal = Bytes().u32(64).fill(10, 7).bytes;
    ASSERT_EQ(can_data_frame(view_of(layout, record, short_signal), m), FrameKind::kCanDataFrame);
    EXPECT_EQ(m.data[9], 7);
    EXPECT_EQ(m.data[10], 0);
    // No entry at all: an empty payload.
    ASSERT_EQ(can_data_frame(view_of(layout, record, {1, 2}), m), FrameKind::kCanDataFrame);
    EXPECT_EQ(m.data[0], 0);
}

TEST(CanDataFrameTest, EachSignalDataFieldTakesItsOwnEntry) {
    mdf::SdBlock source;
    RecordLayout layout;
    ChannelField first = field("CAN_DataFrame.DataBytes", 0, 8, ValueKind::kByteArray);
    first.signal_source = &source;
    // A numeric channel stored as signal data owns an entry it does not use.
    ChannelField numeric = field("CAN_DataFrame.DLC", 0, 8);
    numeric.signal_source = &source;
    ChannelField second = field("CAN_DataFrame.DataBytes", 0, 8, ValueKind::kByteArray);
    second.signal_source = &source;
    layout.fields = {first, numeric, second};
    const std::vector<uint8_t> record = {5};
    const std::vector<uint8_t> signal =
        Bytes().u32(3).u8(1).u8(2).u8(3).u32(2).u8(0xEE).u8(0xEE).u32(1).u8(9).bytes;
    BusMessage m{};
    ASSERT_EQ(can_data_frame(view_of(layout, record, signal), m), FrameKind::kCanDataFrame);
    // The second DataBytes gets 1 byte (9), copied over the first's 1, 2, 3.
    EXPECT_EQ(std::vector<uint8_t>(m.data, m.data + 3), (std::vector<uint8_t>{9, 2, 3}));
    EXPECT_EQ(m.details.can.dlc, 5);
}

TEST(CanDataFrameTest, DirectionIsTruncated) {
    RecordLayout layout;
    ChannelField dir = field("CAN_DataFrame.Dir", 0, 8);
    dir.conversion = Conversion::linear(0.5, 0.0);
    layout.fields.push_back(dir);
    BusMessage m{};
    ASSERT_EQ(can_data_frame(view_of(layout, {1}), m), FrameKind::kCanDataFrame);
    EXPECT_EQ(m.details.can.direction, 0);
    ASSERT_EQ(can_data_frame(view_of(layout, {2}), m), FrameKind::kCanDataFrame);
    EXPECT_EQ(m.details.can.direction, 1);
}

TEST(CanDataFrameTest, SeveralIdChannelsCombine) {
    RecordLayout layout;
    layout.fields.push_back(field("CAN_DataFrame.ID", 0, 8));
    layout.fields.push_back(field("CAN_DataFrame.ID", 8, 8));
    BusMessage m{};
    ASSERT_EQ(can_data_frame(view_of(layout, {0x0F, 0xF0}), m), FrameKind::kCanDataFrame);
    EXPECT_EQ(m.identifier, 0xFFu);
}

TEST(CanRemoteFrameTest, CarriesItsDataLengthAsZeroBytes) {
    RecordLayout layout;
    layout.fields.push_back(field("Timestamp", 0, 32));
    layout.fields.push_back(field("CAN_RemoteFrame.ID", 32, 29));
    layout.fields.push_back(field("CAN_RemoteFrame.IDE", 63, 1));
    layout.fields.push_back(field("CAN_RemoteFrame.DLC", 64, 8));
    layout.fields.push_back(field("CAN_RemoteFrame.DataLength", 72, 8));
    layout.fields.push_back(field("CAN_RemoteFrame.Dir", 80, 8));
    layout.fields.push_back(field("CAN_RemoteFrame.BusChannel", 88, 8));
    const std::vector<uint8_t> record = Bytes().u32(7).u32(0x80000100).u8(8).u8(8).u8(1).u8(3).bytes;
    BusMessage m;
    std::memset(&m, 0x5A, sizeof m);
    ASSERT_EQ(can_remote_frame(view_of(layout, record), m), FrameKind::kCanRemoteFrame);
    EXPECT_EQ(m.kind, FrameKind::kCanRemoteFrame);
    EXPECT_EQ(m.time, 7.0);
    EXPECT_EQ(m.identifier, 0x100u);
    EXPECT_EQ(m.details.can.extended, 1);
    EXPECT_EQ(m.details.can.remote, 1);
    EXPECT_EQ(m.details.can.dlc, 8);
    EXPECT_EQ(m.details.can.direction, 1);
    EXPECT_EQ(m.details.can.bus, 3);
    ASSERT_EQ(m.data_length, 8u);
    ASSERT_EQ(m.data, m.details.can.payload);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(m.data[i], 0);
}

TEST(CanRemoteFrameTest, RejectsChannelsItDoesNotPlace) {
    RecordLayout layout;
    layout.fields.push_back(field("CAN_RemoteFrame.ID", 0, 8));
    layout.fields.push_back(field("CAN_DataFrame.DataBytes", 0, 8, ValueKind::kByteArray));
    BusMessage m{};
    EXPECT_EQ(can_remote_frame(view_of(layout, {1}), m), FrameKind::kNone);
    EXPECT_EQ(m.kind, FrameKind::kNone);
    EXPECT_EQ(m.data, nullptr);
    // A large DataLength is cut to the payload.
    RecordLayout big;
    big.fields.push_back(field("CAN_RemoteFrame.DataLength", 0, 8));
    ASSERT_EQ(can_remote_frame(view_of(big, {255}), m), FrameKind::kCanRemoteFrame);
    EXPECT_EQ(m.data_length, kCanPayloadSize);
}

TEST(CanErrorFrameTest, KeepsErrorTypesUpToFive) {
    RecordLayout layout;
    layout.fields.push_back(field("Timestamp", 0, 8));
    layout.fields.push_back(field("CAN_ErrorFrame.BusChannel", 8, 8));
    layout.fields.push_back(field("CAN_ErrorFrame.ErrorType", 16, 8));
    BusMessage m{};
    ASSERT_EQ(can_error_frame(view_of(layout, {4, 2, 3}), m), FrameKind::kCanErrorFrame);
    EXPECT_EQ(m.kind, FrameKind::kCanErrorFrame);
    EXPECT_EQ(m.time, 4.0);
    EXPECT_EQ(m.details.error.bus, 2);
    EXPECT_EQ(m.details.error.error_type, 3);
    EXPECT_EQ(m.data, nullptr);
    EXPECT_EQ(m.data_length, 0u);
    EXPECT_EQ(m.identifier, 0u);
    ASSERT_EQ(can_error_frame(view_of(layout, {4, 2, 7}), m), FrameKind::kCanErrorFrame);
    EXPECT_EQ(m.details.error.error_type, 0);
    layout.fields.push_back(field("CAN_DataFrame.ID", 0, 8));
    EXPECT_EQ(can_error_frame(view_of(layout, {4, 2, 3}), m), FrameKind::kNone);
    EXPECT_EQ(m.kind, FrameKind::kNone);
}

RecordLayout lin_layout() {
    RecordLayout layout;
    layout.fields.push_back(field("Timestamp", 0, 8));
    layout.fields.push_back(field("LIN_Frame.ID", 8, 6));
    layout.fields.push_back(field("LIN_Frame.BusChannel", 16, 8));
    layout.fields.push_back(field("LIN_Frame.DataLength", 24, 8));
    layout.fields.push_back(field("LIN_Frame.ReceivedDataByteCount", 32, 8));
    ChannelField dir = field("LIN_Frame.Dir", 40, 8);
    dir.conversion = Conversion::linear(0.5, 0.0);
    layout.fields.push_back(dir);
    layout.fields.push_back(field("LIN_Frame.DataBytes", 48, 64, ValueKind::kByteArray));
    return layout;
}

TEST(LinFrameTest, DecodesEveryChannel) {
    const RecordLayout layout = lin_layout();
    const std::vector<uint8_t> record = {9, 0xFF, 1, 4, 3, 1, 1, 2, 3, 4, 5, 6, 7, 8};
    BusMessage m;
    std::memset(&m, 0x5A, sizeof m);
    ASSERT_EQ(lin_frame(view_of(layout, record), m), FrameKind::kLinFrame);
    EXPECT_EQ(m.kind, FrameKind::kLinFrame);
    EXPECT_EQ(m.time, 9.0);
    EXPECT_EQ(m.identifier, 0x3Fu);
    EXPECT_EQ(m.details.lin.bus, 1);
    EXPECT_EQ(m.details.lin.received_byte_count, 3);
    EXPECT_EQ(m.details.lin.direction, 1);  // 0.5 compares unequal to zero
    ASSERT_EQ(m.data, m.details.lin.payload);
    EXPECT_EQ(m.data_length, 4u);
    EXPECT_EQ(std::vector<uint8_t>(m.data, m.data + 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(LinFrameTest, KeepsLengthAndPayloadWithinEightBytes) {
    const RecordLayout layout = lin_layout();
    const std::vector<uint8_t> record = {9, 1, 1, 200, 3, 0, 1, 2};  // data bytes cut by the record
    BusMessage m{};
    ASSERT_EQ(lin_frame(view_of(layout, record), m), FrameKind::kLinFrame);
    EXPECT_EQ(m.data_length, kLinPayloadSize);
    EXPECT_EQ(m.details.lin.direction, 0);
    EXPECT_EQ(std::vector<uint8_t>(m.data, m.data + 8), (std::vector<uint8_t>{1, 2, 0, 0, 0, 0, 0, 0}));
}

TEST(LinFrameTest, ANumericDataBytesChannelFillsThePayloadWithItsValue) {
    RecordLayout layout;
    layout.fields.push_back(field("LIN_Frame.DataBytes", 0, 8));
    BusMessage m{};
    ASSERT_EQ(lin_frame(view_of(layout, {2}), m), FrameKind::kLinFrame);
    double v;
    std::memcpy(&v, m.details.lin.payload, 8);
    EXPECT_EQ(v, 2.0);
}

TEST(LinFrameTest, ReadsPayloadStoredAsSignalDataAndTheFieldsAfterIt) {
    mdf::SdBlock source;
    RecordLayout layout;
    ChannelField bytes = field("LIN_Frame.DataBytes", 0, 32, ValueKind::kByteArray);
    bytes.signal_source = &source;
    layout.fields.push_back(bytes);
    layout.fields.push_back(field("LIN_Frame.ID", 0, 8));
    layout.fields.push_back(field("LIN_Frame.DataLength", 8, 8));
    const std::vector<uint8_t> signal = Bytes().u32(20).fill(20, 6).bytes;
    BusMessage m{};
    ASSERT_EQ(lin_frame(view_of(layout, {0x21, 2}, signal), m), FrameKind::kLinFrame);
    EXPECT_EQ(m.identifier, 0x21u);
    EXPECT_EQ(m.data_length, 2u);
    EXPECT_EQ(m.data[7], 6);
}

TEST(LinFrameTest, RejectsCanChannels) {
    RecordLayout layout = lin_layout();
    layout.fields.push_back(field("CAN_DataFrame.ID", 0, 8));
    BusMessage m{};
    EXPECT_EQ(lin_frame(view_of(layout, std::vector<uint8_t>(14)), m), FrameKind::kNone);
    EXPECT_EQ(m.kind, FrameKind::kNone);
    EXPECT_EQ(m.data, nullptr);
}

TEST(NoFrameTest, WritesOnlyTheKind) {
    const CanRecord r = can_data_record();
    BusMessage m{};
    m.kind = FrameKind::kCanDataFrame;
    m.identifier = 77;
    EXPECT_EQ(no_frame(view_of(r.layout, r.bytes), m), FrameKind::kNone);
    EXPECT_EQ(m.kind, FrameKind::kNone);
    EXPECT_EQ(m.identifier, 77u);
}

TEST(DecoderForTest, GivesTheChosenDecoder) {
    EXPECT_EQ(decoder_for(FrameKind::kCanDataFrame), &can_data_frame);
    EXPECT_EQ(decoder_for(FrameKind::kCanRemoteFrame), &can_remote_frame);
    EXPECT_EQ(decoder_for(FrameKind::kCanErrorFrame), &can_error_frame);
    EXPECT_EQ(decoder_for(FrameKind::kLinFrame), &lin_frame);
    EXPECT_EQ(decoder_for(FrameKind::kNone), &no_frame);
}

}  // namespace
}  // namespace tolvar::bus
