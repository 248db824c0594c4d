"""Sessions: one recording split into files at known frames, with a pause,
an overlap and a pause too long for one session put where the test knows
them, rejoins to exactly the original frames; files of another logger make
sessions of their own."""

import logging
import os

import pytest

import make_recordings as mr
import mdf_writer as mw
import python_can_tolvar_mf4 as mod
from layer_tools import compressed_layer
from mdf_writer import Md, RecordingWriter

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")

PAUSE = 5.0   # between frames 199 and 200: a seam within a session
BREAK = 120.0  # between frames 299 and 300: a new session (gap 60)


def original_frames():
    frames = mr._frames(21, 400, "cfrel")
    for k, f in enumerate(frames):
        f.timestamp = round(f.timestamp + (PAUSE if k >= 200 else 0) + (BREAK if k >= 300 else 0), 6)
    return frames


def write(path, frames, logger, layer=False):
    props = {"Device": {"serial": mw.Property(logger)}, "Log": {"session": mw.Property("S1")}}
    w = RecordingWriter(mr.START_NS, comment=Md(mw.hd_comment_xml(props)))
    g = w.data_group(record_id_size=1)
    mr._all_events(g)
    g.add_frames(sorted(frames, key=lambda f: f.timestamp))
    data = w.build().to_bytes()
    path.write_bytes(compressed_layer(data) if layer else data)
    return str(path)


@pytest.fixture(scope="module")
def split(tmp_path_factory):
    """part1: frames 0-99 but 97; part2: 97 and 100-199 (an overlap of
    t99 - t97); part3: 200-299 (a pause of PAUSE after 199); part4: 300-399
    (after BREAK: a session of its own); other.mf4: another logger at the
    same times. Also the original as one file, in another folder."""
    root = tmp_path_factory.mktemp("split")
    whole = tmp_path_factory.mktemp("whole")
    frames = original_frames()
    pieces = [frames[:97] + frames[98:100], [frames[97]] + frames[100:200], frames[200:300], frames[300:]]
    for k, piece in enumerate(pieces):
        write(root / f"part{k + 1}.mf4", piece, "L-1", layer=k == 2)
    write(root / "other.mf4", mr._frames(5, 50, "c"), "L-2")
    return root, frames, write(whole / "whole.mf4", frames[:300], "L-1")


def table_without_file(table):
    out = table.drop(columns=["file"]).reset_index(drop=True)
    out["channel"] = out["channel"].astype(str)
    out["data"] = [bytes(v) for v in out["data"]]
    return out


def main_session(root):
    """The session of part1 to part3."""
    return next(s for s in mod.Dataset(root).sessions() if len(s) == 3)


def test_sessions_and_their_seams(split, caplog):
    root, frames, _ = split
    dataset = mod.Dataset(root)
    with caplog.at_level(logging.WARNING, logger="python_can_tolvar_mf4"):
        sessions = dataset.sessions(gap=60)
    names = [[os.path.basename(p) for p in s.paths] for s in sessions]
    assert sorted(names) == [["other.mf4"], ["part1.mf4", "part2.mf4", "part3.mf4"], ["part4.mf4"]]
    assert names[-1] == ["part4.mf4"]
    assert [s.start_timestamp for s in sessions] == sorted(s.start_timestamp for s in sessions)
    first = sessions[names.index(["part1.mf4", "part2.mf4", "part3.mf4"])]
    assert first.logger == "L-1" and sessions[names.index(["other.mf4"])].logger == "L-2"
    gaps = [s.gap for s in first.seams]
    assert gaps[0] == pytest.approx(frames[97].timestamp - frames[99].timestamp, abs=1e-6) and gaps[0] < 0
    assert first.seams[0].overlap == pytest.approx(-gaps[0])
    assert gaps[1] == pytest.approx(frames[200].timestamp - frames[199].timestamp, abs=1e-6) and gaps[1] > PAUSE
    assert first.overlaps == [first.seams[0]]
    overlaps = [r.getMessage() for r in caplog.records if "overlaps" in r.getMessage()]
    assert len(overlaps) == 1 and "part2.mf4 overlaps" in overlaps[0]
    # The read filled in each file's last frame; sessions are ordered by start.
    files = dataset.files.set_index("path")
    start = mr.START_NS / mw.NANOSECONDS
    assert files.loc[str(root / "part3.mf4"), "stop_timestamp"] == pytest.approx(start + frames[299].timestamp)
    assert list(files["session"].unique()) == ["S1"]
    # A wider gap joins the last part too; a narrower one splits at the pause.
    assert sorted(len(s) for s in dataset.sessions(gap=BREAK + 1)) == [1, 4]
    assert sorted(len(s) for s in dataset.sessions(gap=PAUSE / 2)) == [1, 1, 1, 2]


def test_session_rejoins_to_the_original(split):
    root, frames, whole = split
    session = main_session(root)
    with mod.MdfFile(whole) as reader:
        expected = reader.to_pandas()
        messages = list(reader)
    table = session.to_pandas()
    pd.testing.assert_frame_equal(table_without_file(table), table_without_file(expected.assign(file="")))
    names = [os.path.basename(p) for p in table["file"].astype(str)]
    assert names[:97] == ["part1.mf4"] * 97 and names[97] == "part2.mf4" and names[98] == "part1.mf4"
    # Iteration merges the files' frames the same way, timestamps as recorded.
    pairs = list(session.iter_with_files())
    assert len(pairs) == len(messages)
    assert all(m.equals(e) for (_, m), e in zip(pairs, messages))
    assert [p for p, _ in pairs] == list(table["file"].astype(str))
    assert [m.timestamp for m in session] == [m.timestamp for m in messages]


def test_session_arrow_table_and_stream(split):
    root, _, whole = split
    session = main_session(root)
    with mod.MdfFile(whole) as reader:
        expected = reader.to_arrow()
    table = session.to_arrow()
    assert table.drop_columns(["file"]).to_pylist() == expected.to_pylist()
    streamed = pa.RecordBatchReader.from_stream(session).read_all()
    assert streamed.num_rows == table.num_rows and streamed.column("timestamp").equals(table.column("timestamp"))


def test_session_columns(split):
    root, _, whole = split
    session = main_session(root)
    table = session.to_pandas(columns=["arbitration_id", "timestamp"])
    assert list(table.columns) == ["timestamp", "arbitration_id", "file"]
    with mod.MdfFile(whole) as reader:
        expected = reader.to_numpy(columns=["arbitration_id"])["arbitration_id"]
    assert (table["arbitration_id"].to_numpy() == expected).all()


def test_gap_must_be_seconds(split):
    with pytest.raises(ValueError, match="gap must be"):
        mod.Dataset(split[0]).sessions(gap=-1)


@pytest.mark.parametrize("columns, error, message", [
    ("timestamp", TypeError, "not a single str"),
    (["timestamp", "nope"], ValueError, "no column 'nope'"),
    ([], ValueError, "at least one column"),
])
def test_session_columns_are_checked(split, columns, error, message):
    with pytest.raises(error, match=message):
        main_session(split[0]).to_pandas(columns=columns)


@pytest.mark.parametrize("batch_rows", [1, 7, 64, 65536])
def test_session_stream_merges_a_batch_at_a_time(split, batch_rows):
    """The stream equals the session's table whatever the batches, and holds
    no more than a batch of each file at a time (plus frames of one
    timestamp)."""
    root, _, _ = split
    dataset = mod.Dataset(root, batch_rows=batch_rows)
    session = next(s for s in dataset.sessions() if len(s) == 3)
    batches = list(session.iter_batches())
    assert max(b.num_rows for b in batches) <= 3 * batch_rows
    streamed = pa.Table.from_batches(batches)
    assert streamed.to_pylist() == session.to_arrow().to_pylist()
    assert pa.RecordBatchReader.from_stream(session).read_all().num_rows == streamed.num_rows


def test_session_stream_keeps_equal_timestamps_in_file_order(tmp_path):
    """Frames of one timestamp in two files, across batch boundaries: the
    first file's come first, as iteration gives them."""
    frames = mr._frames(3, 30, "c")
    for k, f in enumerate(frames):
        f.timestamp = 0.001 * (k // 10)
    write(tmp_path / "a.mf4", frames[::2], "L-1")
    write(tmp_path / "b.mf4", frames[1::2], "L-1")
    session = mod.Dataset(tmp_path, batch_rows=4).session(0, gap=1)
    rows = pa.Table.from_batches(list(session.iter_batches())).to_pylist()
    expected = [(round(m.timestamp, 9), m.arbitration_id) for m in session]
    assert [(round(r["timestamp"], 9), r["arbitration_id"]) for r in rows] == expected
    assert [os.path.basename(r["file"]) for r in rows] == [os.path.basename(p) for p, _ in session.iter_with_files()]
