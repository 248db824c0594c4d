#include <Python.h>

#include "host/frame_tables.h"

#include <bitset>
#include <cstdio>
#include <cstring>
#include <memory>

#include "bus/frame_columns.h"
#include "host/column_buffer.h"
#include "host/column_choice.h"
#include "host/module.h"
#include "host/py_ref.h"
#include "host/reader_state.h"
#include "host/table_calls.h"

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

// A filled chunk's allocations as ColumnBuffers, which the arrays made over
// them keep alive.
struct Wrapped {
    uint64_t rows = 0;
    PyRef columns[bus::kColumnCount];
    PyRef offsets;
    bool large_offsets = false;
    uint64_t payload_bytes = 0;
    PyRef categories;  // the channel names of the dictionary, in its order
    std::bitset<bus::kColumnCount> wanted;
};

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
        out.categories.reset(channel_names(chunk.dictionary));
        if (!out.columns[kChannelColumn] || !out.categories) return false;
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

// The data column as an Arrow binary array.
PyObject* arrow_data(const Wrapped& w) {
    const TableLibraries& t = module_state().tables;
    const uint64_t offsets = (w.rows + 1) * (w.large_offsets ? 8 : 4);
    const uint64_t values = w.payload_bytes;
    return arrow_array(w.large_offsets ? t.type_large_binary : t.type_binary, w.rows,
                       {ArrowPart{&w.offsets, offsets}, ArrowPart{&w.columns[kDataColumn], values}});
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
    if (channel) {
        columns[kChannelColumn].reset(
            kind == TableKind::kNumpy
                ? numpy_of(w.columns[kChannelColumn])
                : categorical(kind, t.type_int16, w.columns[kChannelColumn], 2, w.rows, w.categories.get()));
    }
    if (data) {
        switch (kind) {
            case TableKind::kNumpy: columns[kDataColumn].reset(numpy_of(w.columns[kDataColumn])); break;
            case TableKind::kPandasBytes: columns[kDataColumn].reset(bytes_list(w)); break;
            case TableKind::kPandas: {
                PyRef binary(arrow_data(w));
                columns[kDataColumn].reset(call(t.arrow_extension, {binary.get()}));
                break;
            }
            case TableKind::kArrow: columns[kDataColumn].reset(arrow_data(w)); break;
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
            columns[i].reset(arrow_array(t.*kColumns[i].arrow_type, w.rows, w.columns[i], bytes));
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
    const Names& n = names();
    PyRef arrays(PyList_New(0));
    PyRef keys(PyList_New(0));
    if (!arrays || !keys) return nullptr;
    for (unsigned i = 0; i < bus::kColumnCount; ++i) {
        if (!wanted.test(i)) continue;
        if (PyList_Append(arrays.get(), columns[i].get()) < 0) return nullptr;
        if (PyList_Append(keys.get(), n.*kColumns[i].name) < 0) return nullptr;
    }
    return table_of(kind, keys.get(), arrays.get());
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
    if (!table_walk_succeeded(result)) return nullptr;
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
    const char* format = pandas ? "|$Os:to_pandas" : kind == TableKind::kNumpy ? "|$O:to_numpy" : "|$O:to_arrow";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(pandas ? pandas_keywords : keywords),
                                     &columns, &data)) {
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
