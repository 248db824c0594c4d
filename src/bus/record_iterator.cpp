#include "bus/record_iterator.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

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
    bool finished = false;

    // A copy of the data section from window_start on, refilled with one seek
    // and read when a record reaches past it.
    ByteBuffer window;
    uint64_t window_start = 0;
    uint64_t window_size = kFirstWindow;  // bytes asked for by the next refill
    const RecordGroup* last_group = nullptr;

    const BusMessage* next(FrameKind* kind);
    const BusMessage* end(FrameKind* kind);
    const RecordGroup* group_at(stream::Stream& section, uint64_t& at);
    bool read_record(stream::Stream& section);
    void seek_start(stream::Stream& section);
    bool bisect_start(stream::Stream& section);
    bool skip_record(stream::Stream& section);
    bool record_time(FrameKind kind, double& time) const;
    const uint8_t* fetch(stream::Stream& section, uint64_t offset, uint64_t n);
    bool gather_signal_values(const RecordGroup& entry, stream::Stream& section, uint64_t& at);
    enum class SdResult { kComplete, kCutShort, kNoMemory };
    SdResult append_sd_value(stream::Stream& section, uint64_t offset, uint64_t& budget);
};

// The n bytes at `offset` of the data section, or null when fewer exist (or
// memory runs out). Valid until the next fetch. The window grows only as
// bytes arrive, so a length read from a damaged file cannot size it.
const uint8_t* RecordIterator::Walk::fetch(stream::Stream& section, uint64_t offset, uint64_t n) {
    const uint64_t held = window.size();
    if (offset >= window_start && offset - window_start <= held && n <= held - (offset - window_start)) {
        return window.data() + (offset - window_start);
    }
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
        time = message.time;
        return true;
    }
    if (last_group->time_field != nullptr) {
        time = field_value(*last_group->time_field, view.record);
        return true;
    }
    time = 0.0;
    return last_group->time_is_zero;
}

const BusMessage* RecordIterator::Walk::next(FrameKind* kind) {
    for (;;) {
        if (plan->data == nullptr || !read_record(*plan->data)) return end(kind);
        // Records of a group beside the bus give no message; every record
        // advances the position, so this ends with the data.
        if (skip) continue;
        if (decoder == nullptr) return end(kind);
        const FrameKind result = decoder(view, message);
        if (filter != nullptr) {
            if (filter->has_window()) {
                double time = 0.0;
                const bool known = record_time(result, time);
                // The group is in time order: nothing after this is earlier.
                if (known && filter->at_or_after_stop(time)) return end(kind);
                if (!known || !filter->in_window(time)) continue;
            }
            if (!filter->passes(message)) continue;
        }
        if (kind != nullptr) *kind = result;
        return &message;
    }
}

// Moves the walk to the first record of the window: by bisection where every
// record has one length and lies at a known offset, otherwise record by
// record over the time fields. Both rely on the group's time order and never
// decode a frame; a record whose time cannot be told stops the search there.
void RecordIterator::Walk::seek_start(stream::Stream& section) {
    if (bisect_start(section)) return;
    while (skip_record(section)) {
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
    const double time = entry->time_field != nullptr ? field_value(*entry->time_field, ByteSpan{bytes, length}) : 0.0;
    if (!filter->before_start(time)) return false;
    at += length;
    // The VLSD values that follow belong to the record, as gather_signal_values reads them.
    if (entry->has_vlsd && with_ids) {
        for (const SignalSource& source : entry->signal_sources) {
            if (source.kind != SignalSource::Kind::kVlsd) continue;
            const uint8_t* id = fetch(section, at, id_size);
            if (id == nullptr) return false;
            if (load_id(id, id_size) != source.vlsd_record_id) break;
            const uint8_t* length_bytes = fetch(section, at + id_size, 4);
            if (length_bytes == nullptr) return false;
            uint32_t value_length;
            std::memcpy(&value_length, length_bytes, 4);
            if (fetch(section, at + id_size + 4, value_length) == nullptr) return false;
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

const BusMessage& RecordIterator::message() const { return walk_->message; }
const RecordView& RecordIterator::view() const { return walk_->view; }
uint64_t RecordIterator::position() const { return walk_->position; }
bool RecordIterator::finished() const { return walk_->finished; }

}  // namespace tolvar::bus
