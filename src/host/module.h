// What the module takes from the interpreter once, at import, and keeps for
// the life of the process: host classes and functions, the module's own
// types, and interned names. Every pointer here is an owned reference that is
// never released; users borrow them.
#pragma once

#include <Python.h>

namespace tolvar::host {

struct HostRefs {
    PyObject* logger = nullptr;       // logging.getLogger("python_can_tolvar_mf4")
    PyObject* path_type = nullptr;    // pathlib.Path
    PyObject* io_base = nullptr;      // io.IOBase
    PyObject* message_type = nullptr; // can.Message
    PyObject* message_init = nullptr; // can.Message.__init__ (the plain function)
    PyObject* merge = nullptr;        // heapq.merge
    PyObject* reader_base = nullptr;  // can.io.generic.MessageReader
    PyObject* super_type = nullptr;   // builtins.super

    PyObject* can_msg_extension = nullptr;  // CanMsgExtension
    PyObject* mdf_file = nullptr;           // MdfFile (the class host code sees)
    PyObject* mdf_file_native = nullptr;    // its native base, holding the state
    PyObject* mdf_file_iterator = nullptr;  // MdfFileIterator
};

// Interned strings: attribute, keyword and method names used per call.
struct Names {
    PyObject* timestamp;
    PyObject* arbitration_id;
    PyObject* dlc;
    PyObject* data;
    PyObject* is_fd;
    PyObject* error_state_indicator;
    PyObject* bitrate_switch;
    PyObject* is_rx;
    PyObject* is_extended_id;
    PyObject* channel;
    PyObject* is_remote_frame;
    PyObject* is_error_frame;
    PyObject* file;
    PyObject* mode;
    PyObject* rb;
    PyObject* passwords;
    PyObject* init;
    PyObject* close;
    PyObject* stop;
};

HostRefs& refs();
const Names& names();

// Creates the types; each returns a new reference or nullptr with an
// exception set. Defined beside each type.
PyObject* create_can_msg_extension_type(PyObject* message_base);
PyObject* create_mdf_file_iterator_type();
// Fills refs().mdf_file_native and returns the MdfFile class made by calling
// the metaclass of reader_base.
PyObject* create_mdf_file_type(PyObject* reader_base);

}  // namespace tolvar::host
