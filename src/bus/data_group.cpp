#include "bus/data_group.h"

#include <algorithm>
#include <new>
#include <string_view>

#include "bus/value_extraction.h"
#include "mdf/block_writer.h"
#include "mdf/field_cursor.h"
#include "mdf/signal_data_block.h"
#include "mdf/source_info_block.h"

namespace tolvar::bus {

namespace {

SignalSource signal_source_of(const ChannelField& field) {
    SignalSource source;
    if (const CgBlock* vlsd = mdf::as<CgBlock>(field.signal_source)) {
        source.kind = SignalSource::Kind::kVlsd;
        source.vlsd_record_id = vlsd->record_id;
    } else if (mdf::SdBlock* sd = mdf::as<mdf::SdBlock>(field.signal_source)) {
        source.kind = SignalSource::Kind::kSd;
        source.section = &sd->section;
        source.bit_position = field.bit_position;
        source.bit_count = field.bit_count;
        source.byte_order = field.byte_order;
    }
    return source;
}

// The decoder and kind of a group recorded from a bus; every other group stays
// unclassified whatever its channels are called.
void classify(const CgBlock& group, RecordGroup& entry) {
    const mdf::SiBlock* source = mdf::as<mdf::SiBlock>(group.acquisition_source);
    if (source == nullptr || source->source_class != mdf::SiBlock::kClassBus) return;
    std::vector<std::string_view> names;
    names.reserve(group.layout.size());
    for (const ChannelField& field : group.layout) names.push_back(field.name);
    if (const auto classification = classify_group(names)) {
        entry.decoder = decoder_for(classification->decoder);
        entry.event_kind = classification->kind;
    }
}

bool build_entries(DgBlock& dg) {
    std::vector<RecordGroup>& groups = dg.record_groups;
    size_t channel_groups = 0;
    for (const mdf::BlockRef& ref : dg.channel_groups) {
        CgBlock* group = mdf::as<CgBlock>(ref);
        if (group == nullptr) continue;
        ++channel_groups;
        RecordGroup entry;
        entry.record_id = group->record_id;
        entry.key = group->record_id;
        if (group->is_vlsd) {
            entry.record_length = RecordGroup::kVariableLength;
        } else {
            entry.record_length = static_cast<int64_t>(uint64_t{group->data_bytes} + group->inval_bytes);
            if (!build_layout(*group)) return false;
            entry.layout = &group->layout;
            entry.decoder = no_frame;
            classify(*group, entry);
            for (const ChannelField& field : group->layout) {
                if (field.signal_source == nullptr) continue;
                entry.signal_sources.push_back(signal_source_of(field));
                if (entry.signal_sources.back().kind == SignalSource::Kind::kVlsd) entry.has_vlsd = true;
            }
        }
        groups.push_back(std::move(entry));
    }
    dg.with_ids = dg.rec_id_size != 0 || channel_groups > 1;
    if (dg.rec_id_size == 0 && !groups.empty()) {
        // Records without ids all belong to one group: the first of the chain.
        groups.erase(groups.begin() + 1, groups.end());
        groups.front().key = 0;
    }
    // Of several groups with one id, the first in chain order keeps it: a
    // stable sort keeps them in chain order, and unique keeps the first.
    std::stable_sort(groups.begin(), groups.end(),
                     [](const RecordGroup& a, const RecordGroup& b) { return a.key < b.key; });
    groups.erase(std::unique(groups.begin(), groups.end(),
                             [](const RecordGroup& a, const RecordGroup& b) { return a.key == b.key; }),
                 groups.end());
    return true;
}

}  // namespace

const RecordGroup* DgBlock::find_record_group(uint64_t key) const {
    const auto it = std::lower_bound(record_groups.begin(), record_groups.end(), key,
                                     [](const RecordGroup& group, uint64_t k) { return group.key < k; });
    return it != record_groups.end() && it->key == key ? &*it : nullptr;
}

mdf::DtBlock* data_block(const DgBlock& group) { return mdf::as<mdf::DtBlock>(group.data); }

bool build_record_groups(DgBlock& group) {
    group.record_groups.clear();
    bool built = false;
    try {
        built = build_entries(group);
    } catch (const std::bad_alloc&) {
        built = false;
    }
    if (!built) group.record_groups.clear();
    return built;
}

bool DgBlock::parse_rest(Stream& stream, mdf::BlockCache& cache, mdf::Links links,
                         uint64_t data_start) {
    // Link 0, the next data group, belongs to the chain walk.
    if (!mdf::follow_chain(stream, cache, links[1], channel_groups)) return false;
    if (!mdf::follow_link(stream, cache, links[2], data)) return false;
    if (!mdf::follow_link(stream, cache, links[3], comment)) return false;
    mdf::FieldCursor cursor(&stream, data_start);
    if (!cursor.read_u8(rec_id_size)) return false;
    return build_record_groups(*this);
}

bool DgBlock::save_member(mdf::SaveContext& context, uint64_t next_link) {
    std::vector<uint64_t> links{next_link};
    if (!mdf::save_chain(context, channel_groups, links)) return false;
    if (!mdf::save_link(context, data, links)) return false;
    if (!mdf::save_link(context, comment, links)) return false;
    mdf::BlockWriter out(context, *this);
    out.links(links);
    out.u8(rec_id_size);
    out.zeros(7);
    return out.finish();
}

void DgBlock::destroy() {
    record_groups.clear();
    channel_groups.clear();
    data.release();
    comment.release();
}

}  // namespace tolvar::bus
