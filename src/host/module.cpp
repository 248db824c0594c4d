// Module initialisation: creates the module object.
#include <Python.h>

static PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "python_can_tolvar_mf4", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit_python_can_tolvar_mf4(void) { return PyModule_Create(&g_module); }
