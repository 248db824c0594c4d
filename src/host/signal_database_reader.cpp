// Reads cantools' database objects attribute by attribute (names interned
// once in the module state) into plain descriptions; nothing of cantools is
// kept past the call.
#include <Python.h>

#include "host/signal_database_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <utility>

#include "host/module.h"
#include "host/py_ref.h"
#include "log/log.h"

namespace tolvar::host {
namespace {

constexpr const char* kNeedCantools = "cantools is not installed: pip install python_can_tolvar_mf4[decode]";
// The longest payload of a CAN FD frame.
constexpr uint32_t kLongestFrame = 64;
constexpr const char* kNotDatabase =
    "database must be a cantools database, a path to a database file, or a mapping of channel names to either";

bool load_library() {
    SignalLibrary& l = module_state().signal_library;
    if (l.load_file != nullptr) return true;
    PyRef database(PyImport_ImportModule("cantools.database"));
    if (!database) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ImportError, kNeedCantools);
        }
        return false;
    }
    PyRef can(PyImport_ImportModule("cantools.database.can"));
    PyRef abc(can ? PyImport_ImportModule("collections.abc") : nullptr);
    if (!abc) return false;
    // Every object is taken, or none: the state stays null until all are.
    std::vector<std::pair<PyObject**, PyObject*>> made;
    auto take = [&](PyObject** slot, PyObject* value) {
        if (value == nullptr) return false;
        made.emplace_back(slot, value);
        return true;
    };
    auto intern = [&](PyObject** slot, const char* text) { return take(slot, PyUnicode_InternFromString(text)); };
    const bool ok = take(&l.database_type, PyObject_GetAttrString(can.get(), "Database")) &&
                    take(&l.mapping_type, PyObject_GetAttrString(abc.get(), "Mapping")) &&
                    intern(&l.messages, "messages") && intern(&l.signals, "signals") && intern(&l.name, "name") &&
                    intern(&l.frame_id, "frame_id") && intern(&l.is_extended_frame, "is_extended_frame") &&
                    intern(&l.length, "length") && intern(&l.protocol, "protocol") && intern(&l.start, "start") &&
                    intern(&l.byte_order, "byte_order") && intern(&l.is_signed, "is_signed") &&
                    intern(&l.is_float, "is_float") && intern(&l.scale, "scale") && intern(&l.offset, "offset") &&
                    intern(&l.choices, "choices") && intern(&l.multiplexer_signal, "multiplexer_signal") &&
                    intern(&l.multiplexer_ids, "multiplexer_ids") && intern(&l.source_address, "source_address") &&
                    intern(&l.row, "row") && intern(&l.big_endian, "big_endian") &&
                    intern(&l.j1939, "j1939") &&
                    take(&l.load_file, PyObject_GetAttrString(database.get(), "load_file"));
    for (auto& [slot, value] : made) {
        if (ok) {
            *slot = value;
        } else {
            Py_DecRef(value);
        }
    }
    return ok;
}

const SignalLibrary& library() { return module_state().signal_library; }

// UTF-8 of str(object).
bool text_of(PyObject* object, std::string& out) {
    PyRef text(PyObject_Str(object));
    PyRef encoded(text ? PyUnicode_AsUTF8String(text.get()) : nullptr);
    if (!encoded) return false;
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &size) < 0) return false;
    out.assign(bytes, static_cast<size_t>(size));
    return true;
}

bool get_text(PyObject* object, PyObject* name, std::string& out) {
    PyRef value(PyObject_GetAttr(object, name));
    return value && text_of(value.get(), out);
}

// A whole number attribute; one past what 32 bits hold where it is negative
// or larger, which the program then refuses with its own reason.
bool get_number(PyObject* object, PyObject* name, uint32_t& out) {
    PyRef value(PyObject_GetAttr(object, name));
    if (!value) return false;
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (number == -1 && PyErr_Occurred() != nullptr) return false;
    out = overflow != 0 || number < 0 || number > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint32_t>(number);
    return true;
}

bool get_flag(PyObject* object, PyObject* name, bool& out) {
    PyRef value(PyObject_GetAttr(object, name));
    const int truth = value ? PyObject_IsTrue(value.get()) : -1;
    out = truth == 1;
    return truth >= 0;
}

bool get_real(PyObject* object, PyObject* name, double& out) {
    PyRef value(PyObject_GetAttr(object, name));
    if (!value) return false;
    out = PyFloat_AsDouble(value.get());
    return !(out == -1.0 && PyErr_Occurred() != nullptr);
}

// A raw value as 64 bits of a signal of this signedness: 1, or 0 where no
// raw value of such a signal equals it (not an int, or out of range), or -1
// with an exception set.
int raw_of(PyObject* key, bool is_signed, uint64_t& out) {
    if (!PyLong_Check(key)) return 0;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (value == -1 && PyErr_Occurred() != nullptr) return -1;
    if (overflow == 0) {
        out = static_cast<uint64_t>(value);
        return is_signed || value >= 0 ? 1 : 0;
    }
    if (overflow < 0 || is_signed) return 0;
    const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(key);
    if (PyErr_Occurred() != nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
        PyErr_Clear();
        return 0;
    }
    out = unsigned_value;
    return 1;
}

bool read_value_names(PyObject* signal, bus::SignalDescription& out) {
    PyRef choices(PyObject_GetAttr(signal, library().choices));
    if (!choices) return false;
    if (choices.get() == Py_None) return true;
    PyRef items(PyMapping_Items(choices.get()));
    if (!items) return false;
    const bool is_signed = out.type != bus::SignalValueType::kUnsigned;
    for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
        PyObject* pair = PyList_GetItem(items.get(), i);  // borrowed
        bus::ValueName named;
        const int known = raw_of(PyTuple_GetItem(pair, 0), is_signed, named.raw);
        if (known < 0 || !text_of(PyTuple_GetItem(pair, 1), named.name)) return false;
        if (known > 0) out.value_names.push_back(std::move(named));
    }
    return true;
}

bool read_signal(PyObject* signal, bus::SignalDescription& out) {
    const SignalLibrary& l = library();
    bool is_signed = false, is_float = false;
    PyRef order(PyObject_GetAttr(signal, l.byte_order));
    PyRef multiplexer(PyObject_GetAttr(signal, l.multiplexer_signal));
    if (!order || !multiplexer || !get_text(signal, l.name, out.name) || !get_number(signal, l.start, out.start) ||
        !get_number(signal, l.length, out.length) || !get_flag(signal, l.is_signed, is_signed) ||
        !get_flag(signal, l.is_float, is_float) || !get_real(signal, l.scale, out.scale) ||
        !get_real(signal, l.offset, out.offset)) {
        return false;
    }
    const int big = PyObject_RichCompareBool(order.get(), l.big_endian, Py_EQ);
    if (big < 0) return false;
    out.byte_order = big != 0 ? bus::SignalByteOrder::kBigEndian : bus::SignalByteOrder::kLittleEndian;
    out.type = is_float    ? bus::SignalValueType::kFloat
               : is_signed ? bus::SignalValueType::kSigned
                           : bus::SignalValueType::kUnsigned;
    if (multiplexer.get() != Py_None && !text_of(multiplexer.get(), out.multiplexer)) return false;
    return read_value_names(signal, out);
}

// The raw values that select `s` (cantools lists them one by one) as
// ranges in the order of its multiplexer's signedness.
bool read_selector(PyObject* signal, bool mux_signed, bus::SignalDescription& s) {
    PyRef ids(PyObject_GetAttr(signal, library().multiplexer_ids));
    if (!ids) return false;
    if (ids.get() == Py_None) return true;
    PyRef iterator(PyObject_GetIter(ids.get()));
    if (!iterator) return false;
    std::vector<uint64_t> values;
    while (PyRef id{PyIter_Next(iterator.get())}) {
        uint64_t raw = 0;
        const int known = raw_of(id.get(), mux_signed, raw);
        if (known < 0) return false;
        if (known > 0) values.push_back(raw);
    }
    if (PyErr_Occurred() != nullptr) return false;
    auto less = [&](uint64_t a, uint64_t b) {
        return mux_signed ? static_cast<int64_t>(a) < static_cast<int64_t>(b) : a < b;
    };
    std::sort(values.begin(), values.end(), less);
    for (uint64_t v : values) {
        if (!s.selector.empty() && (s.selector.back().high == v || s.selector.back().high + 1 == v)) {
            s.selector.back().high = v;
        } else {
            s.selector.push_back({v, v});
        }
    }
    return true;
}

bool read_message(PyObject* message, bus::MessageDescription& out) {
    const SignalLibrary& l = library();
    PyRef protocol(PyObject_GetAttr(message, l.protocol));
    PyRef signals(PyObject_GetAttr(message, l.signals));
    if (!protocol || !signals || !get_text(message, l.name, out.name) ||
        !get_number(message, l.frame_id, out.frame_id) || !get_flag(message, l.is_extended_frame, out.extended) ||
        !get_number(message, l.length, out.length)) {
        return false;
    }
    const int j1939 = PyObject_RichCompareBool(protocol.get(), l.j1939, Py_EQ);
    if (j1939 < 0) return false;
    out.j1939 = j1939 != 0;
    PyRef list(PySequence_List(signals.get()));
    if (!list) return false;
    const Py_ssize_t count = PyList_Size(list.get());
    out.signals.resize(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!read_signal(PyList_GetItem(list.get(), i), out.signals[i])) return false;
    }
    // Selector values once every signal's signedness is known.
    for (Py_ssize_t i = 0; i < count; ++i) {
        bus::SignalDescription& s = out.signals[i];
        if (s.multiplexer.empty()) continue;
        const auto mux = std::find_if(out.signals.begin(), out.signals.end(),
                                      [&](const bus::SignalDescription& m) { return m.name == s.multiplexer; });
        const bool mux_signed = mux != out.signals.end() && mux->type == bus::SignalValueType::kSigned;
        if (!read_selector(PyList_GetItem(list.get(), i), mux_signed, s)) return false;
    }
    return true;
}

// One database as given, with the channels it serves by name as the caller
// wrote them (none: every channel).
struct Entry {
    PyRef given;  // see given_of
    std::vector<std::string> channel_names;
    bus::DatabaseDescription description;
};

// What the caller gave for a database, as it is compared with the others:
// the database object, or the path as os.fspath gives it. False with
// TypeError for anything else.
bool given_of(PyObject* value, PyRef& given, bool& is_database) {
    const int database = PyObject_IsInstance(value, library().database_type);
    if (database < 0) return false;
    is_database = database != 0;
    if (is_database) {
        given = PyRef::borrow(value);
        return true;
    }
    if (!PyUnicode_Check(value) && !PyBytes_Check(value) && PyObject_HasAttrString(value, "__fspath__") == 0) {
        PyErr_SetString(PyExc_TypeError, kNotDatabase);
        return false;
    }
    given = PyRef(PyOS_FSPath(value));
    return static_cast<bool>(given);
}

// The database itself, loaded with cantools where a path was given.
PyObject* load(PyObject* given, bool is_database) {
    if (is_database) return PyRef::borrow(given).release();
    PyRef loaded(PyObject_CallFunctionObjArgs(library().load_file, given, nullptr));
    if (!loaded) return nullptr;
    const int is_can = PyObject_IsInstance(loaded.get(), library().database_type);
    if (is_can <= 0) {
        if (is_can == 0) PyErr_SetString(PyExc_TypeError, "the database file holds no CAN database");
        return nullptr;
    }
    return loaded.release();
}

// The database's messages. A message longer than a CAN FD frame (a J1939
// transport message of a DBC, say) cannot come in one frame: it is left out
// with a log line, and the rest of the database decodes.
bool read_database(PyObject* database, bus::DatabaseDescription& out) {
    PyRef messages(PyObject_GetAttr(database, library().messages));
    PyRef list(messages ? PySequence_List(messages.get()) : nullptr);
    if (!list) return false;
    const Py_ssize_t count = PyList_Size(list.get());
    out.messages.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        bus::MessageDescription message;
        if (!read_message(PyList_GetItem(list.get(), i), message)) return false;
        if (message.length > kLongestFrame) {
            TOLVAR_LOG_WARNING("message '%s' is %u bytes long, more than a frame carries: it is not decoded",
                               message.name.c_str(), static_cast<unsigned>(message.length));
            continue;
        }
        out.messages.push_back(std::move(message));
    }
    return true;
}

// "CAN n" as its channel code, or -1: names of other buses never decode.
int can_channel(const std::string& name) {
    if (name.size() < 5 || name.size() > 7 || name.compare(0, 4, "CAN ") != 0) return -1;
    if (name.size() > 5 && name[4] == '0') return -1;
    int number = 0;
    for (size_t i = 4; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        number = number * 10 + (name[i] - '0');
    }
    return number <= 255 ? number : -1;
}

bool read_mapping(PyObject* mapping, std::vector<Entry>& entries) {
    PyRef items(PyMapping_Items(mapping));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
        PyObject* key = PyTuple_GetItem(PyList_GetItem(items.get(), i), 0);
        PyObject* value = PyTuple_GetItem(PyList_GetItem(items.get(), i), 1);
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "database: every channel name must be a str, such as 'CAN 1'");
            return false;
        }
        std::string channel;
        if (!text_of(key, channel)) return false;
        // A channel name that no CAN frame carries would decode nothing,
        // silently: a typo is told at once.
        const int code = can_channel(channel);
        if (code < 0) {
            PyErr_Format(PyExc_ValueError,
                         "database: %R is no CAN channel name (\"CAN n\" with n from 0 to 255, "
                         "as messages carry them)",
                         key);
            return false;
        }
        // A database given twice (the same object, or the same path) is read once.
        PyRef given;
        bool is_database = false;
        if (!given_of(value, given, is_database)) return false;
        Entry* entry = nullptr;
        for (Entry& e : entries) {
            const int same = PyObject_RichCompareBool(e.given.get(), given.get(), Py_EQ);
            if (same < 0) return false;
            if (same > 0) entry = &e;
        }
        if (entry == nullptr) {
            PyRef database(load(given.get(), is_database));
            if (!database) return false;
            entries.emplace_back();
            entry = &entries.back();
            entry->given = std::move(given);
            entry->description.every_channel = false;
            if (!read_database(database.get(), entry->description)) return false;
        }
        entry->channel_names.push_back(channel);
        entry->description.channels.push_back(static_cast<uint16_t>(code));
    }
    return true;
}

}  // namespace

bool read_decode_request(PyObject* database, PyObject* signals, bool choices, DecodeRequest& request) {
    request = DecodeRequest();
    if (!load_library()) return false;
    std::vector<Entry> entries;
    try {
        const int is_mapping = PyObject_IsInstance(database, library().mapping_type);
        if (is_mapping < 0) return false;
        if (is_mapping != 0) {
            if (!read_mapping(database, entries)) return false;
        } else {
            entries.emplace_back();
            bool is_database = false;
            if (!given_of(database, entries.back().given, is_database)) return false;
            PyRef loaded(load(entries.back().given.get(), is_database));
            if (!loaded || !read_database(loaded.get(), entries.back().description)) return false;
        }
        std::vector<GivenDatabase> databases;
        for (Entry& e : entries) databases.push_back({std::move(e.description), std::move(e.channel_names)});
        name_tables(databases, request);
        request.description.choices = choices;
        return select_signals(signals, request);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

bool compile_request(const DecodeRequest& request, bus::SignalProgram& program) {
    std::string error;
    try {
        if (bus::SignalProgram::compile(request.description, program, error)) return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    PyErr_SetString(PyExc_ValueError, error.c_str());
    return false;
}

}  // namespace tolvar::host
