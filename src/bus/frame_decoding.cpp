#include "bus/frame_decoding.h"

#include <algorithm>
#include <cstring>

#include "bus/value_extraction.h"

namespace tolvar::bus {

namespace {

using reads::byte_value;
using reads::flag_value;
using reads::identifier_value;
using reads::numeric_value;
using reads::read_numeric;
using reads::SignalEntry;
using reads::StepValue;
using reads::take_signal_entry;

// One record's values as a decoder stores them, before they become a Frame:
// the CAN payload is left where it lies (in the record, its signal bytes, or
// `composed`, the caller's scratch, where several byte arrays wrote over each
// other); a LIN payload is written to the scratch.
struct Decoded {
    FrameKind kind = FrameKind::kNone;  // what the record gave: the decoder's kind, or kNone
    double time = 0.0;
    uint32_t identifier = 0;
    uint64_t data_length = 0;
    uint8_t extended = 0;
    uint8_t direction = 0;
    uint8_t fd = 0;
    uint8_t esi = 0;
    uint8_t brs = 0;
    uint8_t bus = 0;
    uint8_t dlc = 0;
    uint8_t received_byte_count = 0;  // LIN
    int32_t error_type = 0;           // error frames
    // A CAN data frame's payload: the `present` bytes at `payload`, then zeros.
    const uint8_t* payload = nullptr;
    uint64_t present = 0;
    uint8_t* composed = nullptr;     // the scratch
    uint8_t* lin_payload = nullptr;  // the scratch
};

inline double double_of_bytes(const uint8_t* bytes) {
    double value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
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

void begin(Decoded& f) {
    f.kind = FrameKind::kNone;
    f.time = 0.0;
    f.identifier = 0;
    f.data_length = 0;
    f.extended = f.direction = f.fd = f.esi = f.brs = f.bus = f.dlc = f.received_byte_count = 0;
    f.error_type = 0;
    f.payload = nullptr;
    f.present = 0;
    std::memset(f.lin_payload, 0, kLinPayloadSize);
}

FrameKind reject(Decoded& f) {
    f.kind = FrameKind::kNone;
    f.data_length = 0;
    return FrameKind::kNone;
}

// A byte array wrote `count` bytes at the start of the CAN payload: `present`
// bytes from `bytes`, then zeros. Bytes that stay valid with the record
// (`stable`) are pointed to while nothing else was written; otherwise the
// payload is composed in the scratch.
void write_payload(Decoded& f, const uint8_t* bytes, uint64_t present, uint64_t count, bool stable) {
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

// Stores a value of a role CAN data and remote frames share; false for a
// role neither frame places, which rejects the record.
__attribute__((always_inline)) inline bool store_can_value(ChannelRole role, const StepValue& x, Decoded& f) {
    switch (role) {
        case ChannelRole::kCanBusChannel: f.bus = byte_value(x); return true;
        case ChannelRole::kCanDataLength: f.data_length = byte_value(x); return true;
        case ChannelRole::kCanDir: f.direction = flag_value(x); return true;
        case ChannelRole::kCanDlc: f.dlc = byte_value(x); return true;
        case ChannelRole::kCanId: f.identifier |= identifier_value(x); return true;
        case ChannelRole::kCanIde: f.extended = flag_value(x); return true;
        case ChannelRole::kTimestampRole: f.time = x.v; return true;
        case ChannelRole::kIgnored: return true;
        default: return false;
    }
}

// Completes a CAN data or remote frame whose fields are read: what a
// standard layout leaves to the decoder (the extended flag in the
// identifier's top bit, the length from the DLC), and the length capped at
// the payload (a recorded length beyond it cannot be served from it; a
// remote frame carries its length as that many zero bytes).
FrameKind finish_can(Decoded& f, const RecordView& view, bool ok, FrameKind kind) {
    if (!ok) return reject(f);
    const StandardLayout& standard = view.layout->standard;
    if (standard.enabled) {
        if (standard.extended_from_id) f.extended = static_cast<uint8_t>(f.identifier >> 31);
        if (kind == FrameKind::kCanDataFrame && standard.length_from_dlc) {
            f.data_length = can_length_of_dlc(f.dlc, f.fd != 0);
        }
        if (kind == FrameKind::kCanRemoteFrame && standard.remote_length_from_dlc && f.data_length == 0) {
            f.data_length = f.dlc;
        }
    }
    if (f.data_length > kCanPayloadSize) f.data_length = kCanPayloadSize;
    f.kind = kind;
    return f.kind;
}

template <class Steps>
FrameKind decode_can_data(const Steps& steps, const RecordView& view, Decoded& f) {
    begin(f);
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
                    x.v = field_value(field, view.record);
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
            case ChannelRole::kCanDataBytes: break;  // a numeric field copies nothing
            case ChannelRole::kCanEdl: f.fd = flag_value(x); break;
            case ChannelRole::kCanEsi: f.esi = flag_value(x); break;
            default: ok = store_can_value(s.role, x, f) && ok; break;
        }
    }

    return finish_can(f, view, ok, FrameKind::kCanDataFrame);
}

template <class Steps>
FrameKind decode_can_remote(const Steps& steps, const RecordView& view, Decoded& f) {
    begin(f);
    bool ok = true;
    const size_t n = steps.size();
    for (size_t i = 0; i < n; ++i) {
        const FieldStep& s = steps[i];
        // Byte arrays too are read as unsigned integers of their width.
        const StepValue x = numeric_value(s, view.record);
        ok = store_can_value(s.role, x, f) && ok;
    }

    return finish_can(f, view, ok, FrameKind::kCanRemoteFrame);
}

template <class Steps>
FrameKind decode_can_error(const Steps& steps, const RecordView& view, Decoded& f) {
    begin(f);
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
FrameKind decode_lin(const Steps& steps, const RecordView& view, Decoded& f) {
    begin(f);
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

template <class Steps>
FrameKind decode_with(FrameKind decoder, const Steps& steps, const RecordView& view, Decoded& f) {
    switch (decoder) {
        case FrameKind::kCanDataFrame: return decode_can_data(steps, view, f);
        case FrameKind::kCanRemoteFrame: return decode_can_remote(steps, view, f);
        case FrameKind::kCanErrorFrame: return decode_can_error(steps, view, f);
        case FrameKind::kLinFrame: return decode_lin(steps, view, f);
        case FrameKind::kNone: break;
    }
    begin(f);
    return FrameKind::kNone;
}


// The frame of a decoded record, as a message shows it.
FrameKind finish(const Decoded& f, double origin, DecodedRecord& out) {
    if (f.kind == FrameKind::kNone) return FrameKind::kNone;
    Frame& frame = out.frame;
    frame.timestamp = origin + f.time;
    frame.id = f.identifier & 0x1FFFFFFFu;
    frame.channel = static_cast<uint16_t>(channel_code(f.kind, f.bus));
    out.payload = nullptr;
    switch (f.kind) {
        case FrameKind::kCanDataFrame: {
            frame.dlc = static_cast<uint8_t>(f.data_length);
            frame.flags = static_cast<uint8_t>((f.extended != 0) << kFlagExtended | (f.fd != 0) << kFlagFd |
                                               (f.brs != 0) << kFlagBitrateSwitch |
                                               (f.esi != 0) << kFlagErrorStateIndicator | (f.direction == 0) << kFlagRx);
            // The payload is the bytes present, then zeros up to the length.
            if (f.present >= f.data_length) {
                out.payload = f.payload;
            } else {
                if (f.present != 0 && f.payload != f.composed) std::memmove(f.composed, f.payload, f.present);
                std::memset(f.composed + f.present, 0, f.data_length - f.present);
                out.payload = f.composed;
            }
            break;
        }
        case FrameKind::kCanRemoteFrame:
            frame.dlc = static_cast<uint8_t>(f.data_length);
            frame.flags = static_cast<uint8_t>((f.extended != 0) << kFlagExtended | 1 << kFlagRemote |
                                               (f.direction == 0) << kFlagRx);
            break;
        case FrameKind::kCanErrorFrame:
            frame.dlc = 0;
            frame.flags = static_cast<uint8_t>(1 << kFlagExtended | 1 << kFlagError | 1 << kFlagRx);
            break;
        case FrameKind::kLinFrame:
            frame.dlc = static_cast<uint8_t>(f.data_length);
            frame.flags = static_cast<uint8_t>((f.direction == 0) << kFlagRx);
            out.payload = f.lin_payload;
            break;
        case FrameKind::kNone: break;
    }
    return f.kind;
}

Decoded start(PayloadScratch& scratch) {
    Decoded f;
    f.composed = scratch.bytes;
    f.lin_payload = scratch.bytes;
    return f;
}

}  // namespace

FrameKind decode_by_rules(FrameKind kind, const RecordView& view, double origin, DecodedRecord& out,
                          PayloadScratch& scratch) {
    Decoded f = start(scratch);
    decode_with(kind, RuleSteps{*view.layout}, view, f);
    return finish(f, origin, out);
}

FrameKind decode_record(const DecodeProgram& program, const RecordView& view, double origin, DecodedRecord& out,
                        PayloadScratch& scratch) {
    if (program.layout == nullptr || view.record.size != program.record_length) {
        return decode_by_rules(program.decoder, view, origin, out, scratch);
    }
    if (program.straight &&
        decode_straight(program, view.layout->standard, view.record, view.signal_bytes, origin, out.frame, out.payload,
                        scratch.bytes)) {
        return FrameKind::kCanDataFrame;
    }
    Decoded f = start(scratch);
    decode_with(program.decoder, ProgramSteps{program.steps}, view, f);
    return finish(f, origin, out);
}

}  // namespace tolvar::bus
