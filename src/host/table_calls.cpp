#include <Python.h>

#include "host/table_calls.h"

#include "host/column_buffer.h"
#include "host/module.h"

namespace tolvar::host {

PyObject* call(PyObject* function, std::initializer_list<PyObject*> arguments, PyObject* kwargs) {
    for (PyObject* argument : arguments) {
        if (argument == nullptr) return nullptr;
    }
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(arguments.size())));
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject* argument : arguments) {
        Py_IncRef(argument);
        PyTuple_SetItem(tuple.get(), i++, argument);
    }
    return PyObject_Call(function, tuple.get(), kwargs);
}

PyObject* numpy_of(const PyRef& buffer) {
    if (!buffer) return nullptr;
    return call(module_state().tables.asarray, {buffer.get()});
}

PyObject* arrow_buffer(const PyRef& buffer, uint64_t size) {
    if (!buffer) return nullptr;
    PyRef address(PyLong_FromVoidPtr(column_memory(buffer.get()).data()));
    PyRef length(PyLong_FromUnsignedLongLong(size));
    return call(module_state().tables.foreign_buffer, {address.get(), length.get(), buffer.get()});
}

PyObject* arrow_array(PyObject* type, uint64_t rows, const PyRef& data, uint64_t data_size, const PyRef& validity,
                      uint64_t nulls) {
    PyRef bitmap = validity ? PyRef(arrow_buffer(validity, (rows + 7) / 8)) : PyRef::borrow(Py_None);
    PyRef values(arrow_buffer(data, data_size));
    if (!bitmap || !values) return nullptr;
    PyRef buffers(PyList_New(2));
    if (!buffers) return nullptr;
    PyList_SetItem(buffers.get(), 0, bitmap.release());
    PyList_SetItem(buffers.get(), 1, values.release());
    PyRef length(PyLong_FromUnsignedLongLong(rows));
    PyRef null_count(PyLong_FromUnsignedLongLong(validity ? nulls : 0));
    return call(module_state().tables.from_buffers, {type, length.get(), buffers.get(), null_count.get()});
}

}  // namespace tolvar::host
