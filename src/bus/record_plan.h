// The record plan: everything the record walk needs to decode the records of
// a data group, built once per open from the parsed block tree and never
// changed afterwards: the record groups by record id with their layouts,
// decoders and signal-data sources, and the stream of the group's records.
// A GroupPlan owns its layouts, record groups and the streams it makes over
// sequences of data blocks; it borrows the data and signal-data sections,
// which the document owns.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus/decode_program.h"
#include "bus/frame.h"
#include "bus/record_layout.h"
#include "bus/value_extraction.h"
#include "mdf/block_sequence_stream.h"
#include "mdf/data_group_block.h"
#include "mdf/mdf_document.h"
#include "stream/stream.h"

namespace tolvar::bus {

// Where a field's variable-length value lies, prepared once per field with a
// signal-data source, in layout order.
struct SignalSource {
    enum class Kind : uint8_t {
        kOther,  // a block of another kind: the value is empty
        kVlsd,   // a record of a VLSD channel group: right after the record, or at its offset
        kSd,     // an SD block, at the offset the field holds in the record
    };
    Kind kind = Kind::kOther;
    uint64_t vlsd_record_id = 0;        // kVlsd: the id the value's record carries
    uint32_t vlsd_slot = 0;             // kVlsd: the VLSD group's slot (RecordGroup::vlsd_slot)
    stream::Stream* section = nullptr;  // kSd: the SD block's data section (borrowed)
    // Where the field holds the value's offset: within the SD block, or among
    // the records of the VLSD group.
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
    // written; the walk tells when it read fewer.
    uint64_t cycle_count = 0;
    // The channel group's place in its data group's chain (from 1) and a name
    // for log lines.
    size_t number = 0;
    std::string name;
    // A VLSD group's slot among the plan's VLSD groups (from 0).
    uint32_t vlsd_slot = 0;
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
    // The time is a virtual master channel: the record's index in its group
    // (from 0) through time_field's conversion.
    bool virtual_time = false;
    // Records of a group that holds no bus frames, recorded beside the bus
    // (read for any writer): the walk reads past them without a message.
    bool skip = false;
};

// What a plan is built for.
struct PlanOptions {
    // The standard bus-logging layouts of any MDF 4 writer: roles by member
    // name, the master channel as time, members without a role passed over,
    // data in lists of (compressed) blocks, groups that are no bus event
    // skipped, VLSD values found by the offset the record holds. The
    // document must have been parsed with the same option.
    bool any_writer = false;
};

class VlsdIndex;

// The plan of one data group. Move-only: its record groups point into its
// own layouts.
class GroupPlan {
public:
    GroupPlan();
    GroupPlan(GroupPlan&&) noexcept;
    GroupPlan& operator=(GroupPlan&&) noexcept;
    GroupPlan(const GroupPlan&) = delete;
    GroupPlan& operator=(const GroupPlan&) = delete;
    ~GroupPlan();

    // The plan of a data group: one record group per distinct key, sorted by
    // key; of several channel groups with one record id, the first in chain
    // order keeps it; without record ids only the first group remains, under
    // key 0. Only a channel group whose acquisition source is a bus is
    // classified; every other group decodes no frame whatever its channels
    // are called. Nothing when a layout cannot be built or memory runs out.
    static std::optional<GroupPlan> build(const mdf::DgBlock& group, size_t index = 1, bool finalised = true);
    // The plan of the standard layouts of any writer (PlanOptions); `index`
    // names the data group in log lines, `file_size` is the size of the
    // document's Stream (negative when unknown). Channel groups that are no
    // bus event are kept with `skip` and one log line each; a data group
    // with none that is gives an empty walk and one log line.
    static std::optional<GroupPlan> build_standard(const mdf::DgBlock& group, size_t index, int64_t file_size,
                                                   bool finalised = true);

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
    // The data group's place in the document's chain (from 1), for log lines.
    size_t index = 1;
    bool finalised = true;
    // The records of VLSD groups: how many groups there are (their slots),
    // and whether a value right after a record is taken only where it stands
    // at the offset the record holds (the standard's addressing, for any
    // writer); elsewhere whatever VLSD record follows is the value, and only
    // a record that none follows finds its value by its offset.
    uint32_t vlsd_groups = 0;
    bool vlsd_by_offset = false;

    // The index of the VLSD records, made by the first walk that finds a value
    // by its offset (the walks of one recording take turns: the reader's
    // gate); null when it cannot be made.
    const VlsdIndex* vlsd_index() const;

    // What the last walk that reached the end of the records read: per record
    // group, how many records; kept for the reader to tell.
    struct Reading {
        bool complete = false;
        uint64_t frames = 0;  // records of the groups that give frames
    };
    Reading last_reading() const;
    void set_last_reading(uint64_t frames) const;
    // Whether the data stopped at a block the reader refused (a compressed
    // block too large or that did not inflate).
    bool data_cut_by_a_refused_block() const;

private:
    static constexpr size_t kNoLayout = ~size_t{0};
    // Points the record groups at their layouts (layout_of: per record group,
    // its index in layouts_ or kNoLayout), decides on record ids and orders
    // the record groups by key.
    void arrange(const mdf::DgBlock& group, const std::vector<size_t>& layout_of, size_t channel_groups);
    stream::Stream* stream_of(const mdf::BlockList& blocks, mdf::BlockKind kind, int64_t file_size);
    void add_signal_sources(const mdf::DgBlock& dg, RecordGroup& entry, RecordLayout& layout, int64_t file_size);

    std::vector<RecordLayout> layouts_;
    // Streams over sequences of data blocks that `data` and signal sources
    // point into; a stream keeps its address when the plan moves.
    std::vector<std::unique_ptr<stream::Stream>> owned_streams_;
    const mdf::BlockSequenceStream* data_sequence_ = nullptr;  // `data`, when it is one; owned above
    // Made on first use (vlsd_index); a walk's, not the plan's, state.
    mutable std::shared_ptr<const VlsdIndex> vlsd_index_;
    mutable bool vlsd_index_tried_ = false;
    static constexpr uint64_t kNotRead = UINT64_MAX;
    mutable std::atomic<uint64_t> last_frames_{kNotRead};
};

// The plans of a document's data groups, one per entry of its data-group
// list in chain order (finalised as the document is) (an entry that is not a data group gets an empty plan,
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
uint64_t stated_record_count(const GroupPlan* plans, size_t count);
inline uint64_t stated_record_count(const std::vector<GroupPlan>& plans) {
    return stated_record_count(plans.data(), plans.size());
}

}  // namespace tolvar::bus
