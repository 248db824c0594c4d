# Types of the extension module python_can_tolvar_mf4.
import io
import os
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, Optional, TypedDict, Union, final, type_check_only

import can
from can.io.generic import MessageReader

if TYPE_CHECKING:
    import cantools.database.can  # type: ignore
    import numpy
    import pandas  # type: ignore
    import polars
    import pyarrow  # type: ignore

# A path (str or os.PathLike such as pathlib.Path), or a binary file object;
# anything else raises ValueError "Unknown data source type".
_Source = Union[str, os.PathLike[str], io.IOBase]

# python-can's filter dicts: "can_id" and "can_mask" (integers, numpy's too),
# and optionally "extended" (a bool). Typed as any mapping so that python-can's
# own can.typechecking.CanFilters (TypedDicts that differ between its
# releases) pass as they are; the values are checked when the reader is made.
_CanFilter = Mapping[str, object]

# A CAN database for the decode methods: a cantools database, a path that
# cantools.database.load_file reads (DBC, ARXML, KCD, SYM), or a mapping from
# channel name as messages carry it ("CAN 1") to either, one database per bus.
_DatabaseSource = Union[str, os.PathLike[str], "cantools.database.can.Database"]
_Database = Union[_DatabaseSource, Mapping[str, _DatabaseSource]]

# For annotations only (the module has no such attribute): import it under
# `if typing.TYPE_CHECKING:`.
@type_check_only
class MetadataProperty(TypedDict):
    """The fields of one property of a recording's metadata (get_metadata)."""

    name: str
    description: str
    read_only: bool
    unit: str
    value_raw: str
    value_type: str

@final
class CanMsgExtension(can.Message):
    """A can.Message ordered by timestamp, as read from an MDF 4 recording."""

    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def __hash__(self) -> int: ...
    # Only timestamps are compared; anything but a can.Message raises TypeError.
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __lt__(self, value: can.Message, /) -> bool: ...
    def __le__(self, value: can.Message, /) -> bool: ...
    def __gt__(self, value: can.Message, /) -> bool: ...
    def __ge__(self, value: can.Message, /) -> bool: ...

@final
class MdfFileIterator:
    """The frames of one data group of an MdfFile (made by iterating one;
    calling the class raises RuntimeError)."""

    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def __iter__(self) -> MdfFileIterator: ...
    def __next__(self) -> CanMsgExtension: ...

@final
class MdfFile(MessageReader):
    def __init__(
        self,
        file: _Source,
        *,
        passwords: Optional[Mapping[str, str]] = None,
        any_writer: bool = False,
        can_filters: Optional[Iterable[_CanFilter]] = None,
        channels: Optional[Iterable[str]] = None,
        start: Optional[float] = None,
        stop: Optional[float] = None,
        batch_rows: int = 65536,
    ) -> None: ...
    def __iter__(self) -> Iterator[CanMsgExtension]: ...
    def __enter__(self) -> MdfFile: ...
    def close(self) -> None: ...
    def stop(self) -> None: ...
    def get_metadata(self) -> dict[str, MetadataProperty]: ...
    # The records the recording states it holds (its channel groups' cycle
    # counts): the frames iteration gives for a finished recording.
    def get_record_count(self) -> int: ...
    # The timestamp of a frame at time 0 of the recording (seconds since 1970).
    @property
    def start_timestamp(self) -> float: ...
    # Per data group, the records the last walk to its end (iteration or a
    # table) read; None for a group no walk has read to its end.
    @property
    def records_read(self) -> list[Optional[int]]: ...
    # One entry per column: timestamp, arbitration_id, is_extended_id,
    # is_remote_frame, is_error_frame, is_fd, bitrate_switch,
    # error_state_indicator, is_rx, dlc, channel and data (rows x widest payload).
    # columns= fills only the columns named (kept in table order).
    def to_numpy(self, *, columns: Optional[Iterable[str]] = None) -> dict[str, numpy.ndarray[Any, Any]]: ...
    # data="arrow": binary Arrow-backed data column; data="bytes": bytes objects.
    def to_pandas(
        self, *, columns: Optional[Iterable[str]] = None, data: Literal["arrow", "bytes"] = "arrow"
    ) -> pandas.DataFrame: ...
    def to_arrow(self, *, columns: Optional[Iterable[str]] = None) -> pyarrow.Table: ...
    # The signals of a CAN database decoded from the frames iteration gives:
    # one table per message that frames matched, in the database's order,
    # keyed by message name ("CAN 1.NAME" where messages of two databases
    # share a name). Columns: timestamp, channel, source_address (J1939
    # messages), then one per signal (float64, NaN or null where absent;
    # with choices=True the value's name where the signal has a value table).
    # signals: names ("Signal" or "Message.Signal") of the only columns wanted.
    def decode_to_numpy(
        self, database: _Database, *, signals: Optional[Iterable[str]] = None, choices: bool = False
    ) -> dict[str, dict[str, numpy.ndarray[Any, Any]]]: ...
    def decode_to_pandas(
        self, database: _Database, *, signals: Optional[Iterable[str]] = None, choices: bool = False
    ) -> dict[str, pandas.DataFrame]: ...
    def decode_to_arrow(
        self, database: _Database, *, signals: Optional[Iterable[str]] = None, choices: bool = False
    ) -> dict[str, pyarrow.Table]: ...
    # The most rows a record batch of a stream holds (the keyword batch_rows).
    @property
    def batch_rows(self) -> int: ...
    # The Arrow PyCapsule interface: a capsule "arrow_schema" of the frame
    # table's schema, and a new stream (capsule "arrow_array_stream") of its
    # record batches per call; requested_schema may ask for the data column
    # as large_binary or binary_view, or for some of the columns.
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object: ...
    # The same stream as pyarrow record batches; columns= chooses columns
    # (kept in table order).
    def iter_batches(self, *, columns: Optional[Iterable[str]] = None) -> pyarrow.RecordBatchReader: ...
    def to_polars(self) -> polars.DataFrame: ...
    # One message's signals (decode_to_arrow's table of that key) as a stream
    # of batch_rows rows at most per batch.
    def decoded_batches(
        self, database: _Database, message: str, *, signals: Optional[Iterable[str]] = None, choices: bool = False
    ) -> pyarrow.RecordBatchReader: ...

# A polars LazyFrame of the recording's frames read with the reader's
# keywords: projections, simple predicates on arbitration_id, is_extended_id,
# channel and timestamp, and row limits reach the reader.
def scan_polars(
    file: _Source,
    *,
    passwords: Optional[Mapping[str, str]] = None,
    any_writer: bool = False,
    can_filters: Optional[Iterable[_CanFilter]] = None,
    channels: Optional[Iterable[str]] = None,
    start: Optional[float] = None,
    stop: Optional[float] = None,
    batch_rows: int = 65536,
) -> polars.LazyFrame: ...

# Many recordings read as one (python_can_tolvar_mf4_dataset, re-exported).
# A file of a Dataset that did not open, with errors="raise".
class DatasetError(RuntimeError):
    path: str
    reason: str
    def __init__(self, path: str, reason: str) -> None: ...

# Where one file of a session follows another: gap in seconds from the
# session's last frame before `next` to its first frame, negative for an
# overlap.
@final
class Seam:
    __match_args__ = ("previous", "next", "gap")
    previous: str
    next: str
    gap: float
    def __init__(self, previous: str, next: str, gap: float) -> None: ...
    @property
    def overlap(self) -> float: ...

# The files of one session read as one recording, frames merged by timestamp.
@final
class Session:
    paths: list[str]
    seams: list[Seam]
    logger: Optional[str]
    start_timestamp: float
    stop_timestamp: float
    # Made by Dataset.sessions().
    def __init__(
        self,
        paths: Sequence[str],
        seams: Sequence[Seam],
        logger: Optional[str],
        keywords: Mapping[str, Any],
        span: tuple[float, float],
    ) -> None: ...
    @property
    def overlaps(self) -> list[Seam]: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[CanMsgExtension]: ...
    def iter_with_files(self) -> Iterator[tuple[str, CanMsgExtension]]: ...
    def to_pandas(self, *, columns: Optional[Iterable[str]] = None) -> pandas.DataFrame: ...
    def to_arrow(self) -> pyarrow.Table: ...
    def iter_batches(self) -> pyarrow.RecordBatchReader: ...
    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object: ...

# source: a folder (every *.mf4 below it), a glob pattern, or paths.
@final
class Dataset:
    def __init__(
        self,
        source: Union[str, os.PathLike[str], Iterable[Union[str, os.PathLike[str]]]],
        *,
        errors: Literal["raise", "skip"] = "raise",
        passwords: Optional[Mapping[str, str]] = None,
        any_writer: bool = False,
        can_filters: Optional[Iterable[_CanFilter]] = None,
        channels: Optional[Iterable[str]] = None,
        start: Optional[float] = None,
        stop: Optional[float] = None,
        batch_rows: int = 65536,
    ) -> None: ...
    def __len__(self) -> int: ...
    @property
    def paths(self) -> list[str]: ...
    @property
    def reader_keywords(self) -> dict[str, Any]: ...
    # path, start_timestamp, stop_timestamp, record_count, logger, session
    @property
    def files(self) -> pandas.DataFrame: ...
    # path, reason
    @property
    def skipped(self) -> pandas.DataFrame: ...
    def read_times(self) -> None: ...
    # A dask.dataframe.DataFrame (dask has no types the checkers read).
    def to_dask(self) -> Any: ...
    def decode_to_dask(
        self,
        database: Union[str, os.PathLike[str], "cantools.database.can.Database"],
        message: str,
        *,
        signals: Optional[Iterable[str]] = None,
        choices: bool = False,
    ) -> Any: ...
    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object: ...
    def sessions(self, *, gap: float = 60.0) -> list[Session]: ...
    def session(self, index: int, *, gap: float = 60.0) -> Session: ...
