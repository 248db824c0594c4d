"""A plain Python decoder of CAN signals by this package's rules, bit by bit,
to check the native decoding against on random payloads; and what cantools'
own decoder gives of a frame, in the same terms.

Our rules, which decode_row follows and where they differ from cantools':

- A frame carries min(len(data), message.length) bytes; a signal not wholly
  inside them is absent (None). cantools, with allow_truncated=True, drops the
  same signals.
- A multiplexed signal is present when its multiplexer is present and the
  multiplexer's raw value is one of the signal's multiplexer_ids. cantools
  compares int(physical value) (scale and offset applied), and raises
  DecodeError for the whole frame when the value selects nothing it knows;
  here only the signals below that multiplexer are absent.
- The physical value is the raw value when scale is 1 and offset 0, else
  float(raw) * scale + offset in float64 (two roundings). cantools keeps
  integers exact for whole-number scales and offsets, so values past 2**53
  may differ in their last bits.
- With choices, a signal with a value table gives the name of its raw value,
  or None where the value is unnamed (cantools gives the number). A float's
  raw value is named only when it is a whole number (cantools names
  int(raw)).
"""

from __future__ import annotations

import math
import struct
from typing import Any, Dict, Optional

FLOAT_FORMATS = {16: ">e", 32: ">f", 64: ">d"}


def raw_bits(data: bytes, start: int, length: int, byte_order: str) -> int:
    """The signal's bits as an unsigned integer, read one bit at a time:
    little-endian from bit `start` (bit i is bit i % 8 of byte i // 8)
    upwards, least significant first; big-endian from bit `start` as the most
    significant, down a byte's bits and on from its bit 0 to bit 7 of the
    next byte."""
    def bit(i: int) -> int:
        return (data[i // 8] >> (i % 8)) & 1

    value = 0
    if byte_order == "little_endian":
        for k in range(length):
            value |= bit(start + k) << k
        return value
    at = start
    for _ in range(length):
        value = (value << 1) | bit(at)
        at = at + 15 if at % 8 == 0 else at - 1
    return value


def last_byte(start: int, length: int, byte_order: str) -> int:
    """The last byte a signal's bits reach."""
    if byte_order == "little_endian":
        return (start + length - 1) // 8
    at = start
    for _ in range(length - 1):
        at = at + 15 if at % 8 == 0 else at - 1
    return at // 8


def raw_value(signal: Any, data: bytes) -> Any:
    """The raw value: an int (two's complement applied where signed) or the
    float the bits are."""
    bits = raw_bits(data, signal.start, signal.length, signal.byte_order)
    if signal.is_float:
        return struct.unpack(FLOAT_FORMATS[signal.length], bits.to_bytes(signal.length // 8, "big"))[0]
    if signal.is_signed and bits >> (signal.length - 1):
        return bits - (1 << signal.length)
    return bits


def physical(signal: Any, raw: Any) -> float:
    if signal.scale == 1 and signal.offset == 0:
        return float(raw)
    return float(raw) * float(signal.scale) + float(signal.offset)


def value_name(signal: Any, raw: Any) -> Optional[str]:
    choices = signal.choices or {}
    if isinstance(raw, float):
        if not math.isfinite(raw) or raw != int(raw):
            return None
        raw = int(raw)
    name = choices.get(raw)
    return None if name is None else str(name)


def decode_row(message: Any, data: bytes, choices: bool = False) -> Dict[str, Any]:
    """Every signal of the message: its physical value (float), its value's
    name (choices=True and a value table), or None where absent or unnamed."""
    available = min(len(data), message.length)
    padded = bytes(data[:available]).ljust(64, b"\0")
    by_name = {s.name: s for s in message.signals}
    raws: Dict[str, Any] = {}

    def present(signal: Any, depth: int = 0) -> bool:
        if depth > len(message.signals):
            raise ValueError("multiplexer cycle")
        if last_byte(signal.start, signal.length, signal.byte_order) >= available:
            return False
        if signal.multiplexer_signal is None:
            return True
        mux = by_name[signal.multiplexer_signal]
        if not present(mux, depth + 1):
            return False
        return raw_value(mux, padded) in (signal.multiplexer_ids or ())

    row: Dict[str, Any] = {}
    for s in message.signals:
        if not present(s):
            row[s.name] = None
            continue
        raw = raws[s.name] = raw_value(s, padded)
        row[s.name] = value_name(s, raw) if choices and s.choices else physical(s, raw)
    return row


def cantools_row(message: Any, data: bytes, choices: bool = False) -> Dict[str, Any]:
    """What cantools' decoder gives of the frame in decode_row's terms:
    absent signals as None, numbers as float, names as str (an unnamed value
    of a signal with a value table as None). Raises cantools' DecodeError
    where it does (a multiplexer value it does not know)."""
    decoded = message.decode(bytes(data), decode_choices=choices, allow_truncated=True, allow_excess=True)
    row: Dict[str, Any] = {}
    for s in message.signals:
        if s.name not in decoded:
            row[s.name] = None
            continue
        value = decoded[s.name]
        if choices and s.choices:
            row[s.name] = str(value) if isinstance(value, (str,)) or hasattr(value, "value") else None
        else:
            row[s.name] = float(value.value if hasattr(value, "value") else value)
    return row


def same_value(a: Any, b: Any) -> bool:
    """Equal, NaN equal to NaN, and float64 -0.0 apart from 0.0."""
    if isinstance(a, float) and isinstance(b, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    return a == b
