#include "bus/frame_filter.h"

#include <utility>

namespace tolvar::bus {

void FrameFilter::set_id_filters(std::vector<IdFilter> filters) {
    by_id_ = true;
    ids_ = std::move(filters);
}

void FrameFilter::set_channels(const std::bitset<kChannelCount>& channels) {
    by_channel_ = true;
    channels_ = channels;
}

void FrameFilter::set_window(double start, double stop) {
    has_window_ = true;
    start_ = start;
    stop_ = stop;
}

// The frame as a message shows it: an error frame has no identifier flag of
// its own and shows the message type's default, extended.
bool FrameFilter::passes_key(const Frame& frame) const {
    if (by_channel_ && !channels_.test(frame.channel)) return false;
    if (!by_id_) return true;
    const bool extended = has_flag(frame, kFlagExtended);
    for (const IdFilter& f : ids_) {
        if (f.extended >= 0 && (f.extended != 0) != extended) continue;
        if (((f.id ^ frame.id) & f.mask) == 0) return true;
    }
    return false;
}

}  // namespace tolvar::bus
