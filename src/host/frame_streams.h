// Streams of record batches (the Arrow C stream interface) over a reader's
// recording: the frames its filters pass, in iteration's order, a bounded
// chunk at a time. A stream owns its walk and a share of the recording
// (RecordingShare) and the reader's stream gate, so that it reads on after
// the reader was closed or collected and lets go of everything from any
// thread; it borrows nothing of the reader.
#pragma once

#include <Python.h>

#include "bus/arrow_batches.h"

namespace tolvar::host {

// A new stream over `reader`'s open recording into `out`, batches of
// `schema` of at most the reader's batch_rows rows. False with an exception
// set: RuntimeError "Handle has been closed", MemoryError.
bool open_frame_stream(PyObject* reader, const bus::BatchSchema& schema, ArrowArrayStream* out);

// The get_next of every such stream: tells them from other streams.
int get_frame_batch(ArrowArrayStream* stream, ArrowArray* out);

}  // namespace tolvar::host
