#include "bus/value_extraction.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace tolvar::bus {

namespace {

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

inline double double_of_bytes(const uint8_t* bytes) {
    double value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// The entry at the front of a record's signal bytes: its stated length and
// the bytes of it that are present. The span moves past the whole entry,
// never beyond its end.
struct SignalEntry {
    uint64_t length = 0;
    const uint8_t* bytes = nullptr;
    uint64_t present = 0;
};

SignalEntry take_signal_entry(ByteSpan& signal) {
    SignalEntry entry;
    if (signal.size >= 4) {
        uint32_t length;
        std::memcpy(&length, signal.data, 4);
        entry.length = length;
        entry.bytes = signal.data + 4;
        entry.present = std::min<uint64_t>(length, signal.size - 4);
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

// Whole bytes of a byte-array field stored in the record, cut to the buffer;
// the bit offset within the first byte plays no part, and bytes beyond the
// record stay 0. Gives the byte count.
uint64_t copy_record_bytes(const ChannelField& field, ByteSpan record, uint8_t* buffer,
                           uint64_t capacity) {
    const uint64_t count = std::min<uint64_t>(field.bit_count / 8, capacity);
    const uint64_t start = field.bit_position / 8;
    if (start < record.size && count != 0) {
        std::memcpy(buffer, record.data + start, std::min<uint64_t>(count, record.size - start));
    }
    return count;
}

inline void set_rejected(BusMessage& message) {
    message.data = nullptr;
    message.data_length = 0;
}

// The body of extract_bits, inlined into every decoder's field loop.
__attribute__((always_inline)) inline uint64_t extract(ByteSpan span, uint64_t p, uint64_t n, ByteOrder order) {
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

__attribute__((always_inline)) inline double value_of(const ChannelField& field, ByteSpan record) {
    const uint64_t raw = extract(record, field.bit_position, field.bit_count, field.byte_order);
    const double x = field.value_kind == ValueKind::kFloat ? float_of_bits(raw, field.bit_count)
                                                            : static_cast<double>(raw);
    return field.conversion.evaluate(x);
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

double field_value(const ChannelField& field, ByteSpan record) { return value_of(field, record); }

FrameKind can_data_frame(const RecordView& view, BusMessage& m) {
    std::memset(&m, 0, sizeof m);
    CanFrameDetails& can = m.details.can;
    bool ok = true;
    ByteSpan signal = view.signal_bytes;
    uint8_t buffer[kCanPayloadSize];

    for (const ChannelField& field : *view.layout) {
        uint64_t count = 0;
        double v;
        if (field.value_kind == ValueKind::kByteArray) {
            std::memset(buffer, 0, sizeof buffer);
            if (field.signal_source != nullptr) {
                const SignalEntry entry = take_signal_entry(signal);
                if (entry.length > kCanPayloadSize) {
                    set_rejected(m);
                    return FrameKind::kNone;
                }
                if (entry.present != 0) std::memcpy(buffer, entry.bytes, entry.present);
                count = entry.length;
            } else {
                count = copy_record_bytes(field, view.record, buffer, sizeof buffer);
            }
            v = double_of_bytes(buffer);
        } else {
            // A numeric channel stored as signal data still owns an entry;
            // skipping it keeps later byte arrays on their own values.
            if (field.signal_source != nullptr) take_signal_entry(signal);
            v = value_of(field, view.record);
        }

        switch (field.role) {
            case ChannelRole::kCanBrs: can.brs = flag_of(v); break;
            case ChannelRole::kCanBusChannel: can.bus = byte_of(v); break;
            case ChannelRole::kCanDataBytes:
                if (count != 0) std::memcpy(can.payload, buffer, count);
                break;
            case ChannelRole::kCanDataLength: m.data_length = byte_of(v); break;
            case ChannelRole::kCanDir: can.direction = flag_of(v); break;
            case ChannelRole::kCanDlc: can.dlc = byte_of(v); break;
            case ChannelRole::kCanEdl: can.fd = flag_of(v); break;
            case ChannelRole::kCanEsi: can.esi = flag_of(v); break;
            case ChannelRole::kCanId: m.identifier |= identifier_bits_of(v); break;
            case ChannelRole::kCanIde: can.extended = flag_of(v); break;
            case ChannelRole::kTimestampRole: m.time = v; break;
            case ChannelRole::kIgnored: break;
            default: ok = false; break;
        }
    }

    if (!ok) {
        set_rejected(m);
        return FrameKind::kNone;
    }
    const StandardLayout& standard = view.layout->standard;
    if (standard.enabled) {
        if (standard.extended_from_id) can.extended = static_cast<uint8_t>(m.identifier >> 31);
        if (standard.length_from_dlc) m.data_length = can_length_of_dlc(can.dlc, can.fd != 0);
    }
    m.kind = FrameKind::kCanDataFrame;
    m.data = can.payload;
    // A recorded length beyond the payload cannot be served from it.
    if (m.data_length > kCanPayloadSize) m.data_length = kCanPayloadSize;
    return FrameKind::kCanDataFrame;
}

FrameKind can_remote_frame(const RecordView& view, BusMessage& m) {
    std::memset(&m, 0, sizeof m);
    CanFrameDetails& can = m.details.can;
    can.remote = 1;
    bool ok = true;

    for (const ChannelField& field : *view.layout) {
        // Byte arrays too are read as unsigned integers of their width.
        const double v = value_of(field, view.record);
        switch (field.role) {
            case ChannelRole::kCanBusChannel: can.bus = byte_of(v); break;
            case ChannelRole::kCanDataLength: m.data_length = byte_of(v); break;
            case ChannelRole::kCanDir: can.direction = flag_of(v); break;
            case ChannelRole::kCanDlc: can.dlc = byte_of(v); break;
            case ChannelRole::kCanId: m.identifier |= identifier_bits_of(v); break;
            case ChannelRole::kCanIde: can.extended = flag_of(v); break;
            case ChannelRole::kTimestampRole: m.time = v; break;
            case ChannelRole::kIgnored: break;
            default: ok = false; break;
        }
    }

    if (!ok) {
        set_rejected(m);
        return FrameKind::kNone;
    }
    const StandardLayout& standard = view.layout->standard;
    if (standard.enabled) {
        if (standard.extended_from_id) can.extended = static_cast<uint8_t>(m.identifier >> 31);
        if (standard.remote_length_from_dlc && m.data_length == 0) m.data_length = can.dlc;
    }
    // A remote frame carries its data length as that many zero bytes.
    m.kind = FrameKind::kCanRemoteFrame;
    m.data = can.payload;
    if (m.data_length > kCanPayloadSize) m.data_length = kCanPayloadSize;
    return FrameKind::kCanRemoteFrame;
}

FrameKind can_error_frame(const RecordView& view, BusMessage& m) {
    std::memset(&m, 0, sizeof m);
    CanErrorDetails& error = m.details.error;
    bool ok = true;

    for (const ChannelField& field : *view.layout) {
        const double v = value_of(field, view.record);
        switch (field.role) {
            case ChannelRole::kCanBusChannel: error.bus = byte_of(v); break;
            case ChannelRole::kCanErrorType: {
                const uint8_t type = byte_of(v);
                error.error_type = type <= 5 ? type : 0;
                break;
            }
            case ChannelRole::kTimestampRole: m.time = v; break;
            // Only a standard layout gives an error frame its identifier.
            case ChannelRole::kCanId:
                if (view.layout->standard.enabled) {
                    m.identifier |= identifier_bits_of(v);
                } else {
                    ok = false;
                }
                break;
            case ChannelRole::kIgnored: break;
            default: ok = false; break;
        }
    }

    set_rejected(m);
    if (!ok) return FrameKind::kNone;
    m.kind = FrameKind::kCanErrorFrame;
    return FrameKind::kCanErrorFrame;
}

FrameKind lin_frame(const RecordView& view, BusMessage& m) {
    std::memset(&m, 0, sizeof m);
    LinFrameDetails& lin = m.details.lin;
    bool ok = true;
    ByteSpan signal = view.signal_bytes;
    uint8_t buffer[16];

    for (const ChannelField& field : *view.layout) {
        double v;
        std::memset(buffer, 0, sizeof buffer);
        if (field.value_kind == ValueKind::kByteArray) {
            if (field.signal_source != nullptr) {
                // Payload bytes kept as signal data are read like those of a
                // CAN frame, so the fields after them are not lost.
                const SignalEntry entry = take_signal_entry(signal);
                const uint64_t count = std::min<uint64_t>(entry.present, sizeof buffer);
                if (count != 0) std::memcpy(buffer, entry.bytes, count);
            } else {
                copy_record_bytes(field, view.record, buffer, sizeof buffer);
            }
            v = double_of_bytes(buffer);
        } else {
            if (field.signal_source != nullptr) take_signal_entry(signal);
            v = value_of(field, view.record);
            std::memcpy(buffer, &v, sizeof v);
        }

        switch (field.role) {
            case ChannelRole::kLinBusChannel: lin.bus = byte_of(v); break;
            case ChannelRole::kLinDataBytes: std::memcpy(lin.payload, buffer, kLinPayloadSize); break;
            case ChannelRole::kLinDataLength: m.data_length = byte_of(v); break;
            case ChannelRole::kLinDir: lin.direction = v != 0.0 ? 1 : 0; break;
            case ChannelRole::kLinId: m.identifier |= identifier_bits_of(v); break;
            case ChannelRole::kLinReceivedDataByteCount: lin.received_byte_count = byte_of(v); break;
            case ChannelRole::kTimestampRole: m.time = v; break;
            case ChannelRole::kIgnored: break;
            default: ok = false; break;
        }
    }

    if (!ok) {
        set_rejected(m);
        return FrameKind::kNone;
    }
    m.kind = FrameKind::kLinFrame;
    m.data = lin.payload;
    if (m.data_length > kLinPayloadSize) m.data_length = kLinPayloadSize;
    return FrameKind::kLinFrame;
}

FrameKind no_frame(const RecordView&, BusMessage& m) {
    m.kind = FrameKind::kNone;
    return FrameKind::kNone;
}

FrameDecoder decoder_for(FrameKind kind) {
    switch (kind) {
        case FrameKind::kCanDataFrame: return can_data_frame;
        case FrameKind::kCanRemoteFrame: return can_remote_frame;
        case FrameKind::kCanErrorFrame: return can_error_frame;
        case FrameKind::kLinFrame: return lin_frame;
        case FrameKind::kNone: break;
    }
    return no_frame;
}

}  // namespace tolvar::bus
