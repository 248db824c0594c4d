// The data-group block ("##DG"): a data block of records, the channel groups
// that describe them, and the record groups (per record id, built at open).
// Owns its chain and links by shared reference; record groups borrow layouts.
#pragma once

#include <cstdint>
#include <vector>

#include "bus/bus_event.h"
#include "bus/bus_message.h"
#include "bus/channel_group.h"
#include "mdf/block.h"
#include "mdf/data_block.h"

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
    uint64_t vlsd_record_id = 0;      // kVlsd: the id the value's record must carry
    mdf::DataSectionStream* section = nullptr;  // kSd: the SD block's section (borrowed)
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
    const RecordLayout* layout = nullptr;  // borrowed; null for a VLSD group
    FrameDecoder decoder = nullptr;         // null for a VLSD group
    BusEventKind event_kind = BusEventKind::kUnclassified;  // what the group is; decoding depends on the decoder alone
    std::vector<SignalSource> signal_sources;
    bool has_vlsd = false;  // a VLSD value follows each record
};

class DgBlock final : public mdf::ChainBlock {
public:
    static constexpr mdf::BlockKind kKind = mdf::BlockKind::kDg;
    static constexpr uint64_t kLinkCount = 4;

    DgBlock() : ChainBlock(kKind) {}

    // Follows channel groups, data block and comment, reads the record id size
    // and builds the record groups; the next data group is followed by the
    // chain walk.
    bool parse_rest(Stream& stream, mdf::BlockCache& cache, mdf::Links links,
                    uint64_t data_start) override;
    // Writes the fields in file order, the reserved bytes as seven zeros.
    bool save_member(mdf::SaveContext& context, uint64_t next_link) override;
    void destroy() override;

    mdf::BlockList channel_groups;  // chain order
    mdf::BlockRef data;             // only a DtBlock holds records
    mdf::BlockRef comment;
    uint8_t rec_id_size = 0;  // bytes of record id in front of every record

    // One entry per distinct key, sorted by key; of several groups with one
    // record id, the first in chain order keeps it. Without record ids only
    // one entry remains, the first group's, under key 0.
    std::vector<RecordGroup> record_groups;

    const RecordGroup* find_record_group(uint64_t key) const;
    // Whether records carry ids: with several channel groups, and with any
    // non-zero id size (so a single group's frames are never lost to a walk
    // that would take its ids for record bytes). Set with the record groups.
    bool walks_with_ids() const { return with_ids; }
    bool with_ids = false;
};

// The data block, or null when the link is absent or leads to another kind.
mdf::DtBlock* data_block(const DgBlock& group);

// Rebuilds the group's record groups (and with them its channel groups'
// layouts). False when a layout cannot be built or memory runs out; the map
// is then empty.
bool build_record_groups(DgBlock& group);

}  // namespace tolvar::bus
