// Move-only owners of Python references at the host boundary: PyRef (one
// strong reference), PendingError (an exception taken out of the error
// indicator) and SavedError (the current exception held aside for a scope).
// Each owns the references it holds (released when the owner goes); none
// borrows.
#pragma once

#include <Python.h>

#include <utility>

namespace tolvar::host {

// A move-only owner of one strong reference to a Python object.
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

// An exception taken out of the interpreter's error indicator (type, value,
// traceback), to be raised again later: an iterator's failure that belongs to
// its next call. Owns the three references; an empty one holds none.
class PendingError {
public:
    PendingError() = default;
    PendingError(PendingError&&) = default;
    PendingError& operator=(PendingError&&) = default;

    // Takes the current exception, replacing (and releasing) what it held;
    // empty afterwards when none was set.
    void fetch() {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PendingError old(std::move(*this));
        type_.reset(type);
        value_.reset(value);
        traceback_.reset(traceback);
    }
    // Sets the held exception as the current one (an empty owner clears the
    // indicator) and is empty afterwards.
    void restore() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

    bool empty() const { return !type_; }
    // Releases what it holds; the releases may run host code, which finds
    // this owner empty already.
    void clear() { PendingError old(std::move(*this)); }
    // For a holder's tp_traverse: a traceback's frames may refer back to it.
    int visit(visitproc visit, void* arg) const {
        for (PyObject* object : {type_.get(), value_.get(), traceback_.get()}) {
            if (object != nullptr) {
                const int result = visit(object, arg);
                if (result != 0) return result;
            }
        }
        return 0;
    }

private:
    PyRef type_;
    PyRef value_;
    PyRef traceback_;
};

// Holds the current exception aside while other Python code runs (a logger
// call, a cleanup call), and puts it back when the scope ends: whatever that
// code left set is replaced, or cleared when nothing was set before.
class SavedError {
public:
    SavedError() { saved_.fetch(); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() { saved_.restore(); }

private:
    PendingError saved_;
};

}  // namespace tolvar::host
