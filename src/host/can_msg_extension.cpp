// CanMsgExtension: can.Message with ordering by timestamp (what heapq.merge
// needs) and a hash over the message's fields. It has no fields of its own.
#include <Python.h>

#include "host/can_msg_extension.h"
#include "host/module.h"
#include "host/py_ref.h"

namespace tolvar::host {
namespace {

// The type cannot be subclassed, so can.Message is always the next class in
// the order of resolution: calling its __init__ directly is what the super
// object would find, without building one per message.
int init(PyObject* self, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t count = PyTuple_Size(args);
    if (count < 0) return -1;
    PyRef call_args(PyTuple_New(count + 1));
    if (!call_args) return -1;
    Py_IncRef(self);
    PyTuple_SetItem(call_args.get(), 0, self);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GetItem(args, i);
        Py_IncRef(item);
        PyTuple_SetItem(call_args.get(), i + 1, item);
    }
    PyRef result(PyObject_Call(module_state().message_init, call_args.get(), kwargs));
    return result ? 0 : -1;
}

Py_hash_t hash(PyObject* self) {
    const Names& n = names();
    PyObject* const fields[] = {n.timestamp,      n.arbitration_id, n.is_extended_id,
                                n.is_remote_frame, n.is_error_frame, n.channel,
                                n.dlc,            n.data,           n.is_fd,
                                n.is_rx,          n.bitrate_switch, n.error_state_indicator};
    constexpr Py_ssize_t kCount = sizeof(fields) / sizeof(fields[0]);
    PyRef tuple(PyTuple_New(kCount));
    if (!tuple) return -1;
    for (Py_ssize_t i = 0; i < kCount; ++i) {
        PyRef value(PyObject_GetAttr(self, fields[i]));
        if (!value) return -1;
        if (fields[i] == n.data) {
            // The data is a bytearray, which has no hash: its text form has.
            value = PyRef(PyObject_Str(value.get()));
            if (!value) return -1;
        }
        PyTuple_SetItem(tuple.get(), i, value.release());
    }
    return PyObject_Hash(tuple.get());
}

bool timestamp_of(PyObject* message, double& out) {
    PyRef value(PyObject_GetAttr(message, names().timestamp));
    if (!value) return false;
    out = PyFloat_AsDouble(value.get());
    return !(out == -1.0 && PyErr_Occurred() != nullptr);
}

PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    const int is_message = PyObject_IsInstance(other, module_state().message_type);
    if (is_message < 0) return nullptr;
    if (is_message == 0) {
        PyErr_SetString(PyExc_TypeError, "Attempting to compare incompatible classes");
        return nullptr;
    }
    double left = 0.0;
    double right = 0.0;
    if (!timestamp_of(self, left) || !timestamp_of(other, right)) return nullptr;
    bool result = false;
    switch (op) {
    case Py_LT: result = left < right; break;
    case Py_LE: result = left <= right; break;
    case Py_EQ: result = left == right; break;
    case Py_NE: result = left != right; break;
    case Py_GT: result = left > right; break;
    case Py_GE: result = left >= right; break;
    default: Py_RETURN_NOTIMPLEMENTED;
    }
    return PyBool_FromLong(result ? 1 : 0);
}

// Inserts a new value (nullptr: its creation failed, the error is set).
bool put(PyObject* dict, PyObject* key, PyObject* new_value) {
    PyRef value(new_value);
    return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

bool put_borrowed(PyObject* dict, PyObject* key, PyObject* value) {
    return value != nullptr && PyDict_SetItem(dict, key, value) == 0;
}

PyObject* flag(bool value) {
    PyObject* result = value ? Py_True : Py_False;
    Py_IncRef(result);
    return result;
}

PyType_Slot g_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(init)},
    {Py_tp_hash, reinterpret_cast<void*>(hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(richcompare)},
    {Py_tp_doc, const_cast<char*>("A can.Message ordered by timestamp, as read from an MDF 4 recording.")},
    {0, nullptr},
};

// No base-type flag: host code cannot derive from it.
PyType_Spec g_spec = {
    "python_can_tolvar_mf4.CanMsgExtension", 0, 0, Py_TPFLAGS_DEFAULT, g_slots,
};

}  // namespace

PyObject* build_message(const bus::Frame& frame, const uint8_t* payload) {
    const ModuleState& st = module_state();
    const Names& n = st.names;
    const uint64_t length = bus::payload_length(frame);
    PyRef kwargs(PyDict_New());
    if (!kwargs) return nullptr;
    PyObject* d = kwargs.get();
    // What iteration does not pass takes can.Message's default: an error
    // frame is extended and received, only a data frame has FD flags.
    if (!put(d, n.timestamp, PyFloat_FromDouble(frame.timestamp)) ||
        !put(d, n.arbitration_id, PyLong_FromUnsignedLong(frame.id)) ||
        !put(d, n.dlc, PyLong_FromUnsignedLong(frame.dlc)) ||
        !put(d, n.data, PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload),
                                                  static_cast<Py_ssize_t>(length))) ||
        !put_borrowed(d, n.channel, st.channels[frame.channel]))
        return nullptr;
    switch (bus::kind_of(frame)) {
    case bus::FrameKind::kCanDataFrame:
        if (!put(d, n.is_fd, flag(bus::has_flag(frame, bus::kFlagFd))) ||
            !put(d, n.error_state_indicator, flag(bus::has_flag(frame, bus::kFlagErrorStateIndicator))) ||
            !put(d, n.bitrate_switch, flag(bus::has_flag(frame, bus::kFlagBitrateSwitch))) ||
            !put(d, n.is_rx, flag(bus::has_flag(frame, bus::kFlagRx))) ||
            !put(d, n.is_extended_id, flag(bus::has_flag(frame, bus::kFlagExtended))))
            return nullptr;
        break;
    case bus::FrameKind::kCanRemoteFrame:
        if (!put(d, n.is_remote_frame, flag(true)) || !put(d, n.is_rx, flag(bus::has_flag(frame, bus::kFlagRx))) ||
            !put(d, n.is_extended_id, flag(bus::has_flag(frame, bus::kFlagExtended))))
            return nullptr;
        break;
    case bus::FrameKind::kCanErrorFrame:
        if (!put(d, n.is_error_frame, flag(true))) return nullptr;
        break;
    default:
        if (!put(d, n.is_rx, flag(bus::has_flag(frame, bus::kFlagRx))) || !put(d, n.is_extended_id, flag(false)))
            return nullptr;
        break;
    }
    return PyObject_Call(st.can_msg_extension, st.empty_tuple, d);
}

PyObject* create_can_msg_extension_type(PyObject* message_base) {
    PyRef bases(PyTuple_Pack(1, message_base));
    if (!bases) return nullptr;
    return PyType_FromSpecWithBases(&g_spec, bases.get());
}

}  // namespace tolvar::host
