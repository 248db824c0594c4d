// MdfFileIterator: walks the records of one data group and yields each frame
// as a CanMsgExtension. Owns its record cursor and a reference to its reader;
// borrows the reader's document and Stream, which it checks are still open
// before every step.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "bus/record_iterator.h"

namespace tolvar::host {

// A new iterator over one data group, with its first record already read;
// nullptr with an exception set when it cannot be made or a file object
// raised while the first record was read. `generation` is the reader's open
// generation at the time (see reader_state.h): once the reader is closed or
// reopened, the iterator no longer touches the cursor.
PyObject* create_iterator(PyObject* owner, uint64_t generation, std::optional<bus::RecordIterator> cursor);

// Creates the MdfFileIterator type; a new reference or nullptr with an
// exception set.
PyObject* create_mdf_file_iterator_type();

}  // namespace tolvar::host
