"""Columnar reads and filters: to_numpy, to_pandas and to_arrow give exactly
the frames iteration gives, and the filter keywords select exactly what
python-can's own filtering and a plain time comparison select."""

import os
import subprocess
import sys
import textwrap
import threading

import can
import pytest

import make_recordings as mr
import python_can_tolvar_mf4 as mod
from layer_tools import compressed_layer
from mdf_writer import CanFrame, RecordingWriter
from reading import COLUMNS, RELEASED_LOCK_STEPS, exact, rows
from table_recordings import RECORDINGS, named, open_reader

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")

# -- rows in one form, whatever they came from -------------------------------------


def numpy_rows(table):
    assert list(table) == COLUMNS
    n = len(table["timestamp"])
    data = table["data"]
    assert data.dtype == np.uint8 and data.ndim == 2 and data.shape[0] == n
    used = np.where(table["is_remote_frame"], 0, table["dlc"])
    assert data.shape[1] == (int(used.max()) if n else 0)
    for name, dtype in (("timestamp", np.float64), ("arbitration_id", np.uint32), ("dlc", np.uint8)):
        assert table[name].dtype == dtype
    out = []
    for i in range(n):
        dlc = int(table["dlc"][i])
        assert not data[i, used[i]:].any(), "padding is zero"
        out.append((exact(float(table["timestamp"][i])), int(table["arbitration_id"][i]),
                     *(bool(table[c][i]) for c in COLUMNS[2:9]), dlc, str(table["channel"][i]),
                     bytes(data[i, :used[i]])))
    return out


def arrow_rows(table):
    assert table.column_names == COLUMNS
    assert pa.types.is_dictionary(table.schema.field("channel").type)
    assert table.schema.field("timestamp").type == pa.float64()
    return [(exact(r["timestamp"]), r["arbitration_id"], *(r[c] for c in COLUMNS[2:9]), r["dlc"], r["channel"],
             r["data"]) for r in table.to_pylist()]


def pandas_rows(frame):
    assert list(frame.columns) == COLUMNS
    assert isinstance(frame["channel"].dtype, pd.CategoricalDtype)
    return [(exact(r[0]), int(r[1]), *(bool(x) for x in r[2:9]), int(r[9]), str(r[10]), bytes(r[11]))
            for r in frame.itertuples(index=False, name=None)]


READS = {
    "numpy": lambda reader: numpy_rows(reader.to_numpy()),
    "arrow": lambda reader: arrow_rows(reader.to_arrow()),
    "pandas": lambda reader: pandas_rows(reader.to_pandas()),
    "pandas bytes": lambda reader: pandas_rows(reader.to_pandas(data="bytes")),
}


@pytest.mark.parametrize("read", READS)
@pytest.mark.parametrize("kind", RECORDINGS)
def test_columns_equal_iteration(tmp_path, kind, read):
    with open_reader(tmp_path, kind) as reader:
        expected = rows(list(reader))
        assert expected
        assert READS[read](reader) == expected


def test_pandas_columns_are_typed_without_an_object_per_row(tmp_path):
    with open_reader(tmp_path, "record_ids_1") as reader:
        frame = reader.to_pandas()
        as_bytes = reader.to_pandas(data="bytes")
    assert isinstance(frame["data"].dtype, pd.ArrowDtype)
    assert frame["timestamp"].dtype == np.float64 and frame["is_fd"].dtype == bool
    assert as_bytes["data"].dtype == object and isinstance(as_bytes["data"].iloc[0], bytes)


def test_record_that_gives_no_frame_fails_as_iteration_does(tmp_path):
    source, _ = named("lin_errors")(tmp_path)
    with mod.MdfFile(source) as reader:
        with pytest.raises(RuntimeError, match="Unknown bus type"):
            list(reader)
        for method in (reader.to_numpy, reader.to_arrow, reader.to_pandas):
            with pytest.raises(RuntimeError, match="Unknown bus type"):
                method()


def test_empty_recording_gives_empty_columns(tmp_path):
    w = RecordingWriter(mr.START_NS)
    w.data_group().can_channel_group()
    path = tmp_path / "empty.mf4"
    w.write(str(path))
    with mod.MdfFile(str(path)) as reader:
        table = reader.to_numpy()
        assert list(table) == COLUMNS and all(len(v) == 0 for v in table.values())
        assert table["data"].shape == (0, 0)
        assert reader.to_arrow().num_rows == 0 and len(reader.to_pandas()) == 0


def test_closed_reader_refuses_columns(tmp_path):
    reader = open_reader(tmp_path, "plain")
    reader.close()
    for method in (reader.to_numpy, reader.to_arrow, reader.to_pandas):
        with pytest.raises(RuntimeError, match="Handle has been closed"):
            method()


# -- filters against python-can's own filtering -------------------------------------


class FilterBus(can.BusABC):
    """A bus that only filters: python-can's set_filters and _matches_filters."""

    def __init__(self, filters):
        super().__init__(channel=None, can_filters=filters)

    def send(self, msg, timeout=None):
        raise NotImplementedError

    def _recv_internal(self, timeout):
        return None, False


def expected_filtered(messages, can_filters=None, channels=None, start=None, stop=None):
    bus = FilterBus(can_filters)
    try:
        return [m for m in messages if bus._matches_filters(m)
                and (channels is None or m.channel in channels)
                and (start is None or start <= m.timestamp)
                and (stop is None or m.timestamp < stop)]
    finally:
        bus.shutdown()


ID_FILTERS = {
    "exact standard id": [{"can_id": 0x12, "can_mask": 0x7FF}],
    "low bits": [{"can_id": 0x1, "can_mask": 0x3}],
    "extended only": [{"can_id": 0, "can_mask": 0, "extended": True}],
    "standard only": [{"can_id": 0, "can_mask": 0, "extended": False}],
    "two filters": [{"can_id": 0x10, "can_mask": 0x7F0, "extended": False}, {"can_id": 0x3, "can_mask": 0x3}],
    "mask of every bit": [{"can_id": 0x123, "can_mask": -1}],
    "bits above the identifier": [{"can_id": 0x20000000, "can_mask": 0xFFFFFFFF}],
    "negative id under a narrow mask": [{"can_id": -1, "can_mask": 0x1}],
    "empty list passes everything": [],
    "no match": [{"can_id": 0x7FF, "can_mask": 0x7FF, "extended": True}],
    "numpy integers, as taken from an array of ids": [{"can_id": np.uint32(0x12), "can_mask": np.int64(0x7FF)}],
}


@pytest.mark.parametrize("kind", ["record_ids_1", "several_groups", "sd", "python-can, compressed"])
@pytest.mark.parametrize("case", ID_FILTERS)
def test_can_filters_follow_python_can(tmp_path, kind, case):
    filters = ID_FILTERS[case]
    with open_reader(tmp_path, kind) as reader:
        expected = rows(expected_filtered(list(reader), can_filters=filters))
    with open_reader(tmp_path, kind, can_filters=filters) as reader:
        assert rows(list(reader)) == expected
        assert numpy_rows(reader.to_numpy()) == expected
        assert arrow_rows(reader.to_arrow()) == expected


CHANNELS = {
    "one CAN bus": ["CAN 1"],
    "LIN and CAN": ("LIN 1", "CAN 2"),
    "absent from the file": ["CAN 9"],
    "not a name messages carry": ["CAN 01", "can 1", "CAN 256"],
    "none": [],
}


@pytest.mark.parametrize("kind", ["record_ids_1", "several_groups"])
@pytest.mark.parametrize("case", CHANNELS)
def test_channels_select_by_name(tmp_path, kind, case):
    channels = CHANNELS[case]
    with open_reader(tmp_path, kind) as reader:
        expected = rows(expected_filtered(list(reader), channels=set(channels)))
    with open_reader(tmp_path, kind, channels=iter(channels)) as reader:
        assert rows(list(reader)) == expected
        assert pandas_rows(reader.to_pandas()) == expected


def windows(timestamps):
    """Windows on exact frame timestamps (ties included), empty ones and
    open ones."""
    t = sorted(set(timestamps))
    q = len(t) // 4
    return {
        "middle half": (t[q], t[3 * q]),
        "start on a frame, no stop": (t[q], None),
        "no start, stop on a frame": (None, t[q]),
        "one timestamp": (t[q], t[q + 1]),
        "empty at a frame": (t[q], t[q]),
        "before everything": (t[0] - 10.0, t[0]),
        "after everything": (t[-1] + 1e-3, None),
        "everything": (t[0], t[-1] + 1.0),
    }


@pytest.mark.parametrize("kind", ["plain", "ties", "vlsd", "several_groups", "record_ids_8", "unfinalised",
                                  "encrypted", "file_object", "python-can, compressed",
                                  "asammdf, compressed list"])
def test_start_and_stop_select_the_window(tmp_path, kind):
    with open_reader(tmp_path, kind) as reader:
        messages = list(reader)
    for name, (start, stop) in windows([m.timestamp for m in messages]).items():
        expected = rows(expected_filtered(messages, start=start, stop=stop))
        with open_reader(tmp_path, kind, start=start, stop=stop) as reader:
            assert rows(list(reader)) == expected, name
            assert numpy_rows(reader.to_numpy()) == expected, name


def test_filters_combine(tmp_path):
    with open_reader(tmp_path, "record_ids_2") as reader:
        messages = list(reader)
    start, stop = messages[10].timestamp, messages[-10].timestamp
    options = dict(can_filters=[{"can_id": 0, "can_mask": 0, "extended": False}], channels=["CAN 1", "LIN 1"],
                   start=start, stop=stop)
    expected = rows(expected_filtered(messages, **options))
    assert expected
    with open_reader(tmp_path, "record_ids_2", **options) as reader:
        assert rows(list(reader)) == expected
        assert arrow_rows(reader.to_arrow()) == expected


@pytest.mark.parametrize("kept", [1024, 3072, 1000])
def test_a_filter_that_drops_a_groups_last_frames_gives_exactly_the_frames_kept(tmp_path, kept):
    # A filter that keeps exactly as many frames as the first row chunks of a
    # group hold, then passes over the rest of a batch, once made the tables
    # read past the rows kept.
    w = RecordingWriter(1_600_000_000 * 10**9)
    g = w.data_group()
    g.can_channel_group(fd=False)
    frames = [CanFrame(i * 1e-3, 1, bytes([i % 256] * 8)) for i in range(kept)]
    frames += [CanFrame(10 + i * 1e-3, 2, bytes(8)) for i in range(100)]
    g.add_frames(frames)
    path = str(tmp_path / "tail.mf4")
    w.write(path)
    with mod.MdfFile(path, can_filters=[{"can_id": 1, "can_mask": 0x7FF}]) as reader:
        expected = rows(list(reader))
        assert len(expected) == kept
        assert numpy_rows(reader.to_numpy()) == expected
        assert arrow_rows(reader.to_arrow()) == expected
        assert pandas_rows(reader.to_pandas()) == expected


def test_selection_after_the_open_equals_filters_at_construction(tmp_path):
    with open_reader(tmp_path, "encrypted") as reader:
        messages = list(reader)
    start, stop = messages[10].timestamp, messages[-10].timestamp
    options = dict(channels=["CAN 1", "LIN 1"], start=start, stop=stop)
    expected = rows(expected_filtered(messages, **options))
    assert expected and len(expected) < len(messages)
    with open_reader(tmp_path, "encrypted") as reader:
        before = iter(reader)
        reader._select(**options)
        assert rows(list(reader)) == expected
        assert numpy_rows(reader.to_numpy()) == expected
        # A walk begun earlier keeps the filter it began with.
        assert rows(list(before)) == rows(messages)
        reader._select()
        assert rows(list(reader)) == rows(messages)
        with pytest.raises(ValueError, match="start"):
            reader._select(start=2.0, stop=1.0)
        with pytest.raises(TypeError, match="passwords"):
            reader._select(passwords={})
    with pytest.raises(RuntimeError, match="Handle has been closed"):
        reader._select(start=start)


def out_of_order(tmp_path, vlsd):
    """One data group whose timestamps go backwards in the middle."""
    times = [0.1, 0.2, 0.3, 0.7, 0.8, 0.4, 0.5, 0.6, 0.9, 1.0]
    w = RecordingWriter(mr.START_NS)
    g = w.data_group(record_id_size=1 if vlsd else 0)
    g.can_channel_group(fd=vlsd, payload="vlsd" if vlsd else "record")
    g.add_frames([CanFrame(t, k, bytes([k]) * (12 if vlsd else 1), is_fd=vlsd) for k, t in enumerate(times)])
    path = tmp_path / "backwards.mf4"
    w.write(str(path))
    return str(path)


@pytest.mark.parametrize("vlsd, expected", [(False, [6, 7]), (True, [3, 4, 6, 7])],
                         ids=["fixed length (bisection)", "VLSD (record by record)"])
def test_window_relies_on_time_order(tmp_path, vlsd, expected):
    """A group whose timestamps go backwards (0.1 0.2 0.3 0.7 0.8 0.4 0.5 0.6
    0.9 1.0) read in [0.45, 0.85): the walk starts where the search for the
    start lands (the bisection probes 0.4, 0.9, 0.6, 0.5 and lands on 0.5;
    record by record it is the first record at or after the start, 0.7),
    ends at the first record at or after stop (0.9), and never gives a frame
    outside the window."""
    path = out_of_order(tmp_path, vlsd)
    with mod.MdfFile(path) as reader:
        messages = list(reader)
        origin = reader.start_timestamp
    start, stop = origin + 0.45, origin + 0.85
    with mod.MdfFile(path, start=start, stop=stop) as reader:
        got = [m.arbitration_id for m in reader]
        columns = reader.to_numpy()
    assert got == expected
    assert columns["arbitration_id"].tolist() == expected
    assert all(start <= messages[k].timestamp < stop for k in got)


def test_start_timestamp_is_what_a_frame_at_time_zero_shows(tmp_path):
    w = RecordingWriter(mr.START_NS)
    g = w.data_group()
    g.can_channel_group(fd=False)
    g.add_frames([CanFrame(0.0, 1, b"\x01"), CanFrame(0.5, 2, b"\x02")])
    path = tmp_path / "zero.mf4"
    w.write(str(path))
    with mod.MdfFile(str(path)) as reader:
        first, second = list(reader)
        assert reader.start_timestamp == first.timestamp == second.timestamp - 0.5


BAD_FILTERS = {
    "mask not an int": (dict(can_filters=[{"can_id": 1, "can_mask": "0x7FF"}]), TypeError, "can_filters"),
    "id not an int": (dict(can_filters=[{"can_id": 1.0, "can_mask": 1}]), TypeError, "can_filters"),
    "unknown key": (dict(can_filters=[{"can_id": 1, "can_mask": 1, "ext": True}]), ValueError, "can_filters"),
    "missing mask": (dict(can_filters=[{"can_id": 1}]), ValueError, "can_filters"),
    "filter not a dict": (dict(can_filters=[(1, 2)]), TypeError, "can_filters"),
    "filters not a list": (dict(can_filters=5), TypeError, "can_filters"),
    "a single dict": (dict(can_filters={"can_id": 1, "can_mask": 1}), TypeError, "can_filters"),
    "extended not a bool": (dict(can_filters=[{"can_id": 1, "can_mask": 1, "extended": 1}]), TypeError,
                            "can_filters"),
    "channel not a str": (dict(channels=[1]), TypeError, "channels"),
    "channels a single str": (dict(channels="CAN 1"), TypeError, "channels"),
    "channels not iterable": (dict(channels=3), TypeError, "channels"),
    "start not a number": (dict(start="0"), TypeError, "start"),
    "stop NaN": (dict(stop=float("nan")), ValueError, "stop"),
    "start after stop": (dict(start=2.0, stop=1.0), ValueError, "start"),
}


@pytest.mark.parametrize("case", BAD_FILTERS)
def test_bad_filter_values_raise_at_construction(tmp_path, case):
    options, error, argument = BAD_FILTERS[case]
    source, _ = RECORDINGS["plain"](tmp_path)
    with pytest.raises(error, match=argument):
        mod.MdfFile(source, **options)


# -- the interpreter lock -----------------------------------------------------------


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    path = tmp_path_factory.mktemp("large") / "large.mf4"
    mr.write_large(str(path), 150_000)
    return path


def test_lock_is_released_while_columns_fill(large, progress_during):
    """Holding the lock, the call lets the other thread in a few times at
    most (where pyarrow itself lets go); released during the walk and the
    fill of 300 000 frames, every step of the other thread gets through."""
    with mod.MdfFile(str(large)) as reader:
        assert progress_during(reader.to_arrow) > RELEASED_LOCK_STEPS


def test_lock_is_released_while_layers_decode(tmp_path, progress_during):
    plain = tmp_path / "plain.mf4"
    mr.write_large(str(plain), 8_000)
    path = tmp_path / "compressed.mf4"
    path.write_bytes(compressed_layer(plain.read_bytes()))

    def open_five_times():
        for _ in range(5):
            mod.MdfFile(str(path)).close()

    # Holding the lock, an open lets no other thread in at all.
    assert progress_during(open_five_times) > 0


@pytest.fixture(scope="module")
def larger(tmp_path_factory):
    """600 000 frames and the messages iteration gives of them."""
    path = tmp_path_factory.mktemp("larger") / "larger.mf4"
    mr.write_large(str(path), 300_000)
    with mod.MdfFile(str(path)) as reader:
        return path, list(reader)


@pytest.mark.parametrize("read", ["numpy", "arrow"])
def test_large_tables_equal_iteration(larger, read):
    """Stores and columns large enough for their memory to be mapped, and the
    stores' pages handed on to the columns, change no value."""
    path, messages = larger
    with mod.MdfFile(str(path)) as reader:
        table = reader.to_numpy() if read == "numpy" else reader.to_arrow()
    if read == "arrow":
        data = table.column("data").to_pylist()
        table = {name: table.column(name).to_numpy(zero_copy_only=False) for name in COLUMNS if name != "data"}
    else:
        width = table["data"].shape[1]
        data = [bytes(row[:used]) for row, used in zip(table["data"], table["dlc"])]
        assert width == 64 and not table["data"][table["dlc"] == 8][:, 8:].any()
    assert len(table["timestamp"]) == len(messages) == 600_000
    assert table["timestamp"].tobytes() == np.array([m.timestamp for m in messages], dtype=np.float64).tobytes()
    for name in ("arbitration_id", "dlc", "is_extended_id", "is_fd", "bitrate_switch", "is_rx"):
        assert table[name].tolist() == [getattr(m, name) for m in messages], name
    assert [str(c) for c in table["channel"]] == [m.channel for m in messages]
    assert data == [bytes(m.data) for m in messages]


def test_close_from_another_thread_during_a_read(large):
    """A close while the walk runs without the lock frees nothing it reads."""
    reader = mod.MdfFile(str(large))
    closer = threading.Thread(target=reader.close)
    result = {}

    def read():
        try:
            result["table"] = reader.to_numpy()
        except RuntimeError as error:
            result["error"] = str(error)

    reading = threading.Thread(target=read)
    reading.start()
    closer.start()
    reading.join()
    closer.join()
    assert result.get("error", "Handle has been closed") == "Handle has been closed"
    if "table" in result:
        assert len(result["table"]["timestamp"]) == 300_000


def test_iteration_waits_for_a_read_in_another_thread(large):
    with mod.MdfFile(str(large)) as reader:
        expected = rows(list(reader)[:1000])
        got = []
        reading = threading.Thread(target=reader.to_numpy)
        reading.start()
        for message in reader:
            got.append(message)
            if len(got) == 1000:
                break
        reading.join()
    assert rows(got) == expected


# -- optional packages --------------------------------------------------------------


@pytest.mark.parametrize("method, blocked, extra", [
    ("to_numpy()", "numpy", "numpy"),
    ("to_pandas()", "pandas", "pandas"),
    ("to_pandas()", "pyarrow", "pandas"),
    ("to_arrow()", "pyarrow", "arrow"),
])
def test_missing_package_names_the_extra(tmp_path, method, blocked, extra):
    source, _ = RECORDINGS["plain"](tmp_path)
    code = textwrap.dedent(f"""
        import sys
        sys.modules[{blocked!r}] = None
        import python_can_tolvar_mf4 as mod
        try:
            mod.MdfFile({source!r}).{method}
        except ImportError as error:
            print(error)
        else:
            print("no error")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}).stdout
    assert f"pip install python_can_tolvar_mf4[{extra}]" in out
