"""tolvar-mf4: print the frames of an ASAM MDF 4 bus-logging recording, or
convert it to any log format python-can writes.

    tolvar-mf4 [FILE]                    print every frame, one line each
    tolvar-mf4 FILE -o out.blf           convert (.asc .blf .csv .log .trc .db ...)
    tolvar-mf4 FILE --metadata           the recording's metadata as JSON
    tolvar-mf4 FILE --any-writer         a recording of another MDF 4 writer

Without FILE the sample recording shipped with the package is read.
Passwords of encrypted recordings come from --password [KEYID=]PASSWORD
(repeatable) or the environment variable TOLVAR_MF4_PASSWORD; they are never
printed.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.resources
import json
import logging
import os
import re
import sys
import time
from typing import Dict, Iterator, List, Optional, Sequence

__all__ = ["main", "sample_path", "parse_passwords"]

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
    """A live count and rate on stderr, only when stderr is a terminal."""

    def __init__(self, stream) -> None:
        self.stream = stream
        self.live = bool(getattr(stream, "isatty", lambda: False)())
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

    def _show(self, now: float) -> None:
        elapsed = max(now - self.start, 1e-9)
        self.stream.write(f"\r{self.count:,} frames  {self.count / elapsed:,.0f} frames/s ")
        self.stream.flush()

    def done(self) -> None:
        if self.live:
            self._show(time.monotonic())
            self.stream.write("\n")
            self.stream.flush()


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
                             "(.asc .blf .csv .log .trc .db, and what else python-can writes)")
    parser.add_argument("-p", "--password", action="append", default=[], metavar="[KEYID=]PASSWORD",
                        help="password of an encrypted recording; KEYID is 8 hex digits or 'default' "
                             "(repeatable)")
    parser.add_argument("--metadata", action="store_true", help="print the recording's metadata as JSON")
    parser.add_argument("--any-writer", action="store_true",
                        help="read recordings of other MDF 4 writers too (python-can, asammdf, ...): "
                             "their standard bus-logging layouts and compressed data")
    return parser


# The reader's log line when a recording's file history names another writer.
_OTHER_WRITER = "Unsupported MF4 file"
_OTHER_WRITER_HINT = "--any-writer reads recordings of other writers"


def _open(source: str, passwords: Dict[str, str], any_writer: bool = False):
    import python_can_tolvar_mf4

    kwargs: Dict[str, object] = {"passwords": passwords} if passwords else {}
    if any_writer:
        kwargs["any_writer"] = True
    try:
        return python_can_tolvar_mf4.MdfFile(source, **kwargs)
    except FileNotFoundError as error:
        raise CliError(f"cannot open {source}: {error.strerror or error}") from None
    except IsADirectoryError:
        raise CliError(f"cannot open {source}: is a directory") from None
    except PermissionError as error:
        raise CliError(f"cannot open {source}: {error.strerror or error}") from None
    except (RuntimeError, ValueError, TypeError, OSError) as error:
        raise CliError(f"{source}: {error}") from None


def _channels_without_blanks(reader):
    """The canutils log format separates fields by blanks and names channels
    like interfaces: "CAN 1" is written as "can1"."""
    for message in reader:
        if isinstance(message.channel, str):
            message.channel = message.channel.replace(" ", "").lower()
        yield message


def _print_frames(reader, out) -> None:
    write = out.write
    for message in reader:
        write(f"{message}\n")
    out.flush()


def _convert(reader, source: str, output: str, progress: Progress) -> None:
    import can

    if os.path.exists(output) and os.path.exists(source) and os.path.samefile(source, output):
        raise CliError(f"{output}: the output would overwrite the recording")
    try:
        writer = can.Logger(output)
    except (ValueError, ImportError) as error:
        raise CliError(f"{output}: {error}") from None
    except OSError as error:
        raise CliError(f"cannot write {output}: {error.strerror or error}") from None
    messages = _channels_without_blanks(reader) if output.lower().endswith(".log") else reader
    try:
        for message in messages:
            writer.on_message_received(message)
            progress.tick()
    finally:
        writer.stop()
        progress.done()


def _run(args: argparse.Namespace) -> None:
    entries: List[str] = []
    env = os.environ.get(PASSWORD_ENV)
    if env:
        entries.append(env)
    entries.extend(args.password)
    passwords = parse_passwords(entries)

    with contextlib.ExitStack() as stack:
        source = args.file if args.file is not None else stack.enter_context(sample_path())
        reader = _open(source, passwords, args.any_writer)
        stack.callback(reader.stop)
        try:
            if args.metadata:
                json.dump(reader.get_metadata(), sys.stdout, indent=2, ensure_ascii=False)
                sys.stdout.write("\n")
            elif args.output:
                _convert(reader, source, args.output, Progress(sys.stderr))
            else:
                _print_frames(reader, sys.stdout)
        except RuntimeError as error:
            raise CliError(f"{source}: {error}") from None
        except OSError as error:
            if isinstance(error, BrokenPipeError):
                raise
            raise CliError(f"{source}: {error}") from None


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    reasons = _set_up_logging()
    try:
        _run(args)
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
    for message in reasons.messages:
        print(f"{PROGRAM}: warning: {message}", file=sys.stderr)
    return 0
