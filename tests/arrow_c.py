"""The Arrow C stream interface driven from ctypes, as a consumer in another
language drives it: a stream taken out of its PyCapsule, its get_next and
every release called from any thread, without the interpreter lock (ctypes
lets go of it around each foreign call)."""

from __future__ import annotations

import ctypes
from typing import Any, List


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))), ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)), ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)), ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p),
]


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [("get_schema", ctypes.c_void_p), ("get_next", ctypes.c_void_p), ("get_last_error", ctypes.c_void_p),
                ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


_GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))
_GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))
_LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))
_RELEASE_STREAM = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))
_RELEASE_ARRAY = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
_RELEASE_SCHEMA = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def take_stream(capsule: Any) -> ArrowArrayStream:
    """Moves the stream out of its capsule (the capsule keeps a released
    one), as a consumer does."""
    inside = ArrowArrayStream.from_address(_get_pointer(capsule, b"arrow_array_stream"))
    stream = ArrowArrayStream()
    ctypes.memmove(ctypes.byref(stream), ctypes.byref(inside), ctypes.sizeof(ArrowArrayStream))
    inside.release = None
    return stream


def next_batch(stream: ArrowArrayStream) -> ArrowArray:
    """The next batch (released: the end); raises OSError with the stream's
    last error."""
    array = ArrowArray()
    code = _GET_NEXT(stream.get_next)(ctypes.byref(stream), ctypes.byref(array))
    if code != 0:
        raise OSError(code, _LAST_ERROR(stream.get_last_error)(ctypes.byref(stream)).decode())
    return array


def schema_of(stream: ArrowArrayStream) -> ArrowSchema:
    schema = ArrowSchema()
    assert _GET_SCHEMA(stream.get_schema)(ctypes.byref(stream), ctypes.byref(schema)) == 0
    return schema


def children(array: ArrowArray) -> List[ArrowArray]:
    return [array.children[i].contents for i in range(array.n_children)]


def column_values(array: ArrowArray, index: int, ctype: Any) -> List[Any]:
    """The values of a fixed-width child column."""
    child = array.children[index].contents
    values = ctypes.cast(child.buffers[1], ctypes.POINTER(ctype))
    return [values[i] for i in range(child.length)]


def release_stream(stream: ArrowArrayStream) -> None:
    _RELEASE_STREAM(stream.release)(ctypes.byref(stream))


def release_array(array: ArrowArray) -> None:
    _RELEASE_ARRAY(array.release)(ctypes.byref(array))


def release_schema(schema: ArrowSchema) -> None:
    _RELEASE_SCHEMA(schema.release)(ctypes.byref(schema))
