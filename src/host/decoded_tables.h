// The decode methods of an MdfFile (decode_to_numpy, decode_to_pandas,
// decode_to_arrow): the database read and compiled once per call with the
// interpreter lock held, the recording's frames walked, merged and decoded
// natively without it where the recording is read without host code
// (bus::decode_frames), and each message's table wrapped, without a copy, as
// numpy arrays, a pandas.DataFrame or a pyarrow.Table. Borrows the reader.
#pragma once

#include <Python.h>

#include "host/table_libraries.h"

namespace tolvar::host {

// A new reference to a dict of one table per message that frames matched,
// keyed as the database reader keys them, in the databases' order; or
// nullptr with an exception set. The arguments are those of the methods:
// database, then signals=None and choices=False by keyword; `method` names
// the method in argument errors. With `row_numbers` (numpy tables only),
// each table ends with a column "row": each row's place among the frames
// iteration gives, for merging the tables back into iteration's order.
PyObject* decode_tables(PyObject* reader, PyObject* args, PyObject* kwargs, TableKind kind, const char* method,
                        bool row_numbers = false);

// The methods of MdfFile, each a decode_tables of its kind, with their
// documentation. _decode_rows is decode_to_numpy with row numbers: the
// command line prints decoded frames in iteration's order with it.
PyObject* decode_to_numpy(PyObject* reader, PyObject* args, PyObject* kwargs);
PyObject* decode_to_pandas(PyObject* reader, PyObject* args, PyObject* kwargs);
PyObject* decode_to_arrow(PyObject* reader, PyObject* args, PyObject* kwargs);
PyObject* decode_rows(PyObject* reader, PyObject* args, PyObject* kwargs);
extern const char* const kDecodeToNumpyDoc;
extern const char* const kDecodeToPandasDoc;
extern const char* const kDecodeToArrowDoc;
extern const char* const kDecodeRowsDoc;

}  // namespace tolvar::host
