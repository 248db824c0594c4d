// MdfFile: the reader type host programs use. The class host code sees is made
// by calling the metaclass of can.io.generic.MessageReader (abc.ABCMeta) with
// two bases, a native type that holds each instance's state and operations
// and MessageReader itself, so that the ABC bookkeeping is done by the
// metaclass and no type is made from a spec whose base has a metaclass of its
// own. The native type stays out of the module's attributes.
#include <Python.h>

#include "host/mdf_file.h"

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "host/decoded_tables.h"
#include "host/frame_tables.h"
#include "host/filter_options.h"
#include "host/mdf_file_iterator.h"
#include "host/metadata_dict.h"
#include "host/module.h"
#include "host/py_ref.h"
#include "host/reader_source.h"
#include "host/reader_state.h"
#include "host/stream_methods.h"

namespace tolvar::host {
namespace {

// super(<native type>, self): the classes after the native one in the
// instance's order of resolution, MessageReader's first.
PyObject* super_of(PyObject* self) {
    const ModuleState& module = module_state();
    return PyObject_CallFunctionObjArgs(module.super_type, module.mdf_file_native, self, nullptr);
}

// The base's method `name`, or an empty reference without an exception when
// no class after the native type defines it (no python-can release defines
// close on its reader bases).
bool base_method(PyObject* self, PyObject* name, PyRef& method) {
    PyRef super(super_of(self));
    if (!super) return false;
    method.reset(PyObject_GetAttr(super.get(), name));
    if (method) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
}

// Releases document and stream, and closes the file object the base opened.
bool release_all(PyObject* self) {
    ReaderState* state = state_of(self);
    if (state == nullptr) return true;
    state->release();
    PyRef opened(state->base_opened_file.release());
    if (!opened) return true;
    PyRef result(PyObject_CallMethodObjArgs(opened.get(), names().close, nullptr));
    return static_cast<bool>(result);
}

// A failed construction holds nothing: the file the base opened is closed
// too. The construction's exception is the one the caller sees.
int fail_after_open(PyObject* self) {
    SavedError keep;
    if (!release_all(self)) PyErr_WriteUnraisable(self);
    return -1;
}

PyObject* native_new(PyTypeObject* type, PyObject*, PyObject*) {
    if (reinterpret_cast<PyObject*>(type) != module_state().mdf_file) {
        PyErr_SetString(PyExc_TypeError, "type 'MdfFile' is not an acceptable base type");
        return nullptr;
    }
    allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef self(alloc(type, 0));
    if (!self) return nullptr;
    // Nothing between the allocation and this can fail: dealloc always finds
    // an owner to destroy.
    std::unique_ptr<ReaderState>& state = *new (&reinterpret_cast<ReaderObject*>(self.get())->state)
        std::unique_ptr<ReaderState>(new (std::nothrow) ReaderState());
    if (!state || !state->make_gate()) return PyErr_NoMemory();
    return self.release();
}

// The base initialiser, with every keyword but the reader's own and the file
// opened for binary reading.
bool call_base_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    const Names& n = names();
    PyRef base_kwargs(kwargs != nullptr ? PyDict_Copy(kwargs) : PyDict_New());
    if (!base_kwargs || PyDict_SetItem(base_kwargs.get(), n.mode, n.rb) < 0) return false;
    // The reader's own keywords stay with the reader: python-can 4.0 and 4.1
    // have a base initialiser without **kwargs that would refuse them.
    for (PyObject* own : {n.passwords, n.any_writer, n.can_filters, n.channels, n.start, n.stop, n.batch_rows}) {
        if (PyDict_DelItem(base_kwargs.get(), own) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
            PyErr_Clear();
        }
    }
    PyRef super(super_of(self));
    if (!super) return false;
    PyRef base_init(PyObject_GetAttr(super.get(), n.init));
    if (!base_init) return false;
    PyRef result(PyObject_Call(base_init.get(), args, base_kwargs.get()));
    return static_cast<bool>(result);
}

// What the reader reads after the base initialiser: the file it left, or the
// caller's source. Empty with an exception set when there is neither.
PyRef reader_file(PyObject* self, PyObject* source) {
    PyRef file(PyObject_GetAttr(self, names().file));
    if (!file) {
        // python-can 4.6 made the base initialiser abstract: it no longer
        // opens the path or sets `file`. The caller's source is then used.
        if (source == nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "could not get file property");
            return PyRef();
        }
        PyErr_Clear();
        file = PyRef::borrow(source);
    }
    if (file.get() == Py_None) {
        PyErr_SetString(PyExc_ValueError, "file must not be None");
        return PyRef();
    }
    return file;
}

int init(PyObject* self, PyObject* args, PyObject* kwargs) {
    ReaderState* state = state_of(self);
    if (state == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "Could not allocate buffer");
        return -1;
    }
    const Names& n = names();
    // Bad filter values are refused before anything is opened.
    FilterOptions filter_options;
    if (!parse_filter_options(kwargs, filter_options)) return -1;
    // Keyword only, by its truth value; like the filters, looked at before
    // anything is opened.
    PyObject* any_writer_value = kwargs != nullptr ? PyDict_GetItem(kwargs, n.any_writer) : nullptr;
    int any_writer = 0;
    if (any_writer_value != nullptr && (any_writer = PyObject_IsTrue(any_writer_value)) < 0) return -1;
    if (!parse_batch_rows(kwargs, n.batch_rows, state->batch_rows)) return -1;
    if (!call_base_init(self, args, kwargs)) return -1;

    // A second __init__ on one instance starts from nothing.
    if (!release_all(self)) return -1;

    PyObject* source = caller_source(args, kwargs);
    PyRef file = reader_file(self, source);
    if (!file) return -1;
    // Only the keyword counts; borrowed from the caller's dict.
    PyObject* passwords = kwargs != nullptr ? PyDict_GetItem(kwargs, n.passwords) : nullptr;
    OpenRecording opened;
    if (!open_recording(*state, file.get(), source, passwords, any_writer != 0, filter_options, opened)) {
        return fail_after_open(self);
    }
    // A file object's methods may have reinitialised this reader meanwhile.
    state->release();
    state->current = std::move(opened);
    state->host_reads = host_object(state->current.stream) != nullptr;
    state->generation = ++module_state().last_generation;
    return 0;
}

// A file object that refers back to its reader makes a cycle through the
// native state; the collector sees it through these two.
int traverse(PyObject* self, visitproc visit, void* arg) {
    ReaderState* state = state_of(self);
    if (state != nullptr) {
        Py_VISIT(host_object(state->current.stream));
        for (const OpenRecording& recording : state->retired) Py_VISIT(host_object(recording.stream));
        Py_VISIT(state->base_opened_file.get());
    }
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return 0;
}

int clear(PyObject* self) {
    ReaderState* state = state_of(self);
    if (state != nullptr) {
        state->release();
        state->base_opened_file.reset();
    }
    return 0;
}

void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    std::unique_ptr<ReaderState>& state = reinterpret_cast<ReaderObject*>(self)->state;
    if (state) {
        // The base class's close is not called; a file the base opened is
        // closed by its own finaliser when its last reference goes. No hold
        // can be running: each keeps a reference to the reader. Streams of
        // the recording get it; otherwise it goes in the order its parts
        // borrow each other.
        state->release();
        state->free_retired();
    }
    using StateOwner = std::unique_ptr<ReaderState>;
    state.~StateOwner();
    PyTypeObject* type = Py_TYPE(self);
    freefunc free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyObject* close_method(PyObject* self, PyObject* args) {
    if (!release_all(self)) return nullptr;
    PyRef base_close;
    if (!base_method(self, names().close, base_close)) return nullptr;
    if (!base_close) Py_RETURN_NONE;
    return PyObject_Call(base_close.get(), args, nullptr);
}

// python-can ends readers with stop() (in `with` blocks and its tools).
PyObject* stop_method(PyObject* self, PyObject*) {
    if (!release_all(self)) return nullptr;
    PyRef base_stop;
    if (!base_method(self, names().stop, base_stop)) return nullptr;
    if (!base_stop) Py_RETURN_NONE;
    return PyObject_CallFunctionObjArgs(base_stop.get(), nullptr);
}

PyObject* get_metadata(PyObject* self, PyObject*) {
    ReaderState* state = state_of(self);
    if (state == nullptr || state->document() == nullptr) return raise_closed();
    const std::string* text = state->document()->metadata_xml();
    if (text == nullptr) return metadata_to_dict(nullptr, 0);
    return metadata_to_dict(text->data(), text->size());
}

// What the recording states about its size, without reading a record: a
// measure for progress displays.
PyObject* get_record_count(PyObject* self, PyObject*) {
    ReaderState* state = state_of(self);
    if (state == nullptr || state->document() == nullptr) return raise_closed();
    return PyLong_FromUnsignedLongLong(bus::stated_record_count(state->current.plans));
}

PyObject* iter(PyObject* self) {
    ReaderState* state = state_of(self);
    if (state == nullptr || state->document() == nullptr) return raise_closed();
    // Reading the first records may run a file object's methods.
    ReaderHold hold(self);
    const double start = state->document()->start_time();
    const std::vector<bus::GroupPlan>& plans = state->current.plans;
    const uint64_t generation = state->generation;
    PyRef iterators(PyTuple_New(static_cast<Py_ssize_t>(plans.size())));
    if (!iterators) return nullptr;
    Py_ssize_t index = 0;
    for (const bus::GroupPlan& plan : plans) {
        std::optional<bus::RecordIterator> cursor = bus::RecordIterator::create(&plan, start, state->current.filter.get());
        PyObject* iterator = create_iterator(self, generation, std::move(cursor));
        if (iterator == nullptr) return nullptr;
        PyTuple_SetItem(iterators.get(), index++, iterator);
        // The file object closed this very reader: its groups are released.
        if (!reader_is_open(self, generation)) return raise_closed();
    }
    return PyObject_Call(module_state().merge, iterators.get(), nullptr);
}

PyObject* to_numpy(PyObject* self, PyObject* args, PyObject* kwargs) {
    return frame_table(self, args, kwargs, TableKind::kNumpy);
}
PyObject* to_arrow(PyObject* self, PyObject* args, PyObject* kwargs) {
    return frame_table(self, args, kwargs, TableKind::kArrow);
}
PyObject* to_pandas(PyObject* self, PyObject* args, PyObject* kwargs) {
    return frame_table(self, args, kwargs, TableKind::kPandas);
}

// Replaces the filter keywords of an open reader without opening the
// recording again: the command line places its window in seconds from the
// recording's start, which it learns only from the open reader. Walks that
// began before keep the filter they started with.
PyObject* select_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (PyTuple_Size(args) != 0) {
        PyErr_SetString(PyExc_TypeError, "_select() takes keyword arguments only");
        return nullptr;
    }
    FilterOptions options;
    if (!parse_selection(kwargs, options)) return nullptr;
    ReaderState* state = state_of(self);
    if (state == nullptr || state->document() == nullptr) return raise_closed();
    if (!replace_filter(options, state->current)) return nullptr;
    Py_RETURN_NONE;
}

// The recording's start as a timestamp: what a frame at time 0 shows.
PyObject* get_start_timestamp(PyObject* self, void*) {
    ReaderState* state = state_of(self);
    if (state == nullptr || state->document() == nullptr) return raise_closed();
    return PyFloat_FromDouble(state->document()->start_time());
}

// The records each data group gave in the last walk that read it to its end
// (iteration or a table), beside what get_record_count() says the recording
// states: one entry per data group, None until such a walk.
PyObject* get_records_read(PyObject* self, void*) {
    ReaderState* state = state_of(self);
    if (state == nullptr || state->document() == nullptr) return raise_closed();
    const std::vector<bus::GroupPlan>& plans = state->current.plans;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(plans.size())));
    if (!list) return nullptr;
    for (size_t g = 0; g < plans.size(); ++g) {
        const bus::GroupPlan::Reading reading = plans[g].last_reading();
        PyObject* item = nullptr;
        if (reading.complete) {
            item = PyLong_FromUnsignedLongLong(reading.frames);
            if (item == nullptr) return nullptr;
        } else {
            item = Py_None;
            Py_IncRef(item);
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(g), item);
    }
    return list.release();
}

PyGetSetDef g_getset[] = {
    {"records_read", get_records_read, nullptr,
     "Per data group, the records the last walk to its end read (None before one): beside get_record_count().",
     nullptr},
    {"start_timestamp", get_start_timestamp, nullptr,
     "The recording's start in seconds since 1970-01-01 UTC: the timestamp of a frame at time 0.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Host code cannot derive from MdfFile.
PyObject* refuse_subclass(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "type 'MdfFile' is not an acceptable base type");
    return nullptr;
}

PyMethodDef g_refuse_subclass = {
    "__init_subclass__", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(refuse_subclass)),
    METH_VARARGS | METH_KEYWORDS, nullptr,
};

PyMethodDef g_methods[] = {
    {"close", close_method, METH_VARARGS, "Release the recording and close the source."},
    {"stop", stop_method, METH_NOARGS, "Release the recording, as close() does, and stop the reader."},
    {"get_metadata", get_metadata, METH_NOARGS, "Get metadata"},
    {"get_record_count", get_record_count, METH_NOARGS,
     "The number of records the recording states it holds (the cycle counts of its channel groups)."},
    {"to_numpy", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(to_numpy)), METH_VARARGS | METH_KEYWORDS,
     "Every frame iteration gives, as a dict of numpy arrays; columns= fills only the columns named."},
    {"to_pandas", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(to_pandas)), METH_VARARGS | METH_KEYWORDS,
     "Every frame iteration gives, as a pandas.DataFrame; data=\"bytes\" for bytes objects in the data column, "
     "columns= fills only the columns named."},
    {"to_arrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(to_arrow)), METH_VARARGS | METH_KEYWORDS,
     "Every frame iteration gives, as a pyarrow.Table; columns= fills only the columns named."},
    {"decode_to_numpy", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(decode_to_numpy)),
     METH_VARARGS | METH_KEYWORDS, kDecodeToNumpyDoc},
    {"decode_to_pandas", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(decode_to_pandas)),
     METH_VARARGS | METH_KEYWORDS, kDecodeToPandasDoc},
    {"decode_to_arrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(decode_to_arrow)),
     METH_VARARGS | METH_KEYWORDS, kDecodeToArrowDoc},
    {"_decode_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(decode_rows)),
     METH_VARARGS | METH_KEYWORDS, kDecodeRowsDoc},
    {"_select", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(select_method)), METH_VARARGS | METH_KEYWORDS,
     "Replace the filter keywords (can_filters, channels, start, stop) of the open reader."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(native_new)},
    {Py_tp_init, reinterpret_cast<void*>(init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_iter, reinterpret_cast<void*>(iter)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

// The base-type flag only lets the MdfFile class derive from it; native_new
// refuses every other class.
PyType_Spec g_spec = {
    "python_can_tolvar_mf4._MdfFileNative", sizeof(ReaderObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, g_slots,
};

constexpr const char* kDoc =
    "MdfFile(file, *, passwords=None, any_writer=False, can_filters=None, channels=None, start=None, stop=None,\n"
    "        batch_rows=65536)\n\n"
    "Reads an ASAM MDF 4 bus-logging recording (a path, a pathlib.Path or a\n"
    "binary file object). Iterating it yields every CAN, CAN FD and LIN frame\n"
    "as a CanMsgExtension, merged by timestamp. `passwords` maps key\n"
    "identifiers (8 upper-case hex digits) or \"default\" to the passwords of\n"
    "encrypted recordings. With `any_writer=True` the recordings of other\n"
    "MDF 4 writers (python-can, asammdf, ...) are read too: their standard\n"
    "bus-logging layouts, data lists and compressed data. can_filters\n"
    "(python-can's filter dicts), channels (names as messages carry them) and\n"
    "start <= timestamp < stop select the frames that iteration,\n"
    "to_numpy(), to_pandas() and to_arrow() give, and decode_to_numpy(),\n"
    "decode_to_pandas() and decode_to_arrow() decode with a CAN database. The\n"
    "same frames stream as Arrow record batches of at most batch_rows rows\n"
    "(__arrow_c_stream__, iter_batches(), to_polars()).";

}  // namespace

PyObject* create_mdf_file_type(PyObject* reader_base) {
    PyObject* native = PyType_FromSpec(&g_spec);
    if (native == nullptr || !add_stream_methods(native)) return nullptr;
    module_state().mdf_file_native = native;  // process-wide, like the other types

    PyRef metaclass(PyObject_Type(reader_base));
    if (!metaclass) return nullptr;
    PyRef bases(PyTuple_Pack(2, native, reader_base));
    PyRef namespace_dict(PyDict_New());
    PyRef refuse(PyCFunction_NewEx(&g_refuse_subclass, nullptr, nullptr));
    PyRef module_name(PyUnicode_FromString("python_can_tolvar_mf4"));
    PyRef qualname(PyUnicode_FromString("MdfFile"));
    PyRef doc(PyUnicode_FromString(kDoc));
    if (!bases || !namespace_dict || !refuse || !module_name || !qualname || !doc) return nullptr;
    PyObject* ns = namespace_dict.get();
    if (PyDict_SetItemString(ns, "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns, "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns, "__doc__", doc.get()) < 0 ||
        PyDict_SetItemString(ns, "__init_subclass__", refuse.get()) < 0)
        return nullptr;
    return PyObject_CallFunction(metaclass.get(), "sOO", "MdfFile", bases.get(), ns);
}

}  // namespace tolvar::host
