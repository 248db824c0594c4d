"""tolvar-mf4: print the frames of an ASAM MDF 4 bus-logging recording, or
convert it to any log format python-can writes.

    tolvar-mf4 [FILE]                    print every frame, one line each
    tolvar-mf4 FILE -o out.blf           convert (.asc .blf .csv .log .trc .db ...)
    tolvar-mf4 FILE --metadata [-o F]    the recording's metadata as JSON
    tolvar-mf4 FILE --filter 123:7FF     only the frames a python-can filter lets through
    tolvar-mf4 FILE --channel "CAN 1"    only the frames of these channels
    tolvar-mf4 FILE --start 10 --stop 20 only the frames of seconds 10 to 20 of the recording
    tolvar-mf4 FILE --any-writer         a recording of another MDF 4 writer

Without FILE the sample recording shipped with the package is read.
Passwords of encrypted recordings come from --password [KEYID=]PASSWORD
(repeatable) or the environment variable TOLVAR_MF4_PASSWORD; they are never
printed.

A conversion writes every frame the recording gives, or fails: frames that the
output format cannot carry (LIN frames in most formats, CAN FD, remote and
error frames in .trc) are counted and make the program fail unless
--skip-lin / --skip-unwritable allow leaving them out; where the format lets
the finished file be counted, it is. The output is written to a temporary
file beside it and renamed into place only once complete.
"""

from __future__ import annotations

import argparse
import contextlib
import gzip
import importlib.metadata
import importlib.resources
import json
import logging
import os
import re
import sqlite3
import sys
import tempfile
import time
from typing import Any, Callable, Dict, FrozenSet, Iterator, List, NamedTuple, Optional, Sequence, Tuple

__all__ = ["main", "sample_path", "parse_passwords", "parse_filter"]

PROGRAM = "tolvar-mf4"
PASSWORD_ENV = "TOLVAR_MF4_PASSWORD"
SAMPLE = "sample.mf4"
_KEYED = re.compile(r"^([0-9A-Fa-f]{8}|default)=(.*)$", re.DOTALL)


class CliError(Exception):
    """A failure reported as one line and exit code 1."""


def parse_passwords(entries: Sequence[str]) -> Dict[str, str]:
    """{key identifier or "default": password} from [KEYID=]PASSWORD entries.

    KEYID is 8 hexadecimal digits (any case) or "default"; an entry without
    one is the default password. Later entries win.
    """
    passwords: Dict[str, str] = {}
    for entry in entries:
        match = _KEYED.match(entry)
        if match:
            key = match.group(1)
            passwords["default" if key == "default" else key.upper()] = match.group(2)
        else:
            passwords["default"] = entry
    return passwords


def parse_filter(text: str) -> Dict[str, object]:
    """A python-can filter dict from ID:MASK in hexadecimal, as python-can's
    own tools spell it, with an optional :x (extended identifiers only) or
    :s (standard identifiers only)."""
    parts = text.split(":")
    if len(parts) not in (2, 3) or (len(parts) == 3 and parts[2].lower() not in ("x", "s")):
        raise argparse.ArgumentTypeError(f"not ID:MASK[:x|:s] in hexadecimal: {text!r}")
    try:
        can_filter: Dict[str, object] = {"can_id": int(parts[0], 16), "can_mask": int(parts[1], 16)}
    except ValueError:
        raise argparse.ArgumentTypeError(f"not ID:MASK[:x|:s] in hexadecimal: {text!r}") from None
    if len(parts) == 3:
        can_filter["extended"] = parts[2].lower() == "x"
    return can_filter


@contextlib.contextmanager
def sample_path() -> Iterator[str]:
    """A file-system path of the sample recording shipped with the package."""
    resource = importlib.resources.files(__name__) / SAMPLE
    with importlib.resources.as_file(resource) as path:
        yield str(path)


class _Reasons(logging.Handler):
    """Keeps the reader's log lines: the reasons behind a failure, told in the
    one error line, and warnings, told once each."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.messages: List[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        message = record.getMessage()
        if message not in self.messages:
            self.messages.append(message)


class _Once(logging.Filter):
    """Lets each distinct log line through once (a writer that cannot store
    some frames says so for every frame)."""

    def __init__(self) -> None:
        super().__init__()
        self.seen: set = set()

    def filter(self, record: logging.LogRecord) -> bool:
        key = (record.name, record.levelno, record.getMessage())
        if key in self.seen:
            return False
        self.seen.add(key)
        return True


class _LowerLevel(logging.Formatter):
    def format(self, record: logging.LogRecord) -> str:
        return f"{PROGRAM}: {record.levelname.lower()}: {record.getMessage()}"


def _set_up_logging() -> _Reasons:
    reasons = _Reasons()
    reader_log = logging.getLogger("python_can_tolvar_mf4")
    reader_log.addHandler(reasons)
    reader_log.setLevel(logging.DEBUG)
    reader_log.propagate = False
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_LowerLevel())
    handler.addFilter(_Once())
    handler.setLevel(logging.WARNING)
    logging.getLogger().addHandler(handler)
    return reasons


class Progress:
    """A live count, total, percentage and rate on stderr, only when stderr is
    a terminal. The total is what the recording states it holds (0: unknown);
    a recording whose writer did not finish may state fewer than it gives."""

    def __init__(self, stream, total: int = 0) -> None:
        self.stream = stream
        self.live = bool(getattr(stream, "isatty", lambda: False)())
        self.total = total
        self.start = time.monotonic()
        self.shown = self.start
        self.count = 0

    def tick(self) -> None:
        self.count += 1
        if self.live and self.count % 1024 == 0:
            now = time.monotonic()
            if now - self.shown >= 0.2:
                self.shown = now
                self._show(now)

    def line(self, now: float) -> str:
        rate = self.count / max(now - self.start, 1e-9)
        if 0 < self.count <= self.total:
            done = f"{self.count:,} of {self.total:,} frames ({100.0 * self.count / self.total:.0f}%)"
        else:
            done = f"{self.count:,} frames"
        return f"{done}  {rate:,.0f} frames/s"

    def _show(self, now: float) -> None:
        self.stream.write(f"\r{self.line(now)} ")
        self.stream.flush()

    def done(self) -> None:
        if self.live:
            self._show(time.monotonic())
            self.stream.write("\n")
            self.stream.flush()


def _version() -> str:
    try:
        ours = importlib.metadata.version("python_can_tolvar_mf4")
    except importlib.metadata.PackageNotFoundError:
        ours = "(not installed)"
    try:
        can_version = importlib.metadata.version("python-can")
    except importlib.metadata.PackageNotFoundError:
        can_version = "not installed"
    return f"{PROGRAM} {ours} (python-can {can_version})"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Print the CAN, CAN FD and LIN frames of an ASAM MDF 4 recording, "
                    "or convert it to a log format python-can writes.",
        epilog=f"Passwords may also come from the environment variable {PASSWORD_ENV} "
               "([KEYID=]PASSWORD). Without FILE the shipped sample recording is read.")
    parser.add_argument("file", nargs="?", metavar="FILE", help="the recording (.mf4); default: the sample")
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="convert to this file; its suffix picks the format "
                             "(.asc .blf .csv .db .log .mf4 .trc .txt, and .gz after a text format); "
                             "with --metadata, the JSON goes there")
    parser.add_argument("-p", "--password", action="append", default=[], metavar="[KEYID=]PASSWORD",
                        help="password of an encrypted recording; KEYID is 8 hex digits or 'default' "
                             "(repeatable)")
    parser.add_argument("--metadata", action="store_true", help="print the recording's metadata as JSON")
    parser.add_argument("--skip-lin", action="store_true",
                        help="leave LIN frames out of a format that cannot carry them "
                             "(counted on stderr) instead of failing")
    parser.add_argument("--skip-unwritable", action="store_true",
                        help="leave out every frame the format cannot carry (LIN frames; CAN FD, remote "
                             "and error frames in .trc), counted on stderr, instead of failing")
    parser.add_argument("--version", action="version", version=_version())
    parser.add_argument("--filter", action="append", type=parse_filter, dest="filters", metavar="ID:MASK",
                        help="keep frames whose identifier matches ID in the bits of MASK (hexadecimal, as "
                             "python-can's tools take them; :x or :s after the mask for extended or standard "
                             "identifiers only); repeatable, a frame passes when any filter matches")
    parser.add_argument("--channel", action="append", dest="channels", metavar="NAME",
                        help='keep frames of this channel, named as messages name it ("CAN 1", "LIN 2"); '
                             "repeatable")
    parser.add_argument("--start", type=float, metavar="SECONDS",
                        help="keep frames from this many seconds after the recording's start")
    parser.add_argument("--stop", type=float, metavar="SECONDS",
                        help="keep frames before this many seconds after the recording's start")
    parser.add_argument("--any-writer", action="store_true",
                        help="read recordings of other MDF 4 writers too (python-can, asammdf, ...): "
                             "their standard bus-logging layouts and compressed data")
    return parser


# The reader's log line when a recording's file history names another writer.
_OTHER_WRITER = "Unsupported MF4 file"
_OTHER_WRITER_HINT = "--any-writer reads recordings of other writers"


def _cannot_open(source: str) -> str:
    """Why a path does not open for reading, as the system says it."""
    try:
        with open(source, "rb"):
            return "could not open file"
    except OSError as error:
        return (error.strerror or str(error)).lower()


def _filter_options(args: argparse.Namespace) -> Dict[str, object]:
    options: Dict[str, object] = {}
    if args.filters:
        options["can_filters"] = args.filters
    if args.channels:
        options["channels"] = args.channels
    return options


def _open(source: str, passwords: Dict[str, str], args: Optional[argparse.Namespace] = None):
    import python_can_tolvar_mf4

    kwargs: Dict[str, object] = {"passwords": passwords} if passwords else {}
    if args is not None:
        kwargs.update(_filter_options(args))
        if args.any_writer:
            kwargs["any_writer"] = True
    try:
        if args is not None and (args.start is not None or args.stop is not None):
            # The window is relative to the recording's start, which only the
            # opened recording tells.
            with python_can_tolvar_mf4.MdfFile(source, **kwargs) as first:
                origin = first.start_timestamp
            if args.start is not None:
                kwargs["start"] = origin + args.start
            if args.stop is not None:
                kwargs["stop"] = origin + args.stop
        return python_can_tolvar_mf4.MdfFile(source, **kwargs)
    except IsADirectoryError:
        raise CliError(f"cannot open {source}: is a directory") from None
    except (FileNotFoundError, PermissionError):
        # The reader tells every path that does not open the same way; the
        # system says why (missing, permission denied, a directory).
        raise CliError(f"cannot open {source}: {_cannot_open(source)}") from None
    except (RuntimeError, ValueError, TypeError, OSError) as error:
        raise CliError(f"{source}: {error}") from None


def _print_frames(reader, out) -> None:
    write = out.write
    for message in reader:
        write(f"{message}\n")
    out.flush()


# -- conversion ----------------------------------------------------------------

# Kinds of frame, as a format carries them or not.
CAN, CAN_FD, REMOTE, ERROR, LIN = "CAN", "CAN FD", "remote", "error", "LIN"
_CAN_KINDS = frozenset({CAN, CAN_FD, REMOTE, ERROR})
_CHANNEL = re.compile(r"^(CAN|LIN) (\d+)$")


def kind_of(message) -> str:
    if isinstance(message.channel, str) and message.channel.startswith("LIN "):
        return LIN
    if message.is_error_frame:
        return ERROR
    if message.is_remote_frame:
        return REMOTE
    return CAN_FD if message.is_fd else CAN


def _bus_number(message) -> Optional[int]:
    match = _CHANNEL.match(message.channel) if isinstance(message.channel, str) else None
    return int(match.group(2)) if match else None


def _numbered_after_writer_adds_one(message) -> None:
    """python-can's ASC, BLF and TRC writers add one to an integer channel
    (their interfaces count from 0, the formats from 1): the bus number less
    one makes the file show the bus number of the frame, "CAN 1" as 1."""
    number = _bus_number(message)
    if number is not None:
        message.channel = number - 1


def _named_without_blanks(message) -> None:
    """The canutils log format separates fields by blanks and names channels
    like interfaces: "CAN 1" is written as "can1", "LIN 2" as "lin2"."""
    if isinstance(message.channel, str):
        message.channel = message.channel.replace(" ", "").lower()


def _lines(keep: Callable[[bytes], bool], headers: int = 0) -> Callable[[str], int]:
    """Counts the frames of a finished text file: its lines that `keep`
    accepts, less `headers` (compressed files too)."""
    def count(path: str) -> int:
        opener = gzip.open if path.lower().endswith(".gz") else open
        with opener(path, "rb") as f:
            return sum(1 for line in f if keep(line)) - headers
    return count


_ASC_FRAME = re.compile(rb"^\s*\d+\.\d+\s+(?:CANFD\s+)?\d+\s")


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


class Format(NamedTuple):
    """What a format python-can writes can carry, how its channels are
    written, and how to count the frames of a finished file (None: not
    counted)."""
    carries: FrozenSet[str]
    channel: Optional[Callable[[Any], None]]
    count: Optional[Callable[[str], int]]


def _not_blank(line: bytes) -> bool:
    return bool(line.strip())


# Read from python-can's writers: none writes LIN frames except the two that
# write the channel as text (the canutils log and the printer's lines, where
# the frame says "lin1" or "LIN 1"); .csv and .db have no channel column at
# all; the TRC writer leaves out CAN FD, remote and error frames.
FORMATS: Dict[str, Format] = {
    ".asc": Format(_CAN_KINDS, _numbered_after_writer_adds_one,
                   _lines(lambda line: bool(_ASC_FRAME.match(line)))),
    ".blf": Format(_CAN_KINDS, _numbered_after_writer_adds_one, _blf_objects),
    ".csv": Format(_CAN_KINDS, None, _lines(_not_blank, headers=1)),
    ".db": Format(_CAN_KINDS, None, _sqlite_rows),
    ".log": Format(_CAN_KINDS | {LIN}, _named_without_blanks, _lines(_not_blank)),
    ".mf4": Format(_CAN_KINDS, None, None),
    ".trc": Format(frozenset({CAN}), _numbered_after_writer_adds_one,
                   _lines(lambda line: bool(line.strip()) and not line.startswith(b";"))),
    ".txt": Format(_CAN_KINDS | {LIN}, None, _lines(_not_blank)),
}
# A writer another package adds to python-can: its frames as they are, LIN
# frames not (nothing says it carries them), nothing counted.
OTHER_FORMAT = Format(_CAN_KINDS, None, None)


def format_suffix(output: str) -> str:
    """The suffix that picks the writer, as python-can picks it: the last one,
    or the one before .gz."""
    suffixes = [s.lower() for s in os.path.basename(output).split(".")[1:]]
    if len(suffixes) >= 2 and suffixes[-1] == "gz":
        return "." + suffixes[-2]
    return "." + suffixes[-1] if suffixes else ""


class SqliteFrames:
    """Writes frames in python-can's sqlite layout (the table and columns its
    SqliteWriter creates and its SqliteReader reads) in one transaction.
    python-can's own writer buffers in a thread and drops what it has not
    written when stopped; this one writes everything before stop() returns."""

    TABLE = "messages"
    BATCH = 20000

    def __init__(self, path: str) -> None:
        self.db = sqlite3.connect(path)
        self.db.execute(f"""CREATE TABLE IF NOT EXISTS {self.TABLE}
            (ts REAL, arbitration_id INTEGER, extended INTEGER, remote INTEGER,
             error INTEGER, dlc INTEGER, data BLOB)""")
        self.rows: List[tuple] = []

    def on_message_received(self, msg) -> None:
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


@contextlib.contextmanager
def _in_place(output: str, suffix: str = "") -> Iterator[str]:
    """A temporary path beside `output` (ending in `suffix`, so the writer
    picks the same format), renamed to `output` when the block ends without
    an exception and removed otherwise: the output appears complete or not
    at all."""
    folder = os.path.dirname(os.path.abspath(output))
    try:
        handle, partial = tempfile.mkstemp(dir=folder, prefix=f".{PROGRAM}-partial-", suffix=suffix)
    except OSError as error:
        raise CliError(f"cannot write {output}: {(error.strerror or str(error)).lower()}") from None
    os.close(handle)
    try:
        yield partial
        # mkstemp made it readable by its owner alone: give it the
        # permissions any new file gets.
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(partial, 0o666 & ~mask)
        os.replace(partial, output)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(partial)
        raise


def _left_out(counts: Dict[str, int]) -> str:
    return ", ".join(f"{n:,} {kind} frame{'s' if n != 1 else ''}" for kind, n in counts.items())


def _write_frames(reader, writer, fmt: Format, progress: Progress) -> Tuple[int, Dict[str, int]]:
    """Hands every frame the format carries to the writer; returns how many
    it was given and how many of each other kind were left out."""
    written = 0
    left_out: Dict[str, int] = {}
    carries = fmt.carries
    adapt = fmt.channel
    receive = writer.on_message_received
    for message in reader:
        progress.tick()
        kind = kind_of(message)
        if kind not in carries:
            left_out[kind] = left_out.get(kind, 0) + 1
            continue
        if adapt is not None:
            adapt(message)
        receive(message)
        written += 1
    return written, left_out


def _convert(reader, source: str, output: str, progress: Progress, allowed: FrozenSet[str]) -> List[str]:
    """Converts into `output`; returns the warnings to show."""
    import can

    if os.path.exists(output) and os.path.exists(source) and os.path.samefile(source, output):
        raise CliError(f"{output}: the output would overwrite the recording")
    suffix = format_suffix(output)
    fmt = FORMATS.get(suffix, OTHER_FORMAT)
    name_suffix = suffix + (".gz" if output.lower().endswith(".gz") and suffix != ".gz" else "")
    with _in_place(output, name_suffix) as partial:
        try:
            writer = SqliteFrames(partial) if name_suffix == ".db" else can.Logger(partial)
        except (ValueError, ImportError) as error:
            raise CliError(f"{output}: {error}") from None
        except (OSError, sqlite3.Error) as error:
            raise CliError(f"cannot write {output}: {getattr(error, 'strerror', None) or error}") from None
        try:
            written, left_out = _write_frames(reader, writer, fmt, progress)
            if isinstance(writer, SqliteFrames):
                writer.finish()
        finally:
            writer.stop()
            progress.done()
        refused = {kind: n for kind, n in left_out.items() if kind not in allowed}
        if refused:
            flag = "--skip-lin" if set(refused) == {LIN} else "--skip-unwritable"
            raise CliError(f"{output}: the format cannot carry {_left_out(refused)} of the recording; "
                           f"nothing was written ({flag} writes the rest)")
        if fmt.count is not None:
            try:
                found = fmt.count(partial)
            except Exception as error:  # a file the format's own reader refuses
                raise CliError(f"{output}: the written file could not be counted: {error}") from None
            if found != written:
                raise CliError(f"{output}: {found:,} of {written:,} frames reached the file")
    if left_out:
        return [f"{_left_out(left_out)} left out: {suffix or output} cannot carry them"]
    return []


def _write_metadata(metadata, output: Optional[str]) -> None:
    text = json.dumps(metadata, indent=2, ensure_ascii=False) + "\n"
    if output is None:
        sys.stdout.write(text)
        return
    with _in_place(output) as partial:
        try:
            with open(partial, "w", encoding="utf-8") as f:
                f.write(text)
        except OSError as error:
            raise CliError(f"cannot write {output}: {(error.strerror or str(error)).lower()}") from None


def _run(args: argparse.Namespace) -> List[str]:
    entries: List[str] = []
    env = os.environ.get(PASSWORD_ENV)
    if env:
        entries.append(env)
    entries.extend(args.password)
    passwords = parse_passwords(entries)
    allowed = frozenset(_CAN_KINDS | {LIN}) if args.skip_unwritable else (
        frozenset({LIN}) if args.skip_lin else frozenset())

    with contextlib.ExitStack() as stack:
        source = args.file if args.file is not None else stack.enter_context(sample_path())
        if args.start is not None and args.stop is not None and args.start > args.stop:
            raise CliError("--start must not be after --stop")
        reader = _open(source, passwords, args)
        stack.callback(reader.stop)
        try:
            if args.metadata:
                _write_metadata(reader.get_metadata(), args.output)
            elif args.output:
                # With a filter the frames to come are not known in advance:
                # the progress line then counts without a total.
                filtered = bool(_filter_options(args)) or args.start is not None or args.stop is not None
                total = 0 if filtered else reader.get_record_count()
                return _convert(reader, source, args.output, Progress(sys.stderr, total), allowed)
            else:
                _print_frames(reader, sys.stdout)
        except RuntimeError as error:
            raise CliError(f"{source}: {error}") from None
        except OSError as error:
            if isinstance(error, BrokenPipeError):
                raise
            raise CliError(f"{source}: {error}") from None
    return []


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    reasons = _set_up_logging()
    try:
        warnings = _run(args)
    except CliError as error:
        sys.stdout.flush()
        why = f" ({'; '.join(reasons.messages[-3:])})" if reasons.messages else ""
        if not args.any_writer and _OTHER_WRITER in reasons.messages:
            why += f"; {_OTHER_WRITER_HINT}"
        print(f"{PROGRAM}: error: {error}{why}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of our output went away (| head): not an error.
        with contextlib.suppress(OSError):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        return 130
    for message in reasons.messages + warnings:
        print(f"{PROGRAM}: warning: {message}", file=sys.stderr)
    return 0
