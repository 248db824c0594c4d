// The host message type CanMsgExtension and build(), which turns a decoded
// frame into one. Owns nothing; build borrows the frame.
#pragma once

#include <Python.h>

#include "bus/frame.h"

namespace tolvar::host {

// A new CanMsgExtension with the frame's values and its payload
// (payload_length(frame) bytes at `payload`); nullptr with an exception set
// when a value cannot be made.
PyObject* build_message(const bus::Frame& frame, const uint8_t* payload);

}  // namespace tolvar::host
