#include <Python.h>

#include "metadata/metadata_dict.h"

#include <string>

#include "metadata/metadata_reader.h"

namespace tolvar::metadata {
namespace {

// Owns one strong reference.
class Ref {
public:
    explicit Ref(PyObject* object = nullptr) : object_(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }
    PyObject* get() const { return object_; }
    PyObject* release() {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    void reset(PyObject* object) {
        Py_XDECREF(object_);
        object_ = object;
    }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_;
};

PyObject* decode(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// Stores the new reference value under key; false with an exception set.
bool set_item(PyObject* dict, PyObject* key, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItem(dict, key, owned.get()) == 0;
}

}  // namespace

PyObject* metadata_to_dict(const char* text, size_t length) {
    const PropertyMap map = read_metadata(text, length);
    Ref result(PyDict_New());
    if (!result) return nullptr;
    if (map.empty()) return result.release();

    // The keys of every property's dict, in the order the dict shows them.
    static const char* const kKeyNames[] = {"name", "description", "read_only", "unit", "value_raw", "value_type"};
    Ref keys[6];
    for (int i = 0; i < 6; ++i) {
        keys[i].reset(PyUnicode_FromString(kKeyNames[i]));
        if (!keys[i]) return nullptr;
    }

    for (const PropertyMap::Entry& entry : map) {
        const PropertyNode& node = entry.node;
        Ref property(PyDict_New());
        if (!property) return nullptr;
        if (!set_item(property.get(), keys[0].get(), decode(node.name)) ||
            !set_item(property.get(), keys[1].get(), decode(node.description)) ||
            !set_item(property.get(), keys[2].get(), PyBool_FromLong(node.read_only ? 1 : 0)) ||
            !set_item(property.get(), keys[3].get(), decode(node.unit)) ||
            !set_item(property.get(), keys[4].get(), decode(node.value)) ||
            !set_item(property.get(), keys[5].get(), decode(node.type))) {
            return nullptr;
        }
        Ref key(decode(entry.key));
        if (!key || PyDict_SetItem(result.get(), key.get(), property.get()) != 0) return nullptr;
    }
    return result.release();
}

}  // namespace tolvar::metadata
