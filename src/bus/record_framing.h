// Record framing: where a record of a data group starts, which group it
// belongs to, where its bytes and its VLSD values lie and where the next one
// begins. Reading, skipping, bisecting and batch decoding all ask this one
// place, so they agree on every edge: an id cut short, an id of no group, a
// record or value cut short, a VLSD record that no record claimed, a record
// that takes up no bytes. A framing borrows the plan; the bytes come through
// the walk's read-ahead.
#pragma once

#include <cstdint>
#include <cstring>

#include "bus/record_plan.h"
#include "bus/value_extraction.h"
#include "stream/read_ahead.h"

namespace tolvar::bus {

// A record id of n bytes (1, 2, 4 or 8; any other count reads its first
// bytes), little-endian.
inline uint64_t load_id(const uint8_t* bytes, uint64_t n) {
    switch (n) {
        case 1: return bytes[0];
        case 2: {
            uint16_t value;
            std::memcpy(&value, bytes, 2);
            return value;
        }
        case 4: {
            uint32_t value;
            std::memcpy(&value, bytes, 4);
            return value;
        }
        default: break;
    }
    uint64_t value = 0;
    if (n != 0) std::memcpy(&value, bytes, n > 8 ? 8 : n);
    return value;
}

// One framed record. Its record bytes are [record_at, values_at); the VLSD
// values that follow it (with ids only) lie from values_at, each a record of
// the VLSD group: its id, a 4-byte length and the bytes, `value_count` of
// them, the values of the group's first VLSD sources in order (the others are
// found by their offset); the next record begins at `next`. A record of a
// VLSD group that no record before took as its value is framed by itself:
// its group is the VLSD group, record_at the position of its length, and it
// has no record bytes (values_at = record_at).
struct FramedRecord {
    const RecordGroup* group = nullptr;
    uint64_t at = 0;  // where the record starts (its id, if any)
    uint64_t record_at = 0;
    uint64_t values_at = 0;
    uint32_t value_count = 0;
    uint64_t next = 0;
};

enum class Framing : uint8_t {
    kRecord,   // a whole record with its values
    kEnd,      // the records end here: no byte is left
    kDamaged,  // the records end here: a record that cannot be read whole, or names no group
    kUnheld,   // asked of the window alone: it does not hold all of the record
};

class RecordFraming {
public:
    explicit RecordFraming(const GroupPlan* plan)
        : plan_(plan), id_size_(plan->with_ids ? plan->id_size : 0), with_ids_(plan->with_ids) {}

    // Frames the record at `at`. kEnd where no byte is left; kDamaged where
    // the bytes end before a whole record (an id, record bytes or a VLSD
    // value cut short), an id names no group, or the record takes up no
    // bytes (the data could not tell how many such records there are).
    // `offsets` gives, per VLSD slot, the offset in its group of the next
    // VLSD record of that group: a VLSD record right after a fixed record is
    // that record's value when it is of the source's group and, where the
    // plan trusts the offsets the records hold, stands at the offset the
    // record gives (null: no record takes a value that follows it, as when
    // the records are indexed). Reads ahead as far as the record reaches, so
    // that afterwards the read-ahead holds [out.at, out.next) in one piece
    // (`kHeldOnly`: reads nothing, and gives kUnheld where the window ends
    // first).
    template <bool kHeldOnly>
    Framing frame(stream::ReadAhead& ahead, uint64_t at, FramedRecord& out, const uint64_t* offsets);

    // Frames from `at`, at most `max` at once, the records of `group` that
    // follow one another inside the read-ahead's window, each exactly as
    // frame<true> would: for a group of fixed length whose VLSD source, if
    // any, is its only one. It stops before the first record that is not of
    // the group, not held whole, or (with a VLSD source) not followed by its
    // value of at most `max_value` bytes standing at `value_offset` onwards
    // where the plan trusts the offsets, leaving that record to frame().
    // records[i] gets the i-th record's bytes; values[i] and lengths[i] its
    // value (null for an empty one), with a VLSD source only.
    struct Run {
        uint32_t count = 0;
        uint64_t next = 0;         // where the record after the run starts
        uint64_t value_bytes = 0;  // of the VLSD records taken, their lengths' 4 bytes included
    };
    Run frame_run(const stream::ReadAhead& ahead, uint64_t at, const RecordGroup& group, uint32_t max,
                  uint64_t value_offset, uint32_t max_value, const uint8_t** records, const uint8_t** values,
                  uint32_t* lengths) const;

    bool with_ids() const { return with_ids_; }
    uint64_t id_size() const { return id_size_; }
    // The group of the last record framed (or looked up), null before any.
    const RecordGroup* last_group() const { return last_; }

private:
    // The bytes up to `end` from the record's start at `at`, which the
    // read-ahead then holds in one piece.
    template <bool kHeldOnly>
    static const uint8_t* reach(stream::ReadAhead& ahead, uint64_t at, uint64_t end);
    // Where the bytes end first: at `at` itself, or inside the record.
    template <bool kHeldOnly>
    static Framing short_of(stream::ReadAhead& ahead, uint64_t at);
    // Takes the VLSD values that follow the fixed record framed in `out`,
    // moving out.next past each; kRecord when the record stands whole.
    template <bool kHeldOnly>
    Framing take_values(stream::ReadAhead& ahead, FramedRecord& out, const uint64_t* offsets);

    const GroupPlan* plan_;  // borrowed
    uint64_t id_size_;
    bool with_ids_;
    const RecordGroup* last_ = nullptr;  // the group of the last record framed
};

template <bool kHeldOnly>
inline const uint8_t* RecordFraming::reach(stream::ReadAhead& ahead, uint64_t at, uint64_t end) {
    return kHeldOnly ? ahead.held(at, end - at) : ahead.fetch(at, end - at);
}

template <bool kHeldOnly>
inline Framing RecordFraming::short_of(stream::ReadAhead& ahead, uint64_t at) {
    if (kHeldOnly) return Framing::kUnheld;
    return ahead.fetch(at, 1) == nullptr ? Framing::kEnd : Framing::kDamaged;
}

template <bool kHeldOnly>
inline Framing RecordFraming::frame(stream::ReadAhead& ahead, uint64_t at, FramedRecord& out,
                                    const uint64_t* offsets) {
    uint64_t key = 0;
    uint64_t record_at = at;
    if (with_ids_) {
        const uint8_t* id = reach<kHeldOnly>(ahead, at, at + id_size_);
        if (id == nullptr) return short_of<kHeldOnly>(ahead, at);
        key = load_id(id, id_size_);
        record_at += id_size_;
    }
    const RecordGroup* group = last_;
    if (group == nullptr || group->key != key) {
        group = plan_->find(key);
        if (group == nullptr) return kHeldOnly || ahead.fetch(at, 1) != nullptr ? Framing::kDamaged : Framing::kEnd;
        last_ = group;
    }
    out.group = group;
    out.at = at;
    out.record_at = record_at;
    out.value_count = 0;
    if (group->record_length < 0) {
        // A VLSD record by itself: its length and its bytes.
        const uint8_t* bytes = reach<kHeldOnly>(ahead, at, record_at + 4);
        if (bytes == nullptr) return short_of<kHeldOnly>(ahead, at);
        uint32_t value_length;
        std::memcpy(&value_length, bytes + (record_at - at), 4);
        out.values_at = record_at;
        out.next = record_at + 4 + value_length;
        return reach<kHeldOnly>(ahead, at, out.next) != nullptr ? Framing::kRecord : short_of<kHeldOnly>(ahead, at);
    }
    const uint64_t length = static_cast<uint64_t>(group->record_length);
    out.values_at = record_at + length;
    out.next = out.values_at;
    if (out.next < record_at || reach<kHeldOnly>(ahead, at, out.next) == nullptr) return short_of<kHeldOnly>(ahead, at);
    if (group->has_vlsd && with_ids_ && offsets != nullptr) {
        const Framing values = take_values<kHeldOnly>(ahead, out, offsets);
        if (values != Framing::kRecord) return values;
    }
    return out.next == at ? Framing::kDamaged : Framing::kRecord;
}

template <bool kHeldOnly>
inline Framing RecordFraming::take_values(stream::ReadAhead& ahead, FramedRecord& out, const uint64_t* offsets) {
    const uint64_t at = out.at;
    const uint64_t length = out.values_at - out.record_at;
    // Whether the value of `source` lies elsewhere than at the group's next
    // record: where the plan takes the offsets the records hold on trust (the
    // standard's addressing), the record holds another one. A logger's own
    // layout stores each value right after its record, whatever the offset
    // says.
    auto elsewhere = [&](const uint8_t* record_bytes, const SignalSource& source) {
        if (!plan_->vlsd_by_offset) return false;
        return extract_bits(ByteSpan{record_bytes, length}, source.bit_position, source.bit_count,
                            source.byte_order) != offsets[source.vlsd_slot];
    };
    for (const SignalSource& source : out.group->signal_sources) {
        if (source.kind != SignalSource::Kind::kVlsd) continue;
        const uint64_t next = out.next;
        const uint8_t* bytes = reach<kHeldOnly>(ahead, at, next + id_size_);
        if (bytes == nullptr) {
            if (kHeldOnly) return Framing::kUnheld;
            // The data ends right after the record: its value was to be the
            // group's next record, cut off with the data, unless it lies
            // elsewhere.
            if (ahead.fetch(next, 1) != nullptr) return Framing::kDamaged;
            const uint8_t* record = ahead.fetch(out.record_at, length);
            if (record == nullptr || !elsewhere(record, source)) return Framing::kDamaged;
            reach<kHeldOnly>(ahead, at, next);  // the record in one piece again
            break;
        }
        // A record of another group follows: neither this source nor any
        // later one takes a value from here, and that record is framed next.
        if (load_id(bytes + (next - at), id_size_) != source.vlsd_record_id) break;
        if (elsewhere(bytes + (out.record_at - at), source)) break;
        bytes = reach<kHeldOnly>(ahead, at, next + id_size_ + 4);
        if (bytes == nullptr) return short_of<kHeldOnly>(ahead, at);
        uint32_t value_length;
        std::memcpy(&value_length, bytes + (next - at) + id_size_, 4);
        const uint64_t end = next + id_size_ + 4 + value_length;
        if (reach<kHeldOnly>(ahead, at, end) == nullptr) return short_of<kHeldOnly>(ahead, at);
        out.next = end;
        ++out.value_count;
    }
    return Framing::kRecord;
}

inline RecordFraming::Run RecordFraming::frame_run(const stream::ReadAhead& ahead, uint64_t at,
                                                  const RecordGroup& group, uint32_t max, uint64_t value_offset,
                                                  uint32_t max_value, const uint8_t** records,
                                                  const uint8_t** values, uint32_t* lengths) const {
    Run run;
    run.next = at;
    const uint8_t* const base = ahead.held(at, 0);
    if (base == nullptr || group.record_length < 0) return run;
    // Positions from here on count from `at`; what is framed ends by `held`.
    const uint64_t held = ahead.window_start() + ahead.window_size() - at;
    const uint64_t length = static_cast<uint64_t>(group.record_length);
    const SignalSource* source = nullptr;
    if (group.has_vlsd && with_ids_) {
        if (group.signal_sources.size() != 1 || group.signal_sources.front().kind != SignalSource::Kind::kVlsd) {
            return run;
        }
        source = &group.signal_sources.front();
    }
    // Held in locals: the stores below could otherwise be taken to change
    // them.
    const bool with_ids = with_ids_;
    const uint64_t id_size = id_size_;
    const uint64_t key = group.key;
    const uint64_t value_id = source != nullptr ? source->vlsd_record_id : 0;
    const bool by_offset = source != nullptr && plan_->vlsd_by_offset;
    uint64_t position = 0;
    uint64_t offset = value_offset;
    uint32_t n = 0;
    while (n < max) {
        uint64_t record_at = position;
        if (with_ids) {
            if (held - position < id_size || load_id(base + position, id_size) != key) break;
            record_at += id_size;
        }
        if (held - record_at < length) break;
        uint64_t next = record_at + length;
        if (source != nullptr) {
            if (held - next < id_size + 4 || load_id(base + next, id_size) != value_id) break;
            if (by_offset && extract_bits(ByteSpan{base + record_at, length}, source->bit_position, source->bit_count,
                                          source->byte_order) != offset) {
                break;
            }
            uint32_t value_length;
            std::memcpy(&value_length, base + next + id_size, 4);
            const uint64_t value_at = next + id_size + 4;
            if (value_length > max_value || held - value_at < value_length) break;
            values[n] = value_length != 0 ? base + value_at : nullptr;
            lengths[n] = value_length;
            offset += 4 + uint64_t{value_length};
            next = value_at + value_length;
        }
        if (next == position) break;
        records[n] = base + record_at;
        position = next;
        ++n;
    }
    run.count = n;
    run.next = at + position;
    run.value_bytes = offset - value_offset;
    return run;
}

}  // namespace tolvar::bus
