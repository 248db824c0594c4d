"""MdfFile.decoded_batches: one message's decoded signals as a stream of
record batches, the shape a DuckDB or polars user reaches for (a variable
DuckDB queries by name, a reader pyarrow and polars import).

The signals are decoded natively in one pass over the recording, as
decode_to_arrow() decodes them (only the message's own signals where a
`signals` choice does not say otherwise), and the message's table is handed
out `batch_rows` rows at a time without a copy: the memory is that of the
message's decoded table, not of the recording."""

from __future__ import annotations

import os
from typing import Any, Iterable, List, Mapping, Optional

import pyarrow as pa


def _loaded(database: Any) -> Any:
    """The decode argument (a database, a path, or a mapping of channel names
    to either) with every path read once into its cantools database, so that
    the signal names and the decoding come from the same reading."""
    try:
        import cantools
    except ImportError:
        raise ImportError("cantools is not installed: pip install python_can_tolvar_mf4[decode]") from None

    def load(value: Any) -> Any:
        if isinstance(value, (str, os.PathLike)):
            return cantools.database.load_file(os.fspath(value))
        return value

    if isinstance(database, Mapping):
        return {channel: load(value) for channel, value in database.items()}
    return load(database)


def _own_signals(database: Any, message: str) -> Optional[List[str]]:
    """"MESSAGE.SIGNAL" for every signal of the message the (loaded)
    databases name (a key "CHANNEL.MESSAGE" names the message of that
    channel's database); None where no database has it."""
    name = message.split(".", 1)[1] if message.startswith("CAN ") and "." in message else message
    values = list(database.values()) if isinstance(database, Mapping) else [database]
    signals: List[str] = []
    for db in values:
        for m in getattr(db, "messages", []):
            if m.name == name:
                signals.extend(f"{m.name}.{s.name}" for s in m.signals)
    return sorted(set(signals)) or None


def decoded_batches(reader: Any, database: Any, message: str, signals: Optional[Iterable[str]] = None,
                    choices: bool = False) -> pa.RecordBatchReader:
    if not isinstance(message, str):
        raise TypeError("message must be a str, the name of a message of the database")
    if isinstance(signals, str):
        raise TypeError("signals must be an iterable of signal names, not a single str")
    if signals is None:
        database = _loaded(database)
    chosen = list(signals) if signals is not None else _own_signals(database, message)
    if chosen is None:
        raise ValueError(f"unknown message '{message}': no database given has it")
    tables = reader.decode_to_arrow(database, signals=chosen, choices=choices)
    table = tables.get(message)
    if table is None:
        known = ", ".join(repr(k) for k in tables) or "none"
        raise ValueError(f"message '{message}': no frame of the recording matched it, or none of its signals "
                         f"was chosen (the messages decoded: {known})")
    return pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=reader.batch_rows))
