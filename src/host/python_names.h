// The module's names that live in a Python package beside it (Dataset,
// DatasetError, Session, Seam in python_can_tolvar_mf4_dataset), reached
// through the module's __getattr__ and imported on first use, so that
// importing the module costs nothing more. Owns nothing.
#pragma once

#include <Python.h>

namespace tolvar::host {

// Adds __getattr__ to `module`. False with an exception set.
bool add_python_names(PyObject* module);

}  // namespace tolvar::host
