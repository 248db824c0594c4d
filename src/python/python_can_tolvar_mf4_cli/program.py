"""The program: the recording opened once, its frames printed or converted
or its metadata written, and every failure told as one line."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from typing import TYPE_CHECKING, Iterable, List, Optional, Sequence, TextIO

from . import arguments
from .arguments import PROGRAM
from .convert import convert, write_metadata
from .errors import CliError
from .logs import kept_logs, short_counts
from .parquet import is_parquet, write_parquet
from .progress import Progress
from .signals import load_databases, print_signals, write_csv_files, write_parquet_files

if TYPE_CHECKING:
    import can
    from python_can_tolvar_mf4 import MdfFile

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


def open_recording(source: str, args: argparse.Namespace) -> MdfFile:
    """The recording, opened once with the keywords that need nothing of it:
    its window, if any, is placed by select_window()."""
    import python_can_tolvar_mf4

    try:
        return python_can_tolvar_mf4.MdfFile(source, **arguments.open_keywords(args))
    except IsADirectoryError:
        raise CliError(f"cannot open {source}: is a directory") from None
    except (FileNotFoundError, PermissionError):
        # The reader tells every path that does not open the same way; the
        # system says why (missing, permission denied, a directory).
        raise CliError(f"cannot open {source}: {_cannot_open(source)}") from None
    except (RuntimeError, ValueError, TypeError, OSError) as error:
        raise CliError(f"{source}: {error}") from None


def select_window(reader: MdfFile, source: str, args: argparse.Namespace) -> None:
    """Places --start/--stop, seconds from the recording's start (which only
    the open recording tells), on the open reader, with the other filters
    again: the selection replaces all of them."""
    if not arguments.has_window(args):
        return
    try:
        window = arguments.window_keywords(args, reader.start_timestamp)
        # A private method of the reader, for this program: not in its types.
        select = getattr(reader, "_select")
        select(**arguments.filter_keywords(args), **window)
    except (RuntimeError, ValueError, TypeError, OSError) as error:
        raise CliError(f"{source}: {error}") from None


def _print_frames(frames: Iterable[can.Message], out: TextIO) -> None:
    write = out.write
    for message in frames:
        write(f"{message}\n")
    out.flush()


def _act(reader: MdfFile, source: str, args: argparse.Namespace, database: object) -> List[str]:
    """Does what the options ask of the open recording; returns the warnings
    to show."""
    if args.dbc:
        if args.output and args.signal_format == "parquet":
            write_parquet_files(reader, database, args.output)
        elif args.output:
            write_csv_files(reader, database, args.output)
        else:
            print_signals(reader, database, sys.stdout)
    elif args.metadata:
        write_metadata(reader.get_metadata(), args.output)
    elif args.output:
        # With a filter the frames to come are not known in advance: the
        # progress line then counts without a total.
        total = 0 if arguments.selects(args) else reader.get_record_count()
        if is_parquet(args.output):
            return write_parquet(reader, source, args.output, Progress(sys.stderr, total))
        return convert(reader, source, args.output, Progress(sys.stderr, total),
                       arguments.kinds_left_out(args))
    else:
        _print_frames(reader, sys.stdout)
    return []


def _run(args: argparse.Namespace) -> List[str]:
    if args.start is not None and args.stop is not None and args.start > args.stop:
        raise CliError("--start must not be after --stop")
    if args.dbc and args.metadata:
        raise CliError("--dbc and --metadata cannot be given together")
    if args.signal_format != "csv" and not (args.dbc and args.output):
        raise CliError("--signal-format chooses the files of --dbc with -o DIR: give both")
    # The databases first: a mistyped one is told before a long recording opens.
    database = load_databases(args.dbc) if args.dbc else None
    with contextlib.ExitStack() as stack:
        source = args.file if args.file is not None else stack.enter_context(arguments.sample_path())
        reader = open_recording(source, args)
        stack.callback(reader.stop)
        select_window(reader, source, args)
        try:
            return _act(reader, source, args, database)
        except RuntimeError as error:
            raise CliError(f"{source}: {error}") from None
        except OSError as error:
            if isinstance(error, BrokenPipeError):
                raise
            raise CliError(f"{source}: {error}") from None


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = arguments.parser().parse_args(argv)
    with kept_logs() as reasons:
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
        if args.strict and short_counts(reasons.messages):
            print(f"{PROGRAM}: error: the recording gave fewer records than it states (--strict)", file=sys.stderr)
            return 1
    return 0
