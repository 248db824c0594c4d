// ColumnBuffer: calloc'ed memory (fresh pages from the system for large
// buffers, so nothing is written to zero them) behind numpy's array
// interface; pyarrow wraps the same memory with pyarrow.foreign_buffer.
#include <Python.h>

#include "host/column_buffer.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

#include "host/module.h"
#include "host/py_ref.h"

namespace tolvar::host {
namespace {

// Buffers from this size on ask for large pages.
constexpr uint64_t kHugePageAdviceFrom = uint64_t{4} << 20;

struct ColumnBufferObject {
    PyObject_HEAD
    uint8_t* memory;  // owned, calloc'ed; never null once made
    uint64_t size;
    char typestr[16];
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
    PyRef address(PyLong_FromVoidPtr(b->memory));
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
    std::free(b->memory);
    b->memory = nullptr;
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

PyObject* new_column_buffer(uint64_t size, const ColumnShape& shape, uint8_t** memory) {
    if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX) || std::strlen(shape.typestr) >= sizeof(ColumnBufferObject{}.typestr)) {
        return PyErr_NoMemory();
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(module_state().column_buffer);
    allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef self(alloc(type, 0));
    if (!self) return nullptr;
    ColumnBufferObject* b = as_buffer(self.get());
    // One byte at least: an empty column still has an address.
    b->memory = static_cast<uint8_t*>(std::calloc(size == 0 ? 1 : static_cast<size_t>(size), 1));
    if (b->memory == nullptr) return PyErr_NoMemory();
    b->size = size;
    std::strcpy(b->typestr, shape.typestr);
    b->rows = shape.rows;
    b->width = shape.width;
    b->matrix = shape.matrix;
#ifdef MADV_HUGEPAGE
    if (size >= kHugePageAdviceFrom) {
        const uintptr_t page = 4096;
        const uintptr_t start = (reinterpret_cast<uintptr_t>(b->memory) + page - 1) & ~(page - 1);
        const uintptr_t end = (reinterpret_cast<uintptr_t>(b->memory) + size) & ~(page - 1);
        // Advice only: nothing changes when it is not taken.
        if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
    }
#endif
    *memory = b->memory;
    return self.release();
}

}  // namespace tolvar::host
