// The column path: the frames of every data group of a recording, walked
// into row stores and merged by timestamp into columns, a chunk at a time. A
// table is one chunk of every frame; a stream of record batches is one
// bounded chunk after another. The caller says what to fill and how
// (ColumnLayout) and gets the columns as allocations it then owns
// (ColumnChunk). FrameColumns owns its walks, stores and merge; it borrows
// the plans and the filter, which must outlive it.
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <vector>

#include "bus/column_layout.h"
#include "bus/frame.h"

namespace tolvar::bus {

class FrameFilter;
class GroupPlan;

// How a read of the column path went.
enum class ColumnResult : uint8_t {
    kChunk,    // a chunk was filled (it may have no rows only when the whole table has none)
    kEnd,      // every frame was given
    kNoFrame,  // a record gave no frame: the host reports it as iteration does
    kNoMemory,
    kStopped,  // the caller's stop check asked to end the walk
};

class FrameColumns {
public:
    // Asked between the steps of the walk; true ends the read (a host
    // stream that failed, say).
    using StopCheck = bool (*)(void* context);

    // The column path over the `count` plans at `plans` (in data-group
    // order), the frames' timestamps counted from `origin`, through `filter`
    // (null: every frame). chunk_rows 0: one chunk of every frame, its columns sized
    // exactly (read whole first); otherwise chunks of at most chunk_rows
    // rows (and at most 2 GiB of payload), read as they are needed, with
    // int32 offsets. Null when memory runs out.
    static std::unique_ptr<FrameColumns> open(const GroupPlan* plans, size_t count, const FrameFilter* filter,
                                              double origin, const ColumnLayout& layout, uint64_t chunk_rows);
    ~FrameColumns();
    FrameColumns(const FrameColumns&) = delete;
    FrameColumns& operator=(const FrameColumns&) = delete;

    // The next chunk into `chunk` (its allocations replaced).
    ColumnResult next(ColumnChunk& chunk, StopCheck stop = nullptr, void* context = nullptr);

    struct State;

private:
    explicit FrameColumns(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace tolvar::bus
