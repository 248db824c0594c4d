#include <Python.h>

#include "host/reader_source.h"

#include <cerrno>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "bus/record_plan.h"
#include "host/host_file_stream.h"
#include "host/layer_loop.h"
#include "host/module.h"
#include "host/py_ref.h"
#include "mdf/mdf_document.h"
#include "stream/file_stream.h"

namespace tolvar::host {
namespace {

int instance_of(PyObject* object, PyObject* type) { return PyObject_IsInstance(object, type); }

// 1 for a path: a str or any os.PathLike, that is an object whose type has
// __fspath__ (pathlib's paths, PurePath's subclasses, a caller's own class),
// as os.fspath and open() see it. 0 for anything else: bytes too, which
// python-can's own readers take for no path since 4.6 (up to 4.5 their base
// opens it, see open_source). -1 with an exception set.
int is_path(PyObject* object) {
    const int is_str = instance_of(object, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (is_str != 0) return is_str;
    PyRef fspath(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), names().fspath));
    if (!fspath) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    // A class may set __fspath__ to None to say it is no path.
    return fspath.get() != Py_None ? 1 : 0;
}

// A path opens with the file-system encoding, as Python's own open() does.
stream::StreamPtr open_path(PyObject* path) {
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(path, &encoded) == 0) return nullptr;
    PyRef owner(encoded);
    const char* bytes = PyBytes_AsString(encoded);
    if (bytes == nullptr) return nullptr;
    errno = 0;
    stream::StreamPtr stream = stream::FileStream::open(bytes);
    if (stream) return stream;
    // OSError's constructor picks the subclass of the cause (FileNotFoundError,
    // PermissionError, IsADirectoryError, ...) as open() would raise it.
    const int cause = errno != 0 ? errno : ENOENT;
    PyRef error(PyObject_CallFunction(PyExc_OSError, "isO", cause, "Could not open file", path));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

}  // namespace

stream::StreamPtr open_source(ReaderState& state, PyObject* file, PyObject* source) {
    const ModuleState& r = module_state();
    const int file_is_path = is_path(file);
    if (file_is_path < 0) return nullptr;
    if (file_is_path == 1) return open_path(file);

    const int is_file = instance_of(file, r.io_base);
    if (is_file < 0) return nullptr;
    if (is_file == 0) {
        PyErr_SetString(PyExc_ValueError, "Unknown data source type");
        return nullptr;
    }
    if (source != nullptr && source != file) {
        // What the base opened is a path, bytes included (open() takes them).
        const int source_is_path = PyBytes_Check(source) ? 1 : is_path(source);
        if (source_is_path < 0) return nullptr;
        if (source_is_path == 1) {
            // The base class opened the caller's path: read the same file
            // natively instead of through a method call per record.
            stream::StreamPtr stream = open_path(source);
            if (stream) state.base_opened_file = PyRef::borrow(file);
            return stream;
        }
    }
    stream::StreamPtr stream = HostFileStream::create(file, r.io_base);
    if (!stream && PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "Could not allocate buffer");
    }
    return stream;
}

bool open_recording(ReaderState& state, PyObject* file, PyObject* source, PyObject* passwords, bool any_writer,
                    const FilterOptions& filter_options, OpenRecording& out) {
    stream::StreamPtr stream = open_source(state, file, source);
    if (!stream) return false;
    // Asked before the stream moves: the order in which arguments are
    // evaluated is the compiler's.
    const bool native_reads = host_object(stream) == nullptr;
    stream = unwrap_layers(std::move(stream), passwords, native_reads);
    mdf::ParseOptions parse_options;
    parse_options.any_writer = any_writer;
    bus::PlanOptions plan_options;
    plan_options.any_writer = any_writer;
    std::unique_ptr<mdf::MdfDocument> document;
    std::optional<std::vector<bus::GroupPlan>> plans;
    if (stream && PyErr_Occurred() == nullptr) document = mdf::MdfDocument::open(stream.get(), parse_options);
    if (document) plans = bus::build_plans(*document, plan_options);
    std::unique_ptr<bus::FrameFilter> filter;
    if (plans && PyErr_Occurred() == nullptr) {
        filter = make_filter(filter_options);
        if (!filter && filter_options.any()) plans.reset();
    }
    // A file object that raised while the tree was read is the cause the
    // caller needs, even where a parser took the failed read for an end.
    if (!plans || PyErr_Occurred() != nullptr) {
        plans.reset();
        document.reset();
        close(stream);
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "Could not open data source");
        }
        return false;
    }
    out.stream = std::move(stream);
    out.document = std::move(document);
    out.plans = std::move(*plans);
    out.filter = std::move(filter);
    return true;
}

PyObject* host_object(const stream::StreamPtr& stream) {
    const HostFileStream* host = dynamic_cast<const HostFileStream*>(stream.get());
    return host != nullptr ? host->object() : nullptr;
}

PyObject* caller_source(PyObject* args, PyObject* kwargs) {
    if (PyTuple_Size(args) > 0) return PyTuple_GetItem(args, 0);
    if (kwargs != nullptr) return PyDict_GetItem(kwargs, names().file);
    return nullptr;
}

}  // namespace tolvar::host
