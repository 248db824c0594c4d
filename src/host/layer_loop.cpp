#include <Python.h>

#include "host/layer_loop.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "host/py_ref.h"
#include "stream/compressed_layer.h"
#include "stream/container_header.h"
#include "stream/encrypted_layer.h"

namespace tolvar::host {

namespace {

// Closes the stream and leaves the error indicator as it is.
stream::StreamPtr fail(stream::StreamPtr& stream) {
    close(stream);
    return nullptr;
}

stream::StreamPtr fail_with(stream::StreamPtr& stream, PyObject* type, const char* message) {
    close(stream);
    PyErr_SetString(type, message);
    return nullptr;
}

// The password value for a key, or an empty owner. Sets `failed` when the
// lookup itself raised (passwords that are not a mapping).
PyRef lookup(PyObject* passwords, const char* key, bool* failed) {
    *failed = false;
    PyRef name(PyUnicode_FromString(key));
    if (!name) {
        *failed = true;
        return PyRef();
    }
    if (PyDict_Check(passwords)) {
        PyObject* value = PyDict_GetItemWithError(passwords, name.get());  // borrowed
        if (value == nullptr && PyErr_Occurred()) *failed = true;
        return PyRef::borrow(value);
    }
    // Any other object is asked like a dict: a missing key is no error,
    // anything else it raises (None, a list) is.
    PyRef value(PyObject_GetItem(passwords, name.get()));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
        } else {
            *failed = true;
        }
    }
    return value;
}

}  // namespace

stream::StreamPtr unwrap_layers(stream::StreamPtr stream, PyObject* passwords, bool release_lock) {
    stream::ContainerHeader header;
    while (stream::detect_layer_header(stream.get(), &header)) {
        std::unique_ptr<stream::DecodedLayerStream> layer;
        if (header.layer_type == stream::kLayerCompressed) {
            if (release_lock) {
                Py_BEGIN_ALLOW_THREADS
                layer = stream::open_compressed(stream.get(), &header);
                Py_END_ALLOW_THREADS
            } else {
                layer = stream::open_compressed(stream.get(), &header);
            }
            if (!layer) return fail_with(stream, PyExc_RuntimeError, "Could not decompress stream");
        } else if (header.layer_type == stream::kLayerEncrypted) {
            if (passwords == nullptr) {
                return fail_with(stream, PyExc_RuntimeError, "Encrypted file detected, but no passwords supplied");
            }
            char key[9];
            std::snprintf(key, sizeof key, "%08X", static_cast<unsigned>(header.key_identifier));
            bool failed = false;
            PyRef value = lookup(passwords, key, &failed);
            if (failed) return fail(stream);
            if (!value) {
                value = lookup(passwords, "default", &failed);
                if (failed) return fail(stream);
            }
            if (!value) return fail_with(stream, PyExc_RuntimeError, "Could not find key to decrypt stream");
            PyRef encoded(PyUnicode_AsASCIIString(value.get()));
            if (!encoded) return fail(stream);
            const char* bytes = PyBytes_AsString(encoded.get());
            if (bytes == nullptr) return fail(stream);
            // The password ends at the first zero byte, as a C string would.
            const uint8_t* password = reinterpret_cast<const uint8_t*>(bytes);
            const size_t password_length = std::strlen(bytes);
            if (release_lock) {
                // The password's bytes belong to `encoded`, which nothing
                // else sees while the lock is released.
                Py_BEGIN_ALLOW_THREADS
                layer = stream::open_encrypted(stream.get(), &header, password, password_length);
                Py_END_ALLOW_THREADS
            } else {
                layer = stream::open_encrypted(stream.get(), &header, password, password_length);
            }
            if (!layer) return fail_with(stream, PyExc_RuntimeError, "Could not decrypt stream");
        } else {
            return fail_with(stream, PyExc_RuntimeError, "Could not open data source");
        }
        // The layer holds its whole content: the stream it came from can go.
        close(stream);
        stream = std::move(layer);
    }
    // A source that raised while being tested (a host file object whose read
    // failed) is a failure of its own, not a stream without layers.
    if (PyErr_Occurred()) return fail(stream);
    return stream;
}

}  // namespace tolvar::host
