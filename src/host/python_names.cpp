#include <Python.h>

#include "host/python_names.h"

#include "host/py_ref.h"

namespace tolvar::host {
namespace {

constexpr const char* kDatasetPackage = "python_can_tolvar_mf4_dataset";
constexpr const char* kDatasetNames[] = {"Dataset", "DatasetError", "Session", "Seam"};

// The module's __getattr__: a name of the dataset package is imported from
// it; any other name raises AttributeError as a module without it does.
PyObject* module_getattr(PyObject*, PyObject* name) {
    if (PyUnicode_Check(name)) {
        for (const char* known : kDatasetNames) {
            if (PyUnicode_CompareWithASCIIString(name, known) != 0) continue;
            PyRef package(PyImport_ImportModule(kDatasetPackage));
            return package ? PyObject_GetAttr(package.get(), name) : nullptr;
        }
    }
    PyErr_Format(PyExc_AttributeError, "module 'python_can_tolvar_mf4' has no attribute %R", name);
    return nullptr;
}

PyMethodDef g_functions[] = {
    {"__getattr__", module_getattr, METH_O, "The names the module takes from its Python packages."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_python_names(PyObject* module) { return PyModule_AddFunctions(module, g_functions) == 0; }

}  // namespace tolvar::host
