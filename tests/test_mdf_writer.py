"""Checks the test recording writer against asammdf, an independent MDF 4
library: every channel of every record must read back, raw, as written.
Also checks the writer's account of what a correct reader yields on the
cases where that account encodes a rule of the format."""

from __future__ import annotations

import io
import json
import math
import os
import random
import struct
import sys
from typing import Any, Dict, List

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import mdf_writer as mw  # noqa: E402
from mdf_writer import (  # noqa: E402
    CanFrame, Channel, LinError, LinFrame, Linear, Md, RawRecord, RecordingWriter, SourceInfo, Tx, ValueTable,
)

asammdf = pytest.importorskip("asammdf")


def _payload(rnd: random.Random, n: int) -> bytes:
    # Variable-length values come back from asammdf padded with zeros to the
    # longest one, so the last byte is never zero: stripping restores them.
    if n == 0:
        return b""
    return bytes(rnd.randrange(256) for _ in range(n - 1)) + bytes([rnd.randrange(1, 256)])


def _frames(seed: int, count: int, t0: float = 0.0) -> List[Any]:
    rnd = random.Random(seed)
    out: List[Any] = []
    t = t0
    for i in range(count):
        t += rnd.choice((0.0001, 0.001, 0.0125))
        r = i % 7
        if r == 5:
            out.append(CanFrame(t, rnd.randrange(0x800), is_remote_frame=True, data_length=rnd.randrange(9),
                                is_extended_id=False, is_rx=i % 2 == 0, channel=2))
        elif r == 6:
            out.append(CanFrame(t, is_error_frame=True, error_type=rnd.randrange(6), channel=1 + i % 3))
        elif r == 4:
            out.append(LinFrame(t, frame_id=rnd.randrange(64), data=_payload(rnd, rnd.randrange(9)),
                                is_rx=i % 3 != 0, channel=1 + i % 2))
        elif r in (1, 3):
            n = rnd.choice((0, 1, 8, 12, 16, 20, 24, 32, 48, 64))
            out.append(CanFrame(t, rnd.randrange(1 << 29), _payload(rnd, n), is_extended_id=True, is_fd=True,
                                bitrate_switch=rnd.random() < 0.5, error_state_indicator=rnd.random() < 0.3,
                                is_rx=rnd.random() < 0.8, channel=3))
        else:
            ext = rnd.random() < 0.3
            out.append(CanFrame(t, rnd.randrange(1 << 29) if ext else rnd.randrange(0x800),
                                _payload(rnd, rnd.randrange(9)), is_extended_id=ext, is_rx=rnd.random() < 0.7,
                                channel=1 + i % 2, id_flags=0x80000000 if ext and i % 3 == 0 else 0))
    return out


def _can_data_only(frames: List[Any]) -> List[Any]:
    return [f for f in frames if isinstance(f, CanFrame) and not f.is_remote_frame and not f.is_error_frame]


def _build(shape: Dict[str, Any]) -> mw.Recording:
    """A recording of the given shape, with every kind of bus event."""
    groups = shape.get("groups", 1)
    id_size = shape.get("id_size", 1)
    payload = shape.get("payload", "record")
    options = dict(packed=shape.get("packed", False), composed=shape.get("composed", False),
                   nesting=shape.get("nesting", 0), placement=None)
    options.pop("placement")
    time = shape.get("time", "float")
    w = RecordingWriter(start_time_ns=1_650_000_000_123_456_789, placement=shape.get("placement", "natural"),
                        seed=3, comment=shape.get("comment"), history=shape.get("history"))

    def time_channel() -> Channel:
        if time == "linear":
            return mw.linear_time(1e-6)
        if time == "linear48":
            return mw.linear_time(1e-5, offset=-0.5, bits=48)
        return mw.float_time()

    bus_table = ValueTable([(10, 1), (11, 2), (12, 3), (13, 2)], odd_parameter=99.0)
    overrides: Dict[str, Dict[str, Any]] = {}
    if shape.get("conversions"):
        overrides = {
            "CAN_DataFrame.BusChannel": {"conversion": bus_table},
            "CAN_DataFrame.DLC": {"conversion": mw.OtherConversion()},
            "CAN_DataFrame.ID": {"kind": "uint_be", "bits": 32},
            "CAN_DataFrame.DataLength": {"conversion": Linear(-1.0, 1.0), "bits": 8},
        }
    # Record ids that fill their width. asammdf loses the records of ids of
    # 2**32 and above (it keeps ids in 32 bits), so 8-byte ids stay below that.
    base = {0: 0, 1: 0, 2: 0x7F00, 4: 0x7FFF0000, 8: 0xFFFF0000}[id_size]
    for gi in range(groups):
        g = w.data_group(record_id_size=id_size, comment=f"group {gi}")
        rid = (lambda k: base + k) if id_size else (lambda k: None)
        if id_size == 0:
            g.can_channel_group(payload="record", time=time_channel(), overrides=overrides, **options)
            frames = _can_data_only(_frames(gi, 60, t0=gi * 0.0003))
        else:
            g.can_channel_group(fd=False, time=time_channel(), record_id=rid(3), overrides=overrides, **options)
            g.can_channel_group(fd=True, payload=payload, time=time_channel(), record_id=rid(1),
                                overrides=overrides, **options)
            g.can_remote_channel_group(time=time_channel(), record_id=rid(7), **options)
            g.can_error_channel_group(time=time_channel(), record_id=rid(2), **options)
            g.lin_channel_group(time=time_channel(), record_id=rid(9), **options)
            frames = _frames(100 + gi, 70, t0=gi * 0.0003)
        g.add_frames(frames)
    return w.build()


def _asammdf_values(mdf: Any, group: int, index: int, ch: Channel) -> List[Any]:
    samples = mdf.get(ch.name, group=group, index=index, raw=True).samples
    if ch.kind == "bytes":
        rows = [bytes(bytearray(row)) for row in samples]
        if ch.storage != "record":
            rows = [r.rstrip(b"\0") for r in rows]
        return rows
    return [s.item() for s in samples]


def _written(ch: Channel, values: List[Any]) -> List[Any]:
    if ch.kind == "bytes" and ch.storage == "record":
        return [v + bytes(ch.bits // 8 - len(v)) for v in values]
    if ch.kind == "bytes":
        # Compared like asammdf's values; _payload keeps the test frames'
        # last byte non-zero, so their lengths are checked exactly.
        return [v.rstrip(b"\0") for v in values]
    return values


def _check_with_asammdf(rec: mw.Recording, data: bytes) -> int:
    """Compares every channel of every record that `data` holds whole (all
    of them, unless the file was cut); returns the number of values compared."""
    groups = rec.expected_per_group(data)
    assert groups is not None
    mdf = asammdf.MDF(io.BytesIO(data))
    try:
        # asammdf lists one group per channel group of every data group, in
        # chain order, VLSD channel groups included (without channels).
        flat = [(cg, g.records[:len(msgs)]) for g, msgs in zip(rec.groups, groups) for cg in g.channel_groups]
        assert len(mdf.groups) == len(flat)
        compared = 0
        for gi, (grp, (cg, records)) in enumerate(zip(mdf.groups, flat)):
            if cg.is_vlsd:
                continue
            assert grp.channel_group.record_id == cg.record_id
            n = sum(1 for r in records if r.group is cg)
            index = {c.name: j for j, c in enumerate(grp.channels)}
            for ch in cg.channels:
                got = _asammdf_values(mdf, gi, index[ch.name], ch)
                want = _written(ch, cg.values[ch.name])[:n]
                assert got == want, f"group {gi} channel {ch.name}"
                compared += len(want)
        return compared
    finally:
        mdf.close()


SHAPES = [
    pytest.param({"id_size": 0}, id="no-record-ids"),
    pytest.param({"id_size": 1}, id="id1"),
    pytest.param({"id_size": 2, "groups": 2}, id="id2-two-groups"),
    pytest.param({"id_size": 4, "groups": 3, "placement": "shuffle"}, id="id4-three-groups-shuffled"),
    pytest.param({"id_size": 8, "placement": "reverse"}, id="id8-reversed"),
    pytest.param({"id_size": 1, "payload": "vlsd"}, id="vlsd"),
    pytest.param({"id_size": 8, "payload": "vlsd", "groups": 2}, id="vlsd-id8"),
    pytest.param({"id_size": 2, "payload": "sd", "groups": 2}, id="sd"),
    pytest.param({"id_size": 1, "packed": True}, id="packed-bits"),
    pytest.param({"id_size": 1, "packed": True, "payload": "vlsd", "time": "linear"}, id="packed-vlsd-linear"),
    pytest.param({"id_size": 1, "time": "linear48"}, id="time-48-bit-linear"),
    pytest.param({"id_size": 0, "conversions": True, "time": "linear"}, id="conversions"),
    pytest.param({"id_size": 2, "conversions": True, "payload": "sd"}, id="conversions-sd"),
    pytest.param({"id_size": 1, "composed": True}, id="composed"),
    pytest.param({"id_size": 2, "composed": True, "nesting": 3, "payload": "vlsd", "packed": True},
                 id="composed-nested-vlsd"),
    pytest.param({"id_size": 1, "comment": Md(mw.hd_comment_xml({"a": "1", "t": {"b": mw.Property("2", unit="s")}})),
                  "history": [mw.History(), mw.History(Md(mw.fh_comment_xml(tool_id=None)))]},
                 id="xml-comment-foreign-history"),
    pytest.param({"id_size": 1, "comment": Tx("plain"), "history": []}, id="text-comment-no-history"),
]


@pytest.mark.parametrize("shape", SHAPES)
def test_asammdf_reads_every_raw_value_as_written(shape: Dict[str, Any]) -> None:
    rec = _build(shape)
    data = rec.to_bytes()
    assert _check_with_asammdf(rec, data) > 100


@pytest.mark.parametrize("shape", SHAPES)
def test_expected_messages_give_back_the_frames(shape: Dict[str, Any]) -> None:
    """For recordings whose channels hold the frames plainly, the messages a
    reader must yield are the frames themselves, in file order per group."""
    rec = _build(shape)
    groups = rec.expected_per_group()
    assert groups is not None
    start = rec.start_time
    for g, msgs in zip(rec.groups, groups):
        assert len(msgs) == len(g.records)
        for span, m in zip(g.records, msgs):
            assert _frame_matches(span.frame, m, start, shape.get("time", "float")), (span.frame, m)
    merged = rec.expected_merged()
    assert merged is not None
    assert [m.timestamp for m in merged] == sorted(m.timestamp for msgs in groups for m in msgs)


def _frame_matches(f: Any, m: mw.ExpectedMessage, start: float, time: str) -> bool:
    tolerance = 0.0 if time == "float" else 1e-5
    if not math.isclose(m.timestamp, start + f.timestamp, rel_tol=0, abs_tol=tolerance + 1e-6):
        return False
    if isinstance(f, LinFrame):
        return (m.kind, m.arbitration_id, m.data, m.dlc, m.is_rx, m.channel, m.is_extended_id) == (
            "lin", f.frame_id, f.data, len(f.data), f.is_rx, f"LIN {f.channel}", False)
    if f.is_error_frame:
        return (m.kind, m.is_error_frame, m.data, m.dlc, m.channel) == ("error", True, b"", 0, f"CAN {f.channel}")
    if f.is_remote_frame:
        return (m.kind, m.is_remote_frame, m.arbitration_id, m.data, m.dlc, m.is_extended_id, m.is_rx,
                m.channel) == ("remote", True, f.arbitration_id, b"", f.data_length,
                               f.is_extended_id, f.is_rx, f"CAN {f.channel}")
    return (m.kind, m.arbitration_id, m.data, m.dlc, m.is_fd, m.bitrate_switch, m.error_state_indicator,
            m.is_extended_id, m.is_rx, m.channel) == (
        "data", f.arbitration_id, f.data, len(f.data), f.is_fd, f.bitrate_switch, f.error_state_indicator,
        f.is_extended_id, f.is_rx, f"CAN {f.channel}")


def _build_misc(variant: str) -> mw.Recording:
    """Channel groups besides the bus frames: LIN error events, groups of
    free channels under each source type, invalidation bytes, padding."""
    w = RecordingWriter(start_time_ns=0)
    g = w.data_group(record_id_size=2)
    rnd = random.Random(variant)
    if variant == "lin-errors":
        for event in mw.LIN_ERROR_EVENTS:
            g.lin_error_channel_group(event, packed=True)
        for i in range(40):
            g.add_frame(LinError(i * 0.01, mw.LIN_ERROR_EVENTS[i % 4], frame_id=i % 64, channel=1 + i % 2))
    elif variant == "sources":
        chans = [Channel("Speed", kind="float", bits=64, unit="km/h"),
                 Channel("Flags", bits=3), Channel("Counter", bits=13),
                 Channel("Blob", kind="bytes", bits=24)]
        for source_type in range(6):
            for bus_type in (mw.BUS_NONE, mw.BUS_CAN, mw.BUS_LIN, mw.BUS_ETHERNET):
                g.channel_group(chans, source=SourceInfo(source_type, bus_type, name=None if bus_type else "s",
                                                         path=None, comment="src" if source_type == 3 else None),
                                packed=source_type % 2 == 1)
        for i in range(120):
            cg = g.channel_groups[i % len(g.channel_groups)]
            cg.add_frame(RawRecord(i * 0.001, {"Speed": rnd.uniform(0, 250), "Flags": rnd.randrange(8),
                                               "Counter": rnd.randrange(1 << 13), "Blob": bytes([i, 1, 2])}))
    elif variant == "layout":
        g.can_channel_group(fd=False, inval_bytes=2, record_bytes=40, reverse_chain=True,
                            acquisition_name="CAN", comment="padded")
        g.can_channel_group(fd=True, payload="vlsd", packed=True, reverse_chain=True)
        g.add_frames(_can_data_only(_frames(5, 80)))
    return w.build()


@pytest.mark.parametrize("variant", ["lin-errors", "sources", "layout"])
def test_asammdf_reads_other_channel_groups(variant: str) -> None:
    rec = _build_misc(variant)
    assert _check_with_asammdf(rec, rec.to_bytes()) > 100


def test_no_frame_groups_and_classification() -> None:
    """LIN error events and groups that are not bus sources yield records
    without a frame (the reader raises "Unknown bus type" for them)."""
    groups = _build_misc("lin-errors").expected_per_group()
    assert groups is not None and len(groups[0]) == 40 and all(m.kind is None for m in groups[0])
    rec = _build_misc("sources")
    assert all(m.kind is None for m in rec.expected_per_group()[0])  # type: ignore[index]
    with pytest.raises(ValueError):
        rec.expected_merged()


def _one(channels_group: str, frame: Any, **options: Any) -> mw.ExpectedMessage:
    w = RecordingWriter(start_time_ns=1_500_000_000 * mw.NANOSECONDS)
    g = w.data_group(record_id_size=0)
    getattr(g, channels_group)(**options)
    g.add_frame(frame)
    groups = w.expected_per_group()
    assert groups is not None and len(groups[0]) == 1
    return groups[0][0]


def test_expected_messages_follow_the_reader_rules() -> None:
    m = _one("can_channel_group", CanFrame(0.25, 0x123, b"\x01", id_flags=0x80000000, is_extended_id=True))
    assert (m.arbitration_id, m.timestamp, m.is_extended_id) == (0x123, 1500000000.25, True)
    # A remote frame carries its requested length as zero bytes.
    m = _one("can_remote_channel_group", CanFrame(1.0, 0x10, is_remote_frame=True, data_length=8))
    assert (m.kind, m.data, m.dlc, m.is_remote_frame) == ("remote", b"", 8, True)
    # An error frame keeps can.Message's defaults for what it does not set.
    m = _one("can_error_channel_group", CanFrame(1.0, is_error_frame=True, error_type=7, channel=4))
    assert (m.kind, m.channel, m.dlc, m.data, m.is_rx, m.is_extended_id) == ("error", "CAN 4", 0, b"", True, True)
    # Direction 0.5: transmitted on LIN (compared with zero), received on CAN (truncated).
    half = {"conversion": Linear(0.0, 0.5), "get": lambda f: 0.5}
    m = _one("lin_channel_group", LinFrame(0.0, 3, b"\x05", is_rx=False), overrides={"LIN_Frame.Dir": half})
    assert (m.kind, m.is_rx, m.channel, m.is_extended_id) == ("lin", False, "LIN 1", False)
    m = _one("can_channel_group", CanFrame(0.0, 3, b"\x05", is_rx=False), overrides={"CAN_DataFrame.Dir": half})
    assert m.is_rx is True
    # A channel the decoder does not know makes the record yield no frame.
    crc = Channel("CAN_DataFrame.CRC", bits=15)
    assert _one("can_channel_group", CanFrame(0.0, 1), extra_channels=[crc]).kind is None
    # Without a DataLength channel the frame has no data bytes.
    m = _one("can_channel_group", CanFrame(0.0, 1, b"\x01\x02"), omit=["CAN_DataFrame.DataLength"])
    assert (m.kind, m.data, m.dlc) == ("data", b"", 0)
    # A source that is not a bus leaves the group unclassified.
    assert _one("can_channel_group", CanFrame(0.0, 1), source=SourceInfo(mw.SOURCE_ECU)).kind is None
    # Signal data longer than 64 bytes yields no frame.
    w = RecordingWriter()
    g = w.data_group(record_id_size=1)
    g.can_channel_group(payload="vlsd").add_frame(CanFrame(0.0, 1, bytes(70), is_fd=True))
    assert w.expected_per_group()[0][0].kind is None  # type: ignore[index]


def _unfinalised(payload: str, last_data_length: int) -> mw.Recording:
    w = RecordingWriter(unfinalised=True, last_data_length=last_data_length)
    for gi in range(2):
        g = w.data_group(record_id_size=1)
        g.can_channel_group(fd=False)
        g.can_channel_group(fd=True, payload=payload)
        g.add_frames(_can_data_only(_frames(gi, 30)))
    return w.build()


@pytest.mark.parametrize("last_data_length", [24, 0])
def test_cut_unfinalised_recordings_agree_with_asammdf(last_data_length: int) -> None:
    """asammdf repairs an unfinalised recording as the reader must: the last
    data block runs to the end of the file and a record cut short is
    dropped. So each channel group has as many values in asammdf as the
    writer expects frames from it, and they are the first ones written.
    (asammdf keeps a frame whose VLSD value was cut off, so the signal data
    here lies in an SD block.)"""
    rec = _unfinalised("sd", last_data_length)
    data = rec.to_bytes()
    last = rec.groups[-1]
    start = last.data_block.offset + 24  # type: ignore[union-attr,operator]
    cuts = sorted({0, 1, 5, last.records[-1].end - last.records[-1].start, len(data) - start - 3}
                  | {s.end for s in last.records[::7]})
    compared = [_check_with_asammdf(rec, data[:start + cut]) for cut in cuts]
    # Each cut keeps at least as many values as a shorter one, and the cuts
    # reach from the first record of the last data group to its end.
    assert compared == sorted(compared) and compared[0] < compared[-1]


def test_cut_recordings_drop_the_frames_whose_bytes_are_missing() -> None:
    rec = _unfinalised("vlsd", 24)
    data = rec.to_bytes()
    last = rec.groups[-1]
    start = last.data_block.offset + 24  # type: ignore[union-attr,operator]
    whole = rec.expected_per_group(data)
    assert whole is not None and len(whole[1]) == len(last.records) > 10
    for span in last.records[3:6]:
        for cut, keep in ((span.end, 1), (span.end - 1, 0), (span.start + 1, 0)):
            groups = rec.expected_per_group(data[:start + cut])
            assert groups is not None and groups[0] == whole[0]
            assert len(groups[1]) == last.records.index(span) + keep
    # Cut into the data block's header: the file does not open.
    assert rec.expected_per_group(data[:start - 1]) is None
    # Finalised, with a length never written: no records.
    w = RecordingWriter(last_data_length=24)
    w.data_group().can_channel_group().add_frame(CanFrame(0.0, 1))
    assert w.expected_per_group() == [[]]


def test_expected_json_round_trips() -> None:
    rec = _build({"id_size": 1, "payload": "vlsd"})
    doc = json.loads(json.dumps(rec.expected_json()))
    groups = rec.expected_per_group()
    assert doc["opens"] and groups is not None
    assert doc["groups"][0][0] == groups[0][0].to_json()
    assert bytes.fromhex(doc["groups"][0][1]["data"]) == groups[0][1].data


# ---------------------------------------------------------------------------
# The named recordings, the large recording and the shipped sample.

import make_recordings as mr  # noqa: E402


# record_ids_8 uses ids of 2**63 and above, whose records asammdf loses; the
# 8-byte record ids are checked with asammdf through the id8 shapes above.
@pytest.mark.parametrize("name", [n for n in mr.RECORDINGS if not n.startswith("broken_") and n != "record_ids_8"])
def test_named_recordings_read_in_asammdf(name: str) -> None:
    rec, data = mr.build(name)
    assert _check_with_asammdf(rec, data) > 0
    doc = mr.expected_document(name, rec, data)
    assert doc["opens"] and len(doc["groups"]) == len(rec.groups)


def test_broken_recordings_differ_from_the_sound_one() -> None:
    sound = mr._base().to_bytes()
    seen = set()
    for name in mr.BROKEN:
        rec, data = mr.build(name)
        assert data != sound, name
        assert data not in seen, name
        seen.add(data)
        assert mr.expected_document(name, rec, data)["opens"] is False


def test_write_all_writes_recordings_and_expectations(tmp_path: Any) -> None:
    names = mr.write_all(str(tmp_path))
    for name in names:
        doc = json.loads((tmp_path / f"{name}.frames.json").read_text())
        assert doc["opens"] is not name.startswith("broken_")
        assert (tmp_path / f"{name}.mf4").stat().st_size > 0


@pytest.mark.parametrize("classic,fd,shape", [
    (1, 0, {}), (8, 3, {}), (37, 45, {}), (100, 100, {}),
    (21, 13, {"groups": 2, "classic_ids": True, "fd_lengths": (64,)}),  # write_walk's
])
def test_large_recording_matches_the_ordinary_writer(tmp_path: Any, classic: int, fd: int,
                                                     shape: Dict[str, Any]) -> None:
    """write_large builds its records column by column; it must give the
    very bytes the writer gives for the same frames."""
    path = str(tmp_path / "large.mf4")
    mr.write_large(path, classic, fd, **shape)
    groups = shape.get("groups", 4)
    w = mr.large_writer(groups, classic_ids=shape.get("classic_ids", False))
    lengths = shape.get("fd_lengths", mr.LARGE_FD_LENGTHS)
    for g, count in enumerate(mr.large_per_group(classic, fd, groups)):
        w.data_groups[g].add_frames(mr.large_frame(g, k, groups, lengths) for k in range(count))
    with open(path, "rb") as f:
        assert f.read() == w.to_bytes()


def test_shipped_sample_is_current(tmp_path: Any) -> None:
    shipped = os.path.join(os.path.dirname(__file__), "data", "sample.mf4")
    rec = mw.make_sample(str(tmp_path / "sample.mf4"))
    with open(shipped, "rb") as f:
        data = f.read()
    assert data == (tmp_path / "sample.mf4").read_bytes(), "regenerate: python tests/make_recordings.py --sample"
    assert len(data) < 16 * 1024
    merged = rec.expected_merged()
    assert merged is not None
    assert {m.kind for m in merged} == {"data", "remote", "error", "lin"}
    assert any(m.is_fd for m in merged) and len(rec.groups) == 3
    assert _check_with_asammdf(rec, data) > 0
    mdf = asammdf.MDF(io.BytesIO(data))
    try:
        assert "<common_properties>" in mdf.header.comment or "common_properties" in str(mdf.header.comment)
    finally:
        mdf.close()


@pytest.mark.parametrize("kind", mr.CHAIN_KINDS)
def test_long_chains_are_sound_recordings(kind: str) -> None:
    """The long-chain recordings at a small size: asammdf finds every
    channel group and channel of the chain, and the frame behind a deep
    nesting reads back."""
    n = 25
    rec, data = mr.long_chain(kind, n)
    mdf = asammdf.MDF(io.BytesIO(data))
    try:
        counts = [len(g.channels) for g in mdf.groups]
        if kind in ("history", "data_groups"):
            assert counts == []  # asammdf lists no data group without channel groups
        elif kind == "channel_groups":
            assert counts == [1] * n
        elif kind == "channels":
            assert counts == [n]
        else:
            assert _check_with_asammdf(rec, data) == len(rec.groups[0].channel_groups[0].channels)
            if kind == "components":
                # the leaves, the structure channel and its n wrappers
                assert counts == [len(rec.groups[0].channel_groups[0].channels) + 1 + n]
            assert mdf.get("Timestamp", group=0, index=0).samples.tolist() == [0.5]
    finally:
        mdf.close()
    if kind == "history":
        assert data.count(b"##FH") == n and data.count(b"<tool_id>ZR</tool_id>") == 1
