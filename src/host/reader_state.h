// The native state of one MdfFile: the recording it holds open (Stream,
// document and record plans), the generation of that open, and the reads in
// progress through it. Shared by the reader and its iterators, which see
// whether their recording is still open and hold off its freeing while they
// read. A ReaderState owns its recordings; a ReaderHold owns a reference to
// its reader.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "bus/frame_columns.h"
#include "bus/frame_filter.h"
#include "bus/record_plan.h"
#include "host/py_ref.h"
#include "mdf/mdf_document.h"
#include "stream/stream.h"

namespace tolvar::host {

// A Stream with the document parsed from it, the plans of its data groups and
// the reader's filter; each borrows what comes after it, so they are freed in
// this order.
struct OpenRecording {
    // What every walk through this recording delivers (the filter keywords),
    // or null when it delivers every record; cursors borrow it.
    std::unique_ptr<bus::FrameFilter> filter;
    // Filters this recording had before a later selection replaced them:
    // walks that began earlier still borrow them.
    std::vector<std::unique_ptr<bus::FrameFilter>> replaced_filters;
    std::vector<bus::GroupPlan> plans;           // borrow the document's sections
    std::unique_ptr<mdf::MdfDocument> document;  // borrows the stream
    stream::StreamPtr stream;

    void free();
};

// Serialises the walks through one reader's Streams: a columnar read walks
// them without the interpreter lock, cursors with it. A flag rather than a
// mutex: a cursor holding the interpreter lock must only try it, never block
// on it (the walk it would wait for may need that lock to log a line), and a
// flag keeps the portable module clear of the C library's newest try-lock.
class StreamGate {
public:
    bool try_enter() { return !busy_.exchange(true, std::memory_order_acquire); }
    // Waits until the gate is free, polling; call without the interpreter lock.
    void enter();
    void leave() { busy_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> busy_{false};
};

// What the streams of record batches of one recording own together, counted
// without the interpreter (std::shared_ptr's atomic count), so that a stream
// released on any thread lets go of it without the interpreter lock: the
// recording itself once the reader let go of it (closed, reopened or gone),
// freed by the last stream. While the reader still holds the recording,
// `recording` is empty and the streams read the reader's `current`, whose
// parts stay where they are when it moves in here.
struct RecordingShare {
    OpenRecording recording;
    // Reading the recording calls host code (see ReaderState::host_reads):
    // a stream then takes the interpreter lock to read and to let go.
    bool host_reads = false;
    ~RecordingShare() { recording.free(); }
};

struct ReaderState {
    OpenRecording current;
    // A file object that the base class opened for a path (python-can up to
    // 4.5 does): the path itself is read natively, and this is closed with
    // the reader so that no file stays open.
    PyRef base_opened_file;
    uint64_t generation = 0;
    // Reads in progress through `current` (see ReaderHold), and what was
    // released while they ran, freed when the last one ends.
    int holds = 0;
    std::vector<OpenRecording> retired;
    // Whether reading the recording calls host code (a file object without
    // container layers): such reads keep the interpreter lock. Every other
    // recording is read natively, and columnar reads walk it without the
    // lock, inside stream_gate instead, which other walks of the same reader
    // then wait for (StreamLock).
    bool host_reads = false;
    // Shared with the streams of record batches, which outlive the reader:
    // made with the state (make_gate), never null afterwards.
    std::shared_ptr<StreamGate> stream_gate;
    // The share of `current` with its streams, made by the first stream;
    // shares let go of while a hold ran, dropped when the last hold ends.
    std::shared_ptr<RecordingShare> share;
    std::vector<std::shared_ptr<RecordingShare>> retired_shares;
    // Rows per record batch of a stream (the keyword batch_rows).
    uint64_t batch_rows = 65536;

    const mdf::MdfDocument* document() const { return current.document.get(); }
    // False when memory runs out.
    bool make_gate();

    // Lets go of the current recording: freed now, or once the last hold
    // ends when a read is in progress, or by the last stream that reads it.
    void release();
    void free_retired();
};

// The layout of an MdfFile instance's native part. The owner of the state is
// constructed in place right after the allocation (the native type's tp_new,
// the only way to make an instance) and destroyed by its dealloc: it lives
// exactly as long as the object.
struct ReaderObject {
    PyObject_HEAD
    std::unique_ptr<ReaderState> state;  // null when its allocation failed
};

inline ReaderState* state_of(PyObject* reader) { return reinterpret_cast<ReaderObject*>(reader)->state.get(); }

// True while `reader` (an MdfFile) holds the recording it held at
// `generation`: not closed, not reinitialised since.
bool reader_is_open(PyObject* reader, uint64_t generation);

// Holds off the freeing of a reader's recording while a record cursor reads
// through it. A file object's methods are host code, and may close or
// reinitialise the reader in the middle of a read: the reader is then closed
// at once for everyone else, but what it released is freed only when the last
// hold ends. Keeps a reference to the reader meanwhile.
class ReaderHold {
public:
    explicit ReaderHold(PyObject* reader);
    ~ReaderHold();
    ReaderHold(const ReaderHold&) = delete;
    ReaderHold& operator=(const ReaderHold&) = delete;

private:
    PyRef reader_;
};

// Holds a reader's stream_gate while a cursor reads with the interpreter lock
// held, for readers whose reads do not call host code: a columnar read in
// another thread may be walking the same Streams without the interpreter lock.
// Waits for it with the interpreter lock released.
class StreamLock {
public:
    explicit StreamLock(ReaderState* state);
    ~StreamLock();
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;

private:
    StreamGate* gate_ = nullptr;  // borrowed; null when nothing was entered
};

// What a native walk reads of an open recording, taken while the
// interpreter lock is held: addresses that stay where they are while a hold
// keeps the recording, even when a close in another thread moves the
// recording aside meanwhile.
struct RecordingParts {
    const bus::GroupPlan* plans;
    size_t plan_count;
    const bus::FrameFilter* filter;
    double origin;  // the recording's start: a frame's timestamp is origin + time
};

// Runs `work` over the reader's open recording as a native walk: with the
// interpreter lock released and the reader's stream gate held where the
// recording is read natively, with the lock held where reading it calls a
// file object; the recording is held meanwhile, so that a close in another
// thread waits for the walk's end to free it. `work` must not touch the
// interpreter; it gets the recording's parts and the stop check a walk asks
// between its steps (a file object that raised ends it). False with an
// exception set: RuntimeError "Handle has been closed" when the reader is
// closed before or was closed or reopened meanwhile, or the file object's
// error.
using WalkStop = bool (*)(void* context);
using RecordingWork = void (*)(const RecordingParts& recording, WalkStop stop, void* stop_context, void* context);
bool run_walk(PyObject* reader, RecordingWork work, void* context);

template <class Work>
bool run_walk(PyObject* reader, Work& work) {
    return run_walk(
        reader,
        [](const RecordingParts& recording, WalkStop stop, void* stop_context, void* context) {
            (*static_cast<Work*>(context))(recording, stop, stop_context);
        },
        &work);
}

// Raises RuntimeError "Handle has been closed"; nullptr.
PyObject* raise_closed();

// A table's walk result as the exception it means: true for a chunk or the
// end; false with RuntimeError "Unknown bus type" (a record that gives no
// frame, where iteration raises the same) or MemoryError.
bool table_walk_succeeded(bus::ColumnResult result);

}  // namespace tolvar::host
