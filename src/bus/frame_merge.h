// FrameMerge: the rows of several stores (one per data group) in the order
// in which a merge by timestamp gives them: the host's heapq.merge over the
// groups in this order, equal timestamps in group order and each group's
// frames in its own order whatever their timestamps. Python's heapq.merge
// compares its entries by timestamp unless the timestamps are equal, then by
// group order; without NaN that is a strict total order on the groups'
// current frames, so its heap always gives the least of them, and the merge
// copies runs of one group while its frames stay below the least frame of
// the others (found by a scan over the groups, or from a heap where there
// are many). A NaN timestamp compares with nothing, and the heap's order
// then depends on its shape: the merge follows heapq's algorithm step for
// step (its heapify, its sift with the smaller child chosen unless the left
// one is strictly less, its replace and pop), so that the result is the same
// odd order iteration gives. Rows read a chunk at a time follow heapq's steps
// too, since a NaN may come later. Borrows the stores, and the source of
// more rows; frees (or hands to the writer) every store chunk it has copied
// out.
#pragma once

#include <cstdint>
#include <vector>

#include "bus/column_writer.h"
#include "bus/frame_store.h"
#include "bus/record_iterator.h"

namespace tolvar::bus {

class FrameMerge {
public:
    // Where rows come from when a store runs dry before its walk has ended.
    class Source {
    public:
        virtual ~Source() = default;
        // Appends more rows of `group` to its store: kMore (rows appended),
        // kDone (the walk ended, perhaps after appending some), or a failure.
        virtual CollectResult more(size_t group) = 0;
    };

    // Over `stores` in group order; `source` null: every store holds all its
    // rows already.
    FrameMerge(std::vector<FrameStore>& stores, Source* source) : stores_(stores), source_(source) {}

    // Places a cursor on the first row of every store that has one (asking
    // the source first where a store is empty). False with failure() set.
    bool start();

    // The writers rows go through: a ColumnWriter, or any class with its
    // members shape(), emit<Shape>(row, payload), retire(chunk), rows() and
    // payload_written() (a SignalWriter); instantiated for both in
    // frame_merge.cpp.
    //
    // Every row of every store through `writer`: runs where no timestamp is
    // NaN (`nan` false), heapq's steps otherwise.
    template <class Writer>
    void write_all(Writer& writer, bool nan);
    // heapq's steps until `writer` holds `rows` rows or more than
    // `payload_limit` bytes of payload values, or every row is written.
    // False with failure() set when the source failed.
    template <class Writer>
    bool write_some(Writer& writer, uint64_t rows, uint64_t payload_limit);

    bool finished() const { return heap_.empty(); }
    CollectResult failure() const { return failure_; }

private:
    struct Cursor {
        size_t group;
        const Frame* row;      // the current row
        const Frame* end;      // of the current chunk
        const uint8_t* payload;  // the current row's payload
    };
    using Shape = ColumnWriter::Shape;

    bool enter(Cursor& c);
    template <class Writer>
    bool next_chunk(Cursor& c, Writer& writer);
    template <class Writer>
    bool step(Cursor& c, Writer& writer) {
        c.payload += payload_length(*c.row);
        if (++c.row != c.end) return true;
        return next_chunk(c, writer);
    }

    template <Shape S, class Writer>
    void write_runs(Writer& writer);
    template <Shape S, class Writer>
    bool take_run(Cursor& c, Writer& writer, double limit, bool wins_ties);
    template <Shape S, class Writer>
    void merge_scanned(Writer& writer);
    template <Shape S, class Writer>
    void merge_heap(Writer& writer);
    template <Shape S, class Writer>
    bool heapq_steps(Writer& writer, uint64_t rows, uint64_t payload_limit);

    bool less(uint32_t a, uint32_t b) const;
    void sift_down(size_t start, size_t pos);
    void sift_up(size_t pos);
    void settle_top(bool more);

    std::vector<FrameStore>& stores_;
    Source* source_;
    std::vector<Cursor> cursors_;
    std::vector<uint32_t> heap_;  // indices into cursors_, in heapq's arrangement
    CollectResult failure_ = CollectResult::kDone;
};

}  // namespace tolvar::bus
