"""How the tests read a recording back: open it, list what it yields and
close it again, in the forms they compare (messages, rows of every field,
python-can's text lines), and the command-line program run on it.

    from reading import read, rows
    assert rows(read(path, any_writer=True)) == rows(read(plain))
"""

from __future__ import annotations

import contextlib
import importlib.util
import os
import pathlib
import struct
import subprocess
import sys
from typing import Any, Iterable, Iterator, List, Tuple, Union

import python_can_tolvar_mf4 as mod

# The columns of to_numpy, to_pandas and to_arrow, in their order; rows()
# gives a message's fields in the same order.
COLUMNS = ["timestamp", "arbitration_id", "is_extended_id", "is_remote_frame", "is_error_frame", "is_fd",
           "bitrate_switch", "error_state_indicator", "is_rx", "dlc", "channel", "data"]

CLI_SOURCE = pathlib.Path(__file__).resolve().parent.parent / "src" / "python"


def _under_wine() -> bool:
    """Windows CPython under wine, where a thread switch goes through wine's
    server and costs tens of times what it does natively."""
    if sys.platform != "win32":
        return False
    import ctypes

    return hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")


# Steps another thread gets through while a call that releases the
# interpreter lock works on 300,000 frames: natively many more than 50,
# holding the lock a few at most (where pyarrow or numpy let go themselves).
RELEASED_LOCK_STEPS = 15 if _under_wine() else 50


def read(source: Any, **options: Any) -> List[Any]:
    """Every message of a recording (a path, a pathlib.Path or a file
    object), read with the reader's keywords."""
    if isinstance(source, pathlib.PurePath):
        source = str(source)
    with mod.MdfFile(source, **options) as reader:
        return list(reader)


def lines(source: Any, **options: Any) -> List[str]:
    """The messages as python-can prints them."""
    return [str(m) for m in read(source, **options)]


def lines_or_error(source: Any, **options: Any) -> Union[List[str], str]:
    """The printed messages, or the text of the RuntimeError that ends the
    open or the iteration."""
    try:
        return lines(source, **options)
    except RuntimeError as error:
        return str(error)


def exact(value: float) -> bytes:
    """A timestamp compared bit for bit."""
    return struct.pack("<d", value)


def rows(messages: Iterable[Any]) -> List[Tuple[Any, ...]]:
    """Every field of every message, in the order of COLUMNS, the timestamp
    bit for bit: two readings are equal when their rows are."""
    return [(exact(m.timestamp), m.arbitration_id, m.is_extended_id, m.is_remote_frame, m.is_error_frame, m.is_fd,
             m.bitrate_switch, m.error_state_indicator, m.is_rx, m.dlc, m.channel, bytes(m.data))
            for m in messages]


def cli_env(**extra: str) -> dict:
    """The environment of the command-line program: its source in this tree
    comes first, also when an older copy is installed; no password."""
    paths = [str(CLI_SOURCE)] + list(sys.path)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in paths if p))
    env.pop("TOLVAR_MF4_PASSWORD", None)
    env.update(extra)
    return env


def run_cli(*args: Any, env: Any = None, **kwargs: Any) -> subprocess.CompletedProcess:
    """Runs tolvar-mf4 with the arguments; gives its exit code and output."""
    return subprocess.run([sys.executable, "-m", "python_can_tolvar_mf4_cli", *map(str, args)],
                          capture_output=True, text=True, env=env or cli_env(), timeout=300, **kwargs)


@contextlib.contextmanager
def cli_source_module(name: str) -> Iterator[Any]:
    """The command-line program's source in this tree imported under `name`
    (its modules too), to run its parts in this process; forgotten after."""
    folder = CLI_SOURCE / "python_can_tolvar_mf4_cli"
    spec = importlib.util.spec_from_file_location(name, folder / "__init__.py",
                                                  submodule_search_locations=[str(folder)])
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        for key in [k for k in sys.modules if k == name or k.startswith(name + ".")]:
            del sys.modules[key]
