#include "bus/record_iterator.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "bus/frame_columns.h"
#include "bus/frame_filter.h"
#include "bus/record_plan.h"
#include "bus/value_extraction.h"

namespace tolvar::bus {

namespace {

// Read-ahead of the data section: records are served from memory filled by
// one seek and read of the document's Stream. A walk starts with a small
// window and doubles it with every refill up to the largest, so that the many
// walks a reader starts at once (one per data group, each reading its first
// record) hold little memory until they really run.
constexpr uint64_t kFirstWindow = 1024;
constexpr uint64_t kLargestWindow = 64 * 1024;

// Bytes of signal-block values one record keeps. Bus payloads are at most 64
// bytes; the budget stops damaged files whose lengths, or many fields naming
// one huge value, would otherwise make every record hold megabytes.
constexpr uint64_t kSignalBudget = 64 * 1024;
// A signal-block value cut short by the end of its block is completed with
// zeros up to this length (a bus payload); a longer one keeps the bytes that
// arrived and ends the record's signal bytes, since no decoder can use it.
constexpr uint64_t kLongestFilledValue = kCanPayloadSize;
// Bytes asked of a signal block per read while a value arrives.
constexpr uint64_t kSignalPiece = 4096;
// The bisection for a window's start reads each probed record's time field
// from the front of the record; a time field that ends further in is found
// by the sequential skip instead.
constexpr uint64_t kLongestProbe = 4096;

// A growable byte buffer that reports allocation failure instead of throwing,
// so that running out of memory ends a walk rather than the process.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { std::free(data_); }

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    uint64_t size() const { return size_; }
    uint64_t capacity() const { return capacity_; }
    void clear() { size_ = 0; }
    void set_size(uint64_t size) { size_ = size; }

    // Room for at least `capacity` bytes, the content kept.
    bool reserve(uint64_t capacity) {
        if (capacity <= capacity_) return true;
        uint64_t grown = capacity_ < 64 ? 64 : capacity_;
        while (grown < capacity) {
            if (grown > (UINT64_MAX >> 1)) return false;
            grown *= 2;
        }
        if (grown > SIZE_MAX) return false;
        void* moved = std::realloc(data_, static_cast<size_t>(grown));
        if (moved == nullptr) return false;
        data_ = static_cast<uint8_t*>(moved);
        capacity_ = grown;
        return true;
    }

    bool append(const void* bytes, uint64_t n) {
        if (n == 0) return true;
        if (n > UINT64_MAX - size_ || !reserve(size_ + n)) return false;
        std::memcpy(data_ + size_, bytes, n);
        size_ += n;
        return true;
    }

    bool append_zeros(uint64_t n) {
        if (n == 0) return true;
        if (n > UINT64_MAX - size_ || !reserve(size_ + n)) return false;
        std::memset(data_ + size_, 0, n);
        size_ += n;
        return true;
    }

    bool append_u32(uint32_t value) { return append(&value, 4); }

private:
    uint8_t* data_ = nullptr;  // owned, malloc'ed
    uint64_t size_ = 0;
    uint64_t capacity_ = 0;
};

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

// The count of up to n bytes that arrived at the stream's position, 0 when
// none did.
uint64_t read_available(stream::Stream& stream, uint8_t* buffer, uint64_t n) {
    const int64_t got = stream::read_fully(stream, buffer, n);
    return got > 0 ? static_cast<uint64_t>(got) : 0;
}

}  // namespace

struct RecordIterator::Walk {
    Walk(const GroupPlan* group_plan, const FrameFilter* frame_filter)
        : plan(group_plan), filter(frame_filter) {}

    const GroupPlan* plan;  // borrowed; the reader keeps it alive
    const FrameFilter* filter;  // borrowed; null when every record is given
    uint64_t position = 0;
    RecordView view;
    ByteBuffer record;  // the current record when it cannot stay in the window
    ByteBuffer signal;  // the current record's signal bytes
    FrameDecoder decoder = nullptr;
    bool skip = false;  // the record just read belongs to a group that is skipped
    BusMessage message{};
    DecodedFrame frame;  // the current record, decoded
    bool finished = false;

    // A copy of the data section from window_start on, refilled with one seek
    // and read when a record reaches past it.
    ByteBuffer window;
    uint64_t window_start = 0;
    uint64_t window_size = kFirstWindow;  // bytes asked for by the next refill
    const RecordGroup* last_group = nullptr;

    // Records of a group whose CAN data frames decode a batch at a time
    // (collect only): where they lie in the window, and what they decode to.
    const uint8_t* batch_records[CanDataBatch::kSize];
    CanDataBatch batch;

    const BusMessage* next(FrameKind* kind);
    bool batchable(const RecordGroup& entry) const;
    uint32_t frame_batch();
    bool filter_batch();
    bool next_frame();
    const BusMessage* end(FrameKind* kind);
    const RecordGroup* group_at(stream::Stream& section, uint64_t& at);
    bool read_record(stream::Stream& section);
    void seek_start(stream::Stream& section);
    bool bisect_start(stream::Stream& section);
    bool skip_record(stream::Stream& section);
    void skip_in_window();
    bool record_time(FrameKind kind, double& time) const;
    // The n bytes at `offset` of the data section, or null when fewer exist
    // (or memory runs out). Valid until the next fetch.
    const uint8_t* fetch(stream::Stream& section, uint64_t offset, uint64_t n) {
        const uint64_t held = window.size();
        if (offset >= window_start && offset - window_start <= held && n <= held - (offset - window_start)) {
            return window.data() + (offset - window_start);
        }
        return refill(section, offset, n);
    }
    // The same without reading: null unless the window holds them.
    const uint8_t* held(uint64_t offset, uint64_t n) const {
        const uint64_t size = window.size();
        if (offset >= window_start && offset - window_start <= size && n <= size - (offset - window_start)) {
            return window.data() + (offset - window_start);
        }
        return nullptr;
    }
    const uint8_t* refill(stream::Stream& section, uint64_t offset, uint64_t n);
    bool single_value_in_window(const RecordGroup& entry, uint64_t& at);
    bool gather_signal_values(const RecordGroup& entry, stream::Stream& section, uint64_t& at);
    enum class SdResult { kComplete, kCutShort, kNoMemory };
    SdResult append_sd_value(stream::Stream& section, uint64_t offset, uint64_t& budget);
};

// Fills the window from `offset` on with at least n bytes, when they exist.
// The window grows only as bytes arrive, so a length read from a damaged file
// cannot size it.
const uint8_t* RecordIterator::Walk::refill(stream::Stream& section, uint64_t offset, uint64_t n) {
    window.clear();
    window_start = offset;
    if (offset > static_cast<uint64_t>(INT64_MAX)) return nullptr;
    if (!window.reserve(window_size)) return nullptr;
    if (window_size < kLargestWindow) window_size *= 2;
    while (window.size() < n || window.size() == 0) {
        // Beyond the window's size only for a record or value longer than
        // it, and then only as fast as the bytes arrive.
        if (window.size() == window.capacity() && !window.reserve(window.capacity() * 2)) return nullptr;
        // Every read seeks first: other walks share the Stream, and a short
        // read is taken up again exactly where it stopped.
        const uint64_t at = offset + window.size();
        if (at > static_cast<uint64_t>(INT64_MAX) ||
            section.seek(static_cast<int64_t>(at), stream::kSeekSet) != static_cast<int64_t>(at)) {
            break;
        }
        const int64_t got = section.read(window.data() + window.size(), window.capacity() - window.size());
        if (got <= 0) break;
        window.set_size(window.size() + static_cast<uint64_t>(got));
    }
    return window.size() >= n ? window.data() : nullptr;
}

// Appends one signal-block value: its 4-byte length and its bytes. A length
// that cannot be read counts as 0. The bytes are read as they arrive, so a
// damaged length sizes nothing by itself; a value cut short is completed with
// zeros when it is no longer than a bus payload, and otherwise (like a value
// beyond the record's budget) keeps its length but not all its bytes and must
// be the record's last entry.
RecordIterator::Walk::SdResult RecordIterator::Walk::append_sd_value(stream::Stream& section, uint64_t offset,
                                                                     uint64_t& budget) {
    uint32_t length = 0;
    if (offset <= static_cast<uint64_t>(INT64_MAX) &&
        section.seek(static_cast<int64_t>(offset), stream::kSeekSet) == static_cast<int64_t>(offset)) {
        uint8_t bytes[4];
        if (read_available(section, bytes, 4) == 4) std::memcpy(&length, bytes, 4);
    }
    if (!signal.append_u32(length)) return SdResult::kNoMemory;
    const uint64_t wanted = length < budget ? length : budget;
    uint64_t got = 0;
    while (got < wanted) {
        const uint64_t piece = wanted - got < kSignalPiece ? wanted - got : kSignalPiece;
        if (!signal.reserve(signal.size() + piece)) return SdResult::kNoMemory;
        const uint64_t step = read_available(section, signal.data() + signal.size(), piece);
        signal.set_size(signal.size() + step);
        got += step;
        if (step < piece) break;
    }
    budget -= got;
    if (got == length) return SdResult::kComplete;
    if (length <= kLongestFilledValue) {
        if (!signal.append_zeros(length - got)) return SdResult::kNoMemory;
        return SdResult::kComplete;
    }
    return SdResult::kCutShort;
}

// Appends the variable-length values of the record's fields, in layout order.
// `at` is where the record's VLSD values start in the data section and moves
// past those consumed. False when a VLSD value is cut short by the end of the
// data: the recording ends before that record, exactly as it does at a
// fixed-length record cut short, instead of delivering a frame with a
// payload that was never recorded.
bool RecordIterator::Walk::gather_signal_values(const RecordGroup& entry, stream::Stream& section,
                                                uint64_t& at) {
    const bool with_ids = plan->with_ids;
    const uint64_t id_size = plan->id_size;
    const ByteSpan record_span = view.record;
    uint64_t budget = kSignalBudget;
    for (const SignalSource& source : entry.signal_sources) {
        switch (source.kind) {
            case SignalSource::Kind::kVlsd: {
                if (!with_ids) {
                    if (!signal.append_u32(0)) return false;
                    break;
                }
                const uint8_t* id = fetch(section, at, id_size);
                if (id == nullptr) return false;
                // A record of another group follows: neither this field nor
                // any later one gets a value, and that record is read next.
                if (load_id(id, id_size) != source.vlsd_record_id) return true;
                const uint8_t* length_bytes = fetch(section, at + id_size, 4);
                if (length_bytes == nullptr) return false;
                uint32_t length;
                std::memcpy(&length, length_bytes, 4);
                const uint8_t* value = fetch(section, at + id_size + 4, length);
                if (value == nullptr) return false;
                if (!signal.append_u32(length) || !signal.append(value, length)) return false;
                at += id_size + 4 + length;
                break;
            }
            case SignalSource::Kind::kSd: {
                const uint64_t offset =
                    extract_bits(record_span, source.bit_position, source.bit_count, source.byte_order);
                const SdResult result = append_sd_value(*source.section, offset, budget);
                if (result == SdResult::kNoMemory) return false;
                // A value kept in part: later fields get no value.
                if (result == SdResult::kCutShort) return true;
                break;
            }
            case SignalSource::Kind::kOther:
                if (!signal.append_u32(0)) return false;
                break;
        }
    }
    return true;
}

// The record's one VLSD value as its signal bytes, straight from the window
// (whose 4-byte length and bytes are a signal entry as they stand), with
// `at` moved past it; false, changing nothing, when it does not lie wholly in
// the window or another group's record follows, which gather_signal_values
// then reads.
bool RecordIterator::Walk::single_value_in_window(const RecordGroup& entry, uint64_t& at) {
    const uint64_t id_size = plan->id_size;
    const uint8_t* id = held(at, id_size + 4);
    if (id == nullptr || load_id(id, id_size) != entry.signal_sources.front().vlsd_record_id) return false;
    uint32_t length;
    std::memcpy(&length, id + id_size, 4);
    const uint8_t* value = held(at + id_size, 4 + uint64_t{length});
    if (value == nullptr) return false;
    view.signal_bytes = ByteSpan{value, 4 + uint64_t{length}};
    at += id_size + 4 + length;
    return true;
}

// The record group of the record at `at`, with `at` moved past its id; null
// when the id is cut short by the end of the data (it names no record) or
// names no group.
const RecordGroup* RecordIterator::Walk::group_at(stream::Stream& section, uint64_t& at) {
    uint64_t key = 0;
    if (plan->with_ids) {
        const uint8_t* id = fetch(section, at, plan->id_size);
        if (id == nullptr) return nullptr;
        key = load_id(id, plan->id_size);
        at += plan->id_size;
    }
    if (last_group == nullptr || last_group->key != key) {
        const RecordGroup* found = plan->find(key);
        if (found == nullptr) return nullptr;
        last_group = found;
    }
    return last_group;
}

bool RecordIterator::Walk::read_record(stream::Stream& section) {
    uint64_t at = position;
    const RecordGroup* entry = group_at(section, at);
    if (entry == nullptr) return false;
    // A VLSD record not consumed by the record before it.
    if (entry->record_length < 0) return false;
    const uint64_t length = static_cast<uint64_t>(entry->record_length);

    const uint8_t* bytes = fetch(section, at, length);
    if (bytes == nullptr) return false;
    at += length;
    signal.clear();
    if (entry->has_vlsd && plan->with_ids && entry->signal_sources.size() == 1) {
        // One VLSD value, as bus payloads are stored: when it lies in the
        // window, the record and its value are read where they are.
        view.record = ByteSpan{bytes, length};
        if (single_value_in_window(*entry, at)) {
            if (at == position) return false;
            position = at;
            view.layout = entry->layout;
            decoder = entry->decoder;
            skip = entry->skip;
            return true;
        }
    }
    if (entry->has_vlsd) {
        // Reading the values that follow may move the window: keep a copy.
        record.clear();
        if (!record.append(bytes, length)) return false;
        view.record = ByteSpan{record.data(), length};
    } else {
        view.record = ByteSpan{bytes, length};
    }
    if (!entry->signal_sources.empty() && !gather_signal_values(*entry, section, at)) {
        return false;
    }

    // A record that takes up no bytes would be read again forever: the data
    // cannot tell how many of them there are, so the walk ends.
    if (at == position) return false;
    position = at;
    view.signal_bytes = ByteSpan{signal.data(), signal.size()};
    view.layout = entry->layout;
    decoder = entry->decoder;
    skip = entry->skip;
    return true;
}

const BusMessage* RecordIterator::Walk::end(FrameKind* kind) {
    finished = true;
    if (kind != nullptr) *kind = FrameKind::kNone;
    return nullptr;
}

// The time of the record just read: a frame's own, otherwise its time
// field's. False when the record gives no frame and its time is a byte
// array only a decoder would read.
bool RecordIterator::Walk::record_time(FrameKind kind, double& time) const {
    if (kind != FrameKind::kNone) {
        time = frame.time;
        return true;
    }
    if (last_group->time_field != nullptr) {
        time = step_value(last_group->time_step, view.record);
        return true;
    }
    time = 0.0;
    return last_group->time_is_zero;
}

// Reads and decodes records until one is delivered, into `frame`; false
// (finished) at the end of the walk.
bool RecordIterator::Walk::next_frame() {
    for (;;) {
        if (plan->data == nullptr || !read_record(*plan->data)) {
            finished = true;
            return false;
        }
        // Records of a group beside the bus give no message; every record
        // advances the position, so this ends with the data.
        if (skip) continue;
        if (decoder == nullptr) {
            finished = true;
            return false;
        }
        const FrameKind result = decode_prepared(last_group->program, view, frame);
        if (filter != nullptr) {
            if (filter->has_window()) {
                double time = 0.0;
                const bool known = record_time(result, time);
                // The group is in time order: nothing after this is earlier.
                if (known && filter->at_or_after_stop(time)) {
                    finished = true;
                    return false;
                }
                if (!known || !filter->in_window(time)) continue;
            }
            if (!filter->passes(frame)) continue;
        }
        return true;
    }
}

const BusMessage* RecordIterator::Walk::next(FrameKind* kind) {
    if (!next_frame()) return end(kind);
    to_message(frame, message);
    if (kind != nullptr) *kind = frame.kind;
    return &message;
}

// Moves the walk to the first record of the window: by bisection where every
// record has one length and lies at a known offset, otherwise record by
// record over the time fields. Both rely on the group's time order and never
// decode a frame; a record whose time cannot be told stops the search there.
void RecordIterator::Walk::seek_start(stream::Stream& section) {
    if (bisect_start(section)) return;
    do {
        skip_in_window();
    } while (skip_record(section));
}

// skip_record for the records that lie in the window with what follows them,
// without reading: records of groups with at most one VLSD value (the shape
// bus payloads are stored in), with ids. Stops, position kept, at the first
// record that it cannot tell about from the window alone (skip_record then
// reads it) or that does not lie before the start.
void RecordIterator::Walk::skip_in_window() {
    if (!plan->with_ids) return;
    const uint64_t id_size = plan->id_size;
    for (;;) {
        if (position < window_start || position - window_start > window.size()) return;
        const uint8_t* const base = window.data();
        const uint64_t end = window.size();
        uint64_t at = position - window_start;
        if (end - at < id_size) return;
        const uint64_t key = load_id(base + at, id_size);
        const RecordGroup* entry = last_group;
        if (entry == nullptr || entry->key != key) {
            entry = plan->find(key);
            if (entry == nullptr) return;
            last_group = entry;
        }
        if (entry->record_length < 0 || (entry->time_field == nullptr && !entry->time_is_zero)) return;
        const size_t sources = entry->signal_sources.size();
        if (sources > 1 || (sources == 1 && !entry->has_vlsd)) return;
        // The records of this group that follow, in one loop over the window.
        const uint64_t length = static_cast<uint64_t>(entry->record_length);
        const FieldStep& time_step = entry->time_step;
        const bool timed = entry->time_field != nullptr;
        // An unconverted double, as loggers store their time, is read here.
        const bool plain_double = timed && time_step.read == FieldStep::Read::kDouble &&
                                  (time_step.field->conversion.kind() == Conversion::Kind::kIdentity ||
                                   time_step.field->conversion.kind() == Conversion::Kind::kUnsupported);
        const uint64_t time_byte = time_step.byte;
        const uint64_t vlsd_id = sources == 1 ? entry->signal_sources.front().vlsd_record_id : 0;
        const uint64_t start = at;
        for (;;) {
            if (end - at < id_size || load_id(base + at, id_size) != key) break;
            const uint64_t record_at = at + id_size;
            if (end - record_at < length) break;
            double time = 0.0;
            if (plain_double) {
                std::memcpy(&time, base + record_at + time_byte, sizeof time);
            } else if (timed) {
                time = step_value(time_step, ByteSpan{base + record_at, length});
            }
            if (!filter->before_start(time)) break;
            uint64_t next = record_at + length;
            if (sources == 1) {
                if (end - next < id_size + 4 || load_id(base + next, id_size) != vlsd_id) break;
                uint32_t value_length;
                std::memcpy(&value_length, base + next + id_size, 4);
                if (end - (next + id_size + 4) < value_length) break;
                next += id_size + 4 + value_length;
            }
            // A record that takes up no bytes: skip_record ends the search.
            if (next == at) break;
            at = next;
        }
        position = window_start + at;
        // Stopped at another group's record: go on with that group.
        if (at == start || end - at < id_size || load_id(base + at, id_size) == key) return;
    }
}

// Bisection over records without ids, all of one length and without VLSD
// values between them: record i lies at i * length.
bool RecordIterator::Walk::bisect_start(stream::Stream& section) {
    if (plan->with_ids || plan->record_groups.size() != 1) return false;
    const RecordGroup& entry = plan->record_groups.front();
    if (entry.record_length <= 0 || entry.has_vlsd || entry.decoder == nullptr) return false;
    const uint64_t length = static_cast<uint64_t>(entry.record_length);
    uint64_t probe = length;
    if (entry.time_field != nullptr) {
        const ChannelField& field = *entry.time_field;
        const uint64_t end_bit = field.bit_position + field.bit_count;
        if (end_bit < field.bit_position) return false;
        probe = std::min<uint64_t>(length, end_bit / 8 + (end_bit % 8 != 0 ? 1 : 0));
    } else if (!entry.time_is_zero) {
        return false;
    }
    if (probe > kLongestProbe) return false;
    const int64_t size = section.size();
    if (size <= 0) return false;
    uint64_t low = 0;
    uint64_t high = static_cast<uint64_t>(size) / length;
    uint8_t bytes[kLongestProbe];
    while (low < high) {
        const uint64_t middle = low + (high - low) / 2;
        const uint64_t at = middle * length;
        if (at > static_cast<uint64_t>(INT64_MAX) ||
            section.seek(static_cast<int64_t>(at), stream::kSeekSet) != static_cast<int64_t>(at) ||
            read_available(section, bytes, probe) != probe) {
            break;  // what is known so far still holds: low is not past the start
        }
        const double time = entry.time_field != nullptr ? field_value(*entry.time_field, ByteSpan{bytes, probe}) : 0.0;
        if (filter->before_start(time)) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    position = low * length;
    return true;
}

// Moves past the record at `position` when its time field places it before
// the window, exactly as far as reading it would; false (position kept) when
// it does not, when its time needs the decoder, or when reading it would end
// the walk, which the walk then finds out for itself.
bool RecordIterator::Walk::skip_record(stream::Stream& section) {
    const bool with_ids = plan->with_ids;
    const uint64_t id_size = plan->id_size;
    uint64_t at = position;
    const RecordGroup* entry = group_at(section, at);
    if (entry == nullptr || entry->record_length < 0) return false;
    if (entry->time_field == nullptr && !entry->time_is_zero) return false;
    const uint64_t length = static_cast<uint64_t>(entry->record_length);
    const uint8_t* bytes = fetch(section, at, length);
    if (bytes == nullptr) return false;
    const double time = entry->time_field != nullptr ? step_value(entry->time_step, ByteSpan{bytes, length}) : 0.0;
    if (!filter->before_start(time)) return false;
    at += length;
    // The VLSD values that follow belong to the record, as gather_signal_values reads them.
    if (entry->has_vlsd && with_ids) {
        for (const SignalSource& source : entry->signal_sources) {
            if (source.kind != SignalSource::Kind::kVlsd) continue;
            const uint8_t* id = fetch(section, at, id_size + 4);
            if (id == nullptr) {
                // An id cut short by the end of the data ends the walk there;
                // one without its length too, as reading it would.
                const uint8_t* short_id = fetch(section, at, id_size);
                if (short_id == nullptr || load_id(short_id, id_size) == source.vlsd_record_id) return false;
                break;
            }
            if (load_id(id, id_size) != source.vlsd_record_id) break;
            uint32_t value_length;
            std::memcpy(&value_length, id + id_size, 4);
            // Only whether the value is all there: it is not read.
            if (held(at + id_size + 4, value_length) == nullptr &&
                fetch(section, at + id_size + 4, value_length) == nullptr) {
                return false;
            }
            at += id_size + 4 + value_length;
        }
    }
    if (at == position) return false;
    position = at;
    return true;
}

std::optional<RecordIterator> RecordIterator::create(const GroupPlan* plan, const FrameFilter* filter) {
    if (plan == nullptr) return std::nullopt;
    Walk* walk = new (std::nothrow) Walk(plan, filter);
    if (walk == nullptr) return std::nullopt;
    return RecordIterator(std::unique_ptr<Walk>(walk));
}

RecordIterator::RecordIterator(std::unique_ptr<Walk> walk) : walk_(std::move(walk)) {}
RecordIterator::RecordIterator(RecordIterator&&) noexcept = default;
RecordIterator& RecordIterator::operator=(RecordIterator&&) noexcept = default;
RecordIterator::~RecordIterator() = default;

const BusMessage* RecordIterator::first(FrameKind* kind) {
    walk_->finished = false;
    walk_->position = 0;
    if (walk_->filter != nullptr && walk_->filter->has_start() && walk_->plan->data != nullptr) {
        walk_->seek_start(*walk_->plan->data);
    }
    return walk_->next(kind);
}

const BusMessage* RecordIterator::advance(FrameKind* kind) {
    if (walk_->finished) {
        if (kind != nullptr) *kind = FrameKind::kNone;
        return nullptr;
    }
    return walk_->next(kind);
}

// Whether the records of a group decode a batch at a time: CAN data frames
// of a straight program, the payload in the record or in one VLSD value.
bool RecordIterator::Walk::batchable(const RecordGroup& entry) const {
    if (entry.record_length < 0 || entry.skip || entry.decoder == nullptr || !entry.program.straight) return false;
    const std::vector<SignalSource>& sources = entry.signal_sources;
    return sources.empty() || (sources.size() == 1 && sources.front().kind == SignalSource::Kind::kVlsd && plan->with_ids);
}

// Frames the records that follow, of the group just read, into batch_records
// (and their VLSD payloads into the batch) while they lie in the window with
// their values, exactly as read_record would read them, and moves the
// position past them. 0 when the next record goes record by record: another
// group's, one that reaches past the window, a VLSD value another record
// precedes or too long for a frame.
uint32_t RecordIterator::Walk::frame_batch() {
    const RecordGroup* entry = last_group;
    if (entry == nullptr || !batchable(*entry)) return 0;
    const bool with_ids = plan->with_ids;
    const uint64_t id_size = plan->id_size;
    const uint64_t key = entry->key;
    const uint64_t length = static_cast<uint64_t>(entry->record_length);
    const bool vlsd = !entry->signal_sources.empty();
    const uint64_t vlsd_id = vlsd ? entry->signal_sources.front().vlsd_record_id : 0;
    // Offsets within the window from here on; what is framed must end by its end.
    if (position < window_start || position - window_start > window.size()) return 0;
    const uint8_t* const base = window.data();
    const uint64_t end = window.size();
    uint64_t at = position - window_start;
    uint32_t n = 0;
    while (n < CanDataBatch::kSize) {
        uint64_t record_at = at;
        if (with_ids) {
            if (end - at < id_size || load_id(base + at, id_size) != key) break;
            record_at = at + id_size;
        }
        if (end - record_at < length) break;
        uint64_t next = record_at + length;
        if (vlsd) {
            if (end - next < id_size + 4 || load_id(base + next, id_size) != vlsd_id) break;
            uint32_t value_length;
            std::memcpy(&value_length, base + next + id_size, 4);
            const uint64_t value_at = next + id_size + 4;
            if (value_length > kCanPayloadSize || end - value_at < value_length) break;
            batch.payload[n] = value_length != 0 ? base + value_at : nullptr;
            batch.present[n] = value_length;
            next = value_at + value_length;
        }
        if (next == at) break;
        batch_records[n] = base + record_at;
        at = next;
        ++n;
    }
    position = window_start + at;
    return n;
}

// Which frames of the batch the filter delivers, as next_frame decides; true
// when one at or after the window's end ended the walk (the batch then ends
// before it).
bool RecordIterator::Walk::filter_batch() {
    const uint32_t n = batch.count;
    if (filter == nullptr) {
        std::memset(batch.keep, 1, n);
        return false;
    }
    for (uint32_t i = 0; i < n; ++i) {
        const double time = batch.time[i];
        if (filter->has_window()) {
            if (filter->at_or_after_stop(time)) {
                batch.count = i;
                finished = true;
                return true;
            }
            if (!filter->in_window(time)) {
                batch.keep[i] = 0;
                continue;
            }
        }
        const FrameKey key{batch.identifier[i] & 0x1FFFFFFFu, batch.extended[i] != 0,
                           channel_code(FrameKind::kCanDataFrame, batch.bus[i])};
        batch.keep[i] = filter->passes(key) ? 1 : 0;
    }
    return false;
}

CollectResult collect(RecordIterator& cursor, double origin, FrameStore& store) {
    RecordIterator::Walk& walk = *cursor.walk_;
    walk.finished = false;
    walk.position = 0;
    if (walk.filter != nullptr && walk.filter->has_start() && walk.plan->data != nullptr) {
        walk.seek_start(*walk.plan->data);
    }
    for (;;) {
        // Runs of one group's CAN data frames a batch at a time; everything
        // else, and each record that starts a run, record by record.
        const RecordGroup* entry = walk.last_group;
        const uint32_t n = walk.frame_batch();
        if (n != 0) {
            decode_can_data_batch(entry->program, entry->layout->standard, walk.batch_records, n, walk.batch);
            const bool stopped = walk.filter_batch();
            if (!store.append(walk.batch, origin)) return CollectResult::kNoMemory;
            if (stopped) return CollectResult::kDone;
            continue;
        }
        if (!walk.next_frame()) break;
        if (walk.frame.kind == FrameKind::kNone) return CollectResult::kNoFrame;
        if (!store.append(walk.frame, origin)) return CollectResult::kNoMemory;
    }
    return CollectResult::kDone;
}

const BusMessage& RecordIterator::message() const { return walk_->message; }
const RecordView& RecordIterator::view() const { return walk_->view; }
uint64_t RecordIterator::position() const { return walk_->position; }
bool RecordIterator::finished() const { return walk_->finished; }

}  // namespace tolvar::bus
