// The cursor over the records of one data group, decoding each into a
// BusMessage in file order. Owns its buffers and the message; borrows the
// group's plan and (through it) the streams of the document, which must
// outlive it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "bus/bus_message.h"
#include "bus/frame_columns.h"

namespace tolvar::bus {

class FrameFilter;
class GroupPlan;

class RecordIterator {
public:
    // An iterator standing before the first record; nothing when plan is
    // null or memory runs out. With a filter (borrowed; it must outlive the
    // iterator), only the records it lets through are given: first() starts
    // at the window's start, found without decoding (see seek_start), and a
    // record at or after the window's end ends the walk, since a data group
    // is in time order. A record that gives no frame passes the identifier
    // and channel parts and is placed in the window by its time field.
    static std::optional<RecordIterator> create(const GroupPlan* plan, const FrameFilter* filter = nullptr);

    RecordIterator(RecordIterator&&) noexcept;
    RecordIterator& operator=(RecordIterator&&) noexcept;
    RecordIterator(const RecordIterator&) = delete;
    RecordIterator& operator=(const RecordIterator&) = delete;
    ~RecordIterator();  // release: frees the buffers, never touches the group

    // Rewinds to the first record and decodes it. Null when the data group has
    // no record; `kind` (when given) gets the kind decoded, kNone at the end.
    const BusMessage* first(FrameKind* kind = nullptr);
    // Decodes the next record; null once the walk has ended, without reading
    // again. Every record read is given, also one that yields no frame (kNone).
    const BusMessage* advance(FrameKind* kind = nullptr);

    // The message and view of the current record; valid until the next first,
    // advance or destruction, and unaffected by moving the iterator.
    const BusMessage& message() const;
    const RecordView& view() const;
    // Offset, within the data section, of the next record to read.
    uint64_t position() const;
    bool finished() const;

private:
    friend CollectResult collect(RecordIterator& cursor, double origin, FrameStore& store);
    struct Walk;
    explicit RecordIterator(std::unique_ptr<Walk> walk);

    std::unique_ptr<Walk> walk_;  // owned; heap-held so the message never moves
};

// Walks the cursor from its first record to its end into `store`: the rows
// of exactly the frames its messages would give, decoded straight into the
// store without a message.
CollectResult collect(RecordIterator& cursor, double origin, FrameStore& store);

}  // namespace tolvar::bus
