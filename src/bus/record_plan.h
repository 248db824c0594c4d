// The record plan: everything the record walk needs to decode the records of
// a data group, built once per open from the parsed block tree and never
// changed afterwards: the record groups by record id with their layouts,
// decoders and signal-data sources, and the stream of the group's records.
// A GroupPlan owns its layouts, record groups and the streams it makes over
// sequences of data blocks; it borrows the data and signal-data sections,
// which the document owns.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "bus/decode_program.h"
#include "bus/frame.h"
#include "bus/record_layout.h"
#include "bus/value_extraction.h"
#include "mdf/data_group_block.h"
#include "mdf/mdf_document.h"
#include "stream/stream.h"

namespace tolvar::bus {

// Where a field's variable-length value lies, prepared once per field with a
// signal-data source, in layout order.
struct SignalSource {
    enum class Kind : uint8_t {
        kOther,  // a block of another kind: the value is empty
        kVlsd,   // the record of a VLSD channel group right after the record
        kSd,     // an SD block, at the offset the field holds in the record
    };
    Kind kind = Kind::kOther;
    uint64_t vlsd_record_id = 0;        // kVlsd: the id the value's record must carry
    stream::Stream* section = nullptr;  // kSd: the SD block's data section (borrowed)
    // kSd: where the field holds the value's offset within the SD block.
    uint64_t bit_position = 0;
    uint64_t bit_count = 0;
    ByteOrder byte_order = ByteOrder::kOther;
};

// Everything needed to decode the records of one record id.
struct RecordGroup {
    static constexpr int64_t kVariableLength = -1;

    uint64_t record_id = 0;  // the channel group's record id
    // The id records of this group carry: the record id, or 0 when records
    // carry no ids.
    uint64_t key = 0;
    // Bytes of one record after its id (data bytes + invalidation bytes), or
    // kVariableLength for a VLSD channel group, whose records are read only
    // together with the record that refers to them.
    int64_t record_length = 0;
    const RecordLayout* layout = nullptr;  // the plan's; null for a VLSD group
    FrameKind kind = FrameKind::kNone;      // what the decoder writes
    // The decoder's steps prepared for this group's records.
    DecodeProgram program;
    std::vector<SignalSource> signal_sources;
    bool has_vlsd = false;  // a VLSD value follows each record
    // The records the channel group states it holds (its cycle count), as
    // written; never checked against the data.
    uint64_t cycle_count = 0;
    // Where a record's time lies without decoding it: the layout's last
    // timestamp field, the one the decoders keep. Null when the layout has no
    // timestamp field (time_is_zero: its frames lie at time 0) or when that
    // field is a byte array, whose time only a decoder reads.
    const ChannelField* time_field = nullptr;
    FieldStep time_step;  // time_field's read, prepared for whole records
    // The time field is an unconverted double at time_step.byte, as loggers
    // store their time: read without a conversion.
    bool time_is_plain_double = false;
    bool time_is_zero = false;
    // Records of a group that holds no bus frames, recorded beside the bus
    // (read for any writer): the walk reads past them without a message.
    bool skip = false;
};

// What a plan is built for.
struct PlanOptions {
    // The standard bus-logging layouts of any MDF 4 writer: roles by member
    // name, the master channel as time, members without a role passed over,
    // data in lists of (compressed) blocks, groups that are no bus event
    // skipped. The document must have been parsed with the same option.
    bool any_writer = false;
};

// The plan of one data group. Move-only: its record groups point into its
// own layouts.
class GroupPlan {
public:
    GroupPlan() = default;
    GroupPlan(GroupPlan&&) = default;
    GroupPlan& operator=(GroupPlan&&) = default;
    GroupPlan(const GroupPlan&) = delete;
    GroupPlan& operator=(const GroupPlan&) = delete;

    // The plan of a data group: one record group per distinct key, sorted by
    // key; of several channel groups with one record id, the first in chain
    // order keeps it; without record ids only the first group remains, under
    // key 0. Only a channel group whose acquisition source is a bus is
    // classified; every other group decodes no frame whatever its channels
    // are called. Nothing when a layout cannot be built or memory runs out.
    static std::optional<GroupPlan> build(const mdf::DgBlock& group);
    // The plan of the standard layouts of any writer (PlanOptions); `index`
    // names the data group in log lines, `file_size` is the size of the
    // document's Stream (negative when unknown). Channel groups that are no
    // bus event are kept with `skip` and one log line each; a data group
    // with none that is gives an empty walk and one log line.
    static std::optional<GroupPlan> build_standard(const mdf::DgBlock& group, size_t index, int64_t file_size);

    // True when some record group decodes frames.
    bool decodes_frames() const;

    const RecordGroup* find(uint64_t key) const;

    std::vector<RecordGroup> record_groups;  // sorted by key
    // The data section of the group's data block; null when the group has
    // none (or the link leads to another kind), and its walk gives nothing.
    stream::Stream* data = nullptr;
    // Bytes of record id in front of every record, when records carry ids:
    // with several channel groups, and with any non-zero id size (so a single
    // group's frames are never lost to a walk that would take its ids for
    // record bytes).
    uint8_t id_size = 0;
    bool with_ids = false;

private:
    static constexpr size_t kNoLayout = ~size_t{0};
    // Points the record groups at their layouts (layout_of: per record group,
    // its index in layouts_ or kNoLayout), decides on record ids and orders
    // the record groups by key.
    void arrange(const mdf::DgBlock& group, const std::vector<size_t>& layout_of, size_t channel_groups);
    stream::Stream* stream_of(const mdf::BlockList& blocks, mdf::BlockKind kind, int64_t file_size);

    std::vector<RecordLayout> layouts_;
    // Streams over sequences of data blocks that `data` and signal sources
    // point into; a stream keeps its address when the plan moves.
    std::vector<std::unique_ptr<stream::Stream>> owned_streams_;
};

// The plans of a document's data groups, one per entry of its data-group
// list in chain order (an entry that is not a data group gets an empty plan,
// whose walk gives nothing). Nothing when a group's plan cannot be built,
// and, for any writer, when no channel group of the recording decodes frames
// (logged).
std::optional<std::vector<GroupPlan>> build_plans(const mdf::MdfDocument& document, PlanOptions options = {});

// The records a recording states for the record groups whose records give
// frames (every group but the VLSD ones, whose records travel with the records
// that refer to them, and groups skipped beside the bus): the sum of their
// cycle counts, at most UINT64_MAX. For a finished
// recording, the records its walk gives; a writer that did not finish may
// state fewer, or none.
uint64_t stated_record_count(const std::vector<GroupPlan>& plans);

}  // namespace tolvar::bus
