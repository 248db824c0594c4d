"""Recordings of other MDF 4 writers, read with any_writer=True: python-can's
MF4Writer and asammdf's own API write them here, at test time, and every
frame must come back as it was written (and as python-can's MF4Reader reads
it, where it reads the file). Shapes those tools do not make (a VLSD group
before its user, a maximum-length payload, header lists, compressed signal
data) come from the project's own test writer, read against the same
recording in its plain layout. Without the keyword nothing changes."""

import logging
import zlib

import can
import numpy as np
import pytest

import make_recordings as mr
import mdf_writer as mw
import python_can_tolvar_mf4 as mod
from mdf_writer import CanFrame, RecordingWriter
from reading import lines_or_error, read, rows, run_cli
from recordings import (SHAPES, START_NS, asammdf_recording, asammdf_small_blocks, mixed_recording,
                        python_can_messages, write_python_can)

asammdf = pytest.importorskip("asammdf")
from asammdf import MDF, Signal  # noqa: E402

LOGGER = "python_can_tolvar_mf4"


@pytest.fixture
def small_blocks():
    with asammdf_small_blocks():
        yield


# -- python-can's MF4Writer --------------------------------------------------------


def differences(written, got):
    """The fields in which a frame read differs from the message written."""
    out = []

    def check(name, want, have):
        if want != have:
            out.append(f"{name}: wrote {want!r}, read {have!r}")

    if abs(written.timestamp - got.timestamp) > 2e-6:
        out.append(f"timestamp: wrote {written.timestamp!r}, read {got.timestamp!r}")
    check("channel", f"CAN {written.channel}", got.channel)
    check("is_error_frame", written.is_error_frame, got.is_error_frame)
    check("is_remote_frame", written.is_remote_frame, got.is_remote_frame)
    if written.is_error_frame:
        return out
    check("arbitration_id", written.arbitration_id, got.arbitration_id)
    check("is_extended_id", written.is_extended_id, got.is_extended_id)
    check("is_rx", written.is_rx, got.is_rx)
    check("dlc", written.dlc, got.dlc)
    if written.is_remote_frame:
        return out
    check("data", bytes(written.data), bytes(got.data))
    check("is_fd", written.is_fd, got.is_fd)
    check("bitrate_switch", written.bitrate_switch, got.bitrate_switch)
    check("error_state_indicator", written.error_state_indicator, got.error_state_indicator)
    return out


def assert_frames(written, got):
    assert len(got) == len(written)
    for i, (w, g) in enumerate(zip(written, got)):
        assert differences(w, g) == [], f"frame {i}"


@pytest.mark.parametrize("level", [0, 1, 2])
def test_python_can_writer_at_every_compression(tmp_path, small_blocks, level):
    messages = python_can_messages(600)
    path = tmp_path / f"python_can_{level}.mf4"
    write_python_can(path, messages, level)
    raw = path.read_bytes()
    # The data are split into lists of blocks, compressed from level 1 on.
    assert b"##DL" in raw
    assert (b"##DZ" in raw) == (level > 0)

    got = read(path, any_writer=True)
    # The merge orders by time; python-can keeps equal times in group order.
    written = sorted(messages, key=lambda m: m.timestamp)
    assert_frames(written, got)

    # python-can's own reader gives the same frames (it names channels by
    # number and keeps data frames' DLC as the length code).
    theirs = list(can.io.MF4Reader(str(path)))
    assert len(theirs) == len(got)
    for ours, other in zip(got, theirs):
        assert ours.channel == f"CAN {other.channel}"
        assert ours.arbitration_id == other.arbitration_id
        assert ours.is_error_frame == other.is_error_frame
        assert ours.is_remote_frame == other.is_remote_frame
        assert abs(ours.timestamp - other.timestamp) < 2e-6
        if not ours.is_error_frame:
            assert bytes(ours.data) == bytes(other.data)
            assert ours.dlc == other.dlc


def test_python_can_recording_is_refused_by_default(tmp_path, caplog):
    path = tmp_path / "python_can.mf4"
    write_python_can(path, python_can_messages(20), 2)
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        with pytest.raises(RuntimeError, match="^Could not open data source$"):
            mod.MdfFile(str(path))
    assert [r.getMessage() for r in caplog.records] == ["Unsupported MF4 file"]


def test_any_writer_is_a_keyword_of_the_reader_alone(tmp_path):
    path = tmp_path / "python_can.mf4"
    messages = python_can_messages(30)
    write_python_can(path, messages, 0)
    # It stays away from the base initialiser, and a false value changes nothing.
    with pytest.raises(RuntimeError, match="^Could not open data source$"):
        mod.MdfFile(str(path), any_writer=False)
    with open(path, "rb") as f:
        assert_frames(sorted(messages, key=lambda m: m.timestamp), list(mod.MdfFile(f, any_writer=1)))


# -- asammdf's own API -------------------------------------------------------------

@pytest.mark.parametrize("version,compression", [("4.10", 0), ("4.10", 1), ("4.20", 1), ("4.20", 2), ("4.00", 0)])
def test_asammdf_bus_logging_groups(tmp_path, caplog, small_blocks, version, compression):
    path = tmp_path / "asammdf.mf4"
    expected = asammdf_recording(path, version, compression)
    assert path.read_bytes()[8:12] == version.encode()
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        got = read(path, any_writer=True)
    assert len(got) == len(expected)
    for i, ((t, fields), message) in enumerate(zip(expected, got)):
        assert abs(message.timestamp - t) < 2e-6, f"frame {i}"
        for name, value in fields.items():
            have = bytes(message.data) if name == "data" else getattr(message, name)
            assert have == value, f"frame {i}: {name}"
    # The ordinary signal is skipped with one line that names it.
    skipped = [r.getMessage() for r in caplog.records if "no bus frames" in r.getMessage()]
    assert len(skipped) == 1 and "EngineSpeed" in skipped[0]


def test_a_recording_without_bus_frames_fails_to_open(tmp_path, caplog):
    path = tmp_path / "signals.mf4"
    mdf = MDF(version="4.10")
    mdf.append(Signal(name="EngineSpeed", samples=np.arange(10, dtype="<f8"), timestamps=np.arange(10) * 0.1))
    mdf.save(str(path), compression=2, overwrite=True)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        with pytest.raises(RuntimeError, match="^Could not open data source$"):
            mod.MdfFile(str(path), any_writer=True)
    assert any("No channel group of the recording holds CAN or LIN bus frames" in r.getMessage()
               for r in caplog.records)


# -- shapes made with the project's own writer ------------------------------------


@pytest.mark.parametrize("shape", list(SHAPES))
def test_shapes_of_other_writers_give_the_plain_frames(tmp_path, shape):
    plain_rec = mixed_recording().build()
    plain = tmp_path / "plain.mf4"
    plain_rec.write(str(plain))
    want = rows(read(plain))
    assert len(want) == 222

    rec = mixed_recording().build()
    SHAPES[shape](rec)
    changed = tmp_path / "changed.mf4"
    rec.write(str(changed))
    assert rows(read(changed, any_writer=True)) == want


@pytest.mark.parametrize("zip_type,header", [(mw.DZ_DEFLATE, False), (None, True), (mw.DZ_DEFLATE, True)])
def test_signal_data_in_lists(tmp_path, zip_type, header):
    plain_rec = mixed_recording(payload="sd").build()
    plain = tmp_path / "plain.mf4"
    plain_rec.write(str(plain))
    want = rows(read(plain))
    rec = mixed_recording(payload="sd").build()
    mw.store_signal_data_as_list(rec, 0, 100, zip_type, header)
    changed = tmp_path / "changed.mf4"
    rec.write(str(changed))
    assert rows(read(changed, any_writer=True)) == want


@pytest.mark.parametrize("shape", ["data list", "data list of compressed blocks", "VLSD group first"])
def test_shapes_of_other_writers_are_refused_by_default(tmp_path, caplog, shape):
    rec = mixed_recording().build()
    SHAPES[shape](rec)
    path = tmp_path / "changed.mf4"
    rec.write(str(path))
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        with pytest.raises(RuntimeError, match="^Could not open data source$"):
            mod.MdfFile(str(path))
    if shape != "VLSD group first":
        assert [r.getMessage() for r in caplog.records] == ["Unable to load block header for type ##DL"]


def compressed_recording(tmp_path, declared=None, payload=None):
    """One data group whose data is a single compressed block; `declared`
    replaces the size it declares, `payload` its compressed bytes."""
    w = RecordingWriter(start_time_ns=START_NS)
    g = w.data_group()
    g.can_channel_group(fd=False)
    g.add_frames(CanFrame(0.001 * i, 0x100 + i, bytes([i % 256] * 8)) for i in range(50))
    rec = w.build()
    dt = rec.groups[0].data_block
    dz = mw.dz_block(dt.data, declared=declared)
    if payload is not None:
        dz.data = dz.data[:16] + struct_q(len(payload)) + payload
    rec.groups[0].block.links[2] = dz
    rec.order = [b for b in rec.order if b is not dt]
    path = tmp_path / "dz.mf4"
    rec.write(str(path))
    return path, len(dt.data)


def struct_q(value):
    return value.to_bytes(8, "little")


@pytest.mark.parametrize("case,message", [
    ("declares more than the cap", "declares more than 64 MiB of data"),
    ("declares more than deflate can give", "declares more data than its compressed bytes can hold"),
    ("inflates to less than declared", "does not inflate to the"),
    ("inflates to more than declared", "does not inflate to the"),
    ("is no deflate stream", "does not inflate to the"),
])
def test_compressed_blocks_that_lie_end_the_data(tmp_path, caplog, case, message):
    _, size = compressed_recording(tmp_path)
    assert len(read(tmp_path / "dz.mf4", any_writer=True)) == 50
    declared, payload = {
        "declares more than the cap": (65 << 20, None),
        "declares more than deflate can give": (size * 2000, zlib.compress(b"\0" * 100)[:20]),
        "inflates to less than declared": (size + 1, None),
        "inflates to more than declared": (size - 1, None),
        "is no deflate stream": (size, b"\x01\x02\x03" * 20),
    }[case]
    path, _ = compressed_recording(tmp_path, declared, payload)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert read(path, any_writer=True) == []
    lines = [r.getMessage() for r in caplog.records]
    # The refusal, then what the walk read beside what the recording states.
    assert len(lines) == 2 and message in lines[0]
    assert lines[1].endswith("50 records stated, 0 read; the records end before a data block that was refused")


def test_a_looping_data_list_ends_where_it_loops(tmp_path, caplog):
    plain_rec = mixed_recording().build()
    plain = tmp_path / "plain.mf4"
    plain_rec.write(str(plain))
    want = read(plain)
    rec = mixed_recording().build()
    mw.store_as_list(rec, 1, 40, per_list=1)
    first = rec.groups[1].block.links[2]
    second = first.links[0]
    second.links[0] = first  # the second list leads back to the first
    path = tmp_path / "loop.mf4"
    rec.write(str(path))
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        got = read(path, any_writer=True)
    lin = [m for m in want if m.channel.startswith("LIN")]
    got_lin = [m for m in got if m.channel.startswith("LIN")]
    # The first two blocks' whole records, then the end.
    assert 0 < len(got_lin) < len(lin)
    assert rows(got_lin) == rows(lin[:len(got_lin)])
    assert any("loops" in r.getMessage() for r in caplog.records)


# -- the command line ---------------------------------------------------------------


def test_command_line_reads_other_writers_with_its_flag_and_says_so_without(tmp_path):
    path = tmp_path / "python_can.mf4"
    messages = python_can_messages(15)
    write_python_can(path, messages, 2)
    refused = run_cli(path)
    assert refused.returncode == 1
    assert refused.stdout == ""
    assert refused.stderr.strip().endswith("--any-writer reads recordings of other writers")
    assert "Unsupported MF4 file" in refused.stderr
    read_ok = run_cli(path, "--any-writer")
    assert read_ok.returncode == 0, read_ok.stderr
    assert read_ok.stdout.splitlines() == [str(m) for m in read(path, any_writer=True)]
    assert len(read_ok.stdout.splitlines()) == len(messages)


def test_command_line_gives_no_hint_for_other_failures(tmp_path):
    path = tmp_path / "broken.mf4"
    path.write_bytes(b"MDF     " + bytes(100))
    refused = run_cli(path)
    assert refused.returncode == 1
    assert "--any-writer" not in refused.stderr


# -- this reader's own recordings ---------------------------------------------------

# What any_writer reads differently, by design: no history check, data lists
# read, LIN error events skipped instead of raising "Unknown bus type".
READ_ONLY_WITH_ANY_WRITER = {"broken_data_list", "broken_history_text_comment", "broken_history_without_tool",
                             "broken_tool_after_zero", "lin_errors"}


@pytest.mark.parametrize("name", list(mr.RECORDINGS))
def test_own_recordings_read_alike_with_any_writer(tmp_path, name):
    path = mr.write_named(tmp_path, name)
    default = lines_or_error(path)
    any_writer = lines_or_error(path, any_writer=True)
    if name in READ_ONLY_WITH_ANY_WRITER:
        assert default != any_writer
        assert isinstance(any_writer, list) and any_writer
    else:
        assert any_writer == default


def test_readme_example_of_other_writers_runs(tmp_path, monkeypatch, capsys):
    import pathlib
    import re

    text = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    section = text.split("## Recordings of other writers", 1)[1].split("\n## ", 1)[0]
    examples = re.findall(r"```python\n(.*?)```", section, re.DOTALL)
    assert examples
    monkeypatch.chdir(tmp_path)
    for code in examples:
        exec(compile(code, "README.md", "exec"), {"__name__": "readme"})
    out = capsys.readouterr().out
    assert "ID:      123" in out and "01 02" in out and "Channel: CAN 1" in out
