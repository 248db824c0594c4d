// MdfFile, the reader: turns a path or file object into a Stream, removes the
// container layers and opens the MDF document on what remains. The native
// part of each instance owns the document, the Stream, and a file object that
// the base class opened for a path.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tolvar::host {

// True while `reader` (an MdfFile) holds the document it held at
// `generation`: not closed, not reinitialised since.
bool reader_is_open(PyObject* reader, uint64_t generation);

// Holds off the freeing of a reader's document and Stream while a record
// cursor reads through them. A file object's methods are host code, and may
// close or reinitialise the reader in the middle of a read: the reader is
// then closed at once for everyone else, but what it released is freed only
// when the last hold ends. Keeps a reference to the reader meanwhile.
class ReaderHold {
public:
    explicit ReaderHold(PyObject* reader);
    ~ReaderHold();
    ReaderHold(const ReaderHold&) = delete;
    ReaderHold& operator=(const ReaderHold&) = delete;

private:
    PyObject* reader_;  // owned reference
};

}  // namespace tolvar::host
