// Module initialisation: imports what the module needs from the host once,
// routes the log facility into the host's logging package, and registers the
// three types.
#include <Python.h>

#include <cstring>

#include "host/module.h"

#include "bus/frame.h"
#include "host/py_ref.h"
#include "host/stream_methods.h"
#include "log/log.h"

namespace tolvar::host {
namespace {

// The one state of the module (see module.h): nothing else in src/host
// holds interpreter objects or counters between calls.
ModuleState g_state;

PyObject* logger_method(int32_t level) {
    PyObject* const* methods = g_state.names.logger_methods;
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

bool intern(PyObject*& slot, const char* text) {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool make_names() {
    Names& n = g_state.names;
    return intern(n.timestamp, "timestamp") && intern(n.arbitration_id, "arbitration_id") &&
           intern(n.dlc, "dlc") && intern(n.data, "data") && intern(n.is_fd, "is_fd") &&
           intern(n.error_state_indicator, "error_state_indicator") &&
           intern(n.bitrate_switch, "bitrate_switch") && intern(n.is_rx, "is_rx") &&
           intern(n.is_extended_id, "is_extended_id") && intern(n.channel, "channel") &&
           intern(n.is_remote_frame, "is_remote_frame") &&
           intern(n.is_error_frame, "is_error_frame") && intern(n.file, "file") &&
           intern(n.mode, "mode") && intern(n.rb, "rb") && intern(n.passwords, "passwords") &&
           intern(n.any_writer, "any_writer") && intern(n.batch_rows, "batch_rows") &&
           intern(n.init, "__init__") && intern(n.close, "close") && intern(n.stop, "stop") &&
           intern(n.read, "read") && intern(n.seek, "seek") && intern(n.tell, "tell") &&
           intern(n.property_fields[0], "name") && intern(n.property_fields[1], "description") &&
           intern(n.property_fields[2], "read_only") && intern(n.property_fields[3], "unit") &&
           intern(n.property_fields[4], "value_raw") && intern(n.property_fields[5], "value_type") &&
           intern(n.logger_methods[0], "debug") && intern(n.logger_methods[1], "info") &&
           intern(n.logger_methods[2], "warning") && intern(n.logger_methods[3], "error") &&
           intern(n.logger_methods[4], "critical") && intern(n.can_filters, "can_filters") &&
           intern(n.channels, "channels") && intern(n.start, "start") && intern(n.can_id, "can_id") &&
           intern(n.can_mask, "can_mask") && intern(n.extended, "extended") && intern(n.shape, "shape") &&
           intern(n.typestr, "typestr") && intern(n.version, "version");
}

bool make_constants() {
    g_state.empty_tuple = PyTuple_New(0);
    if (g_state.empty_tuple == nullptr) return false;
    for (unsigned code = 0; code < bus::kChannelCount; ++code) {
        char name[bus::kChannelNameSize];
        const unsigned length = bus::channel_name(code, name);
        g_state.channels[code] = PyUnicode_InternFromString(name);
        if (g_state.channels[code] == nullptr || length == 0) return false;
    }
    return true;
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
    if (!make_names() || !make_constants() || !add_stream_functions(module.get())) return nullptr;

    {
        PyRef get_logger(import_attribute("logging", "getLogger"));
        if (!get_logger) return nullptr;
        g_state.logger = PyObject_CallFunction(get_logger.get(), "s", "python_can_tolvar_mf4");
        if (g_state.logger == nullptr) return nullptr;
    }
    log::set_output(log::kMessage, g_state.logger, log_bridge);

    g_state.path_type = import_attribute("pathlib", "Path");
    if (g_state.path_type == nullptr) return nullptr;
    g_state.io_base = import_attribute("io", "IOBase");
    if (g_state.io_base == nullptr) return nullptr;
    g_state.super_type = import_attribute("builtins", "super");
    if (g_state.super_type == nullptr) return nullptr;

    g_state.message_type = import_attribute("can", "Message");
    if (g_state.message_type == nullptr) return nullptr;
    g_state.message_init = PyObject_GetAttr(g_state.message_type, g_state.names.init);
    if (g_state.message_init == nullptr) return nullptr;
    g_state.can_msg_extension = create_can_msg_extension_type(g_state.message_type);
    if (g_state.can_msg_extension == nullptr ||
        !add_type(module.get(), "CanMsgExtension", g_state.can_msg_extension))
        return nullptr;

    g_state.merge = import_attribute("heapq", "merge");
    if (g_state.merge == nullptr) return nullptr;
    {
        PyRef io(import_attribute("can", "io"));
        if (!io) return nullptr;
        PyRef generic(PyObject_GetAttrString(io.get(), "generic"));
        if (!generic) return nullptr;
        g_state.reader_base = PyObject_GetAttrString(generic.get(), "MessageReader");
        if (g_state.reader_base == nullptr) return nullptr;
    }
    g_state.mdf_file = create_mdf_file_type(g_state.reader_base);
    if (g_state.mdf_file == nullptr || !add_type(module.get(), "MdfFile", g_state.mdf_file))
        return nullptr;

    g_state.mdf_file_iterator = create_mdf_file_iterator_type();
    if (g_state.mdf_file_iterator == nullptr ||
        !add_type(module.get(), "MdfFileIterator", g_state.mdf_file_iterator))
        return nullptr;

    g_state.column_buffer = create_column_buffer_type();
    if (g_state.column_buffer == nullptr) return nullptr;

    return module.release();
}

}  // namespace

ModuleState& module_state() { return g_state; }

}  // namespace tolvar::host

PyMODINIT_FUNC PyInit_python_can_tolvar_mf4(void) { return tolvar::host::initialise(); }
