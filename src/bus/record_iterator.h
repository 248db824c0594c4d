// The walk over the records of one data group: each record framed, read and
// decoded into a Frame in file order, for iteration one at a time and for
// the column path into a FrameStore. Owns its read-ahead and buffers;
// borrows the group's plan, the filter and (through the plan) the streams of
// the document, which must outlive it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "bus/frame.h"
#include "bus/frame_decoding.h"

namespace tolvar::bus {

class FrameFilter;
class FrameStore;
class GroupPlan;

// What one step of a walk gave.
enum class WalkStep : uint8_t {
    kFrame,    // a frame (current())
    kNoFrame,  // a record that gives no frame: the host reports it
    kEnd,      // the walk has ended
};

// What a walk into a store ended with.
enum class CollectResult : uint8_t {
    kMore,      // the rows asked for are in the store; the walk goes on
    kDone,      // the walk has ended
    kNoFrame,   // a record gave no frame: the host reports it, as iteration does
    kNoMemory,
    kStopped,   // the reader of the walk asked it to end
};

class RecordIterator {
public:
    // A walk standing before the first record, its frames' timestamps counted
    // from `origin`; nothing when plan is null or memory runs out. With a
    // filter (borrowed; it must outlive the walk), only the frames it lets
    // through are given: the walk starts at the window's start, found without
    // decoding, and a record at or after the window's end ends the walk,
    // since a data group is in time order. A record that gives no frame
    // passes the identifier and channel parts and is placed in the window by
    // its time field.
    static std::optional<RecordIterator> create(const GroupPlan* plan, double origin,
                                                const FrameFilter* filter = nullptr);

    RecordIterator(RecordIterator&&) noexcept;
    RecordIterator& operator=(RecordIterator&&) noexcept;
    RecordIterator(const RecordIterator&) = delete;
    RecordIterator& operator=(const RecordIterator&) = delete;
    ~RecordIterator();  // frees the buffers, never touches the group

    // Back to the first record (of the window, with a filter).
    void rewind();
    // rewind(), then the first frame.
    WalkStep first();
    // Decodes records until one is delivered; kEnd once the walk has ended,
    // without reading again.
    WalkStep advance();
    // The frame of the last kFrame; valid until the next step or destruction,
    // and unaffected by moving the walk.
    const DecodedRecord& current() const;
    // The record the last step read, as its decoder saw it; valid as long.
    const RecordView& view() const;

    // Appends the frames of the records that follow to `store`, exactly the
    // frames advance() would give, until the store has gained at least
    // `rows` of them (0: until the end) or the walk ends.
    CollectResult collect(FrameStore& store, uint64_t rows = 0);

    // Offset, within the data section, of the next record to read.
    uint64_t position() const;
    bool finished() const;

    struct Walk;

private:
    explicit RecordIterator(std::unique_ptr<Walk> walk);

    std::unique_ptr<Walk> walk_;  // owned; heap-held so the frame never moves
};

}  // namespace tolvar::bus
