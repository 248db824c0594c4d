// Conversion of the header block's XML comment into the dictionary that
// MdfFile.get_metadata returns. Owns nothing beyond one call; borrows the text.
#pragma once

#include <Python.h>

#include <cstddef>

namespace tolvar::host {

// A new dict: the dotted property path -> {"name", "description", "read_only",
// "unit", "value_raw", "value_type"}, in the PropertyMap's slot order. text may
// be nullptr (no comment, or a comment that is no metadata block): an empty
// dict. Returns nullptr with a Python exception set when an object cannot be
// made or a text is not strict UTF-8.
PyObject* metadata_to_dict(const char* text, size_t length);

}  // namespace tolvar::host
