#include "bus/record_layout.h"

#include <new>
#include <unordered_set>
#include <vector>

#include "log/log.h"
#include "mdf/channel_block.h"
#include "mdf/channel_group_block.h"
#include "mdf/text_block.h"

namespace tolvar::bus {

namespace {

// The number the data-type warning shows. It has always shown 7 for a string
// channel and 0 for every other type it cannot decode, and log filters may
// look for those.
int shown_data_type(mdf::DataTypeCode code) { return code == mdf::kDataTypeString ? 7 : 0; }

ChannelField field_of(const mdf::CnBlock& channel) {
    ChannelField field;
    // Only a text block names a channel, up to its first zero byte.
    if (const std::string* text = mdf::block_text(channel.name.get(), mdf::BlockKind::kTx)) {
        field.name = std::string(mdf::up_to_zero(*text));
    }
    field.role = role_of_name(field.name);
    // In 32-bit arithmetic, as the offsets are stored.
    field.bit_position = static_cast<uint32_t>(channel.byte_offset * 8u + channel.bit_offset);
    field.bit_count = channel.bit_count;
    switch (channel.data_code) {
        case mdf::kDataTypeUnsignedIntel:
            field.value_kind = ValueKind::kUnsigned;
            field.byte_order = ByteOrder::kIntel;
            break;
        case mdf::kDataTypeFloatIntel:
            field.value_kind = ValueKind::kFloat;
            field.byte_order = ByteOrder::kIntel;
            break;
        case mdf::kDataTypeByteArray:
            field.value_kind = ValueKind::kByteArray;
            field.byte_order = ByteOrder::kIntel;
            break;
        default:
            TOLVAR_LOG_WARNING("Unsupported channel data type: %d", shown_data_type(channel.data_code));
            break;
    }
    field.conversion = conversion_of(channel.conversion.get());
    if (channel.type_code == mdf::kChannelVariableLength) field.signal_source = channel.data.get();
    field.channel = &channel;
    return field;
}

// Depth-first over the channel tree with an explicit stack, so the depth of
// nested structures is bounded by memory, not by the call stack.
bool append_tree(const mdf::CnBlock& root, RecordLayout& layout,
                 std::unordered_set<const mdf::CnBlock*>& seen) {
    struct Level {
        const mdf::BlockList* list;
        size_t next;
    };
    std::vector<Level> stack;
    const mdf::CnBlock* channel = &root;
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
        channel = mdf::as<mdf::CnBlock>((*level.list)[level.next++]);
    }
}

bool append_channels(const mdf::CgBlock& group, RecordLayout& layout) {
    std::unordered_set<const mdf::CnBlock*> seen;
    for (const mdf::BlockRef& ref : group.channels) {
        const mdf::CnBlock* channel = mdf::as<mdf::CnBlock>(ref);
        if (channel != nullptr && !append_tree(*channel, layout, seen)) return false;
    }
    return true;
}

}  // namespace

bool build_layout(const mdf::CgBlock& group, RecordLayout& layout) {
    layout.clear();
    layout.standard = StandardLayout{};
    bool built = false;
    try {
        built = append_channels(group, layout);
    } catch (const std::bad_alloc&) {
        built = false;
    }
    if (!built) layout.clear();
    return built;
}

}  // namespace tolvar::bus
