#include <Python.h>

#include "host/reader_state.h"

#include <chrono>
#include <new>
#include <thread>
#include <utility>

namespace tolvar::host {

void OpenRecording::free() {
    filter.reset();
    replaced_filters.clear();
    plans.clear();
    document.reset();
    close(stream);
}

bool ReaderState::make_gate() {
    try {
        stream_gate = std::make_shared<StreamGate>();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void ReaderState::release() {
    if (!current.document && !current.stream) return;
    if (share) {
        // Streams read this recording: it moves to them (its parts stay
        // where they are), and the last owner of the share frees it.
        share->recording = std::move(current);
        current = OpenRecording{};
        if (holds > 0) {
            try {
                retired_shares.push_back(std::move(share));
            } catch (const std::bad_alloc&) {
                // Kept for good rather than freed under a running read.
                static_cast<void>(new (std::nothrow) std::shared_ptr<RecordingShare>(std::move(share)));
            }
        }
        share.reset();
        return;
    }
    if (holds > 0) {
        try {
            retired.push_back(std::move(current));
            current = OpenRecording{};
            return;
        } catch (const std::bad_alloc&) {
            // Without room to keep it aside, it is kept for good: never
            // freed under a running read. The plans are abandoned in place
            // (a new empty vector over the old one, whose buffer stays).
            current.filter.release();
            for (auto& replaced : current.replaced_filters) replaced.release();
            new (&current.replaced_filters) std::vector<std::unique_ptr<bus::FrameFilter>>();
            current.document.release();
            current.stream.release();
            new (&current.plans) std::vector<bus::GroupPlan>();
            return;
        }
    }
    current.free();
}

void ReaderState::free_retired() {
    for (OpenRecording& recording : retired) recording.free();
    retired.clear();
    retired_shares.clear();
}

bool reader_is_open(PyObject* reader, uint64_t generation) {
    ReaderState* state = state_of(reader);
    return state != nullptr && state->document() != nullptr && state->generation == generation;
}

ReaderHold::ReaderHold(PyObject* reader) : reader_(PyRef::borrow(reader)) {
    if (ReaderState* state = state_of(reader_.get())) ++state->holds;
}

// The reference goes last, after the recording it kept.
ReaderHold::~ReaderHold() {
    if (ReaderState* state = state_of(reader_.get())) {
        if (--state->holds == 0) state->free_retired();
    }
}

void StreamGate::enter() {
    // Only a columnar read of the same reader in another thread holds the
    // gate for long; its end is awaited without spinning the core.
    while (!try_enter()) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

StreamLock::StreamLock(ReaderState* state) {
    if (state == nullptr || state->host_reads) return;
    gate_ = state->stream_gate.get();
    if (gate_->try_enter()) return;
    Py_BEGIN_ALLOW_THREADS
    gate_->enter();
    Py_END_ALLOW_THREADS
}

StreamLock::~StreamLock() {
    if (gate_ != nullptr) gate_->leave();
}

PyObject* raise_closed() {
    PyErr_SetString(PyExc_RuntimeError, "Handle has been closed");
    return nullptr;
}

namespace {
// The stop check of a walk that reads through a file object, run with the
// interpreter lock held: a method that raised leaves its exception set.
bool host_failed(void*) { return PyErr_Occurred() != nullptr; }
}  // namespace

bool run_walk(PyObject* reader, RecordingWork work, void* context) {
    ReaderState* state = state_of(reader);
    if (state == nullptr || state->document() == nullptr) return raise_closed(), false;
    {
        // Another thread may close or reopen the reader while the lock is
        // released: the hold keeps the recording (plans, filter, Streams)
        // until the walk ends, and the walk takes none of it from `state`
        // afterwards.
        ReaderHold hold(reader);
        const uint64_t generation = state->generation;
        const OpenRecording& current = state->current;
        const RecordingParts recording{current.plans.data(), current.plans.size(), current.filter.get(),
                                       current.document->start_time()};
        if (state->host_reads) {
            work(recording, host_failed, nullptr, context);
        } else {
            StreamGate& gate = *state->stream_gate;
            Py_BEGIN_ALLOW_THREADS
            gate.enter();
            work(recording, nullptr, nullptr, context);
            gate.leave();
            Py_END_ALLOW_THREADS
        }
        if (PyErr_Occurred() != nullptr) return false;
        if (!reader_is_open(reader, generation)) return raise_closed(), false;
    }
    return true;
}

bool table_walk_succeeded(bus::ColumnResult result) {
    switch (result) {
        case bus::ColumnResult::kChunk:
        case bus::ColumnResult::kEnd: return true;
        case bus::ColumnResult::kNoFrame: PyErr_SetString(PyExc_RuntimeError, "Unknown bus type"); return false;
        case bus::ColumnResult::kNoMemory:
        case bus::ColumnResult::kStopped: break;
    }
    PyErr_NoMemory();
    return false;
}

}  // namespace tolvar::host
