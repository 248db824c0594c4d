"""Many recordings as one: Dataset over a folder of recordings of several
writers and layouts (some layered, one damaged, one no recording), its
dask DataFrame on the threaded scheduler and on a LocalCluster of worker
processes, the projection reaching the reader, the Arrow stream of every
file, and sessions made by splitting one recording rejoining to it."""

import logging
import math
import random

import pytest

import make_recordings as mr
import mdf_writer as mw
import python_can_tolvar_mf4 as mod
from layer_tools import compressed_layer, encrypted_layer
from mdf_writer import CanFrame, Md, RecordingWriter
from signal_databases import VEHICLE_DBC

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
dd = pytest.importorskip("dask.dataframe")
parts = pytest.importorskip("python_can_tolvar_mf4_dataset.parts")

PASSWORD = "fleet-Pa55"
KEYWORDS = {"any_writer": True, "passwords": {"default": PASSWORD}}
NAMED = ("plain", "record_ids_1", "record_ids_4", "vlsd", "sd", "several_groups", "composed", "conversions",
         "metadata", "single_group_with_ids")


def vehicle(index, count=40):
    """A recording of the fleet: random frames and the Engine message (0x200)
    of VEHICLE_DBC on CAN 1, its own start time."""
    rnd = random.Random(index)
    w = RecordingWriter(mr.START_NS + index * 3_600 * mw.NANOSECONDS)
    g = w.data_group(record_id_size=1)
    mr._all_events(g)
    frames = mr._frames(index, count, "cfrel")
    for f in frames[::4]:
        frames.append(CanFrame(f.timestamp + 0.0001, 0x200, bytes(rnd.randrange(256) for _ in range(8)), channel=1))
    g.add_frames(sorted(frames, key=lambda f: f.timestamp))
    return w.build().to_bytes()


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    """40 recordings below one folder (some in sub-folders): written by the
    test writer in its shapes, layered (compressed, encrypted), by
    python-can where it can write them; one damaged, one no recording; plus a file that is no
    *.mf4 (not taken)."""
    root = tmp_path_factory.mktemp("fleet")
    (root / "day2").mkdir()
    damaged = []
    for i in range(37):
        folder = root if i % 3 else root / "day2"
        path = folder / f"rec{i:02d}.mf4"
        if i < len(NAMED):
            data = mr.build(NAMED[i])[1]
        else:
            data = vehicle(i)
        if i % 7 == 3:
            data = compressed_layer(data)
        elif i % 7 == 5:
            data = encrypted_layer(compressed_layer(data), PASSWORD)
        path.write_bytes(data)
    from recordings import python_can_messages, write_python_can
    try:
        write_python_can(root / "rec37.mf4", python_can_messages(60), 0)
    except NotImplementedError:  # python-can writes .mf4 through asammdf only
        (root / "rec37.mf4").write_bytes(vehicle(37))
    whole = vehicle(99)
    (root / "rec38.mf4").write_bytes(whole[:len(whole) // 3])
    damaged.append(str(root / "rec38.mf4"))
    (root / "rec39.mf4").write_text("no recording at all\n" * 20)
    damaged.append(str(root / "rec39.mf4"))
    (root / "notes.txt").write_text("not read")
    (root / "vehicle.dbc").write_text(VEHICLE_DBC)
    return root, damaged


@pytest.fixture(scope="module")
def dataset(fleet):
    root, _ = fleet
    return mod.Dataset(root, errors="skip", **KEYWORDS)


def expected_frames(dataset, columns=None):
    """Each file's own to_pandas() with its file column, concatenated."""
    tables = []
    for path in dataset.paths:
        with mod.MdfFile(path, **KEYWORDS) as reader:
            table = reader.to_pandas() if columns is None else reader.to_pandas(columns=columns)
        table["file"] = path
        tables.append(table)
    return pd.concat(tables, ignore_index=True)


def comparable(table):
    """Categoricals as text and payloads as bytes: files have their own
    channel categories."""
    out = table.reset_index(drop=True).copy()
    for name in ("channel", "file"):
        if name in out.columns:
            out[name] = out[name].astype(str)
    if "data" in out.columns:
        out["data"] = [bytes(v) for v in out["data"]]
    return out


def test_files_skip_lists_the_damaged_ones(fleet, dataset):
    root, damaged = fleet
    assert len(dataset) == 38
    assert sorted(dataset.skipped["path"]) == sorted(damaged)
    assert all(dataset.skipped["reason"].str.contains("Could not open data source"))
    files = dataset.files
    assert list(files["path"]) == sorted(files["path"]) and not any(p.endswith(".txt") for p in files["path"])
    assert list(files.columns) == ["path", "start_timestamp", "stop_timestamp", "record_count", "logger", "session"]
    for row in files.itertuples():
        with mod.MdfFile(row.path, **KEYWORDS) as reader:
            assert row.start_timestamp == reader.start_timestamp
            assert row.record_count == reader.get_record_count()
    # The metadata recording names its logger; stop times wait for a read.
    assert list(files.loc[files["path"].str.endswith("rec08.mf4"), "logger"]) == ["A-17"]
    assert files["stop_timestamp"].isna().all()


def test_errors_raise_names_the_file(fleet):
    root, damaged = fleet
    with pytest.raises(mod.DatasetError, match="rec38.mf4: RuntimeError: Could not open data source") as caught:
        mod.Dataset(root, **KEYWORDS)
    assert caught.value.path == damaged[0] and isinstance(caught.value.__cause__, RuntimeError)


@pytest.mark.parametrize("source, count", [
    (lambda root: str(root / "day2" / "*.mf4"), 13),
    (lambda root: str(root / "**" / "rec0?.mf4"), 10),
    (lambda root: [root / "rec01.mf4", str(root / "rec02.mf4")], 2),
    (lambda root: root / "rec01.mf4", 1),
])
def test_sources(fleet, source, count):
    root, _ = fleet
    assert len(mod.Dataset(source(root), errors="skip", **KEYWORDS)) == count


def test_a_file_named_like_a_glob_is_taken_as_named(fleet, tmp_path):
    odd = tmp_path / "[a].mf4"
    odd.write_bytes((fleet[0] / "rec01.mf4").read_bytes())
    (tmp_path / "a.mf4").write_bytes(odd.read_bytes())
    # As a glob, "[a].mf4" would match a.mf4 alone.
    assert mod.Dataset(str(odd)).paths == [str(odd)]


@pytest.mark.parametrize("call, error, message", [
    (lambda root: mod.Dataset(root, errors="ignore"), ValueError, "errors must be"),
    (lambda root: mod.Dataset(root, columns=["x"]), TypeError, "unexpected keyword argument 'columns'"),
    (lambda root: mod.Dataset(root / "missing"), FileNotFoundError, "no folder, file or glob"),
    (lambda root: mod.Dataset([root / "rec01.mf4", 3]), TypeError, "every path must be"),
    (lambda root: mod.Dataset(root, errors="skip", channels="CAN 1"), TypeError, "not a single str"),
    (lambda root: mod.Dataset(str(root / "*.none")).to_dask(), ValueError, "no file to read"),
])
def test_argument_errors(fleet, call, error, message):
    root, _ = fleet
    with pytest.raises(error, match=message):
        call(root)


def test_to_dask_threads_equals_each_files_table(dataset):
    frame = dataset.to_dask()
    assert frame.npartitions == len(dataset.paths)
    assert list(frame.columns) == list(parts.FRAME_COLUMNS) + ["file"]
    got = frame.compute(scheduler="threads")
    assert list(got["file"].cat.categories) == dataset.paths
    pd.testing.assert_frame_equal(comparable(got), comparable(expected_frames(dataset)))


def test_to_dask_on_a_local_cluster_of_processes(dataset):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  scheduler_port=0) as cluster, distributed.Client(cluster) as client:
        frame = dataset.to_dask()
        got = client.compute(frame).result()
        counts = client.compute(frame[frame["channel"] == "CAN 1"].groupby("file", observed=True).size()).result()
    expected = expected_frames(dataset)
    pd.testing.assert_frame_equal(comparable(got), comparable(expected))
    wanted = expected[expected["channel"] == "CAN 1"].groupby("file").size()
    assert counts.sort_index().to_dict() == wanted[wanted > 0].sort_index().to_dict()


class Watched:
    """A reader that records the keywords of every table call."""

    calls = []

    def __init__(self, reader):
        self.reader = reader

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.reader.close()

    def to_pandas(self, **keywords):
        Watched.calls.append(keywords)
        return self.reader.to_pandas(**keywords)


@pytest.mark.parametrize("select, asked", [
    (lambda f: f[["arbitration_id", "file"]], ["arbitration_id"]),
    (lambda f: f[f["dlc"] > 4]["timestamp"], ["timestamp", "dlc"]),
    (lambda f: f.groupby("file", observed=True)["channel"].count(), ["channel"]),
    (lambda f: f["file"], ["timestamp"]),
])
def test_projection_reaches_the_reader(dataset, monkeypatch, select, asked):
    opened = parts.open_reader
    monkeypatch.setattr(parts, "open_reader", lambda path, keywords: Watched(opened(path, keywords)))
    Watched.calls.clear()
    got = select(dataset.to_dask()).compute(scheduler="sync")
    assert len(Watched.calls) == len(dataset.paths)
    assert all(sorted(c["columns"]) == sorted(asked) for c in Watched.calls), Watched.calls[0]
    everything = dataset.to_dask().compute(scheduler="sync")
    expected = pd.DataFrame(select(everything)).sort_index(kind="stable")
    pd.testing.assert_frame_equal(comparable(pd.DataFrame(got).sort_index(kind="stable")), comparable(expected))


@pytest.mark.parametrize("columns", [["data"], ["channel", "timestamp"], ["is_fd", "dlc", "is_rx"]])
@pytest.mark.parametrize("kind", ["to_pandas", "to_arrow", "to_numpy"])
def test_table_columns_keyword(dataset, kind, columns):
    """Only the columns named, in table order, equal to the whole table's."""
    path = dataset.paths[5]
    with mod.MdfFile(path, **KEYWORDS) as reader:
        chosen = getattr(reader, kind)(columns=columns)
        whole = getattr(reader, kind)()
    in_order = [c for c in parts.FRAME_COLUMNS if c in columns]
    if kind == "to_numpy":
        assert list(chosen) == in_order
        for c in in_order:
            assert (chosen[c] == whole[c]).all()
    elif kind == "to_arrow":
        assert chosen.column_names == in_order and chosen.equals(whole.select(in_order))
    else:
        assert list(chosen.columns) == in_order
        pd.testing.assert_frame_equal(comparable(chosen), comparable(whole[in_order]))


@pytest.mark.parametrize("columns, error, message", [
    ("timestamp", TypeError, "not a single str"),
    (["timestamp", "nope"], ValueError, "no column 'nope'"),
    ([], ValueError, "at least one column"),
])
def test_table_columns_errors(sample, columns, error, message):
    with mod.MdfFile(str(sample[0])) as reader:
        with pytest.raises(error, match=message):
            reader.to_pandas(columns=columns)


def test_arrow_stream_file_by_file(dataset):
    reader = pa.RecordBatchReader.from_stream(dataset)
    seen = []
    for batch in reader:
        codes = batch.column("file").indices.to_numpy()
        assert len(set(codes)) <= 1
        seen.extend(set(codes))
    assert seen == sorted(seen)
    table = pa.table(dataset)
    expected = expected_frames(dataset)
    got = table.to_pandas()
    assert len(got) == len(expected)
    assert (got["file"].astype(str) == expected["file"]).all()
    assert (got["arbitration_id"].to_numpy() == expected["arbitration_id"].to_numpy()).all()


def test_arrow_stream_in_duckdb(dataset):
    duckdb = pytest.importorskip("duckdb")
    stream = pa.RecordBatchReader.from_stream(dataset)
    counts = duckdb.sql("select file, count(*) as n from stream group by file").df()
    expected = expected_frames(dataset).groupby("file").size()
    assert dict(zip(counts["file"], counts["n"])) == {k: v for k, v in expected.items() if v}


def test_arrow_stream_in_polars(dataset):
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame(dataset)
    expected = expected_frames(dataset)
    assert frame.height == len(expected)
    assert frame["file"].cast(pl.Utf8).to_list() == list(expected["file"])
    assert frame["data"].to_list() == [bytes(v) for v in expected["data"]]


def test_empty_dataset_streams_its_schema(tmp_path):
    table = pa.table(mod.Dataset(str(tmp_path / "*.mf4")))
    assert table.num_rows == 0 and table.column_names == list(parts.FRAME_COLUMNS) + ["file"]


def test_decode_to_dask(fleet, dataset):
    root, _ = fleet
    database = str(root / "vehicle.dbc")
    got = dataset.decode_to_dask(database, "Engine").compute(scheduler="threads")
    tables = []
    for path in dataset.paths:
        with mod.MdfFile(path, **KEYWORDS) as reader:
            table = reader.decode_to_pandas(database).get("Engine")
        if table is not None:
            table = table.reset_index(drop=True)
            table["file"] = path
            tables.append(table)
    assert len(tables) > 10
    expected = pd.concat(tables, ignore_index=True)
    pd.testing.assert_frame_equal(comparable(got), comparable(expected))
    with pytest.raises(ValueError, match="no file of the dataset has frames of message 'Nope'"):
        dataset.decode_to_dask(database, "Nope")


def test_typed_example_fleet(tmp_path, sample):
    """The typed example's fleet (checked by mypy and pyright) runs."""
    import typed_example

    (tmp_path / "a.mf4").write_bytes(sample[0].read_bytes())
    (tmp_path / "b.mf4").write_bytes(b"MDF     " * 4)
    lines = typed_example.fleet(tmp_path)
    assert lines[0] == f"1 files, 1 skipped, first {[str(tmp_path / 'a.mf4')]!r}"
    assert lines[1].endswith("missing.mf4: FileNotFoundError: [Errno 2] Could not open file: "
                             f"{str(tmp_path / 'missing.mf4')!r}")
    with mod.MdfFile(str(tmp_path / "a.mf4")) as reader:
        frames = sum(1 for _ in reader)
    assert lines[2:] == ["1 files with frames; stream True", f"1 files, {frames} frames from 1, 0.000 s overlap"]


def test_dask_categories(dataset):
    """The files are known categories (a groupby knows its groups), the
    channels are not (each file has its own)."""
    frame = dataset.to_dask()
    assert frame["file"].cat.known and list(frame["file"].cat.categories) == dataset.paths
    assert not frame["channel"].cat.known
    channels = frame["channel"].cat.as_known().cat.categories
    assert set(channels) == set(expected_frames(dataset)["channel"].astype(str))
