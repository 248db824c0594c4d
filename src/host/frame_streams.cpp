#include <Python.h>

#include "host/frame_streams.h"

#include <atomic>
#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "bus/frame_columns.h"
#include "host/py_ref.h"
#include "host/reader_state.h"

namespace tolvar::host {
namespace {

// Set once the interpreter begins to shut down (an atexit function): from
// then on a stream whose reading calls host code no longer takes the
// interpreter lock, which a thread can no longer be given. Its reads fail,
// and its last release leaves the recording (and the file object) unfreed.
std::atomic<bool> g_exiting{false};

PyObject* mark_exiting(PyObject*, PyObject*) {
    g_exiting.store(true);
    Py_RETURN_NONE;
}
PyMethodDef g_mark_exiting = {"_streams_exiting", mark_exiting, METH_NOARGS, nullptr};
bool g_watching = false;  // changed with the interpreter lock held

bool watch_exit() {
    if (g_watching) return true;
    PyRef atexit(PyImport_ImportModule("atexit"));
    PyRef function(PyCFunction_NewEx(&g_mark_exiting, nullptr, nullptr));
    if (!atexit || !function) return false;
    PyRef result(PyObject_CallMethod(atexit.get(), "register", "O", function.get()));
    if (!result) return false;
    g_watching = true;
    return true;
}

// The state of one stream, its ArrowArrayStream's private data.
struct FrameStream {
    // Declared first, freed last: the walk borrows the recording.
    std::shared_ptr<RecordingShare> share;
    std::shared_ptr<StreamGate> gate;
    RecordingParts parts{};
    bus::BatchSchema schema;
    uint64_t batch_rows = 0;
    bool host_reads = false;
    std::unique_ptr<bus::FrameColumns> columns;
    bool ended = false;
    int failure = 0;  // the errno every later call gives once a read failed
    std::string error;

    bus::ColumnResult read(bus::ColumnChunk& chunk, bus::FrameColumns::StopCheck stop) {
        if (!columns) {
            columns = bus::FrameColumns::open(parts.plans, parts.plan_count, parts.filter, parts.origin,
                                              bus::batch_layout(schema), batch_rows);
            if (!columns) return bus::ColumnResult::kNoMemory;
        }
        return columns->next(chunk, stop, nullptr);
    }

    int fail(int code, const char* message) {
        failure = code;
        try {
            error = message;
        } catch (const std::bad_alloc&) {
            error.clear();
        }
        return code;
    }
};

FrameStream* stream_of(ArrowArrayStream* stream) { return static_cast<FrameStream*>(stream->private_data); }

// Enters the reader's stream gate. A consumer may call with the interpreter
// lock held (polars does) while the walk holding the gate waits for that
// lock to log a line: a caller that holds it lets go of it while it waits.
void enter_gate(StreamGate& gate) {
    if (gate.try_enter()) return;
    if (g_exiting.load()) return gate.enter();
    const PyGILState_STATE before = PyGILState_Ensure();
    if (before == PyGILState_LOCKED) {
        PyThreadState* saved = PyEval_SaveThread();
        gate.enter();
        PyEval_RestoreThread(saved);
        PyGILState_Release(before);
        return;
    }
    PyGILState_Release(before);
    gate.enter();
}

// The stop check of a walk through a file object, with the lock held.
bool host_failed(void*) { return PyErr_Occurred() != nullptr; }

// The text of the pending exception (cleared), or `fallback`.
std::string take_exception_text(const char* fallback) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
    std::string text = fallback;
    if (value != nullptr) {
        PyRef str(PyObject_Str(value));
        PyRef utf8(str ? PyUnicode_AsEncodedString(str.get(), "utf-8", "backslashreplace") : nullptr);
        const char* bytes = utf8 ? PyBytes_AsString(utf8.get()) : nullptr;
        if (bytes != nullptr) text = bytes;
    }
    PyErr_Clear();
    return text;
}

int get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    if (!bus::export_schema(stream_of(stream)->schema, out)) return ENOMEM;
    return 0;
}

}  // namespace

int get_frame_batch(ArrowArrayStream* stream, ArrowArray* out) {
    FrameStream& s = *stream_of(stream);
    out->release = nullptr;
    if (s.failure != 0) return s.failure;
    if (s.ended) return 0;
    bus::ColumnChunk chunk;
    bus::ColumnResult result;
    if (s.host_reads) {
        if (g_exiting.load()) return s.fail(EIO, "the interpreter is shutting down");
        const PyGILState_STATE lock = PyGILState_Ensure();
        result = s.read(chunk, host_failed);
        if (PyErr_Occurred() != nullptr) {
            const std::string text = take_exception_text("the file object failed");
            s.fail(EIO, text.c_str());
            result = bus::ColumnResult::kStopped;
        }
        PyGILState_Release(lock);
    } else {
        enter_gate(*s.gate);
        result = s.read(chunk, nullptr);
        s.gate->leave();
    }
    switch (result) {
        case bus::ColumnResult::kChunk:
            if (!bus::export_batch(chunk, s.schema, out)) return s.fail(ENOMEM, "Could not allocate buffer");
            return 0;
        case bus::ColumnResult::kEnd:
            s.ended = true;
            s.columns.reset();
            return 0;
        case bus::ColumnResult::kNoFrame: return s.fail(EIO, "Unknown bus type");
        case bus::ColumnResult::kStopped: return s.failure != 0 ? s.failure : s.fail(EIO, "the read was stopped");
        case bus::ColumnResult::kNoMemory: break;
    }
    return s.fail(ENOMEM, "Could not allocate buffer");
}

namespace {

const char* get_last_error(ArrowArrayStream* stream) {
    const FrameStream& s = *stream_of(stream);
    return s.failure != 0 ? s.error.c_str() : nullptr;
}

// Frees the stream. A recording read natively is freed natively, on any
// thread, with or without the lock. One read through a file object holds a
// reference to it: the lock is taken to let go (or, once the interpreter
// shuts down, the share is left unfreed).
void release(ArrowArrayStream* stream) {
    if (stream->release == nullptr) return;
    FrameStream* s = stream_of(stream);
    stream->release = nullptr;
    if (!s->host_reads) {
        delete s;
        return;
    }
    if (g_exiting.load()) {
        s->columns.reset();
        static_cast<void>(new (std::nothrow) std::shared_ptr<RecordingShare>(std::move(s->share)));
        if (s->share) return;  // not even that could be kept: the whole stream stays
        delete s;
        return;
    }
    const PyGILState_STATE lock = PyGILState_Ensure();
    delete s;
    PyGILState_Release(lock);
}

}  // namespace

bool open_frame_stream(PyObject* reader, const bus::BatchSchema& schema, ArrowArrayStream* out) {
    ReaderState* state = state_of(reader);
    if (state == nullptr || state->document() == nullptr) return raise_closed(), false;
    if (!watch_exit()) return false;
    std::unique_ptr<FrameStream> s(new (std::nothrow) FrameStream());
    if (!s) return PyErr_NoMemory(), false;
    try {
        if (!state->share) state->share = std::make_shared<RecordingShare>();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    state->share->host_reads = state->host_reads;
    s->share = state->share;
    s->gate = state->stream_gate;
    const OpenRecording& current = state->current;
    s->parts = RecordingParts{current.plans.data(), current.plans.size(), current.filter.get(),
                              current.document->start_time()};
    s->schema = schema;
    s->batch_rows = state->batch_rows;
    s->host_reads = state->host_reads;
    *out = ArrowArrayStream{get_schema, get_frame_batch, get_last_error, release, s.release()};
    return true;
}

}  // namespace tolvar::host
