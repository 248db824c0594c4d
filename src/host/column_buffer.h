// ColumnBuffer: the native memory of one column of a table (to_numpy,
// to_pandas, to_arrow), held by a small Python object that the numpy array
// or Arrow buffer made over it keeps alive. A ColumnBuffer owns its
// allocation; the functions here take what they are given.
#pragma once

#include <Python.h>

#include <cstdint>

#include "stream/allocation.h"

namespace tolvar::host {

// What numpy sees of a buffer (its __array_interface__): `rows` elements of
// numpy's type `typestr` ("<f8", "|b1", "<U5" ...), or with `matrix` a
// two-dimensional array of rows x width.
struct ColumnShape {
    const char* typestr;
    uint64_t rows;
    uint64_t width = 0;
    bool matrix = false;
};

// A new buffer owning `memory` (moved in, whatever the outcome); nullptr with
// MemoryError when the object cannot be made.
PyObject* new_column_buffer(stream::Allocation&& memory, const ColumnShape& shape);

// The memory a ColumnBuffer holds.
const stream::Allocation& column_memory(PyObject* buffer);

}  // namespace tolvar::host
