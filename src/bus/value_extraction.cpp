#include "bus/value_extraction.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace tolvar::bus {

using reads::load_le;

namespace {

double half_to_double(uint16_t bits) {
    const int exponent = (bits >> 10) & 0x1F;
    const int mantissa = bits & 0x3FF;
    double value;
    if (exponent == 0) {
        value = std::ldexp(mantissa, -24);
    } else if (exponent == 0x1F) {
        value = mantissa != 0 ? std::numeric_limits<double>::quiet_NaN()
                              : std::numeric_limits<double>::infinity();
    } else {
        value = std::ldexp(mantissa + 1024, exponent - 25);
    }
    return (bits & 0x8000) != 0 ? -value : value;
}

double float_of_bits(uint64_t raw, uint64_t bit_count) {
    if (bit_count == 32) {
        const uint32_t narrow = static_cast<uint32_t>(raw);
        float value;
        std::memcpy(&value, &narrow, sizeof value);
        return value;
    }
    if (bit_count == 16) return half_to_double(static_cast<uint16_t>(raw));
    double value;
    std::memcpy(&value, &raw, sizeof value);
    return value;
}

// The body of extract_bits and of field_value.
inline uint64_t extract(ByteSpan span, uint64_t p, uint64_t n, ByteOrder order) {
    if (n == 0) return 0;
    // The field must lie within the span, compared without wrapping.
    const uint64_t span_bits = span.size > (UINT64_MAX >> 3) ? UINT64_MAX : span.size * 8;
    if (p > span_bits || n > span_bits - p) return 0;

    if (order == ByteOrder::kIntel) {
        const uint64_t byte = p >> 3;
        const unsigned shift = static_cast<unsigned>(p & 7);
        uint64_t value = load_le(span, byte) >> shift;
        if (n <= 56) return value & ((uint64_t{1} << n) - 1);
        // Up to 9 bytes: the bits the first load shifted out come from the next.
        if (shift != 0 && byte + 8 < span.size) {
            value |= static_cast<uint64_t>(span.data[byte + 8]) << (64 - shift);
        }
        return n >= 64 ? value : value & ((uint64_t{1} << n) - 1);
    }

    // Most significant bit first; the first bits of a field wider than 64
    // would be shifted out, so only its last 64 are read.
    uint64_t value = 0;
    const uint64_t end = p + n;
    for (uint64_t j = n > 64 ? end - 64 : p; j < end; ++j) {
        value = (value << 1) | ((span.data[j >> 3] >> (7 - (j & 7))) & 1u);
    }
    return value;
}

}  // namespace

uint8_t can_length_of_dlc(uint8_t dlc, bool fd) {
    static constexpr uint8_t kFdLengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    if (dlc > 15) dlc = 15;
    return fd ? kFdLengths[dlc] : (dlc > 8 ? 8 : dlc);
}

uint64_t extract_bits(ByteSpan span, uint64_t p, uint64_t n, ByteOrder order) {
    return extract(span, p, n, order);
}

double field_value(const ChannelField& field, ByteSpan record) {
    const uint64_t raw = extract(record, field.bit_position, field.bit_count, field.byte_order);
    const double x = field.value_kind == ValueKind::kFloat ? float_of_bits(raw, field.bit_count)
                                                            : static_cast<double>(raw);
    return field.conversion.evaluate(x);
}

bool is_identity(const Conversion& conversion) {
    return conversion.kind() == Conversion::Kind::kIdentity || conversion.kind() == Conversion::Kind::kUnsupported;
}

FieldStep prepare_field(const ChannelField& field, uint64_t record_length) {
    FieldStep step;
    step.field = &field;
    step.role = field.role;
    const uint64_t record_bits = record_length * 8;
    const uint64_t n = field.bit_count;
    const uint64_t p = field.bit_position;
    const bool inside = n != 0 && p <= record_bits && n <= record_bits - p;
    if (!inside || field.byte_order != ByteOrder::kIntel) return step;
    if (field.value_kind != ValueKind::kFloat && n <= 56) {
        step.byte = p >> 3;
        step.shift = static_cast<uint8_t>(p & 7);
        step.mask = (uint64_t{1} << n) - 1;
        step.read = step.byte + 8 <= record_length ? FieldStep::Read::kBits : FieldStep::Read::kBitsNearEnd;
        step.identity = is_identity(field.conversion) && n <= 53;
    } else if (field.value_kind == ValueKind::kFloat && n == 64 && p % 8 == 0) {
        step.byte = p >> 3;
        step.read = FieldStep::Read::kDouble;
    }
    return step;
}

double step_value(const FieldStep& step, ByteSpan record) { return reads::numeric_value(step, record).v; }

}  // namespace tolvar::bus
