"""Where a recording comes from (a path, a pathlib.Path, a file object), what
construction refuses, close/stop semantics, and file objects that misbehave."""

import errno
import gc
import io
import os
import pathlib
import subprocess
import sys
import weakref

import can
import pytest

import python_can_tolvar_mf4 as mod
from mdf_writer import CanFrame, LinFrame, RecordingWriter
from reading import read, rows


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """A recording several read-ahead windows long, in two data groups."""
    w = RecordingWriter()
    a = w.data_group()
    a.can_channel_group(fd=False)
    a.add_frames(CanFrame(i * 1e-3, i & 0x7FF, bytes([i & 0xFF] * 8)) for i in range(6000))
    b = w.data_group()
    b.lin_channel_group()
    b.add_frames(LinFrame(i * 2e-3 + 1e-4, i & 0x3F, bytes([i & 0xFF] * 4)) for i in range(3000))
    path = tmp_path_factory.mktemp("big") / "big.mf4"
    w.write(str(path))
    return path


# -- sources ------------------------------------------------------------------------

@pytest.mark.parametrize("make_source", [
    lambda p: str(p),
    lambda p: pathlib.Path(p),
    lambda p: open(p, "rb"),
    lambda p: open(p, "rb", buffering=0),
    lambda p: io.BytesIO(p.read_bytes()),
], ids=["str", "Path", "buffered file", "raw file", "BytesIO"])
def test_every_kind_of_source_gives_the_same_frames(sample, make_source):
    path, rec = sample
    source = make_source(path)
    with mod.MdfFile(source) as reader:
        got = rows(reader)
    assert got == rows(read(path))
    assert len(got) == len(rec.expected_merged())
    if hasattr(source, "close"):
        source.close()


class StrPathLike:
    """os.PathLike as a caller may write it: only __fspath__."""

    def __init__(self, path):
        self.path = str(path)

    def __fspath__(self):
        return self.path


class BytesPathLike(StrPathLike):
    def __fspath__(self):
        return os.fsencode(self.path)


class PurePathOfOurs(pathlib.PurePosixPath):
    pass


class PathOfOurs(type(pathlib.Path())):
    pass


PATH_LIKES = {
    "own class": StrPathLike,
    "own class, bytes": BytesPathLike,
    "PurePosixPath": pathlib.PurePosixPath,
    "PurePath subclass": PurePathOfOurs,
    "Path subclass": PathOfOurs,
}


@pytest.mark.parametrize("kind", PATH_LIKES)
def test_any_path_like_is_a_path(sample, kind):
    path, _ = sample
    source = PATH_LIKES[kind](path)
    assert isinstance(source, os.PathLike)
    with mod.MdfFile(source) as reader:
        assert rows(reader) == rows(read(path))
    with mod.MdfFile(file=source) as reader:
        assert len(rows(reader)) > 0


def test_path_like_whose_fspath_raises_gives_its_error():
    class Broken:
        def __fspath__(self):
            raise OSError("no path today")

    with pytest.raises(OSError, match="^no path today$"):
        mod.MdfFile(Broken())


def test_source_given_by_keyword(sample):
    path, _ = sample
    with mod.MdfFile(file=str(path)) as reader:
        assert rows(reader) == rows(read(path))


# Windows opens such paths only through its wide-character calls.
@pytest.mark.parametrize("folder, name", [
    (".", "Aufzeichnung-Überland-日本.mf4"),
    ("Fahrten Δ-Ж", "log.mf4"),
    (".", "trip-\U0001F697-ø.mf4"),
], ids=["latin and cjk name", "greek and cyrillic folder", "name beyond 16 bits"])
def test_path_with_non_ascii_characters_opens(sample, tmp_path, folder, name):
    path, _ = sample
    target = tmp_path / folder / name
    target.parent.mkdir(exist_ok=True)
    target.write_bytes(path.read_bytes())
    assert rows(read(target)) == rows(read(path))
    with mod.MdfFile(target) as reader:
        assert len(rows(reader)) > 0


def test_file_object_starting_elsewhere_is_read_from_its_start(sample):
    path, _ = sample
    data = path.read_bytes()
    source = io.BytesIO(data)
    source.seek(100)
    with mod.MdfFile(source) as reader:
        assert rows(reader) == rows(read(path))


def test_callers_file_object_stays_open_after_close(sample):
    path, _ = sample
    with open(path, "rb") as f:
        reader = mod.MdfFile(f)
        list(reader)
        reader.close()
        assert not f.closed
        f.seek(0)
        assert f.read(8) == b"MDF     "


# -- what construction refuses -----------------------------------------------------

class FileLike:
    """Has read and write, so no python-can release tries to open it, but is
    no io.IOBase."""

    def read(self, n=-1):
        return b""

    def write(self, data):
        return 0


# python-can before 4.6 opens a path in its base class: a missing file then
# fails there, with the interpreter's own message.
BASE_OPENS_PATHS = tuple(int(x) for x in can.__version__.split(".")[:2]) < (4, 6)


@pytest.mark.parametrize("source, error, message", [
    (None, ValueError, "file must not be None"),
    (FileLike(), ValueError, "Unknown data source type"),
])
def test_bad_sources_raise_their_fixed_errors(source, error, message):
    with pytest.raises(error, match=None if message is None else f"^{message}$"):
        mod.MdfFile(source)


def _unopenable(tmp_path, cause):
    """A path that cannot be opened for `cause`."""
    if cause == "missing":
        return tmp_path / "absent" / "x.mf4"
    if cause == "directory":
        return tmp_path
    if cause == "not a directory":
        (tmp_path / "file").write_bytes(b"")
        return tmp_path / "file" / "x.mf4"
    path = tmp_path / "locked.mf4"
    path.write_bytes(b"")
    path.chmod(0)
    return path


@pytest.mark.skipif(BASE_OPENS_PATHS, reason="the base class opens every path itself")
@pytest.mark.parametrize("cause, error", [
    ("missing", FileNotFoundError),
    ("directory", IsADirectoryError),
    ("not a directory", NotADirectoryError),
])
@pytest.mark.parametrize("as_path", [str, pathlib.Path], ids=["str", "Path"])
def test_a_path_that_cannot_be_opened_raises_the_oserror_of_its_cause(tmp_path, cause, error, as_path):
    path = as_path(_unopenable(tmp_path, cause))
    # The error is the one Python's own open() raises for the path: Windows
    # refuses a directory as access denied and finds no file below a file.
    with pytest.raises(OSError) as opened:
        open(path, "rb")
    if sys.platform != "win32":
        assert type(opened.value) is error
    with pytest.raises(type(opened.value), match="Could not open file") as raised:
        mod.MdfFile(path)
    assert type(raised.value) is type(opened.value)
    assert raised.value.errno == opened.value.errno
    assert raised.value.strerror == "Could not open file"
    assert raised.value.filename is path


# Root reads any file whatever its mode: the check runs as nobody, once the
# module and python-can are imported.
_PERMISSION_CHECK = """
import os, sys
import python_can_tolvar_mf4 as mod
if os.geteuid() == 0:
    os.setgid(65534)
    os.setuid(65534)
try:
    mod.MdfFile(sys.argv[1])
except PermissionError as error:
    print(error.errno, error.strerror, error.filename)
"""


@pytest.mark.skipif(BASE_OPENS_PATHS or sys.platform == "win32", reason="POSIX file modes, native opening")
def test_a_file_without_read_permission_raises_permission_error(tmp_path):
    tmp_path.chmod(0o755)
    path = _unopenable(tmp_path, "permission")
    # The child inherits a sanitizer run's preloads; its exit code must say only
    # whether the check held, not what the interpreter leaves unfreed at exit.
    asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), ASAN_OPTIONS=asan)
    result = subprocess.run([sys.executable, "-c", _PERMISSION_CHECK, str(path)], capture_output=True,
                            text=True, env=env, cwd="/")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split(" ", 1) == [str(errno.EACCES), f"Could not open file {path}\n"]


@pytest.mark.skipif(BASE_OPENS_PATHS, reason="the base class opens every path-like itself")
@pytest.mark.parametrize("source", [42, b"/tmp/x.mf4"])
def test_other_sources_are_unknown(source):
    with pytest.raises(ValueError, match="^Unknown data source type$"):
        mod.MdfFile(source)


@pytest.mark.parametrize("content", [b"", b"MDF     ", b"not a recording at all" * 10, bytes(4096)],
                         ids=["empty", "truncated id", "text", "zeros"])
def test_what_is_no_recording_raises_could_not_open(tmp_path, content):
    path = tmp_path / "junk.mf4"
    path.write_bytes(content)
    for source in (str(path), io.BytesIO(content)):
        with pytest.raises(RuntimeError, match="^Could not open data source$"):
            mod.MdfFile(source)


def test_text_mode_file_object_is_refused(sample):
    path, _ = sample
    with open(path, "r", encoding="latin-1") as f:
        with pytest.raises(RuntimeError, match="^Could not open data source$"):
            mod.MdfFile(f)


def test_passwords_are_not_looked_at_for_a_plain_recording(sample):
    path, _ = sample
    with mod.MdfFile(str(path), passwords=object()) as reader:
        assert rows(reader) == rows(read(path))


# -- close, stop and the iterators of a closed reader -----------------------------

def test_closed_reader_refuses_iteration_and_metadata(sample):
    path, _ = sample
    reader = mod.MdfFile(str(path))
    assert reader.close() is None
    for call in (lambda: iter(reader), reader.get_metadata):
        with pytest.raises(RuntimeError, match="^Handle has been closed$"):
            call()
    reader.close()  # a second close releases nothing more
    reader.stop()


def test_with_block_stops_the_reader(sample):
    path, _ = sample
    with mod.MdfFile(str(path)) as reader:
        pass
    with pytest.raises(RuntimeError, match="^Handle has been closed$"):
        reader.get_metadata()


@pytest.mark.parametrize("end", ["close", "stop", "reinit"])
def test_iterator_advanced_after_the_reader_ended_raises(sample, end):
    path, _ = sample
    reader = mod.MdfFile(io.BytesIO(path.read_bytes()))
    merged = iter(reader)
    iterators = list(merged.gi_frame.f_locals["iterables"])
    first = next(merged)
    assert first is not None
    if end == "reinit":
        reader.__init__(str(path))
    else:
        getattr(reader, end)()
    with pytest.raises(RuntimeError, match="^Handle has been closed$"):
        list(merged)
    for it in iterators:
        with pytest.raises((RuntimeError, StopIteration)):
            next(it)
        with pytest.raises(StopIteration):
            next(it)
    if end == "reinit":
        assert rows(reader) == rows(read(path))


def test_iterator_keeps_its_reader_alive(sample):
    path, _ = sample
    merged = iter(mod.MdfFile(str(path)))
    assert len(list(merged)) == len(read(path))


# -- file objects that misbehave ----------------------------------------------------

class Greedy(io.BytesIO):
    """read() hands back more than was asked for."""

    def read(self, n=-1):
        return super().read(n) + b"\xee" * 100


class Trickle(io.BytesIO):
    """read() hands back at most 7 bytes per call."""

    def read(self, n=-1):
        return super().read(7 if n is None or n < 0 else min(n, 7))


class Failing(io.BytesIO):
    """read() or seek() raises once `fail` is set."""

    fail = None

    def read(self, n=-1):
        if self.fail == "read":
            raise OSError("device gone")
        return super().read(n)

    def seek(self, offset, whence=0):
        if self.fail == "seek":
            raise OSError("cannot seek now")
        return super().seek(offset, whence)


def test_read_returning_more_than_asked_never_overruns(sample):
    path, _ = sample
    try:
        with mod.MdfFile(Greedy(path.read_bytes())) as reader:
            got = rows(reader)
    except RuntimeError as error:
        assert str(error) == "Could not open data source"
    else:
        assert got == rows(read(path))


def test_short_reads_are_gathered(sample, big):
    for path in (sample[0], big):
        with mod.MdfFile(Trickle(path.read_bytes())) as reader:
            assert rows(reader) == rows(read(path))


@pytest.mark.parametrize("method", ["read", "seek"])
def test_file_object_failing_mid_iteration_raises_its_error(big, method):
    source = Failing(big.read_bytes())
    expected = rows(read(big))
    with mod.MdfFile(source) as reader:
        merged = iter(reader)
        got = [next(merged) for _ in range(100)]
        source.fail = method
        with pytest.raises(OSError, match="device gone|cannot seek now"):
            for m in merged:
                got.append(m)
        # Everything delivered before the failure is right.
        assert rows(got) == expected[:len(got)]
        assert 100 <= len(got) < len(expected)
        # Unrelated code afterwards sees no leftover exception.
        assert sum(range(4)) == 6
        source.fail = None
        assert rows(reader) == expected


@pytest.mark.parametrize("method", ["read", "seek"])
def test_file_object_failing_during_construction_raises_its_error(sample, method):
    source = Failing(sample[0].read_bytes())
    source.fail = method
    with pytest.raises(OSError):
        mod.MdfFile(source)


def test_iterator_holding_a_failure_for_its_next_call_is_collected(big):
    """The exception an iterator keeps for its next call may refer back to the
    iterator: the collector must see that cycle, and free the reader."""

    class FailsOnce(io.BytesIO):
        target = None

        def read(self, n=-1):
            if self.target is None:
                return super().read(n)
            error = OSError("device gone")
            error.target, self.target = self.target, None
            raise error

    source = FailsOnce(big.read_bytes())
    reader = mod.MdfFile(source)
    iterators = list(iter(reader).gi_frame.f_locals["iterables"])
    source.target = iterators
    first = iterators[0]
    # The read ahead fails after a message was built: the call returns it and
    # keeps the failure.
    delivered = 0
    while source.target is not None:
        next(first)
        delivered += 1
    assert delivered > 1
    alive = weakref.ref(reader)
    del reader, iterators, first, source
    gc.collect()
    assert alive() is None


# -- python-can releases that open the path in the base class --------------------

class Spy(io.FileIO):
    reads = 0

    def read(self, *args):
        Spy.reads += 1
        return super().read(*args)


@pytest.fixture
def base_opens_paths(monkeypatch):
    """The base class as python-can up to 4.5 has it: it opens a path itself
    and its stop() closes the file."""
    base = can.io.generic.MessageReader

    def init(self, file, mode="rt", **kwargs):
        if file is None or (hasattr(file, "read") and hasattr(file, "write")):
            self.file = file
        else:
            self.file = Spy(file, "rb")

    def stop(self):
        if self.file is not None:
            self.file.close()

    monkeypatch.setattr(base, "__init__", init)
    monkeypatch.setattr(base, "stop", stop)
    Spy.reads = 0


def test_path_opened_by_the_base_is_read_natively_and_closed(sample, base_opens_paths):
    path, _ = sample
    reader = mod.MdfFile(str(path))
    opened = reader.file
    assert isinstance(opened, Spy) and not opened.closed
    got = rows(reader)
    assert Spy.reads == 0
    reader.close()
    assert opened.closed
    assert got == rows(read(path))


@pytest.mark.parametrize("kind", [*PATH_LIKES, "bytes"])
def test_any_path_the_base_opened_is_read_natively(sample, base_opens_paths, kind):
    """Up to python-can 4.5 the base opens every path open() takes, bytes
    included: the reader reads the path itself, never through that file."""
    path, _ = sample
    source = os.fsencode(str(path)) if kind == "bytes" else PATH_LIKES[kind](path)
    reader = mod.MdfFile(source)
    opened = reader.file
    assert isinstance(opened, Spy)
    got = rows(reader)
    assert Spy.reads == 0
    reader.close()
    assert opened.closed
    assert got == rows(read(path))


def test_stop_closes_the_file_the_base_opened(sample, base_opens_paths):
    path, _ = sample
    with mod.MdfFile(pathlib.Path(path)) as reader:
        opened = reader.file
        assert len(rows(reader)) > 0
    assert opened.closed


def test_failed_construction_leaves_no_file_open(tmp_path, base_opens_paths):
    path = tmp_path / "junk.mf4"
    path.write_bytes(b"junk" * 100)
    reader = mod.MdfFile.__new__(mod.MdfFile)
    with pytest.raises(RuntimeError, match="^Could not open data source$"):
        reader.__init__(str(path))
    assert reader.file.closed


def test_base_without_file_attribute_uses_the_callers_source(sample, monkeypatch):
    # python-can 4.6: the base initialiser sets nothing.
    monkeypatch.setattr(can.io.generic.MessageReader, "__init__", lambda self, *a, **k: None)
    monkeypatch.setattr(can.io.generic.MessageReader, "stop", lambda self: None)
    path, _ = sample
    with mod.MdfFile(str(path)) as reader:
        assert not hasattr(reader, "file")
        assert rows(reader) == rows(read(path))
    with pytest.raises(TypeError, match="^could not get file property$"):
        mod.MdfFile()


class Meddling(io.BytesIO):
    """read() runs host code against the reader that is reading it."""

    action = None
    reader = None

    def read(self, n=-1):
        action, self.action = self.action, None
        if action is not None:
            action(self.reader)
        return super().read(n)


@pytest.mark.parametrize("action", ["close", "stop", "reinit", "iterate", "next"])
def test_reader_changed_by_its_own_file_object_mid_read(big, sample, action):
    source = Meddling(big.read_bytes())
    reader = mod.MdfFile(source)
    source.reader = reader
    merged = iter(reader)
    iterators = list(merged.gi_frame.f_locals["iterables"])
    for _ in range(50):
        next(merged)
    inner = []
    source.action = {
        "close": lambda r: r.close(),
        "stop": lambda r: r.stop(),
        "reinit": lambda r: r.__init__(str(sample[0])),
        "iterate": lambda r: inner.append(sum(1 for _ in r)),
        "next": lambda r: inner.append(pytest.raises(ValueError, next, iterators[0])),
    }[action]
    try:
        rest = [m for m in merged]
    except RuntimeError as error:
        assert str(error) == "Handle has been closed" and action in ("close", "stop", "reinit")
    else:
        assert action in ("iterate", "next")
        assert 50 + len(rest) == len(read(big))
    assert source.action is None, "the file object was not read during the iteration"
    if action == "iterate":
        assert inner == [len(read(big))]
    if action == "reinit":
        assert rows(reader) == rows(read(sample[0]))
    reader.close()
