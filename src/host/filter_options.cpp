#include <Python.h>

#include "host/filter_options.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "host/module.h"
#include "host/py_ref.h"
#include "host/reader_state.h"

namespace tolvar::host {
namespace {

bool fail(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return false;
}

// The bits of an int in the 29 identifier bits, whatever its size or sign
// (Python's infinite two's complement).
bool identifier_bits(PyObject* value, PyObject* mask29, uint32_t& out) {
    PyRef low(PyNumber_And(value, mask29));
    if (!low) return false;
    const unsigned long bits = PyLong_AsUnsignedLong(low.get());
    if (bits == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) return false;
    out = static_cast<uint32_t>(bits);
    return true;
}

// One filter dict in python-can's form. A frame's identifier has no bits
// above the 29th, so python-can's test (can_id ^ arbitration_id) & can_mask
// == 0 fails for every frame when can_id & can_mask has a higher bit set:
// such a filter is left out (`matches_nothing`).
bool parse_id_filter(PyObject* item, PyObject* mask29, bus::IdFilter& filter, bool& matches_nothing) {
    const Names& n = names();
    if (!PyDict_Check(item)) return fail(PyExc_TypeError, "can_filters: every filter must be a dict");
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(item, &pos, &key, &value)) {
        const bool known = PyUnicode_Check(key) && (PyUnicode_Compare(key, n.can_id) == 0 ||
                                                    PyUnicode_Compare(key, n.can_mask) == 0 ||
                                                    PyUnicode_Compare(key, n.extended) == 0);
        if (PyErr_Occurred() != nullptr) return false;
        if (!known) {
            return fail(PyExc_ValueError, "can_filters: a filter has a key other than can_id, can_mask and extended");
        }
    }
    PyObject* can_id = PyDict_GetItemWithError(item, n.can_id);
    if (can_id == nullptr && PyErr_Occurred() != nullptr) return false;
    PyObject* can_mask = PyDict_GetItemWithError(item, n.can_mask);
    if (can_mask == nullptr && PyErr_Occurred() != nullptr) return false;
    if (can_id == nullptr || can_mask == nullptr) {
        return fail(PyExc_ValueError, "can_filters: every filter needs can_id and can_mask");
    }
    // Any integer, numpy's too (what operator.index takes); not a float.
    if (!PyIndex_Check(can_id) || !PyIndex_Check(can_mask)) {
        return fail(PyExc_TypeError, "can_filters: can_id and can_mask must be int");
    }
    PyRef id_int(PyNumber_Index(can_id));
    if (!id_int) return false;
    PyRef mask_int(PyNumber_Index(can_mask));
    if (!mask_int) return false;
    can_id = id_int.get();
    can_mask = mask_int.get();
    PyObject* extended = PyDict_GetItemWithError(item, n.extended);
    if (extended == nullptr && PyErr_Occurred() != nullptr) return false;
    filter.extended = -1;
    if (extended != nullptr) {
        if (!PyBool_Check(extended)) return fail(PyExc_TypeError, "can_filters: extended must be a bool");
        filter.extended = extended == Py_True ? 1 : 0;
    }
    PyRef both(PyNumber_And(can_id, can_mask));
    if (!both) return false;
    PyRef shift(PyLong_FromLong(29));
    if (!shift) return false;
    PyRef high(PyNumber_Rshift(both.get(), shift.get()));
    if (!high) return false;
    const int any_high = PyObject_IsTrue(high.get());
    if (any_high < 0) return false;
    matches_nothing = any_high != 0;
    return identifier_bits(can_id, mask29, filter.id) && identifier_bits(can_mask, mask29, filter.mask);
}

bool parse_can_filters(PyObject* value, FilterOptions& options) {
    if (value == Py_None) return true;
    if (PyUnicode_Check(value) || PyBytes_Check(value) || PyDict_Check(value)) {
        return fail(PyExc_TypeError, "can_filters must be a list of filter dicts");
    }
    PyRef iterator(PyObject_GetIter(value));
    if (!iterator) {
        PyErr_Clear();
        return fail(PyExc_TypeError, "can_filters must be a list of filter dicts");
    }
    PyRef mask29(PyLong_FromUnsignedLong(0x1FFFFFFFul));
    if (!mask29) return false;
    std::vector<bus::IdFilter> filters;
    bool any = false;
    while (PyRef item{PyIter_Next(iterator.get())}) {
        any = true;
        bus::IdFilter filter;
        bool matches_nothing = false;
        if (!parse_id_filter(item.get(), mask29.get(), filter, matches_nothing)) return false;
        if (matches_nothing) continue;
        try {
            filters.push_back(filter);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
    }
    if (PyErr_Occurred() != nullptr) return false;
    // As python-can: an empty list is no filter at all.
    if (!any) return true;
    options.by_id = true;
    options.ids = std::move(filters);
    return true;
}

bool parse_channels(PyObject* value, FilterOptions& options) {
    if (value == Py_None) return true;
    if (PyUnicode_Check(value)) {
        return fail(PyExc_TypeError, "channels must be an iterable of channel names, not a single str");
    }
    PyRef iterator(PyObject_GetIter(value));
    if (!iterator) {
        PyErr_Clear();
        return fail(PyExc_TypeError, "channels must be an iterable of channel names");
    }
    std::bitset<bus::kChannelCount> channels;
    while (PyRef item{PyIter_Next(iterator.get())}) {
        if (!PyUnicode_Check(item.get())) return fail(PyExc_TypeError, "channels: every channel must be a str");
        PyRef encoded(PyUnicode_AsUTF8String(item.get()));
        if (!encoded) return false;
        char* text = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(encoded.get(), &text, &size) < 0) return false;
        const int code = bus::channel_of_name(text, static_cast<uint64_t>(size));
        if (code >= 0) channels.set(static_cast<size_t>(code));
    }
    if (PyErr_Occurred() != nullptr) return false;
    options.by_channel = true;
    options.channels = channels;
    return true;
}

// A bound in seconds: int or float, not NaN; None leaves `bound` as it is.
bool parse_bound(PyObject* value, const char* type_error, const char* value_error, double& bound) {
    if (value == Py_None) return true;
    if (PyBool_Check(value) || (!PyFloat_Check(value) && !PyLong_Check(value))) {
        return fail(PyExc_TypeError, type_error);
    }
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return fail(PyExc_ValueError, value_error);
    }
    if (std::isnan(seconds)) return fail(PyExc_ValueError, value_error);
    bound = seconds;
    return true;
}

PyObject* keyword(PyObject* kwargs, PyObject* name) {
    return kwargs != nullptr ? PyDict_GetItemWithError(kwargs, name) : nullptr;
}

}  // namespace

bool parse_filter_options(PyObject* kwargs, FilterOptions& options) {
    const Names& n = names();
    options = FilterOptions();
    options.start = -std::numeric_limits<double>::infinity();
    options.stop = std::numeric_limits<double>::infinity();
    PyObject* can_filters = keyword(kwargs, n.can_filters);
    if (can_filters != nullptr && !parse_can_filters(can_filters, options)) return false;
    PyObject* channels = keyword(kwargs, n.channels);
    if (channels != nullptr && !parse_channels(channels, options)) return false;
    PyObject* start = keyword(kwargs, n.start);
    PyObject* stop = keyword(kwargs, n.stop);
    if (PyErr_Occurred() != nullptr) return false;
    if (start != nullptr &&
        !parse_bound(start, "start must be a number of seconds", "start must be a number, not NaN", options.start))
        return false;
    if (stop != nullptr &&
        !parse_bound(stop, "stop must be a number of seconds", "stop must be a number, not NaN", options.stop))
        return false;
    if (options.start > options.stop) return fail(PyExc_ValueError, "start must not be after stop");
    options.has_window = (start != nullptr && start != Py_None) || (stop != nullptr && stop != Py_None);
    return true;
}

std::unique_ptr<bus::FrameFilter> make_filter(const FilterOptions& options) {
    if (!options.any()) return nullptr;
    std::unique_ptr<bus::FrameFilter> filter(new (std::nothrow) bus::FrameFilter());
    if (!filter) {
        PyErr_NoMemory();
        return nullptr;
    }
    try {
        if (options.by_id) filter->set_id_filters(options.ids);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (options.by_channel) filter->set_channels(options.channels);
    if (options.has_window) filter->set_window(options.start, options.stop);
    return filter;
}

bool parse_selection(PyObject* kwargs, FilterOptions& options) {
    const Names& n = names();
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            bool known = false;
            for (PyObject* own : {n.can_filters, n.channels, n.start, n.stop}) {
                const int equal = PyObject_RichCompareBool(key, own, Py_EQ);
                if (equal < 0) return false;
                known = known || equal == 1;
            }
            if (!known) {
                PyErr_Format(PyExc_TypeError, "_select() got an unexpected keyword argument '%S'", key);
                return false;
            }
        }
    }
    return parse_filter_options(kwargs, options);
}

bool replace_filter(const FilterOptions& options, OpenRecording& recording) {
    std::unique_ptr<bus::FrameFilter> filter = make_filter(options);
    if (!filter && options.any()) return false;
    if (recording.filter) {
        try {
            recording.replaced_filters.push_back(std::move(recording.filter));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
    }
    recording.filter = std::move(filter);
    return true;
}

}  // namespace tolvar::host
