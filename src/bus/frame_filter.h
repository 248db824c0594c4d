// Which frames a walk delivers: identifier filters with python-can's meaning,
// a set of channels and a time window, applied to a decoded frame before
// anything reaches the host. A plain value built once per reader; owns its
// filter list.
#pragma once

#include <bitset>
#include <cstdint>
#include <limits>
#include <vector>

#include "bus/frame.h"

namespace tolvar::bus {

// One identifier filter: a frame matches when its identifier agrees with
// `id` in every bit of `mask`, and, where `extended` is 0 or 1, its
// extended-identifier flag equals it.
struct IdFilter {
    uint32_t id = 0;    // the 29 identifier bits that take part
    uint32_t mask = 0;  // ditto
    int8_t extended = -1;  // -1: either kind of identifier
};

class FrameFilter {
public:
    // Everything passes until a part is set.
    FrameFilter() = default;

    // The frame passes when any of `filters` matches; an empty list passes
    // nothing (a caller's "no filters" is not calling this).
    void set_id_filters(std::vector<IdFilter> filters);
    // Only frames on these channel codes pass; none when the set is empty.
    void set_channels(const std::bitset<kChannelCount>& channels);
    // Only frames whose timestamp lies in [start, stop) pass; either bound
    // may be infinite. A record's timestamp is the recording's origin + its
    // time, in doubles, as a message computes it.
    void set_window(double start, double stop);

    // Whether the identifier and channel parts let the frame through.
    bool passes(const Frame& frame) const { return (!by_id_ && !by_channel_) || passes_key(frame); }

    bool has_window() const { return has_window_; }
    // Whether the identifier or channel part is set.
    bool judges_keys() const { return by_id_ || by_channel_; }
    bool has_start() const { return has_window_ && start_ != -std::numeric_limits<double>::infinity(); }
    // A record at `timestamp` comes before the window; NaN never does.
    bool before_start(double timestamp) const { return timestamp < start_; }
    // ... or at or after its end, which ends a walk in time order.
    bool at_or_after_stop(double timestamp) const { return timestamp >= stop_; }
    bool in_window(double timestamp) const { return timestamp >= start_ && timestamp < stop_; }

private:
    bool passes_key(const Frame& frame) const;

    bool by_id_ = false;
    std::vector<IdFilter> ids_;
    bool by_channel_ = false;
    std::bitset<kChannelCount> channels_;
    bool has_window_ = false;
    double start_ = -std::numeric_limits<double>::infinity();
    double stop_ = std::numeric_limits<double>::infinity();
};

}  // namespace tolvar::bus
