// The value of one field of a record: bit-field extraction, a field's value
// after its conversion, the small rules that make flags, bytes and
// identifiers of values, and the read of a field worked out once per record
// length (FieldStep). Stateless; nothing is allocated. The inline reads at
// the end are the decoders' per-field work.
#pragma once

#include <cstdint>
#include <cstring>

#include "bus/frame.h"
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

// The rules of flag_of and byte_of for an integer a double holds exactly.
inline uint8_t flag_of_integer(uint64_t raw) { return raw != 0 ? 1 : 0; }
inline uint8_t byte_of_integer(uint64_t raw) { return raw < 0x80000000u ? static_cast<uint8_t>(raw) : 0; }

// The payload length a CAN data length code stands for: up to 8 for a
// classic frame, the CAN FD table above 8 for an FD frame.
uint8_t can_length_of_dlc(uint8_t dlc, bool fd);

// How one field is read in records of one length: worked out once per record
// group, so that the decoders' field loop does no bounds arithmetic.
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

// How a numeric field (not a byte array) of records of `record_length` bytes
// is read: one load where it can be, otherwise the general rule.
FieldStep prepare_field(const ChannelField& field, uint64_t record_length);
// field_value of a record of the prepared length, through its prepared read.
double step_value(const FieldStep& step, ByteSpan record);

// Whether a conversion leaves every value as it is.
bool is_identity(const Conversion& conversion);

namespace reads {

// Up to 8 bytes from byte `index` on as a little-endian number; bytes past
// the end of the span read as 0.
inline uint64_t load_le(ByteSpan span, uint64_t index) {
    uint64_t value = 0;
    if (index < span.size && span.size - index >= 8) {
        std::memcpy(&value, span.data + index, 8);
    } else {
        for (uint64_t i = index; i < span.size; ++i) value |= uint64_t{span.data[i]} << (8 * (i - index));
    }
    return value;
}

// A value read by a prepared step. `exact`: the value is the integer `raw`
// itself (an unconverted integer of at most 53 bits, which a double holds
// exactly), so the rules that make flags, bytes and identifiers of the
// double give what they give of `raw`.
struct StepValue {
    double v;
    uint64_t raw;
    bool exact;
};

__attribute__((always_inline)) inline uint8_t flag_value(const StepValue& x) {
    return x.exact ? static_cast<uint8_t>(x.raw != 0) : flag_of(x.v);
}
__attribute__((always_inline)) inline uint8_t byte_value(const StepValue& x) {
    if (x.exact) return x.raw < 0x80000000u ? static_cast<uint8_t>(x.raw) : 0;
    return byte_of(x.v);
}
__attribute__((always_inline)) inline uint32_t identifier_value(const StepValue& x) {
    return x.exact ? static_cast<uint32_t>(x.raw) : identifier_bits_of(x.v);
}

// The value of a numeric step that is not read by the general rule.
__attribute__((always_inline)) inline StepValue read_numeric(const FieldStep& s, ByteSpan record) {
    StepValue x{0.0, 0, false};
    if (s.read == FieldStep::Read::kDouble) {
        double d;
        std::memcpy(&d, record.data + s.byte, sizeof d);
        x.v = s.field->conversion.evaluate(d);
        return x;
    }
    uint64_t word;
    if (s.read == FieldStep::Read::kBits) {
        std::memcpy(&word, record.data + s.byte, sizeof word);
    } else {
        word = load_le(record, s.byte);
    }
    x.raw = (word >> s.shift) & s.mask;
    const double d = static_cast<double>(x.raw);
    x.exact = s.identity;
    x.v = s.identity ? d : s.field->conversion.evaluate(d);
    return x;
}

// The value of a field read by its step: prepared, or by the general rule.
__attribute__((always_inline)) inline StepValue numeric_value(const FieldStep& s, ByteSpan record) {
    if (s.read == FieldStep::Read::kRule) return StepValue{field_value(*s.field, record), 0, false};
    return read_numeric(s, record);
}

// The entry at the front of a record's signal bytes (a 4-byte little-endian
// length n, then n bytes): its stated length and the bytes of it that are
// present. The span moves past the whole entry, never beyond its end.
struct SignalEntry {
    uint64_t length = 0;
    const uint8_t* bytes = nullptr;
    uint64_t present = 0;
};

inline SignalEntry take_signal_entry(ByteSpan& signal) {
    SignalEntry entry;
    if (signal.size >= 4) {
        uint32_t length;
        std::memcpy(&length, signal.data, 4);
        entry.length = length;
        entry.bytes = signal.data + 4;
        entry.present = length < signal.size - 4 ? length : signal.size - 4;
    }
    const uint64_t step = 4 + entry.length;
    if (step >= signal.size) {
        if (signal.size != 0) signal.data += signal.size;
        signal.size = 0;
    } else {
        signal.data += step;
        signal.size -= step;
    }
    return entry;
}

}  // namespace reads

}  // namespace tolvar::bus
