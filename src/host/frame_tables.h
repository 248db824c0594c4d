// The frame tables of an MdfFile: every frame its iteration gives, as one
// row of numpy arrays, a pandas.DataFrame or a pyarrow.Table. The column
// path (bus::FrameColumns) walks and fills natively, without the interpreter
// lock where the recording is read without host code; here the packages are
// loaded and the filled allocations wrapped, without a copy, by one list of
// columns. Borrows the reader.
#pragma once

#include <Python.h>

#include <bitset>

#include "bus/column_layout.h"
#include "host/table_libraries.h"

namespace tolvar::host {

// A new reference to the table of `reader` (an MdfFile), or nullptr with an
// exception set: ImportError naming the extra to install when the package
// is missing, RuntimeError "Handle has been closed", RuntimeError "Unknown
// bus type" where iteration would raise it, MemoryError.
PyObject* read_table(PyObject* reader, TableKind kind, const std::bitset<bus::kColumnCount>& wanted);

// to_numpy, to_arrow and to_pandas (kind kPandas; its data= keyword picks
// kPandasBytes) with their keywords: columns= (an iterable of column names,
// None for all) fills only the columns named, in table order; the others
// are neither walked into nor wrapped. TypeError or ValueError for a bad
// choice, then as read_table.
PyObject* frame_table(PyObject* reader, PyObject* args, PyObject* kwargs, TableKind kind);

}  // namespace tolvar::host
