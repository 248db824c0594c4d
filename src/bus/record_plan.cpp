#include "bus/record_plan.h"

#include <algorithm>
#include <new>
#include <string_view>

#include "bus/value_extraction.h"
#include "mdf/channel_group_block.h"
#include "mdf/data_block.h"
#include "mdf/data_group_block.h"
#include "mdf/mdf_document.h"
#include "mdf/source_info_block.h"

namespace tolvar::bus {

namespace {

SignalSource signal_source_of(const ChannelField& field) {
    SignalSource source;
    if (const auto* vlsd = mdf::as<mdf::CgBlock>(field.signal_source)) {
        source.kind = SignalSource::Kind::kVlsd;
        source.vlsd_record_id = vlsd->record_id;
    } else if (auto* sd = mdf::as<mdf::SdBlock>(field.signal_source)) {
        source.kind = SignalSource::Kind::kSd;
        source.section = &sd->section;
        source.bit_position = field.bit_position;
        source.bit_count = field.bit_count;
        source.byte_order = field.byte_order;
    }
    return source;
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
}

}  // namespace

std::optional<GroupPlan> GroupPlan::build(const mdf::DgBlock& dg) {
    try {
        GroupPlan plan;
        std::vector<size_t> layout_of;  // per record group: its index in layouts_, or npos
        constexpr size_t kNone = ~size_t{0};
        size_t channel_groups = 0;
        for (const mdf::BlockRef& ref : dg.channel_groups) {
            const auto* group = mdf::as<mdf::CgBlock>(ref);
            if (group == nullptr) continue;
            ++channel_groups;
            RecordGroup entry;
            entry.record_id = group->record_id;
            entry.key = group->record_id;
            entry.cycle_count = group->cycle_count;
            if (group->is_vlsd()) {
                entry.record_length = RecordGroup::kVariableLength;
                layout_of.push_back(kNone);
            } else {
                entry.record_length = static_cast<int64_t>(uint64_t{group->data_bytes} + group->inval_bytes);
                RecordLayout layout;
                if (!build_layout(*group, layout)) return std::nullopt;
                entry.kind = classify(*group, layout);
                entry.decoder = decoder_for(entry.kind);
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
        // The layouts are in place for good: the record groups may point in.
        for (size_t i = 0; i < plan.record_groups.size(); ++i) {
            if (layout_of[i] != kNone) {
                RecordGroup& entry = plan.record_groups[i];
                entry.layout = &plan.layouts_[layout_of[i]];
                set_time_field(entry);
            }
        }

        std::vector<RecordGroup>& groups = plan.record_groups;
        plan.with_ids = dg.rec_id_size != 0 || channel_groups > 1;
        plan.id_size = plan.with_ids ? dg.rec_id_size : 0;
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

        if (mdf::DtBlock* data = mdf::data_block(dg)) plan.data = &data->section;
        return plan;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

const RecordGroup* GroupPlan::find(uint64_t key) const {
    const auto it = std::lower_bound(record_groups.begin(), record_groups.end(), key,
                                     [](const RecordGroup& group, uint64_t k) { return group.key < k; });
    return it != record_groups.end() && it->key == key ? &*it : nullptr;
}

std::optional<std::vector<GroupPlan>> build_plans(const mdf::MdfDocument& document) {
    try {
        std::vector<GroupPlan> plans;
        plans.reserve(document.data_groups().size());
        for (const mdf::BlockRef& ref : document.data_groups()) {
            const auto* dg = mdf::as<mdf::DgBlock>(ref);
            if (dg == nullptr) {
                plans.emplace_back();
                continue;
            }
            std::optional<GroupPlan> plan = GroupPlan::build(*dg);
            if (!plan) return std::nullopt;
            plans.push_back(std::move(*plan));
        }
        return plans;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

uint64_t stated_record_count(const std::vector<GroupPlan>& plans) {
    uint64_t total = 0;
    for (const GroupPlan& plan : plans) {
        for (const RecordGroup& group : plan.record_groups) {
            if (group.record_length == RecordGroup::kVariableLength) continue;
            // A damaged count must not wrap around to a small total.
            total = group.cycle_count > UINT64_MAX - total ? UINT64_MAX : total + group.cycle_count;
        }
    }
    return total;
}

}  // namespace tolvar::bus
