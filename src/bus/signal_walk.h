// The signal path: the frames of every data group of a recording walked a few
// thousand at a time into row stores, merged by timestamp exactly as
// iteration orders them (heapq's steps, NaN timestamps and all), and handed
// row by row to a SignalDecoder, whose tables alone grow. Owns its walks and
// stores for the length of the call; borrows the plans, the filter and the
// decoder.
#pragma once

#include <cstddef>

#include "bus/frame_columns.h"
#include "bus/signal_decoder.h"

namespace tolvar::bus {

class FrameFilter;
class GroupPlan;

// Decodes every frame the `count` plans at `plans` (in data-group order)
// give through `filter` (null: every frame), timestamps counted from
// `origin`, into `decoder`'s tables. kEnd once every frame is decoded;
// kNoFrame where a record gives no frame (the host reports it as iteration
// does), kNoMemory, or kStopped when `stop` asked to end the walk; the
// tables then hold what was decoded before.
ColumnResult decode_frames(const GroupPlan* plans, size_t count, const FrameFilter* filter, double origin,
                           SignalDecoder& decoder, FrameColumns::StopCheck stop = nullptr, void* context = nullptr);

}  // namespace tolvar::bus
