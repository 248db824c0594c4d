// MdfFileIterator: one per data group, merged by heapq.merge. The native state
// lives on the heap so that an instance made by host code (which the
// initialiser refuses) holds none.
#include <Python.h>

#include "host/mdf_file_iterator.h"

#include <new>
#include <utility>

#include "host/can_msg_extension.h"
#include "host/reader_state.h"
#include "host/module.h"
#include "host/py_ref.h"

namespace tolvar::host {
namespace {

struct IteratorState {
    std::optional<bus::RecordIterator> cursor;  // owned; empty once exhausted
    // What the cursor's last step gave; its frame is the cursor's current().
    bus::WalkStep current = bus::WalkStep::kEnd;
    uint64_t generation = 0;
    // Set while next() runs: a file object's methods could call next() on
    // this same iterator, which must not step the cursor it is inside of.
    bool running = false;
    // An exception raised by the file while reading ahead, after the message
    // it followed was already built: handed out by the next call.
    PyObject* pending_type = nullptr;
    PyObject* pending_value = nullptr;
    PyObject* pending_traceback = nullptr;

    void end() {
        current = bus::WalkStep::kEnd;
        cursor.reset();
    }
    void drop_pending() {
        Py_XDECREF(pending_type);
        Py_XDECREF(pending_value);
        Py_XDECREF(pending_traceback);
        pending_type = pending_value = pending_traceback = nullptr;
    }
};

struct IteratorObject {
    PyObject_HEAD
    PyObject* owner;       // the MdfFile; owned reference
    IteratorState* state;  // owned; null for an instance host code made
};

IteratorObject* as_iterator(PyObject* self) { return reinterpret_cast<IteratorObject*>(self); }

int refuse_init(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_RuntimeError, "Class cannot be created from Python");
    return -1;
}

// Takes the cursor's view of what comes next. A file object that raised while
// the cursor read ahead ends the walk; its exception is left set.
void read_ahead(IteratorState& state, bus::WalkStep next) {
    state.current = next;
    if (PyErr_Occurred() != nullptr) state.current = bus::WalkStep::kEnd;
    if (state.current == bus::WalkStep::kEnd) state.cursor.reset();
}

class Running {
public:
    explicit Running(bool& flag) : flag_(flag) { flag_ = true; }
    ~Running() { flag_ = false; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    bool& flag_;
};

PyObject* step(PyObject* self, IteratorObject* it, IteratorState* state);

PyObject* next(PyObject* self) {
    IteratorObject* it = as_iterator(self);
    IteratorState* state = it->state;
    if (state == nullptr) return nullptr;
    if (state->running) {
        PyErr_SetString(PyExc_ValueError, "MdfFileIterator already executing");
        return nullptr;
    }
    Running running(state->running);
    return step(self, it, state);
}

PyObject* step(PyObject*, IteratorObject* it, IteratorState* state) {
    if (state->pending_type != nullptr) {
        PyErr_Restore(state->pending_type, state->pending_value, state->pending_traceback);
        state->pending_type = state->pending_value = state->pending_traceback = nullptr;
        return nullptr;
    }
    if (!state->cursor) return nullptr;  // exhausted: StopIteration, every time
    // The cursor reads through the reader's Stream and the blocks of its
    // document; after close they are gone, so the cursor must not be touched.
    if (it->owner == nullptr || !reader_is_open(it->owner, state->generation)) {
        state->end();
        return raise_closed();
    }
    if (state->current == bus::WalkStep::kEnd) {
        state->end();
        return nullptr;
    }

    PyObject* message = nullptr;
    if (state->current == bus::WalkStep::kNoFrame) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown bus type");
    } else {
        const bus::DecodedRecord& record = state->cursor->current();
        message = build_message(record.frame, record.payload);
    }
    // The record is consumed whether or not its message could be built. The
    // cursor may call into a file object, which must not run with the build's
    // exception set: keep that aside meanwhile.
    SavedError build_error;
    {
        ReaderHold hold(it->owner);
        // A columnar read in another thread may be walking the same Streams.
        StreamLock lock(state_of(it->owner));
        if (reader_is_open(it->owner, state->generation)) {
            read_ahead(*state, state->cursor->advance());
        } else {
            state->end();  // closed by host code the message's creation ran
        }
    }
    if (PyErr_Occurred() != nullptr) {
        // The file failed while reading the next record: this call still
        // returns what it has, and the failure is the next call's result.
        state->drop_pending();
        PyErr_Fetch(&state->pending_type, &state->pending_value, &state->pending_traceback);
    }
    return message;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    IteratorObject* it = as_iterator(self);
    Py_VISIT(it->owner);
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return 0;
}

int clear(PyObject* self) {
    IteratorObject* it = as_iterator(self);
    // The cursor borrows the owner's document: it goes first.
    if (it->state != nullptr) {
        it->state->end();
        it->state->drop_pending();
    }
    PyRef owner(it->owner);
    it->owner = nullptr;
    return 0;
}

void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    clear(self);
    IteratorObject* it = as_iterator(self);
    delete it->state;
    it->state = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    freefunc free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyType_Slot g_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(refuse_init)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(next)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_doc, const_cast<char*>("The frames of one data group of an MdfFile.")},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "python_can_tolvar_mf4.MdfFileIterator", sizeof(IteratorObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, g_slots,
};

}  // namespace

PyObject* create_iterator(PyObject* owner, uint64_t generation, std::optional<bus::RecordIterator> cursor) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(module_state().mdf_file_iterator);
    allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef self(alloc(type, 0));
    if (!self) return nullptr;
    IteratorObject* it = as_iterator(self.get());
    it->state = new (std::nothrow) IteratorState();
    if (it->state == nullptr) return PyErr_NoMemory();
    Py_IncRef(owner);
    it->owner = owner;
    it->state->generation = generation;
    it->state->cursor = std::move(cursor);
    if (it->state->cursor) {
        bus::WalkStep first = bus::WalkStep::kEnd;
        {
            StreamLock lock(state_of(owner));
            first = it->state->cursor->first();
        }
        read_ahead(*it->state, first);
        if (PyErr_Occurred() != nullptr) return nullptr;
    }
    return self.release();
}

PyObject* create_mdf_file_iterator_type() { return PyType_FromSpec(&g_spec); }

}  // namespace tolvar::host
