#include "bus/record_iterator.h"

#include <cstring>
#include <new>
#include <optional>

#include "bus/frame_filter.h"
#include "bus/frame_store.h"
#include "bus/record_framing.h"
#include "bus/record_plan.h"
#include "bus/record_reading.h"
#include "bus/value_extraction.h"
#include "bus/walk_tally.h"
#include "stream/read_ahead.h"

namespace tolvar::bus {

struct RecordIterator::Walk {
    Walk(const GroupPlan* group_plan, double time_origin, const FrameFilter* frame_filter)
        : plan(group_plan), origin(time_origin), filter(frame_filter), ahead(group_plan->data), framing(group_plan),
          reader(group_plan, framing), tally(group_plan) {}

    const GroupPlan* plan;      // borrowed; the reader keeps it alive
    double origin;              // added to every record's time
    const FrameFilter* filter;  // borrowed; null when every frame is given
    stream::ReadAhead ahead;
    RecordFraming framing;
    RecordReader reader;
    WalkTally tally;
    uint64_t position = 0;
    bool finished = false;
    RecordView view;
    DecodedRecord decoded;
    PayloadScratch scratch;

    // Records of a group whose CAN data frames decode a batch at a time
    // (collect only): where they lie in the window, and what they decode to.
    const uint8_t* batch_records[FrameBatch::kSize];
    FrameBatch batch;
    uint8_t batch_values[FrameBatch::kSize][kCanPayloadSize];  // values found by their offset
    const RecordGroup* batch_group = nullptr;  // of the last batch framed
    bool batch_no_frame = false;  // the record after the batch gives no frame

    void rewind();
    WalkStep next();
    std::optional<WalkStep> step();
    WalkStep end(Framing why);
    double virtual_time(const RecordGroup& group, uint64_t index) const;
    bool timestamp_of(const RecordGroup& group, const uint8_t* record, uint64_t index, double& timestamp) const;
    void seek_start();
    bool bisect_start();
    bool batchable(const RecordGroup& group) const;
    uint32_t frame_batch();
    uint32_t keep_by_keys(uint32_t n);
    bool filter_batch();
};

void RecordIterator::Walk::rewind() {
    finished = false;
    position = 0;
    tally.reset();
    if (filter != nullptr && filter->has_start()) seek_start();
}

// The walk ends; where the records end, it says what it read.
WalkStep RecordIterator::Walk::end(Framing why) {
    finished = true;
    if (why == Framing::kEnd || why == Framing::kDamaged) tally.report(why, reader.values_not_found());
    return WalkStep::kEnd;
}

// The time of a group's `index`-th record where a virtual master channel
// gives it: the index through the channel's conversion.
double RecordIterator::Walk::virtual_time(const RecordGroup& group, uint64_t index) const {
    return group.time_field->conversion.evaluate(static_cast<double>(index));
}

// The timestamp of a record (the `index`-th of its group) read from its time
// field without decoding it: false when the group has none to read (its time
// needs the decoder).
bool RecordIterator::Walk::timestamp_of(const RecordGroup& group, const uint8_t* record, uint64_t index,
                                        double& timestamp) const {
    double time = 0.0;
    if (group.virtual_time) {
        time = virtual_time(group, index);
    } else if (group.time_field != nullptr) {
        const FieldStep& step = group.time_step;
        if (group.time_is_plain_double) {
            std::memcpy(&time, record + step.byte, sizeof time);
        } else {
            time = step_value(step, ByteSpan{record, static_cast<uint64_t>(group.record_length)});
        }
    } else if (!group.time_is_zero) {
        return false;
    }
    timestamp = origin + time;
    return true;
}

// Frames, reads and decodes records until one is delivered.
WalkStep RecordIterator::Walk::next() {
    for (;;) {
        if (const std::optional<WalkStep> step = this->step()) return *step;
    }
}

// The walk to the next record that gives a frame, or gives none, or that the
// filter drops (nullopt): the caller that writes a store tries the next
// records as a batch after a dropped one, so that a filter which drops most
// frames leaves the batches their speed.
std::optional<WalkStep> RecordIterator::Walk::step() {
    for (;;) {
        if (finished) return WalkStep::kEnd;
        FramedRecord framed;
        const Framing result = framing.frame<false>(ahead, position, framed, tally.offsets());
        if (result != Framing::kRecord) return end(result);
        const RecordGroup& group = *framed.group;
        const uint64_t index = tally.index_of(group);
        // Records of a group beside the bus give no message, and a VLSD
        // record no record took as its value is found by its offset; every
        // record advances the position, so this ends with the data.
        if (group.skip || group.record_length < 0) {
            tally.count(framed, ahead.held(framed.at, framed.next - framed.at));
            position = framed.next;
            continue;
        }
        if (!reader.read(framed, ahead, view)) return end(Framing::kDamaged);
        tally.count(framed, ahead.held(framed.at, framed.next - framed.at));
        position = framed.next;
        const FrameKind kind = decode_record(group.program, view, origin, decoded, scratch);
        if (group.virtual_time && kind != FrameKind::kNone) {
            decoded.frame.timestamp = origin + virtual_time(group, index);
        }
        if (filter != nullptr) {
            if (filter->has_window()) {
                double timestamp = decoded.frame.timestamp;
                const bool known =
                    kind != FrameKind::kNone || timestamp_of(group, view.record.data, index, timestamp);
                // The group is in time order: nothing after this is earlier.
                if (known && filter->at_or_after_stop(timestamp)) {
                    finished = true;
                    return WalkStep::kEnd;
                }
                if (!known || !filter->in_window(timestamp)) return std::nullopt;
            }
            // A record that gives no frame is no frame to judge: it passes.
            if (kind != FrameKind::kNone && !filter->passes(decoded.frame)) return std::nullopt;
        }
        return kind == FrameKind::kNone ? WalkStep::kNoFrame : WalkStep::kFrame;
    }
}

// Moves the walk to the first record of the window: by bisection where every
// record has one length and lies at a known offset, otherwise record by
// record over the time fields (those the window holds without reading
// first). Both rely on the group's time order and never decode a frame; a
// record whose time cannot be told stops the search there.
void RecordIterator::Walk::seek_start() {
    if (bisect_start()) return;
    for (;;) {
        FramedRecord framed;
        Framing result = framing.frame<true>(ahead, position, framed, tally.offsets());
        if (result == Framing::kUnheld) result = framing.frame<false>(ahead, position, framed, tally.offsets());
        if (result != Framing::kRecord) return;
        const RecordGroup& group = *framed.group;
        const uint8_t* bytes = ahead.held(framed.at, framed.next - framed.at);
        // A VLSD record by itself has no time: it is passed over.
        if (group.record_length >= 0) {
            double timestamp = 0.0;
            const uint8_t* record = bytes + (framed.record_at - framed.at);
            if (!timestamp_of(group, record, tally.index_of(group), timestamp) || !filter->before_start(timestamp)) {
                return;
            }
        }
        tally.count(framed, bytes);
        position = framed.next;
    }
}

// Bisection over records without ids, all of one length and without VLSD
// values between them: record i lies at i * length.
bool RecordIterator::Walk::bisect_start() {
    // The search reads each probed record's time field; one that ends further
    // in than this is found by the sequential skip instead.
    constexpr uint64_t kLongestProbe = 4096;
    if (plan->with_ids || plan->record_groups.size() != 1 || plan->data == nullptr) return false;
    const RecordGroup& group = plan->record_groups.front();
    if (group.record_length <= 0 || group.has_vlsd || group.layout == nullptr) return false;
    const uint64_t length = static_cast<uint64_t>(group.record_length);
    if (group.time_field != nullptr) {
        const uint64_t end_bit = group.time_field->bit_position + group.time_field->bit_count;
        if (end_bit < group.time_field->bit_position || end_bit / 8 + (end_bit % 8 != 0 ? 1 : 0) > kLongestProbe) {
            return false;
        }
    } else if (!group.time_is_zero) {
        return false;
    }
    const int64_t size = plan->data->size();
    if (size <= 0) return false;
    uint64_t low = 0;
    uint64_t high = static_cast<uint64_t>(size) / length;
    while (low < high) {
        const uint64_t middle = low + (high - low) / 2;
        FramedRecord framed;
        double timestamp = 0.0;
        // A record that cannot be read leaves what is known so far: low is
        // not past the start.
        if (middle > UINT64_MAX / length ||
            framing.frame<false>(ahead, middle * length, framed, tally.offsets()) != Framing::kRecord ||
            !timestamp_of(group, ahead.held(framed.record_at, length), middle, timestamp)) {
            break;
        }
        if (filter->before_start(timestamp)) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    position = low * length;
    tally.set_index(group, low);
    return true;
}

// Whether the records of a group decode a batch at a time: CAN data frames
// of a straight program, the payload in the record or in one VLSD value.
bool RecordIterator::Walk::batchable(const RecordGroup& group) const {
    if (group.record_length < 0 || group.skip || group.layout == nullptr || !group.program.straight) return false;
    const std::vector<SignalSource>& sources = group.signal_sources;
    return sources.empty() ||
           (sources.size() == 1 && sources.front().kind == SignalSource::Kind::kVlsd && framing.with_ids());
}

// Frames the records that follow, of the group just framed, into
// batch_records (and their VLSD payloads into the batch) while the window
// holds them whole, and moves the position past them. 0 when the next record
// goes record by record: another group's, one the window does not hold
// whole, one whose VLSD value another record precedes or that is too long
// for a frame.
uint32_t RecordIterator::Walk::frame_batch() {
    batch_group = nullptr;
    batch_no_frame = false;
    if (finished) return 0;
    uint32_t pending[FrameBatch::kSize];  // frames whose values are found by their offset
    uint32_t pending_count = 0;
    const RecordGroup* group = nullptr;
    const SignalSource* source = nullptr;
    uint32_t slot = 0;
    const uint64_t id_size = framing.id_size();
    uint32_t n = 0;
    while (n < FrameBatch::kSize) {
        FramedRecord framed;
        if (framing.frame<true>(ahead, position, framed, tally.offsets()) != Framing::kRecord) break;
        const uint8_t* bytes = ahead.held(framed.at, framed.next - framed.at);
        if (framed.group->record_length < 0) {
            // A VLSD record no record took: some record finds it by its offset.
            tally.count(framed, bytes);
            position = framed.next;
            continue;
        }
        if (group == nullptr) {
            // The run is of the group of its first record, when it decodes a
            // batch at a time.
            if (!batchable(*framed.group)) break;
            group = framed.group;
            source = group->signal_sources.empty() ? nullptr : &group->signal_sources.front();
            slot = source != nullptr ? source->vlsd_slot : 0;
        }
        if (framed.group != group) break;
        const bool vlsd = source != nullptr;
        const uint8_t* record = bytes + (framed.record_at - framed.at);
        uint64_t value_bytes = 0;
        if (vlsd) {
            if (framed.value_count == 1) {
                const uint8_t* value = bytes + (framed.values_at - framed.at) + id_size + 4;
                uint32_t value_length;
                std::memcpy(&value_length, value - 4, 4);
                if (value_length > kCanPayloadSize) break;
                batch.payload[n] = value_length != 0 ? value : nullptr;
                batch.present[n] = value_length;
                value_bytes = 4 + uint64_t{value_length};
            } else {
                // Found by its offset once the batch is framed, with the others.
                pending[pending_count++] = n;
            }
        }
        batch_records[n] = record;
        // Counted at once: the next record's value is checked against it.
        tally.count_run(*group, 1, slot, value_bytes);
        position = framed.next;
        ++n;
        // The records of the group that follow in the common shape, framed
        // at once.
        const RecordFraming::Run run =
            framing.frame_run(ahead, position, *group, FrameBatch::kSize - n, vlsd ? tally.offsets()[slot] : 0,
                              kCanPayloadSize, batch_records + n, batch.payload + n, batch.present + n);
        tally.count_run(*group, run.count, slot, run.value_bytes);
        position = run.next;
        n += run.count;
    }
    if (pending_count != 0) {
        const uint8_t* records[FrameBatch::kSize];
        uint32_t lengths[FrameBatch::kSize];
        for (uint32_t i = 0; i < pending_count; ++i) records[i] = batch_records[pending[i]];
        const uint32_t filled = reader.bus_values_by_offset(*source, records, static_cast<uint64_t>(group->record_length),
                                                            pending_count, batch_values, lengths);
        for (uint32_t i = 0; i < filled; ++i) {
            batch.payload[pending[i]] = lengths[i] != 0 ? batch_values[i] : nullptr;
            batch.present[pending[i]] = lengths[i];
        }
        if (filled < pending_count) {
            // A value longer than a payload: the frames end before its
            // record, which gives none, as it would read by itself.
            n = pending[filled];
            batch_no_frame = true;
        }
    }
    batch_group = group;
    return n;
}

// Where the filter judges frames by identifier and channel alone, the
// batch's records that it drops are left out before they are decoded: only
// their keys are read, and the others close up in order. The records that
// are left (all of them, for any other filter).
uint32_t RecordIterator::Walk::keep_by_keys(uint32_t n) {
    const RecordGroup* group = batch_group;
    // A window needs each record's time; a virtual time its place in the group.
    if (filter == nullptr || filter->has_window() || !filter->judges_keys() || group->virtual_time) return n;
    decode_can_data_keys(group->program, group->layout->standard, batch_records, n, batch.frames);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (!filter->passes(batch.frames[i])) continue;
        batch_records[kept] = batch_records[i];
        batch.payload[kept] = batch.payload[i];
        batch.present[kept] = batch.present[i];
        ++kept;
    }
    return kept;
}

// Which frames of the batch the filter delivers, as next() decides; true
// when one at or after the window's end ended the walk (the batch then ends
// before it).
bool RecordIterator::Walk::filter_batch() {
    const uint32_t n = batch.count;
    if (filter == nullptr) {
        std::memset(batch.keep, 1, n);
        return false;
    }
    for (uint32_t i = 0; i < n; ++i) {
        const Frame& frame = batch.frames[i];
        if (filter->has_window()) {
            if (filter->at_or_after_stop(frame.timestamp)) {
                batch.count = i;
                finished = true;
                return true;
            }
            if (!filter->in_window(frame.timestamp)) {
                batch.keep[i] = 0;
                continue;
            }
        }
        batch.keep[i] = filter->passes(frame) ? 1 : 0;
    }
    return false;
}

std::optional<RecordIterator> RecordIterator::create(const GroupPlan* plan, double origin, const FrameFilter* filter) {
    if (plan == nullptr) return std::nullopt;
    try {
        return RecordIterator(std::make_unique<Walk>(plan, origin, filter));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

RecordIterator::RecordIterator(std::unique_ptr<Walk> walk) : walk_(std::move(walk)) {}
RecordIterator::RecordIterator(RecordIterator&&) noexcept = default;
RecordIterator& RecordIterator::operator=(RecordIterator&&) noexcept = default;
RecordIterator::~RecordIterator() = default;

void RecordIterator::rewind() { walk_->rewind(); }

WalkStep RecordIterator::first() {
    walk_->rewind();
    return walk_->next();
}

WalkStep RecordIterator::advance() { return walk_->next(); }

CollectResult RecordIterator::collect(FrameStore& store, uint64_t rows) {
    Walk& walk = *walk_;
    const uint64_t start = store.appended();
    for (;;) {
        if (rows != 0 && store.appended() - start >= rows) return CollectResult::kMore;
        // Runs of one group's CAN data frames a batch at a time; everything
        // else, and each record that starts a run, record by record.
        const uint32_t n = walk.frame_batch();
        const uint32_t kept = n != 0 ? walk.keep_by_keys(n) : 0;
        if (kept != 0) {
            const RecordGroup* group = walk.batch_group;
            decode_can_data_batch(group->program, group->layout->standard, walk.origin, walk.batch_records, kept,
                                  walk.batch);
            if (group->virtual_time) {
                const uint64_t first_index = walk.tally.index_of(*group) - n;
                for (uint32_t i = 0; i < n; ++i) {
                    walk.batch.frames[i].timestamp = walk.origin + walk.virtual_time(*group, first_index + i);
                }
            }
            const bool stopped = walk.filter_batch();
            if (!store.append(walk.batch)) return CollectResult::kNoMemory;
            if (stopped) return CollectResult::kDone;
        }
        if (walk.batch_no_frame) return CollectResult::kNoFrame;
        if (n != 0) continue;
        const std::optional<WalkStep> next = walk.step();
        if (!next) continue;
        const WalkStep step = *next;
        if (step == WalkStep::kEnd) return CollectResult::kDone;
        if (step == WalkStep::kNoFrame) return CollectResult::kNoFrame;
        if (!store.append(walk.decoded.frame, walk.decoded.payload)) return CollectResult::kNoMemory;
    }
}

const DecodedRecord& RecordIterator::current() const { return walk_->decoded; }
const RecordView& RecordIterator::view() const { return walk_->view; }
uint64_t RecordIterator::position() const { return walk_->position; }
bool RecordIterator::finished() const { return walk_->finished; }

}  // namespace tolvar::bus
