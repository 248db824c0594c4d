"""Sessions: the files of a Dataset that continue each other (a logger that
splits its recording into files), grouped and read as one recording.

A file continues the session before it when the same logger wrote both (as
far as the metadata names one) and its first frame comes after the
session's first frame and at most `gap` seconds after the session's last
frame so far. Each seam between two files is reported with its gap in
seconds: positive a pause, negative an overlap (the later file's first
frame before the earlier one's last). Overlapping frames are kept: the
frames of a session are every file's frames merged by timestamp (ties in
file order), with timestamps as recorded, never shifted; each overlap is
also a warning on the logger "python_can_tolvar_mf4"."""

from __future__ import annotations

import dataclasses
import heapq
import logging
import math
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from . import parts

_LOG = logging.getLogger("python_can_tolvar_mf4")


@dataclasses.dataclass(frozen=True)
class Seam:
    """Where one file of a session follows another: `gap` seconds from the
    session's last frame before `next` to its first frame (negative: the
    files overlap by -gap seconds)."""

    previous: str
    next: str
    gap: float

    @property
    def overlap(self) -> float:
        """Seconds the two files overlap (0.0 where they do not)."""
        return max(0.0, -self.gap)


class Session:
    """The files of one session read as one recording: iteration gives every
    frame merged by timestamp across the files (iter_with_files() gives each
    with its file's path), the tables have a `file` column, and seams lists
    each seam's gap or overlap."""

    def __init__(self, paths: Sequence[str], seams: Sequence[Seam], logger: Optional[str],
                 keywords: Dict[str, Any], span: Tuple[float, float]):
        self.paths: List[str] = list(paths)
        self.seams: List[Seam] = list(seams)
        self.logger = logger
        self.start_timestamp, self.stop_timestamp = span
        self._keywords = dict(keywords)

    @property
    def overlaps(self) -> List[Seam]:
        """The seams where the files overlap."""
        return [s for s in self.seams if s.gap < 0]

    def __len__(self) -> int:
        return len(self.paths)

    def __repr__(self) -> str:
        return (f"Session({len(self.paths)} files, logger={self.logger!r}, "
                f"{len(self.overlaps)} overlaps, from {self.start_timestamp} to {self.stop_timestamp})")

    # -- iteration ----------------------------------------------------------------

    def iter_with_files(self) -> Iterator[Tuple[str, Any]]:
        """(path, message) for every frame of the session, merged by
        timestamp; frames of equal timestamps in file order."""
        readers = [parts.open_reader(p, self._keywords) for p in self.paths]
        try:
            streams = [_keyed(reader, index, path) for index, (path, reader) in enumerate(zip(self.paths, readers))]
            for _, _, path, message in heapq.merge(*streams, key=lambda item: (item[0], item[1])):
                yield path, message
        finally:
            for reader in readers:
                reader.close()

    def __iter__(self) -> Iterator[Any]:
        for _, message in self.iter_with_files():
            yield message

    # -- tables -------------------------------------------------------------------

    def to_pandas(self, *, columns: Optional[Sequence[str]] = None) -> Any:
        """The session's frame table (to_pandas() of each file with the `file`
        column), merged by timestamp: a stable sort, so frames of equal
        timestamps stay in file order and within a file in its own order."""
        import pandas as pd

        reader = parts.FrameReader(self._keywords, self.paths)
        wanted = None
        if columns is not None:
            chosen = parts.chosen_columns(columns)
            wanted = [c for c in parts.FRAME_COLUMNS if c in chosen] + ["file"]
        tables = [reader(p, wanted) for p in self.paths]
        if not tables:
            return parts.frame_meta(columns)
        table = pd.concat(tables, ignore_index=True)
        if "channel" in table.columns:
            table["channel"] = table["channel"].astype("category")
        if "timestamp" in table.columns:
            table = table.sort_values("timestamp", kind="stable", ignore_index=True)
        return table

    def to_arrow(self) -> Any:
        """The session's frame table as a pyarrow.Table: each file's batches
        with the `file` column, merged by timestamp as to_pandas()."""
        import pyarrow as pa
        import pyarrow.compute as pc

        batches = list(parts.arrow_batches(self.paths, self._keywords, None))
        table = pa.Table.from_batches(batches, schema=parts.arrow_schema(None))
        if table.num_rows == 0:
            return table
        order = pc.sort_indices(table, sort_keys=[("timestamp", "ascending")])
        # sort_indices is stable: equal timestamps keep file order.
        return table.take(order)

    def iter_batches(self) -> Any:
        """The session's frames as a pyarrow.RecordBatchReader, merged by
        timestamp a batch at a time: about one batch of each file in
        memory."""
        import pyarrow as pa

        schema = parts.arrow_schema(None)
        return pa.RecordBatchReader.from_batches(schema, _merged_batches(self.paths, self._keywords, schema))

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """The session's frames as an Arrow C stream (iter_batches())."""
        return self.iter_batches().__arrow_c_stream__(requested_schema)


class _Pending:
    """The rows of one file's stream read and not yet given."""

    def __init__(self, batches: Iterator[Any]):
        self.batches = batches
        self.rows: List[Any] = []
        self.count = 0
        self.done = False

    def read(self) -> None:
        """One more batch with rows, or done."""
        for batch in self.batches:
            if batch.num_rows:
                self.rows.append(batch)
                self.count += batch.num_rows
                return
        self.done = True

    def last(self) -> float:
        return float(self.rows[-1].column("timestamp")[-1].as_py())

    def take_before(self, cutoff: float) -> Any:
        """The rows before `cutoff` (every row with cutoff None), in order."""
        import pyarrow as pa
        import pyarrow.compute as pc

        table = pa.Table.from_batches(self.rows)
        if cutoff is None:
            given = table.num_rows
        else:
            # The rows up to the first at or after the cutoff: a file's
            # own order is kept.
            first = pc.index(pc.fill_null(pc.greater_equal(table.column("timestamp"), cutoff), True), True).as_py()
            given = table.num_rows if first < 0 else first
        self.rows = table.slice(given).to_batches()
        self.count -= given
        return table.slice(0, given)


def _merged_batches(paths: Sequence[str], keywords: Dict[str, Any], schema: Any) -> Iterator[Any]:
    """Every file's batches merged by timestamp: the rows before the least
    of the files' last read timestamps are given, sorted stably (equal
    timestamps in file order); a file whose rows are all at that timestamp
    reads on, so that equal timestamps are given together."""
    import pyarrow as pa
    import pyarrow.compute as pc

    pending = [_Pending(parts.arrow_batches([p], keywords, None, file_index=(i, paths))) for i, p in enumerate(paths)]
    while True:
        for p in pending:
            if not p.done and p.count == 0:
                p.read()
        open_files = [p for p in pending if not p.done]
        if not open_files and all(p.count == 0 for p in pending):
            return
        cutoff = min(p.last() for p in open_files) if open_files else None
        pieces = [p.take_before(cutoff) for p in pending if p.count]
        table = pa.concat_tables(pieces) if pieces else None
        if table is None or table.num_rows == 0:
            for p in open_files:
                if p.last() == cutoff or cutoff != cutoff:
                    p.read()
            continue
        order = pc.sort_indices(table, sort_keys=[("timestamp", "ascending")])
        yield from table.take(order).cast(schema).combine_chunks().to_batches()


def _keyed(reader: Any, index: int, path: str) -> Iterator[Tuple[float, int, str, Any]]:
    """The reader's messages with what the merge orders them by: timestamp,
    then file order."""
    for message in reader:
        yield message.timestamp, index, path, message


class _Open:
    """A session being grouped."""

    def __init__(self, info: Any):
        self.infos = [info]
        self.seams: List[Seam] = []
        self.first = info.first_timestamp
        self.last = info.stop_timestamp

    def take(self, info: Any, gap: float) -> bool:
        distance = info.first_timestamp - self.last
        if math.isnan(distance) or info.first_timestamp < self.first or distance > gap:
            return False
        self.seams.append(Seam(self.infos[-1].path, info.path, distance))
        self.infos.append(info)
        self.last = max(self.last, info.stop_timestamp)
        return True


def group_sessions(infos: Sequence[Any], keywords: Dict[str, Any], gap: float) -> List[Session]:
    """The sessions of the files (their first and last frame times read),
    ordered by their first frame; a file without frames is a session of its
    own."""
    by_logger: Dict[Optional[str], List[Any]] = {}
    for info in infos:
        by_logger.setdefault(info.logger, []).append(info)
    sessions: List[Tuple[float, int, Session]] = []
    for logger, group in by_logger.items():
        group = sorted(group, key=lambda i: (math.isnan(i.first_timestamp), i.first_timestamp))
        current: Optional[_Open] = None
        for info in group:
            if current is not None and current.take(info, gap):
                continue
            if current is not None:
                sessions.append(_finish(current, logger, keywords, len(sessions)))
            current = _Open(info)
        if current is not None:
            sessions.append(_finish(current, logger, keywords, len(sessions)))
    sessions.sort(key=lambda s: (math.isnan(s[0]), s[0], s[1]))
    return [s for _, _, s in sessions]


def _finish(current: _Open, logger: Optional[str], keywords: Dict[str, Any],
            order: int) -> Tuple[float, int, Session]:
    for seam in current.seams:
        if seam.gap < 0:
            _LOG.warning("session: %s overlaps %s by %.6f s; the frames of both are kept",
                         seam.next, seam.previous, -seam.gap)
    session = Session([i.path for i in current.infos], current.seams, logger, keywords,
                      (current.first, current.last))
    return current.first, order, session
