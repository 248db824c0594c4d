"""python_can_tolvar_mf4.Dataset: many recordings read as one.

A Dataset is a list of recordings (a folder, a glob pattern or the paths
given) read with the same reader keywords. Opening it reads each file's
header only; its tables are built one file at a time: a dask DataFrame of
one partition per file (to_dask, decode_to_dask), an Arrow stream of every
file's batches one after another (__arrow_c_stream__), and the files that
continue each other grouped into sessions, each read as one recording."""

from __future__ import annotations

import glob
import logging
import math
import os
from typing import Any, Dict, Iterable, List, Optional, Sequence, Union

from . import parts
from .sessions import Seam, Session, group_sessions

__all__ = ["Dataset", "DatasetError", "Session", "Seam"]

_LOG = logging.getLogger("python_can_tolvar_mf4")

# The metadata properties that name the logger and the session, by the
# property's own name (the last part of its path), compared without case,
# '_', '-' and spaces: the first that a recording has is taken.
LOGGER_PROPERTIES = ("serial", "serialnumber", "loggerserial", "logger", "loggerid", "deviceid")
SESSION_PROPERTIES = ("session", "sessionid", "sessionnumber", "measurementid")

_GLOB_CHARACTERS = frozenset("*?[")


class DatasetError(RuntimeError):
    """A file of a Dataset that did not open (errors="raise"): the path and
    the reader's reason; the reader's exception is its __cause__."""

    def __init__(self, path: str, reason: str):
        super().__init__(f"{path}: {reason}")
        self.path = path
        self.reason = reason


def find_files(source: Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]]) -> List[str]:
    """The paths of `source`: a folder (every *.mf4 below it, sorted), a
    glob pattern (its matches, sorted), one file, or an iterable of paths
    (kept in the order given)."""
    if isinstance(source, (bytes, bytearray)):
        raise TypeError("source must be a folder, a glob pattern or an iterable of paths, not bytes")
    if isinstance(source, (str, os.PathLike)):
        text = os.fspath(source)
        if os.path.isdir(text):
            found = []
            for folder, _, names in os.walk(text):
                found.extend(os.path.join(folder, n) for n in names if n.lower().endswith(".mf4"))
            return sorted(found)
        # A file is taken as named, even where its name has glob characters.
        if os.path.exists(text):
            return [text]
        if _GLOB_CHARACTERS & set(text):
            return sorted(p for p in glob.glob(text, recursive=True) if os.path.isfile(p))
        raise FileNotFoundError(f"no folder, file or glob matches at {text!r}")
    paths = []
    for item in source:
        if not isinstance(item, (str, os.PathLike)):
            raise TypeError(f"source: every path must be a str or os.PathLike, not {type(item).__name__}")
        paths.append(os.fspath(item))
    return paths


def _property(metadata: Dict[str, Any], names: Sequence[str]) -> Optional[str]:
    wanted = {n: i for i, n in enumerate(names)}
    best = None
    for prop in metadata.values():
        key = "".join(c for c in str(prop.get("name", "")).lower() if c not in "_- ")
        if key in wanted and (best is None or wanted[key] < best[0]):
            best = (wanted[key], str(prop.get("value_raw", "")))
    return None if best is None else best[1]


class _FileInfo:
    __slots__ = ("path", "start_timestamp", "stop_timestamp", "first_timestamp", "record_count", "logger",
                 "session", "times_read")

    def __init__(self, path: str, reader: Any):
        self.path = path
        self.start_timestamp = float(reader.start_timestamp)
        self.record_count = int(reader.get_record_count())
        metadata = reader.get_metadata()
        self.logger = _property(metadata, LOGGER_PROPERTIES)
        self.session = _property(metadata, SESSION_PROPERTIES)
        # The recording states no end: known after a read of its timestamps.
        self.stop_timestamp = math.nan
        self.first_timestamp = math.nan
        self.times_read = False


class Dataset:
    """Dataset(source, *, errors="raise", **reader_keywords)

    Many recordings read as one. `source` is a folder (every *.mf4 below
    it, sorted by path), a glob pattern or an iterable of paths; the reader
    keywords (passwords, any_writer, can_filters, channels, start, stop,
    batch_rows) apply to every file. Each file's header is read now, never
    its data. A file that does not open raises DatasetError (errors="raise")
    or is left out and listed in `skipped` with its reason (errors="skip",
    and a warning on the logger "python_can_tolvar_mf4")."""

    def __init__(self, source: Any, *, errors: str = "raise", **reader_keywords: Any):
        if errors not in ("raise", "skip"):
            raise ValueError('errors must be "raise" or "skip"')
        unknown = sorted(set(reader_keywords) - set(parts.READER_KEYWORDS))
        if unknown:
            raise TypeError(f"Dataset got an unexpected keyword argument {unknown[0]!r}")
        self._keywords = dict(reader_keywords)
        self._infos: List[_FileInfo] = []
        self._skipped: List[Dict[str, str]] = []
        for path in find_files(source):
            try:
                with parts.open_reader(path, self._keywords) as reader:
                    info = _FileInfo(path, reader)
            # What the reader raises for a file it cannot read; a TypeError
            # (keywords of the wrong type) is no fault of the file.
            except (OSError, RuntimeError, ValueError, MemoryError) as error:
                self._fail(path, error, errors)
            else:
                self._infos.append(info)
        self._paths = [i.path for i in self._infos]

    def _fail(self, path: str, error: Exception, errors: str) -> None:
        reason = f"{type(error).__name__}: {error}"
        if errors == "raise":
            raise DatasetError(path, reason) from error
        _LOG.warning("Dataset: skipped %s (%s)", path, reason)
        self._skipped.append({"path": path, "reason": reason})

    # -- the files --------------------------------------------------------------

    @property
    def paths(self) -> List[str]:
        """The paths of the files that opened, in dataset order."""
        return list(self._paths)

    @property
    def reader_keywords(self) -> Dict[str, Any]:
        return dict(self._keywords)

    def __len__(self) -> int:
        return len(self._infos)

    @property
    def files(self) -> Any:
        """The files that opened, one row each in dataset order (a pandas
        DataFrame): path, start_timestamp, stop_timestamp (the last frame's
        timestamp once the dataset has read it, NaN before), record_count
        (what the recording states), logger and session (from its metadata,
        None where it has none)."""
        import pandas as pd

        columns = ("path", "start_timestamp", "stop_timestamp", "record_count", "logger", "session")
        return pd.DataFrame({c: [getattr(i, c) for i in self._infos] for c in columns},
                            columns=list(columns))

    @property
    def skipped(self) -> Any:
        """The files that did not open (errors="skip"), with the reason: a
        pandas DataFrame of path and reason."""
        import pandas as pd

        return pd.DataFrame(self._skipped, columns=["path", "reason"])

    def read_times(self) -> None:
        """Reads every file's first and last frame timestamps (the timestamp
        column alone), once: stop_timestamp in `files` and the sessions need
        them."""
        for info in self._infos:
            if info.times_read:
                continue
            with parts.open_reader(info.path, self._keywords) as reader:
                times = reader.to_numpy(columns=["timestamp"])["timestamp"]
            if len(times):
                info.first_timestamp, info.stop_timestamp = float(times.min()), float(times.max())
            else:
                info.first_timestamp = math.nan
            info.times_read = True

    # -- tables -----------------------------------------------------------------

    def to_dask(self) -> Any:
        """The frame table of every file as a dask DataFrame with a `file`
        column (categorical: one category per file), one partition per file
        in `files` order. Columns selected on it reach the reader: only
        those are read."""
        import dask.dataframe as dd

        if not self._paths:
            raise ValueError("the dataset has no file to read")
        from dask.dataframe.utils import clear_known_categories

        reader = parts.FrameReader(self._keywords, self._paths)
        # The channels of a file are known once it is read; the files are
        # known now.
        meta = clear_known_categories(parts.frame_meta(), cols=["channel"])
        meta["file"] = meta["file"].cat.set_categories(self._paths)
        return dd.from_map(reader, self._paths, meta=meta, label="tolvar-frames", enforce_metadata=False)

    def decode_to_dask(self, database: Any, message: str, *, signals: Optional[Iterable[str]] = None,
                       choices: bool = False) -> Any:
        """One message's signal table (decode_to_pandas) of every file as a
        dask DataFrame with the `file` column, one partition per file. The
        database is best a path (it pickles as a string); a cantools
        database is taken if it pickles. The columns come from the first
        file that has frames of the message."""
        import dask.dataframe as dd

        if not self._paths:
            raise ValueError("the dataset has no file to read")
        decode_keywords: Dict[str, Any] = {"choices": choices}
        if signals is not None:
            decode_keywords["signals"] = list(signals)
        reader = parts.SignalReader(self._keywords, self._paths, database, message, decode_keywords)
        meta = None
        for path in self._paths:
            table = reader.table(path)
            if table is not None:
                meta = parts.with_file(table.iloc[:0].reset_index(drop=True), path, self._paths)
                break
        if meta is None:
            raise ValueError(f"no file of the dataset has frames of message {message!r}")
        reader.empty = meta.drop(columns=["file"])
        return dd.from_map(reader, self._paths, meta=meta, label="tolvar-signals", enforce_metadata=False)

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """Every file's frames, file after file in dataset order, each batch
        with the `file` column (dictionary-encoded), as an Arrow C stream:
        one file's batches in memory at a time."""
        import pyarrow as pa

        schema = parts.arrow_schema(None)
        stream = pa.RecordBatchReader.from_batches(schema, parts.arrow_batches(self._paths, self._keywords, None))
        return stream.__arrow_c_stream__(requested_schema)

    # -- sessions ---------------------------------------------------------------

    def sessions(self, *, gap: float = 60.0) -> List[Session]:
        """The files grouped into sessions: files of one logger (where the
        metadata names one) in order of their first frame, each starting
        after the previous one's first frame and at most `gap` seconds
        after its last frame. Each Session lists its seams with the gap
        (negative: an overlap). Reads every file's timestamps once."""
        if gap < 0 or math.isnan(gap):
            raise ValueError("gap must be a number of seconds, 0 or more")
        self.read_times()
        return group_sessions(self._infos, self._keywords, gap)

    def session(self, index: int, *, gap: float = 60.0) -> Session:
        """The session at `index` of sessions(gap=gap)."""
        return self.sessions(gap=gap)[index]

    def __repr__(self) -> str:
        return f"Dataset({len(self._infos)} files, {len(self._skipped)} skipped)"
