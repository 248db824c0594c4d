// The columnar reads: walk every data group into a FrameStore (bus), size the
// columns, fill them in merge order into bytearrays, and let numpy, pandas or
// pyarrow wrap those without copying.
#include <Python.h>

#include "host/column_reads.h"

#include <algorithm>
#include <bitset>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "bus/frame_columns.h"
#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "host/column_buffer.h"
#include "host/module.h"
#include "host/py_ref.h"
#include "host/reader_state.h"

namespace tolvar::host {
namespace {

// The packages by extra, with the message a missing one raises.
constexpr const char* kNeedNumpy = "numpy is not installed: pip install python_can_tolvar_mf4[numpy]";
constexpr const char* kNeedPandas = "pandas is not installed: pip install python_can_tolvar_mf4[pandas]";
constexpr const char* kNeedArrow = "pyarrow is not installed: pip install python_can_tolvar_mf4[arrow]";

// A package, or nullptr with ImportError `message` when it cannot be
// imported (any other error passes through).
PyObject* import_package(const char* name, const char* message) {
    PyObject* module = PyImport_ImportModule(name);
    if (module == nullptr && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, message);
    }
    return module;
}

PyObject* attribute(PyObject* object, const char* name) { return PyObject_GetAttrString(object, name); }

// Fills `slot` when every step before succeeded; each step's new reference
// is kept by the module state for good once all have succeeded.
class Loader {
public:
    bool take(PyObject*& slot, PyObject* value) {
        if (value == nullptr) ok_ = false;
        if (ok_) {
            pending_.push_back({&slot, value});
        } else {
            Py_XDECREF(value);
        }
        return ok_;
    }
    bool commit() {
        for (const auto& entry : pending_) {
            if (ok_) {
                *entry.first = entry.second;
            } else {
                Py_XDECREF(entry.second);
            }
        }
        pending_.clear();
        return ok_;
    }
    ~Loader() {
        ok_ = false;
        commit();
    }

private:
    bool ok_ = true;
    std::vector<std::pair<PyObject**, PyObject*>> pending_;
};

bool load_numpy() {
    TableLibraries& t = module_state().tables;
    if (t.frombuffer != nullptr) return true;
    PyRef numpy(import_package("numpy", kNeedNumpy));
    if (!numpy) return false;
    PyRef dtype(attribute(numpy.get(), "dtype"));
    if (!dtype) return false;
    Loader l;
    auto make_dtype = [&](const char* name) { return PyObject_CallFunction(dtype.get(), "s", name); };
    l.take(t.asarray, attribute(numpy.get(), "asarray")) &&
        l.take(t.array, attribute(numpy.get(), "array")) && l.take(t.dtype_float64, make_dtype("float64")) &&
        l.take(t.dtype_uint32, make_dtype("uint32")) && l.take(t.dtype_bool, make_dtype("bool")) &&
        l.take(t.dtype_uint8, make_dtype("uint8")) && l.take(t.dtype_int16, make_dtype("int16")) &&
        l.take(t.dtype_str, attribute(numpy.get(), "str_")) && l.take(t.reshape, PyUnicode_InternFromString("reshape")) &&
        l.take(t.frombuffer, attribute(numpy.get(), "frombuffer"));
    return l.commit();
}

bool load_pyarrow(const char* message) {
    TableLibraries& t = module_state().tables;
    if (t.from_buffers != nullptr) return true;
    PyRef pa(import_package("pyarrow", message));
    if (!pa) return false;
    PyRef array_type(attribute(pa.get(), "Array"));
    PyRef dictionary_type(attribute(pa.get(), "DictionaryArray"));
    PyRef table_type(attribute(pa.get(), "Table"));
    if (!array_type || !dictionary_type || !table_type) return false;
    Loader l;
    auto make_type = [&](const char* name) { return PyObject_CallMethod(pa.get(), name, nullptr); };
    l.take(t.py_buffer, attribute(pa.get(), "py_buffer")) &&
        l.take(t.foreign_buffer, attribute(pa.get(), "foreign_buffer")) &&
        l.take(t.dictionary_from_arrays, attribute(dictionary_type.get(), "from_arrays")) &&
        l.take(t.table_from_arrays, attribute(table_type.get(), "from_arrays")) &&
        l.take(t.pa_array, attribute(pa.get(), "array")) && l.take(t.type_float64, make_type("float64")) &&
        l.take(t.type_uint32, make_type("uint32")) && l.take(t.type_bool, make_type("bool_")) &&
        l.take(t.type_uint8, make_type("uint8")) && l.take(t.type_int16, make_type("int16")) &&
        l.take(t.type_string, make_type("string")) && l.take(t.type_binary, make_type("binary")) &&
        l.take(t.type_large_binary, make_type("large_binary")) &&
        l.take(t.names, PyUnicode_InternFromString("names")) &&
        l.take(t.from_buffers, attribute(array_type.get(), "from_buffers"));
    return l.commit();
}

bool load_pandas() {
    TableLibraries& t = module_state().tables;
    if (t.data_frame != nullptr) return true;
    PyRef pandas(import_package("pandas", kNeedPandas));
    if (!pandas) return false;
    PyRef categorical(attribute(pandas.get(), "Categorical"));
    PyRef arrays(attribute(pandas.get(), "arrays"));
    if (!categorical || !arrays) return false;
    Loader l;
    l.take(t.from_codes, attribute(categorical.get(), "from_codes")) &&
        l.take(t.arrow_extension, attribute(arrays.get(), "ArrowExtensionArray")) &&
        l.take(t.copy, PyUnicode_InternFromString("copy")) &&
        l.take(t.validate, PyUnicode_InternFromString("validate")) &&
        l.take(t.data_frame, attribute(pandas.get(), "DataFrame"));
    return l.commit();
}

bool load_libraries(TableKind kind) {
    switch (kind) {
        case TableKind::kNumpy: return load_numpy();
        case TableKind::kPandas: return load_pandas() && load_numpy() && load_pyarrow(kNeedPandas);
        case TableKind::kPandasBytes: return load_pandas() && load_numpy();
        case TableKind::kArrow: return load_pyarrow(kNeedArrow);
    }
    return false;
}

// Calls `function` with the arguments (borrowed); a null argument means a
// step before failed, and the call is not made.
PyObject* call(PyObject* function, std::initializer_list<PyObject*> arguments, PyObject* kwargs = nullptr) {
    for (PyObject* argument : arguments) {
        if (argument == nullptr) return nullptr;
    }
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(arguments.size())));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* argument : arguments) {
        Py_IncRef(argument);
        PyTuple_SetItem(tuple.get(), i++, argument);
    }
    return PyObject_Call(function, tuple.get(), kwargs);
}

// The frames of every data group, walked natively.
struct Collected {
    std::vector<bus::FrameStore> stores;
    uint64_t rows = 0;
    uint64_t widest = 0;
    uint64_t payload_bytes = 0;
    std::bitset<bus::kChannelCount> channels;
};

bool collect_frames(PyObject* self, Collected& out) {
    ReaderState* state = state_of(self);
    if (state == nullptr || state->document() == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "Handle has been closed");
        return false;
    }
    bus::CollectResult result = bus::CollectResult::kDone;
    {
        // Another thread may close or reopen the reader while the lock is
        // released: the hold keeps the recording (plans, filter, Streams)
        // until the walk ends, and the walk takes none of it from `state`.
        ReaderHold hold(self);
        const uint64_t generation = state->generation;
        const double origin = state->document()->start_time();
        const bus::FrameFilter* filter = state->current.filter.get();
        const bool host_reads = state->host_reads;
        std::vector<const bus::GroupPlan*> plans;
        try {
            for (const bus::GroupPlan& plan : state->current.plans) plans.push_back(&plan);
            out.stores.resize(plans.size());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        auto walk = [&]() {
            for (size_t g = 0; g < plans.size(); ++g) {
                std::optional<bus::RecordIterator> cursor = bus::RecordIterator::create(plans[g], filter);
                if (!cursor) {
                    result = bus::CollectResult::kNoMemory;
                    return;
                }
                result = bus::collect(*cursor, origin, out.stores[g]);
                if (result != bus::CollectResult::kDone) return;
                // A file object that raised ends the read.
                if (host_reads && PyErr_Occurred() != nullptr) return;
            }
        };
        if (host_reads) {
            walk();
        } else {
            StreamGate& gate = state->stream_gate;
            Py_BEGIN_ALLOW_THREADS
            gate.enter();
            walk();
            gate.leave();
            Py_END_ALLOW_THREADS
        }
        if (PyErr_Occurred() != nullptr) return false;
        if (!reader_is_open(self, generation)) {
            PyErr_SetString(PyExc_RuntimeError, "Handle has been closed");
            return false;
        }
    }
    if (result == bus::CollectResult::kNoFrame) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown bus type");
        return false;
    }
    if (result == bus::CollectResult::kNoMemory) {
        PyErr_NoMemory();
        return false;
    }
    for (const bus::FrameStore& store : out.stores) {
        out.rows += store.size();
        out.payload_bytes += store.payload_bytes();
        if (store.widest() > out.widest) out.widest = store.widest();
        out.channels |= store.channels();
    }
    return true;
}

// The memory of one column (a ColumnBuffer, zeroed) and where it lies.
struct Buffer {
    PyRef object;
    uint8_t* bytes = nullptr;
    uint64_t size = 0;

    bool make(uint64_t bytes_wanted, const ColumnShape& shape) {
        object.reset(new_column_buffer(bytes_wanted, shape, &bytes));
        size = bytes_wanted;
        return static_cast<bool>(object);
    }
};

// The buffers of one table, filled natively.
struct Filled {
    uint64_t rows = 0;
    uint64_t width = 0;
    bool large_offsets = false;
    uint64_t text_width = 0;  // code units of the channel's text (numpy)
    Buffer timestamp, arbitration_id, dlc, channel, data, offsets;
    Buffer flags[bus::kFlagCount];
    PyRef categories;  // list of the channel names present, by code
};

// Code units of a channel name's text in ColumnTargets::channel_texts.
constexpr uint64_t kTextUnits = 8;

bool fill(Collected& collected, TableKind kind, Filled& out) {
    const uint64_t n = collected.rows;
    out.rows = n;
    const bool arrow_layout = kind == TableKind::kArrow;
    const bool numpy_layout = kind == TableKind::kNumpy;
    // Arrow offsets are 32-bit up to 2 GiB of payload.
    out.large_offsets = collected.payload_bytes > static_cast<uint64_t>(INT32_MAX);
    out.width = numpy_layout ? collected.widest : 0;

    // Channel codes count up through the channels present, in the order of
    // their codes (CAN 0 to 255, then LIN 0 to 255). numpy gets the names as
    // fixed-width text as wide as the longest (at least one character, as
    // numpy makes an empty array of strings).
    int16_t codes[bus::kChannelCount] = {};
    std::vector<uint32_t> texts;
    out.categories.reset(PyList_New(0));
    if (!out.categories) return false;
    try {
        if (numpy_layout) texts.assign(bus::kChannelCount * kTextUnits, 0);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    const ModuleState& st = module_state();
    int16_t next = 0;
    out.text_width = 1;
    for (unsigned code = 0; code < bus::kChannelCount; ++code) {
        if (!collected.channels.test(code)) continue;
        codes[code] = next++;
        PyObject* name = code < 256 ? st.can_channels[code] : st.lin_channels[code - 256];
        if (PyList_Append(out.categories.get(), name) < 0) return false;
        if (numpy_layout) {
            // The text of the name, as module.cpp makes it ("LIN 255" at the
            // longest, ASCII).
            char text[16];
            const int length = std::snprintf(text, sizeof text, "%s %u", code < 256 ? "CAN" : "LIN", code % 256);
            const uint64_t units = std::min<uint64_t>(length > 0 ? static_cast<uint64_t>(length) : 0, kTextUnits - 1);
            for (uint64_t i = 0; i < units; ++i) texts[code * kTextUnits + i] = static_cast<uint8_t>(text[i]);
            out.text_width = std::max(out.text_width, units);
        }
    }

    const uint64_t flag_bytes = arrow_layout ? (n + 7) / 8 : n;
    if (!out.timestamp.make(n * 8, {"<f8", n}) || !out.arbitration_id.make(n * 4, {"<u4", n}) ||
        !out.dlc.make(n, {"|u1", n}))
        return false;
    for (Buffer& flag : out.flags) {
        if (!flag.make(flag_bytes, {"|b1", n})) return false;
    }
    if (numpy_layout) {
        char typestr[16];
        std::snprintf(typestr, sizeof typestr, "<U%llu", static_cast<unsigned long long>(out.text_width));
        if (out.text_width != 0 && n > UINT64_MAX / (4 * out.text_width)) return PyErr_NoMemory(), false;
        if (!out.channel.make(n * 4 * out.text_width, {typestr, n})) return false;
        if (out.width != 0 && n > UINT64_MAX / out.width) return PyErr_NoMemory(), false;
        if (!out.data.make(n * out.width, {"|u1", n, out.width, true})) return false;
    } else {
        if (!out.channel.make(n * 2, {"<i2", n})) return false;
        if (!out.data.make(collected.payload_bytes, {"|u1", collected.payload_bytes}) ||
            !out.offsets.make((n + 1) * (out.large_offsets ? 8 : 4), {out.large_offsets ? "<i8" : "<i4", n + 1}))
            return false;
    }

    bus::ColumnTargets targets;
    targets.timestamp = reinterpret_cast<double*>(out.timestamp.bytes);
    targets.arbitration_id = reinterpret_cast<uint32_t*>(out.arbitration_id.bytes);
    targets.dlc = out.dlc.bytes;
    for (unsigned k = 0; k < bus::kFlagCount; ++k) targets.flags[k] = out.flags[k].bytes;
    targets.flag_bits = arrow_layout;
    // Every buffer is a ColumnBuffer: the large ones are mappings of their own.
    targets.mapped = true;
    if (numpy_layout) {
        targets.channel_text = reinterpret_cast<uint32_t*>(out.channel.bytes);
        targets.channel_text_width = out.text_width;
        targets.channel_texts = texts.data();
        targets.data_rows = out.data.bytes;
        targets.data_width = out.width;
    } else {
        targets.channel = reinterpret_cast<int16_t*>(out.channel.bytes);
        targets.channel_codes = codes;
        targets.data_values = out.data.bytes;
        if (out.large_offsets) {
            targets.offsets64 = reinterpret_cast<int64_t*>(out.offsets.bytes);
        } else {
            targets.offsets32 = reinterpret_cast<int32_t*>(out.offsets.bytes);
        }
    }
    // The stores and buffers are this call's own: no other thread sees them.
    bool ok = false;
    Py_BEGIN_ALLOW_THREADS
    ok = bus::fill_columns(collected.stores, targets);
    Py_END_ALLOW_THREADS
    if (!ok) PyErr_NoMemory();
    return ok;
}

// The column names in table order.
struct ColumnNames {
    PyObject* names[12];
};
ColumnNames column_names() {
    const Names& n = names();
    return ColumnNames{{n.timestamp, n.arbitration_id, n.is_extended_id, n.is_remote_frame, n.is_error_frame, n.is_fd,
                        n.bitrate_switch, n.error_state_indicator, n.is_rx, n.dlc, n.channel, n.data}};
}

// The buffer as a numpy array (which keeps it alive).
PyObject* numpy_of(Buffer& buffer) { return call(module_state().tables.asarray, {buffer.object.get()}); }

// The numeric and flag columns as numpy arrays, in table order (the first
// ten columns).
bool numpy_columns(Filled& f, PyRef (&columns)[12]) {
    columns[0].reset(numpy_of(f.timestamp));
    columns[1].reset(numpy_of(f.arbitration_id));
    for (unsigned k = 0; k < bus::kFlagCount; ++k) columns[2 + k].reset(numpy_of(f.flags[k]));
    columns[9].reset(numpy_of(f.dlc));
    for (unsigned i = 0; i < 10; ++i) {
        if (!columns[i]) return false;
    }
    return true;
}

// The buffer as a pyarrow.Buffer over the same memory (which keeps it alive).
PyObject* arrow_buffer(Buffer& buffer) {
    PyRef address(PyLong_FromVoidPtr(buffer.bytes));
    PyRef size(PyLong_FromUnsignedLongLong(buffer.size));
    return call(module_state().tables.foreign_buffer, {address.get(), size.get(), buffer.object.get()});
}

PyObject* arrow_array(PyObject* type, uint64_t rows, std::initializer_list<Buffer*> buffers) {
    const TableLibraries& t = module_state().tables;
    PyRef list(PyList_New(0));
    if (!list || PyList_Append(list.get(), Py_None) < 0) return nullptr;
    for (Buffer* buffer : buffers) {
        PyRef wrapped(arrow_buffer(*buffer));
        if (!wrapped || PyList_Append(list.get(), wrapped.get()) < 0) return nullptr;
    }
    PyRef length(PyLong_FromUnsignedLongLong(rows));
    return call(t.from_buffers, {type, length.get(), list.get()});
}

PyObject* arrow_data(Filled& f) {
    const TableLibraries& t = module_state().tables;
    return arrow_array(f.large_offsets ? t.type_large_binary : t.type_binary, f.rows, {&f.offsets, &f.data});
}

PyObject* make_dict(PyRef (&columns)[12]) {
    const ColumnNames keys = column_names();
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (unsigned i = 0; i < 12; ++i) {
        if (!columns[i] || PyDict_SetItem(dict.get(), keys.names[i], columns[i].get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* numpy_table(Filled& f) {
    PyRef columns[12];
    if (!numpy_columns(f, columns)) return nullptr;
    // Channel names as fixed-width strings, filled natively.
    columns[10].reset(numpy_of(f.channel));
    columns[11].reset(numpy_of(f.data));
    return make_dict(columns);
}

// Every payload as a bytes object, from the offsets.
PyObject* bytes_list(Filled& f) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(f.rows)));
    if (!list) return nullptr;
    const char* values = reinterpret_cast<const char*>(f.data.bytes);
    for (uint64_t r = 0; r < f.rows; ++r) {
        uint64_t begin, end;
        if (f.large_offsets) {
            const int64_t* o = reinterpret_cast<const int64_t*>(f.offsets.bytes);
            begin = static_cast<uint64_t>(o[r]);
            end = static_cast<uint64_t>(o[r + 1]);
        } else {
            const int32_t* o = reinterpret_cast<const int32_t*>(f.offsets.bytes);
            begin = static_cast<uint32_t>(o[r]);
            end = static_cast<uint32_t>(o[r + 1]);
        }
        PyObject* item = PyBytes_FromStringAndSize(values + begin, static_cast<Py_ssize_t>(end - begin));
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(r), item);
    }
    return list.release();
}

PyObject* pandas_table(Filled& f, bool bytes_data) {
    const TableLibraries& t = module_state().tables;
    PyRef columns[12];
    if (!numpy_columns(f, columns)) return nullptr;
    PyRef codes(numpy_of(f.channel));
    if (!codes) return nullptr;
    columns[10].reset(call(t.from_codes, {codes.get(), f.categories.get()}));
    if (bytes_data) {
        columns[11].reset(bytes_list(f));
    } else {
        PyRef binary(arrow_data(f));
        if (!binary) return nullptr;
        columns[11].reset(call(t.arrow_extension, {binary.get()}));
    }
    PyRef dict(make_dict(columns));
    if (!dict) return nullptr;
    PyRef kwargs(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), t.copy, Py_False) < 0) return nullptr;
    return call(t.data_frame, {dict.get()}, kwargs.get());
}

PyObject* arrow_table(Filled& f) {
    const TableLibraries& t = module_state().tables;
    PyRef columns[12];
    columns[0].reset(arrow_array(t.type_float64, f.rows, {&f.timestamp}));
    columns[1].reset(arrow_array(t.type_uint32, f.rows, {&f.arbitration_id}));
    for (unsigned k = 0; k < bus::kFlagCount; ++k) {
        columns[2 + k].reset(arrow_array(t.type_bool, f.rows, {&f.flags[k]}));
    }
    columns[9].reset(arrow_array(t.type_uint8, f.rows, {&f.dlc}));
    PyRef indices(arrow_array(t.type_int16, f.rows, {&f.channel}));
    PyRef dictionary(call(t.pa_array, {f.categories.get(), t.type_string}));
    columns[10].reset(call(t.dictionary_from_arrays, {indices.get(), dictionary.get()}));
    columns[11].reset(arrow_data(f));
    PyRef arrays(PyList_New(12));
    PyRef keys(PyList_New(12));
    if (!arrays || !keys) return nullptr;
    const ColumnNames names_in_order = column_names();
    for (unsigned i = 0; i < 12; ++i) {
        if (!columns[i]) return nullptr;
        PyList_SetItem(arrays.get(), i, columns[i].release());
        Py_IncRef(names_in_order.names[i]);
        PyList_SetItem(keys.get(), i, names_in_order.names[i]);
    }
    PyRef kwargs(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), t.names, keys.get()) < 0) return nullptr;
    return call(t.table_from_arrays, {arrays.get()}, kwargs.get());
}

}  // namespace

PyObject* read_table(PyObject* reader, TableKind kind) {
    if (!load_libraries(kind)) return nullptr;
    Collected collected;
    if (!collect_frames(reader, collected)) return nullptr;
    Filled filled;
    if (!fill(collected, kind, filled)) return nullptr;
    switch (kind) {
        case TableKind::kNumpy: return numpy_table(filled);
        case TableKind::kPandas: return pandas_table(filled, false);
        case TableKind::kPandasBytes: return pandas_table(filled, true);
        case TableKind::kArrow: return arrow_table(filled);
    }
    return nullptr;
}

}  // namespace tolvar::host
