// Which frames a walk delivers: identifier filters with python-can's meaning,
// a set of channels and a time window, applied to a decoded record before
// anything reaches the host. A plain value built once per reader; owns its
// filter list.
#pragma once

#include <bitset>
#include <cstdint>
#include <limits>
#include <vector>

#include "bus/bus_message.h"

namespace tolvar::bus {

// One identifier filter: a frame matches when its identifier agrees with
// `id` in every bit of `mask`, and, where `extended` is 0 or 1, its
// extended-identifier flag equals it.
struct IdFilter {
    uint32_t id = 0;    // the 29 identifier bits that take part
    uint32_t mask = 0;  // ditto
    int8_t extended = -1;  // -1: either kind of identifier
};

// Channels are numbered as messages name them: "CAN n" is n, "LIN n" is
// 256 + n.
constexpr unsigned kChannelCount = 512;
inline unsigned channel_code(FrameKind kind, uint8_t bus) {
    return kind == FrameKind::kLinFrame ? 256u + bus : bus;
}

// The attributes of a frame as a message gives them, in the form filters
// and columns take them: the identifier without its flag bits, the
// extended-identifier flag (an error frame has none of its own and shows the
// message type's default, extended), the channel code and the bus of the
// frame. Meaningless for a record that gives no frame.
struct FrameKey {
    uint32_t arbitration_id;
    bool extended;
    unsigned channel;
};
FrameKey key_of(const BusMessage& message);
FrameKey key_of(const DecodedFrame& frame);

class FrameFilter {
public:
    // Everything passes until a part is set.
    FrameFilter() = default;

    // The frame passes when any of `filters` matches; an empty list passes
    // nothing (a caller's "no filters" is not calling this).
    void set_id_filters(std::vector<IdFilter> filters);
    // Only frames on these channel codes pass; none when the set is empty.
    void set_channels(const std::bitset<kChannelCount>& channels);
    // Only records whose timestamp (origin + time, in doubles, as a message
    // computes it) lies in [start, stop) pass; either bound may be infinite.
    void set_window(double origin, double start, double stop);

    // Whether the identifier and channel parts let the frame through. A
    // record that gives no frame is no frame to judge: it always passes.
    bool passes(const BusMessage& message) const;
    // The same for the message to_message makes of a decoded frame.
    bool passes(const DecodedFrame& frame) const;
    // The same for a frame with this key.
    bool passes(const FrameKey& key) const { return (!by_id_ && !by_channel_) || passes_key(key); }

    bool has_window() const { return has_window_; }
    bool has_start() const { return has_window_ && start_ != -std::numeric_limits<double>::infinity(); }
    // A record at `time` (seconds since the start of the recording) comes
    // before the window; NaN never does.
    bool before_start(double time) const { return origin_ + time < start_; }
    // ... or at or after its end, which ends a walk in time order.
    bool at_or_after_stop(double time) const { return origin_ + time >= stop_; }
    bool in_window(double time) const {
        const double t = origin_ + time;
        return t >= start_ && t < stop_;
    }

private:
    bool passes_key(const FrameKey& key) const;

    bool by_id_ = false;
    std::vector<IdFilter> ids_;
    bool by_channel_ = false;
    std::bitset<kChannelCount> channels_;
    bool has_window_ = false;
    double origin_ = 0.0;
    double start_ = -std::numeric_limits<double>::infinity();
    double stop_ = std::numeric_limits<double>::infinity();
};

}  // namespace tolvar::bus
