#include <Python.h>

#include "host/decoded_tables.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "bus/signal_decoder.h"
#include "bus/signal_walk.h"
#include "host/column_buffer.h"
#include "host/module.h"
#include "host/py_ref.h"
#include "host/reader_state.h"
#include "host/signal_database_reader.h"
#include "host/table_calls.h"

namespace tolvar::host {
namespace {

// What one signal column needs from the interpreter, made before the walk:
// its key, and where it gives value names, the names as the table wants
// them (UCS-4 for numpy's fixed-width text, str objects for the others).
struct ColumnNames {
    PyRef key;
    std::vector<std::u32string> text;
    PyRef categories;  // list of str
};

// What the walk leaves per table beside its decoded columns: the channel as
// the table wants it, and per signal column numpy's text of value names or
// Arrow's validity bitmap.
struct Forms {
    stream::Allocation channel_text;
    uint64_t channel_width = 0;
    std::vector<uint16_t> dictionary;
    std::vector<stream::Allocation> extra;
    std::vector<uint64_t> sizes;  // per column: the text's width, or the rows without a value
};

struct Call {
    TableKind kind;
    bool row_numbers;
    DecodeRequest request;
    bus::SignalProgram program;
    std::vector<std::vector<ColumnNames>> names;  // per table
};

// UCS-4 of UTF-8 text read from a str (so well formed).
bool ucs4_of(const std::string& utf8, std::u32string& out) {
    PyRef text(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
    if (!text) return false;
    Py_UCS4* copy = PyUnicode_AsUCS4Copy(text.get());
    if (copy == nullptr) return false;
    out.assign(reinterpret_cast<const char32_t*>(copy), static_cast<size_t>(PyUnicode_GetLength(text.get())));
    PyMem_Free(copy);
    return true;
}

PyObject* str_of(const std::string& utf8) {
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
}

// The keys and value names of every column. A signal named as one of the
// table's own columns is keyed "MESSAGE.SIGNAL", so that neither hides the
// other.
bool name_columns(Call& c) {
    const SignalLibrary& l = module_state().signal_library;
    const Names& n = names();
    c.names.resize(c.program.table_count());
    for (size_t t = 0; t < c.program.table_count(); ++t) {
        const bus::TableInfo& info = c.program.table(t);
        const bus::MessageDescription& message = c.request.description.databases[info.database].messages[info.message];
        for (const bus::TableColumn& column : info.columns) {
            ColumnNames out;
            const std::string& name = message.signals[column.signal].name;
            out.key.reset(str_of(name));
            if (!out.key) return false;
            for (PyObject* own : {n.timestamp, n.channel, info.source_address ? l.source_address : nullptr,
                                  c.row_numbers ? l.row : nullptr}) {
                const int same = own != nullptr ? PyObject_RichCompareBool(out.key.get(), own, Py_EQ) : 0;
                if (same < 0) return false;
                if (same > 0) out.key.reset(str_of(message.name + "." + name));
                if (!out.key) return false;
            }
            if (column.kind == bus::ColumnKind::kCode && c.kind == TableKind::kNumpy) {
                out.text.resize(column.value_names.size());
                for (size_t i = 0; i < column.value_names.size(); ++i) {
                    if (!ucs4_of(column.value_names[i], out.text[i])) return false;
                }
            } else if (column.kind == bus::ColumnKind::kCode) {
                out.categories.reset(PyList_New(static_cast<Py_ssize_t>(column.value_names.size())));
                if (!out.categories) return false;
                for (size_t i = 0; i < column.value_names.size(); ++i) {
                    PyObject* item = str_of(column.value_names[i]);
                    if (item == nullptr) return false;
                    PyList_SetItem(out.categories.get(), static_cast<Py_ssize_t>(i), item);
                }
            }
            c.names[t].push_back(std::move(out));
        }
    }
    return true;
}

// The forms of a decoded table, made without the interpreter: false when
// memory runs out.
bool make_forms(const Call& c, size_t t, bus::MessageTable& table, Forms& forms) {
    const uint64_t rows = table.rows();
    if (c.kind == TableKind::kNumpy) {
        forms.channel_text = bus::channel_text(table.channel(), rows, forms.channel_width);
        if (!forms.channel_text) return false;
    } else {
        bus::channel_indices(table.channel(), rows, forms.dictionary);
    }
    forms.extra.resize(table.column_count());
    forms.sizes.resize(table.column_count());
    for (size_t col = 0; col < table.column_count(); ++col) {
        const bool coded = table.kind(col) == bus::ColumnKind::kCode;
        stream::Allocation& extra = forms.extra[col];
        if (c.kind == TableKind::kNumpy && coded) {
            extra = bus::names_text(table.codes(col), rows, c.names[t][col].text, forms.sizes[col]);
        } else if (c.kind == TableKind::kArrow) {
            extra = coded ? bus::code_validity(table.codes(col), rows, forms.sizes[col])
                          : bus::value_validity(table.values(col), rows, forms.sizes[col]);
        } else {
            continue;
        }
        if (!extra) return false;
    }
    return true;
}

// A column buffer over `memory` as numpy sees it.
PyRef buffer_of(stream::Allocation& memory, const char* typestr, uint64_t rows) {
    return PyRef(new_column_buffer(std::move(memory), {typestr, rows}));
}

PyRef text_buffer(stream::Allocation& memory, uint64_t width, uint64_t rows) {
    char typestr[24];
    std::snprintf(typestr, sizeof typestr, "<U%llu", static_cast<unsigned long long>(width));
    return buffer_of(memory, typestr, rows);
}

// A numeric column as its kind of table wants it.
PyObject* numeric(TableKind kind, PyObject* arrow_type, const PyRef& buffer, uint64_t rows, uint64_t width) {
    if (kind == TableKind::kArrow) return arrow_array(arrow_type, rows, buffer, rows * width);
    return numpy_of(buffer);
}

// One signal column.
PyObject* signal_column(const Call& c, bus::MessageTable& table, Forms& forms, size_t col, const ColumnNames& names) {
    const TableLibraries& t = module_state().tables;
    const uint64_t rows = table.rows();
    stream::Allocation& memory = table.column_memory(col);
    if (table.kind(col) == bus::ColumnKind::kValue) {
        PyRef values(buffer_of(memory, "<f8", rows));
        if (c.kind != TableKind::kArrow) return numpy_of(values);
        PyRef validity(forms.sizes[col] != 0 ? buffer_of(forms.extra[col], "|u1", (rows + 7) / 8) : PyRef());
        if (forms.sizes[col] != 0 && !validity) return nullptr;
        return arrow_array(t.type_float64, rows, values, rows * 8, validity, forms.sizes[col]);
    }
    if (c.kind == TableKind::kNumpy) {
        PyRef text(text_buffer(forms.extra[col], forms.sizes[col], rows));
        return numpy_of(text);
    }
    PyRef codes(buffer_of(memory, "<i4", rows));
    PyRef validity;
    if (c.kind == TableKind::kArrow && forms.sizes[col] != 0) {
        validity = buffer_of(forms.extra[col], "|u1", (rows + 7) / 8);
        if (!validity) return nullptr;
    }
    return categorical(c.kind, t.type_int32, codes, 4, rows, names.categories.get(), validity, forms.sizes[col]);
}

// Appends key and column to the lists; false (exception set) when the
// column is null.
bool add(PyObject* keys, PyObject* columns, PyObject* key, PyObject* column) {
    PyRef owned(column);
    return owned && PyList_Append(keys, key) == 0 && PyList_Append(columns, owned.get()) == 0;
}

// The table of table t, in the kind of the call.
PyObject* make_table(const Call& c, size_t t, bus::MessageTable& table, Forms& forms) {
    const TableLibraries& libraries = module_state().tables;
    const SignalLibrary& l = module_state().signal_library;
    const Names& n = names();
    const uint64_t rows = table.rows();
    PyRef keys(PyList_New(0));
    PyRef columns(PyList_New(0));
    if (!keys || !columns) return nullptr;
    PyRef timestamp(buffer_of(table.timestamp_memory(), "<f8", rows));
    if (!add(keys.get(), columns.get(), n.timestamp, numeric(c.kind, libraries.type_float64, timestamp, rows, 8))) {
        return nullptr;
    }
    PyObject* channel = nullptr;
    if (c.kind == TableKind::kNumpy) {
        channel = numpy_of(text_buffer(forms.channel_text, forms.channel_width, rows));
    } else {
        PyRef codes(buffer_of(table.channel_memory(), "<i2", rows));
        PyRef categories(channel_names(forms.dictionary));
        channel = categories ? categorical(c.kind, libraries.type_int16, codes, 2, rows, categories.get()) : nullptr;
    }
    if (!add(keys.get(), columns.get(), n.channel, channel)) return nullptr;
    if (table.has_source_address()) {
        PyRef address(buffer_of(table.source_address_memory(), "|u1", rows));
        PyObject* column = numeric(c.kind, libraries.type_uint8, address, rows, 1);
        if (!add(keys.get(), columns.get(), l.source_address, column)) return nullptr;
    }
    for (size_t col = 0; col < table.column_count(); ++col) {
        const ColumnNames& names = c.names[t][col];
        PyObject* column = signal_column(c, table, forms, col, names);
        if (!add(keys.get(), columns.get(), names.key.get(), column)) return nullptr;
    }
    if (table.has_row_numbers()) {
        PyRef row(buffer_of(table.row_number_memory(), "<u8", rows));
        if (!add(keys.get(), columns.get(), l.row, numpy_of(row))) return nullptr;
    }
    return table_of(c.kind, keys.get(), columns.get());
}

bool parse(PyObject* args, PyObject* kwargs, const char* method, PyObject*& database, PyObject*& signals,
           bool& choices) {
    static const char* keywords[] = {"database", "signals", "choices", nullptr};
    char format[64];
    std::snprintf(format, sizeof format, "O|$Op:%s", method);
    int chosen = 0;
    signals = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &database, &signals,
                                     &chosen)) {
        return false;
    }
    choices = chosen != 0;
    return true;
}

}  // namespace

PyObject* decode_tables(PyObject* reader, PyObject* args, PyObject* kwargs, TableKind kind, const char* method,
                        bool row_numbers) {
    PyObject* database = nullptr;
    PyObject* signals = nullptr;
    bool choices = false;
    if (!parse(args, kwargs, method, database, signals, choices)) return nullptr;
    ReaderState* state = state_of(reader);
    if (state == nullptr || state->document() == nullptr) return raise_closed();
    // The decoded tables of pandas need no Arrow: numpy and pandas alone.
    if (!load_libraries(kind == TableKind::kPandas ? TableKind::kPandasBytes : kind)) return nullptr;
    std::unique_ptr<Call> c(new (std::nothrow) Call{kind, row_numbers, {}, {}, {}});
    if (!c) return PyErr_NoMemory();
    if (!read_decode_request(database, signals, choices, c->request)) return nullptr;
    if (!compile_request(c->request, c->program)) return nullptr;
    std::vector<Forms> forms;
    std::unique_ptr<bus::SignalDecoder> decoder;
    try {
        if (!name_columns(*c)) return nullptr;
        forms.resize(c->program.table_count());
        decoder = std::make_unique<bus::SignalDecoder>(c->program, row_numbers);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    bus::ColumnResult result = bus::ColumnResult::kNoMemory;
    auto work = [&](const RecordingParts& recording, WalkStop stop, void* stop_context) {
        result = bus::decode_frames(recording.plans, recording.plan_count, recording.filter, recording.origin,
                                    *decoder, stop, stop_context);
        if (result != bus::ColumnResult::kEnd) return;
        try {
            std::vector<bus::MessageTable>& tables = decoder->tables();
            for (size_t t = 0; t < tables.size(); ++t) {
                if (tables[t].rows() != 0 && !make_forms(*c, t, tables[t], forms[t])) {
                    result = bus::ColumnResult::kNoMemory;
                    return;
                }
            }
        } catch (const std::bad_alloc&) {
            result = bus::ColumnResult::kNoMemory;
        }
    };
    if (!run_walk(reader, work)) return nullptr;
    if (!table_walk_succeeded(result)) return nullptr;
    PyRef out(PyDict_New());
    if (!out) return nullptr;
    std::vector<bus::MessageTable>& tables = decoder->tables();
    for (size_t t = 0; t < tables.size(); ++t) {
        if (tables[t].rows() == 0) continue;
        PyRef key(str_of(c->request.keys[t]));
        PyRef table(key ? make_table(*c, t, tables[t], forms[t]) : nullptr);
        if (!table || PyDict_SetItem(out.get(), key.get(), table.get()) < 0) return nullptr;
        // The table's memory is the arrays' now; what is left goes at once.
        tables[t] = bus::MessageTable();
        forms[t] = Forms();
    }
    return out.release();
}

PyObject* decode_to_numpy(PyObject* reader, PyObject* args, PyObject* kwargs) {
    return decode_tables(reader, args, kwargs, TableKind::kNumpy, "decode_to_numpy");
}
PyObject* decode_to_pandas(PyObject* reader, PyObject* args, PyObject* kwargs) {
    return decode_tables(reader, args, kwargs, TableKind::kPandas, "decode_to_pandas");
}
PyObject* decode_to_arrow(PyObject* reader, PyObject* args, PyObject* kwargs) {
    return decode_tables(reader, args, kwargs, TableKind::kArrow, "decode_to_arrow");
}
PyObject* decode_rows(PyObject* reader, PyObject* args, PyObject* kwargs) {
    return decode_tables(reader, args, kwargs, TableKind::kNumpy, "_decode_rows", true);
}

const char* const kDecodeToNumpyDoc =
    "decode_to_numpy(database, *, signals=None, choices=False)\n\n"
    "The signals of a CAN database (a cantools database, a path cantools loads, or a mapping of\n"
    "channel names such as \"CAN 1\" to either) decoded from the frames iteration gives: a dict of\n"
    "message name to a dict of numpy arrays (timestamp, channel, then one float64 per signal, NaN\n"
    "where absent), for the messages that frames matched, in the database's order.";
const char* const kDecodeToPandasDoc =
    "decode_to_pandas(database, *, signals=None, choices=False)\n\n"
    "As decode_to_numpy, a pandas.DataFrame per message.";
const char* const kDecodeToArrowDoc =
    "decode_to_arrow(database, *, signals=None, choices=False)\n\n"
    "As decode_to_numpy, a pyarrow.Table per message; absent values are null.";
const char* const kDecodeRowsDoc = "decode_to_numpy, each table with a column 'row': each row's place among the "
                                   "frames iteration gives.";

}  // namespace tolvar::host
