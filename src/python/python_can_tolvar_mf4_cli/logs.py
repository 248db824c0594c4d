"""The reader's log lines while the program runs: kept as the reasons behind
a failure, and the warnings of everything else shown once each on stderr."""

from __future__ import annotations

import contextlib
import logging
import sys
from typing import Iterator, List, Set, Tuple

from .arguments import PROGRAM

READER_LOG = "python_can_tolvar_mf4"


class Reasons(logging.Handler):
    """Keeps the reader's log lines: the reasons behind a failure, told in the
    one error line, and warnings, told once each."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.messages: List[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        message = record.getMessage()
        if message not in self.messages:
            self.messages.append(message)


# What the reader logs of a data group that gave fewer records than it states.
SHORT_COUNT = " records stated, "


def short_counts(messages: List[str]) -> List[str]:
    """The reader's lines that tell of records missing."""
    return [m for m in messages if SHORT_COUNT in m]


class _Once(logging.Filter):
    """Lets each distinct log line through once (a writer that cannot store
    some frames says so for every frame)."""

    def __init__(self) -> None:
        super().__init__()
        self.seen: Set[Tuple[str, int, str]] = set()

    def filter(self, record: logging.LogRecord) -> bool:
        key = (record.name, record.levelno, record.getMessage())
        if key in self.seen:
            return False
        self.seen.add(key)
        return True


class _LowerLevel(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        return f"{PROGRAM}: {record.levelname.lower()}: {record.getMessage()}"


@contextlib.contextmanager
def kept_logs() -> Iterator[Reasons]:
    """While the block runs, the reader's log lines go to the Reasons it
    gives, and other warnings to stderr; afterwards logging is as it was, so
    that main() called again in one process neither doubles its lines nor
    keeps the reasons of an earlier run."""
    reasons = Reasons()
    reader_log = logging.getLogger(READER_LOG)
    level, propagate = reader_log.level, reader_log.propagate
    reader_log.addHandler(reasons)
    reader_log.setLevel(logging.DEBUG)
    reader_log.propagate = False
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_LowerLevel())
    handler.addFilter(_Once())
    handler.setLevel(logging.WARNING)
    root = logging.getLogger()
    root.addHandler(handler)
    try:
        yield reasons
    finally:
        root.removeHandler(handler)
        reader_log.removeHandler(reasons)
        reader_log.setLevel(level)
        reader_log.propagate = propagate
