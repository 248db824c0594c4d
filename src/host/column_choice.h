// The `columns` keyword of the frame tables and streams: an iterable of
// column names read into the set of columns to fill, kept in table order
// whatever the order given. Owns nothing; borrows the argument.
#pragma once

#include <Python.h>

#include <bitset>

#include "bus/column_layout.h"

namespace tolvar::host {

// `columns` (None: every column) into `out`. False with TypeError for a
// single str or a name that is no str, ValueError for a name no column has
// or an empty choice.
bool parse_columns(PyObject* columns, std::bitset<bus::kColumnCount>& out);

}  // namespace tolvar::host
