#include "bus/frame_filter.h"

#include <utility>

namespace tolvar::bus {

FrameKey key_of(const BusMessage& m) {
    FrameKey key{m.identifier & 0x1FFFFFFFu, false, 0};
    switch (m.kind) {
        case FrameKind::kCanDataFrame:
        case FrameKind::kCanRemoteFrame:
            key.extended = m.details.can.extended != 0;
            key.channel = channel_code(m.kind, m.details.can.bus);
            break;
        case FrameKind::kCanErrorFrame:
            key.extended = true;
            key.channel = channel_code(m.kind, m.details.error.bus);
            break;
        case FrameKind::kLinFrame:
            key.channel = channel_code(m.kind, m.details.lin.bus);
            break;
        case FrameKind::kNone:
            break;
    }
    return key;
}

FrameKey key_of(const DecodedFrame& f) {
    FrameKey key{f.identifier & 0x1FFFFFFFu, false, 0};
    switch (f.kind) {
        case FrameKind::kCanDataFrame:
        case FrameKind::kCanRemoteFrame:
            key.extended = f.extended != 0;
            break;
        case FrameKind::kCanErrorFrame:
            key.extended = true;
            break;
        case FrameKind::kLinFrame:
        case FrameKind::kNone:
            break;
    }
    key.channel = f.kind == FrameKind::kNone ? 0 : channel_code(f.kind, f.bus);
    return key;
}

void FrameFilter::set_id_filters(std::vector<IdFilter> filters) {
    by_id_ = true;
    ids_ = std::move(filters);
}

void FrameFilter::set_channels(const std::bitset<kChannelCount>& channels) {
    by_channel_ = true;
    channels_ = channels;
}

void FrameFilter::set_window(double origin, double start, double stop) {
    has_window_ = true;
    origin_ = origin;
    start_ = start;
    stop_ = stop;
}

bool FrameFilter::passes(const BusMessage& m) const {
    if (m.kind == FrameKind::kNone || (!by_id_ && !by_channel_)) return true;
    return passes_key(key_of(m));
}

bool FrameFilter::passes(const DecodedFrame& f) const {
    if (f.kind == FrameKind::kNone || (!by_id_ && !by_channel_)) return true;
    return passes_key(key_of(f));
}

bool FrameFilter::passes_key(const FrameKey& key) const {
    if (by_channel_ && !channels_.test(key.channel)) return false;
    if (!by_id_) return true;
    for (const IdFilter& f : ids_) {
        if (f.extended >= 0 && (f.extended != 0) != key.extended) continue;
        if (((f.id ^ key.arbitration_id) & f.mask) == 0) return true;
    }
    return false;
}

}  // namespace tolvar::bus
