"""The output formats of a conversion: what each carries, how its channels
are written, which writer writes it and how its finished file is counted.
A new format is one entry in FORMATS; a writer of its own is any object
with on_message_received() and stop() (and finish(), when it buffers)."""

from __future__ import annotations

import contextlib
import dataclasses
import gzip
import os
import pathlib
import re
import sqlite3
from typing import TYPE_CHECKING, Any, Callable, Dict, FrozenSet, List, Optional, Protocol, Tuple

from .channels import CAN, CAN_KINDS, EVERY_KIND, bus_of

if TYPE_CHECKING:
    import can


class FrameWriter(Protocol):
    """What a conversion hands its frames to: python-can's writers and this
    package's own."""

    def on_message_received(self, msg: can.Message) -> None: ...

    def stop(self) -> None: ...


def python_can_writer(path: str) -> FrameWriter:
    """python-can's writer for the suffix of `path` (and its .gz)."""
    import can

    # A .gz with no suffix before it: python-can 4.3 fails on it with an
    # IndexError of its own, later releases refuse it in these words.
    if path.lower().endswith(".gz") and len(pathlib.PurePath(path).suffixes) < 2:
        raise ValueError('No write support for unknown log format ".gz"')
    writer: FrameWriter = can.Logger(path)
    return writer


class SqliteFrames:
    """Writes frames in python-can's sqlite layout (the table and columns its
    SqliteWriter creates and its SqliteReader reads) in one transaction.
    python-can's own writer buffers in a thread and drops what it has not
    written when stopped; this one writes everything before finish() returns."""

    TABLE = "messages"
    BATCH = 20000

    def __init__(self, path: str) -> None:
        self.db = sqlite3.connect(path)
        self.db.execute(f"""CREATE TABLE IF NOT EXISTS {self.TABLE}
            (ts REAL, arbitration_id INTEGER, extended INTEGER, remote INTEGER,
             error INTEGER, dlc INTEGER, data BLOB)""")
        self.rows: List[Tuple[Any, ...]] = []

    def on_message_received(self, msg: can.Message) -> None:
        self.rows.append((msg.timestamp, msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame,
                          msg.is_error_frame, msg.dlc, bytes(msg.data)))
        if len(self.rows) >= self.BATCH:
            self._flush()

    def _flush(self) -> None:
        self.db.executemany(f"INSERT INTO {self.TABLE} VALUES (?, ?, ?, ?, ?, ?, ?)", self.rows)
        self.rows.clear()

    def finish(self) -> None:
        """Writes what is buffered and commits; stop() closes either way."""
        self._flush()
        self.db.commit()

    def stop(self) -> None:
        self.db.close()


def _sqlite_writer(path: str) -> FrameWriter:
    # A compressed database is python-can's to refuse, in its own words.
    return python_can_writer(path) if path.lower().endswith(".gz") else SqliteFrames(path)


# -- channels as the writers store them ------------------------------------------

def _numbered_after_writer_adds_one(message: can.Message) -> None:
    """python-can's ASC, BLF and TRC writers add one to an integer channel
    (their interfaces count from 0, the formats from 1): the bus number less
    one makes the file show the bus number of the frame, "CAN 1" as 1."""
    bus = bus_of(message.channel)
    if bus is not None:
        message.channel = bus[1] - 1


def _named_as_interface(message: can.Message) -> None:
    """The canutils log format separates fields by blanks and names channels
    like interfaces: "CAN 1" is written as "can1", "LIN 2" as "lin2"."""
    bus = bus_of(message.channel)
    if bus is not None:
        message.channel = f"{bus[0].lower()}{bus[1]}"


# -- counting the frames of a finished file --------------------------------------

def _lines(keep: Callable[[bytes], bool], headers: int = 0) -> Callable[[str], int]:
    """Counts the frames of a finished text file: its lines that `keep`
    accepts, less `headers` (compressed files too)."""
    def count(path: str) -> int:
        opener: Callable[[str, str], Any] = gzip.open if path.lower().endswith(".gz") else open
        with opener(path, "rb") as f:
            return sum(1 for line in f if keep(line)) - headers
    return count


_ASC_FRAME = re.compile(rb"^\s*\d+\.\d+\s+(?:CANFD\s+)?\d+\s")


def _asc_frame(line: bytes) -> bool:
    return bool(_ASC_FRAME.match(line))


def _not_blank(line: bytes) -> bool:
    return bool(line.strip())


def _trc_frame(line: bytes) -> bool:
    return bool(line.strip()) and not line.startswith(b";")


def _blf_objects(path: str) -> int:
    import can

    reader = can.BLFReader(path)
    try:
        return int(reader.object_count)
    finally:
        reader.stop()


def _sqlite_rows(path: str) -> int:
    with contextlib.closing(sqlite3.connect(path)) as db:
        return int(db.execute(f"SELECT COUNT(*) FROM {SqliteFrames.TABLE}").fetchone()[0])


# -- the formats -----------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Format:
    """What a format python-can writes can carry, how its channels are
    written (None: as the frame names them), how to count the frames of a
    finished file (None: not counted) and what writes it."""
    carries: FrozenSet[str]
    channel: Optional[Callable[[can.Message], None]]
    count: Optional[Callable[[str], int]]
    writer: Callable[[str], FrameWriter] = python_can_writer


# Read from python-can's writers: none writes LIN frames except the two that
# write the channel as text (the canutils log and the printer's lines, where
# the frame says "lin1" or "LIN 1"); .csv and .db have no channel column at
# all; the TRC writer leaves out CAN FD, remote and error frames.
FORMATS: Dict[str, Format] = {
    ".asc": Format(CAN_KINDS, _numbered_after_writer_adds_one, _lines(_asc_frame)),
    ".blf": Format(CAN_KINDS, _numbered_after_writer_adds_one, _blf_objects),
    ".csv": Format(CAN_KINDS, None, _lines(_not_blank, headers=1)),
    ".db": Format(CAN_KINDS, None, _sqlite_rows, _sqlite_writer),
    ".log": Format(EVERY_KIND, _named_as_interface, _lines(_not_blank)),
    ".mf4": Format(CAN_KINDS, None, None),
    ".trc": Format(frozenset({CAN}), _numbered_after_writer_adds_one, _lines(_trc_frame)),
    ".txt": Format(EVERY_KIND, None, _lines(_not_blank)),
}
# A writer another package adds to python-can: its frames as they are, LIN
# frames not (nothing says it carries them), nothing counted.
OTHER_FORMAT = Format(CAN_KINDS, None, None)


def format_suffix(output: str) -> str:
    """The suffix that picks the writer, as python-can picks it: the last one,
    or the one before .gz."""
    suffixes = [s.lower() for s in os.path.basename(output).split(".")[1:]]
    if len(suffixes) >= 2 and suffixes[-1] == "gz":
        return "." + suffixes[-2]
    return "." + suffixes[-1] if suffixes else ""


def format_of(output: str) -> Format:
    return FORMATS.get(format_suffix(output), OTHER_FORMAT)
