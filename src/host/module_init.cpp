// The module's entry point: at import, makes the state's constants, imports
// what the module needs from the host once, routes the log facility into the
// host's logging package, and registers the three types.
#include <Python.h>

#include <cstring>

#include "host/can_msg_extension.h"
#include "host/mdf_file.h"
#include "host/mdf_file_iterator.h"
#include "host/module.h"
#include "host/py_ref.h"
#include "host/python_names.h"
#include "host/stream_methods.h"
#include "log/log.h"

namespace tolvar::host {
namespace {

PyObject* logger_method(int32_t level) {
    PyObject* const* methods = module_state().names.logger_methods;
    switch (level) {
    case log::kInfo: return methods[1];
    case log::kWarning: return methods[2];
    case log::kError: return methods[3];
    case log::kFatal: return methods[4];
    default: return methods[0];
    }
}

// The log facility's output: one call of the logger method matching the
// line's level, with the message text. A line may quote bytes from the file,
// so undecodable bytes are shown escaped instead of failing the call. Whatever
// happens here stays here: an exception that was set before (a file object
// that raised while the line was being logged) is put back afterwards, and one
// raised by the logger itself is reported as unraisable, never left pending.
void log_line(PyObject* logger, log::LogMessage* message) {
    SavedError saved;
    const size_t length = strnlen(message->buffer, log::kBufferSize);
    PyRef text(PyUnicode_DecodeUTF8(message->buffer, static_cast<Py_ssize_t>(length),
                                    "backslashreplace"));
    PyObject* method = logger_method(message->level);
    if (text && method != nullptr) {
        PyRef result(PyObject_CallMethodObjArgs(logger, method, text.get(), nullptr));
    }
    if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(logger);
}

// Lines also come from work done with the interpreter lock released (layers
// decoded at open, columnar reads): the bridge takes the lock for itself.
int log_bridge(log::LogMessage* message, void* argument) {
    PyObject* logger = static_cast<PyObject*>(argument);
    if (logger == nullptr || message == nullptr || message->buffer == nullptr) return 0;
    const PyGILState_STATE lock = PyGILState_Ensure();
    log_line(logger, message);
    PyGILState_Release(lock);
    return 0;
}

// A new reference to module.attribute, or nullptr with the import or
// attribute error set.
PyObject* import_attribute(const char* module_name, const char* attribute) {
    PyRef module(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), attribute);
}

// Adds a type under its name; the module gets its own reference, the
// process-wide one stays in the state.
bool add_type(PyObject* module, const char* name, PyObject* type) {
    Py_IncRef(type);
    if (PyModule_AddObject(module, name, type) < 0) {
        Py_DecRef(type);
        return false;
    }
    return true;
}

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "python_can_tolvar_mf4", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* initialise() {
    PyRef module(PyModule_Create(&g_module));
    if (!module) return nullptr;
    if (!make_constants() || !add_stream_functions(module.get()) || !add_python_names(module.get())) return nullptr;
    ModuleState& state = module_state();

    {
        PyRef get_logger(import_attribute("logging", "getLogger"));
        if (!get_logger) return nullptr;
        state.logger = PyObject_CallFunction(get_logger.get(), "s", "python_can_tolvar_mf4");
        if (state.logger == nullptr) return nullptr;
    }
    log::set_output(log::kMessage, state.logger, log_bridge);

    state.io_base = import_attribute("io", "IOBase");
    if (state.io_base == nullptr) return nullptr;
    state.super_type = import_attribute("builtins", "super");
    if (state.super_type == nullptr) return nullptr;

    state.message_type = import_attribute("can", "Message");
    if (state.message_type == nullptr) return nullptr;
    state.message_init = PyObject_GetAttr(state.message_type, state.names.init);
    if (state.message_init == nullptr) return nullptr;
    state.can_msg_extension = create_can_msg_extension_type(state.message_type);
    if (state.can_msg_extension == nullptr ||
        !add_type(module.get(), "CanMsgExtension", state.can_msg_extension))
        return nullptr;

    state.merge = import_attribute("heapq", "merge");
    if (state.merge == nullptr) return nullptr;
    {
        PyRef io(import_attribute("can", "io"));
        if (!io) return nullptr;
        PyRef generic(PyObject_GetAttrString(io.get(), "generic"));
        if (!generic) return nullptr;
        state.reader_base = PyObject_GetAttrString(generic.get(), "MessageReader");
        if (state.reader_base == nullptr) return nullptr;
    }
    state.mdf_file = create_mdf_file_type(state.reader_base);
    if (state.mdf_file == nullptr || !add_type(module.get(), "MdfFile", state.mdf_file))
        return nullptr;

    state.mdf_file_iterator = create_mdf_file_iterator_type();
    if (state.mdf_file_iterator == nullptr ||
        !add_type(module.get(), "MdfFileIterator", state.mdf_file_iterator))
        return nullptr;

    state.column_buffer = create_column_buffer_type();
    if (state.column_buffer == nullptr) return nullptr;

    return module.release();
}

}  // namespace
}  // namespace tolvar::host

PyMODINIT_FUNC PyInit_python_can_tolvar_mf4(void) { return tolvar::host::initialise(); }
