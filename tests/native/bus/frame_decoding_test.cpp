#include "bus/frame_decoding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "bus/bus_event.h"
#include "bus_bytes.h"
#include "mdf/conversion_block.h"
#include "mdf/data_block.h"

namespace tolvar::bus {
namespace {

using test::Bytes;
using test::field;

ByteSpan span_of(const std::vector<uint8_t>& bytes) { return ByteSpan{bytes.data(), bytes.size()}; }


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

// A record decoded by the general rules, as a message shows it.
struct Result {
    FrameKind kind = FrameKind::kNone;
    Frame frame{};
    std::vector<uint8_t> payload;

    bool flag(FrameFlag f) const { return has_flag(frame, f); }
};

Result decode(FrameKind decoder, const RecordView& view, double origin = 0.0) {
    Result r;
    DecodedRecord out;
    std::memset(static_cast<void*>(&out), 0x5A, sizeof out);  // nothing of a previous record survives
    PayloadScratch scratch;
    std::memset(&scratch, 0x5A, sizeof scratch);
    r.kind = decode_by_rules(decoder, view, origin, out, scratch);
    if (r.kind == FrameKind::kNone) return r;
    r.frame = out.frame;
    const uint64_t length = payload_length(out.frame);
    if (length != 0) r.payload.assign(out.payload, out.payload + length);
    EXPECT_EQ(kind_of(out.frame), r.kind);
    return r;
}

TEST(CanDataFrameTest, DecodesEveryChannel) {
    const CanRecord r = can_data_record();
    const Result m = decode(FrameKind::kCanDataFrame, view_of(r.layout, r.bytes), 100.0);
    ASSERT_EQ(m.kind, FrameKind::kCanDataFrame);
    EXPECT_DOUBLE_EQ(m.frame.timestamp, 102.5);
    EXPECT_EQ(m.frame.id, 0x123u);  // recorded as 0x80000123: bit 31 is no identifier bit
    EXPECT_TRUE(m.flag(kFlagExtended));
    EXPECT_TRUE(m.flag(kFlagFd));
    EXPECT_TRUE(m.flag(kFlagBitrateSwitch));
    EXPECT_FALSE(m.flag(kFlagErrorStateIndicator));
    EXPECT_TRUE(m.flag(kFlagRx));  // direction 0: received
    EXPECT_FALSE(m.flag(kFlagRemote));
    EXPECT_FALSE(m.flag(kFlagError));
    EXPECT_EQ(m.frame.channel, 2u);
    EXPECT_EQ(m.frame.dlc, 12u);  // the data length, not the recorded code 9
    ASSERT_EQ(m.payload.size(), 12u);
    for (int i = 0; i < 12; ++i) ASSERT_EQ(m.payload[i], 0xA0 + i);
}

TEST(CanDataFrameTest, WithoutADataLengthChannelTheLengthIsZero) {
    const CanRecord r = can_data_record(false);
    const Result m = decode(FrameKind::kCanDataFrame, view_of(r.layout, r.bytes));
    ASSERT_EQ(m.kind, FrameKind::kCanDataFrame);
    EXPECT_EQ(m.frame.dlc, 0u);
    EXPECT_TRUE(m.payload.empty());
}

TEST(CanDataFrameTest, AChannelWithoutARoleRejectsTheRecord) {
    CanRecord r = can_data_record();
    r.layout.fields.insert(r.layout.fields.begin() + 2, field("CAN_DataFrame.CRC", 104, 4));
    EXPECT_EQ(decode(FrameKind::kCanDataFrame, view_of(r.layout, r.bytes)).kind, FrameKind::kNone);
}

TEST(CanDataFrameTest, ChannelsOfOtherEventsAreRejected) {
    for (const char* name : {"CAN_ErrorFrame.ErrorType", "LIN_Frame.ID", "LIN_Frame.Dir"}) {
        CanRecord r = can_data_record();
        r.layout.fields.push_back(field(name, 0, 8));
        EXPECT_EQ(decode(FrameKind::kCanDataFrame, view_of(r.layout, r.bytes)).kind, FrameKind::kNone) << name;
    }
}

TEST(CanDataFrameTest, ALengthBeyondThePayloadIsCutToIt) {
    CanRecord r = can_data_record();
    r.bytes[14] = 200;  // DataLength
    const Result m = decode(FrameKind::kCanDataFrame, view_of(r.layout, r.bytes));
    ASSERT_EQ(m.kind, FrameKind::kCanDataFrame);
    EXPECT_EQ(m.frame.dlc, kCanPayloadSize);
    EXPECT_EQ(m.payload.size(), kCanPayloadSize);
}

TEST(CanDataFrameTest, ByteArraysWiderThanThePayloadOrBeyondTheRecordStayInside) {
    RecordLayout layout;
    layout.fields.push_back(field("CAN_DataFrame.DataBytes", 8, 8 * 200, ValueKind::kByteArray));
    layout.fields.push_back(field("CAN_DataFrame.DataLength", 0, 8));
    std::vector<uint8_t> record(20, 0x33);
    record[0] = 64;
    Result m = decode(FrameKind::kCanDataFrame, view_of(layout, record));
    ASSERT_EQ(m.kind, FrameKind::kCanDataFrame);
    ASSERT_EQ(m.payload.size(), 64u);
    EXPECT_EQ(m.payload[18], 0x33);  // record bytes 1..19
    EXPECT_EQ(m.payload[19], 0);     // beyond the record: zeros
    EXPECT_EQ(m.payload[63], 0);

    RecordLayout far;
    far.fields.push_back(field("CAN_DataFrame.DataBytes", ~uint64_t{0} - 7, 64, ValueKind::kByteArray));
    far.fields.push_back(field("CAN_DataFrame.DataLength", 0, 8));
    m = decode(FrameKind::kCanDataFrame, view_of(far, record));
    ASSERT_EQ(m.kind, FrameKind::kCanDataFrame);
    ASSERT_EQ(m.payload.size(), 64u);
    EXPECT_EQ(m.payload[0], 0);
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
    Result m = decode(FrameKind::kCanDataFrame, view_of(layout, record, signal));
    ASSERT_EQ(m.kind, FrameKind::kCanDataFrame);
    EXPECT_EQ(m.payload, (std::vector<uint8_t>{1, 2, 3}));

    // Longer than the payload: no frame.
    const std::vector<uint8_t> long_signal = Bytes().u32(70).fill(70, 9).bytes;
    EXPECT_EQ(decode(FrameKind::kCanDataFrame, view_of(layout, record, long_signal)).kind, FrameKind::kNone);

    // Exactly 64 is accepted; a truncated entry gives zeros, not a read past it.
    std::vector<uint8_t> sixty_four = {64, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> short_signal = Bytes().u32(64).fill(10, 7).bytes;
    m = decode(FrameKind::kCanDataFrame, view_of(layout, sixty_four, short_signal));
    ASSERT_EQ(m.kind, FrameKind::kCanDataFrame);
    ASSERT_EQ(m.payload.size(), 64u);
    EXPECT_EQ(m.payload[9], 7);
    EXPECT_EQ(m.payload[10], 0);
    // No entry at all: an empty payload, zeros up to the length.
    m = decode(FrameKind::kCanDataFrame, view_of(layout, record, {1, 2}));
    ASSERT_EQ(m.kind, FrameKind::kCanDataFrame);
    EXPECT_EQ(m.payload, (std::vector<uint8_t>{0, 0, 0}));
}

TEST(CanDataFrameTest, EachSignalDataFieldTakesItsOwnEntry) {
    mdf::SdBlock source;
    RecordLayout layout;
    ChannelField first = field("CAN_DataFrame.DataBytes", 0, 8, ValueKind::kByteArray);
    first.signal_source = &source;
    // A numeric channel stored as signal data owns an entry it does not use.
    ChannelField numeric = field("CAN_DataFrame.DataLength", 0, 8);
    numeric.signal_source = &source;
    ChannelField second = field("CAN_DataFrame.DataBytes", 0, 8, ValueKind::kByteArray);
    second.signal_source = &source;
    layout.fields = {first, numeric, second};
    const std::vector<uint8_t> record = {3};
    const std::vector<uint8_t> signal =
        Bytes().u32(3).u8(1).u8(2).u8(3).u32(2).u8(0xEE).u8(0xEE).u32(1).u8(9).bytes;
    const Result m = decode(FrameKind::kCanDataFrame, view_of(layout, record, signal));
    ASSERT_EQ(m.kind, FrameKind::kCanDataFrame);
    // The second DataBytes gets 1 byte (9), copied over the first's 1, 2, 3.
    EXPECT_EQ(m.payload, (std::vector<uint8_t>{9, 2, 3}));
}

TEST(CanDataFrameTest, DirectionIsTruncated) {
    RecordLayout layout;
    ChannelField dir = field("CAN_DataFrame.Dir", 0, 8);
    dir.conversion = Conversion::linear(0.5, 0.0);
    layout.fields.push_back(dir);
    Result m = decode(FrameKind::kCanDataFrame, view_of(layout, {1}));
    ASSERT_EQ(m.kind, FrameKind::kCanDataFrame);
    EXPECT_TRUE(m.flag(kFlagRx));  // 0.5 truncates to 0: received
    m = decode(FrameKind::kCanDataFrame, view_of(layout, {2}));
    ASSERT_EQ(m.kind, FrameKind::kCanDataFrame);
    EXPECT_FALSE(m.flag(kFlagRx));
}

TEST(CanDataFrameTest, SeveralIdChannelsCombine) {
    RecordLayout layout;
    layout.fields.push_back(field("CAN_DataFrame.ID", 0, 8));
    layout.fields.push_back(field("CAN_DataFrame.ID", 8, 8));
    const Result m = decode(FrameKind::kCanDataFrame, view_of(layout, {0x0F, 0xF0}));
    ASSERT_EQ(m.kind, FrameKind::kCanDataFrame);
    EXPECT_EQ(m.frame.id, 0xFFu);
}

TEST(CanRemoteFrameTest, CarriesItsDataLengthAsItsCodeWithoutData) {
    RecordLayout layout;
    layout.fields.push_back(field("Timestamp", 0, 32));
    layout.fields.push_back(field("CAN_RemoteFrame.ID", 32, 29));
    layout.fields.push_back(field("CAN_RemoteFrame.IDE", 63, 1));
    layout.fields.push_back(field("CAN_RemoteFrame.DLC", 64, 8));
    layout.fields.push_back(field("CAN_RemoteFrame.DataLength", 72, 8));
    layout.fields.push_back(field("CAN_RemoteFrame.Dir", 80, 8));
    layout.fields.push_back(field("CAN_RemoteFrame.BusChannel", 88, 8));
    const std::vector<uint8_t> record = Bytes().u32(7).u32(0x80000100).u8(8).u8(8).u8(1).u8(3).bytes;
    const Result m = decode(FrameKind::kCanRemoteFrame, view_of(layout, record));
    ASSERT_EQ(m.kind, FrameKind::kCanRemoteFrame);
    EXPECT_EQ(m.frame.timestamp, 7.0);
    EXPECT_EQ(m.frame.id, 0x100u);
    EXPECT_TRUE(m.flag(kFlagExtended));
    EXPECT_TRUE(m.flag(kFlagRemote));
    EXPECT_FALSE(m.flag(kFlagRx));  // direction 1: transmitted
    EXPECT_EQ(m.frame.channel, 3u);
    EXPECT_EQ(m.frame.dlc, 8u);
    EXPECT_TRUE(m.payload.empty());
}

TEST(CanRemoteFrameTest, RejectsChannelsItDoesNotPlace) {
    RecordLayout layout;
    layout.fields.push_back(field("CAN_RemoteFrame.ID", 0, 8));
    layout.fields.push_back(field("CAN_DataFrame.DataBytes", 0, 8, ValueKind::kByteArray));
    EXPECT_EQ(decode(FrameKind::kCanRemoteFrame, view_of(layout, {1})).kind, FrameKind::kNone);
    // A large DataLength is cut to the payload.
    RecordLayout big;
    big.fields.push_back(field("CAN_RemoteFrame.DataLength", 0, 8));
    const Result m = decode(FrameKind::kCanRemoteFrame, view_of(big, {255}));
    ASSERT_EQ(m.kind, FrameKind::kCanRemoteFrame);
    EXPECT_EQ(m.frame.dlc, kCanPayloadSize);
}

TEST(CanErrorFrameTest, ShowsTheMessageDefaultsAndRejectsOtherChannels) {
    RecordLayout layout;
    layout.fields.push_back(field("Timestamp", 0, 8));
    layout.fields.push_back(field("CAN_ErrorFrame.BusChannel", 8, 8));
    layout.fields.push_back(field("CAN_ErrorFrame.ErrorType", 16, 8));
    for (uint8_t type : {3, 7}) {
        const Result m = decode(FrameKind::kCanErrorFrame, view_of(layout, {4, 2, type}));
        ASSERT_EQ(m.kind, FrameKind::kCanErrorFrame);
        EXPECT_EQ(m.frame.timestamp, 4.0);
        EXPECT_EQ(m.frame.channel, 2u);
        EXPECT_EQ(m.frame.id, 0u);
        EXPECT_EQ(m.frame.dlc, 0u);
        EXPECT_TRUE(m.payload.empty());
        // can.Message's defaults: extended, received.
        EXPECT_TRUE(m.flag(kFlagError));
        EXPECT_TRUE(m.flag(kFlagExtended));
        EXPECT_TRUE(m.flag(kFlagRx));
    }
    layout.fields.push_back(field("CAN_DataFrame.ID", 0, 8));
    EXPECT_EQ(decode(FrameKind::kCanErrorFrame, view_of(layout, {4, 2, 3})).kind, FrameKind::kNone);
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
    const Result m = decode(FrameKind::kLinFrame, view_of(layout, record));
    ASSERT_EQ(m.kind, FrameKind::kLinFrame);
    EXPECT_EQ(m.frame.timestamp, 9.0);
    EXPECT_EQ(m.frame.id, 0x3Fu);
    EXPECT_EQ(m.frame.channel, kLinChannels + 1);
    EXPECT_FALSE(m.flag(kFlagRx));  // 0.5 compares unequal to zero: transmitted
    EXPECT_FALSE(m.flag(kFlagExtended));
    EXPECT_EQ(m.frame.dlc, 4u);
    EXPECT_EQ(m.payload, (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(LinFrameTest, KeepsLengthAndPayloadWithinEightBytes) {
    const RecordLayout layout = lin_layout();
    const std::vector<uint8_t> record = {9, 1, 1, 200, 3, 0, 1, 2};  // data bytes cut by the record
    const Result m = decode(FrameKind::kLinFrame, view_of(layout, record));
    ASSERT_EQ(m.kind, FrameKind::kLinFrame);
    EXPECT_EQ(m.frame.dlc, kLinPayloadSize);
    EXPECT_TRUE(m.flag(kFlagRx));
    EXPECT_EQ(m.payload, (std::vector<uint8_t>{1, 2, 0, 0, 0, 0, 0, 0}));
}

TEST(LinFrameTest, ANumericDataBytesChannelFillsThePayloadWithItsValue) {
    RecordLayout layout;
    layout.fields.push_back(field("LIN_Frame.DataBytes", 0, 8));
    layout.fields.push_back(field("LIN_Frame.DataLength", 8, 8));
    const Result m = decode(FrameKind::kLinFrame, view_of(layout, {2, 8}));
    ASSERT_EQ(m.kind, FrameKind::kLinFrame);
    ASSERT_EQ(m.payload.size(), 8u);
    double v;
    std::memcpy(&v, m.payload.data(), 8);
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
    const Result m = decode(FrameKind::kLinFrame, view_of(layout, {0x21, 2}, signal));
    ASSERT_EQ(m.kind, FrameKind::kLinFrame);
    EXPECT_EQ(m.frame.id, 0x21u);
    EXPECT_EQ(m.payload, (std::vector<uint8_t>{6, 6}));
}

TEST(LinFrameTest, RejectsCanChannels) {
    RecordLayout layout = lin_layout();
    layout.fields.push_back(field("CAN_DataFrame.ID", 0, 8));
    EXPECT_EQ(decode(FrameKind::kLinFrame, view_of(layout, std::vector<uint8_t>(14))).kind, FrameKind::kNone);
}

TEST(NoFrameTest, AGroupOfNoBusEventGivesNoFrame) {
    const CanRecord r = can_data_record();
    EXPECT_EQ(decode(FrameKind::kNone, view_of(r.layout, r.bytes)).kind, FrameKind::kNone);
}

}  // namespace
}  // namespace tolvar::bus
