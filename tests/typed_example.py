"""Uses every public name of the module as a typed program would; the test
command checks it with mypy --strict and pyright, and test_module.py runs it."""

from __future__ import annotations

import io
import pathlib
from typing import TYPE_CHECKING, Dict, Iterator, List, Optional

import can
import can.typechecking

import python_can_tolvar_mf4 as mf4
from python_can_tolvar_mf4 import CanMsgExtension, MdfFile, MdfFileIterator

if TYPE_CHECKING:
    from python_can_tolvar_mf4 import MetadataProperty


def units(metadata: Dict[str, MetadataProperty]) -> Dict[str, str]:
    return {path: prop["unit"].upper() for path, prop in metadata.items() if not prop["read_only"]}


def summary(path: pathlib.Path, passwords: Dict[str, str]) -> List[str]:
    lines: List[str] = []
    with MdfFile(path, passwords=passwords) as reader:
        total: int = reader.get_record_count()
        frames: Iterator[CanMsgExtension] = iter(reader)
        first: CanMsgExtension = next(frames)
        later: can.Message = next(frames)
        ordered: bool = first <= later and first != later or first == later
        channel = first.channel
        lines.append(f"{total} records, first on {channel!r}, ordered: {ordered}")
        for prop_path, prop in reader.get_metadata().items():
            value: str = prop["value_raw"]
            kind: str = prop["value_type"]
            lines.append(f"{prop_path} [{prop['name']}: {prop['description']}] = {value} ({kind})")
        lines.extend(f"{k} in {v}" for k, v in units(reader.get_metadata()).items())
        reader.stop()
    with open(path, "rb") as f:
        from_file = mf4.MdfFile(f)
        data: bytes = bytes(next(iter(from_file)).data)
        from_file.close()
    from_memory = MdfFile(io.BytesIO(path.read_bytes()))
    lines.append(f"{len(data)} bytes; {sum(1 for _ in from_memory)} frames from memory")
    from_memory.close()
    return lines


def window(path: pathlib.Path, filters: can.typechecking.CanFilters) -> List[str]:
    """Filters, tables and other writers' recordings, as a typed program uses them."""
    with MdfFile(path) as whole:
        origin: float = whole.start_timestamp
    with MdfFile(path, any_writer=True, can_filters=filters, channels=("CAN 1", "LIN 1"),
                 start=origin, stop=origin + 60.0) as reader:
        frames = sum(1 for _ in reader)
        read: List[Optional[int]] = reader.records_read
        assert all(count is None or count >= 0 for count in read)
        if not has_table_packages():
            return [f"{frames} frames in the first minute"]
        columns = reader.to_numpy()
        frame = reader.to_pandas(data="bytes")
        table = reader.to_arrow()
        ids = reader.to_pandas(columns=["arbitration_id"])
        assert len(ids) == len(frame) == len(reader.to_numpy(columns=("dlc",))["dlc"])
        assert reader.to_arrow(columns=["channel"]).num_rows == table.num_rows
        rows: int = len(columns["timestamp"])
        return [f"{frames} frames in the first minute; tables of {rows}, {len(frame)} and {table.num_rows} rows"]


def decoded(path: pathlib.Path, dbc: pathlib.Path) -> List[str]:
    """Signals decoded with a CAN database, as a typed program uses them."""
    import cantools

    database = cantools.database.load_file(str(dbc))
    # load_file may give a diagnostics database, which holds no CAN messages.
    assert isinstance(database, cantools.database.can.Database)
    with MdfFile(path) as reader:
        arrays = reader.decode_to_numpy(str(dbc), signals=["Speed"])
        frames = reader.decode_to_pandas({"CAN 3": database}, choices=True)
        tables = reader.decode_to_arrow(dbc, signals=("Engine.Gear", "Voltage"))
        streamed = {key: sum(b.num_rows for b in reader.decoded_batches(dbc, key)) for key in tables}
    lines: List[str] = []
    for key, columns in arrays.items():
        speeds: List[float] = [float(v) for v in columns["Speed"]]
        lines.append(f"{key}: {len(speeds)} rows of {', '.join(columns)}")
    lines.extend(f"{key}: {len(frame)} rows of {', '.join(map(str, frame.columns))}" for key, frame in frames.items())
    lines.extend(f"{key}: {table.num_rows} rows of {', '.join(table.column_names)}" for key, table in tables.items())
    lines.extend(f"{key}: {rows} rows streamed" for key, rows in streamed.items())
    return lines


def streams(path: pathlib.Path) -> List[str]:
    """Record batches through pyarrow and polars, as a typed program reads them."""
    import importlib.util

    if not all(importlib.util.find_spec(name) is not None for name in ("pyarrow", "polars")):
        return ["no pyarrow or polars"]
    import polars as pl

    with MdfFile(path, batch_rows=4096) as reader:
        rows: int = reader.batch_rows
        capsule: object = reader.__arrow_c_stream__()
        schema: object = reader.__arrow_c_schema__()
        batches = sum(1 for _ in reader.iter_batches(columns=["timestamp", "channel"]))
        frame: pl.DataFrame = reader.to_polars()
    lazy: pl.LazyFrame = mf4.scan_polars(path, channels=["CAN 1"], batch_rows=1024)
    kept = lazy.filter(pl.col("arbitration_id") < 0x100).collect()
    return [f"{batches} batches of at most {rows} rows, {frame.height} frames, {kept.height} kept; "
            f"{capsule is not None and schema is not None}"]


def fleet(folder: pathlib.Path) -> List[str]:
    """A folder of recordings as one Dataset: its files, a dask table, the
    Arrow stream and the sessions, as a typed program uses them."""
    dataset = mf4.Dataset(folder, errors="skip", any_writer=True)
    lines = [f"{len(dataset)} files, {len(dataset.skipped)} skipped, first {dataset.paths[:1]}"]
    try:
        mf4.Dataset([folder / "missing.mf4"])
    except mf4.DatasetError as error:
        lines.append(f"{error.path}: {error.reason}")
    capsule: object = dataset.__arrow_c_stream__()
    frames = dataset.to_dask()
    counts = frames.groupby("file", observed=True).size().compute(scheduler="sync")
    lines.append(f"{len(counts)} files with frames; stream {capsule is not None}")
    sessions: List[mf4.Session] = dataset.sessions(gap=30.0)
    for session in sessions:
        seams: List[mf4.Seam] = session.seams
        overlap: float = sum(s.overlap for s in seams)
        merged = sum(1 for _ in session)
        paths = {path for path, _ in session.iter_with_files()}
        assert sum(b.num_rows for b in session.iter_batches()) == merged
        lines.append(f"{len(session)} files, {merged} frames from {len(paths)}, {overlap:.3f} s overlap")
    return lines


def has_table_packages() -> bool:
    import importlib.util

    return all(importlib.util.find_spec(name) is not None for name in ("numpy", "pandas", "pyarrow"))


def is_group_iterator(value: object) -> bool:
    return isinstance(value, MdfFileIterator)


if __name__ == "__main__":
    import sys

    print("\n".join(summary(pathlib.Path(sys.argv[1]), {})))
    print("\n".join(window(pathlib.Path(sys.argv[1]), [{"can_id": 0x100, "can_mask": 0x700}])))
    print("\n".join(streams(pathlib.Path(sys.argv[1]))))
