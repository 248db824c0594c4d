// Turning the bytes of one record into one BusMessage: bit-field extraction,
// the value of a field, the small rules that make flags, bytes and identifiers
// of values, and the five frame decoders. Stateless; nothing is allocated.
#pragma once

#include <cstdint>

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

}  // namespace tolvar::bus
