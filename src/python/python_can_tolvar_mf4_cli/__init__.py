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

Its modules: arguments (the options, passwords, filters and the sample),
channels (the bus a channel name stands for, the kind of a frame), formats
(what each output format carries, its writer and how its file is counted),
convert (the conversion and the outputs written in place), progress, logs
(the reader's log lines as reasons and warnings) and program (main).
"""

from __future__ import annotations

from .arguments import PASSWORD_ENV, PROGRAM, parse_filter, parse_passwords, sample_path
from .channels import bus_of, kind_of
from .errors import CliError
from .formats import FORMATS, OTHER_FORMAT, Format, FrameWriter, SqliteFrames, format_suffix
from .program import main
from .progress import Progress

__all__ = [
    "main", "sample_path", "parse_passwords", "parse_filter",
    "PASSWORD_ENV", "PROGRAM", "bus_of", "kind_of", "CliError",
    "FORMATS", "OTHER_FORMAT", "Format", "FrameWriter", "SqliteFrames", "format_suffix", "Progress",
]
