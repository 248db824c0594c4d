"""Recordings the test modules share beyond the named set of
make_recordings.py: those of other MDF 4 writers (python-can's MF4Writer and
asammdf's own API, written at test time), and the shapes other writers give a
recording, made from the test writer's (data lists, header lists, a VLSD
group first, a maximum-length payload).
"""

from __future__ import annotations

import contextlib
import random
from typing import Any, Callable, Dict, Iterator, List, Tuple

import can
import numpy as np

import mdf_writer as mw
from mdf_writer import CanFrame, LinFrame, RecordingWriter

START_NS = 1_600_000_000 * 1_000_000_000


# -- python-can's MF4Writer --------------------------------------------------------


def python_can_messages(n: int, seed: int = 3) -> List[can.Message]:
    """Classic, FD, remote and error frames on three buses, as python-can
    messages."""
    rnd = random.Random(seed)
    t = 1_700_000_000.0
    out = []
    for i in range(n):
        t += rnd.choice((0.0001, 0.00125, 0.01))
        channel = 1 + i % 3
        kind = rnd.random()
        if kind < 0.05:
            out.append(can.Message(timestamp=t, arbitration_id=rnd.randrange(0x800), is_remote_frame=True,
                                   dlc=rnd.randrange(9), is_extended_id=False, channel=channel))
        elif kind < 0.08:
            out.append(can.Message(timestamp=t, is_error_frame=True, channel=channel, is_rx=i % 2 == 0))
        elif kind < 0.4:
            length = rnd.choice((0, 3, 8, 12, 20, 32, 48, 64))
            out.append(can.Message(timestamp=t, arbitration_id=rnd.randrange(1 << 29), is_extended_id=True,
                                   is_fd=True, bitrate_switch=i % 2 == 0, error_state_indicator=i % 5 == 0,
                                   data=bytes(rnd.randrange(256) for _ in range(length)), channel=channel,
                                   is_rx=i % 4 != 0))
        else:
            ext = i % 7 == 0
            out.append(can.Message(timestamp=t, arbitration_id=rnd.randrange(1 << 29 if ext else 0x800),
                                   is_extended_id=ext, data=bytes(rnd.randrange(256) for _ in range(rnd.randrange(9))),
                                   channel=channel, is_rx=i % 3 != 0))
    return out


def write_python_can(path: Any, messages: List[can.Message], level: int) -> None:
    writer = can.MF4Writer(str(path), compression_level=level)
    for m in messages:
        writer.on_message_received(m)
    writer.stop()


# -- asammdf's own API -------------------------------------------------------------


@contextlib.contextmanager
def asammdf_small_blocks() -> Iterator[None]:
    """asammdf writes blocks of 4 MiB; small ones make even a short recording
    a data list of many (compressed) blocks, as a long one is."""
    from asammdf.blocks.options import get_global_option, set_global_option

    before = get_global_option("write_fragment_size")
    set_global_option("write_fragment_size", 2048)
    try:
        yield
    finally:
        set_global_option("write_fragment_size", before)


DATA_DTYPE = np.dtype([
    ("CAN_DataFrame.BusChannel", "<u1"), ("CAN_DataFrame.ID", "<u4"), ("CAN_DataFrame.SRR", "<u1"),
    ("CAN_DataFrame.DLC", "<u1"), ("CAN_DataFrame.DataLength", "<u1"), ("CAN_DataFrame.DataBytes", "(8,)u1"),
    ("CAN_DataFrame.Dir", "<u1"), ("CAN_DataFrame.WakeUp", "<u1"), ("CAN_DataFrame.SingleWire", "<u1"),
    ("CAN_DataFrame.R0", "<u1"), ("CAN_DataFrame.R1", "<u1"), ("CAN_DataFrame.FrameDuration", "<u4"),
    ("CAN_DataFrame.CRC", "<u2"),
])
ERROR_DTYPE = np.dtype([
    ("CAN_ErrorFrame.BusChannel", "<u1"), ("CAN_ErrorFrame.ID", "<u4"), ("CAN_ErrorFrame.IDE", "<u1"),
    ("CAN_ErrorFrame.DLC", "<u1"), ("CAN_ErrorFrame.DataLength", "<u1"), ("CAN_ErrorFrame.DataBytes", "(8,)u1"),
    ("CAN_ErrorFrame.Dir", "<u1"), ("CAN_ErrorFrame.ErrorType", "<u1"),
])
REMOTE_DTYPE = np.dtype([
    ("CAN_RemoteFrame.BusChannel", "<u1"), ("CAN_RemoteFrame.ID", "<u4"), ("CAN_RemoteFrame.IDE", "<u1"),
    ("CAN_RemoteFrame.DLC", "<u1"), ("CAN_RemoteFrame.Dir", "<u1"), ("CAN_RemoteFrame.SRR", "<u1"),
])
LIN_DTYPE = np.dtype([
    ("LIN_Frame.BusChannel", "<u1"), ("LIN_Frame.ID", "<u1"), ("LIN_Frame.Dir", "<u1"),
    ("LIN_Frame.ReceivedDataByteCount", "<u1"), ("LIN_Frame.DataLength", "<u1"), ("LIN_Frame.DataBytes", "(8,)u1"),
    ("LIN_Frame.Checksum", "<u1"), ("LIN_Frame.ChecksumModel", "<u1"),
])


def asammdf_recording(path: Any, version: str, compression: int, n: int = 300,
                      seed: int = 5) -> List[Tuple[float, Dict[str, Any]]]:
    """A recording made with asammdf's API: CAN data frames without an IDE
    member (bit 31 of the ID says extended) and with members no frame uses,
    error frames with members, remote frames without DataLength, LIN frames,
    a time channel of another name, and an ordinary signal beside the bus.
    Gives the frames a correct reader yields, as (time, fields) pairs."""
    from asammdf import MDF, Signal
    from asammdf.blocks.v4_blocks import SourceInformation
    from asammdf.blocks.v4_constants import BUS_TYPE_CAN, BUS_TYPE_LIN, SOURCE_BUS

    rnd = random.Random(seed)
    expected = []

    def times(count: int, step: float) -> Any:
        return np.cumsum(np.array([rnd.choice((0.5, 1.0, 1.5)) * step for _ in range(count)]))

    t_data = times(n, 0.001)
    data = np.zeros(n, dtype=DATA_DTYPE)
    for i in range(n):
        ext = i % 4 == 0
        ident = rnd.randrange(1 << 29) if ext else rnd.randrange(0x800)
        length = rnd.randrange(9)
        payload = bytes(rnd.randrange(256) for _ in range(length))
        row = data[i]
        row["CAN_DataFrame.BusChannel"] = 1 + i % 2
        row["CAN_DataFrame.ID"] = ident | (0x80000000 if ext else 0)
        row["CAN_DataFrame.DLC"] = length
        row["CAN_DataFrame.DataLength"] = length
        row["CAN_DataFrame.DataBytes"][:length] = list(payload)
        row["CAN_DataFrame.Dir"] = i % 3 == 0
        row["CAN_DataFrame.SRR"] = 1
        row["CAN_DataFrame.FrameDuration"] = 1000 + i
        row["CAN_DataFrame.CRC"] = rnd.randrange(1 << 15)
        expected.append((t_data[i], dict(arbitration_id=ident, is_extended_id=ext, dlc=length, data=payload,
                                         is_rx=i % 3 != 0, channel=f"CAN {1 + i % 2}")))

    m_err = n // 10
    t_err = times(m_err, 0.01)
    errors = np.zeros(m_err, dtype=ERROR_DTYPE)
    for i in range(m_err):
        errors[i]["CAN_ErrorFrame.BusChannel"] = 2
        errors[i]["CAN_ErrorFrame.ID"] = 0x100 + i
        errors[i]["CAN_ErrorFrame.DLC"] = 2
        errors[i]["CAN_ErrorFrame.DataLength"] = 2
        errors[i]["CAN_ErrorFrame.ErrorType"] = 1 + i % 5
        expected.append((t_err[i], dict(is_error_frame=True, arbitration_id=0x100 + i, channel="CAN 2", dlc=0,
                                        data=b"")))

    m_rtr = n // 10
    t_rtr = times(m_rtr, 0.01)
    remote = np.zeros(m_rtr, dtype=REMOTE_DTYPE)
    for i in range(m_rtr):
        remote[i]["CAN_RemoteFrame.BusChannel"] = 1
        remote[i]["CAN_RemoteFrame.ID"] = 0x700 + i
        remote[i]["CAN_RemoteFrame.IDE"] = 0
        remote[i]["CAN_RemoteFrame.DLC"] = i % 9
        remote[i]["CAN_RemoteFrame.Dir"] = 1
        expected.append((t_rtr[i], dict(is_remote_frame=True, arbitration_id=0x700 + i, is_extended_id=False,
                                        dlc=i % 9, data=b"", is_rx=False, channel="CAN 1")))

    m_lin = n // 5
    t_lin = times(m_lin, 0.005)
    lin = np.zeros(m_lin, dtype=LIN_DTYPE)
    for i in range(m_lin):
        length = 1 + i % 8
        payload = bytes((i + k) % 256 for k in range(length))
        lin[i]["LIN_Frame.BusChannel"] = 1
        lin[i]["LIN_Frame.ID"] = i % 64
        lin[i]["LIN_Frame.Dir"] = i % 2
        lin[i]["LIN_Frame.ReceivedDataByteCount"] = length
        lin[i]["LIN_Frame.DataLength"] = length
        lin[i]["LIN_Frame.DataBytes"][:length] = list(payload)
        lin[i]["LIN_Frame.Checksum"] = 0x55
        expected.append((t_lin[i], dict(arbitration_id=i % 64, is_extended_id=False, dlc=length, data=payload,
                                        is_rx=i % 2 == 0, channel="LIN 1")))

    can_source = dict(source_type=SOURCE_BUS, bus_type=BUS_TYPE_CAN)
    mdf = MDF(version=version)
    mdf.append(Signal(name="CAN_DataFrame", samples=data, timestamps=t_data, master_metadata=("t_abs", 1),
                      source=SourceInformation(**can_source)), acq_name="CAN bus")
    mdf.append(Signal(name="EngineSpeed", samples=np.arange(50, dtype="<f8") * 10.0,
                      timestamps=np.arange(50) * 0.02, unit="rpm"))
    mdf.append(Signal(name="CAN_ErrorFrame", samples=errors, timestamps=t_err, source=SourceInformation(**can_source)))
    mdf.append(Signal(name="CAN_RemoteFrame", samples=remote, timestamps=t_rtr,
                      source=SourceInformation(**can_source)))
    mdf.append(Signal(name="LIN_Frame", samples=lin, timestamps=t_lin,
                      source=SourceInformation(source_type=SOURCE_BUS, bus_type=BUS_TYPE_LIN)))
    mdf.save(str(path), compression=compression, overwrite=True)
    start = MDF(str(path)).header.start_time.timestamp()
    return sorted(((start + t, fields) for t, fields in expected), key=lambda e: e[0])


# -- shapes of other writers, made with the test writer ---------------------------


def mixed_recording(payload: str = "vlsd") -> RecordingWriter:
    """Classic and FD frames (FD payloads as signal data), remote, error and
    LIN frames over two data groups, with record ids."""
    can_frames, other = mw.sample_frames(n_can=120, n_fd=60, n_lin=40)
    w = RecordingWriter(start_time_ns=START_NS)
    g = w.data_group(record_id_size=1)
    g.can_channel_group(fd=False)
    g.can_channel_group(fd=True, payload=payload)
    g.can_remote_channel_group()
    g.can_error_channel_group()
    g.add_frames(can_frames)
    g.add_frames(f for f in other if isinstance(f, CanFrame))
    g.add_frame(CanFrame(9.0, 0x7DF, is_remote_frame=True, data_length=8))
    g.add_frame(CanFrame(9.5, is_error_frame=True, error_type=3, channel=2))
    g2 = w.data_group(record_id_size=0)
    g2.lin_channel_group(packed=True)
    g2.add_frames(f for f in other if isinstance(f, LinFrame))
    return w


# Each changes a built mixed_recording() into the shape another writer gives
# it; a reader reading it with any_writer gives the frames of the original.
SHAPES: Dict[str, Callable[[mw.Recording], Any]] = {
    "data list": lambda rec: mw.store_as_list(rec, 0, 200),
    "data list of compressed blocks": lambda rec: mw.store_as_list(rec, 0, 333, zip_type=mw.DZ_DEFLATE),
    "header list, transposed": lambda rec: (mw.store_as_list(rec, 0, 512, zip_type=mw.DZ_TRANSPOSED, header=True),
                                            mw.store_as_list(rec, 1, 64, zip_type=mw.DZ_TRANSPOSED, header=True)),
    "VLSD group first": lambda rec: mw.vlsd_groups_first(rec, 0),
    "VLSD group first, compressed list": lambda rec: (mw.vlsd_groups_first(rec, 0),
                                                      mw.store_as_list(rec, 0, 1000, zip_type=mw.DZ_DEFLATE)),
    "maximum-length payload": lambda rec: mw.maximum_length_payload(rec, 0, 0, "CAN_DataFrame.DataBytes",
                                                                    "CAN_DataFrame.DataLength",
                                                                    "CAN_DataFrame.UsedBytes"),
}
