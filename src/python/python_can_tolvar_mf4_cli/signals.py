"""Signals decoded from CAN databases (--dbc): the databases of the options
read with cantools, the recording decoded natively, and the decoded frames
printed one line each in iteration's order, or written as one CSV file per
message into a folder."""

from __future__ import annotations

import csv
import math
import os
import re
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Sequence, TextIO, Tuple, Union

from .convert import in_place
from .errors import CliError

if TYPE_CHECKING:
    from python_can_tolvar_mf4 import MdfFile

# CHANNEL=FILE gives a database for one bus, named as messages name it.
_FOR_CHANNEL = re.compile(r"^((?:CAN|LIN) [0-9]+)=(.+)$", re.DOTALL)
# The tables' own columns before the signals.
_OWN = ("timestamp", "channel", "source_address")
_KEYED = re.compile(r"^((?:CAN|LIN) [0-9]+)\.(.+)$", re.DOTALL)


def parse_database(text: str) -> Tuple[Optional[str], str]:
    """(channel, path) of a --dbc value: "CAN 1=vehicle.dbc" for one bus,
    a path alone for every bus."""
    match = _FOR_CHANNEL.match(text)
    return (match.group(1), match.group(2)) if match else (None, text)


def _load(path: str) -> Any:
    import cantools

    try:
        return cantools.database.load_file(path)
    except FileNotFoundError:
        raise CliError(f"cannot read database {path}: no such file") from None
    except OSError as error:
        raise CliError(f"cannot read database {path}: {(error.strerror or str(error)).lower()}") from None
    except Exception as error:  # cantools' own errors tell what it could not read
        raise CliError(f"cannot read database {path}: {error}") from None


def _joined(databases: List[Any]) -> Any:
    """One database of several files' messages (a later file's message of
    the same identifier wins, as in one file)."""
    if len(databases) == 1:
        return databases[0]
    from cantools.database.can import Database

    return Database([m for db in databases for m in db.messages], strict=False)


def load_databases(entries: Sequence[str]) -> Union[Any, Dict[str, Any]]:
    """The database argument of the decode methods from the --dbc values:
    one database for every bus, or a dict of databases by channel. Raises
    CliError for a file that does not load, and where some values name a
    channel and others do not."""
    try:
        import cantools  # noqa: F401
    except ImportError:
        raise CliError("--dbc needs cantools: pip install python_can_tolvar_mf4[decode]") from None
    parsed = [parse_database(text) for text in entries]
    channels = {channel for channel, _ in parsed}
    if None in channels and len(channels) > 1:
        raise CliError("--dbc: give every database a channel (CHANNEL=FILE) or none")
    by_channel: Dict[Optional[str], List[Any]] = {}
    loaded: Dict[str, Any] = {}
    for channel, path in parsed:
        if path not in loaded:
            loaded[path] = _load(path)
        by_channel.setdefault(channel, []).append(loaded[path])
    if None in by_channel:
        return _joined(by_channel[None])
    return {channel: _joined(dbs) for channel, dbs in by_channel.items()}


class Units:
    """The unit of every signal, by table key and column, from the
    databases the tables were decoded with."""

    def __init__(self, database: Union[Any, Dict[str, Any]]) -> None:
        self.per_channel: Dict[Optional[str], Any] = {None: database}
        if isinstance(database, dict):
            self.per_channel = {channel: db for channel, db in database.items()}

    def of(self, key: str, column: str) -> str:
        match = _KEYED.match(key)
        if match and match.group(1) in self.per_channel:
            databases = [self.per_channel[match.group(1)]]
            name = match.group(2)
        else:
            databases = list(self.per_channel.values())
            name = key
        name = re.sub(r"#[0-9]+$", "", name)
        for db in databases:
            for message in db.messages:
                if message.name != name:
                    continue
                for signal in message.signals:
                    if signal.name == column:
                        return signal.unit or ""
        return ""


def number(value: float) -> str:
    """A value as Python writes it, whole numbers without ".0"."""
    if value.is_integer() and abs(value) < 1e16:
        return str(int(value))
    return repr(value)


def _decode(reader: MdfFile, database: Any) -> Dict[str, Dict[str, Any]]:
    try:
        # A private method of the reader, for this program: decode_to_numpy
        # with each row's place among the frames iteration gives.
        decode = getattr(reader, "_decode_rows")
        tables: Dict[str, Dict[str, Any]] = decode(database)
    except ImportError as error:
        raise CliError(str(error)) from None
    except (ValueError, TypeError) as error:
        raise CliError(f"--dbc: {error}") from None
    return tables


def _signals(table: Dict[str, Any]) -> List[str]:
    return [name for name in table if name not in _OWN and name != "row"]


def _lines(tables: Dict[str, Dict[str, Any]], units: Units) -> Iterator[str]:
    """One line per decoded frame in iteration's order: time, channel,
    message, then signal=value unit for every present signal."""
    import numpy as np

    keys = list(tables)
    if not keys:
        return
    order = np.concatenate([t["row"] for t in tables.values()])
    which = np.concatenate([np.full(len(t["row"]), i, dtype=np.int32) for i, t in enumerate(tables.values())])
    index = np.concatenate([np.arange(len(t["row"])) for t in tables.values()])
    sorted_rows = np.argsort(order, kind="stable")
    columns = []
    for key in keys:
        table = tables[key]
        names = _signals(table)
        suffixes = [" " + units.of(key, n) if units.of(key, n) else "" for n in names]
        columns.append((table["timestamp"].tolist(), table["channel"].tolist(),
                        [(n, s, table[n].tolist()) for n, s in zip(names, suffixes)]))
    for k in sorted_rows.tolist():
        t = int(which[k])
        i = int(index[k])
        times, channels, signals = columns[t]
        present = "  ".join(f"{n}={number(v[i])}{s}" for n, s, v in signals if not math.isnan(v[i]))
        yield f"{times[i]:.6f}  {channels[i]}  {keys[t]}  {present}".rstrip()


def print_signals(reader: MdfFile, database: Any, out: TextIO) -> None:
    tables = _decode(reader, database)
    write = out.write
    for line in _lines(tables, Units(database)):
        write(line + "\n")
    out.flush()


def _file_name(key: str, suffix: str = ".csv") -> str:
    """A file name of a table key: path separators and controls as "_"."""
    return re.sub(r"[\x00-\x1f/\\]", "_", key) + suffix


def write_csv_files(reader: MdfFile, database: Any, folder: str) -> List[str]:
    """One CSV file per message into `folder` (made if missing), each written
    in place; returns the paths written."""
    tables = _decode(reader, database)
    _make_folder(folder)
    written = []
    for key, table in tables.items():
        path = os.path.join(folder, _file_name(key))
        with in_place(path, ".csv") as partial:
            try:
                with open(partial, "w", newline="", encoding="utf-8") as f:
                    _write_table(f, table)
            except OSError as error:
                raise CliError(f"cannot write {path}: {(error.strerror or str(error)).lower()}") from None
        written.append(path)
    return written


def write_parquet_files(reader: MdfFile, database: Any, folder: str) -> List[str]:
    """One Parquet file per message into `folder` (made if missing), each the
    message's decode_to_arrow() table written in place; returns the paths
    written."""
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise CliError("--signal-format parquet needs pyarrow: pip install python_can_tolvar_mf4[arrow]") from None
    try:
        tables = reader.decode_to_arrow(database)
    except ImportError as error:
        raise CliError(str(error)) from None
    except (ValueError, TypeError) as error:
        raise CliError(f"--dbc: {error}") from None
    _make_folder(folder)
    written = []
    for key, table in tables.items():
        path = os.path.join(folder, _file_name(key, ".parquet"))
        with in_place(path, ".parquet") as partial:
            try:
                pq.write_table(table, partial)
            except OSError as error:
                raise CliError(f"cannot write {path}: {error}") from None
        written.append(path)
    return written


def _make_folder(folder: str) -> None:
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        raise CliError(f"cannot write into {folder}: {(error.strerror or str(error)).lower()}") from None


def _write_table(f: TextIO, table: Dict[str, Any]) -> None:
    """The table's columns (the row numbers left out): numbers as Python
    writes them, timestamps with microseconds' digits and more where they
    have them, absent values as empty cells."""
    names = [n for n in table if n != "row"]
    writer = csv.writer(f)
    writer.writerow(names)
    cells = []
    for name in names:
        values = table[name].tolist()
        if name == "timestamp":
            cells.append([repr(v) for v in values])
        elif name in ("channel", "source_address") or table[name].dtype.kind == "U":
            cells.append(values)
        else:
            cells.append(["" if math.isnan(v) else number(v) for v in values])
    writer.writerows(zip(*cells))
