// Calls that wrap native columns as the table packages' objects, shared by
// the tables that hand their allocations over without a copy: a call with
// borrowed arguments, a ColumnBuffer as a numpy array, and as a pyarrow
// array of plain buffers (with a validity bitmap where values are null).
// Borrows its arguments; returns new references.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>

#include "host/py_ref.h"

namespace tolvar::host {

// `function` called with the arguments (borrowed); a null argument means a
// step before failed, and the call is not made (nullptr, its exception set).
PyObject* call(PyObject* function, std::initializer_list<PyObject*> arguments, PyObject* kwargs = nullptr);

// A ColumnBuffer as a numpy array (which keeps it alive).
PyObject* numpy_of(const PyRef& buffer);

// The first `size` bytes of a ColumnBuffer as a pyarrow.Buffer over the same
// memory (which keeps it alive).
PyObject* arrow_buffer(const PyRef& buffer, uint64_t size);

// A pyarrow array of `type` and `rows` rows over `data` (its first
// data_size bytes); with `validity` (a ColumnBuffer of Arrow's bitmap, or
// empty where every row holds a value) and `nulls` rows that hold none.
PyObject* arrow_array(PyObject* type, uint64_t rows, const PyRef& data, uint64_t data_size,
                      const PyRef& validity = PyRef(), uint64_t nulls = 0);

}  // namespace tolvar::host
