// The columnar reads of an MdfFile: every frame its iteration gives, as one
// row of numpy arrays, a pandas.DataFrame or a pyarrow.Table. The walk and
// the fill run natively (without the interpreter lock where the recording is
// read without host code); numpy, pandas and pyarrow only wrap the filled
// buffers, through their Python functions. Borrows the reader.
#pragma once

#include <Python.h>

namespace tolvar::host {

enum class TableKind {
    kNumpy,        // dict of numpy arrays
    kPandas,       // DataFrame, data as an Arrow-backed binary column
    kPandasBytes,  // DataFrame, data as bytes objects
    kArrow,        // pyarrow.Table
};

// A new reference to the table of `reader` (an MdfFile), or nullptr with an
// exception set: ImportError naming the extra to install when the package
// is missing, RuntimeError "Handle has been closed", RuntimeError "Unknown
// bus type" where iteration would raise it, MemoryError.
PyObject* read_table(PyObject* reader, TableKind kind);

}  // namespace tolvar::host
