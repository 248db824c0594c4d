"""A plain model of the recording metadata's property table, for tests.

It re-derives, independently of the extension, where each property path lands
in the open-addressing table that orders get_metadata's keys: the key hash, the
home slot, linear probing, and growth with single-precision load factors.
"""

from __future__ import annotations

import struct
from typing import Iterable, List, Optional, Tuple

_MASK = (1 << 64) - 1
_MULTIPLIER = 0xC6A4A7935BD1E99D


def _f32(x: float) -> float:
    """Rounds to the nearest single-precision value."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


_LOAD = _f32(0.85)


def key_hash(key: bytes) -> int:
    n = len(key)
    if n == 0:
        return 1
    if n in (4, 8):
        return (int.from_bytes(key, "little") * _MULTIPLIER) & _MASK
    h = key[0]
    whole = n // 8
    for i in range(whole):
        h = (h + int.from_bytes(key[8 * i:8 * i + 8], "little") * _MULTIPLIER) & _MASK
    for b in key[8 * whole:]:
        h = (h * 1023 - b) & _MASK
    rotated = ((h << 26) | (h >> 38)) & _MASK
    return h ^ rotated


class PropertyTableModel:
    def __init__(self) -> None:
        self.slots: List[Optional[bytes]] = []
        self.count = 0

    @property
    def capacity(self) -> int:
        return len(self.slots)

    def _home(self, key: bytes) -> int:
        return (self.capacity * (key_hash(key) & 0xFFFFFFFF)) >> 32

    def _probe(self, key: bytes) -> int:
        slots, capacity = self.slots, len(self.slots)
        i = self._home(key)
        while True:
            k = slots[i]
            if k is None or k == key:
                return i
            i += 1
            if i == capacity:
                i = 0

    def _grow(self, request: int) -> None:
        if request != self.count and request <= self.capacity:
            return
        new_capacity = (4 + int(_f32(_f32(float(request)) / _LOAD))) | 1
        old = [k for k in self.slots if k is not None]
        self.slots = [None] * new_capacity
        for k in old:
            self.slots[self._probe(k)] = k

    def find_or_insert(self, key: bytes) -> bool:
        """True when the key was new."""
        if self.count + 2 > int(_f32(_f32(float(self.capacity)) * _LOAD)):
            self._grow(self.count * 3 // 2)
        i = self._probe(key)
        if self.slots[i] is not None:
            return False
        self.slots[i] = key
        self.count += 1
        return True

    def keys(self) -> List[bytes]:
        return [k for k in self.slots if k is not None]


def slot_order(paths: Iterable[bytes]) -> Tuple[List[bytes], int]:
    """The keys in slot order and the final capacity, for the property paths
    met in document order (repeated paths included: each is a lookup)."""
    model = PropertyTableModel()
    for p in paths:
        model.find_or_insert(p)
    return model.keys(), model.capacity
