"""What the user hands the program: the options, the recording (the shipped
sample without one), its passwords and the filter keywords they make."""

from __future__ import annotations

import argparse
import contextlib
import importlib.metadata
import importlib.resources
import os
import re
from typing import Any, Dict, FrozenSet, Iterator, List, Sequence

from .channels import EVERY_KIND, LIN

PROGRAM = "tolvar-mf4"
PASSWORD_ENV = "TOLVAR_MF4_PASSWORD"
SAMPLE = "sample.mf4"
_KEYED = re.compile(r"^([0-9A-Fa-f]{8}|default)=(.*)$", re.DOTALL)


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
    package = __name__.rpartition(".")[0]
    resource = importlib.resources.files(package) / SAMPLE
    with importlib.resources.as_file(resource) as path:
        yield str(path)


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


def parser() -> argparse.ArgumentParser:
    result = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Print the CAN, CAN FD and LIN frames of an ASAM MDF 4 recording, "
                    "or convert it to a log format python-can writes or to Parquet.",
        epilog=f"Passwords may also come from the environment variable {PASSWORD_ENV} "
               "([KEYID=]PASSWORD). Without FILE the shipped sample recording is read.")
    add = result.add_argument
    add("file", nargs="?", metavar="FILE", help="the recording (.mf4); default: the sample")
    add("-o", "--output", metavar="OUT",
        help="convert to this file; its suffix picks the format "
             "(.asc .blf .csv .db .log .mf4 .trc .txt, and .gz after a text format; "
             ".parquet, written batch by batch); "
             "with --metadata, the JSON goes there")
    add("-p", "--password", action="append", default=[], metavar="[KEYID=]PASSWORD",
        help="password of an encrypted recording; KEYID is 8 hex digits or 'default' (repeatable)")
    add("--metadata", action="store_true", help="print the recording's metadata as JSON")
    add("--skip-lin", action="store_true",
        help="leave LIN frames out of a format that cannot carry them (counted on stderr) instead of failing")
    add("--skip-unwritable", action="store_true",
        help="leave out every frame the format cannot carry (LIN frames; CAN FD, remote "
             "and error frames in .trc), counted on stderr, instead of failing")
    add("--version", action="version", version=_version())
    add("--filter", action="append", type=parse_filter, dest="filters", metavar="ID:MASK",
        help="keep frames whose identifier matches ID in the bits of MASK (hexadecimal, as "
             "python-can's tools take them; :x or :s after the mask for extended or standard "
             "identifiers only); repeatable, a frame passes when any filter matches")
    add("--channel", action="append", dest="channels", metavar="NAME",
        help='keep frames of this channel, named as messages name it ("CAN 1", "LIN 2"); repeatable')
    add("--start", type=float, metavar="SECONDS",
        help="keep frames from this many seconds after the recording's start")
    add("--stop", type=float, metavar="SECONDS",
        help="keep frames before this many seconds after the recording's start")
    add("--dbc", action="append", metavar="[CHANNEL=]FILE",
        help="decode signals with this CAN database (DBC, ARXML, KCD or SYM, read with cantools): "
             "one line per decoded frame, or with -o DIR one CSV file per message in DIR; "
             '"CAN 1=FILE" for the database of one bus (repeatable)')
    add("--signal-format", choices=("csv", "parquet"), default="csv",
        help="with --dbc and -o DIR: one CSV (default) or Parquet file per message")
    add("--any-writer", action="store_true",
        help="read recordings of other MDF 4 writers too (python-can, asammdf, ...): "
             "their standard bus-logging layouts and compressed data")
    add("--strict", action="store_true",
        help="exit with status 1 when the recording gives fewer records than it states "
             "(the count is told on stderr either way)")
    return result


def passwords_of(args: argparse.Namespace) -> Dict[str, str]:
    """The passwords of the environment variable, then of the options (which
    win for the same key)."""
    entries: List[str] = []
    env = os.environ.get(PASSWORD_ENV)
    if env:
        entries.append(env)
    entries.extend(args.password)
    return parse_passwords(entries)


def open_keywords(args: argparse.Namespace) -> Dict[str, Any]:
    """The reader's keywords that need nothing of the recording: passwords,
    any_writer and the filters by identifier and channel."""
    passwords = passwords_of(args)
    keywords: Dict[str, Any] = {"passwords": passwords} if passwords else {}
    if args.any_writer:
        keywords["any_writer"] = True
    keywords.update(filter_keywords(args))
    return keywords


def filter_keywords(args: argparse.Namespace) -> Dict[str, object]:
    """can_filters and channels, as far as the options give them."""
    keywords: Dict[str, object] = {}
    if args.filters:
        keywords["can_filters"] = args.filters
    if args.channels:
        keywords["channels"] = args.channels
    return keywords


def window_keywords(args: argparse.Namespace, origin: float) -> Dict[str, float]:
    """start and stop as timestamps, from the options' seconds after the
    recording's start `origin`."""
    keywords: Dict[str, float] = {}
    if args.start is not None:
        keywords["start"] = origin + args.start
    if args.stop is not None:
        keywords["stop"] = origin + args.stop
    return keywords


def has_window(args: argparse.Namespace) -> bool:
    return args.start is not None or args.stop is not None


def selects(args: argparse.Namespace) -> bool:
    """Whether the options keep only some frames (so their number is not
    known before they are read)."""
    return bool(filter_keywords(args)) or has_window(args)


def kinds_left_out(args: argparse.Namespace) -> FrozenSet[str]:
    """The kinds of frame the flags allow a conversion to leave out."""
    if args.skip_unwritable:
        return EVERY_KIND
    return frozenset({LIN}) if args.skip_lin else frozenset()
