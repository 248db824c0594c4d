// Turning the bytes of one record into one BusMessage: bit-field extraction,
// the value of a field, the small rules that make flags, bytes and identifiers
// of values, and the five frame decoders. Stateless; nothing is allocated.
#pragma once

#include <cstdint>
#include <vector>

#include "bus/bus_message.h"
#include "bus/record_layout.h"

namespace tolvar::bus {

// The n bits of `span` starting at bit p. Intel order: bit k is bit k % 8 of
// byte k / 8, bit p being the value's least significant bit. Other order: bits
// are counted from the most significant bit of each byte and the first bit read
// ends up most significant, so a byte-aligned field reads as big-endian.
// A field that does not lie wholly within the span, or has n = 0, gives 0;
// of a field wider than 64 bits only the lowest 64 bits remain. Positions and
// counts of any size are read exactly and never touch a byte outside the span.
uint64_t extract_bits(ByteSpan span, uint64_t p, uint64_t n, ByteOrder order);

// The raw bits of a non-byte-array field, as a double (floating-point fields
// of 16, 32 or 64 bits by their IEEE 754 format), after the field's conversion.
double field_value(const ChannelField& field, ByteSpan record);

// 1 unless -1 < v < 1 (NaN gives 1): v truncated toward zero is not 0.
inline uint8_t flag_of(double v) { return v > -1.0 && v < 1.0 ? 0 : 1; }

// v truncated to a signed 32-bit integer, low 8 bits. NaN and values out of
// range give the pattern 0x80000000, whose low byte is 0.
inline uint8_t byte_of(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return 0;
    return static_cast<uint8_t>(static_cast<int32_t>(v));
}

// v truncated to a signed 64-bit integer, low 32 bits; NaN or out of range 0.
inline uint32_t identifier_bits_of(double v) {
    if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0)) return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(v)));
}

// The payload length a CAN data length code stands for: up to 8 for a
// classic frame, the CAN FD table above 8 for an FD frame.
uint8_t can_length_of_dlc(uint8_t dlc, bool fd);

FrameKind can_data_frame(const RecordView& view, BusMessage& message);
FrameKind can_remote_frame(const RecordView& view, BusMessage& message);
FrameKind can_error_frame(const RecordView& view, BusMessage& message);
FrameKind lin_frame(const RecordView& view, BusMessage& message);
FrameKind no_frame(const RecordView& view, BusMessage& message);

// The decoder that writes frames of this kind (no_frame for kNone).
FrameDecoder decoder_for(FrameKind kind);

// ---------------------------------------------------------------------------
// Decoding prepared once per record group. The decoders above walk a layout
// field by field through the general rules; a DecodeProgram is the same walk
// worked out at plan time for one record length and one decoder: how each
// field is read (one load, shift and mask for an Intel integer wholly inside
// the record, one load for an aligned double, a pointer for payload bytes)
// and which fields have no effect at all. It gives exactly what the decoder
// gives for every record of that length; a record of another length goes
// through the general rules.

// How one field of a DecodeProgram is read.
struct FieldStep {
    enum class Read : uint8_t {
        kRule,         // the decoder's general rule for the field
        kBits,         // (8 bytes from `byte`) >> shift & mask, then the conversion
        kBitsNearEnd,  // the same from fewer than 8 bytes before the record's end
        kDouble,       // the 8 bytes from `byte` as a double, then the conversion
        kRecordBytes,  // payload: `present` bytes from `byte` of the record
        kSignalBytes,  // payload: the record's next signal entry
        kSkipEntry,    // only passes over the record's next signal entry
    };
    Read read = Read::kRule;
    // A numeric field that owns a signal entry passes over it first.
    bool takes_entry = false;
    // The conversion is the identity: the raw value is the value.
    bool identity = false;
    uint8_t shift = 0;
    ChannelRole role = ChannelRole::kNoRole;
    uint64_t byte = 0;
    uint64_t mask = 0;
    uint64_t count = 0;    // kRecordBytes: bytes the field writes
    uint64_t present = 0;  // kRecordBytes: of those, the bytes inside the record
    const ChannelField* field = nullptr;  // borrowed from the layout
};

// The steps of one record group's decoder. Borrows the layout.
struct DecodeProgram {
    FrameKind decoder = FrameKind::kNone;  // the kind its decoder writes
    uint64_t record_length = 0;
    const RecordLayout* layout = nullptr;  // null: not prepared
    std::vector<FieldStep> steps;
    // A CAN data frame whose every value comes from one field, each integer
    // an unconverted Intel integer inside the record, and whose signal
    // entries (if any) are its payload's alone: the order of the fields then
    // changes nothing, and each value is read straight from where it lies.
    struct IntegerRead {
        uint64_t byte = 0;
        uint64_t mask = 0;  // 0 where no field holds the value: it stays 0
        uint8_t shift = 0;
        bool near_end = true;  // fewer than 8 bytes from `byte` to the record's end
    };
    enum CanDataValue : uint8_t { kId, kIde, kDir, kDlc, kDataLength, kEdl, kBrs, kEsi, kBus, kCanDataValues };
    bool straight = false;
    IntegerRead can_data[kCanDataValues];  // when straight
    int32_t time_step = -1;     // the step of the time, -1: none
    int32_t payload_step = -1;  // the step of the payload, -1: none
};

// How a numeric field (not a byte array) of records of `record_length` bytes
// is read: one load where it can be, otherwise the general rule.
FieldStep prepare_field(const ChannelField& field, uint64_t record_length);
// field_value of a record of the prepared length, through its prepared read.
double step_value(const FieldStep& step, ByteSpan record);

// The program of the decoder that writes `kind` for records of
// `record_length` bytes laid out as `layout` (which must outlive it and no
// longer change). Throws std::bad_alloc.
DecodeProgram prepare_decoding(const RecordLayout& layout, uint64_t record_length, FrameKind kind);

// Decodes one record of the program's group into `frame`, exactly as the
// program's decoder would decode it; the record's length decides whether the
// prepared steps or the general rules read it. Returns frame.kind.
FrameKind decode_prepared(const DecodeProgram& program, const RecordView& view, DecodedFrame& frame);

// Decodes `count` (at most CanDataBatch::kSize) whole records of a straight
// CAN data program into `batch`, as decode_prepared decodes each. A payload
// held in the record is set here; one held in a VLSD value must be set in
// batch.payload and batch.present by the caller beforehand (the value's
// bytes and length, at most a payload's; nullptr and 0 for an empty one).
void decode_can_data_batch(const DecodeProgram& program, const StandardLayout& standard,
                           const uint8_t* const* records, uint32_t count, CanDataBatch& batch);

// Decodes one record by the general rules of the decoder that writes `kind`.
FrameKind decode_frame(FrameKind kind, const RecordView& view, DecodedFrame& frame);

// The message the decoder of frame.decoder writes for the decoded frame (for
// a rejected record, as much of it as the decoder stored, without data).
void to_message(const DecodedFrame& frame, BusMessage& message);

}  // namespace tolvar::bus
