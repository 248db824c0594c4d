// ColumnBuffer: the native memory of one column of a table (to_numpy,
// to_pandas, to_arrow), held by a small Python object that the numpy array
// or Arrow buffer made over it keeps alive. A ColumnBuffer owns its memory;
// the functions here borrow what they are given.
#pragma once

#include <Python.h>

#include <cstdint>

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

// A new buffer of `size` bytes, all zero; `memory` gets them. A buffer of at
// least bus::kMappedFrom bytes is a mapping of bus::map_memory(size) of its
// own (ColumnTargets::mapped). nullptr with MemoryError when the memory
// cannot be had.
PyObject* new_column_buffer(uint64_t size, const ColumnShape& shape, uint8_t** memory);

}  // namespace tolvar::host
