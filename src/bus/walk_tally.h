// WalkTally: what a walk over a data group's records has read: how many
// records of each record group (a record's index in its group, the value of
// a virtual time), where the next record of each VLSD group stands among that
// group's records, and, where the records end, what the walk tells of it:
// the records read beside those the recording states, and the values not
// found. Owns its counts; borrows the plan.
#pragma once

#include <cstdint>
#include <vector>

#include "bus/record_framing.h"
#include "bus/record_plan.h"

namespace tolvar::bus {

class WalkTally {
public:
    // Throws std::bad_alloc.
    explicit WalkTally(const GroupPlan* plan);

    // Back to the first record.
    void reset();

    // The index in its group (from 0) of the group's next record.
    uint64_t index_of(const RecordGroup& group) const { return records_[slot_of(group)]; }
    // Counts a record the walk moves past (`bytes`: the read-ahead's bytes of
    // it from framed.at): one more of its group, and the sizes of the VLSD
    // records it took as its values, or that it is, to their groups.
    void count(const FramedRecord& framed, const uint8_t* bytes);
    // Counts `n` records of one group that took one VLSD value each, of
    // `value_bytes` together (0 and no slot: they took none).
    void count_run(const RecordGroup& group, uint32_t n, uint32_t vlsd_slot, uint64_t value_bytes);
    // The group's next record is its `index`-th (a search that jumped there).
    void set_index(const RecordGroup& group, uint64_t index) { records_[slot_of(group)] = index; }
    // Per VLSD slot, the offset of the group's next record.
    const uint64_t* offsets() const { return offsets_.data(); }

    // The walk reached the end of the records (`end`: kEnd or kDamaged):
    // the plan keeps the records read, and each record group that gave fewer
    // than its channel group states, in a finalised recording, is logged
    // once, as are VLSD values not found. Once per walk from its start.
    void report(Framing end, uint64_t values_not_found);

private:
    size_t slot_of(const RecordGroup& group) const {
        return static_cast<size_t>(&group - plan_->record_groups.data());
    }

    const GroupPlan* plan_;  // borrowed
    std::vector<uint64_t> records_;  // per record group
    std::vector<uint64_t> offsets_;  // per VLSD slot, and one past them that nothing reaches
    bool reported_ = false;
};

}  // namespace tolvar::bus
