// The host message type CanMsgExtension and build_message(), which turns a
// decoded frame into one. Owns nothing; build_message borrows the frame and
// its payload.
#pragma once

#include <Python.h>

#include "bus/frame.h"

namespace tolvar::host {

// A new CanMsgExtension with the frame's values and its payload
// (payload_length(frame) bytes at `payload`), holding exactly what
// can.Message(**values) would; nullptr with an exception set when a value
// cannot be made.
PyObject* build_message(const bus::Frame& frame, const uint8_t* payload);

// Creates the type, derived from can.Message (message_base), and fills
// module_state().message with its allocator and message_base's descriptors;
// a new reference or nullptr with an exception set.
PyObject* create_can_msg_extension_type(PyObject* message_base);

}  // namespace tolvar::host
