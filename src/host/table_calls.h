// Calls that wrap native columns as the table packages' objects, shared by
// every table that hands its allocations over without a copy (the frame
// tables and the decoded signal tables): a call with borrowed arguments, a
// ColumnBuffer as a numpy array or as pyarrow buffers and arrays, channel
// names, dictionary-encoded columns, and the columns as a dict, DataFrame or
// pyarrow.Table. Borrows its arguments; returns new references.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "host/py_ref.h"
#include "host/table_libraries.h"

namespace tolvar::host {

// `function` called with the arguments (borrowed); a null argument means a
// step before failed, and the call is not made (nullptr, its exception set).
PyObject* call(PyObject* function, std::initializer_list<PyObject*> arguments, PyObject* kwargs = nullptr);

// A ColumnBuffer as a numpy array (which keeps it alive).
PyObject* numpy_of(const PyRef& buffer);

// The first `size` bytes of a ColumnBuffer as a pyarrow.Buffer over the same
// memory (which keeps it alive).
PyObject* arrow_buffer(const PyRef& buffer, uint64_t size);

// One of an Arrow array's buffers: a ColumnBuffer and the bytes of it the
// array spans.
struct ArrowPart {
    const PyRef* buffer;
    uint64_t size;
};

// A pyarrow array of `type` and `rows` rows over `parts` (its buffers after
// the validity bitmap, in Arrow's order: the offsets, then the values, of a
// binary array); with `validity` (a ColumnBuffer of Arrow's bitmap, or empty
// where every row holds a value) and `nulls` rows that hold none.
PyObject* arrow_array(PyObject* type, uint64_t rows, std::initializer_list<ArrowPart> parts,
                      const PyRef& validity = PyRef(), uint64_t nulls = 0);
// ... of one buffer, its first data_size bytes.
inline PyObject* arrow_array(PyObject* type, uint64_t rows, const PyRef& data, uint64_t data_size,
                             const PyRef& validity = PyRef(), uint64_t nulls = 0) {
    return arrow_array(type, rows, {ArrowPart{&data, data_size}}, validity, nulls);
}

// The names of channel codes ("CAN 1"), in the dictionary's order: a list
// of str.
PyObject* channel_names(const std::vector<uint16_t>& dictionary);

// A dictionary-encoded column: pandas' Categorical for the pandas kinds,
// Arrow's dictionary array otherwise; `codes` (a ColumnBuffer of int16 or
// int32, `width` bytes each, -1 where null) into `categories` (a list of
// str), `arrow_type` the codes' type, with Arrow's validity bitmap where some
// are null.
PyObject* categorical(TableKind kind, PyObject* arrow_type, const PyRef& codes, uint64_t width, uint64_t rows,
                      PyObject* categories, const PyRef& validity = PyRef(), uint64_t nulls = 0);

// The columns (a list) under their keys (a list of str, in the same order)
// as the table of `kind`: a dict of numpy arrays, a DataFrame over the same
// arrays, or a pyarrow.Table.
PyObject* table_of(TableKind kind, PyObject* keys, PyObject* columns);

}  // namespace tolvar::host
