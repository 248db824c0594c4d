// The database argument of the decode methods read through cantools' Python
// objects, once per call, into a native description (bus/signal_database.h):
// a cantools database, a path cantools loads (DBC, ARXML, KCD, SYM), or a
// mapping of channel names ("CAN 1") to either; with the key of every
// message's table and the choice of signals. Owns what it fills; borrows the
// arguments.
#pragma once

#include <Python.h>

#include "bus/signal_program.h"
#include "host/signal_selection.h"

namespace tolvar::host {

// Reads `database` and `signals` (None, or an iterable of signal names,
// "Message.Signal" or "CHANNEL.Message.Signal") into `request`. False with
// the exception set: ImportError naming the extra `decode` without cantools,
// FileNotFoundError for a path that does not exist, TypeError for an object
// that is no database (or a mapping key that is no str), ValueError for a
// signal name no message has, and cantools' own errors as it raises them.
bool read_decode_request(PyObject* database, PyObject* signals, bool choices, DecodeRequest& request);

// Compiles the request's description; false with ValueError saying why the
// database cannot be decoded.
bool compile_request(const DecodeRequest& request, bus::SignalProgram& program);

}  // namespace tolvar::host
