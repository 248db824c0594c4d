// A move-only owner of one strong reference to a Python object. Owns the
// reference it holds (released when the owner goes); borrows nothing.
#pragma once

#include <Python.h>

#include <utility>

namespace tolvar::host {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (nullptr allowed, e.g. a failed call).
    explicit PyRef(PyObject* owned) : object_(owned) {}
    PyRef(PyRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    // Takes a reference of its own to a borrowed object.
    static PyRef borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

    // Hands the reference to the caller.
    PyObject* release() {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

    void reset(PyObject* owned = nullptr) {
        // Swap first: releasing the old object may run arbitrary code that
        // looks at this owner again.
        PyObject* old = object_;
        object_ = owned;
        Py_XDECREF(old);
    }

private:
    PyObject* object_ = nullptr;
};

// Holds the current exception aside while other Python code runs (a logger
// call, a cleanup call), and puts it back when the scope ends.
class SavedError {
public:
    SavedError() { PyErr_Fetch(&type_, &value_, &traceback_); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() { PyErr_Restore(type_, value_, traceback_); }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

}  // namespace tolvar::host
