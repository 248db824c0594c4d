"""The work a Dataset hands out: reading one file into one table, in a form
that pickles (a module-level class holding only strings and plain values)
so that worker processes and machines of a dask cluster run it, and the
empty tables (meta) that describe the results without reading a file."""

from __future__ import annotations

import os
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

import python_can_tolvar_mf4 as _mf4

# The frame table's columns in table order, as to_pandas() gives them.
FRAME_COLUMNS: Tuple[str, ...] = (
    "timestamp", "arbitration_id", "is_extended_id", "is_remote_frame", "is_error_frame", "is_fd",
    "bitrate_switch", "error_state_indicator", "is_rx", "dlc", "channel", "data",
)
_NUMPY_TYPES = {"timestamp": "float64", "arbitration_id": "uint32", "dlc": "uint8"}

# The reader's keywords a Dataset passes to every file.
READER_KEYWORDS = ("passwords", "any_writer", "can_filters", "channels", "start", "stop", "batch_rows")


def open_reader(path: str, keywords: Dict[str, Any]) -> Any:
    """The reader of one file of a Dataset (one place, so that tests can
    watch what the reader is asked)."""
    return _mf4.MdfFile(path, **keywords)


def chosen_columns(columns: Any) -> List[str]:
    """The names of `columns` (an iterable of names of the frame table or
    `file`), checked as the reader checks its own columns keyword."""
    if isinstance(columns, str):
        raise TypeError("columns must be an iterable of column names, not a single str")
    chosen = list(columns)
    for name in chosen:
        if not isinstance(name, str):
            raise TypeError("columns: every column must be a str")
        if name not in FRAME_COLUMNS and name != "file":
            raise ValueError(f"columns: the frame table has no column {name!r}")
    if not chosen:
        raise ValueError("columns must name at least one column")
    return chosen


def frame_meta(columns: Optional[Sequence[str]] = None) -> Any:
    """An empty frame table with to_pandas()'s dtypes and the `file` column
    (categories left unknown: each file has its own)."""
    import pandas as pd
    import pyarrow as pa

    wanted = FRAME_COLUMNS if columns is None else [c for c in FRAME_COLUMNS if c in columns]
    data: Dict[str, Any] = {}
    for name in wanted:
        if name == "channel":
            data[name] = pd.Series(pd.Categorical([]))
        elif name == "data":
            data[name] = pd.Series([], dtype=pd.ArrowDtype(pa.binary()))
        else:
            data[name] = pd.Series([], dtype=_NUMPY_TYPES.get(name, "bool"))
    if columns is None or "file" in columns:
        data["file"] = pd.Series(pd.Categorical([]))
    return pd.DataFrame(data)


def with_file(table: Any, path: str, paths: Sequence[str]) -> Any:
    """`table` (a pandas DataFrame) with the `file` column: one category per
    file of the dataset, so that every partition has the same ones."""
    import numpy as np
    import pandas as pd

    codes = np.full(len(table), paths.index(path), dtype=np.int32)
    table["file"] = pd.Categorical.from_codes(codes, categories=list(paths))
    return table


class FrameReader:
    """One partition of Dataset.to_dask(): the frame table of the file at a
    path, with the file column. dask passes the columns it needs (its
    column projection, through the `columns` keyword); only those are read.
    Holds the reader's keywords and the dataset's paths only: it pickles."""

    def __init__(self, keywords: Dict[str, Any], paths: Sequence[str]):
        self.keywords = dict(keywords)
        self.paths = list(paths)

    @staticmethod
    def reader_columns(columns: Optional[Sequence[str]]) -> Optional[List[str]]:
        """The frame columns to ask the reader for (None: all of them)."""
        if columns is None:
            return None
        chosen = [c for c in FRAME_COLUMNS if c in columns]
        # A table of the file column alone still needs its rows counted.
        return chosen or ["timestamp"]

    def __call__(self, path: str, columns: Optional[Sequence[str]] = None) -> Any:
        wanted = self.reader_columns(columns)
        with open_reader(path, self.keywords) as reader:
            table = reader.to_pandas() if wanted is None else reader.to_pandas(columns=wanted)
        table = with_file(table, path, self.paths)
        if columns is not None:
            table = table[list(columns)]
        return table


class SignalReader:
    """One partition of Dataset.decode_to_dask(): one message's signal table
    of the file at a path, with the file column. The database is a path (it
    pickles as a string) or an object that pickles."""

    def __init__(self, keywords: Dict[str, Any], paths: Sequence[str], database: Any, message: str,
                 decode_keywords: Dict[str, Any]):
        self.keywords = dict(keywords)
        self.paths = list(paths)
        self.database = os.fspath(database) if isinstance(database, os.PathLike) else database
        self.message = message
        self.decode_keywords = dict(decode_keywords)
        # The empty table of the message (its columns and types), for a
        # file without frames of it.
        self.empty: Any = None

    def table(self, path: str) -> Any:
        """The message's table of one file, None where the file has no frame
        of it."""
        with open_reader(path, self.keywords) as reader:
            tables = reader.decode_to_pandas(self.database, **self.decode_keywords)
        return tables.get(self.message)

    def __call__(self, path: str) -> Any:
        table = self.table(path)
        if table is None:
            if self.empty is None:
                raise ValueError(f"no file of the dataset has frames of message {self.message!r}")
            table = self.empty.copy()
        return with_file(table.reset_index(drop=True), path, self.paths)


def arrow_batches(paths: Sequence[str], keywords: Dict[str, Any], columns: Optional[Sequence[str]],
                  file_index: Optional[Tuple[int, Sequence[str]]] = None) -> Iterator[Any]:
    """Every file's record batches one after another, each with the file
    column (a dictionary of every path, the same in every batch): one
    file's stream open at a time, a batch at a time. file_index (index,
    every path): `paths` is the one file at that index of a longer list,
    whose dictionary the file column takes."""
    import numpy as np
    import pyarrow as pa

    first, every = file_index if file_index is not None else (0, paths)
    dictionary = pa.array(list(every), pa.string())
    for index, path in enumerate(paths, start=first):
        with open_reader(path, keywords) as reader:
            for batch in reader.iter_batches(columns=columns):
                codes = pa.array(np.full(batch.num_rows, index, dtype=np.int32))
                file_column = pa.DictionaryArray.from_arrays(codes, dictionary)
                yield pa.RecordBatch.from_arrays(batch.columns + [file_column],
                                                 names=batch.schema.names + ["file"])


def arrow_schema(columns: Optional[Sequence[str]]) -> Any:
    """The schema of arrow_batches(): iter_batches()' columns and the file
    column."""
    import pyarrow as pa

    frame = pa.schema([
        ("timestamp", pa.float64()), ("arbitration_id", pa.uint32()), ("is_extended_id", pa.bool_()),
        ("is_remote_frame", pa.bool_()), ("is_error_frame", pa.bool_()), ("is_fd", pa.bool_()),
        ("bitrate_switch", pa.bool_()), ("error_state_indicator", pa.bool_()), ("is_rx", pa.bool_()),
        ("dlc", pa.uint8()), ("channel", pa.dictionary(pa.int16(), pa.string())), ("data", pa.binary()),
    ])
    fields = [f for f in frame if columns is None or f.name in columns]
    return pa.schema(fields + [pa.field("file", pa.dictionary(pa.int32(), pa.string()))])
