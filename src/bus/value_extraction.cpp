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

namespace {

// The steps a decoder walks: a prepared program's, or one per field of the
// layout, each read by the general rule.
struct RuleSteps {
    const RecordLayout& layout;
    size_t size() const { return layout.size(); }
    FieldStep operator[](size_t i) const {
        FieldStep step;
        step.field = &layout[i];
        step.role = layout[i].role;
        return step;
    }
};

struct ProgramSteps {
    const std::vector<FieldStep>& steps;
    size_t size() const { return steps.size(); }
    const FieldStep& operator[](size_t i) const { return steps[i]; }
};

void begin(DecodedFrame& f, FrameKind decoder) {
    f.decoder = decoder;
    f.kind = FrameKind::kNone;
    f.time = 0.0;
    f.identifier = 0;
    f.data_length = 0;
    f.extended = f.direction = f.fd = f.esi = f.brs = f.bus = f.dlc = f.received_byte_count = 0;
    f.error_type = 0;
    f.payload = nullptr;
    f.present = 0;
    std::memset(f.lin_payload, 0, sizeof f.lin_payload);
}

FrameKind reject(DecodedFrame& f) {
    f.kind = FrameKind::kNone;
    f.data_length = 0;
    return FrameKind::kNone;
}

// A byte array wrote `count` bytes at the start of the CAN payload: `present`
// bytes from `bytes`, then zeros. Bytes that stay valid with the record
// (`stable`) are pointed to while nothing else was written; otherwise the
// payload is composed in the frame.
void write_payload(DecodedFrame& f, const uint8_t* bytes, uint64_t present, uint64_t count, bool stable) {
    if (stable && f.present == 0) {
        f.payload = bytes;
        f.present = present;
        return;
    }
    if (f.payload != f.composed) {
        if (f.present != 0) std::memcpy(f.composed, f.payload, f.present);
        std::memset(f.composed + f.present, 0, kCanPayloadSize - f.present);
        f.payload = f.composed;
        f.present = kCanPayloadSize;
    }
    if (present != 0) std::memcpy(f.composed, bytes, present);
    if (count > present) std::memset(f.composed + present, 0, count - present);
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

template <class Steps>
FrameKind decode_can_data(const Steps& steps, const RecordView& view, DecodedFrame& f) {
    begin(f, FrameKind::kCanDataFrame);
    bool ok = true;
    ByteSpan signal = view.signal_bytes;
    const size_t n = steps.size();
    for (size_t i = 0; i < n; ++i) {
        const FieldStep& s = steps[i];
        StepValue x{0.0, 0, false};
        switch (s.read) {
            case FieldStep::Read::kRule: {
                const ChannelField& field = *s.field;
                if (field.value_kind == ValueKind::kByteArray) {
                    uint8_t buffer[kCanPayloadSize] = {};
                    uint64_t count = 0;
                    if (field.signal_source != nullptr) {
                        const SignalEntry entry = take_signal_entry(signal);
                        if (entry.length > kCanPayloadSize) return reject(f);
                        if (entry.present != 0) std::memcpy(buffer, entry.bytes, entry.present);
                        count = entry.length;
                    } else {
                        count = copy_record_bytes(field, view.record, buffer, sizeof buffer);
                    }
                    if (s.role == ChannelRole::kCanDataBytes) {
                        if (count != 0) write_payload(f, buffer, count, count, false);
                        continue;
                    }
                    x.v = double_of_bytes(buffer);
                } else {
                    // A numeric channel stored as signal data still owns an entry;
                    // skipping it keeps later byte arrays on their own values.
                    if (field.signal_source != nullptr) take_signal_entry(signal);
                    x.v = value_of(field, view.record);
                }
                break;
            }
            case FieldStep::Read::kSignalBytes: {
                const SignalEntry entry = take_signal_entry(signal);
                if (entry.length > kCanPayloadSize) return reject(f);
                if (s.role == ChannelRole::kCanDataBytes && entry.length != 0) {
                    write_payload(f, entry.bytes, entry.present, entry.length, true);
                }
                continue;
            }
            case FieldStep::Read::kRecordBytes:
                if (s.count != 0) {
                    write_payload(f, s.present != 0 ? view.record.data + s.byte : nullptr, s.present, s.count, true);
                }
                continue;
            case FieldStep::Read::kSkipEntry:
                take_signal_entry(signal);
                continue;
            default:
                if (s.takes_entry) take_signal_entry(signal);
                x = read_numeric(s, view.record);
                break;
        }

        switch (s.role) {
            case ChannelRole::kCanBrs: f.brs = flag_value(x); break;
            case ChannelRole::kCanBusChannel: f.bus = byte_value(x); break;
            case ChannelRole::kCanDataBytes: break;  // a numeric field copies nothing
            case ChannelRole::kCanDataLength: f.data_length = byte_value(x); break;
            case ChannelRole::kCanDir: f.direction = flag_value(x); break;
            case ChannelRole::kCanDlc: f.dlc = byte_value(x); break;
            case ChannelRole::kCanEdl: f.fd = flag_value(x); break;
            case ChannelRole::kCanEsi: f.esi = flag_value(x); break;
            case ChannelRole::kCanId: f.identifier |= identifier_value(x); break;
            case ChannelRole::kCanIde: f.extended = flag_value(x); break;
            case ChannelRole::kTimestampRole: f.time = x.v; break;
            case ChannelRole::kIgnored: break;
            default: ok = false; break;
        }
    }

    if (!ok) return reject(f);
    const StandardLayout& standard = view.layout->standard;
    if (standard.enabled) {
        if (standard.extended_from_id) f.extended = static_cast<uint8_t>(f.identifier >> 31);
        if (standard.length_from_dlc) f.data_length = can_length_of_dlc(f.dlc, f.fd != 0);
    }
    // A recorded length beyond the payload cannot be served from it.
    if (f.data_length > kCanPayloadSize) f.data_length = kCanPayloadSize;
    f.kind = FrameKind::kCanDataFrame;
    return f.kind;
}

// The value of a field as the remote, error and LIN decoders read a numeric
// field: prepared, or by the general rule.
__attribute__((always_inline)) inline StepValue numeric_value(const FieldStep& s, ByteSpan record) {
    if (s.read == FieldStep::Read::kRule) return StepValue{value_of(*s.field, record), 0, false};
    return read_numeric(s, record);
}

template <class Steps>
FrameKind decode_can_remote(const Steps& steps, const RecordView& view, DecodedFrame& f) {
    begin(f, FrameKind::kCanRemoteFrame);
    bool ok = true;
    const size_t n = steps.size();
    for (size_t i = 0; i < n; ++i) {
        const FieldStep& s = steps[i];
        // Byte arrays too are read as unsigned integers of their width.
        const StepValue x = numeric_value(s, view.record);
        switch (s.role) {
            case ChannelRole::kCanBusChannel: f.bus = byte_value(x); break;
            case ChannelRole::kCanDataLength: f.data_length = byte_value(x); break;
            case ChannelRole::kCanDir: f.direction = flag_value(x); break;
            case ChannelRole::kCanDlc: f.dlc = byte_value(x); break;
            case ChannelRole::kCanId: f.identifier |= identifier_value(x); break;
            case ChannelRole::kCanIde: f.extended = flag_value(x); break;
            case ChannelRole::kTimestampRole: f.time = x.v; break;
            case ChannelRole::kIgnored: break;
            default: ok = false; break;
        }
    }

    if (!ok) return reject(f);
    const StandardLayout& standard = view.layout->standard;
    if (standard.enabled) {
        if (standard.extended_from_id) f.extended = static_cast<uint8_t>(f.identifier >> 31);
        if (standard.remote_length_from_dlc && f.data_length == 0) f.data_length = f.dlc;
    }
    // A remote frame carries its data length as that many zero bytes.
    if (f.data_length > kCanPayloadSize) f.data_length = kCanPayloadSize;
    f.kind = FrameKind::kCanRemoteFrame;
    return f.kind;
}

template <class Steps>
FrameKind decode_can_error(const Steps& steps, const RecordView& view, DecodedFrame& f) {
    begin(f, FrameKind::kCanErrorFrame);
    bool ok = true;
    const size_t n = steps.size();
    for (size_t i = 0; i < n; ++i) {
        const FieldStep& s = steps[i];
        const StepValue x = numeric_value(s, view.record);
        switch (s.role) {
            case ChannelRole::kCanBusChannel: f.bus = byte_value(x); break;
            case ChannelRole::kCanErrorType: {
                const uint8_t type = byte_value(x);
                f.error_type = type <= 5 ? type : 0;
                break;
            }
            case ChannelRole::kTimestampRole: f.time = x.v; break;
            // Only a standard layout gives an error frame its identifier.
            case ChannelRole::kCanId:
                if (view.layout->standard.enabled) {
                    f.identifier |= identifier_value(x);
                } else {
                    ok = false;
                }
                break;
            case ChannelRole::kIgnored: break;
            default: ok = false; break;
        }
    }
    f.data_length = 0;
    if (!ok) return reject(f);
    f.kind = FrameKind::kCanErrorFrame;
    return f.kind;
}

template <class Steps>
FrameKind decode_lin(const Steps& steps, const RecordView& view, DecodedFrame& f) {
    begin(f, FrameKind::kLinFrame);
    bool ok = true;
    ByteSpan signal = view.signal_bytes;
    const size_t n = steps.size();
    for (size_t i = 0; i < n; ++i) {
        const FieldStep& s = steps[i];
        StepValue x{0.0, 0, false};
        if (s.read == FieldStep::Read::kSkipEntry) {
            take_signal_entry(signal);
            continue;
        }
        if (s.read == FieldStep::Read::kRule && s.field->value_kind == ValueKind::kByteArray) {
            uint8_t buffer[16] = {};
            if (s.field->signal_source != nullptr) {
                // Payload bytes kept as signal data are read like those of a
                // CAN frame, so the fields after them are not lost.
                const SignalEntry entry = take_signal_entry(signal);
                const uint64_t count = std::min<uint64_t>(entry.present, sizeof buffer);
                if (count != 0) std::memcpy(buffer, entry.bytes, count);
            } else {
                copy_record_bytes(*s.field, view.record, buffer, sizeof buffer);
            }
            if (s.role == ChannelRole::kLinDataBytes) {
                std::memcpy(f.lin_payload, buffer, kLinPayloadSize);
                continue;
            }
            x.v = double_of_bytes(buffer);
        } else {
            if (s.read == FieldStep::Read::kRule ? s.field->signal_source != nullptr : s.takes_entry) {
                take_signal_entry(signal);
            }
            x = numeric_value(s, view.record);
        }

        switch (s.role) {
            case ChannelRole::kLinBusChannel: f.bus = byte_value(x); break;
            // A numeric payload field gives the 8 bytes of its value.
            case ChannelRole::kLinDataBytes: std::memcpy(f.lin_payload, &x.v, kLinPayloadSize); break;
            case ChannelRole::kLinDataLength: f.data_length = byte_value(x); break;
            case ChannelRole::kLinDir: f.direction = x.exact ? x.raw != 0 : (x.v != 0.0 ? 1 : 0); break;
            case ChannelRole::kLinId: f.identifier |= identifier_value(x); break;
            case ChannelRole::kLinReceivedDataByteCount: f.received_byte_count = byte_value(x); break;
            case ChannelRole::kTimestampRole: f.time = x.v; break;
            case ChannelRole::kIgnored: break;
            default: ok = false; break;
        }
    }

    if (!ok) return reject(f);
    if (f.data_length > kLinPayloadSize) f.data_length = kLinPayloadSize;
    f.kind = FrameKind::kLinFrame;
    return f.kind;
}

__attribute__((always_inline)) inline uint64_t integer_of(const DecodeProgram::IntegerRead& r, ByteSpan record) {
    uint64_t word;
    if (!r.near_end) {
        std::memcpy(&word, record.data + r.byte, sizeof word);
    } else {
        word = load_le(record, r.byte);
    }
    return (word >> r.shift) & r.mask;
}

// The rules of flag_of, byte_of and identifier_bits_of for an integer a
// double holds exactly.
inline uint8_t flag_of_integer(uint64_t raw) { return raw != 0 ? 1 : 0; }
inline uint8_t byte_of_integer(uint64_t raw) { return raw < 0x80000000u ? static_cast<uint8_t>(raw) : 0; }

// A CAN data frame of a straight program; false when its payload's signal
// entry is too long for a frame, which the steps then decode in their order.
// Every value goes into a local first: the frame's byte-wide members may
// alias anything, and storing them one by one would make the compiler read
// the program again after each.
bool decode_can_data_straight(const DecodeProgram& program, const RecordView& view, DecodedFrame& f) {
    using P = DecodeProgram;
    const P::IntegerRead* r = program.can_data;
    const ByteSpan record = view.record;
    const uint8_t* payload = nullptr;
    uint64_t present = 0;
    if (program.payload_step >= 0) {
        const FieldStep& s = program.steps[static_cast<size_t>(program.payload_step)];
        if (s.read == FieldStep::Read::kRecordBytes) {
            if (s.present != 0) {
                payload = record.data + s.byte;
                present = s.present;
            }
        } else {
            ByteSpan signal = view.signal_bytes;
            const SignalEntry entry = take_signal_entry(signal);
            if (entry.length > kCanPayloadSize) return false;
            if (entry.length != 0) {
                payload = entry.bytes;
                present = entry.present;
            }
        }
    }
    const double time = program.time_step >= 0
                            ? read_numeric(program.steps[static_cast<size_t>(program.time_step)], record).v
                            : 0.0;
    const uint32_t identifier = static_cast<uint32_t>(integer_of(r[P::kId], record));
    uint8_t extended = flag_of_integer(integer_of(r[P::kIde], record));
    const uint8_t direction = flag_of_integer(integer_of(r[P::kDir], record));
    const uint8_t dlc = byte_of_integer(integer_of(r[P::kDlc], record));
    uint64_t data_length = byte_of_integer(integer_of(r[P::kDataLength], record));
    const uint8_t fd = flag_of_integer(integer_of(r[P::kEdl], record));
    const uint8_t brs = flag_of_integer(integer_of(r[P::kBrs], record));
    const uint8_t esi = flag_of_integer(integer_of(r[P::kEsi], record));
    const uint8_t bus = byte_of_integer(integer_of(r[P::kBus], record));
    const StandardLayout& standard = view.layout->standard;
    if (standard.enabled) {
        if (standard.extended_from_id) extended = static_cast<uint8_t>(identifier >> 31);
        if (standard.length_from_dlc) data_length = can_length_of_dlc(dlc, fd != 0);
    }
    if (data_length > kCanPayloadSize) data_length = kCanPayloadSize;
    f.decoder = FrameKind::kCanDataFrame;
    f.kind = FrameKind::kCanDataFrame;
    f.time = time;
    f.identifier = identifier;
    f.data_length = data_length;
    f.extended = extended;
    f.direction = direction;
    f.fd = fd;
    f.esi = esi;
    f.brs = brs;
    f.bus = bus;
    f.dlc = dlc;
    f.received_byte_count = 0;
    f.error_type = 0;
    f.payload = payload;
    f.present = present;
    return true;
}

}  // namespace

void decode_can_data_batch(const DecodeProgram& program, const StandardLayout& standard,
                           const uint8_t* const* records, uint32_t count, CanDataBatch& batch) {
    using P = DecodeProgram;
    const uint64_t length = program.record_length;
    batch.count = count;
    // One value at a time over the whole batch: each loop reads one place of
    // every record with the same load, shift and mask.
    if (program.time_step >= 0) {
        const FieldStep& s = program.steps[static_cast<size_t>(program.time_step)];
        for (uint32_t i = 0; i < count; ++i) batch.time[i] = read_numeric(s, ByteSpan{records[i], length}).v;
    } else {
        for (uint32_t i = 0; i < count; ++i) batch.time[i] = 0.0;
    }
    // The read in locals: the stores into byte arrays may alias anything.
    auto values = [&](const P::IntegerRead& r, auto&& store) {
        if (!r.near_end) {
            const uint64_t byte = r.byte;
            const unsigned shift = r.shift;
            const uint64_t mask = r.mask;
            for (uint32_t i = 0; i < count; ++i) {
                uint64_t word;
                std::memcpy(&word, records[i] + byte, sizeof word);
                store(i, (word >> shift) & mask);
            }
        } else {
            for (uint32_t i = 0; i < count; ++i) store(i, integer_of(r, ByteSpan{records[i], length}));
        }
    };
    const P::IntegerRead* r = program.can_data;
    values(r[P::kId], [&](uint32_t i, uint64_t raw) { batch.identifier[i] = static_cast<uint32_t>(raw); });
    values(r[P::kIde], [&](uint32_t i, uint64_t raw) { batch.extended[i] = flag_of_integer(raw); });
    values(r[P::kDir], [&](uint32_t i, uint64_t raw) { batch.direction[i] = flag_of_integer(raw); });
    values(r[P::kDlc], [&](uint32_t i, uint64_t raw) { batch.dlc[i] = byte_of_integer(raw); });
    values(r[P::kDataLength], [&](uint32_t i, uint64_t raw) { batch.data_length[i] = byte_of_integer(raw); });
    values(r[P::kEdl], [&](uint32_t i, uint64_t raw) { batch.fd[i] = flag_of_integer(raw); });
    values(r[P::kBrs], [&](uint32_t i, uint64_t raw) { batch.brs[i] = flag_of_integer(raw); });
    values(r[P::kEsi], [&](uint32_t i, uint64_t raw) { batch.esi[i] = flag_of_integer(raw); });
    values(r[P::kBus], [&](uint32_t i, uint64_t raw) { batch.bus[i] = byte_of_integer(raw); });
    if (standard.enabled) {
        if (standard.extended_from_id) {
            for (uint32_t i = 0; i < count; ++i) batch.extended[i] = static_cast<uint8_t>(batch.identifier[i] >> 31);
        }
        if (standard.length_from_dlc) {
            for (uint32_t i = 0; i < count; ++i) batch.data_length[i] = can_length_of_dlc(batch.dlc[i], batch.fd[i] != 0);
        }
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (batch.data_length[i] > kCanPayloadSize) batch.data_length[i] = kCanPayloadSize;
    }
    if (program.payload_step < 0) {
        for (uint32_t i = 0; i < count; ++i) {
            batch.payload[i] = nullptr;
            batch.present[i] = 0;
        }
    } else {
        const FieldStep& s = program.steps[static_cast<size_t>(program.payload_step)];
        if (s.read == FieldStep::Read::kRecordBytes) {
            for (uint32_t i = 0; i < count; ++i) {
                batch.payload[i] = s.present != 0 ? records[i] + s.byte : nullptr;
                batch.present[i] = static_cast<uint32_t>(s.present);
            }
        }
    }
}

namespace {

// Makes the program straight when it can be (DecodeProgram::straight).
void straighten_can_data(DecodeProgram& program) {
    using P = DecodeProgram;
    bool seen[P::kCanDataValues] = {};
    for (size_t i = 0; i < program.steps.size(); ++i) {
        const FieldStep& s = program.steps[i];
        if (i > static_cast<size_t>(INT32_MAX)) return;
        const int32_t index = static_cast<int32_t>(i);
        // Two fields of one value: their order counts.
        if (s.role == ChannelRole::kTimestampRole) {
            const bool numeric = s.read == FieldStep::Read::kBits || s.read == FieldStep::Read::kBitsNearEnd ||
                                 s.read == FieldStep::Read::kDouble;
            if (program.time_step >= 0 || !numeric || s.takes_entry) return;
            program.time_step = index;
            continue;
        }
        if (s.role == ChannelRole::kCanDataBytes) {
            if (program.payload_step >= 0) return;
            if (s.read != FieldStep::Read::kRecordBytes && s.read != FieldStep::Read::kSignalBytes) return;
            program.payload_step = index;
            continue;
        }
        P::CanDataValue value;
        switch (s.role) {
            case ChannelRole::kCanId: value = P::kId; break;
            case ChannelRole::kCanIde: value = P::kIde; break;
            case ChannelRole::kCanDir: value = P::kDir; break;
            case ChannelRole::kCanDlc: value = P::kDlc; break;
            case ChannelRole::kCanDataLength: value = P::kDataLength; break;
            case ChannelRole::kCanEdl: value = P::kEdl; break;
            case ChannelRole::kCanBrs: value = P::kBrs; break;
            case ChannelRole::kCanEsi: value = P::kEsi; break;
            case ChannelRole::kCanBusChannel: value = P::kBus; break;
            default: return;  // a value that rejects the frame, or a signal entry passed over
        }
        const bool integer = s.read == FieldStep::Read::kBits || s.read == FieldStep::Read::kBitsNearEnd;
        if (seen[value] || !integer || !s.identity || s.takes_entry) return;
        seen[value] = true;
        P::IntegerRead& read = program.can_data[value];
        read.byte = s.byte;
        read.mask = s.mask;
        read.shift = s.shift;
        read.near_end = s.read == FieldStep::Read::kBitsNearEnd;
    }
    program.straight = true;
}

template <class Steps>
FrameKind decode_with(FrameKind decoder, const Steps& steps, const RecordView& view, DecodedFrame& f) {
    switch (decoder) {
        case FrameKind::kCanDataFrame: return decode_can_data(steps, view, f);
        case FrameKind::kCanRemoteFrame: return decode_can_remote(steps, view, f);
        case FrameKind::kCanErrorFrame: return decode_can_error(steps, view, f);
        case FrameKind::kLinFrame: return decode_lin(steps, view, f);
        case FrameKind::kNone: break;
    }
    begin(f, FrameKind::kNone);
    return FrameKind::kNone;
}

// Whether a conversion leaves every value as it is.
bool is_identity(const Conversion& conversion) {
    return conversion.kind() == Conversion::Kind::kIdentity || conversion.kind() == Conversion::Kind::kUnsupported;
}

FrameKind decode_and_convert(FrameKind decoder, const RecordView& view, BusMessage& m) {
    DecodedFrame f;
    decode_with(decoder, RuleSteps{*view.layout}, view, f);
    to_message(f, m);
    return f.kind;
}

}  // namespace

FrameKind decode_frame(FrameKind kind, const RecordView& view, DecodedFrame& frame) {
    return decode_with(kind, RuleSteps{*view.layout}, view, frame);
}

FrameKind decode_prepared(const DecodeProgram& program, const RecordView& view, DecodedFrame& frame) {
    if (program.layout == nullptr || view.record.size != program.record_length) {
        return decode_frame(program.decoder, view, frame);
    }
    if (program.straight && decode_can_data_straight(program, view, frame)) return frame.kind;
    return decode_with(program.decoder, ProgramSteps{program.steps}, view, frame);
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

double step_value(const FieldStep& step, ByteSpan record) { return numeric_value(step, record).v; }

DecodeProgram prepare_decoding(const RecordLayout& layout, uint64_t record_length, FrameKind kind) {
    DecodeProgram program;
    program.decoder = kind;
    program.record_length = record_length;
    program.layout = &layout;
    if (kind == FrameKind::kNone) return program;
    // Only the CAN data and LIN decoders read signal entries.
    const bool entries = kind == FrameKind::kCanDataFrame || kind == FrameKind::kLinFrame;
    for (const ChannelField& field : layout) {
        FieldStep step;
        step.field = &field;
        step.role = field.role;
        const bool has_entry = entries && field.signal_source != nullptr;
        if (field.role == ChannelRole::kIgnored) {
            // Its value has no effect; only its signal entry does, whose
            // length may still reject a CAN data frame.
            if (!has_entry) continue;
            step.read = field.value_kind == ValueKind::kByteArray && kind == FrameKind::kCanDataFrame
                            ? FieldStep::Read::kSignalBytes
                            : FieldStep::Read::kSkipEntry;
            program.steps.push_back(step);
            continue;
        }
        if (entries && field.value_kind == ValueKind::kByteArray) {
            if (kind == FrameKind::kCanDataFrame && field.role == ChannelRole::kCanDataBytes) {
                if (has_entry) {
                    step.read = FieldStep::Read::kSignalBytes;
                } else {
                    step.read = FieldStep::Read::kRecordBytes;
                    step.count = std::min<uint64_t>(field.bit_count / 8, kCanPayloadSize);
                    step.byte = field.bit_position / 8;
                    step.present = step.byte < record_length ? std::min(step.count, record_length - step.byte) : 0;
                }
            }
            program.steps.push_back(step);
            continue;
        }
        step = prepare_field(field, record_length);
        step.takes_entry = has_entry;
        program.steps.push_back(step);
    }
    if (kind == FrameKind::kCanDataFrame) straighten_can_data(program);
    return program;
}

void to_message(const DecodedFrame& f, BusMessage& m) {
    if (f.decoder == FrameKind::kNone) {
        // The no-frame decoder writes only the kind.
        m.kind = FrameKind::kNone;
        return;
    }
    std::memset(&m, 0, sizeof m);
    m.time = f.time;
    m.identifier = f.identifier;
    const bool ok = f.kind != FrameKind::kNone;
    switch (f.decoder) {
        case FrameKind::kCanDataFrame:
        case FrameKind::kCanRemoteFrame: {
            CanFrameDetails& can = m.details.can;
            can.extended = f.extended;
            can.direction = f.direction;
            can.fd = f.fd;
            can.esi = f.esi;
            can.brs = f.brs;
            can.remote = f.decoder == FrameKind::kCanRemoteFrame ? 1 : 0;
            can.bus = f.bus;
            can.dlc = f.dlc;
            if (f.present != 0) std::memcpy(can.payload, f.payload, f.present);
            if (ok) m.data = can.payload;
            break;
        }
        case FrameKind::kCanErrorFrame:
            m.details.error.bus = f.bus;
            m.details.error.error_type = f.error_type;
            break;
        case FrameKind::kLinFrame: {
            LinFrameDetails& lin = m.details.lin;
            lin.direction = f.direction;
            lin.bus = f.bus;
            lin.received_byte_count = f.received_byte_count;
            std::memcpy(lin.payload, f.lin_payload, kLinPayloadSize);
            if (ok) m.data = lin.payload;
            break;
        }
        case FrameKind::kNone: break;
    }
    m.data_length = ok ? f.data_length : 0;
    m.kind = f.kind;
}

FrameKind can_data_frame(const RecordView& view, BusMessage& m) {
    return decode_and_convert(FrameKind::kCanDataFrame, view, m);
}

FrameKind can_remote_frame(const RecordView& view, BusMessage& m) {
    return decode_and_convert(FrameKind::kCanRemoteFrame, view, m);
}

FrameKind can_error_frame(const RecordView& view, BusMessage& m) {
    return decode_and_convert(FrameKind::kCanErrorFrame, view, m);
}

FrameKind lin_frame(const RecordView& view, BusMessage& m) { return decode_and_convert(FrameKind::kLinFrame, view, m); }

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
