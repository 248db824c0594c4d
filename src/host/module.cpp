// Module initialisation: imports what the module needs from the host once,
// routes the log facility into the host's logging package, and registers the
// three types.
#include <Python.h>

#include <cstring>

#include "host/module.h"
#include "host/py_ref.h"
#include "log/log.h"

namespace tolvar::host {
namespace {

HostRefs g_refs;
Names g_names;

PyObject* g_logger_methods[5] = {};  // debug, info, warning, error, critical

PyObject* logger_method(int32_t level) {
    switch (level) {
    case log::kInfo: return g_logger_methods[1];
    case log::kWarning: return g_logger_methods[2];
    case log::kError: return g_logger_methods[3];
    case log::kFatal: return g_logger_methods[4];
    default: return g_logger_methods[0];
    }
}

// The log facility's output: one call of the logger method matching the
// line's level, with the message text. A line may quote bytes from the file,
// so undecodable bytes are shown escaped instead of failing the call. Whatever
// happens here stays here: an exception that was set before (a file object
// that raised while the line was being logged) is put back afterwards, and one
// raised by the logger itself is reported as unraisable, never left pending.
int log_bridge(log::LogMessage* message, void* argument) {
    PyObject* logger = static_cast<PyObject*>(argument);
    if (logger == nullptr || message == nullptr || message->buffer == nullptr) return 0;
    SavedError saved;
    const size_t length = strnlen(message->buffer, log::kBufferSize);
    PyRef text(PyUnicode_DecodeUTF8(message->buffer, static_cast<Py_ssize_t>(length),
                                    "backslashreplace"));
    PyObject* method = logger_method(message->level);
    if (text && method != nullptr) {
        PyRef result(PyObject_CallMethodObjArgs(logger, method, text.get(), nullptr));
    }
    if (PyErr_Occurred() != nullptr) PyErr_WriteUnraisable(logger);
    return 0;
}

bool intern(PyObject*& slot, const char* text) {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool make_names() {
    Names& n = g_names;
    return intern(n.timestamp, "timestamp") && intern(n.arbitration_id, "arbitration_id") &&
           intern(n.dlc, "dlc") && intern(n.data, "data") && intern(n.is_fd, "is_fd") &&
           intern(n.error_state_indicator, "error_state_indicator") &&
           intern(n.bitrate_switch, "bitrate_switch") && intern(n.is_rx, "is_rx") &&
           intern(n.is_extended_id, "is_extended_id") && intern(n.channel, "channel") &&
           intern(n.is_remote_frame, "is_remote_frame") &&
           intern(n.is_error_frame, "is_error_frame") && intern(n.file, "file") &&
           intern(n.mode, "mode") && intern(n.rb, "rb") && intern(n.passwords, "passwords") &&
           intern(n.init, "__init__") && intern(n.close, "close") && intern(n.stop, "stop") &&
           intern(g_logger_methods[0], "debug") && intern(g_logger_methods[1], "info") &&
           intern(g_logger_methods[2], "warning") && intern(g_logger_methods[3], "error") &&
           intern(g_logger_methods[4], "critical");
}

// A new reference to module.attribute, or nullptr with the import or
// attribute error set.
PyObject* import_attribute(const char* module_name, const char* attribute) {
    PyRef module(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), attribute);
}

// Adds a type under its name; the module gets its own reference, the
// process-wide one stays in refs().
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
    if (!make_names()) return nullptr;

    {
        PyRef get_logger(import_attribute("logging", "getLogger"));
        if (!get_logger) return nullptr;
        g_refs.logger = PyObject_CallFunction(get_logger.get(), "s", "python_can_tolvar_mf4");
        if (g_refs.logger == nullptr) return nullptr;
    }
    log::set_output(log::kMessage, g_refs.logger, log_bridge);

    g_refs.path_type = import_attribute("pathlib", "Path");
    if (g_refs.path_type == nullptr) return nullptr;
    g_refs.io_base = import_attribute("io", "IOBase");
    if (g_refs.io_base == nullptr) return nullptr;
    g_refs.super_type = import_attribute("builtins", "super");
    if (g_refs.super_type == nullptr) return nullptr;

    g_refs.message_type = import_attribute("can", "Message");
    if (g_refs.message_type == nullptr) return nullptr;
    g_refs.message_init = PyObject_GetAttr(g_refs.message_type, g_names.init);
    if (g_refs.message_init == nullptr) return nullptr;
    g_refs.can_msg_extension = create_can_msg_extension_type(g_refs.message_type);
    if (g_refs.can_msg_extension == nullptr ||
        !add_type(module.get(), "CanMsgExtension", g_refs.can_msg_extension))
        return nullptr;

    g_refs.merge = import_attribute("heapq", "merge");
    if (g_refs.merge == nullptr) return nullptr;
    {
        PyRef io(import_attribute("can", "io"));
        if (!io) return nullptr;
        PyRef generic(PyObject_GetAttrString(io.get(), "generic"));
        if (!generic) return nullptr;
        g_refs.reader_base = PyObject_GetAttrString(generic.get(), "MessageReader");
        if (g_refs.reader_base == nullptr) return nullptr;
    }
    g_refs.mdf_file = create_mdf_file_type(g_refs.reader_base);
    if (g_refs.mdf_file == nullptr || !add_type(module.get(), "MdfFile", g_refs.mdf_file))
        return nullptr;

    g_refs.mdf_file_iterator = create_mdf_file_iterator_type();
    if (g_refs.mdf_file_iterator == nullptr ||
        !add_type(module.get(), "MdfFileIterator", g_refs.mdf_file_iterator))
        return nullptr;

    return module.release();
}

}  // namespace

HostRefs& refs() { return g_refs; }
const Names& names() { return g_names; }

}  // namespace tolvar::host

PyMODINIT_FUNC PyInit_python_can_tolvar_mf4(void) { return tolvar::host::initialise(); }
