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

PyObject* arrow_array(PyObject* type, uint64_t rows, std::initializer_list<ArrowPart> parts, const PyRef& validity,
                      uint64_t nulls) {
    PyRef bitmap = validity ? PyRef(arrow_buffer(validity, (rows + 7) / 8)) : PyRef::borrow(Py_None);
    PyRef buffers(PyList_New(0));
    if (!bitmap || !buffers || PyList_Append(buffers.get(), bitmap.get()) < 0) return nullptr;
    for (const ArrowPart& part : parts) {
        PyRef wrapped(arrow_buffer(*part.buffer, part.size));
        if (!wrapped || PyList_Append(buffers.get(), wrapped.get()) < 0) return nullptr;
    }
    PyRef length(PyLong_FromUnsignedLongLong(rows));
    PyRef null_count(PyLong_FromUnsignedLongLong(validity ? nulls : 0));
    return call(module_state().tables.from_buffers, {type, length.get(), buffers.get(), null_count.get()});
}

PyObject* channel_names(const std::vector<uint16_t>& dictionary) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(dictionary.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < dictionary.size(); ++i) {
        PyObject* name = module_state().channels[dictionary[i]];
        Py_IncRef(name);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list.release();
}

PyObject* categorical(TableKind kind, PyObject* arrow_type, const PyRef& codes, uint64_t width, uint64_t rows,
                      PyObject* categories, const PyRef& validity, uint64_t nulls) {
    const TableLibraries& t = module_state().tables;
    if (kind == TableKind::kPandas || kind == TableKind::kPandasBytes) {
        PyRef array(numpy_of(codes));
        return call(t.from_codes, {array.get(), categories});
    }
    PyRef indices(arrow_array(arrow_type, rows, codes, rows * width, validity, nulls));
    PyRef dictionary(call(t.pa_array, {categories, t.type_string}));
    return call(t.dictionary_from_arrays, {indices.get(), dictionary.get()});
}

PyObject* table_of(TableKind kind, PyObject* keys, PyObject* columns) {
    const TableLibraries& t = module_state().tables;
    if (kind == TableKind::kArrow) {
        PyRef kwargs(PyDict_New());
        if (!kwargs || PyDict_SetItem(kwargs.get(), t.names, keys) < 0) return nullptr;
        return call(t.table_from_arrays, {columns}, kwargs.get());
    }
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_Size(keys); ++i) {
        if (PyDict_SetItem(dict.get(), PyList_GetItem(keys, i), PyList_GetItem(columns, i)) < 0) return nullptr;
    }
    if (kind == TableKind::kNumpy) return dict.release();
    PyRef kwargs(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), t.copy, Py_False) < 0) return nullptr;
    return call(t.data_frame, {dict.get()}, kwargs.get());
}

}  // namespace tolvar::host
