// MdfFile, the reader class host programs use: a native type holding each
// reader's state (reader_state.h) joined with can.io.generic.MessageReader.
// Owns nothing of its own here; the classes it makes go to the module state.
#pragma once

#include <Python.h>

namespace tolvar::host {

// Makes the native type that holds each reader's state (kept as
// module_state().mdf_file_native) and returns the MdfFile class, made by
// calling the metaclass of reader_base (can.io.generic.MessageReader) with
// both as bases; a new reference or nullptr with an exception set.
PyObject* create_mdf_file_type(PyObject* reader_base);

}  // namespace tolvar::host
