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

}  // namespace tolvar::bus
