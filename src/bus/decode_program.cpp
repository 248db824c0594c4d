#include "bus/decode_program.h"

#include <algorithm>

namespace tolvar::bus {

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

}  // namespace

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

// Every value goes into a local first: the frame's byte-wide members may
// alias anything, and storing them one by one would make the compiler read
// the program again after each.
bool decode_straight(const DecodeProgram& program, const StandardLayout& standard, ByteSpan record, ByteSpan signal,
                     double origin, Frame& frame, const uint8_t*& payload, uint8_t* scratch) {
    using P = DecodeProgram;
    const P::IntegerRead* r = program.can_data;
    const uint8_t* bytes = nullptr;
    uint64_t present = 0;
    if (program.payload_step >= 0) {
        const FieldStep& s = program.steps[static_cast<size_t>(program.payload_step)];
        if (s.read == FieldStep::Read::kRecordBytes) {
            if (s.present != 0) {
                bytes = record.data + s.byte;
                present = s.present;
            }
        } else {
            const reads::SignalEntry entry = reads::take_signal_entry(signal);
            if (entry.length > kCanPayloadSize) return false;
            if (entry.length != 0) {
                bytes = entry.bytes;
                present = entry.present;
            }
        }
    }
    const double time = program.time_step >= 0
                            ? reads::read_numeric(program.steps[static_cast<size_t>(program.time_step)], record).v
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
    if (standard.enabled) {
        if (standard.extended_from_id) extended = static_cast<uint8_t>(identifier >> 31);
        if (standard.length_from_dlc) data_length = can_length_of_dlc(dlc, fd != 0);
    }
    if (data_length > kCanPayloadSize) data_length = kCanPayloadSize;
    frame.timestamp = origin + time;
    frame.id = identifier & 0x1FFFFFFFu;
    frame.channel = bus;
    frame.dlc = static_cast<uint8_t>(data_length);
    frame.flags = static_cast<uint8_t>(extended << kFlagExtended | fd << kFlagFd | brs << kFlagBitrateSwitch |
                                       esi << kFlagErrorStateIndicator | (direction == 0) << kFlagRx);
    // The payload is the bytes present, then zeros up to the length.
    if (present >= data_length) {
        payload = bytes;
    } else {
        if (present != 0) std::memcpy(scratch, bytes, present);
        std::memset(scratch + present, 0, data_length - present);
        payload = scratch;
    }
    return true;
}

namespace {

// Reads one integer place of each of `count` records, each with the same
// load, shift and mask where the place lies clear of the record's end, and
// hands record i's value to store(i, value).
template <class Store>
void each_integer(const DecodeProgram::IntegerRead& r, const uint8_t* const* records, uint32_t count, uint64_t length,
                  Store&& store) {
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
}

}  // namespace

void decode_can_data_keys(const DecodeProgram& program, const StandardLayout& standard, const uint8_t* const* records,
                          uint32_t count, Frame* frames) {
    using P = DecodeProgram;
    const uint64_t length = program.record_length;
    const P::IntegerRead* r = program.can_data;
    uint8_t extended[FrameBatch::kSize];
    each_integer(r[P::kId], records, count, length, [&](uint32_t i, uint64_t raw) {
        frames[i].id = static_cast<uint32_t>(raw);
    });
    each_integer(r[P::kIde], records, count, length, [&](uint32_t i, uint64_t raw) {
        extended[i] = flag_of_integer(raw);
    });
    each_integer(r[P::kBus], records, count, length, [&](uint32_t i, uint64_t raw) {
        frames[i].channel = byte_of_integer(raw);
    });
    const bool from_id = standard.enabled && standard.extended_from_id;
    for (uint32_t i = 0; i < count; ++i) {
        Frame& f = frames[i];
        if (from_id) extended[i] = static_cast<uint8_t>(f.id >> 31);
        f.id &= 0x1FFFFFFFu;
        f.flags = static_cast<uint8_t>(extended[i] << kFlagExtended);
    }
}

void decode_can_data_batch(const DecodeProgram& program, const StandardLayout& standard, double origin,
                           const uint8_t* const* records, uint32_t count, FrameBatch& batch) {
    using P = DecodeProgram;
    const uint64_t length = program.record_length;
    batch.count = count;
    // One value at a time over the whole batch, each loop reading one place of
    // every record with the same load, shift and mask, into arrays of its
    // own; the frames are put together from them at the end.
    double time[FrameBatch::kSize];
    uint32_t identifier[FrameBatch::kSize];
    uint8_t extended[FrameBatch::kSize], direction[FrameBatch::kSize], dlc[FrameBatch::kSize];
    uint8_t data_length[FrameBatch::kSize], fd[FrameBatch::kSize], brs[FrameBatch::kSize];
    uint8_t esi[FrameBatch::kSize], bus[FrameBatch::kSize];
    if (program.time_step >= 0) {
        const FieldStep& s = program.steps[static_cast<size_t>(program.time_step)];
        for (uint32_t i = 0; i < count; ++i) time[i] = reads::read_numeric(s, ByteSpan{records[i], length}).v;
    } else {
        for (uint32_t i = 0; i < count; ++i) time[i] = 0.0;
    }
    auto values = [&](const P::IntegerRead& r, auto&& store) { each_integer(r, records, count, length, store); };
    const P::IntegerRead* r = program.can_data;
    values(r[P::kId], [&](uint32_t i, uint64_t raw) { identifier[i] = static_cast<uint32_t>(raw); });
    values(r[P::kIde], [&](uint32_t i, uint64_t raw) { extended[i] = flag_of_integer(raw); });
    values(r[P::kDir], [&](uint32_t i, uint64_t raw) { direction[i] = flag_of_integer(raw); });
    values(r[P::kDlc], [&](uint32_t i, uint64_t raw) { dlc[i] = byte_of_integer(raw); });
    values(r[P::kDataLength], [&](uint32_t i, uint64_t raw) { data_length[i] = byte_of_integer(raw); });
    values(r[P::kEdl], [&](uint32_t i, uint64_t raw) { fd[i] = flag_of_integer(raw); });
    values(r[P::kBrs], [&](uint32_t i, uint64_t raw) { brs[i] = flag_of_integer(raw); });
    values(r[P::kEsi], [&](uint32_t i, uint64_t raw) { esi[i] = flag_of_integer(raw); });
    values(r[P::kBus], [&](uint32_t i, uint64_t raw) { bus[i] = byte_of_integer(raw); });
    if (standard.enabled) {
        if (standard.extended_from_id) {
            for (uint32_t i = 0; i < count; ++i) extended[i] = static_cast<uint8_t>(identifier[i] >> 31);
        }
        if (standard.length_from_dlc) {
            for (uint32_t i = 0; i < count; ++i) data_length[i] = can_length_of_dlc(dlc[i], fd[i] != 0);
        }
    }
    for (uint32_t i = 0; i < count; ++i) {
        Frame& f = batch.frames[i];
        f.timestamp = origin + time[i];
        f.id = identifier[i] & 0x1FFFFFFFu;
        f.channel = bus[i];
        f.dlc = data_length[i] > kCanPayloadSize ? static_cast<uint8_t>(kCanPayloadSize) : data_length[i];
        f.flags = static_cast<uint8_t>(extended[i] << kFlagExtended | fd[i] << kFlagFd | brs[i] << kFlagBitrateSwitch |
                                       esi[i] << kFlagErrorStateIndicator | (direction[i] == 0) << kFlagRx);
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

}  // namespace tolvar::bus
