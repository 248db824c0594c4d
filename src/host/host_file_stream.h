// A Stream over a binary file object of the host interpreter, read through the
// object's own read/seek/tell methods. Owns one reference to the object (never
// closes the file itself) and a read-ahead window of its bytes.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "host/py_ref.h"
#include "stream/stream.h"

namespace tolvar::host {

// Every operation calls into the interpreter: use it with the interpreter lock
// held. A method of the object that raises leaves its exception set and the
// operation returns -1; the host layer turns that into the caller's error.
class HostFileStream final : public stream::Stream {
public:
    // Bytes fetched per call of the object's read. Records are read a few
    // dozen bytes at a time, so serving them from a window of the file keeps
    // the per-record cost a copy instead of two interpreter calls.
    static constexpr uint64_t kWindow = 64 * 1024;

    // No stream when object is not an instance of io_base (the host's
    // io.IOBase) or the instance test raises (its exception stays set).
    static std::unique_ptr<HostFileStream> create(PyObject* object, PyObject* io_base);
    ~HostFileStream() override;

    // Fills up to n bytes, calling read again while the object delivers short
    // counts. A result that is not bytes gives -1; bytes beyond what was
    // asked for are dropped, never copied. None counts as the end.
    int64_t read(void* buffer, uint64_t n) override;
    // Always -1: the reader never writes to its input.
    int64_t write(const void* buffer, uint64_t n) override;
    int64_t tell() override;
    // Whence 0 and 1 move a position kept here; the object is repositioned
    // when bytes are next fetched. Whence 2 asks the object. Any other whence
    // is passed on as -1, which the object refuses.
    int64_t seek(int64_t offset, int whence) override;
    // Drops the reference without calling the object's close.
    int close() override;

    // The file object (borrowed; null after close), for the host's cycle
    // collector to see the reference this stream holds.
    PyObject* object() const { return object_.get(); }

private:
    // Takes a reference of its own to the borrowed object.
    explicit HostFileStream(PyObject* object) : object_(PyRef::borrow(object)) {}

    bool locate();
    bool place_object();
    int64_t call_read(uint8_t* destination, uint64_t n);
    int64_t call_seek(int64_t offset, int whence);

    PyRef object_;
    std::vector<uint8_t> window_;
    int64_t window_start_ = 0;
    uint64_t window_size_ = 0;     // valid bytes of window_
    int64_t position_ = -1;        // the stream's position; -1 until first asked
    int64_t object_position_ = -1; // where the object stands; -1 when unknown
};

}  // namespace tolvar::host
