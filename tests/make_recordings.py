"""Writes a named set of MDF 4 recordings, for native tests, fuzz seeds and
benchmarks that want real files.

    python tests/make_recordings.py OUTDIR            # the named set
    python tests/make_recordings.py OUTDIR --large N  # also large.mf4 with N + N frames
    python tests/make_recordings.py OUTDIR --walk N   # only walk.mf4, for the record walk benchmark
    python tests/make_recordings.py --sample          # regenerate tests/data/sample.mf4

Beside every NAME.mf4 lies NAME.frames.json: {"opens": bool, "start_time":
seconds, "groups": [[message, ...] per data group in file order]}, each
message with the fields python-can gets (data in hex) and "kind" ("data",
"remote", "error", "lin", or null for a record that yields no frame).
A broken recording has "opens": false.

From Python: build(name) gives (Recording, bytes) of a named recording,
write_named(folder, name) writes it;
write_large(path, n) writes a large recording fast (frame k of data group g
is large_frame(g, k)); long_chain(kind, n) gives recordings with chains or
nestings n blocks long.
"""

from __future__ import annotations

import argparse
import array
import json
import os
import random
import struct
import sys
from typing import Any, Callable, Dict, List, Optional, Tuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import mdf_writer as mw  # noqa: E402
from mdf_writer import (  # noqa: E402
    Block, CanFrame, Channel, LinError, LinFrame, Linear, Md, Recording, RecordingWriter, Tx, ValueTable,
)

START_NS = 1_600_000_000 * mw.NANOSECONDS + 123_456_789


def _frames(seed: int, count: int, kinds: str = "cfrel", t0: float = 0.0) -> List[Any]:
    """count frames cycling through the kinds: c classic, f FD, r remote,
    e error, l LIN."""
    rnd = random.Random(seed)
    out: List[Any] = []
    t = t0
    for i in range(count):
        t = round(t + rnd.choice((0.0005, 0.001, 0.004)), 6)
        k = kinds[i % len(kinds)]
        if k == "c":
            ext = rnd.random() < 0.3
            out.append(CanFrame(t, rnd.randrange(1 << 29) if ext else rnd.randrange(0x800),
                                bytes(rnd.randrange(256) for _ in range(rnd.randrange(9))),
                                is_extended_id=ext, is_rx=rnd.random() < 0.8, channel=1 + i % 2))
        elif k == "f":
            n = rnd.choice((0, 3, 8, 12, 16, 20, 24, 32, 48, 64))
            out.append(CanFrame(t, rnd.randrange(0x800), bytes(rnd.randrange(256) for _ in range(n)), is_fd=True,
                                bitrate_switch=rnd.random() < 0.5, error_state_indicator=rnd.random() < 0.2,
                                channel=2))
        elif k == "r":
            out.append(CanFrame(t, rnd.randrange(0x800), is_remote_frame=True, data_length=rnd.randrange(9)))
        elif k == "e":
            out.append(CanFrame(t, is_error_frame=True, error_type=rnd.randrange(6), channel=1 + i % 2))
        else:
            out.append(LinFrame(t, rnd.randrange(64), bytes(rnd.randrange(256) for _ in range(rnd.randrange(9))),
                                is_rx=rnd.random() < 0.5, channel=1))
    return out


def _all_events(g: mw.DataGroupWriter, payload: str = "record", **options: Any) -> None:
    g.can_channel_group(fd=False, **options)
    g.can_channel_group(fd=True, payload=payload, **options)
    g.can_remote_channel_group(**options)
    g.can_error_channel_group(**options)
    g.lin_channel_group(**options)


def plain() -> Recording:
    w = RecordingWriter(START_NS)
    g = w.data_group()
    g.can_channel_group(fd=False)
    g.add_frames(_frames(1, 50, "c"))
    return w.build()


def record_ids(size: int) -> Callable[[], Recording]:
    def make() -> Recording:
        w = RecordingWriter(START_NS)
        g = w.data_group(record_id_size=size)
        # Ids that fill the width, high bytes included.
        base = {1: 0x80, 2: 0x8000, 4: 0x80000000, 8: 0x8000000000000000}[size]
        for k, (kind, extra) in enumerate([("can_channel_group", {"fd": False}),
                                           ("can_channel_group", {"fd": True}),
                                           ("can_remote_channel_group", {}),
                                           ("can_error_channel_group", {}), ("lin_channel_group", {})]):
            getattr(g, kind)(record_id=base + 5 * k + 1, **extra)
        g.add_frames(_frames(size, 100))
        return w.build()
    return make


def single_group_with_ids() -> Recording:
    w = RecordingWriter(START_NS)
    g = w.data_group(record_id_size=2)
    g.can_channel_group(record_id=7)
    g.add_frames(_frames(2, 30, "cf"))
    return w.build()


def vlsd() -> Recording:
    w = RecordingWriter(START_NS)
    g = w.data_group(record_id_size=1)
    _all_events(g, payload="vlsd")
    g.add_frames(_frames(3, 100, "ffcfl"))
    return w.build()


def sd() -> Recording:
    w = RecordingWriter(START_NS)
    g = w.data_group(record_id_size=1)
    _all_events(g, payload="sd")
    g.add_frames(_frames(4, 100, "ffcfe"))
    return w.build()


def several_groups() -> Recording:
    w = RecordingWriter(START_NS, placement="shuffle", seed=11)
    g = w.data_group(record_id_size=0, comment="classic")
    g.can_channel_group(fd=False)
    g.add_frames(_frames(5, 60, "c"))
    g = w.data_group(record_id_size=1, comment="fd")
    g.can_channel_group(fd=True, payload="vlsd", time=mw.linear_time(1e-6))
    g.add_frames(_frames(6, 60, "f", t0=0.0002))
    g = w.data_group(record_id_size=2, comment="lin and events")
    _all_events(g)
    g.add_frames(_frames(7, 60, "lre", t0=0.0001))
    w.data_group(record_id_size=1, data_block=False).can_channel_group()  # no data block at all
    w.data_group(record_id_size=1)  # no channel group
    return w.build()


def composed() -> Recording:
    w = RecordingWriter(START_NS)
    g = w.data_group(record_id_size=1)
    _all_events(g, payload="vlsd", composed=True, nesting=2, packed=True)
    g.add_frames(_frames(8, 80))
    return w.build()


def conversions() -> Recording:
    w = RecordingWriter(START_NS)
    g = w.data_group(record_id_size=1)
    table = ValueTable([(10, 1), (11, 2), (12, 3), (11, 9)])
    g.can_channel_group(time=mw.linear_time(1e-5, offset=-2.0, bits=48), overrides={
        "CAN_DataFrame.BusChannel": {"conversion": table},
        "CAN_DataFrame.DLC": {"conversion": mw.OtherConversion()},
        "CAN_DataFrame.ID": {"kind": "uint_be", "bits": 32},
        "CAN_DataFrame.DataLength": {"conversion": Linear(-1.0, 1.0), "bits": 8},
        "CAN_DataFrame.ESI": {"conversion": mw.Conversion()},  # a 1:1 conversion block
    })
    g.lin_channel_group(overrides={"LIN_Frame.BusChannel": {"conversion": table}})
    g.add_frames(_frames(9, 80, "cfl"))
    return w.build()


def unfinalised() -> Tuple[Recording, bytes]:
    """The last data block's length never written (24) and the file cut in
    the middle of a record; an earlier data group is complete."""
    w = RecordingWriter(START_NS, unfinalised=True, last_data_length=24)
    g = w.data_group(record_id_size=1)
    g.can_channel_group(fd=False)
    g.add_frames(_frames(10, 20, "c"))
    g = w.data_group(record_id_size=1)
    _all_events(g, payload="vlsd")
    g.add_frames(_frames(11, 40, t0=0.0001))
    rec = w.build()
    data = rec.to_bytes()
    last = rec.groups[-1].records[-3]
    cut = rec.groups[-1].data_block.offset + 24 + last.start + 3  # type: ignore[union-attr]
    return rec, data[:cut]


def unfinalised_zero_length() -> Recording:
    w = RecordingWriter(START_NS, unfinalised=True, unfinalised_flags=0x0005, last_data_length=0)
    g = w.data_group(record_id_size=1)
    _all_events(g)
    g.add_frames(_frames(12, 40))
    return w.build()


def metadata() -> Recording:
    props: mw.PropertyTree = {
        "Device": {"serial": mw.Property("A-17", ro="true", description="Serial"),
                   "rate": mw.Property("500", type="integer", unit="kbit/s")},
        "note": "  leading spaces are dropped",
    }
    history = [mw.History(time_ns=START_NS), mw.History(Md("<FHcomment><tool_id>ZR</tool_id></FHcomment>"))]
    w = RecordingWriter(START_NS, comment=Md(mw.hd_comment_xml(props)), history=history, tz_offset_min=60,
                        dst_offset_min=60)
    g = w.data_group(record_id_size=1)
    g.can_channel_group()
    g.add_frames(_frames(13, 10, "cf"))
    return w.build()


def no_history() -> Recording:
    w = RecordingWriter(START_NS, comment=Tx("plain text comment"), history=[])
    g = w.data_group()
    g.lin_channel_group()
    g.add_frames(_frames(14, 20, "l"))
    return w.build()


def lin_errors() -> Recording:
    """LIN frames and the four LIN error events; the error records yield no
    frame (the reader raises "Unknown bus type" on them)."""
    w = RecordingWriter(START_NS)
    g = w.data_group(record_id_size=1)
    g.lin_channel_group()
    for event in mw.LIN_ERROR_EVENTS:
        g.lin_error_channel_group(event)
    frames: List[Any] = _frames(15, 12, "l")
    frames += [LinError(0.1 + i * 0.01, mw.LIN_ERROR_EVENTS[i % 4], i) for i in range(8)]
    g.add_frames(frames)
    return w.build()


# ---------------------------------------------------------------------------
# Broken recordings: each takes a sound recording and damages one thing.


def _base() -> Recording:
    w = RecordingWriter(START_NS)
    for k in range(2):
        g = w.data_group(record_id_size=1)
        g.can_channel_group(fd=False, time=mw.linear_time(1e-6))
        g.can_channel_group(fd=True, payload="sd")
        g.add_frames(_frames(20 + k, 10, "cf"))
    return w.build()


def _first_cg(rec: Recording) -> Block:
    return rec.groups[0].channel_groups[0].block


def _cn(rec: Recording, name: str = "CAN_DataFrame.ID") -> Block:
    return rec.groups[0].channel_groups[0].channel_blocks[name]


def _time_conversion(rec: Recording) -> Block:
    return _cn(rec, "Timestamp").links[4]


def _break(fn: Callable[[Recording], Optional[bytes]]) -> Callable[[], Tuple[Recording, bytes]]:
    def make() -> Tuple[Recording, bytes]:
        rec = _base()
        data = fn(rec)
        return rec, data if data is not None else rec.to_bytes()
    return make


def _set(block: Block, index: int, target: Any) -> None:
    block.links[index] = target


def _cut_metadata(rec: Recording) -> bytes:
    data = rec.to_bytes()
    return data[:rec.groups[0].channel_groups[0].block.offset + 50]


def _bad_file_id(rec: Recording) -> None:
    rec.id.file_id = b"MDF\0\0\0\0\0"


def _dg_cycle(rec: Recording) -> None:
    rec.groups[-1].block.links[0] = rec.groups[0].block


def _cn_cycle(rec: Recording) -> None:
    cg = rec.groups[0].channel_groups[0]
    cg.channel_blocks["CAN_DataFrame.DataBytes"].links[0] = cg.channel_blocks["Timestamp"]


def _fh_cycle(rec: Recording) -> None:
    fh = rec.hd.links[1]
    fh.links[0] = fh


def _component_cycle(rec: Recording) -> None:
    cn = _cn(rec)
    cn.links[1] = cn


def _inverse_self(rec: Recording) -> None:
    cc = _time_conversion(rec)
    cc.links[3] = cc


def _extra_link(block: Callable[[Recording], Block]) -> Callable[[Recording], None]:
    def f(rec: Recording) -> None:
        block(rec).links.append(None)
    return f


def _unknown_block(rec: Recording) -> None:
    # An attachment block, a kind the reader does not know.
    _first_cg(rec).links[5] = Block(b"##AT", [None, None, None, None], bytes(24), "attachment")


def _data_list(rec: Recording) -> None:
    dt = rec.groups[0].data_block
    rec.groups[0].block.links[2] = Block(b"##DL", [None, dt], struct.pack("<B3xIQ", 0, 1, 0), "data list")


def _link_into_block(rec: Recording) -> None:
    rec.to_bytes()
    _cn(rec).links[2] = _cn(rec).offset + 8


def _text_too_short(rec: Recording) -> None:
    _cn(rec).links[2].length = 20


def _history_without_tool(rec: Recording) -> None:
    rec.hd.links[1].links[0] = Block(b"##FH", [None, mw.text_block(b"##MD", mw.fh_comment_xml(tool_id=None))],
                                     bytes(16), "history")


def _history_text_comment(rec: Recording) -> None:
    rec.hd.links[1].links[1] = mw.text_block(b"##TX", "<tool_id>ZR</tool_id>")


def _tool_after_zero(rec: Recording) -> None:
    rec.hd.links[1].links[1] = mw.text_block(b"##MD", "<FHcomment>\0<tool_id>ZR</tool_id></FHcomment>")


def _header_link(index: int) -> Callable[[Recording], None]:
    def f(rec: Recording) -> None:
        rec.hd.links[index] = mw.text_block(b"##TX", "not nil")
    return f


def _sample_reduction(rec: Recording) -> None:
    _first_cg(rec).links[4] = mw.text_block(b"##TX", "sample reduction")


def _dangling_link(rec: Recording) -> None:
    rec.hd.links[0] = 1 << 40


BROKEN: Dict[str, Callable[[], Tuple[Recording, bytes]]] = {
    "broken_bad_file_id": _break(_bad_file_id),
    "broken_dangling_link": _break(_dangling_link),
    "broken_link_into_block": _break(_link_into_block),
    "broken_unknown_block": _break(_unknown_block),
    "broken_data_list": _break(_data_list),
    "broken_truncated_metadata": _break(_cut_metadata),
    "broken_dg_cycle": _break(_dg_cycle),
    "broken_cn_cycle": _break(_cn_cycle),
    "broken_fh_cycle": _break(_fh_cycle),
    "broken_component_cycle": _break(_component_cycle),
    "broken_inverse_self": _break(_inverse_self),
    "broken_cc_five_links": _break(_extra_link(_time_conversion)),
    "broken_hd_seven_links": _break(_extra_link(lambda r: r.hd)),
    "broken_cn_nine_links": _break(_extra_link(_cn)),
    "broken_si_four_links": _break(_extra_link(lambda r: _first_cg(r).links[3])),
    "broken_text_too_short": _break(_text_too_short),
    "broken_history_without_tool": _break(_history_without_tool),
    "broken_history_text_comment": _break(_history_text_comment),
    "broken_tool_after_zero": _break(_tool_after_zero),
    "broken_channel_hierarchy": _break(_header_link(2)),
    "broken_attachment_link": _break(_header_link(3)),
    "broken_event_link": _break(_header_link(4)),
    "broken_sample_reduction": _break(_sample_reduction),
}


RECORDINGS: Dict[str, Callable[[], Any]] = {
    "sample": mw.sample_recording,  # the recording tests/data/sample.mf4 holds
    "plain": plain,
    "record_ids_1": record_ids(1),
    "record_ids_2": record_ids(2),
    "record_ids_4": record_ids(4),
    "record_ids_8": record_ids(8),
    "single_group_with_ids": single_group_with_ids,
    "vlsd": vlsd,
    "sd": sd,
    "several_groups": several_groups,
    "composed": composed,
    "conversions": conversions,
    "unfinalised": unfinalised,
    "unfinalised_zero_length": unfinalised_zero_length,
    "metadata": metadata,
    "no_history": no_history,
    "lin_errors": lin_errors,
    **BROKEN,
}


def build(name: str) -> Tuple[Recording, bytes]:
    made = RECORDINGS[name]()
    if isinstance(made, tuple):
        return made
    return made, made.to_bytes()


def write_named(folder: Any, name: str) -> Any:
    """Writes the named recording as folder/NAME.mf4 (folder a pathlib.Path);
    gives its path."""
    _, data = build(name)
    path = folder / f"{name}.mf4"
    path.write_bytes(data)
    return path


def expected_document(name: str, rec: Recording, data: bytes) -> Dict[str, Any]:
    if name.startswith("broken_"):
        return {"opens": False, "start_time": rec.start_time, "groups": None}
    return rec.expected_json(data)


def write_all(outdir: str) -> List[str]:
    os.makedirs(outdir, exist_ok=True)
    for name in RECORDINGS:
        rec, data = build(name)
        with open(os.path.join(outdir, name + ".mf4"), "wb") as f:
            f.write(data)
        with open(os.path.join(outdir, name + ".frames.json"), "w") as f:
            json.dump(expected_document(name, rec, data), f, indent=1)
            f.write("\n")
    return list(RECORDINGS)


# ---------------------------------------------------------------------------
# Large recordings, built column by column.

LARGE_TIME_STEP = 1e-5
LARGE_FD_LENGTHS = (8, 12, 16, 20, 24, 32, 48, 64)


def large_frame(group: int, k: int, groups: int = 4, fd_lengths: Tuple[int, ...] = LARGE_FD_LENGTHS) -> CanFrame:
    """Frame k of data group `group` of write_large: the first half of the
    data groups hold classic frames, the other half CAN FD frames with VLSD
    payloads of the lengths in turn. Timestamps interleave over the data
    groups."""
    t = (k * groups + group) * LARGE_TIME_STEP
    if group < groups // 2:
        data = bytes([k & 0xFF, (k >> 8) & 0xFF, 2, 3, 4, 5, 6, group])
        return CanFrame(t, k & 0x7FF, data, channel=1 + group)
    n = fd_lengths[k % len(fd_lengths)]
    data = bytes([k & 0xFF]) + bytes((i * 7 + group) & 0xFF for i in range(1, n))
    return CanFrame(t, 0x100 + (k & 0xFF), data, is_extended_id=True, is_fd=True, bitrate_switch=True,
                    channel=1 + group)


def _set_column(buf: bytearray, first: int, stride: int, count: int, column: bytes, width: int) -> None:
    """Writes `count` values of `width` bytes (packed in `column`) at
    first, first + stride, ... of buf."""
    for b in range(width):
        buf[first + b:first + b + stride * (count - 1) + 1:stride] = column[b::width]


def large_writer(groups: int = 4, start_time_ns: int = START_NS, classic_ids: bool = False) -> RecordingWriter:
    """The recording of write_large without frames."""
    w = RecordingWriter(start_time_ns, comment=Md(mw.hd_comment_xml({"purpose": "benchmark"})))
    for g in range(groups):
        dg = w.data_group(record_id_size=0 if g < groups // 2 and not classic_ids else 1)
        if g < groups // 2:
            dg.can_channel_group(fd=False)
        else:
            dg.can_channel_group(fd=True, payload="vlsd")
    return w


def large_per_group(n_frames: int, fd_frames: int, groups: int) -> List[int]:
    half = groups // 2
    return ([n_frames // half + (1 if g < n_frames % half else 0) for g in range(half)]
            + [fd_frames // half + (1 if g < fd_frames % half else 0) for g in range(half)])


def write_large(path: str, n_frames: int, fd_frames: Optional[int] = None, groups: int = 4,
                start_time_ns: int = START_NS, classic_ids: bool = False,
                fd_lengths: Tuple[int, ...] = LARGE_FD_LENGTHS, shuffle_vlsd: bool = False) -> Dict[str, Any]:
    """Writes n_frames classic CAN frames and fd_frames (default n_frames)
    CAN FD frames with VLSD payloads, over `groups` data groups: the first
    half classic (no record ids, or 1-byte ones with classic_ids), the other
    half FD (1-byte record ids, the frame's record followed by its VLSD
    record). Frame k of group g is large_frame(g, k, groups, fd_lengths).
    With shuffle_vlsd the VLSD records of each FD group stand in an order of
    their own, each at a place of its own among the fixed records (which
    hold their offsets). Returns counts and sizes."""
    if groups < 2 or groups % 2:
        raise ValueError("groups must be even")
    if fd_frames is None:
        fd_frames = n_frames
    half = groups // 2
    per_group = large_per_group(n_frames, fd_frames, groups)

    rec = large_writer(groups, start_time_ns, classic_ids).build()
    for g, built in enumerate(rec.groups):
        count = per_group[g]
        cg = built.channel_groups[0]
        pos = {c.name: c.position // 8 for c in cg.channels}
        times = array.array("d", [(k * groups + g) * LARGE_TIME_STEP for k in range(count)])
        ks = range(count)
        if g < half:
            head = built.record_id_size  # the record id before each record
            r = head + cg.record_length
            pos = {name: head + p for name, p in pos.items()}
            buf = bytearray(r * count)
            template = bytearray(cg.record_id.to_bytes(head, "little")) + bytearray(cg.record_length)
            tmpl = large_frame(g, 0, groups)
            struct.pack_into("<B", template, pos["CAN_DataFrame.BusChannel"], tmpl.channel)
            struct.pack_into("<B", template, pos["CAN_DataFrame.DLC"], 8)
            struct.pack_into("<B", template, pos["CAN_DataFrame.DataLength"], 8)
            db = pos["CAN_DataFrame.DataBytes"]
            template[db:db + 8] = tmpl.data
            buf[:] = bytes(template) * count
            _set_column(buf, pos["Timestamp"], r, count, times.tobytes(), 8)
            _set_column(buf, pos["CAN_DataFrame.ID"], r, count, array.array("I", [k & 0x7FF for k in ks]).tobytes(), 4)
            _set_column(buf, db, r, count, bytes(k & 0xFF for k in ks), 1)
            _set_column(buf, db + 1, r, count, bytes((k >> 8) & 0xFF for k in ks), 1)
        else:
            vg = built.channel_groups[1]
            r = cg.record_length
            n_len = len(fd_lengths)
            # One unit holds one frame of each payload length, back to back.
            unit = bytearray()
            slots = []  # (offset of the record in the unit, offset of its payload, vlsd offset in the unit)
            vlsd_pos = 0
            for j, n in enumerate(fd_lengths):
                f = large_frame(g, j, groups, fd_lengths)
                rec_bytes = bytearray(r)
                struct.pack_into("<B", rec_bytes, pos["CAN_DataFrame.BusChannel"], f.channel)
                struct.pack_into("<B", rec_bytes, pos["CAN_DataFrame.IDE"], 1)
                struct.pack_into("<B", rec_bytes, pos["CAN_DataFrame.EDL"], 1)
                struct.pack_into("<B", rec_bytes, pos["CAN_DataFrame.BRS"], 1)
                struct.pack_into("<B", rec_bytes, pos["CAN_DataFrame.DLC"], mw.dlc_of_length(n))
                struct.pack_into("<B", rec_bytes, pos["CAN_DataFrame.DataLength"], n)
                slots.append((len(unit), len(unit) + 1 + r + 1 + 4, vlsd_pos))
                unit += bytes([cg.record_id]) + rec_bytes + bytes([vg.record_id]) + struct.pack("<I", n) + f.data
                vlsd_pos += 4 + n
            units = (count + n_len - 1) // n_len
            buf = bytearray(bytes(unit) * units)
            stride = len(unit)
            for j, (roff, poff, voff) in enumerate(slots):
                m = len(range(j, count, n_len))
                if m == 0:
                    continue
                kj = range(j, count, n_len)
                _set_column(buf, roff + 1 + pos["Timestamp"], stride, m, times[j::n_len].tobytes(), 8)
                _set_column(buf, roff + 1 + pos["CAN_DataFrame.ID"], stride, m,
                            array.array("I", [0x100 + (k & 0xFF) for k in kj]).tobytes(), 4)
                _set_column(buf, roff + 1 + pos["CAN_DataFrame.DataBytes"], stride, m,
                            array.array("Q", range(voff, voff + m * vlsd_pos, vlsd_pos)).tobytes(), 8)
                _set_column(buf, poff, stride, m, bytes(k & 0xFF for k in kj), 1)
            # The last unit may be partial: keep the whole frames only.
            full = count // n_len
            rest = count % n_len
            size = full * stride + (slots[rest][0] if rest else 0)
            del buf[size:]
            total = full * vlsd_pos + sum(4 + fd_lengths[j] for j in range(rest))
            if shuffle_vlsd:
                buf = _shuffled_vlsd(buf, r, pos["CAN_DataFrame.DataBytes"], seed=g)
            vg.block.data = mw.cg_data(vg.record_id, count, mw.CG_VLSD, total & 0xFFFFFFFF, total >> 32)
        cg.block.data = mw.cg_data(cg.record_id, count, cg.writer.flags, cg.writer.data_bytes,  # type: ignore[union-attr]
                                   cg.writer.inval_bytes)  # type: ignore[union-attr]
        built.data_block.data = bytes(buf)  # type: ignore[union-attr]
    data = rec.write(path)
    return {"bytes": len(data), "classic_frames": n_frames, "fd_frames": fd_frames, "groups": groups,
            "frames_per_group": per_group}


def _shuffled_vlsd(buf: bytearray, record_length: int, offset_at: int, seed: int) -> bytearray:
    """The records of an FD group (1-byte ids: each fixed record followed by
    its VLSD record) with the VLSD records shuffled among themselves and
    among the fixed records; every fixed record's offset field rewritten."""
    fixed: List[bytearray] = []
    values: List[bytes] = []
    at = 0
    step = 1 + record_length
    while at < len(buf):
        fixed.append(bytearray(buf[at:at + step]))
        at += step
        length = struct.unpack_from("<I", buf, at + 1)[0]
        values.append(bytes(buf[at:at + 5 + length]))
        at += 5 + length
    rnd = random.Random(seed)
    order = list(range(len(values)))
    rnd.shuffle(order)
    offset = 0
    for k in order:
        struct.pack_into("<Q", fixed[k], 1 + offset_at, offset)
        offset += len(values[k]) - 1
    slots = set(rnd.sample(range(len(fixed) + len(values)), len(values)))
    out = bytearray()
    f = v = 0
    for n in range(len(fixed) + len(values)):
        if n in slots and v < len(order):
            out += values[order[v]]
            v += 1
        else:
            out += fixed[f]
            f += 1
    return out


def write_walk(path: str, n_frames: int) -> Dict[str, Any]:
    """The recording of the record walk benchmark: data group 0 holds
    n_frames classic frames of 8 bytes behind 1-byte record ids, data group
    1 n_frames CAN FD frames whose 64-byte payloads are VLSD records."""
    return write_large(path, n_frames, groups=2, classic_ids=True, fd_lengths=(64,))


# ---------------------------------------------------------------------------
# Long chains and deep nesting.

CHAIN_KINDS = ("history", "data_groups", "channel_groups", "channels", "components", "inverse")


def long_chain(kind: str, n: int, start_time_ns: int = START_NS) -> Tuple[Recording, bytes]:
    with mw._no_gc():
        return _long_chain(kind, n, start_time_ns)


def _long_chain(kind: str, n: int, start_time_ns: int) -> Tuple[Recording, bytes]:
    """A sound recording with n blocks in one chain or one nesting:
    "history" (n file-history entries sharing one comment), "data_groups"
    (n empty data groups), "channel_groups" (n channel groups in one data
    group, each with a Timestamp channel; no records), "channels" (n channels
    in one channel group, sharing one name; no records), "components" (a CAN
    data-frame group whose structure channel is wrapped n deep, with one
    record) or "inverse" (the Timestamp conversion's inverse links n deep,
    with one record)."""
    w = RecordingWriter(start_time_ns)
    if kind == "components":
        g = w.data_group(record_id_size=1)
        g.can_channel_group(composed=True, nesting=n)
        g.add_frame(CanFrame(0.5, 0x123, b"\x01\x02"))
        rec = w.build()
        return rec, rec.to_bytes()
    if kind == "inverse":
        g = w.data_group(record_id_size=1)
        g.can_channel_group(time=mw.linear_time(1e-6))
        g.add_frame(CanFrame(0.5, 0x123, b"\x01\x02"))
        rec = w.build()
        cc = rec.groups[0].channel_groups[0].channel_blocks["Timestamp"].links[4]
        for _ in range(n):
            inverse = mw.cc_block(Linear(0.0, 1e6))
            cc.links[3] = inverse
            cc = inverse
        return rec, rec.to_bytes()
    rec = w.build()
    if kind == "history":
        shared = mw.text_block(b"##MD", mw.fh_comment_xml())
        fhs = [Block(b"##FH", [None, shared], bytes(16), "history") for _ in range(n)]
        for a, b in zip(fhs, fhs[1:]):
            a.links[0] = b
        rec.hd.links[1] = fhs[0] if fhs else None
        rec.order = fhs + [shared]
    elif kind == "data_groups":
        dgs = [Block(b"##DG", [None, None, None, None], bytes(8), "data group") for _ in range(n)]
        for a, b in zip(dgs, dgs[1:]):
            a.links[0] = b
        rec.hd.links[0] = dgs[0] if dgs else None
        rec.order = list(rec.order) + dgs
    elif kind in ("channel_groups", "channels"):
        name = mw.text_block(b"##TX", "Timestamp")
        def channel() -> Block:
            return Block(b"##CN", [None, None, name, None, None, None, None, None],
                         mw.cn_data(mw.CN_MASTER, mw.SYNC_TIME, mw.DT_FLOAT_LE, 0, 0, 64))
        count_cg, count_cn = (n, 1) if kind == "channel_groups" else (1, n)
        cgs = []
        blocks: List[Block] = []
        for i in range(count_cg):
            cns = [channel() for _ in range(count_cn)]
            for a, b in zip(cns, cns[1:]):
                a.links[0] = b
            cgs.append(Block(b"##CG", [None, cns[0], None, None, None, None],
                             mw.cg_data(i + 1, 0, 0, 8, 0), "channel group"))
            blocks += cns
        for a, b in zip(cgs, cgs[1:]):
            a.links[0] = b
        dg = Block(b"##DG", [None, cgs[0], None, None], struct.pack("<B7x", 8), "data group")
        rec.hd.links[0] = dg
        rec.order = list(rec.order) + [dg] + cgs + blocks + [name]
    else:
        raise ValueError(kind)
    return rec, rec.to_bytes()


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("outdir", nargs="?")
    ap.add_argument("--large", type=int, default=0, help="also write large.mf4 with N classic and N FD frames")
    ap.add_argument("--walk", type=int, default=0,
                    help="write only walk.mf4: N classic frames with record ids, N FD frames of 64 bytes")
    ap.add_argument("--sample", action="store_true", help="regenerate tests/data/sample.mf4")
    args = ap.parse_args(argv)
    if args.sample:
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "sample.mf4")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        mw.make_sample(path)
        print(path)
    if args.outdir and args.walk:
        os.makedirs(args.outdir, exist_ok=True)
        info = write_walk(os.path.join(args.outdir, "walk.mf4"), args.walk)
        print(os.path.join(args.outdir, "walk.mf4"), info["bytes"], "bytes")
    elif args.outdir:
        for name in write_all(args.outdir):
            print(os.path.join(args.outdir, name + ".mf4"))
        if args.large:
            info = write_large(os.path.join(args.outdir, "large.mf4"), args.large)
            print(os.path.join(args.outdir, "large.mf4"), info["bytes"], "bytes")
    elif not args.sample:
        ap.error("give OUTDIR or --sample")
    return 0


if __name__ == "__main__":
    sys.exit(main())
