#include "bus/walk_tally.h"

#include <cstring>

#include "log/log.h"

namespace tolvar::bus {

WalkTally::WalkTally(const GroupPlan* plan)
    : plan_(plan), records_(plan->record_groups.size(), 0), offsets_(size_t{plan->vlsd_groups} + 1, 0) {}

void WalkTally::reset() {
    for (uint64_t& n : records_) n = 0;
    for (uint64_t& o : offsets_) o = 0;
    reported_ = false;
}

void WalkTally::count(const FramedRecord& framed, const uint8_t* bytes) {
    const RecordGroup& group = *framed.group;
    ++records_[slot_of(group)];
    if (group.record_length < 0) {
        offsets_[group.vlsd_slot] += framed.next - framed.record_at;
        return;
    }
    // The values it took: records of the VLSD groups of its first sources.
    const uint64_t id_size = plan_->with_ids ? plan_->id_size : 0;
    uint64_t at = framed.values_at - framed.at;
    uint32_t taken = 0;
    for (const SignalSource& source : group.signal_sources) {
        if (taken == framed.value_count) break;
        if (source.kind != SignalSource::Kind::kVlsd) continue;
        uint32_t length;
        std::memcpy(&length, bytes + at + id_size, 4);
        offsets_[source.vlsd_slot] += 4 + uint64_t{length};
        at += id_size + 4 + length;
        ++taken;
    }
}

void WalkTally::count_run(const RecordGroup& group, uint32_t n, uint32_t vlsd_slot, uint64_t value_bytes) {
    records_[slot_of(group)] += n;
    if (value_bytes != 0) offsets_[vlsd_slot] += value_bytes;
}

void WalkTally::report(Framing end, uint64_t values_not_found) {
    if (reported_) return;
    reported_ = true;
    using ull = unsigned long long;
    uint64_t frames = 0;
    for (size_t i = 0; i < records_.size(); ++i) {
        const RecordGroup& group = plan_->record_groups[i];
        if (group.record_length < 0 || group.skip) continue;
        frames += records_[i];
    }
    plan_->set_last_reading(frames);
    if (plan_->finalised) {
        // A refused block ends the data wherever a record stands there.
        const char* why = plan_->data_cut_by_a_refused_block() ? "before a data block that was refused"
                          : end == Framing::kDamaged           ? "at a damaged record"
                                                               : "at the end of the data";
        for (size_t i = 0; i < records_.size(); ++i) {
            const RecordGroup& group = plan_->record_groups[i];
            // VLSD records are the values of others, counted by their frames.
            if (group.record_length < 0 || records_[i] >= group.cycle_count) continue;
            TOLVAR_LOG_WARNING("Data group %zu, channel group %zu (%s): %llu records stated, %llu read; "
                               "the records end %s",
                               plan_->index, group.number, group.name.empty() ? "unnamed" : group.name.c_str(),
                               static_cast<ull>(group.cycle_count), static_cast<ull>(records_[i]), why);
        }
    }
    if (values_not_found != 0) {
        TOLVAR_LOG_WARNING("Data group %zu: %llu VLSD values are not where their records say (beyond the records of "
                           "their group, or inside one); those frames have no payload",
                           plan_->index, static_cast<ull>(values_not_found));
    }
}

}  // namespace tolvar::bus
