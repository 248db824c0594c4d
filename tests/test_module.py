"""The module as the interpreter sees it: its attributes and types, the log
lines that reach the logger, stable-ABI imports, the type stub, and memory."""

import gc
import importlib.util
import logging
import os
import pathlib
import shutil
import subprocess
import sys

import can
import pytest

import python_can_tolvar_mf4 as mod
from mdf_writer import CanFrame, RecordingWriter

ROOT = pathlib.Path(__file__).resolve().parent.parent
LOGGER = "python_can_tolvar_mf4"


def small_recording(path, frames=3):
    w = RecordingWriter()
    g = w.data_group()
    g.can_channel_group(fd=False)
    g.add_frames(CanFrame(0.001 * i, 0x100 + i, bytes([i] * 8)) for i in range(frames))
    w.write(str(path))
    return path


# -- attributes and types -----------------------------------------------------

def test_module_has_exactly_the_three_types_and_scan_polars():
    public = {name for name in dir(mod) if not name.startswith("__")}
    assert public == {"CanMsgExtension", "MdfFile", "MdfFileIterator", "scan_polars"}


def test_bases_pass_the_hosts_subclass_test():
    assert issubclass(mod.MdfFile, can.io.generic.MessageReader)
    assert issubclass(mod.CanMsgExtension, can.Message)
    assert not getattr(mod.MdfFile, "__abstractmethods__", frozenset())
    assert mod.MdfFile.__module__ == "python_can_tolvar_mf4"
    assert mod.MdfFile.__name__ == "MdfFile"


@pytest.mark.parametrize("name", ["MdfFile", "CanMsgExtension", "MdfFileIterator"])
def test_types_cannot_be_subclassed(name):
    base = getattr(mod, name)
    with pytest.raises(TypeError):
        type("Derived", (base,), {})


def test_native_part_of_mdf_file_cannot_be_used_as_a_base():
    native = mod.MdfFile.__mro__[1]
    derived = type("Sneaky", (native, can.io.generic.MessageReader), {})
    with pytest.raises(TypeError, match="not an acceptable base type"):
        derived("x.mf4")


def test_iterator_cannot_be_created_from_python():
    with pytest.raises(RuntimeError, match="^Class cannot be created from Python$"):
        mod.MdfFileIterator()


def test_get_metadata_documentation():
    assert mod.MdfFile.get_metadata.__doc__ == "Get metadata"


# -- log lines reach the logger -------------------------------------------------

class Collect(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def collected():
    logger = logging.getLogger(LOGGER)
    handler = Collect()
    old_level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield handler.records
    logger.removeHandler(handler)
    logger.setLevel(old_level)


def header_block_id(tmp_path, ident):
    """A recording whose header block at offset 64 has another block id."""
    data = bytearray(small_recording(tmp_path / "ok.mf4").read_bytes())
    data[64:72] = ident
    path = tmp_path / "bad.mf4"
    path.write_bytes(bytes(data))
    return path


def test_error_line_arrives_as_one_error_call_with_exact_text(tmp_path, collected):
    path = header_block_id(tmp_path, b"##QQ\0\0\0\0")
    with pytest.raises(RuntimeError, match="^Could not open data source$"):
        mod.MdfFile(str(path))
    texts = [(r.levelno, r.getMessage()) for r in collected]
    assert (logging.ERROR, "Unable to load block header for type ##QQ") in texts
    assert all(r.name == LOGGER for r in collected)


def test_wrong_tool_logs_unsupported_file(tmp_path, collected):
    from mdf_writer import History, Md, fh_comment_xml

    w = RecordingWriter(history=[History(comment=Md(fh_comment_xml(tool_id="XX")))])
    w.data_group().can_channel_group()
    path = tmp_path / "foreign.mf4"
    w.write(str(path))
    with pytest.raises(RuntimeError, match="^Could not open data source$"):
        mod.MdfFile(path)
    assert (logging.ERROR, "Unsupported MF4 file") in [(r.levelno, r.getMessage()) for r in collected]


def test_undecodable_bytes_in_a_line_are_escaped_not_raised(tmp_path, collected):
    path = header_block_id(tmp_path, b"\xff\xfe#AB\0\0\0")
    with pytest.raises(RuntimeError, match="^Could not open data source$"):
        mod.MdfFile(str(path))
    messages = [r.getMessage() for r in collected if r.levelno == logging.ERROR]
    assert any(m.startswith("Unable to load block header for type \\xff\\xfe#AB") for m in messages)


def test_a_raising_logger_leaves_no_exception_pending(tmp_path, monkeypatch):
    path = header_block_id(tmp_path, b"##QQ\0\0\0\0")
    logger = logging.getLogger(LOGGER)
    calls = []

    def explode(*args, **kwargs):
        calls.append(args)
        raise ValueError("handler broke")

    unraisable = []
    monkeypatch.setattr(logger, "error", explode)
    monkeypatch.setattr(sys, "unraisablehook", lambda info: unraisable.append(info.exc_value))
    # The reader's own failure is what the caller sees, not the logger's.
    with pytest.raises(RuntimeError, match="^Could not open data source$"):
        mod.MdfFile(str(path))
    assert calls and isinstance(unraisable[0], ValueError)
    # Nothing stays pending for unrelated code.
    assert [x for x in range(3)] == [0, 1, 2]
    with mod.MdfFile(small_recording(tmp_path / "fine.mf4")) as reader:
        assert len(list(reader)) == 3


# -- interpreter compatibility --------------------------------------------------

def test_import_raises_no_warning_in_a_fresh_interpreter():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run(
        [sys.executable, "-W", "error", "-X", "dev", "-c",
         "import python_can_tolvar_mf4 as m; print(sorted(x for x in dir(m) if not x.startswith('__')))"],
        capture_output=True, text=True, env=env, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "['CanMsgExtension', 'MdfFile', 'MdfFileIterator', 'scan_polars']"


STUBS = ROOT / "src" / "python" / "python_can_tolvar_mf4-stubs"


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_type_stub_matches_the_built_module(tmp_path):
    # The stub package is found through MYPYPATH; stubtest imports the
    # built module from the interpreter's own path.
    stub_root = tmp_path / "stubs"
    shutil.copytree(STUBS, stub_root / "python_can_tolvar_mf4")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), MYPYPATH=str(stub_root))
    out = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "python_can_tolvar_mf4",
         "--mypy-config-file", str(tmp_path / "none.ini")],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)
    assert out.returncode == 0, out.stdout + out.stderr


# -- memory ---------------------------------------------------------------------

def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm") or sys.platform == "win32",
                    reason="measures memory through Linux's /proc and os.sysconf")
def test_opening_and_iterating_thousands_of_times_keeps_memory_flat(tmp_path):
    from mdf_writer import make_sample

    path = tmp_path / "sample.mf4"
    make_sample(str(path))
    data = path.read_bytes()
    import io

    def round_trip(i):
        source = str(path) if i % 2 else io.BytesIO(data)
        reader = mod.MdfFile(source)
        n = sum(1 for _ in reader)
        reader.get_metadata()
        hash(next(iter(reader)))
        reader.close()
        return n

    expected = round_trip(0)
    for i in range(300):
        assert round_trip(i) == expected
    gc.collect()
    before = resident_bytes()
    for i in range(3000):
        round_trip(i)
    gc.collect()
    grown = resident_bytes() - before
    assert grown < 4 * 1024 * 1024, f"resident memory grew by {grown} bytes"


def test_cycle_through_a_file_object_is_collected(tmp_path):
    import io
    import weakref

    data = small_recording(tmp_path / "cycle.mf4").read_bytes()

    class Holder(io.BytesIO):
        reader = None

    source = Holder(data)
    reader = mod.MdfFile(source)
    source.reader = reader
    merged = iter(reader)
    next(merged)
    watch = weakref.ref(reader)
    watch_source = weakref.ref(source)
    del reader, source, merged
    gc.collect()
    assert watch() is None and watch_source() is None


def test_typed_example_runs_on_the_sample(tmp_path):
    """The example the type checkers check (tests/typed_example.py) is a
    working program, not just a file that type-checks."""
    import typed_example

    sample = pathlib.Path(__file__).resolve().parent / "data" / "sample.mf4"
    lines = typed_example.summary(sample, {})
    with mod.MdfFile(sample) as reader:
        frames = list(reader)
        metadata = reader.get_metadata()
    assert lines[0] == f"{len(frames)} records, first on 'CAN 1', ordered: True"
    assert len(lines) == 1 + len(metadata) + sum(1 for p in metadata.values() if not p["read_only"]) + 1
    assert lines[-1] == f"{len(frames[0].data)} bytes; {len(frames)} frames from memory"
    assert "HDcomment.Vehicle.odometer in KM" in lines


def test_typed_example_streams_count_the_batches_and_frames():
    import typed_example

    pytest.importorskip("pyarrow")
    pl = pytest.importorskip("polars")
    sample = pathlib.Path(__file__).resolve().parent / "data" / "sample.mf4"
    with mod.MdfFile(sample) as reader:
        frames = list(reader)
    kept = [m for m in frames if m.channel == "CAN 1" and m.arbitration_id < 0x100]
    batches = -(-len(frames) // 4096)
    assert pl is not None
    assert typed_example.streams(sample) == [
        f"{batches} batches of at most 4096 rows, {len(frames)} frames, {len(kept)} kept; True"]


def test_typed_example_window_counts_what_the_filters_keep():
    import typed_example

    sample = pathlib.Path(__file__).resolve().parent / "data" / "sample.mf4"
    filters = [{"can_id": 0x100, "can_mask": 0x700}]
    with mod.MdfFile(sample) as reader:
        origin = reader.start_timestamp
        kept = [m for m in reader if m.channel in ("CAN 1", "LIN 1") and (m.arbitration_id & 0x700) == 0x100
                and origin <= m.timestamp < origin + 60.0]
    (line,) = typed_example.window(sample, filters)
    if typed_example.has_table_packages():
        assert line == f"{len(kept)} frames in the first minute; tables of {len(kept)}, {len(kept)} and {len(kept)} rows"
    else:
        assert line == f"{len(kept)} frames in the first minute"


@pytest.mark.skipif(sys.platform != "linux", reason="scripts/wheel.sh builds the Linux wheel, under bash")
def test_the_wheel_script_names_the_tools_it_lacks(tmp_path):
    """Run where its tools are missing, scripts/wheel.sh says which and how
    to get them, before it builds anything."""
    venv = tmp_path / "bare"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    root = pathlib.Path(__file__).resolve().parent.parent
    env = {"PATH": f"{venv / 'bin'}:/usr/bin:/bin", "HOME": str(tmp_path)}
    out = subprocess.run(["bash", str(root / "scripts" / "wheel.sh"), str(tmp_path / "dist")], env=env,
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 1
    assert out.stderr.startswith("wheel: missing: auditwheel (pip install auditwheel), "
                                 "scikit-build-core (pip install scikit-build-core)")
    assert "source scripts/setup.sh installs every one of them" in out.stderr
    assert not (tmp_path / "dist").exists()
