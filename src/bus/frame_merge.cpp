#include "bus/frame_merge.h"

#include <new>
#include <utility>

#include "bus/signal_writer.h"

namespace tolvar::bus {

namespace {
// Up to this many groups, the least two frames are found by a scan.
constexpr size_t kScanned = 16;
}  // namespace

// The cursor on the first row of its store, when the store holds one. An
// empty chunk (a batch whose frames the filter passed over) holds no row to
// stand on; read a chunk at a time, the last one stays for the walk.
bool FrameMerge::enter(Cursor& c) {
    std::deque<FrameStore::Chunk>& chunks = stores_[c.group].chunks();
    while (!chunks.empty() && chunks.front().size == 0) {
        const bool kept = source_ != nullptr && chunks.size() == 1 && chunks.front().capacity > 0;
        if (kept) return false;
        chunks.pop_front();
    }
    if (chunks.empty()) return false;
    const FrameStore::Chunk& chunk = chunks.front();
    c.row = chunk.rows;
    c.end = chunk.rows + chunk.size;
    c.payload = chunk.payload;
    return true;
}

bool FrameMerge::start() {
    try {
        cursors_.reserve(stores_.size());
        heap_.reserve(stores_.size());
    } catch (const std::bad_alloc&) {
        failure_ = CollectResult::kNoMemory;
        return false;
    }
    for (size_t g = 0; g < stores_.size(); ++g) {
        Cursor cursor{g, nullptr, nullptr, nullptr};
        bool has_row = enter(cursor);
        while (!has_row && source_ != nullptr) {
            const CollectResult result = source_->more(g);
            if (result != CollectResult::kMore && result != CollectResult::kDone) {
                failure_ = result;
                return false;
            }
            has_row = enter(cursor);
            if (result == CollectResult::kDone) break;
        }
        if (!has_row) continue;
        cursors_.push_back(cursor);
        heap_.push_back(static_cast<uint32_t>(cursors_.size() - 1));
    }
    for (size_t i = heap_.size() / 2; i-- > 0;) sift_up(i);
    return true;
}

// Moves past a chunk copied out, handing its memory on; false when the store
// (and, read a chunk at a time, its walk) has no more rows. Read a chunk at
// a time, the last chunk stays while it has room: the walk appends to it.
template <class Writer>
bool FrameMerge::next_chunk(Cursor& c, Writer& writer) {
    FrameStore& store = stores_[c.group];
    std::deque<FrameStore::Chunk>& chunks = store.chunks();
    bool placed = true;  // c.row lies in chunks.front()
    for (;;) {
        if (placed) {
            FrameStore::Chunk& front = chunks.front();
            const Frame* end = front.rows + front.size;
            if (c.row != end) {
                c.end = end;
                return true;
            }
            const bool kept = source_ != nullptr && chunks.size() == 1 && front.size < front.capacity;
            if (!kept) {
                writer.retire(front);
                chunks.pop_front();
                placed = false;
            }
        }
        if (!placed && !chunks.empty()) {
            const FrameStore::Chunk& next = chunks.front();
            c.row = next.rows;
            c.end = next.rows + next.size;
            c.payload = next.payload;
            placed = true;
            continue;
        }
        if (source_ == nullptr) return false;
        // No row past the cursor: its walk is asked for more.
        const uint64_t before = store.appended();
        const CollectResult result = source_->more(c.group);
        if (result != CollectResult::kMore && result != CollectResult::kDone) {
            failure_ = result;
            return false;
        }
        if (store.appended() == before) {
            // The walk has ended (more() appends rows unless it has).
            if (placed) {
                writer.retire(chunks.front());
                chunks.pop_front();
            }
            return false;
        }
    }
}

template <class Writer>
void FrameMerge::write_all(Writer& writer, bool nan) {
    switch (writer.shape()) {
        case Shape::kRows:
            nan ? (void)heapq_steps<Shape::kRows, Writer>(writer, UINT64_MAX, UINT64_MAX)
                : write_runs<Shape::kRows, Writer>(writer);
            break;
        case Shape::kValues:
            nan ? (void)heapq_steps<Shape::kValues, Writer>(writer, UINT64_MAX, UINT64_MAX)
                : write_runs<Shape::kValues, Writer>(writer);
            break;
        case Shape::kGeneral:
            nan ? (void)heapq_steps<Shape::kGeneral, Writer>(writer, UINT64_MAX, UINT64_MAX)
                : write_runs<Shape::kGeneral, Writer>(writer);
            break;
    }
}

template <class Writer>
bool FrameMerge::write_some(Writer& writer, uint64_t rows, uint64_t payload_limit) {
    switch (writer.shape()) {
        case Shape::kRows: return heapq_steps<Shape::kRows, Writer>(writer, rows, payload_limit);
        case Shape::kValues: return heapq_steps<Shape::kValues, Writer>(writer, rows, payload_limit);
        case Shape::kGeneral: break;
    }
    return heapq_steps<Shape::kGeneral, Writer>(writer, rows, payload_limit);
}

template <FrameMerge::Shape S, class Writer>
void FrameMerge::write_runs(Writer& writer) {
    if (cursors_.size() <= kScanned) {
        merge_scanned<S, Writer>(writer);
    } else {
        merge_heap<S, Writer>(writer);
    }
    heap_.clear();
}

// Copies the cursor's rows out while they come before a frame at `limit` of
// a group after it (`wins_ties`) or before it; at least one row, the least
// of all. False when the store is copied out.
template <FrameMerge::Shape S, class Writer>
bool FrameMerge::take_run(Cursor& c, Writer& writer, double limit, bool wins_ties) {
    if (wins_ties) {
        do {
            writer.template emit<S>(*c.row, c.payload);
            if (!step(c, writer)) return false;
        } while (c.row->timestamp <= limit);
    } else {
        do {
            writer.template emit<S>(*c.row, c.payload);
            if (!step(c, writer)) return false;
        } while (c.row->timestamp < limit);
    }
    return true;
}

template <FrameMerge::Shape S, class Writer>
void FrameMerge::merge_scanned(Writer& writer) {
    // Cursors stay in group order: the first of equal timestamps wins.
    std::vector<Cursor>& active = cursors_;
    while (active.size() > 1) {
        size_t best = 0;
        size_t second = 1;
        double best_time = active[0].row->timestamp;
        double second_time = active[1].row->timestamp;
        if (second_time < best_time) {
            std::swap(best, second);
            std::swap(best_time, second_time);
        }
        for (size_t i = 2; i < active.size(); ++i) {
            const double time = active[i].row->timestamp;
            if (time < best_time) {
                second = best;
                second_time = best_time;
                best = i;
                best_time = time;
            } else if (time < second_time) {
                second = i;
                second_time = time;
            }
        }
        Cursor& c = active[best];
        if (!take_run<S, Writer>(c, writer, second_time, c.group < active[second].group)) {
            active.erase(active.begin() + static_cast<std::ptrdiff_t>(best));
        }
    }
    if (!active.empty()) {
        Cursor& c = active[0];
        do {
            writer.template emit<S>(*c.row, c.payload);
        } while (step(c, writer));
        active.clear();
    }
}

// Many groups: the top of the heap copies frames while they come before the
// least of the other groups' frames (the smaller child of the top).
template <FrameMerge::Shape S, class Writer>
void FrameMerge::merge_heap(Writer& writer) {
    while (heap_.size() > 1) {
        Cursor& top = cursors_[heap_[0]];
        size_t second = 1;
        if (heap_.size() > 2 && less(heap_[2], heap_[1])) second = 2;
        const Cursor& next = cursors_[heap_[second]];
        settle_top(take_run<S, Writer>(top, writer, next.row->timestamp, top.group < next.group));
    }
    if (!heap_.empty()) {
        Cursor& c = cursors_[heap_[0]];
        do {
            writer.template emit<S>(*c.row, c.payload);
        } while (step(c, writer));
    }
}

// heapq.merge step for step: one frame at a time.
template <FrameMerge::Shape S, class Writer>
bool FrameMerge::heapq_steps(Writer& writer, uint64_t rows, uint64_t payload_limit) {
    while (!heap_.empty()) {
        if (writer.rows() >= rows || writer.payload_written() > payload_limit) return true;
        Cursor& c = cursors_[heap_[0]];
        writer.template emit<S>(*c.row, c.payload);
        const bool more = step(c, writer);
        if (failure_ != CollectResult::kDone) return false;
        settle_top(more);
    }
    return true;
}

// heapq's comparison of two cursors' current frames.
bool FrameMerge::less(uint32_t a, uint32_t b) const {
    const Cursor& x = cursors_[a];
    const Cursor& y = cursors_[b];
    const double xt = x.row->timestamp;
    const double yt = y.row->timestamp;
    if (xt == yt) return x.group < y.group;
    return xt < yt;
}

void FrameMerge::sift_down(size_t start, size_t pos) {
    const uint32_t item = heap_[pos];
    while (pos > start) {
        const size_t parent = (pos - 1) >> 1;
        if (!less(item, heap_[parent])) break;
        heap_[pos] = heap_[parent];
        pos = parent;
    }
    heap_[pos] = item;
}

void FrameMerge::sift_up(size_t pos) {
    const size_t end = heap_.size();
    const size_t start = pos;
    const uint32_t item = heap_[pos];
    size_t child = 2 * pos + 1;
    while (child < end) {
        const size_t right = child + 1;
        if (right < end && !less(heap_[child], heap_[right])) child = right;
        heap_[pos] = heap_[child];
        pos = child;
        child = 2 * pos + 1;
    }
    heap_[pos] = item;
    sift_down(start, pos);
}

// After the top's frames went out: the top back into its place, or out.
void FrameMerge::settle_top(bool more) {
    if (!more) {
        heap_[0] = heap_.back();
        heap_.pop_back();
    }
    if (!heap_.empty()) sift_up(0);
}

template void FrameMerge::write_all(ColumnWriter&, bool);
template bool FrameMerge::write_some(ColumnWriter&, uint64_t, uint64_t);
template void FrameMerge::write_all(SignalWriter&, bool);
template bool FrameMerge::write_some(SignalWriter&, uint64_t, uint64_t);

}  // namespace tolvar::bus
