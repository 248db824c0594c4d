#include <Python.h>

#include "host/column_choice.h"

#include "bus/arrow_batches.h"
#include "host/py_ref.h"

namespace tolvar::host {

bool parse_columns(PyObject* columns, std::bitset<bus::kColumnCount>& out) {
    out.set();
    if (columns == nullptr || columns == Py_None) return true;
    if (PyUnicode_Check(columns)) {
        PyErr_SetString(PyExc_TypeError, "columns must be an iterable of column names, not a single str");
        return false;
    }
    PyRef iterator(PyObject_GetIter(columns));
    if (!iterator) return false;
    out.reset();
    while (PyRef name{PyIter_Next(iterator.get())}) {
        PyRef utf8(PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8String(name.get()) : nullptr);
        const char* text = utf8 ? PyBytes_AsString(utf8.get()) : nullptr;
        if (text == nullptr) {
            if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_TypeError, "columns: every column must be a str");
            return false;
        }
        bus::Column column;
        if (!bus::column_of_name(text, column)) {
            PyErr_Format(PyExc_ValueError, "columns: the frame table has no column %R", name.get());
            return false;
        }
        out.set(bus::column_index(column));
    }
    if (PyErr_Occurred() != nullptr) return false;
    if (out.none()) {
        PyErr_SetString(PyExc_ValueError, "columns must name at least one column");
        return false;
    }
    return true;
}

}  // namespace tolvar::host
