// Removes the container layers of a recording: while the stream begins with a
// layer header, it is replaced by the decoded content of that layer. Takes
// ownership of the stream it is given; borrows the passwords object.
#pragma once

#include <Python.h>

#include "stream/stream.h"

namespace tolvar::host {

// Returns the innermost stream (the given one when it has no layer header).
// `passwords` is the value of the keyword `passwords`, or nullptr when the
// keyword was absent; it is looked at only for an encrypted layer.
// On failure the stream has been closed and the result is nullptr with a
// Python exception set ("Could not decompress stream", "Could not decrypt
// stream", ..., or the host's own error from a password lookup or encoding).
// With `release_lock` (a stream that never calls host code), each layer is
// decoded with the interpreter lock released, so other threads run meanwhile.
stream::StreamPtr unwrap_layers(stream::StreamPtr stream, PyObject* passwords, bool release_lock = false);

}  // namespace tolvar::host
