// CanMsgExtension: can.Message with ordering by timestamp (what heapq.merge
// needs) and a hash over the message's fields. It has no fields of its own:
// its instances are can.Message's slots, which messages read from a
// recording fill through can.Message's own descriptors.
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

// A message's timestamp attribute (a new reference). A CanMsgExtension's is
// read through can.Message's descriptor, which is what its attribute look-up
// finds: the type cannot be subclassed. Any other message goes by name, as
// its class may define the attribute otherwise.
PyObject* timestamp_attribute(PyObject* message) {
    const ModuleState& st = module_state();
    const descrgetfunc get = st.message.get[kFieldTimestamp];
    if (get != nullptr && Py_TYPE(message) == reinterpret_cast<PyTypeObject*>(st.can_msg_extension)) {
        return get(st.message.descriptors[kFieldTimestamp], message, st.can_msg_extension);
    }
    return PyObject_GetAttr(message, st.names.timestamp);
}

bool timestamp_of(PyObject* message, double& out) {
    PyRef value(timestamp_attribute(message));
    if (!value) return false;
    out = PyFloat_AsDouble(value.get());
    return !(out == -1.0 && PyErr_Occurred() != nullptr);
}

// heapq.merge compares [message, order, iterator] lists: an == and, when the
// timestamps differ, a < per comparison, nearly always between two
// CanMsgExtensions, which need no instance test.
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    const ModuleState& st = module_state();
    if (Py_TYPE(other) != reinterpret_cast<PyTypeObject*>(st.can_msg_extension)) {
        const int is_message = PyObject_IsInstance(other, st.message_type);
        if (is_message < 0) return nullptr;
        if (is_message == 0) {
            PyErr_SetString(PyExc_TypeError, "Attempting to compare incompatible classes");
            return nullptr;
        }
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

// Stores a borrowed value as can.Message.__init__'s `self.<field> = value`
// would: through the attribute's descriptor, or by name where there is no
// descriptor function to call.
bool store(PyObject* message, MessageField field, PyObject* value) {
    const MessageAccess& access = module_state().message;
    const descrsetfunc set = access.set[field];
    if (set != nullptr) return set(access.descriptors[field], message, value) == 0;
    return PyObject_SetAttr(message, access.names[field], value) == 0;
}

// Stores a new value (nullptr: its creation failed, the error is set).
bool store_new(PyObject* message, MessageField field, PyObject* new_value) {
    PyRef value(new_value);
    return value && store(message, field, value.get());
}

PyObject* flag(bool value) { return value ? Py_True : Py_False; }

// The flags of a message of `frame`. What the reader passes can.Message per
// kind, the rest its defaults: only a data frame has FD flags, an error
// frame is extended and received, a LIN frame is never extended.
struct MessageFlags {
    bool extended = true;
    bool remote = false;
    bool error = false;
    bool fd = false;
    bool bitrate_switch = false;
    bool error_state_indicator = false;
    bool rx = true;
};

MessageFlags flags_of(const bus::Frame& frame) {
    MessageFlags f;
    switch (bus::kind_of(frame)) {
    case bus::FrameKind::kCanDataFrame:
        f.fd = bus::has_flag(frame, bus::kFlagFd);
        f.error_state_indicator = bus::has_flag(frame, bus::kFlagErrorStateIndicator);
        f.bitrate_switch = bus::has_flag(frame, bus::kFlagBitrateSwitch);
        f.rx = bus::has_flag(frame, bus::kFlagRx);
        f.extended = bus::has_flag(frame, bus::kFlagExtended);
        break;
    case bus::FrameKind::kCanRemoteFrame:
        f.remote = true;
        f.rx = bus::has_flag(frame, bus::kFlagRx);
        f.extended = bus::has_flag(frame, bus::kFlagExtended);
        break;
    case bus::FrameKind::kCanErrorFrame:
        f.error = true;
        break;
    default:
        f.rx = bus::has_flag(frame, bus::kFlagRx);
        f.extended = false;
        break;
    }
    return f;
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

// The attribute names by field.
PyObject* Names::*const kFieldNames[kMessageFieldCount] = {
    &Names::timestamp, &Names::arbitration_id, &Names::is_extended_id, &Names::is_remote_frame,
    &Names::is_error_frame, &Names::channel, &Names::dlc, &Names::data,
    &Names::is_fd, &Names::is_rx, &Names::bitrate_switch, &Names::error_state_indicator,
};

// A slot function of a descriptor's type; null without an exception where
// the interpreter reads no slot of that type (3.9: static types).
void* descriptor_slot(PyObject* descriptor, int slot, bool& failed) {
    void* function = PyType_GetSlot(Py_TYPE(descriptor), slot);
    if (function == nullptr && PyErr_Occurred() != nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_SystemError)) {
            failed = true;
            return nullptr;
        }
        PyErr_Clear();
    }
    return function;
}

bool set_up_access(PyObject* message_base, PyObject* extension) {
    MessageAccess& access = module_state().message;
    access.alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(extension), Py_tp_alloc));
    if (access.alloc == nullptr) {
        if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_SystemError, "CanMsgExtension has no allocator");
        return false;
    }
    for (int i = 0; i < kMessageFieldCount; ++i) {
        PyObject* name = names().*kFieldNames[i];
        access.names[i] = name;
        access.descriptors[i] = PyObject_GetAttr(message_base, name);
        if (access.descriptors[i] == nullptr) return false;
        bool failed = false;
        auto set = reinterpret_cast<descrsetfunc>(descriptor_slot(access.descriptors[i], Py_tp_descr_set, failed));
        auto get = reinterpret_cast<descrgetfunc>(descriptor_slot(access.descriptors[i], Py_tp_descr_get, failed));
        if (failed) return false;
        // Only a data descriptor decides what an instance holds: anything
        // else is looked up by name, as the initialiser's assignment is.
        const bool data_descriptor = set != nullptr && get != nullptr;
        access.set[i] = data_descriptor ? set : nullptr;
        access.get[i] = data_descriptor ? get : nullptr;
    }
    return true;
}

}  // namespace

PyObject* build_message(const bus::Frame& frame, const uint8_t* payload) {
    const ModuleState& st = module_state();
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(st.can_msg_extension);
    PyRef message(st.message.alloc(type, 0));
    if (!message) return nullptr;
    PyObject* m = message.get();
    const MessageFlags f = flags_of(frame);
    // The values can.Message.__init__ stores: the data as a bytearray (a
    // remote or error frame's is empty, payload_length says so), the dlc as
    // given.
    const auto length = static_cast<Py_ssize_t>(bus::payload_length(frame));
    if (!store_new(m, kFieldTimestamp, PyFloat_FromDouble(frame.timestamp)) ||
        !store_new(m, kFieldArbitrationId, PyLong_FromUnsignedLong(frame.id)) ||
        !store(m, kFieldIsExtendedId, flag(f.extended)) || !store(m, kFieldIsRemoteFrame, flag(f.remote)) ||
        !store(m, kFieldIsErrorFrame, flag(f.error)) || !store(m, kFieldChannel, st.channels[frame.channel]) ||
        !store_new(m, kFieldDlc, PyLong_FromUnsignedLong(frame.dlc)) ||
        !store_new(m, kFieldData, PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(payload), length)) ||
        !store(m, kFieldIsFd, flag(f.fd)) || !store(m, kFieldIsRx, flag(f.rx)) ||
        !store(m, kFieldBitrateSwitch, flag(f.bitrate_switch)) ||
        !store(m, kFieldErrorStateIndicator, flag(f.error_state_indicator)))
        return nullptr;
    return message.release();
}

PyObject* create_can_msg_extension_type(PyObject* message_base) {
    PyRef bases(PyTuple_Pack(1, message_base));
    if (!bases) return nullptr;
    PyRef type(PyType_FromSpecWithBases(&g_spec, bases.get()));
    if (!type || !set_up_access(message_base, type.get())) return nullptr;
    return type.release();
}

}  // namespace tolvar::host
