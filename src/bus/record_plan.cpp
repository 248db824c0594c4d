#include "bus/record_plan.h"

#include <algorithm>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "mdf/block_sequence_stream.h"
#include "bus/decode_program.h"
#include "bus/standard_layout.h"
#include "log/log.h"
#include "mdf/channel_block.h"
#include "mdf/channel_group_block.h"
#include "mdf/data_block.h"
#include "mdf/data_group_block.h"
#include "mdf/data_list_block.h"
#include "mdf/mdf_document.h"
#include "mdf/source_info_block.h"
#include "mdf/text_block.h"

namespace tolvar::bus {

namespace {

SignalSource signal_source_of(const ChannelField& field) {
    SignalSource source;
    source.bit_position = field.bit_position;
    source.bit_count = field.bit_count;
    source.byte_order = field.byte_order;
    if (const auto* vlsd = mdf::as<mdf::CgBlock>(field.signal_source)) {
        source.kind = SignalSource::Kind::kVlsd;
        source.vlsd_record_id = vlsd->record_id;
    } else if (auto* sd = mdf::as<mdf::SdBlock>(field.signal_source)) {
        source.kind = SignalSource::Kind::kSd;
        source.section = &sd->section;
    }
    return source;
}

// A record group as its channel group states it: id, cycle count and the
// length of each record (a VLSD group's records say their own).
RecordGroup record_group_of(const mdf::CgBlock& group, size_t number) {
    RecordGroup entry;
    entry.number = number;
    entry.record_id = group.record_id;
    entry.key = group.record_id;
    entry.cycle_count = group.cycle_count;
    entry.record_length = group.is_vlsd() ? RecordGroup::kVariableLength
                                          : static_cast<int64_t>(uint64_t{group.data_bytes} + group.inval_bytes);
    return entry;
}

// A name for a channel group in log lines: its acquisition name, or the name
// of its first channel that is not the time.
std::string group_name(const mdf::CgBlock& group, const RecordLayout* layout) {
    if (const std::string* text = mdf::block_text(group.acquisition_name.get())) {
        const std::string_view name = mdf::up_to_zero(*text);
        if (!name.empty()) return std::string(name);
    }
    if (layout != nullptr) {
        for (const ChannelField& field : *layout) {
            if (!is_time_master(field) && !field.name.empty()) return field.name;
        }
    }
    return "unnamed";
}

// The frame kind of a group recorded from a bus; every other group gives no
// frame whatever its channels are called.
FrameKind classify(const mdf::CgBlock& group, const RecordLayout& layout) {
    const auto* source = mdf::as<mdf::SiBlock>(group.acquisition_source);
    if (source == nullptr || source->source_class != mdf::SiBlock::kClassBus) return FrameKind::kNone;
    std::vector<std::string_view> names;
    names.reserve(layout.size());
    for (const ChannelField& field : layout) names.push_back(field.name);
    return classify_group(names).value_or(FrameKind::kNone);
}

// The field a decoder takes a record's time from: every decoder stores each
// timestamp field as it meets it, so the last one counts.
void set_time_field(RecordGroup& entry) {
    const ChannelField* last = nullptr;
    for (const ChannelField& field : *entry.layout) {
        if (field.role == ChannelRole::kTimestampRole) last = &field;
    }
    entry.time_is_zero = last == nullptr;
    entry.time_field = last != nullptr && last->value_kind != ValueKind::kByteArray ? last : nullptr;
    // A virtual master channel holds no bits: its value is the record's index.
    entry.virtual_time = entry.time_field != nullptr && entry.layout->standard.enabled &&
                         entry.time_field->channel != nullptr &&
                         entry.time_field->channel->cn_type == mdf::kCnTypeVirtualMaster;
}

}  // namespace

std::optional<GroupPlan> GroupPlan::build(const mdf::DgBlock& dg, size_t index, bool finalised) {
    try {
        GroupPlan plan;
        plan.index = index;
        plan.finalised = finalised;
        std::vector<size_t> layout_of;  // per record group: its index in layouts_, or kNoLayout
        size_t channel_groups = 0;
        for (const mdf::BlockRef& ref : dg.channel_groups) {
            const auto* group = mdf::as<mdf::CgBlock>(ref);
            if (group == nullptr) continue;
            ++channel_groups;
            RecordGroup entry = record_group_of(*group, channel_groups);
            if (group->is_vlsd()) {
                layout_of.push_back(kNoLayout);
            } else {
                RecordLayout layout;
                if (!build_layout(*group, layout)) return std::nullopt;
                entry.name = group_name(*group, &layout);
                entry.kind = classify(*group, layout);
                for (const ChannelField& field : layout) {
                    if (field.signal_source == nullptr) continue;
                    entry.signal_sources.push_back(signal_source_of(field));
                    if (entry.signal_sources.back().kind == SignalSource::Kind::kVlsd) entry.has_vlsd = true;
                }
                layout_of.push_back(plan.layouts_.size());
                plan.layouts_.push_back(std::move(layout));
            }
            plan.record_groups.push_back(std::move(entry));
        }
        plan.arrange(dg, layout_of, channel_groups);
        if (mdf::DtBlock* data = mdf::data_block(dg)) plan.data = &data->section;
        return plan;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

void GroupPlan::arrange(const mdf::DgBlock& dg, const std::vector<size_t>& layout_of, size_t channel_groups) {
    // The layouts are in place for good: the record groups may point in.
    for (size_t i = 0; i < record_groups.size(); ++i) {
        if (layout_of[i] == kNoLayout) continue;
        RecordGroup& entry = record_groups[i];
        entry.layout = &layouts_[layout_of[i]];
        set_time_field(entry);
        if (entry.time_field != nullptr) {
            entry.time_step = prepare_field(*entry.time_field, static_cast<uint64_t>(entry.record_length));
            entry.time_is_plain_double = entry.time_step.read == FieldStep::Read::kDouble &&
                                         is_identity(entry.time_field->conversion);
        }
        entry.program = prepare_decoding(*entry.layout, static_cast<uint64_t>(entry.record_length), entry.kind);
    }

    std::vector<RecordGroup>& groups = record_groups;
    with_ids = dg.rec_id_size != 0 || channel_groups > 1;
    id_size = with_ids ? dg.rec_id_size : 0;
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
    // Slots of the VLSD groups; a source whose group is not one of them gets
    // the slot past the last, where nothing is ever found.
    vlsd_groups = 0;
    for (RecordGroup& group : groups) {
        if (group.record_length < 0) group.vlsd_slot = vlsd_groups++;
    }
    for (RecordGroup& group : groups) {
        for (SignalSource& source : group.signal_sources) {
            if (source.kind != SignalSource::Kind::kVlsd) continue;
            const RecordGroup* values = find(source.vlsd_record_id);
            source.vlsd_slot = values != nullptr && values->record_length < 0 ? values->vlsd_slot : vlsd_groups;
        }
    }
}

bool GroupPlan::decodes_frames() const {
    for (const RecordGroup& group : record_groups) {
        if (group.kind != FrameKind::kNone && !group.skip) return true;
    }
    return false;
}

// The stream of a list of data blocks: a single block of the kind as it is,
// anything else through a BlockSequenceStream the plan keeps. Null when
// there are no blocks.
stream::Stream* GroupPlan::stream_of(const mdf::BlockList& blocks, mdf::BlockKind kind, int64_t file_size) {
    if (blocks.empty()) return nullptr;
    if (blocks.size() == 1 && blocks.front()->kind() == kind) return mdf::section_of(blocks.front().get());
    std::unique_ptr<mdf::BlockSequenceStream> sequence = mdf::BlockSequenceStream::create(blocks, kind, file_size);
    if (!sequence) throw std::bad_alloc();
    stream::Stream* raw = sequence.get();
    owned_streams_.push_back(std::move(sequence));
    return raw;
}

// The signal sources of a group's variable-length channels, in the order of
// its fields: a VLSD group of the data group, or signal data blocks.
void GroupPlan::add_signal_sources(const mdf::DgBlock& dg, RecordGroup& entry, RecordLayout& layout,
                                   int64_t file_size) {
    for (ChannelField& field : layout.fields) {
        const mdf::CnBlock* channel = field.channel;
        if (channel == nullptr || channel->type_code != mdf::kChannelVariableLength) continue;
        SignalSource source;
        const mdf::CgBlock* vlsd = mdf::as<mdf::CgBlock>(channel->data);
        if (vlsd == nullptr && !channel->data && channel->data_link != mdf::kNoLink) {
            // A VLSD group placed before this one: found by its offset.
            for (const mdf::BlockRef& other : dg.channel_groups) {
                if (other->offset == channel->data_link) vlsd = mdf::as<mdf::CgBlock>(other);
            }
        }
        // Where the record holds the value's offset.
        source.bit_position = field.bit_position;
        source.bit_count = field.bit_count;
        source.byte_order = field.byte_order;
        if (vlsd != nullptr) {
            source.kind = SignalSource::Kind::kVlsd;
            source.vlsd_record_id = vlsd->record_id;
            field.signal_source = const_cast<mdf::CgBlock*>(vlsd);
            entry.has_vlsd = true;
        } else if (stream::Stream* section =
                       stream_of(channel->signal_blocks, mdf::BlockKind::kSd, file_size)) {
            source.kind = SignalSource::Kind::kSd;
            source.section = section;
            field.signal_source = channel->data.get();
        }
        // A variable-length channel without values still owns an
        // (empty) entry of the record's signal bytes.
        if (field.signal_source == nullptr) field.signal_source = const_cast<mdf::CnBlock*>(channel);
        entry.signal_sources.push_back(source);
    }
}

std::optional<GroupPlan> GroupPlan::build_standard(const mdf::DgBlock& dg, size_t index, int64_t file_size,
                                                   bool finalised) {
    try {
        GroupPlan plan;
        plan.index = index;
        plan.finalised = finalised;
        plan.vlsd_by_offset = true;
        std::vector<size_t> layout_of;
        size_t channel_groups = 0;
        size_t channel_group_index = 0;
        std::vector<std::pair<size_t, std::string>> skipped;  // channel groups beside the bus
        for (const mdf::BlockRef& ref : dg.channel_groups) {
            const auto* group = mdf::as<mdf::CgBlock>(ref);
            if (group == nullptr) continue;
            ++channel_groups;
            ++channel_group_index;
            RecordGroup entry = record_group_of(*group, channel_group_index);
            if (group->is_vlsd()) {
                layout_of.push_back(kNoLayout);
                plan.record_groups.push_back(std::move(entry));
                continue;
            }
            RecordLayout layout;
            if (!build_layout(*group, layout)) return std::nullopt;
            std::string_view prefix;
            entry.kind = classify_standard(*group, layout, prefix);
            entry.name = group_name(*group, &layout);
            if (entry.kind == FrameKind::kNone) {
                entry.skip = true;
                skipped.push_back({channel_group_index, entry.name});
            } else {
                assign_standard_roles(layout, entry.kind, prefix);
            }
            plan.add_signal_sources(dg, entry, layout, file_size);
            layout_of.push_back(plan.layouts_.size());
            plan.layouts_.push_back(std::move(layout));
            plan.record_groups.push_back(std::move(entry));
        }
        plan.arrange(dg, layout_of, channel_groups);
        // One line for each group beside the bus, or one for a data group
        // that holds nothing else.
        if (!plan.decodes_frames()) {
            TOLVAR_LOG_WARNING("Data group %zu (%s) holds no bus frames; it is skipped", index,
                               skipped.empty() ? "no channel group" : skipped.front().second.c_str());
            return plan;
        }
        for (const auto& [number, name] : skipped) {
            TOLVAR_LOG_WARNING("Channel group %zu of data group %zu (%s) holds no bus frames; its records are skipped",
                               number, index, name.c_str());
        }
        plan.data = plan.stream_of(dg.data_blocks, mdf::BlockKind::kDt, file_size);
        plan.data_sequence_ = dynamic_cast<const mdf::BlockSequenceStream*>(plan.data);
        return plan;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

GroupPlan::GroupPlan() = default;
GroupPlan::~GroupPlan() = default;

GroupPlan::GroupPlan(GroupPlan&& other) noexcept
    : record_groups(std::move(other.record_groups)), data(other.data), id_size(other.id_size),
      with_ids(other.with_ids), index(other.index), finalised(other.finalised), vlsd_groups(other.vlsd_groups),
      vlsd_by_offset(other.vlsd_by_offset), layouts_(std::move(other.layouts_)),
      owned_streams_(std::move(other.owned_streams_)), data_sequence_(other.data_sequence_),
      vlsd_index_(std::move(other.vlsd_index_)), vlsd_index_tried_(other.vlsd_index_tried_),
      last_frames_(other.last_frames_.load()) {}

GroupPlan& GroupPlan::operator=(GroupPlan&& other) noexcept {
    if (this != &other) {
        record_groups = std::move(other.record_groups);
        data = other.data;
        id_size = other.id_size;
        with_ids = other.with_ids;
        index = other.index;
        finalised = other.finalised;
        vlsd_groups = other.vlsd_groups;
        vlsd_by_offset = other.vlsd_by_offset;
        layouts_ = std::move(other.layouts_);
        owned_streams_ = std::move(other.owned_streams_);
        data_sequence_ = other.data_sequence_;
        vlsd_index_ = std::move(other.vlsd_index_);
        vlsd_index_tried_ = other.vlsd_index_tried_;
        last_frames_.store(other.last_frames_.load());
    }
    return *this;
}

GroupPlan::Reading GroupPlan::last_reading() const {
    const uint64_t frames = last_frames_.load(std::memory_order_relaxed);
    return Reading{frames != kNotRead, frames != kNotRead ? frames : 0};
}

void GroupPlan::set_last_reading(uint64_t frames) const {
    last_frames_.store(frames == kNotRead ? kNotRead - 1 : frames, std::memory_order_relaxed);
}

bool GroupPlan::data_cut_by_a_refused_block() const { return data_sequence_ != nullptr && data_sequence_->refused(); }

const RecordGroup* GroupPlan::find(uint64_t key) const {
    const auto it = std::lower_bound(record_groups.begin(), record_groups.end(), key,
                                     [](const RecordGroup& group, uint64_t k) { return group.key < k; });
    return it != record_groups.end() && it->key == key ? &*it : nullptr;
}

std::optional<std::vector<GroupPlan>> build_plans(const mdf::MdfDocument& document, PlanOptions options) {
    try {
        std::vector<GroupPlan> plans;
        plans.reserve(document.data_groups().size());
        const int64_t file_size = options.any_writer && document.stream() != nullptr ? document.stream()->size() : -1;
        bool decodes = false;
        size_t index = 0;
        for (const mdf::BlockRef& ref : document.data_groups()) {
            ++index;
            const auto* dg = mdf::as<mdf::DgBlock>(ref);
            if (dg == nullptr) {
                plans.emplace_back();
                continue;
            }
            std::optional<GroupPlan> plan = options.any_writer
                                                ? GroupPlan::build_standard(*dg, index, file_size, document.finalised())
                                                : GroupPlan::build(*dg, index, document.finalised());
            if (!plan) return std::nullopt;
            decodes = decodes || plan->decodes_frames();
            plans.push_back(std::move(*plan));
        }
        if (options.any_writer && !decodes) {
            TOLVAR_LOG_ERROR("No channel group of the recording holds CAN or LIN bus frames");
            return std::nullopt;
        }
        return plans;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

uint64_t stated_record_count(const GroupPlan* plans, size_t count) {
    uint64_t total = 0;
    for (size_t p = 0; p < count; ++p) {
        const GroupPlan& plan = plans[p];
        for (const RecordGroup& group : plan.record_groups) {
            // VLSD records travel with the records that refer to them, and the
            // records of a group beside the bus give no frame.
            if (group.record_length == RecordGroup::kVariableLength || group.skip) continue;
            // A damaged count must not wrap around to a small total.
            total = group.cycle_count > UINT64_MAX - total ? UINT64_MAX : total + group.cycle_count;
        }
    }
    return total;
}

}  // namespace tolvar::bus
