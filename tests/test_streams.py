"""Streams of record batches: every recording read through pyarrow, polars
and DuckDB equals to_arrow() value by value, whatever the batch size; streams
outlive their reader, are abandoned half-way, read and released on other
threads without the interpreter lock; requested schemas; scan_polars with
each predicate form against polars' own filter of the whole table."""

import collections
import gc
import importlib.util
import io
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import arrow_c
import make_recordings as mr
import python_can_tolvar_mf4 as mod
from reading import COLUMNS, exact, run_cli
from table_recordings import RECORDINGS, named, open_reader

pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
duckdb = pytest.importorskip("duckdb")
scan = pytest.importorskip("python_can_tolvar_mf4_polars")


def normal(row):
    """One row in one form: the timestamp bit for bit, channel as text."""
    row = tuple(row)
    return (exact(row[0]), int(row[1]), *(bool(x) for x in row[2:9]), int(row[9]), str(row[10]), bytes(row[11]))


def arrow_rows(table):
    assert table.column_names == COLUMNS
    return [normal(r.values()) for r in table.to_pylist()]


def polars_rows(frame):
    assert frame.columns == COLUMNS
    return [normal(r) for r in frame.rows()]


def polars_of_stream(reader):
    frame = pl.DataFrame(reader)
    if frame.columns in (["column_0"], []):
        # polars 1.3 makes any Arrow stream one struct column (and reads
        # its first batch alone: to_polars() does not rely on it).
        pytest.skip(f"polars {pl.__version__} reads an Arrow stream as one struct column")
    return frame


def read_duckdb(reader):
    # DuckDB finds the reader by its variable's name.
    return [normal(r) for r in duckdb.sql("SELECT * FROM reader").fetchall()]


CONSUMERS = {
    "pyarrow.RecordBatchReader.from_stream": lambda r: arrow_rows(pa.RecordBatchReader.from_stream(r).read_all()),
    "pyarrow.table": lambda r: arrow_rows(pa.table(r)),
    "iter_batches": lambda r: arrow_rows(pa.Table.from_batches(list(r.iter_batches()), schema=pa.schema(r))),
    "polars.DataFrame": lambda r: polars_rows(polars_of_stream(r)),
    "to_polars": lambda r: polars_rows(r.to_polars()),
    "duckdb": read_duckdb,
}


@pytest.mark.parametrize("consumer", CONSUMERS)
@pytest.mark.parametrize("kind", RECORDINGS)
def test_streams_equal_to_arrow(tmp_path, kind, consumer):
    # Five rows a batch: boundaries in the middle of every group.
    with open_reader(tmp_path, kind, batch_rows=5) as reader:
        expected = arrow_rows(reader.to_arrow())
        assert expected
        assert CONSUMERS[consumer](reader) == expected
        # Each call starts a new stream.
        assert CONSUMERS[consumer](reader) == expected


FILTERS = {
    "identifiers": dict(can_filters=[{"can_id": 0x10, "can_mask": 0x7F0}, {"can_id": 0, "can_mask": 0,
                                                                            "extended": True}]),
    "channels": dict(channels=["CAN 2", "LIN 1"]),
    "everything filtered out": dict(channels=["CAN 9"]),
}


@pytest.mark.parametrize("consumer", CONSUMERS)
@pytest.mark.parametrize("case", FILTERS)
def test_filtered_streams_equal_to_arrow(tmp_path, case, consumer):
    with open_reader(tmp_path, "several_groups", batch_rows=3, **FILTERS[case]) as reader:
        assert CONSUMERS[consumer](reader) == arrow_rows(reader.to_arrow())


@pytest.mark.parametrize("kind", ["several_groups", "ties", "vlsd"])
def test_every_batch_size_cuts_groups_and_merge_seams_anywhere(tmp_path, kind):
    with open_reader(tmp_path, kind) as reader:
        expected = arrow_rows(reader.to_arrow())
    for batch_rows in list(range(1, 24)) + [len(expected) - 1, len(expected), len(expected) + 1]:
        with open_reader(tmp_path, kind, batch_rows=batch_rows) as reader:
            batches = list(reader.iter_batches())
        sizes = [b.num_rows for b in batches]
        assert all(n == batch_rows for n in sizes[:-1]) and 0 < sizes[-1] <= batch_rows, batch_rows
        assert arrow_rows(pa.Table.from_batches(batches)) == expected, batch_rows


def test_duckdb_groups_channels_over_the_stream(tmp_path):
    with open_reader(tmp_path, "several_groups", batch_rows=7) as reader:
        expected = collections.Counter(reader.to_arrow().column("channel").to_pylist())
        got = dict(duckdb.sql("SELECT channel, count(*) FROM reader GROUP BY channel").fetchall())
    assert got == expected and len(got) == 3


def test_schema_is_to_arrows_and_read_without_the_data(tmp_path):
    with open_reader(tmp_path, "lin_errors" if False else "vlsd") as reader:
        assert pa.schema(reader) == reader.to_arrow().schema
    # A recording whose records fail to decode still has its schema.
    source, _ = named("lin_errors")(tmp_path)
    with mod.MdfFile(source) as reader:
        assert pa.schema(reader).names == COLUMNS
        assert pa.schema(reader).field("channel").type == pa.dictionary(pa.int16(), pa.string())


def test_dictionary_is_the_same_in_every_batch(tmp_path):
    with open_reader(tmp_path, "several_groups", batch_rows=4) as reader:
        dictionaries = [b.column("channel").dictionary for b in reader.iter_batches()]
    assert len(dictionaries) > 10
    assert all(d.equals(dictionaries[0]) for d in dictionaries)
    assert dictionaries[0].to_pylist()[:2] == ["CAN 0", "CAN 1"] and len(dictionaries[0]) == 512


def test_a_record_that_gives_no_frame_fails_every_consumer(tmp_path):
    source, _ = named("lin_errors")(tmp_path)
    with mod.MdfFile(source) as reader:
        with pytest.raises(OSError, match="Unknown bus type"):
            pa.RecordBatchReader.from_stream(reader).read_all()
        with pytest.raises(RuntimeError, match="Unknown bus type"):
            reader.to_polars()
        with pytest.raises(duckdb.Error, match="Unknown bus type"):
            read_duckdb(reader)
    if importlib.util.find_spec("polars.io.plugins") is not None:
        with pytest.raises(RuntimeError, match="Unknown bus type"):
            mod.scan_polars(source).collect()


def test_closed_reader_refuses_new_streams(tmp_path):
    reader = open_reader(tmp_path, "plain")
    reader.close()
    for method in (reader.__arrow_c_stream__, reader.__arrow_c_schema__, reader.iter_batches, reader.to_polars):
        with pytest.raises(RuntimeError, match="Handle has been closed"):
            method()


# -- requested schemas --------------------------------------------------------------


def with_data(schema, data_type):
    return schema.set(schema.get_field_index("data"), pa.field("data", data_type))


@pytest.mark.parametrize("name", ["binary", "large_binary", "binary_view"])
def test_requested_data_types_are_honoured(tmp_path, name):
    if not hasattr(pa, name):
        pytest.skip(f"pyarrow {pa.__version__} has no {name}")
    data_type = getattr(pa, name)()
    with open_reader(tmp_path, "vlsd", batch_rows=6) as reader:
        table = reader.to_arrow()
        got = pa.RecordBatchReader.from_stream(reader, schema=with_data(table.schema, data_type)).read_all()
    assert got.schema.field("data").type == data_type
    assert got.column("data").to_pylist() == table.column("data").to_pylist()
    assert arrow_rows(got.cast(table.schema)) == arrow_rows(table)


REFUSED = {
    "string data": lambda s: with_data(s, pa.string()),
    "int64 identifiers": lambda s: s.set(1, pa.field("arbitration_id", pa.int64())),
    "a renamed column": lambda s: s.set(1, pa.field("id", pa.uint32())),
    "plain string channel": lambda s: s.set(10, pa.field("channel", pa.string())),
    "columns in another order": lambda s: pa.schema([s.field(1), s.field(0)]),
}


@pytest.mark.parametrize("case", REFUSED)
def test_requested_schemas_the_reader_cannot_honour_raise(tmp_path, case):
    with open_reader(tmp_path, "plain") as reader:
        with pytest.raises(ValueError, match="requested_schema"):
            pa.RecordBatchReader.from_stream(reader, schema=REFUSED[case](pa.schema(reader)))


def test_iter_batches_chooses_columns(tmp_path):
    with open_reader(tmp_path, "several_groups", batch_rows=9) as reader:
        table = reader.to_arrow()
        got = pa.Table.from_batches(list(reader.iter_batches(columns=["data", "channel", "timestamp"])))
        assert got.column_names == ["timestamp", "channel", "data"]
        assert got.to_pylist() == table.select(["timestamp", "channel", "data"]).to_pylist()
        for bad, error in (("id", TypeError), (["id"], ValueError), ([], ValueError), ("channel", TypeError),
                           ([3], TypeError)):
            with pytest.raises(error, match="column"):
                reader.iter_batches(columns=bad)


@pytest.mark.parametrize("value, error", [(0, ValueError), (-1, ValueError), (1 << 40, ValueError),
                                          ("100", TypeError), (True, TypeError), (2.0, TypeError)])
def test_bad_batch_rows_raise_at_construction(tmp_path, value, error):
    source, _ = named("plain")(tmp_path)
    with pytest.raises(error, match="batch_rows"):
        mod.MdfFile(source, batch_rows=value)


def test_batch_rows_takes_numpy_integers(tmp_path):
    np = pytest.importorskip("numpy")
    source, _ = named("plain")(tmp_path)
    with mod.MdfFile(source, batch_rows=np.int64(3)) as reader:
        assert reader.batch_rows == 3
        assert {b.num_rows for b in reader.iter_batches()} <= {1, 2, 3}
    with mod.MdfFile(source) as reader:
        assert reader.batch_rows == 65536


# -- lifetimes and threads ----------------------------------------------------------


def ids_of(batch):
    return arrow_c.column_values(batch, 1, arrow_c.ctypes.c_uint32)


def in_thread(function, *args):
    result = []
    thread = threading.Thread(target=lambda: result.append(function(*args)))
    thread.start()
    thread.join()
    return result[0] if result else None


@pytest.mark.parametrize("kind", ["several_groups", "encrypted", "file_object"])
def test_stream_read_and_released_on_other_threads_after_its_reader_is_gone(tmp_path, kind):
    """get_next and every release run through ctypes, which lets go of the
    interpreter lock around each call: on other threads, after the reader
    was closed, deleted and collected."""
    reader = open_reader(tmp_path, kind, batch_rows=8)
    expected = reader.to_arrow().column("arbitration_id").to_pylist()
    stream = arrow_c.take_stream(reader.__arrow_c_stream__())
    schema = arrow_c.schema_of(stream)
    first = arrow_c.next_batch(stream)
    reader.close()
    del reader
    gc.collect()
    batches = [first]
    while True:
        batch = in_thread(arrow_c.next_batch, stream)
        if not batch.release:
            break
        batches.append(batch)
    assert [i for b in batches for i in ids_of(b)] == expected
    # A consumer that keeps a column and lets the batch go.
    kept = arrow_c.ArrowArray()
    arrow_c.ctypes.memmove(arrow_c.ctypes.byref(kept), batches[0].children[1], arrow_c.ctypes.sizeof(kept))
    batches[0].children[1].contents.release = None
    for batch in batches:
        in_thread(arrow_c.release_array, batch)
    in_thread(arrow_c.release_stream, stream)
    assert arrow_c.ctypes.cast(kept.buffers[1], arrow_c.ctypes.POINTER(arrow_c.ctypes.c_uint32))[0] == expected[0]
    in_thread(arrow_c.release_array, kept)
    in_thread(arrow_c.release_schema, schema)
    assert not stream.release and not kept.release and not schema.release


@pytest.mark.parametrize("kind", ["several_groups", "file_object"])
def test_streams_abandoned_half_way_leave_the_reader_usable(tmp_path, kind):
    with open_reader(tmp_path, kind, batch_rows=10) as reader:
        expected = arrow_rows(reader.to_arrow())
        partial = pa.RecordBatchReader.from_stream(reader)
        partial.read_next_batch()
        in_thread(lambda: partial.read_next_batch())
        stream = arrow_c.take_stream(reader.__arrow_c_stream__())
        in_thread(arrow_c.release_array, in_thread(arrow_c.next_batch, stream))
        in_thread(arrow_c.release_stream, stream)
        del partial
        gc.collect()
        assert arrow_rows(reader.to_arrow()) == expected
        assert arrow_rows(pa.table(reader)) == expected
        assert len(list(reader)) == len(expected)


def test_several_streams_of_one_reader_interleave_and_run_in_threads(tmp_path):
    with open_reader(tmp_path, "several_groups", batch_rows=7) as reader:
        expected = arrow_rows(reader.to_arrow())
        streams = [pa.RecordBatchReader.from_stream(reader) for _ in range(3)]
        batches = [[] for _ in streams]
        for _ in range(len(expected) // 7 + 1):
            for stream, got in zip(streams, batches):
                try:
                    got.append(stream.read_next_batch())
                except StopIteration:
                    pass
        for got in batches:
            assert arrow_rows(pa.Table.from_batches(got)) == expected
        results = []
        threads = [threading.Thread(target=lambda: results.append(arrow_rows(pa.table(reader)))) for _ in range(4)]
        for thread in threads:
            thread.start()
        iterated = [m.arbitration_id for m in reader]
        for thread in threads:
            thread.join()
        assert results == [expected] * 4
        assert iterated == [row[1] for row in expected]


def test_a_close_during_a_table_read_leaves_open_streams_reading(tmp_path):
    """The recording is shared by a running table read (a hold) and a
    stream: a close in between frees it for neither; the stream reads on."""
    path = tmp_path / "large.mf4"
    mr.write_large(str(path), 60_000)
    reader = mod.MdfFile(str(path), batch_rows=4096)
    expected = reader.to_arrow().column("arbitration_id")
    stream = pa.RecordBatchReader.from_stream(reader)
    first = stream.read_next_batch()
    outcome = []

    def read():
        try:
            outcome.append(reader.to_arrow().num_rows)
        except RuntimeError as error:
            outcome.append(str(error))

    reading = threading.Thread(target=read)
    reading.start()
    reader.close()
    reading.join()
    assert outcome[0] in (len(expected), "Handle has been closed")
    rest = stream.read_all()
    assert first.column("arbitration_id").to_pylist() + rest.column("arbitration_id").to_pylist() == \
        expected.to_pylist()


def test_a_stream_keeps_the_recording_it_began_with_when_the_reader_is_reopened(tmp_path):
    first, _ = named("plain")(tmp_path)
    second, _ = named("several_groups")(tmp_path)
    reader = mod.MdfFile(first, batch_rows=3)
    expected = arrow_rows(reader.to_arrow())
    stream = pa.RecordBatchReader.from_stream(reader)
    reader.__init__(second)
    assert arrow_rows(stream.read_all()) == expected
    assert len(arrow_rows(pa.table(reader))) == reader.to_arrow().num_rows != len(expected)
    reader.close()


class FailingFile(io.BytesIO):
    """Fails once `budget` reads are spent."""

    def __init__(self, data, budget):
        super().__init__(data)
        self.budget = budget

    def read(self, *args):
        self.budget -= 1
        if self.budget < 0:
            raise OSError("the disk went away")
        return super().read(*args)


def test_a_file_object_that_fails_ends_the_stream_with_its_error(tmp_path):
    # Larger than the reader's window of a file object, so that reading
    # the frames calls read() again.
    path = tmp_path / "large.mf4"
    mr.write_large(str(path), 5000)
    source = FailingFile(path.read_bytes(), 10**6)
    reader = mod.MdfFile(source, batch_rows=100)
    source.budget = 3
    with pytest.raises(OSError, match="the disk went away"):
        pa.RecordBatchReader.from_stream(reader).read_all()
    reader.close()


# -- scan_polars --------------------------------------------------------------------


@pytest.fixture(autouse=False)
def plugins():
    pytest.importorskip("polars.io.plugins")


@pytest.fixture(scope="module")
def scanned(tmp_path_factory):
    """The python-can recording of random frames (standard, extended, FD,
    remote and error frames on three buses) and its whole table."""
    pytest.importorskip("asammdf", reason="python-can's MF4Writer, which writes the recording, needs asammdf")
    from recordings import python_can_messages, write_python_can

    path = tmp_path_factory.mktemp("scan") / "scan.mf4"
    write_python_can(path, python_can_messages(3000), 0)
    with mod.MdfFile(str(path), any_writer=True) as reader:
        whole = reader.to_polars()
    return str(path), whole


def predicates(whole):
    c, t, ch = pl.col("arbitration_id"), pl.col("timestamp"), pl.col("channel")
    ids = whole["arbitration_id"].to_list()
    times = whole["timestamp"].to_list()
    some, low, high = ids[10], sorted(ids)[len(ids) // 4], sorted(ids)[len(ids) // 2]
    first, last = times[len(times) // 5], times[len(times) // 2]
    return {
        "id ==": (c == some, True),
        "literal == id": (pl.lit(some) == c, True),
        "id is_in": (c.is_in(ids[:20]), True),
        "id <": (c < low, True),
        "id <=": (c <= low, True),
        "id >": (c > high, True),
        "id >=": (c >= high, True),
        **{f"id is_between {closed}": (c.is_between(low, high, closed=closed), True)
           for closed in ("both", "left", "right", "none")},
        "extended": (pl.col("is_extended_id"), True),
        "not extended": (~pl.col("is_extended_id"), True),
        "extended == False": (pl.col("is_extended_id") == False, True),  # noqa: E712
        "channel ==": (ch == "CAN 2", True),
        "channel is_in": (ch.is_in(["CAN 1", "CAN 3"]), True),
        "time is_between": (t.is_between(first, last), True),
        "time window": ((t >= first) & (t < last), True),
        "time ==": (t == times[7], True),
        "time <=": (t <= first, True),
        "time > alone (NaN sorts above)": (t > last, True),
        "id & channel & extended & time": ((c < high) & (ch == "CAN 1") & ~pl.col("is_extended_id") & (t < last),
                                           True),
        "contradiction": ((c == some) & (c == some + 1), True),
        "no such id": (c == 0x7FFFFFFF, True),
        "or": ((c == some) | (ch == "CAN 1"), False),
        "dlc": (pl.col("dlc") > 3, False),
        "flag other than extended": (pl.col("is_fd"), False),
    }


def test_scan_polars_predicates_equal_polars_own_filter(plugins, scanned):
    path, whole = scanned
    lazy = mod.scan_polars(path, any_writer=True, batch_rows=128)
    for name, (predicate, pushed) in predicates(whole).items():
        expected = whole.filter(predicate)
        assert lazy.filter(predicate).collect().equals(expected), name
        selection = scan.read_predicate(predicate)
        assert (selection is not None) == pushed, name
        projected = lazy.filter(predicate).select("dlc", "data").collect()
        assert projected.equals(expected.select("dlc", "data")), name


def test_pushed_predicates_become_the_readers_filters(scanned):
    path, whole = scanned
    c = pl.col("arbitration_id")
    some = whole["arbitration_id"][10]
    keywords = scan.reader_keywords(scan.read_predicate((c == some) & (pl.col("channel") == "CAN 2")), {})
    assert keywords["can_filters"] == [{"can_id": some, "can_mask": 0xFFFFFFFF}]
    assert keywords["channels"] == ["CAN 2"]
    # The reader's own filters then select exactly polars' rows.
    with mod.MdfFile(path, any_writer=True, **keywords) as reader:
        assert reader.to_polars().equals(whole.filter((c == some) & (pl.col("channel") == "CAN 2")))
    # A lower time bound alone stays with polars (NaN sorts above numbers).
    keywords = scan.reader_keywords(scan.read_predicate(pl.col("timestamp") > 5.0), {})
    assert keywords["start"] is None


@pytest.mark.parametrize("low, high", [(0, 0), (0, 0xFFFFFFFF), (5, 5), (3, 100), (0x7FF, 0x800), (1, 0x1FFFFFFE)])
def test_identifier_ranges_become_exact_filters(low, high):
    pairs = scan.id_filters([(low, high)])
    assert len(pairs) <= 64
    probes = {low, high, low - 1, high + 1, (low + high) // 2, 0, 0xFFFFFFFF}
    for value in probes:
        if 0 <= value <= 0xFFFFFFFF:
            matched = any((can_id ^ value) & mask == 0 for can_id, mask in pairs)
            assert matched == (low <= value <= high), hex(value)


def test_scan_polars_keywords_combine_with_predicates(plugins, scanned):
    path, whole = scanned
    ch = pl.col("channel")
    lazy = mod.scan_polars(path, any_writer=True, channels=["CAN 1", "CAN 2"],
                           can_filters=[{"can_id": 0, "can_mask": 0, "extended": False}])
    given = whole.filter(ch.is_in(["CAN 1", "CAN 2"]) & ~pl.col("is_extended_id"))
    assert lazy.collect().equals(given)
    assert lazy.filter(ch == "CAN 2").collect().equals(given.filter(ch == "CAN 2"))
    assert lazy.filter(ch == "CAN 3").collect().height == 0
    assert lazy.filter(pl.col("arbitration_id") < 0x100).collect().equals(
        given.filter(pl.col("arbitration_id") < 0x100))


def test_scan_polars_row_limits_and_projections(plugins, scanned):
    path, whole = scanned
    lazy = mod.scan_polars(path, any_writer=True, batch_rows=100)
    assert lazy.head(250).collect().equals(whole.head(250))
    assert lazy.select("channel", "timestamp").head(3).collect().equals(whole.select("channel", "timestamp").head(3))
    assert lazy.filter(pl.col("dlc") == 8).head(5).collect().equals(whole.filter(pl.col("dlc") == 8).head(5))
    assert lazy.select(pl.len()).collect().item() == whole.height
    assert lazy.collect().equals(whole)


def test_scan_polars_refuses_what_the_reader_refuses(plugins, tmp_path):
    with pytest.raises(FileNotFoundError):
        mod.scan_polars(str(tmp_path / "missing.mf4"))
    source, _ = named("plain")(tmp_path)
    with pytest.raises(ValueError, match="batch_rows"):
        mod.scan_polars(source, batch_rows=0)


@pytest.mark.parametrize("call", ["reader.to_polars()", "mod.scan_polars(path)"])
def test_missing_polars_names_the_extra(tmp_path, call):
    source, _ = named("plain")(tmp_path)
    code = textwrap.dedent(f"""
        import sys
        sys.modules["polars"] = None
        import python_can_tolvar_mf4 as mod
        path = {source!r}
        reader = mod.MdfFile(path)
        try:
            {call}
        except ImportError as error:
            print(error)
        # The stream itself needs no package.
        print(reader.__arrow_c_stream__() is not None)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}).stdout
    assert "pip install python_can_tolvar_mf4[polars]" in out and "True" in out


# -- Parquet from the command line --------------------------------------------------


PARQUET_CASES = {
    "every frame, LIN too": ("several_groups", [], {}),
    "other writer": ("python-can, compressed", ["--any-writer"], {"any_writer": True}),
    "channel filter": ("record_ids_2", ["--channel", "CAN 1"], {"channels": ["CAN 1"]}),
    "identifier filter": ("record_ids_1", ["--filter", "10:7F0"], {"can_filters": [{"can_id": 0x10,
                                                                                   "can_mask": 0x7F0}]}),
}


@pytest.mark.parametrize("case", PARQUET_CASES)
def test_parquet_output_reads_back_through_pyarrow_and_duckdb(tmp_path, case):
    import pyarrow.parquet as pq

    kind, options, keywords = PARQUET_CASES[case]
    source, _ = RECORDINGS[kind](tmp_path)
    out = tmp_path / "out" / "frames.parquet"
    out.parent.mkdir()
    result = run_cli(source, "-o", out, *options)
    assert result.returncode == 0, result.stderr
    assert os.listdir(out.parent) == ["frames.parquet"]
    with mod.MdfFile(source, **keywords) as reader:
        expected = arrow_rows(reader.to_arrow())
    assert expected
    assert arrow_rows(pq.read_table(out)) == expected
    counted = dict(duckdb.sql(f"SELECT channel, count(*) FROM read_parquet('{out}') GROUP BY channel").fetchall())
    assert counted == collections.Counter(row[10] for row in expected)
    assert [normal(r) for r in duckdb.sql(f"SELECT * FROM read_parquet('{out}')").fetchall()] == expected


@pytest.mark.parametrize("name, told", [
    ("frames.parquet.gz", "Parquet compresses its own columns"),
])
def test_parquet_outputs_refused_leave_nothing(tmp_path, name, told):
    source, _ = named("plain")(tmp_path)
    out = tmp_path / "out"
    out.mkdir()
    result = run_cli(source, "-o", out / name)
    assert result.returncode == 1 and told in result.stderr and result.stderr.count("\n") == 1
    assert os.listdir(out) == []


def test_a_recording_that_fails_half_way_leaves_no_parquet_file(tmp_path):
    source, _ = named("lin_errors")(tmp_path)
    out = tmp_path / "out"
    out.mkdir()
    result = run_cli(source, "-o", out / "frames.parquet")
    assert result.returncode == 1 and "Unknown bus type" in result.stderr
    assert os.listdir(out) == []
