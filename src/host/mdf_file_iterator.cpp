// MdfFileIterator: one per data group, merged by heapq.merge. Only
// create_iterator makes instances (the type refuses host code's calls), and
// its native state lives in the object, made in place with it.
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

// Members are released in the reverse of their order here: the cursor, which
// borrows the reader's document, before the reference that keeps the reader.
struct IteratorState {
    PyRef owner;  // the MdfFile; empty once the collector cleared it
    std::optional<bus::RecordIterator> cursor;  // empty once exhausted
    // What the cursor's last step gave; its frame is the cursor's current().
    bus::WalkStep current = bus::WalkStep::kEnd;
    uint64_t generation = 0;
    // Set while next() runs: a file object's methods could call next() on
    // this same iterator, which must not step the cursor it is inside of.
    bool running = false;
    // An exception raised by the file while reading ahead, after the message
    // it followed was already built: handed out by the next call.
    PendingError pending;

    void end() {
        current = bus::WalkStep::kEnd;
        cursor.reset();
    }
};

// The C layout of an instance: the state is constructed in place right after
// the allocation (create_iterator) and destroyed by dealloc, so it lives
// exactly as long as the object.
struct IteratorObject {
    PyObject_HEAD
    IteratorState state;
};

IteratorObject* as_iterator(PyObject* self) { return reinterpret_cast<IteratorObject*>(self); }

PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_RuntimeError, "Class cannot be created from Python");
    return nullptr;
}

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

PyObject* step(IteratorState& state);

PyObject* next(PyObject* self) {
    IteratorState& state = as_iterator(self)->state;
    if (state.running) {
        PyErr_SetString(PyExc_ValueError, "MdfFileIterator already executing");
        return nullptr;
    }
    Running running(state.running);
    return step(state);
}

PyObject* step(IteratorState& state) {
    if (!state.pending.empty()) {
        state.pending.restore();
        return nullptr;
    }
    if (!state.cursor) return nullptr;  // exhausted: StopIteration, every time
    // The cursor reads through the reader's Stream and the blocks of its
    // document; after close they are gone, so the cursor must not be touched.
    PyObject* owner = state.owner.get();
    if (owner == nullptr || !reader_is_open(owner, state.generation)) {
        state.end();
        return raise_closed();
    }
    if (state.current == bus::WalkStep::kEnd) {
        state.end();
        return nullptr;
    }

    PyObject* message = nullptr;
    if (state.current == bus::WalkStep::kNoFrame) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown bus type");
    } else {
        const bus::DecodedRecord& record = state.cursor->current();
        message = build_message(record.frame, record.payload);
    }
    // The record is consumed whether or not its message could be built. The
    // cursor may call into a file object, which must not run with the build's
    // exception set: keep that aside meanwhile.
    SavedError build_error;
    {
        // Host code the cursor runs may close the reader: the hold keeps its
        // recording until the cursor is done with it.
        ReaderHold hold(owner);
        // A columnar read in another thread may be walking the same Streams.
        StreamLock lock(state_of(owner));
        if (reader_is_open(owner, state.generation)) {
            read_ahead(state, state.cursor->advance());
        } else {
            state.end();  // closed by host code the message's creation ran
        }
    }
    // The file failed while reading the next record: this call still returns
    // what it has, and the failure is the next call's result.
    if (PyErr_Occurred() != nullptr) state.pending.fetch();
    return message;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    const IteratorState& state = as_iterator(self)->state;
    Py_VISIT(state.owner.get());
    if (const int result = state.pending.visit(visit, arg)) return result;
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return 0;
}

int clear(PyObject* self) {
    IteratorState& state = as_iterator(self)->state;
    // The cursor borrows the owner's document: it goes first.
    state.end();
    state.pending.clear();
    state.owner.reset();
    return 0;
}

void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    clear(self);
    as_iterator(self)->state.~IteratorState();
    PyTypeObject* type = Py_TYPE(self);
    freefunc free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
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
    // Nothing between the allocation and this can fail: dealloc always finds
    // a state to destroy.
    IteratorState& state = *new (&as_iterator(self.get())->state) IteratorState();
    state.owner = PyRef::borrow(owner);
    state.generation = generation;
    state.cursor = std::move(cursor);
    if (state.cursor) {
        bus::WalkStep first = bus::WalkStep::kEnd;
        {
            StreamLock lock(state_of(owner));
            first = state.cursor->first();
        }
        read_ahead(state, first);
        if (PyErr_Occurred() != nullptr) return nullptr;
    }
    return self.release();
}

PyObject* create_mdf_file_iterator_type() { return PyType_FromSpec(&g_spec); }

}  // namespace tolvar::host
