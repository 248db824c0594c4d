// ColumnBuffer: an allocation behind numpy's array interface; pyarrow wraps
// the same memory with pyarrow.foreign_buffer.
#include <Python.h>

#include "host/column_buffer.h"

#include <cstring>
#include <new>
#include <utility>
#include "host/module.h"
#include "host/py_ref.h"

namespace tolvar::host {
namespace {

// Room for numpy's type strings ("<U7", "|b1" ...) and their terminator.
constexpr size_t kTypestrSize = 16;

struct ColumnBufferObject {
    PyObject_HEAD
    stream::Allocation memory;  // owned; made in place when the object is
    char typestr[kTypestrSize];
    uint64_t rows;
    uint64_t width;
    bool matrix;  // rows x width; otherwise one dimension
};

ColumnBufferObject* as_buffer(PyObject* self) { return reinterpret_cast<ColumnBufferObject*>(self); }

// numpy's array interface, version 3: the shape, the element type and the
// memory (writable), in the object's own order of rows.
PyObject* array_interface(PyObject* self, void*) {
    const ColumnBufferObject* b = as_buffer(self);
    const Names& n = names();
    PyRef shape(b->matrix ? Py_BuildValue("(KK)", static_cast<unsigned long long>(b->rows),
                                              static_cast<unsigned long long>(b->width))
                              : Py_BuildValue("(K)", static_cast<unsigned long long>(b->rows)));
    PyRef typestr(PyUnicode_FromString(b->typestr));
    PyRef address(PyLong_FromVoidPtr(b->memory.data()));
    PyRef data(address ? PyTuple_Pack(2, address.get(), Py_False) : nullptr);
    PyRef version(PyLong_FromLong(3));
    PyRef dict(PyDict_New());
    if (!shape || !typestr || !data || !version || !dict) return nullptr;
    if (PyDict_SetItem(dict.get(), n.shape, shape.get()) < 0 ||
        PyDict_SetItem(dict.get(), n.typestr, typestr.get()) < 0 ||
        PyDict_SetItem(dict.get(), n.data, data.get()) < 0 ||
        PyDict_SetItem(dict.get(), n.version, version.get()) < 0)
        return nullptr;
    return dict.release();
}

void dealloc(PyObject* self) {
    ColumnBufferObject* b = as_buffer(self);
    b->memory.~Allocation();
    PyTypeObject* type = Py_TYPE(self);
    freefunc free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyGetSetDef g_getset[] = {
    {const_cast<char*>("__array_interface__"), array_interface, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

int refuse_init(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_RuntimeError, "Class cannot be created from Python");
    return -1;
}

PyType_Slot g_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(refuse_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_getset, g_getset},
    {Py_tp_doc, const_cast<char*>("The memory of one column of a table read from an MDF 4 recording.")},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "python_can_tolvar_mf4.ColumnBuffer", sizeof(ColumnBufferObject), 0, Py_TPFLAGS_DEFAULT, g_slots,
};

}  // namespace

PyObject* create_column_buffer_type() { return PyType_FromSpec(&g_spec); }

PyObject* new_column_buffer(stream::Allocation&& memory, const ColumnShape& shape) {
    stream::Allocation owned(std::move(memory));
    if (std::strlen(shape.typestr) >= kTypestrSize) return PyErr_NoMemory();
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(module_state().column_buffer);
    allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef self(alloc(type, 0));
    if (!self) return nullptr;
    ColumnBufferObject* b = as_buffer(self.get());
    new (&b->memory) stream::Allocation(std::move(owned));
    std::strcpy(b->typestr, shape.typestr);
    b->rows = shape.rows;
    b->width = shape.width;
    b->matrix = shape.matrix;
    return self.release();
}

const stream::Allocation& column_memory(PyObject* buffer) { return as_buffer(buffer)->memory; }

}  // namespace tolvar::host
