// The methods of MdfFile that give its frames as a stream of record batches
// (__arrow_c_schema__, __arrow_c_stream__, iter_batches, to_polars, the
// batch_rows attribute) and the module's scan_polars. Added to the reader's
// native type once it exists; owns nothing.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tolvar::host {

// Adds the stream methods and the batch_rows attribute to `native_type`
// (the reader's native base). False with an exception set.
bool add_stream_methods(PyObject* native_type);

// Adds scan_polars to `module`. False with an exception set.
bool add_stream_functions(PyObject* module);

// The reader's keyword batch_rows (default 65,536), under `key` (the
// interned "batch_rows") in `kwargs`: a positive int. False with TypeError
// or ValueError naming it.
bool parse_batch_rows(PyObject* kwargs, PyObject* key, uint64_t& out);

}  // namespace tolvar::host
