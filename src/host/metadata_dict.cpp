#include <Python.h>

#include "host/metadata_dict.h"

#include <string>

#include "host/module.h"
#include "host/py_ref.h"
#include "metadata/metadata_reader.h"

namespace tolvar::host {
namespace {

PyObject* decode(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// Stores the new reference value under key; false with an exception set.
bool set_item(PyObject* dict, PyObject* key, PyObject* value) {
    PyRef owned(value);
    return owned && PyDict_SetItem(dict, key, owned.get()) == 0;
}

}  // namespace

PyObject* metadata_to_dict(const char* text, size_t length) {
    const metadata::PropertyMap map = metadata::read_metadata(text, length);
    PyRef result(PyDict_New());
    if (!result) return nullptr;

    PyObject* const* keys = names().property_fields;
    for (const metadata::PropertyMap::Entry& entry : map) {
        const metadata::PropertyNode& node = entry.node;
        PyRef property(PyDict_New());
        if (!property) return nullptr;
        if (!set_item(property.get(), keys[0], decode(node.name)) ||
            !set_item(property.get(), keys[1], decode(node.description)) ||
            !set_item(property.get(), keys[2], PyBool_FromLong(node.read_only ? 1 : 0)) ||
            !set_item(property.get(), keys[3], decode(node.unit)) ||
            !set_item(property.get(), keys[4], decode(node.value)) ||
            !set_item(property.get(), keys[5], decode(node.type))) {
            return nullptr;
        }
        PyRef key(decode(entry.key));
        if (!key || PyDict_SetItem(result.get(), key.get(), property.get()) != 0) return nullptr;
    }
    return result.release();
}

}  // namespace tolvar::host
