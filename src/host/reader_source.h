// What a reader reads: the Stream of the source its caller gave (a path of
// any kind, a binary file object), or of the path the base class opened for
// it. Owns nothing; the Stream it opens is the caller's, and so is the file
// object it notes in the reader's state.
#pragma once

#include <Python.h>

#include "host/filter_options.h"
#include "host/reader_state.h"
#include "stream/stream.h"

namespace tolvar::host {

// The file object a HostFileStream holds, if the stream is one (borrowed).
PyObject* host_object(const stream::StreamPtr& stream);

// The source the caller passed: the first positional argument or keyword
// `file`; borrowed, nullptr when there is none.
PyObject* caller_source(PyObject* args, PyObject* kwargs);

// The stream of `file` (what the base class left as the reader's file, or
// the caller's source), or nullptr with an exception set. A path is read
// natively; so is the caller's path where the base class opened it itself
// (python-can up to 4.5), whose file then goes to state.base_opened_file to
// be closed with the reader.
stream::StreamPtr open_source(ReaderState& state, PyObject* file, PyObject* source);

// Opens the recording of `file` into `out`: its stream through every
// container layer (`passwords` borrowed, may be null), its document, the
// plans of its data groups and the filter of the keywords. False with an
// exception set when any of them cannot be had; nothing is then left open
// but what the base class opened (state.base_opened_file).
bool open_recording(ReaderState& state, PyObject* file, PyObject* source, PyObject* passwords, bool any_writer,
                    const FilterOptions& filter_options, OpenRecording& out);

}  // namespace tolvar::host
