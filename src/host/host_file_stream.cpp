#include <Python.h>

#include "host/host_file_stream.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "host/module.h"
#include "host/py_ref.h"

namespace tolvar::host {
namespace {

bool is_int(PyObject* object) {
    return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_LONG_SUBCLASS) != 0;
}

bool is_bytes(PyObject* object) {
    return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_BYTES_SUBCLASS) != 0;
}

// A position from an int result; -1 for anything else, with the exception of
// a failed conversion left set.
int64_t position_from(PyObject* result) {
    if (result == nullptr || !is_int(result)) return -1;
    const Py_ssize_t value = PyLong_AsSsize_t(result);
    if (value < 0) return -1;
    return static_cast<int64_t>(value);
}

}  // namespace

std::unique_ptr<HostFileStream> HostFileStream::create(PyObject* object, PyObject* io_base) {
    if (object == nullptr || io_base == nullptr) return nullptr;
    if (PyObject_IsInstance(object, io_base) != 1) return nullptr;
    return std::unique_ptr<HostFileStream>(new (std::nothrow) HostFileStream(object));
}

HostFileStream::~HostFileStream() { close(); }

int64_t HostFileStream::call_read(uint8_t* destination, uint64_t n) {
    PyObject* name = names().read;
    PyRef count(PyLong_FromUnsignedLongLong(n));
    if (!count) return -1;
    PyRef result(PyObject_CallMethodObjArgs(object_.get(), name, count.get(), nullptr));
    if (!result) {
        object_position_ = -1;
        return -1;
    }
    int64_t placed = -1;
    if (result.get() == Py_None) {
        placed = 0;
    } else if (is_bytes(result.get())) {
        char* bytes = nullptr;
        Py_ssize_t length = 0;
        if (PyBytes_AsStringAndSize(result.get(), &bytes, &length) == 0) {
            const uint64_t got = static_cast<uint64_t>(length);
            // A read that hands back more than was asked for is the object's
            // fault; only what fits is taken, and the object's position is no
            // longer known.
            placed = static_cast<int64_t>(std::min(got, n));
            std::memcpy(destination, bytes, static_cast<size_t>(placed));
            if (got > n || object_position_ < 0) {
                object_position_ = -1;
            } else {
                object_position_ += placed;
            }
        }
    }
    if (placed < 0) object_position_ = -1;
    return placed;
}

int64_t HostFileStream::call_seek(int64_t offset, int whence) {
    PyObject* name = names().seek;
    PyRef target(PyLong_FromLongLong(offset));
    PyRef from(PyLong_FromLong(whence));
    if (!target || !from) return -1;
    PyRef result(PyObject_CallMethodObjArgs(object_.get(), name, target.get(), from.get(), nullptr));
    object_position_ = position_from(result.get());
    return object_position_;
}

// Learns the stream's position from the object the first time it is needed:
// the object may have been handed over anywhere in the file.
bool HostFileStream::locate() {
    if (position_ >= 0) return true;
    PyObject* name = names().tell;
    PyRef result(PyObject_CallMethodObjArgs(object_.get(), name, nullptr));
    const int64_t position = position_from(result.get());
    if (position < 0) return false;
    position_ = position;
    object_position_ = position;
    return true;
}

bool HostFileStream::place_object() {
    if (object_position_ == position_) return true;
    return call_seek(position_, stream::kSeekSet) == position_;
}

int64_t HostFileStream::read(void* buffer, uint64_t n) {
    // An exception already set (an earlier failed call whose result a caller
    // ignored) stays the one reported: no further interpreter calls.
    if (!object_ || PyErr_Occurred() != nullptr) return -1;
    if (n == 0) return 0;
    if (!locate()) return -1;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint64_t total = 0;
    while (total < n) {
        const uint64_t want = n - total;
        if (window_size_ > 0 && position_ >= window_start_ &&
            static_cast<uint64_t>(position_ - window_start_) < window_size_) {
            const uint64_t offset = static_cast<uint64_t>(position_ - window_start_);
            const uint64_t take = std::min(window_size_ - offset, want);
            std::memcpy(out + total, window_.data() + offset, static_cast<size_t>(take));
            total += take;
            position_ += static_cast<int64_t>(take);
            continue;
        }
        if (!place_object()) return -1;
        if (want >= kWindow) {
            // Large reads (a whole layer) go straight into the caller's buffer.
            const int64_t got = call_read(out + total, want);
            if (got < 0) return -1;
            if (got == 0) break;
            total += static_cast<uint64_t>(got);
            position_ += got;
            continue;
        }
        if (window_.size() < kWindow) {
            try {
                window_.resize(kWindow);
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                return -1;
            }
        }
        window_size_ = 0;
        const int64_t got = call_read(window_.data(), kWindow);
        if (got < 0) return -1;
        if (got == 0) break;
        window_start_ = position_;
        window_size_ = static_cast<uint64_t>(got);
    }
    return static_cast<int64_t>(total);
}

int64_t HostFileStream::write(const void*, uint64_t) { return -1; }

int64_t HostFileStream::tell() {
    if (!object_ || PyErr_Occurred() != nullptr) return -1;
    return locate() ? position_ : -1;
}

int64_t HostFileStream::seek(int64_t offset, int whence) {
    if (!object_ || PyErr_Occurred() != nullptr) return -1;
    int64_t target = 0;
    switch (whence) {
    case stream::kSeekSet:
        target = offset;
        break;
    case stream::kSeekCur:
        if (!locate()) return -1;
        if (__builtin_add_overflow(position_, offset, &target)) return -1;
        break;
    default: {
        // The end is known only to the object. Whence values the system does
        // not define are passed on as -1 so the object refuses them itself.
        const int64_t position = call_seek(offset, whence == stream::kSeekEnd ? stream::kSeekEnd : -1);
        if (position < 0) return -1;
        position_ = position;
        return position;
    }
    }
    if (target < 0) {
        // Let the object report the bad position in its own words.
        const int64_t position = call_seek(target, stream::kSeekSet);
        if (position < 0) return -1;
        position_ = position;
        return position;
    }
    position_ = target;
    return target;
}

int HostFileStream::close() {
    if (!object_) return 0;
    PyRef object(std::move(object_));  // released last: it may run host code
    window_.clear();
    window_.shrink_to_fit();
    window_size_ = 0;
    return 0;
}

}  // namespace tolvar::host
