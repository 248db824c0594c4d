// The module's one state, its constants (interned names, channel names, the
// empty tuple) and their making at import.
#include <Python.h>

#include "host/module.h"

#include "bus/frame.h"

namespace tolvar::host {
namespace {

// The one state of the module (see module.h): nothing else in src/host
// holds interpreter objects or counters between calls.
ModuleState g_state;

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
           intern(n.read, "read") && intern(n.seek, "seek") && intern(n.tell, "tell") && intern(n.fspath, "__fspath__") &&
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

bool make_channel_names() {
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

}  // namespace

ModuleState& module_state() { return g_state; }

bool make_constants() { return make_names() && make_channel_names(); }

}  // namespace tolvar::host
