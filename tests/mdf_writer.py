"""Builds ASAM MDF 4 bus-logging recordings for the tests, in pure Python.

A RecordingWriter collects data groups, channel groups and frames, and builds
a Recording: a graph of blocks that a test may still change (relink, cut,
corrupt) before it serialises it with to_bytes(). The Recording also knows
what a correct reader yields for its bytes (expected_per_group /
expected_merged) and which raw value it stored for every channel of every
record (written_values), so an independent MDF library can check the bytes.

Typical use:

    w = RecordingWriter(start_time_ns=1_500_000_000 * 10**9)
    g = w.data_group(record_id_size=1)
    g.can_channel_group(fd=False)
    g.can_channel_group(fd=True, payload="vlsd")
    g.add_frame(CanFrame(0.25, 0x123, b"\\x01\\x02"))
    data = w.to_bytes()
    frames = w.expected_merged()
"""

from __future__ import annotations

import contextlib
import dataclasses
import gc
import heapq
import json
import math
import random
import struct
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

NANOSECONDS = 1_000_000_000
MASK64 = (1 << 64) - 1

# Channel types, sync types and data types of the MDF 4 format that the
# writer uses.
CN_FIXED, CN_VLSD, CN_MASTER = 0, 1, 2
SYNC_NONE, SYNC_TIME = 0, 1
DT_UINT_LE, DT_UINT_BE, DT_FLOAT_LE, DT_BYTES = 0, 1, 4, 10

# Source types and bus types of a source-information block.
SOURCE_OTHER, SOURCE_ECU, SOURCE_BUS, SOURCE_IO, SOURCE_TOOL, SOURCE_USER = range(6)
BUS_NONE, BUS_OTHER, BUS_CAN, BUS_LIN, BUS_MOST, BUS_FLEXRAY, BUS_KLINE, BUS_ETHERNET, BUS_USB = range(9)

# Channel-group flags.
CG_VLSD, CG_BUS_EVENT, CG_PLAIN_BUS_EVENT = 1, 2, 4

# The bit of the unfinalised flags that says the last data block's length was
# never written.
UNFIN_LAST_DT_LENGTH = 4

TOOL_ID = "ZR"

# CAN FD data length codes 9..15.
_FD_LENGTHS = (12, 16, 20, 24, 32, 48, 64)


class ExpectationUnknown(Exception):
    """The recording holds something whose reading the format leaves open, so
    no single list of frames is the right answer."""


def dlc_of_length(length: int) -> int:
    """The CAN data length code of a payload of `length` bytes (FD codes above 8)."""
    if length <= 8:
        return length
    for code, size in enumerate(_FD_LENGTHS, start=9):
        if length <= size:
            return code
    raise ValueError(f"a CAN payload holds at most 64 bytes, not {length}")


def _align8(n: int) -> int:
    return (n + 7) & ~7


# ---------------------------------------------------------------------------
# Frames: what the tests put in.


@dataclass
class CanFrame:
    """A CAN or CAN FD frame as a logger records it.

    A remote frame carries no data; `data_length` is the length it asks for.
    An error frame uses only timestamp, channel and error_type.
    """

    timestamp: float
    arbitration_id: int = 0
    data: bytes = b""
    is_extended_id: bool = False
    is_fd: bool = False
    bitrate_switch: bool = False
    error_state_indicator: bool = False
    is_remote_frame: bool = False
    is_error_frame: bool = False
    is_rx: bool = True
    channel: int = 1
    dlc: Optional[int] = None  # recorded DLC; default: the code of the length
    data_length: Optional[int] = None  # recorded DataLength; default len(data)
    error_type: int = 0
    id_flags: int = 0  # bits OR-ed into the recorded ID (bit 31: extended)


@dataclass
class LinFrame:
    timestamp: float
    frame_id: int = 0
    data: bytes = b""
    is_rx: bool = True
    channel: int = 1
    data_length: Optional[int] = None  # default len(data)
    received_byte_count: Optional[int] = None  # default len(data)


LIN_ERROR_EVENTS = ("ChecksumError", "ReceiveError", "SyncError", "TransmissionError")


@dataclass
class LinError:
    """A LIN error event (checksum, receive, sync or transmission error)."""

    timestamp: float
    event: str = "ChecksumError"
    frame_id: int = 0
    channel: int = 1


@dataclass
class RawRecord:
    """A record of a channel group with channels of the test's choosing:
    physical values by channel name (missing ones are 0 or empty)."""

    timestamp: float
    values: Dict[str, Any] = field(default_factory=dict)


Frame = Union[CanFrame, LinFrame, LinError, RawRecord]


# ---------------------------------------------------------------------------
# What a correct reader yields.


@dataclass
class ExpectedMessage:
    """One message as the reader yields it: the attributes of the can.Message.

    kind is "data", "remote", "error" or "lin"; None for a record that yields
    no frame (the reader raises "Unknown bus type" for it). Fields the reader
    leaves to can.Message keep can.Message's defaults. A remote frame is
    handed its requested length as zero bytes, but can.Message keeps no data
    for a remote frame: data is empty and dlc is the requested length.
    """

    kind: Optional[str]
    timestamp: float
    arbitration_id: int = 0
    dlc: int = 0
    data: bytes = b""
    is_fd: bool = False
    error_state_indicator: bool = False
    bitrate_switch: bool = False
    is_rx: bool = True
    is_extended_id: bool = True
    is_remote_frame: bool = False
    is_error_frame: bool = False
    channel: Optional[str] = None

    FIELDS = (
        "timestamp", "arbitration_id", "dlc", "data", "is_fd", "error_state_indicator",
        "bitrate_switch", "is_rx", "is_extended_id", "is_remote_frame", "is_error_frame", "channel",
    )

    def to_json(self) -> Dict[str, Any]:
        d: Dict[str, Any] = {"kind": self.kind}
        for name in self.FIELDS:
            v = getattr(self, name)
            if isinstance(v, (bytes, bytearray)):
                v = v.hex()
            elif isinstance(v, float) and math.isnan(v):
                v = None  # a record without a frame has no time; JSON has no NaN
            d[name] = v
        return d

    def differences(self, message: Any) -> List[str]:
        """Fields in which a can.Message (or anything with these attributes)
        differs from this expectation; empty when it matches exactly."""
        out = []
        for name in self.FIELDS:
            want = getattr(self, name)
            got = getattr(message, name, None)
            if name == "data":
                got = bytes(got) if got is not None else b""
            if got != want:
                out.append(f"{name}: expected {want!r}, got {got!r}")
        return out


# The reader's rules for turning a converted value into message members.


def _flag(v: float) -> int:
    if math.isnan(v):
        return 1
    return 0 if -1.0 < v < 1.0 else 1


def _byte(v: float) -> int:
    if math.isnan(v) or not (-2147483649.0 < v < 2147483648.0):
        return 0  # the truncation yields 0x80000000
    return int(v) & 0xFF


def _ident(v: float) -> int:
    if math.isnan(v) or not (-9223372036854775809.0 < v < 9223372036854775808.0):
        return 0  # the truncation yields 0x8000000000000000
    return int(v) & 0xFFFFFFFF


# ---------------------------------------------------------------------------
# Conversions.


class Conversion:
    """A conversion block. decode() applies it as the reader does; encode()
    finds the raw value that a physical value is stored as."""

    cc_type = 0

    def params(self) -> List[float]:
        return []

    def decode(self, x: float) -> float:
        return x

    def encode(self, physical: float) -> float:
        return physical


@dataclass(eq=False)
class Linear(Conversion):
    """physical = offset + factor * raw (cc_val = offset, factor)."""

    offset: float = 0.0
    factor: float = 1.0
    cc_type = 1

    def params(self) -> List[float]:
        return [self.offset, self.factor]

    def decode(self, x: float) -> float:
        return x * self.factor + self.offset

    def encode(self, physical: float) -> float:
        raw = round((physical - self.offset) / self.factor)
        # Take the neighbour that decodes closest: a timestamp must come back
        # as near to the frame's time as the resolution allows.
        best = min((raw - 1, raw, raw + 1), key=lambda r: abs(self.decode(r) - physical))
        return best


@dataclass(eq=False)
class LinearParams(Conversion):
    """A linear conversion block with a parameter list of the test's choosing
    (fewer than two, for example); how a reader evaluates it is its own
    documented choice, so no frame can be expected from it."""

    values: List[float] = field(default_factory=list)
    cc_type = 1

    def params(self) -> List[float]:
        return list(self.values)

    def decode(self, x: float) -> float:
        if len(self.values) >= 2:
            return x * self.values[1] + self.values[0]
        raise ExpectationUnknown("linear conversion with fewer than two parameters")

    def encode(self, physical: float) -> float:
        return physical


@dataclass(eq=False)
class ValueTable(Conversion):
    """Value to value without interpolation: pairs (raw, physical); the first
    pair of a raw key wins, and an unlisted raw value converts to 0.0."""

    pairs: List[Tuple[float, float]] = field(default_factory=list)
    odd_parameter: Optional[float] = None  # a dangling last parameter, ignored by the reader
    cc_type = 5

    def params(self) -> List[float]:
        out = [float(v) for pair in self.pairs for v in pair]
        if self.odd_parameter is not None:
            out.append(float(self.odd_parameter))
        return out

    def decode(self, x: float) -> float:
        for key, value in self.pairs:
            if float(key) == x:
                return float(value)
        return 0.0

    def encode(self, physical: float) -> float:
        for key, _ in self.pairs:
            if self.decode(float(key)) == physical:
                return key
        raise ValueError(f"value table has no raw value for {physical!r}")


@dataclass(eq=False)
class OtherConversion(Conversion):
    """A conversion type the reader does not evaluate (1:1, rational,
    interpolated table, range table...): it converts as the identity there."""

    cc_type: int = 2  # type: ignore[misc]
    values: List[float] = field(default_factory=lambda: [0.0, 2.0, 0.0, 0.0, 0.0, 1.0])

    def params(self) -> List[float]:
        return list(self.values)


# ---------------------------------------------------------------------------
# Channels and channel groups as the writer lays them out.

GetValue = Callable[[Any], Any]


@dataclass
class Channel:
    """One leaf channel of a record.

    kind: "uint" (Intel order), "uint_be" (Motorola order, whole bytes only),
    "float" (64-bit IEEE, Intel order) or "bytes". A bytes channel is stored
    in the record ("record"), in a variable-length signal-data channel group
    ("vlsd") or in a signal-data block ("sd"); the last two keep a 64-bit
    offset in the record.
    """

    name: str
    kind: str = "uint"
    bits: int = 8
    conversion: Optional[Conversion] = None
    storage: str = "record"
    get: Optional[GetValue] = None
    bit_position: Optional[int] = None  # chosen by the layout when None

    @property
    def position(self) -> int:
        """The bit position, once the channel group has laid it out."""
        assert self.bit_position is not None
        return self.bit_position
    unit: Optional[str] = None
    comment: Optional[str] = None
    cn_type: Optional[int] = None
    sync_type: int = SYNC_NONE
    source: Optional["SourceInfo"] = None
    data_type: Optional[int] = None  # overrides the data type the kind gives

    @property
    def has_signal_data(self) -> bool:
        return self.kind == "bytes" and self.storage in ("vlsd", "sd")

    def stored_bits(self) -> int:
        return 64 if self.has_signal_data else self.bits

    def mdf_data_type(self) -> int:
        if self.data_type is not None:
            return self.data_type
        return {"uint": DT_UINT_LE, "uint_be": DT_UINT_BE, "float": DT_FLOAT_LE, "bytes": DT_BYTES}[self.kind]

    def mdf_cn_type(self) -> int:
        if self.cn_type is not None:
            return self.cn_type
        return CN_VLSD if self.has_signal_data else CN_FIXED


@dataclass
class SourceInfo:
    source_type: int = SOURCE_BUS
    bus_type: int = BUS_CAN
    name: Optional[str] = "CAN"
    path: Optional[str] = "bus"
    comment: Optional[str] = None
    flags: int = 0


def _frame_time(frame: Any) -> float:
    return frame.timestamp


def float_time() -> Channel:
    """A Timestamp master channel holding seconds as 64-bit floats."""
    return Channel("Timestamp", kind="float", bits=64, cn_type=CN_MASTER, sync_type=SYNC_TIME, unit="s",
                   get=_frame_time)


def linear_time(factor: float = 1e-6, offset: float = 0.0, bits: int = 64) -> Channel:
    """A Timestamp master channel holding ticks, converted linearly to seconds."""
    return Channel("Timestamp", kind="uint", bits=bits, conversion=Linear(offset, factor),
                   cn_type=CN_MASTER, sync_type=SYNC_TIME, unit="s", get=_frame_time)


_Default = object()  # marks "use the group kind's default"


class ChannelGroupWriter:
    """One channel group: its leaf channels in chain order, its record id and
    the frames that go into it."""

    def __init__(self, group: "DataGroupWriter", prefix: str, channels: List[Channel],
                 accepts: Callable[[Any], bool], *, record_id: int, source: Optional[SourceInfo],
                 packed: bool, composed: bool, nesting: int, record_bytes: Optional[int], inval_bytes: int,
                 reverse_chain: bool, flags: int, acquisition_name: Optional[str], comment: Optional[str]):
        self.group = group
        self.prefix = prefix
        self.channels = channels
        self.accepts = accepts
        self.record_id = record_id
        self.source = source
        self.composed = composed
        self.nesting = nesting
        self.inval_bytes = inval_bytes
        self.reverse_chain = reverse_chain
        self.flags = flags
        self.acquisition_name = acquisition_name
        self.comment = comment
        self.data_bytes = self._lay_out(packed, record_bytes)

    def _lay_out(self, packed: bool, record_bytes: Optional[int]) -> int:
        """Gives every channel without a fixed place its bit position, and
        returns the record's data bytes."""
        cursor = 0  # in bits
        end = 0
        for ch in self.channels:
            bits = ch.stored_bits()
            if ch.bits <= 0 and not ch.has_signal_data:
                raise ValueError(f"channel {ch.name} has no bits")
            if ch.kind == "float" and bits != 64:
                raise ValueError("floating-point channels are written 64 bits wide")
            if ch.kind == "uint_be" and bits % 8:
                raise ValueError("Motorola-order channels are written in whole bytes")
            if ch.kind == "bytes" and ch.bits % 8:
                raise ValueError("byte-array channels are whole bytes")
            if ch.bit_position is None:
                byte_aligned = ch.kind != "uint" or not packed
                if byte_aligned:
                    cursor = _align8(cursor)
                ch.bit_position = cursor
                cursor += _align8(bits) if not packed or ch.kind != "uint" else bits
            elif ch.kind in ("bytes", "uint_be", "float") and ch.position % 8:
                raise ValueError(f"channel {ch.name} must start on a byte")
            end = max(end, ch.position + bits)
        data_bytes = _align8(end) // 8
        if record_bytes is not None:
            if record_bytes < data_bytes:
                raise ValueError("record_bytes is smaller than the channels need")
            data_bytes = record_bytes
        return data_bytes

    def add_frame(self, frame: Any) -> None:
        self.group.frames.append((self, frame))

    def add_frames(self, frames: Iterable[Any]) -> None:
        for f in frames:
            self.add_frame(f)

    def values_of(self, frame: Any) -> Dict[str, Any]:
        """Physical value of every leaf channel for one frame."""
        out = {}
        for ch in self.channels:
            if ch.get is not None:
                out[ch.name] = ch.get(frame)
            elif isinstance(frame, RawRecord):
                out[ch.name] = frame.values.get(ch.name, b"" if ch.kind == "bytes" else 0)
            else:
                out[ch.name] = b"" if ch.kind == "bytes" else 0
        return out


def _can_data_channels(width: int, payload: str, time: Channel) -> List[Channel]:
    def length(f: CanFrame) -> int:
        return len(f.data) if f.data_length is None else f.data_length

    def dlc(f: CanFrame) -> int:
        # Oversized payloads (deliberately broken frames) keep the largest code.
        return dlc_of_length(min(len(f.data), 64)) if f.dlc is None else f.dlc

    return [
        time,
        Channel("CAN_DataFrame.BusChannel", bits=8, get=lambda f: f.channel),
        Channel("CAN_DataFrame.IDE", bits=1, get=lambda f: int(f.is_extended_id)),
        Channel("CAN_DataFrame.Dir", bits=1, get=lambda f: 0 if f.is_rx else 1),
        Channel("CAN_DataFrame.ID", bits=32, get=lambda f: f.arbitration_id | f.id_flags),
        Channel("CAN_DataFrame.DLC", bits=4, get=dlc),
        Channel("CAN_DataFrame.DataLength", bits=7, get=length),
        Channel("CAN_DataFrame.EDL", bits=1, get=lambda f: int(f.is_fd)),
        Channel("CAN_DataFrame.BRS", bits=1, get=lambda f: int(f.bitrate_switch)),
        Channel("CAN_DataFrame.ESI", bits=1, get=lambda f: int(f.error_state_indicator)),
        Channel("CAN_DataFrame.DataBytes", kind="bytes", bits=8 * width, storage=payload,
                get=lambda f: bytes(f.data)),
    ]


def _can_remote_channels(time: Channel) -> List[Channel]:
    def length(f: CanFrame) -> int:
        return len(f.data) if f.data_length is None else f.data_length

    return [
        time,
        Channel("CAN_RemoteFrame.BusChannel", bits=8, get=lambda f: f.channel),
        Channel("CAN_RemoteFrame.IDE", bits=1, get=lambda f: int(f.is_extended_id)),
        Channel("CAN_RemoteFrame.Dir", bits=1, get=lambda f: 0 if f.is_rx else 1),
        Channel("CAN_RemoteFrame.ID", bits=32, get=lambda f: f.arbitration_id | f.id_flags),
        Channel("CAN_RemoteFrame.DLC", bits=4, get=lambda f: dlc_of_length(length(f)) if f.dlc is None else f.dlc),
        Channel("CAN_RemoteFrame.DataLength", bits=7, get=length),
    ]


def _can_error_channels(time: Channel) -> List[Channel]:
    return [
        time,
        Channel("CAN_ErrorFrame.BusChannel", bits=8, get=lambda f: f.channel),
        Channel("CAN_ErrorFrame.ErrorType", bits=4, get=lambda f: f.error_type),
    ]


def _lin_channels(time: Channel) -> List[Channel]:
    return [
        time,
        Channel("LIN_Frame.BusChannel", bits=8, get=lambda f: f.channel),
        Channel("LIN_Frame.ID", bits=6, get=lambda f: f.frame_id),
        Channel("LIN_Frame.Dir", bits=1, get=lambda f: 0 if f.is_rx else 1),
        Channel("LIN_Frame.ReceivedDataByteCount", bits=4,
                get=lambda f: len(f.data) if f.received_byte_count is None else f.received_byte_count),
        Channel("LIN_Frame.DataLength", bits=4, get=lambda f: len(f.data) if f.data_length is None else f.data_length),
        Channel("LIN_Frame.DataBytes", kind="bytes", bits=64, get=lambda f: bytes(f.data)),
    ]


def _lin_error_channels(event: str, time: Channel) -> List[Channel]:
    prefix = "LIN_" + event
    return [
        time,
        Channel(prefix + ".BusChannel", bits=8, get=lambda f: f.channel),
        Channel(prefix + ".ID", bits=6, get=lambda f: f.frame_id),
    ]


class DataGroupWriter:
    """One data group: its channel groups and, in file order, its records.
    The builders below add a channel group of each bus event; add_frame
    gives a frame to the first channel group that takes it."""

    def __init__(self, writer: "RecordingWriter", record_id_size: int, comment: Optional[str], data_block: bool):
        if record_id_size not in (0, 1, 2, 4, 8):
            raise ValueError("record ids are 0, 1, 2, 4 or 8 bytes")
        self.writer = writer
        self.record_id_size = record_id_size
        self.comment = comment
        self.data_block = data_block
        self.channel_groups: List[ChannelGroupWriter] = []
        self.frames: List[Tuple[ChannelGroupWriter, Any]] = []
        self.trailing = b""  # bytes after the last record, inside the data block
        # Where the records of the VLSD channel groups stand: "follow" (each
        # right after the record that refers to it), "before" (all of them
        # before the first fixed-length record), "after" (after the last),
        # "shuffle" (in an order of their own, each at a place of its own
        # among the fixed-length records; seeded by vlsd_seed). The fixed
        # records hold the offset of their value among their VLSD group's
        # records in the order these stand in the data block.
        self.vlsd_placement = "follow"
        self.vlsd_seed = 0
        # Offsets written instead of the true ones, by the VLSD value's number
        # in frame order (placements other than "follow").
        self.vlsd_offset_override: Dict[int, int] = {}

    # -- channel groups of each bus event ---------------------------------

    def _make(self, prefix: str, channels: List[Channel], accepts: Callable[[Any], bool], default_bus: int,
              *, record_id: Optional[int] = None, source: Any = _Default,
              packed: bool = False, composed: bool = False, nesting: int = 0, record_bytes: Optional[int] = None,
              inval_bytes: int = 0, reverse_chain: bool = False, flags: Optional[int] = None,
              overrides: Optional[Dict[str, Dict[str, Any]]] = None, omit: Sequence[str] = (),
              extra_channels: Sequence[Channel] = (), acquisition_name: Optional[str] = None,
              comment: Optional[str] = None) -> ChannelGroupWriter:
        """Options every channel-group builder takes:

        record_id: default 0 without record ids, else one above the highest so far.
        source: the acquisition source (SourceInfo or None); default a bus
            source of the group's bus, which makes a reader classify the group.
        packed: integer channels follow each other bit by bit (flags share
            bytes, fields start mid-byte) instead of one byte-aligned field each.
        composed: the channels after the Timestamp become the components of
            one structure channel, wrapped `nesting` more times.
        record_bytes, inval_bytes: a longer record than the channels need,
            and invalidation bytes after it (never evaluated, written as 0).
        reverse_chain: link the channels in reverse order (places unchanged).
        flags: cg_flags (default: bus event and plain bus event).
        overrides: per channel name, Channel fields to replace (kind, bits,
            conversion, get, bit_position, ...).
        omit: channel names to leave out; extra_channels: Channels to add.
        acquisition_name, comment: texts linked from the channel group.
        """
        chans = [dataclasses.replace(c) for c in channels if c.name not in omit]
        chans += [dataclasses.replace(c) for c in extra_channels]
        for name, ov in (overrides or {}).items():
            idx = [i for i, c in enumerate(chans) if c.name == name]
            if not idx:
                raise KeyError(name)
            chans[idx[0]] = dataclasses.replace(chans[idx[0]], **ov)
        if source is _Default:
            source = SourceInfo(bus_type=default_bus, name="CAN" if default_bus == BUS_CAN else "LIN")
        if record_id is None:
            if self.record_id_size == 0:
                record_id = 0
            else:
                record_id = 1 + max([cg.record_id for cg in self.channel_groups], default=0)
        if self.record_id_size == 0 and self.channel_groups:
            raise ValueError("several channel groups need record ids")
        if self.record_id_size and record_id >= 1 << (8 * self.record_id_size):
            raise ValueError("record id does not fit the record id size")
        if self.record_id_size == 0 and any(c.storage == "vlsd" and c.kind == "bytes" for c in chans):
            raise ValueError("a variable-length signal-data group needs record ids")
        if flags is None:
            flags = CG_BUS_EVENT | CG_PLAIN_BUS_EVENT if prefix else 0
        cg = ChannelGroupWriter(self, prefix, chans, accepts, record_id=record_id, source=source,
                                packed=packed, composed=composed, nesting=nesting, record_bytes=record_bytes,
                                inval_bytes=inval_bytes, reverse_chain=reverse_chain, flags=flags,
                                acquisition_name=acquisition_name, comment=comment)
        self.channel_groups.append(cg)
        return cg

    def can_channel_group(self, fd: Optional[bool] = None, payload: str = "record",
                          payload_bytes: Optional[int] = None, time: Optional[Channel] = None,
                          **options: Any) -> ChannelGroupWriter:
        """CAN data frames. fd None takes classic and FD frames, True only FD,
        False only classic. The payload lies in the record (payload_bytes
        wide: 8 for classic, 64 otherwise), a VLSD channel group or an SD block."""
        if payload not in ("record", "vlsd", "sd"):
            raise ValueError(payload)
        width = payload_bytes if payload_bytes is not None else (8 if fd is False else 64)

        def accepts(f: Any) -> bool:
            return (isinstance(f, CanFrame) and not f.is_remote_frame and not f.is_error_frame
                    and (fd is None or f.is_fd == fd)
                    and (payload != "record" or len(f.data) <= width))

        chans = _can_data_channels(width, payload, time or float_time())
        return self._make("CAN_DataFrame", chans, accepts, BUS_CAN, **options)

    def can_remote_channel_group(self, time: Optional[Channel] = None, **options: Any) -> ChannelGroupWriter:
        return self._make("CAN_RemoteFrame", _can_remote_channels(time or float_time()),
                          lambda f: isinstance(f, CanFrame) and f.is_remote_frame, BUS_CAN, **options)

    def can_error_channel_group(self, time: Optional[Channel] = None, **options: Any) -> ChannelGroupWriter:
        return self._make("CAN_ErrorFrame", _can_error_channels(time or float_time()),
                          lambda f: isinstance(f, CanFrame) and f.is_error_frame, BUS_CAN, **options)

    def lin_channel_group(self, time: Optional[Channel] = None, **options: Any) -> ChannelGroupWriter:
        return self._make("LIN_Frame", _lin_channels(time or float_time()),
                          lambda f: isinstance(f, LinFrame), BUS_LIN, **options)

    def lin_error_channel_group(self, event: str = "ChecksumError", time: Optional[Channel] = None,
                                **options: Any) -> ChannelGroupWriter:
        if event not in LIN_ERROR_EVENTS:
            raise ValueError(event)
        return self._make("LIN_" + event, _lin_error_channels(event, time or float_time()),
                          lambda f: isinstance(f, LinError) and f.event == event, BUS_LIN, **options)

    def channel_group(self, channels: Sequence[Channel], time: Optional[Channel] = None,
                      source: Any = None, **options: Any) -> ChannelGroupWriter:
        """A channel group with the given channels after a Timestamp (time=False
        leaves the Timestamp out); it takes RawRecords. No source by default."""
        chans = list(channels)
        if time is not False:
            chans.insert(0, time or float_time())
        return self._make("", chans, lambda f: isinstance(f, RawRecord), BUS_CAN, source=source, **options)

    # -- frames ------------------------------------------------------------

    def add_frame(self, frame: Any) -> None:
        """Appends a frame to the first channel group that takes it."""
        for cg in self.channel_groups:
            if cg.accepts(frame):
                self.frames.append((cg, frame))
                return
        raise ValueError(f"no channel group of this data group takes {frame!r}")

    def add_frames(self, frames: Iterable[Any]) -> None:
        for f in frames:
            self.add_frame(f)


@dataclass
class Tx:
    """A plain text block (##TX)."""

    text: str


@dataclass
class Md:
    """An XML metadata block (##MD)."""

    text: str


Comment = Union[None, str, Tx, Md]


@dataclass
class History:
    """A file-history entry. The default comment names the expected tool."""

    comment: Comment = dataclasses.field(default_factory=lambda: Md(fh_comment_xml()))
    time_ns: int = 0
    tz_offset_min: int = 0
    dst_offset_min: int = 0
    time_flags: int = 0


def _xml_escape(s: str) -> str:
    return (s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;"))


def fh_comment_xml(tool_id: Optional[str] = TOOL_ID, text: str = "created", vendor: str = "test writer",
                   version: str = "1.0") -> str:
    parts = ['<FHcomment xmlns="http://www.asam.net/mdf/v4">', f"<TX>{_xml_escape(text)}</TX>"]
    if tool_id is not None:
        parts.append(f"<tool_id>{_xml_escape(tool_id)}</tool_id>")
    parts.append(f"<tool_vendor>{_xml_escape(vendor)}</tool_vendor>")
    parts.append(f"<tool_version>{_xml_escape(version)}</tool_version>")
    parts.append("</FHcomment>")
    return "".join(parts)


@dataclass
class Property:
    """An <e> element of the header comment's common_properties."""

    value: str = ""
    type: Optional[str] = "string"
    unit: Optional[str] = None
    description: Optional[str] = None
    ro: Optional[str] = None


PropertyTree = Dict[str, Union[str, Property, "PropertyTree"]]


def hd_comment_xml(properties: PropertyTree, text: str = "recording") -> str:
    """The header comment: <HDcomment> with a <common_properties> element.
    Values that are dicts become <tree> elements."""

    def render(tree: PropertyTree) -> str:
        out = []
        for name, v in tree.items():
            if isinstance(v, dict):
                out.append(f'<tree name="{_xml_escape(name)}">{render(v)}</tree>')
                continue
            p = v if isinstance(v, Property) else Property(str(v))
            attrs = [f'name="{_xml_escape(name)}"']
            for key in ("description", "unit", "type", "ro"):
                val = getattr(p, key)
                if val is not None:
                    attrs.append(f'{key}="{_xml_escape(val)}"')
            out.append(f"<e {' '.join(attrs)}>{_xml_escape(p.value)}</e>")
        return "".join(out)

    return (f'<HDcomment xmlns="http://www.asam.net/mdf/v4"><TX>{_xml_escape(text)}</TX>'
            f"<common_properties>{render(properties)}</common_properties></HDcomment>")


# ---------------------------------------------------------------------------
# Blocks.


class Block:
    """One MDF 4 block: its 4-character id, links and data section.

    A link is a Block, None (written as 0, no link) or an int written as is
    (for links that lead nowhere). `length` and `link_count` override the
    values written in the header; `offset` is set when the file is laid out.
    """

    __slots__ = ("code", "links", "data", "offset", "length", "link_count", "label")

    def __init__(self, code: bytes, links: Sequence[Any] = (), data: bytes = b"", label: str = ""):
        self.code = code
        self.links: List[Any] = list(links)
        self.data = data
        self.offset = -1  # until the file is laid out
        self.length: Optional[int] = None
        self.link_count: Optional[int] = None
        self.label = label

    def size(self) -> int:
        return 24 + 8 * len(self.links) + len(self.data)

    def length_field(self) -> int:
        return self.size() if self.length is None else self.length

    def __repr__(self) -> str:
        return f"<Block {self.code.decode('latin-1')} {self.label} at {self.offset}>"


class IdBlock:
    """The 64-byte identification block at offset 0."""

    def __init__(self, file_id: bytes = b"MDF     ", format_id: bytes = b"4.10    ",
                 program_id: bytes = b"pytest  ", version: int = 410, unfinalised_flags: int = 0,
                 custom_unfinalised_flags: int = 0):
        self.file_id = file_id
        self.format_id = format_id
        self.program_id = program_id
        self.version = version
        self.unfinalised_flags = unfinalised_flags
        self.custom_unfinalised_flags = custom_unfinalised_flags
        self.offset = 0

    def to_bytes(self) -> bytes:
        return struct.pack("<8s8s8s4xH30xHH", self.file_id, self.format_id, self.program_id,
                           self.version, self.unfinalised_flags, self.custom_unfinalised_flags)


def text_block(code: bytes, text: str, label: str = "") -> Block:
    return Block(code, (), text.encode("utf-8") + b"\0", label)


def hd_data(start_time_ns: int, tz: int = 0, dst: int = 0, time_flags: int = 0, time_class: int = 0,
            flags: int = 0, angle: float = 0.0, distance: float = 0.0) -> bytes:
    return struct.pack("<QhhBBBxdd", start_time_ns, tz, dst, time_flags, time_class, flags, angle, distance)


def cg_data(record_id: int, cycle_count: int, flags: int, data_bytes: int, inval_bytes: int) -> bytes:
    return struct.pack("<QQHH4xII", record_id, cycle_count, flags, ord("."), data_bytes, inval_bytes)


def cn_data(cn_type: int, sync_type: int, data_type: int, bit_offset: int, byte_offset: int, bit_count: int,
            flags: int = 0) -> bytes:
    return struct.pack("<BBBBIIIIBxH6d", cn_type, sync_type, data_type, bit_offset, byte_offset, bit_count,
                       flags, 0, 0, 0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0)


def cc_block(conv: Conversion, name: Optional[Block] = None, unit: Optional[Block] = None) -> Block:
    vals = conv.params()
    data = struct.pack("<BBHHHdd", conv.cc_type, 0, 0, 0, len(vals), 0.0, 0.0)
    data += struct.pack(f"<{len(vals)}d", *vals)
    return Block(b"##CC", [name, unit, None, None], data, "conversion")


def si_block(src: SourceInfo) -> Block:
    name = text_block(b"##TX", src.name, "source name") if src.name is not None else None
    path = text_block(b"##TX", src.path, "source path") if src.path is not None else None
    comment = text_block(b"##TX", src.comment, "source comment") if src.comment is not None else None
    return Block(b"##SI", [name, path, comment], struct.pack("<BBB5x", src.source_type, src.bus_type, src.flags),
                 "source")


def _comment_block(comment: Comment, label: str) -> Optional[Block]:
    if comment is None:
        return None
    if isinstance(comment, Md):
        return text_block(b"##MD", comment.text, label)
    if isinstance(comment, Tx):
        return text_block(b"##TX", comment.text, label)
    return text_block(b"##TX", comment, label)


@contextlib.contextmanager
def _no_gc() -> Any:
    """Recordings of millions of blocks build much faster without the cycle
    collector walking them over and over; they hold no garbage cycles."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _reachable(roots: Sequence[Any], first: Sequence[Block] = ()) -> List[Block]:
    """The blocks of `first` (once each, in order), then every other block
    reachable from the roots, depth first in link order, without recursion
    (chains may be very long)."""
    seen = set()
    order: List[Block] = []
    for b in first:
        if id(b) not in seen:
            seen.add(id(b))
            order.append(b)
    stack = [r for r in reversed(roots) if type(r) is Block]
    visited = set()
    while stack:
        b = stack.pop()
        if id(b) in visited:
            continue
        visited.add(id(b))
        if id(b) not in seen:
            seen.add(id(b))
            order.append(b)
        for link in reversed(b.links):
            if type(link) is Block and id(link) not in visited:
                stack.append(link)
    return order


# ---------------------------------------------------------------------------
# The built recording.


@dataclass
class RecordSpan:
    """One record of a data block: the frame's channel group, its message as
    a correct reader gives it, and its bytes within the data section (the
    fixed-length record with its id, then its VLSD records)."""

    group: "BuiltChannelGroup"
    frame: Any
    message: Optional[ExpectedMessage]  # None: no single answer (ExpectationUnknown)
    start: int
    end: int
    unknown_reason: str = ""


@dataclass
class BuiltChannelGroup:
    writer: Optional[ChannelGroupWriter]
    block: Block
    record_id: int
    record_length: int  # data bytes + invalidation bytes
    is_vlsd: bool
    channels: List[Channel] = field(default_factory=list)  # leaf channels in chain order
    channel_blocks: Dict[str, Block] = field(default_factory=dict)
    vlsd_groups: Dict[str, "BuiltChannelGroup"] = field(default_factory=dict)
    sd_blocks: Dict[str, Block] = field(default_factory=dict)
    values: Dict[str, List[Any]] = field(default_factory=dict)  # raw values written, per channel


@dataclass
class BuiltDataGroup:
    block: Block
    data_block: Optional[Block]
    record_id_size: int
    channel_groups: List[BuiltChannelGroup]  # chain order, VLSD groups included
    records: List[RecordSpan]
    written: int  # bytes of records in the data section, trailing bytes excluded


class Recording:
    """A recording as a graph of blocks, ready to be changed and serialised."""

    def __init__(self, id_block: IdBlock, hd: Block, groups: List[BuiltDataGroup], start_time_ns: int,
                 order: List[Block], placement: str, seed: int, tail: bytes):
        self.id = id_block
        self.hd = hd
        self.groups = groups
        self.start_time_ns = start_time_ns
        self.order = order  # placement order of the blocks after the header block
        self.placement = placement
        self.seed = seed
        self.tail = tail  # bytes after the last block
        self.file_size = 0

    def _layout(self) -> List[Block]:
        """Places the blocks: the header block at 64, then the placement
        order, then blocks a test linked in after the build; each block on
        an 8-byte boundary."""
        blocks = _reachable([self.hd] + self.order, [self.hd] + self.order)
        pos = 64
        for b in blocks:
            b.offset = pos
            pos = (pos + 24 + 8 * len(b.links) + len(b.data) + 7) & ~7
        return blocks

    def to_bytes(self) -> bytes:
        with _no_gc():
            return self._to_bytes()

    def _to_bytes(self) -> bytes:
        blocks = self._layout()
        parts = [self.id.to_bytes()]
        formats: Dict[int, struct.Struct] = {}
        zeros = bytes(8)
        for b in blocks:
            links = b.links
            n = len(links)
            fmt = formats.get(n)
            if fmt is None:
                fmt = formats[n] = struct.Struct(f"<4s4xQQ{n}Q")
            values = [0 if link is None else link.offset if type(link) is Block
                      else 0 if isinstance(link, IdBlock) else int(link) & MASK64 for link in links]
            size = 24 + 8 * n + len(b.data)
            length = size if b.length is None else b.length & MASK64
            count = n if b.link_count is None else b.link_count & MASK64
            parts.append(fmt.pack(b.code, length, count, *values))
            parts.append(b.data)
            if size & 7:
                parts.append(zeros[:8 - (size & 7)])
        parts.append(self.tail)
        data = b"".join(parts)
        self.file_size = len(data)
        return data

    def write(self, path: str) -> bytes:
        data = self.to_bytes()
        with open(path, "wb") as f:
            f.write(data)
        return data

    # -- what a reader must give -----------------------------------------

    @property
    def start_time(self) -> float:
        return float(self.start_time_ns & MASK64) * 1e-9

    def opens(self, data: bytes) -> bool:
        """Whether a correct reader opens these bytes of this recording (only
        cuts and the recording's own flags are judged, not other damage)."""
        need = 64
        for b in self._layout():
            end = b.offset + (24 if b.code in (b"##DT", b"##SD") else b.size())
            need = max(need, end)
        return len(data) >= need and self.id.file_id in (b"MDF     ", b"UnFinMF ")

    def expected_per_group(self, data: Optional[bytes] = None) -> Optional[List[List[ExpectedMessage]]]:
        """The messages of each data group, in file order, that a correct
        reader gives for `data` (by default the whole recording); None when
        it must refuse to open them. Records that yield no frame are listed
        with kind None. Raises ExpectationUnknown where the format leaves the
        answer open."""
        if data is None:
            data = self.to_bytes()
        self._layout()
        if not self.opens(data):
            return None
        size = len(data)
        lengths = {}
        for g in self.groups:
            if g.data_block is not None:
                lengths[id(g.data_block)] = g.data_block.length_field()
        if self.id.unfinalised_flags & UNFIN_LAST_DT_LENGTH:
            last = None
            for g in self.groups:
                if g.data_block is not None and (last is None or g.data_block.offset > last.offset):
                    last = g.data_block
            if last is not None:
                lengths[id(last)] = size - last.offset
        out = []
        for g in self.groups:
            msgs: List[ExpectedMessage] = []
            out.append(msgs)
            dt = g.data_block
            if dt is None:
                continue
            start = dt.offset + 24
            section = (lengths[id(dt)] - 24) & MASK64
            available = min(section, max(0, size - start))
            for rec in g.records:
                if rec.end > available:
                    break
                if rec.message is None:
                    raise ExpectationUnknown(rec.unknown_reason)
                msgs.append(rec.message)
            else:
                self._check_tail(g, data[start + g.written:start + available])
        return out

    def _check_tail(self, g: BuiltDataGroup, tail: bytes) -> None:
        """Bytes a walk meets after the written records (an unfinalised data
        block stretched to the end of the file, or a data block whose length
        claims more): the walk must end there without another record."""
        if not tail:
            return
        data_groups = [cg for cg in g.channel_groups]
        if len(data_groups) > 1 or g.record_id_size:
            rid = int.from_bytes(tail[:g.record_id_size], "little")
            match = [cg for cg in data_groups if cg.record_id == rid]
            if not match or match[0].is_vlsd:
                return
            if len(tail) < g.record_id_size + match[0].record_length:
                return
        else:
            if not data_groups or data_groups[0].is_vlsd or len(tail) < data_groups[0].record_length:
                return
        raise ExpectationUnknown("a walk would decode the bytes after the last record")

    def expected_merged(self, data: Optional[bytes] = None) -> Optional[List[ExpectedMessage]]:
        """All messages merged by timestamp as the reader's iteration gives
        them (equal timestamps: earlier data group first)."""
        groups = self.expected_per_group(data)
        if groups is None:
            return None
        for msgs in groups:
            if any(m.kind is None for m in msgs):
                raise ValueError("the recording holds records that yield no frame; "
                                 "iterating it raises RuntimeError 'Unknown bus type'")
        return list(heapq.merge(*groups, key=lambda m: m.timestamp))

    def written_values(self) -> List[List[BuiltChannelGroup]]:
        """Per data group, the channel groups (VLSD groups excluded) with the
        raw value of every channel of every record, as written."""
        return [[cg for cg in g.channel_groups if not cg.is_vlsd] for g in self.groups]

    def expected_json(self, data: Optional[bytes] = None) -> Dict[str, Any]:
        if data is None:
            data = self.to_bytes()
        groups = self.expected_per_group(data)
        return {
            "opens": groups is not None,
            "start_time": self.start_time,
            "groups": None if groups is None else [[m.to_json() for m in msgs] for msgs in groups],
        }


# ---------------------------------------------------------------------------
# Encoding of records.


def _write_uint(buf: bytearray, bit_pos: int, bits: int, value: int) -> None:
    first = bit_pos // 8
    shift = bit_pos % 8
    nbytes = (shift + bits + 7) // 8
    span = int.from_bytes(buf[first:first + nbytes], "little")
    mask = ((1 << bits) - 1) << shift
    span = (span & ~mask) | ((value << shift) & mask)
    buf[first:first + nbytes] = span.to_bytes(nbytes, "little")


def _place_vlsd_records(g: "DataGroupWriter", fixed: List[bytearray], ids: List[bytes],
                        values: List[Tuple[int, int, Any, bytes]],
                        spans: List["RecordSpan"]) -> Tuple[List[bytes], int]:
    """The records of a data group with its VLSD records placed as
    g.vlsd_placement says; each fixed record's VLSD field gets the offset of
    its value in its VLSD group's records as they then stand. Spans keep
    their record's own bytes."""
    id_size = g.record_id_size
    order = list(range(len(values)))
    rnd = random.Random(g.vlsd_seed)
    if g.vlsd_placement == "shuffle":
        rnd.shuffle(order)
    elif g.vlsd_placement not in ("before", "after"):
        raise ValueError(g.vlsd_placement)
    offsets: Dict[int, int] = {}
    group_sizes: Dict[int, int] = {}
    for k in order:
        _, _, vg, entry = values[k]
        offsets[k] = group_sizes.get(id(vg), 0)
        group_sizes[id(vg)] = offsets[k] + len(entry)
    offsets.update(g.vlsd_offset_override)
    for k, (record, bit, _, _) in enumerate(values):
        _write_uint(fixed[record], bit, 64, offsets[k])
    records = [ids[i] + bytes(fixed[i]) for i in range(len(fixed))]
    value_records = [values[k][2].record_id.to_bytes(id_size, "little") + values[k][3] for k in order]
    if g.vlsd_placement == "before":
        sequence = [("v", v) for v in value_records] + [("r", i) for i in range(len(records))]
    elif g.vlsd_placement == "after":
        sequence = [("r", i) for i in range(len(records))] + [("v", v) for v in value_records]
    else:
        slots = sorted(rnd.sample(range(len(records) + len(value_records)), len(value_records)))
        sequence, v, r = [], 0, 0
        for n in range(len(records) + len(value_records)):
            if v < len(slots) and slots[v] == n:
                sequence.append(("v", value_records[v]))
                v += 1
            else:
                sequence.append(("r", r))
                r += 1
    parts: List[bytes] = []
    pos = 0
    for kind, item in sequence:
        if kind == "v":
            parts.append(item)
            pos += len(item)
        else:
            spans[item].start, spans[item].end = pos, pos + len(records[item])
            parts.append(records[item])
            pos += len(records[item])
    return parts, pos


def _raw_of(ch: Channel, physical: Any) -> Any:
    """The raw value stored for a physical value."""
    if ch.kind == "bytes":
        return bytes(physical)
    raw = ch.conversion.encode(physical) if ch.conversion is not None else physical
    if ch.kind == "float":
        return float(raw)
    if isinstance(raw, float):
        if raw != int(raw):
            raise ValueError(f"{ch.name}: {physical!r} has no integral raw value")
        raw = int(raw)
    raw = int(raw)
    if raw < 0 or raw >> ch.bits:
        raise ValueError(f"{ch.name}: raw value {raw} does not fit {ch.bits} bits")
    return raw


def _value_of(ch: Channel, raw: Any) -> float:
    """The converted value the reader computes from a numeric raw value."""
    x = float(raw)
    return ch.conversion.decode(x) if ch.conversion is not None else x


_ROLES = {
    "CAN_DataFrame.BRS": "CanBrs",
    "CAN_DataFrame.BusChannel": "CanBusChannel", "CAN_RemoteFrame.BusChannel": "CanBusChannel",
    "CAN_ErrorFrame.BusChannel": "CanBusChannel",
    "CAN_DataFrame.DataBytes": "CanDataBytes",
    "CAN_DataFrame.DataLength": "CanDataLength", "CAN_RemoteFrame.DataLength": "CanDataLength",
    "CAN_DataFrame.Dir": "CanDir", "CAN_RemoteFrame.Dir": "CanDir",
    "CAN_DataFrame.DLC": "CanDlc", "CAN_RemoteFrame.DLC": "CanDlc",
    "CAN_DataFrame.EDL": "CanEdl",
    "CAN_ErrorFrame.ErrorType": "CanErrorType",
    "CAN_DataFrame.ESI": "CanEsi",
    "CAN_DataFrame.ID": "CanId", "CAN_RemoteFrame.ID": "CanId",
    "CAN_DataFrame.IDE": "CanIde", "CAN_RemoteFrame.IDE": "CanIde",
    "LIN_Frame.BusChannel": "LinBusChannel",
    "LIN_Frame.DataBytes": "LinDataBytes",
    "LIN_Frame.DataLength": "LinDataLength",
    "LIN_Frame.Dir": "LinDir",
    "LIN_Frame.ID": "LinId",
    "LIN_Frame.ReceivedDataByteCount": "LinReceivedDataByteCount",
    "Timestamp": "Timestamp",
}

_EVENT_KINDS = {
    "CAN_DataFrame": "data", "CAN_RemoteFrame": "remote", "CAN_ErrorFrame": "error", "LIN_Frame": "lin",
    "LIN_ChecksumError": None, "LIN_ReceiveError": None, "LIN_SyncError": None, "LIN_TransmissionError": None,
}


def _classify(cg: ChannelGroupWriter) -> Optional[str]:
    """The decoder a reader gives the group: "data", "remote", "error",
    "lin", or None for no frames."""
    src = cg.source
    if src is None or src.source_type != SOURCE_BUS:
        return None
    prefixes = {c.name.split(".", 1)[0] for c in cg.channels if "." in c.name}
    if len(prefixes) != 1:
        return None
    return _EVENT_KINDS.get(prefixes.pop())


def _decode(kind: Optional[str], channels: List[Channel], raws: Dict[str, Any], start: float) -> ExpectedMessage:
    """The message the reader's decoder of `kind` makes of one record."""
    none = ExpectedMessage(kind=None, timestamp=math.nan)
    if kind is None:
        return none
    ok = True
    time = 0.0
    ident = 0
    length = 0
    flags: Dict[str, int] = {}
    bus = 0
    payload = bytearray(64 if kind in ("data", "remote") else 8)
    for ch in channels:
        role = _ROLES.get(ch.name)
        raw = raws[ch.name]
        if ch.kind == "bytes":
            if kind == "remote":
                raise ExpectationUnknown("byte array in a remote frame")
            if kind == "error":
                # read as an integer of its bit count; only the role matters here
                if role not in ("CanBusChannel", "CanErrorType", "Timestamp"):
                    ok = False
                    continue
                raise ExpectationUnknown("byte array with a numeric role")
            if ch.has_signal_data:
                if kind == "lin":
                    raise ExpectationUnknown("LIN payload in signal data")
                buf = bytes(raw)
                if len(buf) > 64:
                    return none
            else:
                width = ch.bits // 8
                buf = bytes(raw)[:width]
                if width > (64 if kind == "data" else 16):
                    raise ExpectationUnknown("byte array wider than the decoder's buffer")
            v = struct.unpack("<d", (buf + bytes(8))[:8])[0]
        else:
            v = _value_of(ch, raw)
            buf = struct.pack("<d", v)
        if role == "Timestamp":
            time = v
            continue
        if kind == "data":
            if role == "CanDataBytes":
                if ch.kind == "bytes":
                    payload[:len(buf)] = buf
            elif role == "CanBusChannel":
                bus = _byte(v)
            elif role == "CanDataLength":
                length = _byte(v)
            elif role == "CanId":
                ident |= _ident(v)
            elif role in ("CanBrs", "CanDir", "CanEdl", "CanEsi", "CanIde"):
                flags[role] = _flag(v)
            elif role == "CanDlc":
                pass
            else:
                ok = False
        elif kind == "remote":
            if role == "CanBusChannel":
                bus = _byte(v)
            elif role == "CanDataLength":
                length = _byte(v)
            elif role == "CanId":
                ident |= _ident(v)
            elif role in ("CanDir", "CanIde"):
                flags[role] = _flag(v)
            elif role == "CanDlc":
                pass
            else:
                ok = False
        elif kind == "error":
            if role == "CanBusChannel":
                bus = _byte(v)
            elif role == "CanErrorType":
                pass
            else:
                ok = False
        else:  # lin
            if role == "LinBusChannel":
                bus = _byte(v)
            elif role == "LinDataBytes":
                payload[:8] = (buf + bytes(8))[:8]
            elif role == "LinDataLength":
                length = _byte(v)
            elif role == "LinDir":
                flags["CanDir"] = 1 if v != 0.0 else 0
            elif role == "LinId":
                ident |= _ident(v)
            elif role == "LinReceivedDataByteCount":
                pass
            else:
                ok = False
    if not ok:
        return none
    if length > len(payload):
        raise ExpectationUnknown("data length beyond the payload")
    ts = start + time
    if kind == "error":
        return ExpectedMessage(kind="error", timestamp=ts, is_error_frame=True, channel=f"CAN {bus}")
    m = ExpectedMessage(kind=kind, timestamp=ts, arbitration_id=ident & 0x1FFFFFFF, dlc=length,
                        data=bytes(payload[:length]), is_rx=flags.get("CanDir", 0) == 0)
    if kind == "lin":
        m.channel = f"LIN {bus}"
        m.is_extended_id = False
        return m
    m.channel = f"CAN {bus}"
    m.is_extended_id = bool(flags.get("CanIde", 0))
    if kind == "remote":
        m.is_remote_frame = True
        m.data = b""
    else:
        m.is_fd = bool(flags.get("CanEdl", 0))
        m.error_state_indicator = bool(flags.get("CanEsi", 0))
        m.bitrate_switch = bool(flags.get("CanBrs", 0))
    return m


# ---------------------------------------------------------------------------
# The writer.


class RecordingWriter:
    """Collects the content of a recording; build() turns it into blocks."""

    def __init__(self, start_time_ns: int = 1_600_000_000 * NANOSECONDS, *, comment: Comment = None,
                 history: Optional[Sequence[History]] = None, unfinalised: bool = False,
                 unfinalised_flags: Optional[int] = None, custom_unfinalised_flags: int = 0,
                 file_id: Optional[bytes] = None, version: int = 410, program_id: bytes = b"pytest  ",
                 last_data_length: Optional[int] = None, tail: bytes = b"", tz_offset_min: int = 0,
                 dst_offset_min: int = 0, time_flags: int = 0, time_class: int = 0, hd_flags: int = 0,
                 start_angle: float = 0.0, start_distance: float = 0.0, placement: str = "natural",
                 seed: int = 0, share_conversions: bool = True):
        """unfinalised: "UnFinMF " with the flag that the last data block's
        length is unwritten (unfinalised_flags overrides the flags).
        last_data_length: the length field written for the data block of the
        last data group (24 is a length never updated). tail: bytes after the
        last block. placement: "natural", "reverse" or "shuffle" (seeded)
        order of the blocks between the header and the data blocks."""
        self.start_time_ns = start_time_ns
        self.comment = comment
        self.history = [History()] if history is None else list(history)
        if file_id is None:
            file_id = b"UnFinMF " if unfinalised else b"MDF     "
        if unfinalised_flags is None:
            unfinalised_flags = UNFIN_LAST_DT_LENGTH if unfinalised else 0
        self.id_block = IdBlock(file_id=file_id, program_id=program_id, version=version,
                                unfinalised_flags=unfinalised_flags,
                                custom_unfinalised_flags=custom_unfinalised_flags)
        self.last_data_length = last_data_length
        self.tail = tail
        self.hd_fields = (tz_offset_min, dst_offset_min, time_flags, time_class, hd_flags, start_angle,
                          start_distance)
        self.placement = placement
        self.seed = seed
        self.share_conversions = share_conversions
        self.data_groups: List[DataGroupWriter] = []

    def data_group(self, record_id_size: int = 0, comment: Optional[str] = None,
                   data_block: bool = True) -> DataGroupWriter:
        g = DataGroupWriter(self, record_id_size, comment, data_block)
        self.data_groups.append(g)
        return g

    # Convenience: build and serialise in one step.

    def build(self) -> Recording:
        with _no_gc():
            return _Builder(self).build()

    def to_bytes(self) -> bytes:
        return self.build().to_bytes()

    def write(self, path: str) -> bytes:
        return self.build().write(path)

    def expected_per_group(self) -> Optional[List[List[ExpectedMessage]]]:
        return self.build().expected_per_group()

    def expected_merged(self) -> Optional[List[ExpectedMessage]]:
        return self.build().expected_merged()


class _Builder:
    def __init__(self, w: RecordingWriter):
        self.w = w
        self.meta: List[Block] = []  # blocks placed between the header and the data blocks
        self.data_blocks: List[Block] = []
        self.conversions: Dict[int, Block] = {}

    def _conversion(self, conv: Conversion) -> Block:
        key = id(conv)
        if self.w.share_conversions and key in self.conversions:
            return self.conversions[key]
        b = cc_block(conv)
        self.conversions[key] = b
        return b

    def _channel_block(self, ch: Channel, data_link: Optional[Block]) -> Block:
        links = [None, None, text_block(b"##TX", ch.name, "channel name"),
                 si_block(ch.source) if ch.source is not None else None,
                 self._conversion(ch.conversion) if ch.conversion is not None else None,
                 data_link,
                 text_block(b"##TX", ch.unit, "unit") if ch.unit else None,
                 text_block(b"##TX", ch.comment, "channel comment") if ch.comment else None]
        bits = ch.stored_bits()
        data = cn_data(ch.mdf_cn_type(), ch.sync_type, ch.mdf_data_type(), ch.position % 8,
                       ch.position // 8, bits)
        return Block(b"##CN", links, data, ch.name)

    def _chain(self, blocks: List[Block], next_index: int = 0) -> Optional[Block]:
        for a, b in zip(blocks, blocks[1:]):
            a.links[next_index] = b
        return blocks[0] if blocks else None

    def build(self) -> Recording:
        w = self.w
        start = float(w.start_time_ns & MASK64) * 1e-9
        hd_comment = _comment_block(w.comment, "header comment")
        fhs = []
        for h in w.history:
            fhs.append(Block(b"##FH", [None, _comment_block(h.comment, "history comment")],
                             struct.pack("<QhhB3x", h.time_ns, h.tz_offset_min, h.dst_offset_min, h.time_flags),
                             "history"))
        built_groups: List[BuiltDataGroup] = []
        dg_blocks: List[Block] = []
        for gi, g in enumerate(w.data_groups):
            bg = self._data_group(g, start, last=gi == len(w.data_groups) - 1)
            built_groups.append(bg)
            dg_blocks.append(bg.block)
        self._chain(dg_blocks)
        self._chain(fhs)
        hd = Block(b"##HD", [dg_blocks[0] if dg_blocks else None, fhs[0] if fhs else None, None, None, None,
                             hd_comment], hd_data(w.start_time_ns, *w.hd_fields), "header")
        meta = [b for b in _reachable([hd]) if b.code != b"##DT" and b is not hd]
        if w.placement == "reverse":
            meta.reverse()
        elif w.placement == "shuffle":
            random.Random(w.seed).shuffle(meta)
        elif w.placement != "natural":
            raise ValueError(w.placement)
        order = meta + [g.data_block for g in built_groups if g.data_block is not None]
        return Recording(w.id_block, hd, built_groups, w.start_time_ns, order, w.placement, w.seed, w.tail)

    def _data_group(self, g: DataGroupWriter, start: float, last: bool) -> BuiltDataGroup:
        # Channel groups, then one VLSD group per VLSD channel after them.
        built: List[BuiltChannelGroup] = []
        by_writer: Dict[int, BuiltChannelGroup] = {}
        next_id = 1 + max([cg.record_id for cg in g.channel_groups], default=0)
        vlsd_groups: List[BuiltChannelGroup] = []
        for cgw in g.channel_groups:
            bcg = BuiltChannelGroup(cgw, Block(b"##CG", [None] * 6, b"", "channel group"), cgw.record_id,
                                    cgw.data_bytes + cgw.inval_bytes, False, list(cgw.channels))
            for ch in cgw.channels:
                bcg.values[ch.name] = []
                if ch.has_signal_data and ch.storage == "vlsd":
                    if next_id >= 1 << (8 * g.record_id_size):
                        raise ValueError("no record id left for a VLSD channel group")
                    vg = BuiltChannelGroup(None, Block(b"##CG", [None] * 6, b"", "VLSD channel group"),
                                           next_id, -1, True)
                    next_id += 1
                    bcg.vlsd_groups[ch.name] = vg
                    vlsd_groups.append(vg)
                elif ch.has_signal_data:
                    bcg.sd_blocks[ch.name] = Block(b"##SD", (), b"", "signal data")
            built.append(bcg)
            by_writer[id(cgw)] = bcg
        all_groups = built + vlsd_groups

        # Records.
        id_size = g.record_id_size
        parts: List[bytes] = []
        pos = 0
        spans: List[RecordSpan] = []
        vlsd_streams: Dict[int, List[bytes]] = {id(v): [] for v in vlsd_groups}
        vlsd_sizes: Dict[int, int] = {id(v): 0 for v in vlsd_groups}
        vlsd_counts: Dict[int, int] = {id(v): 0 for v in vlsd_groups}
        sd_streams: Dict[int, List[bytes]] = {}
        sd_sizes: Dict[int, int] = {}
        counts: Dict[int, int] = {}
        # Each fixed record's bytes, and each VLSD value with the record and
        # field that refer to it, for placements other than "follow".
        fixed_records: List[bytearray] = []
        fixed_ids: List[bytes] = []
        placed_values: List[Tuple[int, int, Any, bytes]] = []
        kinds = {id(cgw): _classify(cgw) for cgw in g.channel_groups}
        for cgw, frame in g.frames:
            bcg = by_writer[id(cgw)]
            counts[id(bcg)] = counts.get(id(bcg), 0) + 1
            phys = cgw.values_of(frame)
            rec = bytearray(bcg.record_length)
            extra: List[bytes] = []
            raws: Dict[str, Any] = {}
            for ch in cgw.channels:
                raw = _raw_of(ch, phys[ch.name])
                raws[ch.name] = raw
                bcg.values[ch.name].append(raw)
                p = ch.position
                if ch.kind == "bytes" and ch.storage == "vlsd":
                    vg = bcg.vlsd_groups[ch.name]
                    _write_uint(rec, p, 64, vlsd_sizes[id(vg)])
                    entry = struct.pack("<I", len(raw)) + raw
                    vlsd_sizes[id(vg)] += len(entry)
                    vlsd_counts[id(vg)] += 1
                    extra.append(vg.record_id.to_bytes(id_size, "little") + entry)
                    placed_values.append((len(fixed_records), p, vg, entry))
                elif ch.kind == "bytes" and ch.storage == "sd":
                    sd = bcg.sd_blocks[ch.name]
                    _write_uint(rec, p, 64, sd_sizes.get(id(sd), 0))
                    entry = struct.pack("<I", len(raw)) + raw
                    sd_streams.setdefault(id(sd), []).append(entry)
                    sd_sizes[id(sd)] = sd_sizes.get(id(sd), 0) + len(entry)
                elif ch.kind == "bytes":
                    width = ch.bits // 8
                    if len(raw) > width:
                        raise ValueError(f"{ch.name}: {len(raw)} bytes do not fit {width}")
                    rec[p // 8:p // 8 + len(raw)] = raw
                elif ch.kind == "float":
                    struct.pack_into("<d", rec, p // 8, raw)
                elif ch.kind == "uint_be":
                    rec[p // 8:p // 8 + ch.bits // 8] = raw.to_bytes(ch.bits // 8, "big")
                else:
                    _write_uint(rec, p, ch.bits, raw)
            record = (bcg.record_id.to_bytes(id_size, "little") if id_size else b"") + bytes(rec)
            begin = pos
            fixed_records.append(rec)
            fixed_ids.append(record[:id_size])
            parts.append(record)
            pos += len(record)
            if g.vlsd_placement == "follow":
                for e in extra:
                    parts.append(e)
                    pos += len(e)
            try:
                msg: Optional[ExpectedMessage] = _decode(kinds[id(cgw)], cgw.channels, raws, start)
                reason = ""
            except ExpectationUnknown as e:
                msg, reason = None, str(e)
            spans.append(RecordSpan(bcg, frame, msg, begin, pos, reason))
        if g.vlsd_placement != "follow":
            parts, pos = _place_vlsd_records(g, fixed_records, fixed_ids, placed_values, spans)
        if g.record_id_size == 0 and bcg_zero_length(built):
            # A walk over records of no bytes never advances; how a reader
            # ends it is its own choice.
            for s in spans:
                s.message, s.unknown_reason = None, "records of no bytes"

        # Blocks of the channel groups.
        for bcg in built:
            cgw = bcg.writer  # type: ignore[assignment]
            assert cgw is not None
            leaf_blocks = []
            for ch in cgw.channels:
                link = bcg.vlsd_groups[ch.name].block if ch.name in bcg.vlsd_groups else bcg.sd_blocks.get(ch.name)
                cb = self._channel_block(ch, link)
                bcg.channel_blocks[ch.name] = cb
                leaf_blocks.append(cb)
            top = self._compose(cgw, leaf_blocks)
            if cgw.reverse_chain:
                top.reverse()
            first_cn = self._chain(top)
            acq = text_block(b"##TX", cgw.acquisition_name, "acquisition name") if cgw.acquisition_name else None
            bcg.block.links = [None, first_cn, acq, si_block(cgw.source) if cgw.source is not None else None, None,
                               text_block(b"##TX", cgw.comment, "group comment") if cgw.comment else None]
            bcg.block.data = cg_data(bcg.record_id, counts.get(id(bcg), 0), cgw.flags, cgw.data_bytes,
                                     cgw.inval_bytes)
        for vg in vlsd_groups:
            total = vlsd_sizes[id(vg)]
            vg.block.data = cg_data(vg.record_id, vlsd_counts[id(vg)], CG_VLSD, total & 0xFFFFFFFF, total >> 32)
        for bcg in built:
            for name, sd in bcg.sd_blocks.items():
                sd.data = b"".join(sd_streams.get(id(sd), []))
        self._chain([cg.block for cg in all_groups])

        dt = None
        if g.data_block:
            dt = Block(b"##DT", (), b"".join(parts) + g.trailing, "data")
            if last and self.w.last_data_length is not None:
                dt.length = self.w.last_data_length
        dg = Block(b"##DG", [None, all_groups[0].block if all_groups else None, dt,
                             text_block(b"##TX", g.comment, "data group comment") if g.comment else None],
                   struct.pack("<B7x", g.record_id_size), "data group")
        return BuiltDataGroup(dg, dt, g.record_id_size, all_groups, spans, pos if g.data_block else 0)

    def _compose(self, cgw: ChannelGroupWriter, leaves: List[Block]) -> List[Block]:
        """The top-level channels of a group: flat, or the Timestamp followed
        by one structure channel whose components are the other channels,
        wrapped `nesting` times more."""
        if not cgw.composed:
            return leaves
        head = [b for b, c in zip(leaves, cgw.channels) if c.name == "Timestamp"]
        members = [(b, c) for b, c in zip(leaves, cgw.channels) if c.name != "Timestamp"]
        if not members:
            return leaves
        lo = min(c.position for _, c in members) // 8
        hi = max(_align8(c.position + c.stored_bits()) // 8 for _, c in members)
        self._chain([b for b, _ in members])
        name = cgw.prefix or "Structure"
        parent = Block(b"##CN", [None, members[0][0], text_block(b"##TX", name, "channel name"), None, None, None,
                                 None, None], cn_data(CN_FIXED, SYNC_NONE, DT_BYTES, 0, lo, 8 * (hi - lo)), name)
        for depth in range(cgw.nesting):
            parent = Block(b"##CN", [None, parent, text_block(b"##TX", f"{name}_{depth}", "channel name"), None,
                                     None, None, None, None], cn_data(CN_FIXED, SYNC_NONE, DT_BYTES, 0, lo,
                                                                      8 * (hi - lo)), name)
        return head + [parent]


def bcg_zero_length(groups: List[BuiltChannelGroup]) -> bool:
    return len(groups) == 1 and groups[0].record_length == 0


# ---------------------------------------------------------------------------
# Ready-made recordings.


def sample_frames(n_can: int = 40, n_fd: int = 20, n_lin: int = 20, seed: int = 7) -> Tuple[List[CanFrame], List[Any]]:
    """CAN, CAN FD and LIN frames over a few seconds, for examples."""
    rnd = random.Random(seed)
    can: List[CanFrame] = []
    t = 0.0
    for i in range(n_can):
        t += rnd.choice((0.001, 0.0025, 0.01))
        ext = i % 5 == 0
        can.append(CanFrame(round(t, 6), rnd.randrange(1 << 29) if ext else rnd.randrange(0x800),
                            bytes(rnd.randrange(256) for _ in range(rnd.randrange(9))), is_extended_id=ext,
                            is_rx=i % 7 != 3, channel=1 + i % 2))
    other: List[Any] = []
    t = 0.0005
    for i in range(n_fd):
        t += 0.01
        n = rnd.choice((0, 5, 8, 12, 20, 32, 48, 64))
        other.append(CanFrame(round(t, 6), 0x200 + i, bytes(rnd.randrange(256) for _ in range(n)), is_fd=True,
                              bitrate_switch=i % 2 == 0, error_state_indicator=i % 5 == 4, channel=3))
    t = 0.0007
    for i in range(n_lin):
        t += 0.02
        other.append(LinFrame(round(t, 6), frame_id=0x10 + i % 8, data=bytes(range(i % 9)), is_rx=i % 3 != 0,
                              channel=1))
    return can, other


def make_sample(path: str) -> Recording:
    """Writes the sample recording to `path`."""
    rec = sample_recording()
    rec.write(path)
    return rec


def sample_recording() -> Recording:
    """The small sample recording the project ships: classic CAN, CAN FD and
    LIN frames over three data groups, with remote and error frames, and a
    header comment carrying metadata properties."""
    props: PropertyTree = {
        "Device": {
            "serial": Property("ZR-000123", type="string", description="Serial number", ro="true"),
            "firmware": Property("2.4.1", type="string", description="Firmware version", ro="true"),
        },
        "Vehicle": {
            "vin": Property("WDB0000000X000001", type="string", description="Vehicle identification"),
            "odometer": Property("12345", type="integer", unit="km", description="Odometer at start"),
        },
        "comment": Property("sample recording", type="string"),
    }
    w = RecordingWriter(start_time_ns=1_700_000_000 * NANOSECONDS + 250_000_000,
                        comment=Md(hd_comment_xml(props, "sample recording")))
    can, other = sample_frames()
    g1 = w.data_group(record_id_size=1, comment="CAN 1 and 2")
    g1.can_channel_group(fd=False, acquisition_name="CAN classic")
    g1.can_remote_channel_group()
    g1.can_error_channel_group()
    for i, f in enumerate(can):
        g1.add_frame(f)
        if i == 9:
            g1.add_frame(CanFrame(f.timestamp + 0.0001, 0x7DF, is_remote_frame=True, data_length=8, channel=1))
        if i == 19:
            g1.add_frame(CanFrame(f.timestamp + 0.0001, is_error_frame=True, error_type=2, channel=2))
    g2 = w.data_group(record_id_size=1, comment="CAN FD")
    g2.can_channel_group(fd=True, payload="vlsd", time=linear_time(1e-6), acquisition_name="CAN FD")
    g2.add_frames(f for f in other if isinstance(f, CanFrame))
    g3 = w.data_group(record_id_size=0, comment="LIN")
    g3.lin_channel_group(packed=True)
    g3.add_frames(f for f in other if isinstance(f, LinFrame))
    return w.build()


def write_expected_json(rec: Recording, data: bytes, path: str) -> None:
    with open(path, "w") as f:
        json.dump(rec.expected_json(data), f, indent=1)
        f.write("\n")


# ---------------------------------------------------------------------------
# Layouts of other writers, made from a built recording: data lists, header
# lists and compressed data blocks instead of one data block, a VLSD group
# placed before the group that uses it, a maximum-length payload. A reader
# that reads them must give the frames it gives for the recording before the
# change.

DZ_DEFLATE, DZ_TRANSPOSED = 0, 1


def dz_block(original: bytes, kind: bytes = b"DT", zip_type: int = DZ_DEFLATE, parameter: int = 0,
             declared: Optional[int] = None, level: int = 6) -> Block:
    """A compressed data block (##DZ) holding `original`, which a reader must
    inflate to `declared` bytes (default: its length). Transposed deflate
    writes byte c of record r (records of `parameter` bytes) at c * records + r;
    bytes after the last whole record stay as they are."""
    import zlib

    data = original
    if zip_type == DZ_TRANSPOSED and parameter > 0:
        records = len(original) // parameter
        whole = original[:records * parameter]
        data = bytes(whole[r * parameter + c] for c in range(parameter) for r in range(records))
        data += original[records * parameter:]
    packed = zlib.compress(data, level)
    size = len(original) if declared is None else declared
    fields = struct.pack("<2sBBIQQ", kind, zip_type, 0, parameter, size, len(packed))
    return Block(b"##DZ", (), fields + packed, "compressed data")


def data_list(pieces: Sequence[Block], per_list: int = 4, header: bool = False, zip_type: int = 0) -> Block:
    """A chain of data lists (##DL) over the blocks, `per_list` in each, each
    with the offsets of its blocks; behind a header list (##HL) with `header`."""
    lists: List[Block] = []
    position = 0
    for start in range(0, len(pieces), per_list):
        chunk = list(pieces[start:start + per_list])
        offsets = []
        for b in chunk:
            offsets.append(position)
            position += _original_size(b)
        data = struct.pack("<B3xI", 0, len(chunk)) + struct.pack(f"<{len(chunk)}Q", *offsets)
        lists.append(Block(b"##DL", [None] + chunk, data, "data list"))
    for a, b in zip(lists, lists[1:]):
        a.links[0] = b
    if not header:
        return lists[0]
    return Block(b"##HL", [lists[0]], struct.pack("<HB5x", 1, zip_type), "header list")


def _original_size(block: Block) -> int:
    if block.code == b"##DZ":
        return struct.unpack_from("<Q", block.data, 8)[0]
    return len(block.data)


def split_blocks(data: bytes, block_size: int, kind: bytes = b"DT", zip_type: Optional[int] = None,
                 parameter: int = 0) -> List[Block]:
    """`data` cut into blocks of at most block_size bytes (records may be cut
    anywhere): plain blocks of the kind, or compressed ones with zip_type."""
    out = []
    for start in range(0, max(len(data), 1), block_size):
        piece = data[start:start + block_size]
        if zip_type is None:
            out.append(Block(b"##" + kind, (), piece, "data"))
        else:
            out.append(dz_block(piece, kind, zip_type, parameter))
    return out


def store_as_list(rec: Recording, group: int, block_size: int, zip_type: Optional[int] = None,
                  header: bool = False, per_list: int = 4, parameter: Optional[int] = None) -> None:
    """Replaces the data block of data group `group` with a data list of
    blocks of at most block_size bytes (compressed with zip_type; transposed
    by the record length of the group's first channel group unless
    `parameter` says otherwise)."""
    g = rec.groups[group]
    assert g.data_block is not None
    if parameter is None:
        first = [cg for cg in g.channel_groups if not cg.is_vlsd][0]
        parameter = g.record_id_size + first.record_length
    blocks = split_blocks(g.data_block.data, block_size, b"DT", zip_type, parameter)
    g.block.links[2] = data_list(blocks, per_list, header, 0 if zip_type is None else 1)
    rec.order = [b for b in rec.order if b is not g.data_block]


def store_signal_data_as_list(rec: Recording, group: int, block_size: int, zip_type: Optional[int] = DZ_DEFLATE,
                              header: bool = False) -> None:
    """Replaces every signal-data block (##SD) of the data group's channels
    with a data list of (compressed) signal-data blocks."""
    g = rec.groups[group]
    for cg in g.channel_groups:
        for name, sd in cg.sd_blocks.items():
            blocks = split_blocks(sd.data, block_size, b"SD", zip_type)
            cg.channel_blocks[name].links[5] = data_list(blocks, 3, header)


def vlsd_groups_first(rec: Recording, group: int) -> None:
    """Chains the VLSD channel groups of the data group before the groups
    that use them."""
    g = rec.groups[group]
    order = [cg for cg in g.channel_groups if cg.is_vlsd] + [cg for cg in g.channel_groups if not cg.is_vlsd]
    for a, b in zip(order, order[1:]):
        a.block.links[0] = b.block
    order[-1].block.links[0] = None
    g.block.links[1] = order[0].block
    g.channel_groups = order


def maximum_length_payload(rec: Recording, group: int, channel_group: int, payload: str, size: str,
                           size_name: Optional[str] = None) -> None:
    """Makes the payload channel a maximum-length channel whose size channel
    is `size` (renamed to size_name, so that only the link says what it is)."""
    cg = [c for c in rec.groups[group].channel_groups if not c.is_vlsd][channel_group]
    block = cg.channel_blocks[payload]
    block.data = bytes([5]) + block.data[1:]
    block.links[5] = cg.channel_blocks[size]
    if size_name is not None:
        cg.channel_blocks[size].links[2] = text_block(b"##TX", size_name, "channel name")
