#include <Python.h>

#include "host/stream_methods.h"

#include <cerrno>
#include <memory>
#include <new>

#include "bus/arrow_batches.h"
#include "host/column_choice.h"
#include "host/frame_streams.h"
#include "host/py_ref.h"
#include "host/reader_state.h"
#include "host/table_libraries.h"

namespace tolvar::host {
namespace {

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kStreamCapsule = "arrow_array_stream";
constexpr const char* kNeedPolars = "polars is not installed: pip install python_can_tolvar_mf4[polars]";
// A batch's rows are bounded by 32-bit offsets of up to 64-byte payloads.
constexpr uint64_t kMostBatchRows = uint64_t{1} << 25;

// Capsules release what a consumer left in them (a consumer that takes the
// struct marks it released).
void release_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, kSchemaCapsule));
    if (schema == nullptr) return PyErr_Clear();
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

void release_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
    if (stream == nullptr) return PyErr_Clear();
    if (stream->release != nullptr) stream->release(stream);
    delete stream;
}

// A filled struct handed to a new capsule of `name`, which then owns it; the
// struct released where the capsule cannot be made.
template <class Struct>
PyObject* capsule_of(std::unique_ptr<Struct> filled, const char* name, PyCapsule_Destructor release) {
    PyObject* capsule = PyCapsule_New(filled.get(), name, release);
    if (capsule == nullptr) {
        filled->release(filled.get());
        return nullptr;
    }
    filled.release();
    return capsule;
}

PyObject* schema_capsule(const bus::BatchSchema& schema) {
    std::unique_ptr<ArrowSchema> out(new (std::nothrow) ArrowSchema());
    if (!out || !bus::export_schema(schema, out.get())) return PyErr_NoMemory();
    return capsule_of(std::move(out), kSchemaCapsule, release_schema_capsule);
}

PyObject* stream_capsule(PyObject* reader, const bus::BatchSchema& schema) {
    std::unique_ptr<ArrowArrayStream> out(new (std::nothrow) ArrowArrayStream());
    if (!out) return PyErr_NoMemory();
    if (!open_frame_stream(reader, schema, out.get())) return nullptr;
    return capsule_of(std::move(out), kStreamCapsule, release_stream_capsule);
}

PyObject* arrow_c_schema(PyObject* self, PyObject*) {
    ReaderState* state = state_of(self);
    if (state == nullptr || state->document() == nullptr) return raise_closed();
    return schema_capsule(bus::BatchSchema());
}

PyObject* arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"requested_schema", nullptr};
    PyObject* requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__", const_cast<char**>(keywords),
                                     &requested)) {
        return nullptr;
    }
    bus::BatchSchema schema;
    if (requested != Py_None) {
        auto* asked = static_cast<ArrowSchema*>(PyCapsule_GetPointer(requested, kSchemaCapsule));
        if (asked == nullptr) return nullptr;
        const char* why = nullptr;
        if (asked->release == nullptr || !bus::read_requested_schema(*asked, schema, why)) {
            PyErr_Format(PyExc_ValueError, "requested_schema: %s", why != nullptr ? why : "released");
            return nullptr;
        }
    }
    return stream_capsule(self, schema);
}

PyObject* iter_batches(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"columns", nullptr};
    PyObject* columns = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$O:iter_batches", const_cast<char**>(keywords), &columns)) {
        return nullptr;
    }
    bus::BatchSchema schema;
    if (!parse_columns(columns, schema.columns) || !load_libraries(TableKind::kArrow)) return nullptr;
    PyRef pyarrow(PyImport_ImportModule("pyarrow"));
    if (!pyarrow) return nullptr;
    PyRef reader_type(PyObject_GetAttrString(pyarrow.get(), "RecordBatchReader"));
    if (!reader_type) return nullptr;
    PyRef capsule(stream_capsule(self, schema));
    if (!capsule) return nullptr;
    return PyObject_CallMethod(reader_type.get(), "_import_from_c_capsule", "O", capsule.get());
}

// A stream of exactly one batch, taken from another stream: what a consumer
// that imports whole streams (polars) reads one batch at a time.
struct OneBatch {
    ArrowSchema schema{};
    ArrowArray batch{};
};

void release_one(ArrowArrayStream* stream) {
    if (stream->release == nullptr) return;
    auto* one = static_cast<OneBatch*>(stream->private_data);
    if (one->schema.release != nullptr) one->schema.release(&one->schema);
    if (one->batch.release != nullptr) one->batch.release(&one->batch);
    delete one;
    stream->release = nullptr;
}

PyObject* new_one_batch_stream(OneBatch* one) {
    std::unique_ptr<ArrowArrayStream> out(new (std::nothrow) ArrowArrayStream());
    if (!out) {
        ArrowArrayStream owner{nullptr, nullptr, nullptr, release_one, one};
        release_one(&owner);
        return PyErr_NoMemory();
    }
    *out = ArrowArrayStream{
        [](ArrowArrayStream* s, ArrowSchema* schema) {
            ArrowSchema& own = static_cast<OneBatch*>(s->private_data)->schema;
            if (own.release == nullptr) return EINVAL;
            *schema = own;  // moved out: the stream's schema is asked for once
            own.release = nullptr;
            return 0;
        },
        [](ArrowArrayStream* s, ArrowArray* array) {
            ArrowArray& own = static_cast<OneBatch*>(s->private_data)->batch;
            *array = own;  // the batch, then the end (a released array)
            own.release = nullptr;
            return 0;
        },
        [](ArrowArrayStream*) -> const char* { return nullptr; }, release_one, one};
    return capsule_of(std::move(out), kStreamCapsule, release_stream_capsule);
}

// _batch_stream(columns=None, binary_view=False): a stream capsule of the
// columns chosen, the data as binary_view where asked (polars' own form of
// binary data, which it then takes without converting).
PyObject* batch_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"columns", "binary_view", nullptr};
    PyObject* columns = Py_None;
    int binary_view = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$Op:_batch_stream", const_cast<char**>(keywords), &columns,
                                     &binary_view)) {
        return nullptr;
    }
    bus::BatchSchema schema;
    if (!parse_columns(columns, schema.columns)) return nullptr;
    if (binary_view != 0) schema.data = bus::DataType::kBinaryView;
    return stream_capsule(self, schema);
}

// _take_batch(stream): the next batch of a stream capsule of this reader as
// a stream capsule of that one batch, or None at the end. The walk runs
// without the interpreter lock; a failed read raises RuntimeError with the
// reader's message ("Unknown bus type").
PyObject* take_batch(PyObject*, PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
    if (stream == nullptr) return nullptr;
    if (stream->release == nullptr || stream->get_next != get_frame_batch) {
        PyErr_SetString(PyExc_ValueError, "not a stream of this reader's record batches");
        return nullptr;
    }
    std::unique_ptr<OneBatch> one(new (std::nothrow) OneBatch());
    if (!one) return PyErr_NoMemory();
    int failed = 0;
    Py_BEGIN_ALLOW_THREADS
    failed = stream->get_next(stream, &one->batch);
    if (failed == 0 && one->batch.release != nullptr) failed = stream->get_schema(stream, &one->schema);
    Py_END_ALLOW_THREADS
    if (failed == ENOMEM) return PyErr_NoMemory();
    if (failed != 0) {
        const char* error = stream->get_last_error(stream);
        PyErr_SetString(PyExc_RuntimeError, error != nullptr ? error : "Could not read the recording");
        return nullptr;
    }
    if (one->batch.release == nullptr) Py_RETURN_NONE;
    return new_one_batch_stream(one.release());
}

PyRef import_or_explain(const char* name, const char* message) {
    PyRef module(PyImport_ImportModule(name));
    if (!module && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, message);
    }
    return module;
}

PyObject* to_polars(PyObject* self, PyObject*) {
    ReaderState* state = state_of(self);
    if (state == nullptr || state->document() == nullptr) return raise_closed();
    if (!import_or_explain("polars", kNeedPolars)) return nullptr;
    PyRef helper(PyImport_ImportModule("python_can_tolvar_mf4_polars"));
    if (!helper) return nullptr;
    return PyObject_CallMethod(helper.get(), "frame", "O", self);
}

// decoded_batches(database, message, *, signals=None, choices=False): one
// message's decoded table as a pyarrow.RecordBatchReader, made by the
// package beside the module from decode_to_arrow().
PyObject* decoded_batches(PyObject* self, PyObject* args, PyObject* kwargs) {
    ReaderState* state = state_of(self);
    if (state == nullptr || state->document() == nullptr) return raise_closed();
    if (!load_libraries(TableKind::kArrow)) return nullptr;
    PyRef helper(PyImport_ImportModule("python_can_tolvar_mf4_streams"));
    if (!helper) return nullptr;
    PyRef function(PyObject_GetAttrString(helper.get(), "decoded_batches"));
    if (!function) return nullptr;
    const Py_ssize_t n = args != nullptr ? PyTuple_Size(args) : 0;
    PyRef call_args(PyTuple_New(n + 1));
    if (!call_args) return nullptr;
    Py_IncRef(self);
    PyTuple_SetItem(call_args.get(), 0, self);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GetItem(args, i);
        Py_IncRef(item);
        PyTuple_SetItem(call_args.get(), i + 1, item);
    }
    return PyObject_Call(function.get(), call_args.get(), kwargs);
}

PyObject* scan_polars(PyObject*, PyObject* args, PyObject* kwargs) {
    if (!import_or_explain("polars", kNeedPolars)) return nullptr;
    PyRef scan(PyImport_ImportModule("python_can_tolvar_mf4_polars"));
    if (!scan) return nullptr;
    PyRef function(PyObject_GetAttrString(scan.get(), "scan"));
    if (!function) return nullptr;
    return PyObject_Call(function.get(), args, kwargs);
}

PyObject* get_batch_rows(PyObject* self, void*) {
    ReaderState* state = state_of(self);
    if (state == nullptr) return raise_closed();
    return PyLong_FromUnsignedLongLong(state->batch_rows);
}

PyMethodDef g_methods[] = {
    {"__arrow_c_schema__", arrow_c_schema, METH_NOARGS,
     "The schema of the frame table as an Arrow PyCapsule, read without walking the data."},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(arrow_c_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "A new stream of record batches (an Arrow PyCapsule) of the frames iteration gives, batch_rows at most "
     "each."},
    {"iter_batches", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(iter_batches)),
     METH_VARARGS | METH_KEYWORDS,
     "The frames as a pyarrow.RecordBatchReader (an iterator of RecordBatch); columns= chooses the columns."},
    {"to_polars", to_polars, METH_NOARGS, "Every frame iteration gives, as a polars.DataFrame."},
    {"decoded_batches", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(decoded_batches)),
     METH_VARARGS | METH_KEYWORDS,
     "decoded_batches(database, message, *, signals=None, choices=False): one message's signals decoded "
     "as decode_to_arrow() decodes them, as a pyarrow.RecordBatchReader of batch_rows rows at most."},
    {"_batch_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(batch_stream)),
     METH_VARARGS | METH_KEYWORDS, "A stream of record batches of the columns chosen (scan_polars)."},
    {"_take_batch", take_batch, METH_O,
     "The next batch of a stream of _batch_stream() as a stream of that batch alone, or None at the end."},
};

PyGetSetDef g_batch_rows = {"batch_rows", get_batch_rows, nullptr,
                            "The most rows a record batch of a stream holds.", nullptr};

PyMethodDef g_functions[] = {
    {"scan_polars", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(scan_polars)), METH_VARARGS | METH_KEYWORDS,
     "scan_polars(path, **reader_keywords): a polars.LazyFrame of the recording's frames; projections, simple "
     "filters and row limits reach the reader."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_stream_methods(PyObject* native_type) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(native_type);
    for (PyMethodDef& method : g_methods) {
        PyRef descriptor(PyDescr_NewMethod(type, &method));
        if (!descriptor || PyObject_SetAttrString(native_type, method.ml_name, descriptor.get()) < 0) return false;
    }
    PyRef descriptor(PyDescr_NewGetSet(type, &g_batch_rows));
    return descriptor && PyObject_SetAttrString(native_type, g_batch_rows.name, descriptor.get()) == 0;
}

bool add_stream_functions(PyObject* module) { return PyModule_AddFunctions(module, g_functions) == 0; }

bool parse_batch_rows(PyObject* kwargs, PyObject* key, uint64_t& out) {
    out = 65536;
    PyObject* value = kwargs != nullptr ? PyDict_GetItem(kwargs, key) : nullptr;
    if (value == nullptr || value == Py_None) return true;
    // Python's and numpy's integers; not a bool.
    PyRef index(PyBool_Check(value) ? nullptr : PyNumber_Index(value));
    if (!index) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "batch_rows must be an int");
        return false;
    }
    const unsigned long long rows = PyLong_AsUnsignedLongLong(index.get());
    if (PyErr_Occurred() != nullptr || rows == 0 || rows > kMostBatchRows) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "batch_rows must be between 1 and %llu",
                     static_cast<unsigned long long>(kMostBatchRows));
        return false;
    }
    out = rows;
    return true;
}

}  // namespace tolvar::host
