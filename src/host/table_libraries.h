// The packages the tables are made with (numpy, pandas, pyarrow), imported
// on first use into the module state (TableLibraries), all of one package's
// names or none. Owns nothing: what a load takes is the module state's.
#pragma once

#include <Python.h>

namespace tolvar::host {

enum class TableKind {
    kNumpy,        // dict of numpy arrays
    kPandas,       // DataFrame, data as an Arrow-backed binary column
    kPandasBytes,  // DataFrame, data as bytes objects
    kArrow,        // pyarrow.Table
};

// Imports what a table of `kind` needs; false with ImportError naming the
// extra to install when a package is missing (any other error passes
// through).
bool load_libraries(TableKind kind);

}  // namespace tolvar::host
