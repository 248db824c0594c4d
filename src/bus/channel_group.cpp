#include "bus/channel_group.h"

#include <new>
#include <unordered_set>
#include <utility>
#include <vector>

#include "log/log.h"
#include "mdf/block_writer.h"
#include "mdf/conversion_block.h"
#include "mdf/field_cursor.h"
#include "mdf/text_block.h"

namespace tolvar::bus {

namespace {

// The channel's name up to its first zero byte (text blocks may be padded);
// empty when the name link is absent or leads to anything but a text block.
std::string name_of(const CnBlock& channel) {
    const mdf::TxBlock* text = mdf::as<mdf::TxBlock>(channel.name);
    if (text == nullptr) return {};
    const size_t end = text->text.find('\0');
    return end == std::string::npos ? text->text : text->text.substr(0, end);
}

ChannelField field_of(const CnBlock& channel) {
    ChannelField field;
    field.name = name_of(channel);
    field.role = role_of_name(field.name);
    // In 32-bit arithmetic, as the offsets are stored.
    field.bit_position = static_cast<uint32_t>(channel.byte_offset * 8u + channel.bit_offset);
    field.bit_count = channel.bit_count;
    switch (channel.data_code) {
        case kDataTypeUnsignedIntel:
            field.value_kind = ValueKind::kUnsigned;
            field.byte_order = ByteOrder::kIntel;
            break;
        case kDataTypeFloatIntel:
            field.value_kind = ValueKind::kFloat;
            field.byte_order = ByteOrder::kIntel;
            break;
        case kDataTypeByteArray:
            field.value_kind = ValueKind::kByteArray;
            field.byte_order = ByteOrder::kIntel;
            break;
        default:
            TOLVAR_LOG_WARNING("Unsupported channel data type: %d", static_cast<int>(channel.data_code));
            break;
    }
    field.conversion = mdf::conversion_of(channel.conversion.get());
    if (channel.type_code == kChannelVariableLength) field.signal_source = channel.data.get();
    return field;
}

// Depth-first over the channel tree with an explicit stack, so the depth of
// nested structures is bounded by memory, not by the call stack.
bool append_tree(const CnBlock& root, RecordLayout& layout,
                 std::unordered_set<const CnBlock*>& seen) {
    struct Level {
        const mdf::BlockList* list;
        size_t next;
    };
    std::vector<Level> stack;
    const CnBlock* channel = &root;
    for (;;) {
        if (channel != nullptr) {
            if (!seen.insert(channel).second) return false;
            if (channel->components.empty()) {
                layout.fields.push_back(field_of(*channel));
            } else {
                stack.push_back({&channel->components, 0});
            }
        }
        channel = nullptr;
        if (stack.empty()) return true;
        Level& level = stack.back();
        if (level.next == level.list->size()) {
            stack.pop_back();
            if (stack.empty()) return true;
            continue;
        }
        // A component that is not a channel block has no field.
        channel = mdf::as<CnBlock>((*level.list)[level.next++]);
    }
}

bool append_channels(const CgBlock& group, RecordLayout& layout) {
    std::unordered_set<const CnBlock*> seen;
    for (const mdf::BlockRef& ref : group.channels) {
        const CnBlock* channel = mdf::as<CnBlock>(ref);
        if (channel != nullptr && !append_tree(*channel, layout, seen)) return false;
    }
    return true;
}

}  // namespace

bool append_fields(const CnBlock& channel, RecordLayout& layout) {
    std::unordered_set<const CnBlock*> seen;
    return append_tree(channel, layout, seen);
}

bool build_layout(CgBlock& group) {
    group.layout.clear();
    bool built = false;
    try {
        built = append_channels(group, group.layout);
    } catch (const std::bad_alloc&) {
        built = false;
    }
    if (!built) group.layout.clear();
    return built;
}

bool CgBlock::parse_rest(Stream& stream, mdf::BlockCache& cache, mdf::Links links,
                         uint64_t data_start) {
    // Link 0, the next group, belongs to the chain walk.
    if (!mdf::follow_chain(stream, cache, links[1], channels)) return false;
    if (!mdf::follow_link(stream, cache, links[2], acquisition_name)) return false;
    if (!mdf::follow_link(stream, cache, links[3], acquisition_source)) return false;
    if (links[4] != mdf::kNoLink) {
        TOLVAR_LOG_ERROR("Unsupported parameter present in file");
        return false;
    }
    if (!mdf::follow_link(stream, cache, links[5], comment)) return false;

    mdf::FieldCursor cursor(&stream, data_start);
    bool ok = true;
    ok &= cursor.read_u64(record_id);
    ok &= cursor.read_u64(cycle_count);
    ok &= cursor.read_u16(cg_flags);
    ok &= cursor.read_u16(path_separator);
    ok &= cursor.skip(4);
    ok &= cursor.read_u32(data_bytes);
    ok &= cursor.read_u32(inval_bytes);
    if (!ok) return false;

    is_vlsd = (cg_flags & kFlagVlsd) != 0;
    is_bus_event = (cg_flags & kFlagBusEvent) != 0;
    is_plain_bus_event = (cg_flags & kFlagPlainBusEvent) != 0;
    return build_layout(*this);
}

bool CgBlock::save_member(mdf::SaveContext& context, uint64_t next_link) {
    std::vector<uint64_t> links{next_link};
    if (!mdf::save_chain(context, channels, links)) return false;
    if (!mdf::save_link(context, acquisition_name, links)) return false;
    if (!mdf::save_link(context, acquisition_source, links)) return false;
    links.push_back(0);  // sample reduction
    if (!mdf::save_link(context, comment, links)) return false;
    mdf::BlockWriter out(context, *this);
    out.links(links);
    out.u64(record_id);
    out.u64(cycle_count);
    out.u16(cg_flags);
    out.u16(path_separator);
    out.zeros(4);
    out.u32(data_bytes);
    out.u32(inval_bytes);
    return out.finish();
}

void CgBlock::destroy() {
    layout.clear();
    channels.clear();
    acquisition_name.release();
    acquisition_source.release();
    comment.release();
}

}  // namespace tolvar::bus
