// The host message type CanMsgExtension and build(), which turns a decoded
// frame into one. Owns nothing; build borrows the frame.
#pragma once

#include <Python.h>

#include "bus/bus_message.h"

namespace tolvar::host {

// A new CanMsgExtension for the frame, its timestamp being start + the
// frame's time; nullptr with an exception set when a value cannot be made, or
// RuntimeError "Unknown bus type" for a record that yields no frame. Copies at
// most the payload the frame holds, whatever its recorded length says.
PyObject* build_message(const bus::BusMessage& message, double start);

}  // namespace tolvar::host
