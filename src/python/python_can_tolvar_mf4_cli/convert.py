"""Outputs written in place: a conversion hands every frame its format
carries to the format's writer and counts the finished file; it and the
metadata JSON go to a temporary file beside the output, renamed into place
only once complete."""

from __future__ import annotations

import contextlib
import json
import os
import sqlite3
import sys
import tempfile
from typing import TYPE_CHECKING, Dict, FrozenSet, Iterable, Iterator, List, Optional, Tuple

from .arguments import PROGRAM
from .channels import LIN, kind_of
from .errors import CliError
from .formats import Format, FrameWriter, format_of, format_suffix
from .progress import Progress

if TYPE_CHECKING:
    import can


def _reason(error: OSError) -> str:
    return (error.strerror or str(error)).lower()


@contextlib.contextmanager
def in_place(output: str, suffix: str = "") -> Iterator[str]:
    """A temporary path beside `output` (ending in `suffix`, so the writer
    picks the same format), renamed to `output` when the block ends without
    an exception and removed otherwise: the output appears complete or not
    at all."""
    folder = os.path.dirname(os.path.abspath(output))
    try:
        handle, partial = tempfile.mkstemp(dir=folder, prefix=f".{PROGRAM}-partial-", suffix=suffix)
    except OSError as error:
        raise CliError(f"cannot write {output}: {_reason(error)}") from None
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


def _write_frames(frames: Iterable[can.Message], writer: FrameWriter, fmt: Format,
                  progress: Progress) -> Tuple[int, Dict[str, int]]:
    """Hands every frame the format carries to the writer; returns how many
    it was given and how many of each other kind were left out."""
    written = 0
    left_out: Dict[str, int] = {}
    carries = fmt.carries
    adapt = fmt.channel
    receive = writer.on_message_received
    for message in frames:
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


def _open_writer(fmt: Format, partial: str, output: str) -> FrameWriter:
    try:
        return fmt.writer(partial)
    except (ValueError, ImportError) as error:
        raise CliError(f"{output}: {error}") from None
    except (OSError, sqlite3.Error) as error:
        raise CliError(f"cannot write {output}: {getattr(error, 'strerror', None) or error}") from None


def _write_all(frames: Iterable[can.Message], fmt: Format, partial: str, output: str,
               progress: Progress) -> Tuple[int, Dict[str, int]]:
    """Writes the frames into `partial` and completes the file: a writer that
    buffers (it has finish()) writes the rest; every writer is stopped."""
    writer = _open_writer(fmt, partial, output)
    try:
        written, left_out = _write_frames(frames, writer, fmt, progress)
        finish = getattr(writer, "finish", None)
        if finish is not None:
            finish()
    finally:
        writer.stop()
        progress.done()
    return written, left_out


def _check(fmt: Format, partial: str, output: str, written: int, refused: Dict[str, int]) -> None:
    """Fails the conversion when it left out frames no flag allowed, or when
    the finished file holds another number of frames than were written."""
    if refused:
        flag = "--skip-lin" if set(refused) == {LIN} else "--skip-unwritable"
        raise CliError(f"{output}: the format cannot carry {_left_out(refused)} of the recording; "
                       f"nothing was written ({flag} writes the rest)")
    if fmt.count is None:
        return
    try:
        found = fmt.count(partial)
    except Exception as error:  # a file the format's own reader refuses
        raise CliError(f"{output}: the written file could not be counted: {error}") from None
    if found != written:
        raise CliError(f"{output}: {found:,} of {written:,} frames reached the file")


def convert(frames: Iterable[can.Message], source: str, output: str, progress: Progress,
            allowed: FrozenSet[str]) -> List[str]:
    """Converts into `output` the frames of the recording `source`, leaving
    out only the kinds in `allowed`; returns the warnings to show."""
    if os.path.exists(output) and os.path.exists(source) and os.path.samefile(source, output):
        raise CliError(f"{output}: the output would overwrite the recording")
    suffix = format_suffix(output)
    fmt = format_of(output)
    # The temporary file keeps the suffix (and .gz) that picks the writer.
    name_suffix = suffix + (".gz" if output.lower().endswith(".gz") and suffix != ".gz" else "")
    with in_place(output, name_suffix) as partial:
        written, left_out = _write_all(frames, fmt, partial, output, progress)
        refused = {kind: n for kind, n in left_out.items() if kind not in allowed}
        _check(fmt, partial, output, written, refused)
    if left_out:
        return [f"{_left_out(left_out)} left out: {suffix or output} cannot carry them"]
    return []


def write_metadata(metadata: object, output: Optional[str]) -> None:
    """The metadata as JSON on stdout, or in place into `output`."""
    text = json.dumps(metadata, indent=2, ensure_ascii=False) + "\n"
    if output is None:
        sys.stdout.write(text)
        return
    with in_place(output) as partial:
        try:
            with open(partial, "w", encoding="utf-8") as f:
                f.write(text)
        except OSError as error:
            raise CliError(f"cannot write {output}: {_reason(error)}") from None
