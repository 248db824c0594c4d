#include <Python.h>

#include "host/frame_tables.h"

#include <bitset>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "bus/frame_columns.h"
#include "host/column_buffer.h"
#include "host/column_choice.h"
#include "host/module.h"
#include "host/py_ref.h"
#include "host/reader_state.h"

namespace tolvar::host {
namespace {

// The columns of a frame table, in table order, with what each numeric one
// is in numpy and in Arrow; the channel and the data take a form of their
// own in each kind of table.
struct ColumnSpec {
    bus::Column column;
    PyObject* Names::*name;
    const char* numpy_type;
    PyObject* TableLibraries::*arrow_type;
    uint64_t bytes;  // per row; flags one, or one bit in Arrow
};
constexpr ColumnSpec kColumns[bus::kColumnCount] = {
    {bus::Column::kTimestamp, &Names::timestamp, "<f8", &TableLibraries::type_float64, 8},
    {bus::Column::kArbitrationId, &Names::arbitration_id, "<u4", &TableLibraries::type_uint32, 4},
    {bus::Column::kIsExtendedId, &Names::is_extended_id, "|b1", &TableLibraries::type_bool, 1},
    {bus::Column::kIsRemoteFrame, &Names::is_remote_frame, "|b1", &TableLibraries::type_bool, 1},
    {bus::Column::kIsErrorFrame, &Names::is_error_frame, "|b1", &TableLibraries::type_bool, 1},
    {bus::Column::kIsFd, &Names::is_fd, "|b1", &TableLibraries::type_bool, 1},
    {bus::Column::kBitrateSwitch, &Names::bitrate_switch, "|b1", &TableLibraries::type_bool, 1},
    {bus::Column::kErrorStateIndicator, &Names::error_state_indicator, "|b1", &TableLibraries::type_bool, 1},
    {bus::Column::kIsRx, &Names::is_rx, "|b1", &TableLibraries::type_bool, 1},
    {bus::Column::kDlc, &Names::dlc, "|u1", &TableLibraries::type_uint8, 1},
    {bus::Column::kChannel, &Names::channel, nullptr, nullptr, 0},
    {bus::Column::kData, &Names::data, nullptr, nullptr, 0},
};
constexpr unsigned kChannelColumn = bus::column_index(bus::Column::kChannel);
constexpr unsigned kDataColumn = bus::column_index(bus::Column::kData);
constexpr unsigned kNumericColumns = kChannelColumn;

bus::ColumnLayout layout_of(TableKind kind, const std::bitset<bus::kColumnCount>& wanted) {
    bus::ColumnLayout layout;
    layout.wanted = wanted;
    layout.flag_bits = kind == TableKind::kArrow;
    if (kind == TableKind::kNumpy) {
        layout.channel = bus::ColumnLayout::Channel::kText;
        layout.data = bus::ColumnLayout::Data::kRows;
    }
    return layout;
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

// A filled chunk's allocations as ColumnBuffers, which the arrays made over
// them keep alive.
struct Wrapped {
    uint64_t rows = 0;
    std::bitset<bus::kColumnCount> wanted;
    PyRef columns[bus::kColumnCount];
    PyRef offsets;
    bool large_offsets = false;
    uint64_t payload_bytes = 0;
    PyRef categories;  // the channel names of the dictionary, in its order
};

// The channel names of the chunk's dictionary, in its order.
bool categories_of(const bus::ColumnChunk& chunk, PyRef& out) {
    out.reset(PyList_New(static_cast<Py_ssize_t>(chunk.dictionary.size())));
    if (!out) return false;
    const ModuleState& st = module_state();
    for (size_t i = 0; i < chunk.dictionary.size(); ++i) {
        PyObject* name = st.channels[chunk.dictionary[i]];
        Py_IncRef(name);
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), name);
    }
    return true;
}

// Only the columns wanted are wrapped; the others stay null.
bool wrap(bus::ColumnChunk& chunk, TableKind kind, const std::bitset<bus::kColumnCount>& wanted, Wrapped& out) {
    const uint64_t n = chunk.rows;
    out.rows = n;
    out.wanted = wanted;
    out.large_offsets = chunk.large_offsets;
    out.payload_bytes = chunk.payload_bytes;
    for (unsigned i = 0; i < kNumericColumns; ++i) {
        if (!wanted.test(i)) continue;
        out.columns[i].reset(new_column_buffer(std::move(chunk.columns[i]), {kColumns[i].numpy_type, n}));
        if (!out.columns[i]) return false;
    }
    stream::Allocation& channel = chunk.columns[kChannelColumn];
    stream::Allocation& data = chunk.columns[kDataColumn];
    const bool numpy = kind == TableKind::kNumpy;
    if (wanted.test(kChannelColumn)) {
        char typestr[16];
        std::snprintf(typestr, sizeof typestr, "<U%llu", static_cast<unsigned long long>(chunk.text_width));
        out.columns[kChannelColumn].reset(new_column_buffer(std::move(channel), {numpy ? typestr : "<i2", n}));
        if (!out.columns[kChannelColumn] || !categories_of(chunk, out.categories)) return false;
    }
    if (wanted.test(kDataColumn)) {
        if (numpy) {
            out.columns[kDataColumn].reset(new_column_buffer(std::move(data), {"|u1", n, chunk.data_width, true}));
        } else {
            out.columns[kDataColumn].reset(new_column_buffer(std::move(data), {"|u1", chunk.payload_bytes}));
            out.offsets.reset(
                new_column_buffer(std::move(chunk.offsets), {chunk.large_offsets ? "<i8" : "<i4", n + 1}));
            if (!out.offsets) return false;
        }
        if (!out.columns[kDataColumn]) return false;
    }
    return true;
}

// The buffer as a numpy array (which keeps it alive).
PyObject* numpy_of(const PyRef& buffer) { return call(module_state().tables.asarray, {buffer.get()}); }

// The first `size` bytes of the buffer as a pyarrow.Buffer over the same
// memory (which keeps it alive).
PyObject* arrow_buffer(const PyRef& buffer, uint64_t size) {
    PyRef address(PyLong_FromVoidPtr(column_memory(buffer.get()).data()));
    PyRef length(PyLong_FromUnsignedLongLong(size));
    return call(module_state().tables.foreign_buffer, {address.get(), length.get(), buffer.get()});
}

PyObject* arrow_array(PyObject* type, uint64_t rows, std::initializer_list<std::pair<const PyRef*, uint64_t>> buffers) {
    PyRef list(PyList_New(0));
    if (!list || PyList_Append(list.get(), Py_None) < 0) return nullptr;
    for (const auto& [buffer, size] : buffers) {
        PyRef wrapped(arrow_buffer(*buffer, size));
        if (!wrapped || PyList_Append(list.get(), wrapped.get()) < 0) return nullptr;
    }
    PyRef length(PyLong_FromUnsignedLongLong(rows));
    return call(module_state().tables.from_buffers, {type, length.get(), list.get()});
}

// The data column as an Arrow binary array.
PyObject* arrow_data(const Wrapped& w) {
    const TableLibraries& t = module_state().tables;
    const uint64_t offsets = (w.rows + 1) * (w.large_offsets ? 8 : 4);
    const uint64_t values = w.payload_bytes;
    return arrow_array(w.large_offsets ? t.type_large_binary : t.type_binary, w.rows,
                       {{&w.offsets, offsets}, {&w.columns[kDataColumn], values}});
}

// Every payload as a bytes object, from the offsets.
PyObject* bytes_list(const Wrapped& w) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(w.rows)));
    if (!list) return nullptr;
    const char* values = reinterpret_cast<const char*>(column_memory(w.columns[kDataColumn].get()).data());
    const uint8_t* offsets = column_memory(w.offsets.get()).data();
    for (uint64_t r = 0; r < w.rows; ++r) {
        uint64_t begin, end;
        if (w.large_offsets) {
            const int64_t* o = reinterpret_cast<const int64_t*>(offsets);
            begin = static_cast<uint64_t>(o[r]);
            end = static_cast<uint64_t>(o[r + 1]);
        } else {
            const int32_t* o = reinterpret_cast<const int32_t*>(offsets);
            begin = static_cast<uint32_t>(o[r]);
            end = static_cast<uint32_t>(o[r + 1]);
        }
        PyObject* item = PyBytes_FromStringAndSize(values + begin, static_cast<Py_ssize_t>(end - begin));
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(r), item);
    }
    return list.release();
}

// The channel and data columns in the form the table's kind wants.
bool make_text_columns(const Wrapped& w, TableKind kind, PyRef (&columns)[bus::kColumnCount]) {
    const TableLibraries& t = module_state().tables;
    const bool channel = w.wanted.test(kChannelColumn);
    const bool data = w.wanted.test(kDataColumn);
    switch (kind) {
        case TableKind::kNumpy:
            if (channel) columns[kChannelColumn].reset(numpy_of(w.columns[kChannelColumn]));
            if (data) columns[kDataColumn].reset(numpy_of(w.columns[kDataColumn]));
            break;
        case TableKind::kPandas:
        case TableKind::kPandasBytes: {
            if (channel) {
                PyRef codes(numpy_of(w.columns[kChannelColumn]));
                columns[kChannelColumn].reset(call(t.from_codes, {codes.get(), w.categories.get()}));
            }
            if (data && kind == TableKind::kPandasBytes) {
                columns[kDataColumn].reset(bytes_list(w));
            } else if (data) {
                PyRef binary(arrow_data(w));
                columns[kDataColumn].reset(call(t.arrow_extension, {binary.get()}));
            }
            break;
        }
        case TableKind::kArrow: {
            if (channel) {
                PyRef indices(arrow_array(t.type_int16, w.rows, {{&w.columns[kChannelColumn], w.rows * 2}}));
                PyRef dictionary(call(t.pa_array, {w.categories.get(), t.type_string}));
                columns[kChannelColumn].reset(call(t.dictionary_from_arrays, {indices.get(), dictionary.get()}));
            }
            if (data) columns[kDataColumn].reset(arrow_data(w));
            break;
        }
    }
    return (!channel || columns[kChannelColumn]) && (!data || columns[kDataColumn]);
}

// Every column wanted in the form its kind wants, in table order.
bool make_columns(const Wrapped& w, TableKind kind, PyRef (&columns)[bus::kColumnCount]) {
    const TableLibraries& t = module_state().tables;
    for (unsigned i = 0; i < kNumericColumns; ++i) {
        if (!w.wanted.test(i)) continue;
        if (kind == TableKind::kArrow) {
            const bool flag = i >= bus::kFirstFlagColumn && i < bus::kFirstFlagColumn + bus::kFlagCount;
            const uint64_t bytes = flag ? (w.rows + 7) / 8 : w.rows * kColumns[i].bytes;
            columns[i].reset(arrow_array(t.*kColumns[i].arrow_type, w.rows, {{&w.columns[i], bytes}}));
        } else {
            columns[i].reset(numpy_of(w.columns[i]));
        }
        if (!columns[i]) return false;
    }
    return make_text_columns(w, kind, columns);
}

// The columns as the table of its kind: a dict (numpy), a DataFrame
// (pandas, over the same arrays) or a pyarrow.Table.
PyObject* make_table(PyRef (&columns)[bus::kColumnCount], const std::bitset<bus::kColumnCount>& wanted,
                     TableKind kind) {
    const TableLibraries& t = module_state().tables;
    const Names& n = names();
    if (kind == TableKind::kArrow) {
        PyRef arrays(PyList_New(0));
        PyRef keys(PyList_New(0));
        if (!arrays || !keys) return nullptr;
        for (unsigned i = 0; i < bus::kColumnCount; ++i) {
            if (!wanted.test(i)) continue;
            if (PyList_Append(arrays.get(), columns[i].get()) < 0) return nullptr;
            if (PyList_Append(keys.get(), n.*kColumns[i].name) < 0) return nullptr;
        }
        PyRef kwargs(PyDict_New());
        if (!kwargs || PyDict_SetItem(kwargs.get(), t.names, keys.get()) < 0) return nullptr;
        return call(t.table_from_arrays, {arrays.get()}, kwargs.get());
    }
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (unsigned i = 0; i < bus::kColumnCount; ++i) {
        if (!wanted.test(i)) continue;
        if (PyDict_SetItem(dict.get(), n.*kColumns[i].name, columns[i].get()) < 0) return nullptr;
    }
    if (kind == TableKind::kNumpy) return dict.release();
    PyRef kwargs(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), t.copy, Py_False) < 0) return nullptr;
    return call(t.data_frame, {dict.get()}, kwargs.get());
}

}  // namespace

PyObject* read_table(PyObject* reader, TableKind kind, const std::bitset<bus::kColumnCount>& wanted) {
    if (!load_libraries(kind)) return nullptr;
    const bus::ColumnLayout layout = layout_of(kind, wanted);
    bus::ColumnChunk chunk;
    bus::ColumnResult result = bus::ColumnResult::kNoMemory;
    auto work = [&](const RecordingParts& recording, WalkStop stop, void* stop_context) {
        std::unique_ptr<bus::FrameColumns> columns = bus::FrameColumns::open(
            recording.plans, recording.plan_count, recording.filter, recording.origin, layout, 0);
        if (columns) result = columns->next(chunk, stop, stop_context);
    };
    if (!run_walk(reader, work)) return nullptr;
    switch (result) {
        case bus::ColumnResult::kChunk:
        case bus::ColumnResult::kEnd: break;
        case bus::ColumnResult::kNoFrame:
            PyErr_SetString(PyExc_RuntimeError, "Unknown bus type");
            return nullptr;
        case bus::ColumnResult::kNoMemory:
        case bus::ColumnResult::kStopped:
            return PyErr_NoMemory();
    }
    Wrapped wrapped;
    if (!wrap(chunk, kind, wanted, wrapped)) return nullptr;
    PyRef columns[bus::kColumnCount];
    if (!make_columns(wrapped, kind, columns)) return nullptr;
    return make_table(columns, wanted, kind);
}

PyObject* frame_table(PyObject* reader, PyObject* args, PyObject* kwargs, TableKind kind) {
    static const char* pandas_keywords[] = {"columns", "data", nullptr};
    static const char* keywords[] = {"columns", nullptr};
    PyObject* columns = Py_None;
    const char* data = "arrow";
    const bool pandas = kind == TableKind::kPandas;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, pandas ? "|$Os:to_pandas" : "|$O:frame_table",
                                     const_cast<char**>(pandas ? pandas_keywords : keywords), &columns, &data)) {
        return nullptr;
    }
    if (pandas && std::strcmp(data, "bytes") == 0) {
        kind = TableKind::kPandasBytes;
    } else if (pandas && std::strcmp(data, "arrow") != 0) {
        PyErr_SetString(PyExc_ValueError, "data must be \"arrow\" or \"bytes\"");
        return nullptr;
    }
    std::bitset<bus::kColumnCount> wanted;
    if (!parse_columns(columns, wanted)) return nullptr;
    return read_table(reader, kind, wanted);
}

}  // namespace tolvar::host
