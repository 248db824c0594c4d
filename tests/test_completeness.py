"""Nothing lost, whoever wrote the recording: VLSD values found by the offset
their records hold whatever the order the records were written in, virtual
time masters, unfinalised data lists, and the count a walk gives when it
reads fewer records than the recording states."""

from __future__ import annotations

import logging
import os
import struct

import numpy as np
import pytest

import mdf_writer as mw
import python_can_tolvar_mf4 as mod
from mdf_writer import CanFrame, Channel, Linear, RecordingWriter
from reading import COLUMNS, read, rows
from recordings import mixed_recording

START_NS = 1_600_000_000 * 10**9


def table_rows(table):
    """The rows of to_numpy() in the form rows() gives messages."""
    n = len(table["timestamp"])
    out = []
    for i in range(n):
        length = 0 if table["is_remote_frame"][i] or table["is_error_frame"][i] else int(table["dlc"][i])
        out.append((struct.pack("<d", table["timestamp"][i]), int(table["arbitration_id"][i]),
                    *(bool(table[c][i]) for c in COLUMNS[2:9]), int(table["dlc"][i]), str(table["channel"][i]),
                    bytes(table["data"][i][:length])))
    return out


def in_time_order():
    """Classic and CAN FD frames (payloads in a VLSD group) of one data group
    in time order, as windows need them."""
    w = RecordingWriter(START_NS)
    g = w.data_group(record_id_size=1)
    g.can_channel_group(fd=False)
    g.can_channel_group(fd=True, payload="vlsd")
    for k in range(200):
        g.add_frame(CanFrame(0.001 * k, 0x100 + k % 50, bytes([k % 256] * (k % 9)), channel=1 + k % 2,
                             is_fd=k % 3 == 0, is_extended_id=k % 7 == 0))
    return w


def placed(tmp_path, placement, storage="plain", seed=5, overrides=None, make=None):
    """A recording with CAN FD payloads in a VLSD group (the mixed recording
    unless `make` gives another) with its VLSD records placed as asked,
    stored plainly or as a (compressed) list."""
    w = (make or mixed_recording)()
    g = w.data_groups[0]
    g.vlsd_placement = placement
    g.vlsd_seed = seed
    g.vlsd_offset_override = dict(overrides or {})
    rec = w.build()
    if storage == "list":
        mw.store_as_list(rec, 0, 300)
    elif storage == "compressed list":
        mw.store_as_list(rec, 0, 700, zip_type=mw.DZ_DEFLATE)
    path = tmp_path / f"{placement}-{storage.replace(' ', '-')}.mf4"
    rec.write(str(path))
    return str(path)


PLACEMENTS = ["before", "after", "shuffle"]
STORAGES = ["plain", "list", "compressed list"]


@pytest.mark.parametrize("storage", STORAGES)
@pytest.mark.parametrize("placement", PLACEMENTS)
def test_vlsd_values_are_found_wherever_they_were_written(tmp_path, placement, storage):
    expected = rows(read(placed(tmp_path, "follow", storage), any_writer=True))
    path = placed(tmp_path, placement, storage)
    with mod.MdfFile(path, any_writer=True) as reader:
        assert rows(reader) == expected
        assert table_rows(reader.to_numpy()) == expected
        assert reader.records_read == [len([r for r in expected if r[10] != "LIN 1"]), 40]
        assert sum(reader.records_read) == reader.get_record_count()


@pytest.mark.parametrize("placement", PLACEMENTS)
def test_filters_and_windows_see_every_frame(tmp_path, placement):
    plain = placed(tmp_path, "follow", make=in_time_order)
    path = placed(tmp_path, placement, make=in_time_order)
    fd = [m.timestamp for m in read(plain, any_writer=True) if m.is_fd]
    start, stop = fd[10], fd[-10]
    options = dict(can_filters=[{"can_id": 0x100, "can_mask": 0x7F0}], channels=["CAN 1", "CAN 3"], start=start,
                   stop=stop)
    expected = rows(read(plain, any_writer=True, **options))
    assert expected and any(r[5] for r in expected)  # FD frames, whose payloads are VLSD values
    with mod.MdfFile(path, any_writer=True, **options) as reader:
        assert rows(reader) == expected
        assert table_rows(reader.to_numpy()) == expected


def test_offsets_that_name_no_record_leave_those_payloads_empty_and_say_so(tmp_path, caplog):
    expected = read(placed(tmp_path, "follow"), any_writer=True)
    # The 3rd value's offset beyond every record, the 5th's inside a record.
    path = placed(tmp_path, "shuffle", overrides={2: 10**9, 4: 1})
    with caplog.at_level(logging.WARNING, logger="python_can_tolvar_mf4"):
        got = read(path, any_writer=True)
    assert len(got) == len(expected)
    fd = [i for i, m in enumerate(expected) if m.is_fd]
    empty = {fd[2], fd[4]}
    for i, (m, e) in enumerate(zip(got, expected)):
        if i in empty:
            assert bytes(m.data) == bytes(len(e.data)) and m.dlc == e.dlc, i
        else:
            assert rows([m]) == rows([e]), i
    notes = [r.getMessage() for r in caplog.records if "VLSD values are not where" in r.getMessage()]
    assert notes == ["Data group 1: 2 VLSD values are not where their records say (beyond the records of their "
                     "group, or inside one); those frames have no payload"]


def test_a_virtual_time_master_gives_each_frame_its_index_through_the_conversion(tmp_path):
    w = RecordingWriter(START_NS)
    g = w.data_group(record_id_size=1)
    # The record's bits under the channel hold something else: only the
    # record's index counts.
    time = Channel("Timestamp", kind="uint", bits=32, conversion=Linear(5.0, 1e-3), cn_type=3,
                   sync_type=mw.SYNC_TIME, unit="s", get=lambda frame: 17.345)
    g.can_channel_group(fd=False, time=time, record_id=1)
    g.can_channel_group(fd=True, payload="vlsd", time=time, record_id=2)
    classic = [CanFrame(5.0 + 1e-3 * k, 0x100 + k, bytes([k])) for k in range(30)]
    fd = [CanFrame(5.0 + 1e-3 * k, 0x200 + k, bytes([k] * 12), is_fd=True) for k in range(20)]
    for a, b in zip(classic, fd + [None] * 10):
        g.add_frame(a)
        if b is not None:
            g.add_frame(b)
    path = str(tmp_path / "virtual.mf4")
    w.write(path)
    messages = read(path, any_writer=True)
    assert len(messages) == 50
    start = START_NS / 1e9
    got = sorted((m.arbitration_id, m.timestamp) for m in messages)
    want = sorted([(0x100 + k, start + (5.0 + 1e-3 * k)) for k in range(30)] +
                  [(0x200 + k, start + (5.0 + 1e-3 * k)) for k in range(20)])
    assert got == want
    with mod.MdfFile(path, any_writer=True, start=start + 5.010, stop=start + 5.015) as reader:
        window = sorted(m.arbitration_id for m in reader)
        table = reader.to_numpy()
    assert window == [0x10A, 0x10B, 0x10C, 0x10D, 0x10E, 0x20A, 0x20B, 0x20C, 0x20D, 0x20E]
    assert sorted(table["arbitration_id"].tolist()) == window


@pytest.mark.parametrize("cut", [0, 1, 7, 40])
def test_an_unfinalised_data_list_is_read_to_its_last_whole_record(tmp_path, cut):
    w = RecordingWriter(START_NS, unfinalised=True)
    g = w.data_group()
    g.can_channel_group(fd=False)
    frames = [CanFrame(0.01 * k, 0x100 + k, bytes([k] * 8)) for k in range(60)]
    g.add_frames(frames)
    rec = w.build()
    record = rec.groups[0].channel_groups[0].record_length  # no record ids
    total = len(rec.groups[0].data_block.data)
    mw.store_as_list(rec, 0, 200, per_list=100)
    data = bytearray(rec.to_bytes())
    # The last block of the list stands last in the file; its length was never
    # written (the header's alone), and the recording stops `cut` bytes early.
    last_dt = data.rfind(b"##DT")
    assert data.find(b"##D", last_dt + 4) == -1
    struct.pack_into("<Q", data, last_dt + 8, 24)
    data = data[:len(data) - cut]
    path = tmp_path / "unfinalised.mf4"
    path.write_bytes(bytes(data))
    whole = (total - cut) // record
    got = read(path, any_writer=True)
    assert 0 < whole <= 60
    assert [m.arbitration_id for m in got] == [0x100 + k for k in range(whole)]
    assert [bytes(m.data) for m in got] == [bytes([k] * 8) for k in range(whole)]


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records if "records stated" in r.getMessage()]


def one_group(frames=60, storage="plain"):
    """A finalised recording of one data group of classic frames, its data
    last in the file, with the record length and the data's size."""
    w = RecordingWriter(START_NS)
    g = w.data_group()
    g.can_channel_group(fd=False, acquisition_name="Powertrain")
    g.add_frames([CanFrame(0.01 * k, 0x100 + k, bytes([k] * 8)) for k in range(frames)])
    rec = w.build()
    record = rec.groups[0].channel_groups[0].record_length
    if storage == "list":
        mw.store_as_list(rec, 0, 200, per_list=100)
    elif storage == "compressed list":
        mw.store_as_list(rec, 0, 400, per_list=100, zip_type=mw.DZ_DEFLATE)
    return bytearray(rec.to_bytes()), record


@pytest.mark.parametrize("storage, cut, read_count, why", [
    # In the middle of a record of a plain data block, and between two.
    ("plain", 5, 59, "at a damaged record"),
    ("plain", None, 58, "at the end of the data"),
    # In the last block of a data list.
    ("list", 5, 59, "at a damaged record"),
    # In the compressed bytes of the last block of a list: the block is refused.
    ("compressed list", 5, None, "before a data block that was refused"),
])
def test_a_recording_cut_short_says_how_many_records_it_read(tmp_path, caplog, storage, cut, read_count, why):
    data, record = one_group(storage=storage)
    # The last data block loses its last bytes (the file may end in padding).
    last = max(data.rfind(b"##DT"), data.rfind(b"##DZ"))
    end = last + struct.unpack_from("<Q", data, last + 8)[0]
    data = data[:end - (cut if cut is not None else 2 * record)]
    path = tmp_path / "cut.mf4"
    path.write_bytes(bytes(data))
    options = {"any_writer": storage != "plain"}
    with caplog.at_level(logging.WARNING, logger="python_can_tolvar_mf4"):
        with mod.MdfFile(str(path), **options) as reader:
            got = list(reader)
            assert reader.records_read == [len(got)]
            assert reader.get_record_count() == 60
    if read_count is not None:
        assert len(got) == read_count
    assert [m.arbitration_id for m in got] == [0x100 + k for k in range(len(got))]
    assert warnings_of(caplog) == [f"Data group 1, channel group 1 (Powertrain): 60 records stated, {len(got)} read; "
                                   f"the records end {why}"]
    # The tables say it too.
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="python_can_tolvar_mf4"):
        with mod.MdfFile(str(path), **options) as reader:
            assert len(reader.to_numpy()["timestamp"]) == len(got)
    assert len(warnings_of(caplog)) == 1


def test_a_whole_recording_and_an_unfinalised_one_say_nothing(tmp_path, caplog):
    data, record = one_group()
    whole = tmp_path / "whole.mf4"
    whole.write_bytes(bytes(data))
    with caplog.at_level(logging.WARNING, logger="python_can_tolvar_mf4"):
        assert len(read(whole)) == 60
        assert len(read(mw_unfinalised(tmp_path))) < 60
    assert warnings_of(caplog) == []


def mw_unfinalised(tmp_path):
    w = RecordingWriter(START_NS, unfinalised=True)
    g = w.data_group()
    g.can_channel_group(fd=False)
    g.add_frames([CanFrame(0.01 * k, 0x100 + k, bytes([k] * 8)) for k in range(60)])
    data = bytearray(w.to_bytes())
    path = tmp_path / "unfinalised.mf4"
    path.write_bytes(bytes(data[:-5]))
    return path
