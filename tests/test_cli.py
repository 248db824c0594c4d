"""The command-line program tolvar-mf4, the python-can plugin registration and
the README's Python examples."""

import importlib.metadata
import importlib.util
import io
import json
import logging
import os
import pathlib
import re
import shutil
import subprocess
import sys

import can
import pytest

import python_can_tolvar_mf4 as mod
from layer_tools import encrypted_layer
from mdf_writer import CanFrame, LinError, LinFrame, RecordingWriter, make_sample
from reading import CLI_SOURCE, cli_env, cli_source_module
from reading import run_cli as run

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE_SAMPLE = CLI_SOURCE / "python_can_tolvar_mf4_cli" / "sample.mf4"
SECRET = "s3cr3t-pass-phrase"


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "sample.mf4"
    make_sample(str(path))
    return path


@pytest.fixture(scope="module")
def secret(sample, tmp_path_factory):
    path = tmp_path_factory.mktemp("secret") / "secret.mf4"
    path.write_bytes(encrypted_layer(sample.read_bytes(), SECRET, key_id=0x1234ABCD))
    return path


def lines_of(path, **kwargs):
    with mod.MdfFile(str(path), **kwargs) as reader:
        return [str(m) for m in reader]


# -- printing ---------------------------------------------------------------------

def test_without_a_file_it_prints_the_shipped_sample():
    out = run()
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == lines_of(PACKAGE_SAMPLE)
    assert len(out.stdout.splitlines()) > 50 and out.stderr == ""


def test_shipped_sample_is_the_projects_sample():
    data = ROOT / "tests" / "data" / "sample.mf4"
    if not data.exists():
        pytest.skip("tests/data/sample.mf4 is not there")
    assert PACKAGE_SAMPLE.read_bytes() == data.read_bytes()


def test_prints_one_line_per_frame_in_python_can_form(sample):
    out = run(sample)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == lines_of(sample)
    assert out.stdout.splitlines()[0].startswith("Timestamp: ")


def test_metadata_as_json(sample):
    out = run(sample, "--metadata")
    assert out.returncode == 0, out.stderr
    with mod.MdfFile(str(sample)) as reader:
        assert json.loads(out.stdout) == reader.get_metadata()


@pytest.mark.skipif(sys.platform == "win32", reason="needs a POSIX shell (bash) and head")
def test_closed_pipe_is_not_an_error(sample):
    shell = f"{sys.executable} -m python_can_tolvar_mf4_cli {sample} | head -n 1"
    out = subprocess.run(["bash", "-o", "pipefail", "-c", shell], capture_output=True, text=True,
                         env=cli_env(), timeout=120)
    assert out.returncode == 0 and out.stderr == ""
    assert len(out.stdout.splitlines()) == 1


# -- converting -------------------------------------------------------------------

# Where python-can's writers keep the channel: numbered formats give the bus
# number, named ones the interface name, the others nothing.
TEXT_FORMATS = [".asc", ".csv", ".log", ".trc", ".txt"]
CARRY_LIN = {".log", ".txt"}


def has_writer(suffix):
    if suffix == ".trc":
        return hasattr(can, "TRCWriter")
    if suffix == ".mf4":
        return hasattr(can, "MF4Writer") and importlib.util.find_spec("asammdf") is not None
    return True


def read_back(path):
    with can.LogReader(str(path)) as reader:
        return list(reader)


def frames_of(path, **kwargs):
    with mod.MdfFile(str(path), **kwargs) as reader:
        return list(reader)


def is_lin(message):
    return message.channel.startswith("LIN ")


def leftovers(folder):
    return sorted(p.name for p in folder.iterdir() if "partial" in p.name)


@pytest.mark.parametrize("suffix", [".asc", ".asc.gz", ".blf", ".csv", ".db", ".log", ".mf4", ".trc", ".txt"])
def test_converts_every_frame_the_format_carries(sample, tmp_path, suffix):
    if not has_writer(suffix.split(".gz")[0]):
        pytest.skip(f"this python-can writes no {suffix}")
    target = tmp_path / f"out{suffix}"
    out = run(sample, "-o", target, "--skip-unwritable")
    assert out.returncode == 0, out.stderr
    frames = frames_of(sample)
    if suffix == ".trc":  # classic CAN data frames only
        want = [m for m in frames if not (is_lin(m) or m.is_fd or m.is_remote_frame or m.is_error_frame)]
    elif suffix in CARRY_LIN:
        want = frames
    else:
        want = [m for m in frames if not is_lin(m)]
    if suffix == ".txt":  # python-can reads no .txt: its lines are the frames as python-can prints them
        assert target.read_text().splitlines() == [str(m) for m in want]
    else:
        got = read_back(target)
        assert [(m.arbitration_id, bytes(m.data), m.is_error_frame) for m in got] == \
               [(m.arbitration_id, bytes(m.data), m.is_error_frame) for m in want]
        # (python-can's ASC reader takes an empty CAN FD frame for a remote one)
        assert [g.is_remote_frame for g, w in zip(got, want) if not w.is_fd] == \
               [w.is_remote_frame for w in want if not w.is_fd]
        # Times from the first frame (some formats keep only those), to the
        # microseconds that every format keeps.
        assert [m.timestamp - got[0].timestamp for m in got] == pytest.approx(
            [m.timestamp - want[0].timestamp for m in want], abs=2e-6)
    left_out = len(frames) - len(want)
    if left_out:
        assert re.search(rf"warning: .*left out: {re.escape(suffix.split('.gz')[0])} cannot carry them",
                         out.stderr), out.stderr
        assert sum(int(n) for n in re.findall(r"(\d+) [A-Za-z ]+? frames?", out.stderr)) == left_out
    else:
        assert out.stderr == ""
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("suffix", [".asc", ".blf", ".csv", ".db", ".mf4", ".trc"])
def test_lin_frames_are_never_written_as_can_frames(sample, tmp_path, suffix):
    if not has_writer(suffix):
        pytest.skip(f"this python-can writes no {suffix}")
    target = tmp_path / f"out{suffix}"
    target.write_bytes(b"an older file")
    out = run(sample, "-o", target)
    lin = sum(1 for m in frames_of(sample) if is_lin(m))
    assert lin > 0
    # Without a flag the conversion fails, says how many and which flag
    # leaves them out, and the old file stays as it was.
    assert out.returncode == 1
    assert out.stderr.count("\n") == 1 and f"{lin} LIN frames" in out.stderr
    assert "--skip-lin" in out.stderr or "--skip-unwritable" in out.stderr
    assert target.read_bytes() == b"an older file" and leftovers(tmp_path) == []
    if suffix != ".trc":  # .trc needs --skip-unwritable for its CAN FD frames too
        out = run(sample, "-o", target, "--skip-lin")
        assert out.returncode == 0, out.stderr
        assert f"{lin} LIN frames left out" in out.stderr
        lin_data = {(m.arbitration_id, bytes(m.data)) for m in frames_of(sample) if is_lin(m)}
        can_data = {(m.arbitration_id, bytes(m.data)) for m in frames_of(sample) if not is_lin(m)}
        assert not {(m.arbitration_id, bytes(m.data)) for m in read_back(target)} & (lin_data - can_data)


@pytest.mark.parametrize("suffix, channels", [
    (".log", {"can1", "can2", "can3", "lin1"}),
    (".txt", {"CAN 1", "CAN 2", "CAN 3", "LIN 1"}),
])
def test_formats_with_named_channels_carry_lin_frames_by_name(sample, tmp_path, suffix, channels):
    target = tmp_path / f"out{suffix}"
    out = run(sample, "-o", target)
    assert out.returncode == 0 and out.stderr == ""
    text = target.read_text()
    assert {c for c in channels if re.search(rf"(^|\W){re.escape(c)}\b", text)} == channels
    if suffix == ".log":
        lin = [m for m in read_back(target) if m.channel == "lin1"]
        assert len(lin) == sum(1 for m in frames_of(sample) if is_lin(m))


def bus_numbers_in_file(path, suffix):
    """The bus number of every frame as the file stores it."""
    if suffix == ".asc":
        return [int(m.group(2)) for m in re.finditer(r"^\s*\d+\.\d+\s+(CANFD\s+)?(\d+)\s", path.read_text(), re.M)]
    if suffix == ".trc":
        return [int(line.split()[3]) for line in path.read_text().splitlines() if line and not line.startswith(";")]
    if suffix == ".blf":  # python-can's reader gives the stored number less one
        return [m.channel + 1 for m in read_back(path)]
    if suffix == ".mf4":  # python-can's reader gives the stored number
        return [m.channel for m in read_back(path)]
    raise AssertionError(suffix)


@pytest.mark.parametrize("suffix", [".asc", ".blf", ".mf4", ".trc"])
def test_bus_numbers_are_written_as_the_frames_show_them(sample, tmp_path, suffix):
    if not has_writer(suffix):
        pytest.skip(f"this python-can writes no {suffix}")
    target = tmp_path / f"out{suffix}"
    out = run(sample, "-o", target, "--skip-unwritable")
    assert out.returncode == 0, out.stderr
    frames = frames_of(sample)
    kept = [int(m.channel.split()[1]) for m in frames if not is_lin(m)
            and (suffix != ".trc" or not (m.is_fd or m.is_remote_frame or m.is_error_frame))]
    numbers = bus_numbers_in_file(target, suffix)
    assert sorted(numbers) == sorted(kept) and set(numbers) == {1, 2, 3} & set(kept)


@pytest.fixture(scope="module")
def many_frames(tmp_path_factory):
    """More frames than python-can's sqlite writer keeps when it is stopped."""
    w = RecordingWriter(start_time_ns=1_600_000_000 * 1_000_000_000)
    g = w.data_group(record_id_size=1)
    g.can_channel_group(fd=False)
    g.add_frames(CanFrame(i * 1e-4, i & 0x7FF, bytes([i & 0xFF, (i >> 8) & 0xFF]), channel=1 + i % 2)
                 for i in range(5000))
    path = tmp_path_factory.mktemp("many") / "many.mf4"
    w.write(str(path))
    return path


def test_database_holds_every_frame(many_frames, tmp_path):
    target = tmp_path / "out.db"
    out = run(many_frames, "-o", target)
    assert out.returncode == 0 and out.stderr == ""
    got = read_back(target)
    want = frames_of(many_frames)
    assert len(got) == len(want) == 5000
    assert [(m.timestamp, m.arbitration_id, bytes(m.data)) for m in got] == \
           [(m.timestamp, m.arbitration_id, bytes(m.data)) for m in want]


@pytest.fixture(scope="module")
def cli_module():
    """The program's source in this tree, imported under a name of its own."""
    with cli_source_module("cli_under_test") as module:
        yield module


class FailingWriter:
    """A python-can writer stand-in that fails at its nth frame, or drops
    every nth frame without a word."""

    def __init__(self, real, fail_at, failure):
        self.real, self.fail_at, self.failure, self.seen = real, fail_at, failure, 0

    def on_message_received(self, message):
        self.seen += 1
        if self.failure == "drop" and self.seen % self.fail_at == 0:
            return
        if self.failure != "drop" and self.seen == self.fail_at:
            raise self.failure
        self.real.on_message_received(message)

    def stop(self):
        self.real.stop()


@pytest.mark.parametrize("failure, code, told", [
    (KeyboardInterrupt(), 130, "interrupted"),
    (OSError(28, "No space left on device"), 1, "No space left on device"),
    ("drop", 1, "4,995 of 5,000 frames reached the file"),
])
@pytest.mark.parametrize("suffix", [".asc", ".blf", ".csv"])
def test_output_appears_complete_or_not_at_all(cli_module, sample, many_frames, tmp_path, monkeypatch,
                                               capsys, failure, code, told, suffix):
    target = tmp_path / f"out{suffix}"
    target.write_bytes(b"an older file")
    real_logger = can.Logger
    monkeypatch.setattr(can, "Logger", lambda path: FailingWriter(real_logger(path), 1000, failure))
    assert cli_module.main([str(many_frames), "-o", str(target), "--skip-lin"]) == code
    assert told in capsys.readouterr().err
    assert target.read_bytes() == b"an older file"
    assert sorted(p.name for p in tmp_path.iterdir()) == [target.name]


def test_a_recording_that_fails_midway_leaves_no_output(tmp_path):
    w = RecordingWriter(start_time_ns=1_500_000_000 * 1_000_000_000)
    g = w.data_group(record_id_size=1)
    g.lin_error_channel_group("ChecksumError")
    g.lin_channel_group()
    g.add_frame(LinFrame(0.1, 0x11, b"\x01"))
    g.add_frame(LinError(0.2))
    path = tmp_path / "broken.mf4"
    w.write(str(path))
    out = run(path, "-o", tmp_path / "out.log")
    assert out.returncode == 1 and "Unknown bus type" in out.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["broken.mf4"]


@pytest.mark.parametrize("count, total, shown", [
    (0, 0, "0 frames"),
    (512, 2048, "512 of 2,048 frames (25%)"),
    (2048, 2048, "2,048 of 2,048 frames (100%)"),
    (3000, 2048, "3,000 frames"),  # a recording that states fewer than it holds
    (10, 0, "10 frames"),
])
def test_progress_line_tells_total_and_percentage(cli_module, count, total, shown):
    progress = cli_module.Progress(None, total)
    progress.count = count
    line = progress.line(progress.start + 2.0)
    assert line.startswith(shown + "  ") and line.endswith(" frames/s")


@pytest.mark.skipif(sys.platform == "win32", reason="pseudo-terminals are POSIX")
def test_progress_shows_on_a_terminal(sample, tmp_path):
    import pty

    try:
        leader, follower = pty.openpty()
    except OSError as error:  # a root without /dev/pts, as under qemu-user
        pytest.skip(f"no pseudo-terminal here: {error}")
    try:
        proc = subprocess.run([sys.executable, "-m", "python_can_tolvar_mf4_cli", str(sample), "-o",
                               str(tmp_path / "out.log")], stdout=subprocess.PIPE, stderr=follower,
                              env=cli_env(), timeout=120)
        os.close(follower)
        follower = None
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        if follower is not None:
            os.close(follower)
        os.close(leader)
    assert proc.returncode == 0
    total = len(frames_of(sample))
    assert re.search(rb"%d of %d frames \(100%%\)\s+[\d,]+ frames/s" % (total, total), shown), shown


def test_output_must_not_be_the_recording(sample, tmp_path):
    copy = tmp_path / "same.mf4"
    shutil.copy(sample, copy)
    out = run(copy, "-o", copy)
    assert out.returncode == 1
    assert copy.read_bytes() == sample.read_bytes()


@pytest.mark.parametrize("name", ["meta.json", "meta.blf"])
def test_metadata_goes_to_the_output_file(sample, tmp_path, name):
    out = run(sample, "--metadata", "-o", tmp_path / name)
    assert out.returncode == 0 and out.stdout == "" and out.stderr == ""
    with mod.MdfFile(str(sample)) as reader:
        assert json.loads((tmp_path / name).read_text(encoding="utf-8")) == reader.get_metadata()
    assert sorted(p.name for p in tmp_path.iterdir()) == [name]


def test_version_names_the_package_and_python_can():
    out = run("--version")
    assert out.returncode == 0
    try:
        ours = importlib.metadata.version("python_can_tolvar_mf4")
    except importlib.metadata.PackageNotFoundError:
        ours = "(not installed)"
    assert out.stdout.strip() == f"tolvar-mf4 {ours} (python-can {importlib.metadata.version('python-can')})"


def without_file_access_override():
    """A prefix that runs a command without the right to read any file, as
    root has it; None when that cannot be done here."""
    if os.geteuid() != 0:
        return []
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        return None
    return [setpriv, "--inh-caps=-all", "--bounding-set=-dac_override,-dac_read_search", "--"]


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX file modes and user ids")
def test_an_unreadable_file_says_permission_denied(sample, tmp_path):
    prefix = without_file_access_override()
    if prefix is None:
        pytest.skip("no way to drop root's file access here")
    locked = tmp_path / "locked.mf4"
    shutil.copy(sample, locked)
    locked.chmod(0)
    out = subprocess.run(prefix + [sys.executable, "-m", "python_can_tolvar_mf4_cli", str(locked)],
                         capture_output=True, text=True, env=cli_env(), timeout=120)
    assert out.returncode == 1
    assert out.stderr.strip() == f"tolvar-mf4: error: cannot open {locked}: permission denied"


# -- passwords ------------------------------------------------------------------------

@pytest.mark.parametrize("how", ["option", "keyed option", "environment"])
def test_passwords_open_encrypted_recordings_and_are_never_shown(secret, sample, how):
    if how == "option":
        out = run(secret, "-p", SECRET)
    elif how == "keyed option":
        out = run(secret, "--password", f"1234abcd={SECRET}")
    else:
        out = run(secret, env=cli_env(TOLVAR_MF4_PASSWORD=SECRET))
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == lines_of(sample)
    assert SECRET not in out.stderr


@pytest.mark.parametrize("args, message", [
    ([], "Encrypted file detected, but no passwords supplied"),
    (["-p", "0000FFFF=" + SECRET], "Could not find key to decrypt stream"),
    (["-p", "wrong-" + SECRET], "Could not decrypt stream"),
])
def test_missing_or_wrong_password_is_one_clear_line(secret, args, message):
    out = run(secret, *args)
    assert out.returncode == 1
    assert out.stdout == ""
    assert out.stderr.count("\n") == 1 and out.stderr.startswith("tolvar-mf4: error: ")
    assert message in out.stderr and SECRET not in out.stderr


# -- errors ----------------------------------------------------------------------------

@pytest.mark.parametrize("make_args, code", [
    (lambda tmp: [tmp / "missing.mf4"], 1),
    (lambda tmp: [tmp], 1),
    (lambda tmp: [tmp / "junk.mf4"], 1),
    (lambda tmp: ["-o", tmp / "out.unknownformat"], 1),
    (lambda tmp: ["--no-such-option"], 2),
    (lambda tmp: ["--start", "nan"], 1),
], ids=["missing file", "directory", "not a recording", "unknown output format", "bad option", "window of NaN"])
def test_bad_input_gives_one_line_and_nonzero_exit(tmp_path, make_args, code):
    (tmp_path / "junk.mf4").write_bytes(b"junk" * 64)
    out = run(*make_args(tmp_path))
    assert out.returncode == code
    assert "Traceback" not in out.stderr
    if code == 1:
        assert out.stderr.count("\n") == 1 and out.stderr.startswith("tolvar-mf4: error: ")
    if "junk.mf4" in map(str, make_args(tmp_path)[:1]) or str(make_args(tmp_path)[0]).endswith("junk.mf4"):
        # The reason the reader logged is part of the line.
        assert "Could not open data source (Unable to load block header for type junkjunk)" in out.stderr


# -- python-can integration ----------------------------------------------------------

def installed_entry_points():
    try:
        importlib.metadata.distribution("python_can_tolvar_mf4")
    except importlib.metadata.PackageNotFoundError:
        return None
    eps = importlib.metadata.entry_points()
    group = eps.select(group="can.io.message_reader") if hasattr(eps, "select") else eps.get(
        "can.io.message_reader", [])
    return {ep.name: ep for ep in group}


def can_version():
    return tuple(int(x) for x in re.findall(r"\d+", can.__version__)[:2])


def test_registered_as_python_can_reader_plugin(sample):
    eps = installed_entry_points()
    if eps is None:
        pytest.skip("the package is not installed")
    assert ".mf4" in eps
    cls = eps[".mf4"].load()
    assert cls is mod.MdfFile and issubclass(cls, can.io.generic.MessageReader)
    if can_version() < (4, 4):
        # python-can before 4.4 opens .mf4 with the plugin, passwords included.
        with can.LogReader(str(sample), passwords={}) as reader:
            assert isinstance(reader, mod.MdfFile)
            assert [str(m) for m in reader] == lines_of(sample)


def test_the_plugin_passes_any_writer_on(sample):
    if can_version() >= (4, 4):
        pytest.skip("python-can 4.4 and later read .mf4 without the plugin")
    with can.LogReader(str(sample), any_writer=True) as reader:
        assert isinstance(reader, mod.MdfFile)
        assert [str(m) for m in reader] == lines_of(sample, any_writer=True)


def readme_examples():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    section = text.split("## Using it from Python", 1)
    if len(section) < 2:
        return []
    section = section[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", section, re.DOTALL)


def test_readme_python_examples_run(sample, secret, tmp_path, monkeypatch, capsys):
    examples = readme_examples()
    assert examples, "README has no Python examples"
    shutil.copy(sample, tmp_path / "recording.mf4")
    shutil.copy(secret, tmp_path / "secret.mf4")
    # The Dataset examples read folders of recordings.
    for folder in ("fleet", "drive"):
        (tmp_path / folder).mkdir()
        for name in ("a.mf4", "b.mf4"):
            shutil.copy(sample, tmp_path / folder / name)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MF4_PASSWORD", SECRET)
    import importlib.util
    tables = all(importlib.util.find_spec(name) for name in ("numpy", "pandas", "pyarrow"))
    decoding = tables and importlib.util.find_spec("cantools") is not None
    for code in examples:
        # The table examples need the optional packages (not in every environment).
        if "to_numpy" in code and not tables or ("decode_to" in code or "decoded_batches" in code) and not decoding:
            continue
        if any((f"import {name}" in code or f"from {name} import" in code) and not importlib.util.find_spec(name)
               for name in ("polars", "duckdb", "pyarrow", "distributed")):
            continue
        if ("Dataset" in code and not tables) or ("to_dask" in code and not importlib.util.find_spec("dask")):
            continue
        exec(compile(code, "README.md", "exec"), {"__name__": "readme"})
    assert "Timestamp" in capsys.readouterr().out


# -- filters on the command line ---------------------------------------------------


@pytest.mark.parametrize("options, keywords", [
    (["--filter", "10:7F0"], dict(can_filters=[{"can_id": 0x10, "can_mask": 0x7F0}])),
    (["--filter", "0:0:x", "--filter", "1:1"],
     dict(can_filters=[{"can_id": 0, "can_mask": 0, "extended": True}, {"can_id": 1, "can_mask": 1}])),
    (["--filter", "0:0:s"], dict(can_filters=[{"can_id": 0, "can_mask": 0, "extended": False}])),
    (["--channel", "CAN 1", "--channel", "LIN 1"], dict(channels=["CAN 1", "LIN 1"])),
    (["--start", "0.05", "--stop", "0.2"], dict(start=0.05, stop=0.2)),
    (["--stop", "0.1", "--channel", "CAN 2"], dict(stop=0.1, channels=["CAN 2"])),
])
def test_filter_options_select_as_the_keywords_do(sample, options, keywords):
    with mod.MdfFile(str(sample)) as reader:
        origin = reader.start_timestamp
    for bound in ("start", "stop"):
        if bound in keywords:
            keywords[bound] = origin + keywords[bound]
    expected = lines_of(sample, **keywords)
    assert 0 < len(expected) < len(lines_of(sample))
    result = run(sample, *options)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == expected


@pytest.mark.parametrize("options", [["--filter", "12"], ["--filter", "xyz:7FF"], ["--filter", "1:2:q"],
                                     ["--start", "abc"]])
def test_bad_filter_options_are_usage_errors(sample, options):
    result = run(sample, *options)
    assert result.returncode == 2 and "usage" in result.stderr


def test_start_after_stop_is_an_error(sample):
    result = run(sample, "--start", "2", "--stop", "1")
    assert result.returncode == 1 and "--start must not be after --stop" in result.stderr


class CountingFile(io.RawIOBase):
    """A recording read through a file object that counts the bytes read."""

    def __init__(self, path):
        super().__init__()
        self.file = open(path, "rb")
        self.bytes_read = 0

    def readable(self):
        return True

    def seekable(self):
        return True

    def readinto(self, buffer):
        n = self.file.readinto(buffer)
        self.bytes_read += n or 0
        return n

    def seek(self, offset, whence=io.SEEK_SET):
        return self.file.seek(offset, whence)

    def tell(self):
        return self.file.tell()

    def close(self):
        self.file.close()
        super().close()


@pytest.mark.parametrize("options, keywords", [
    (["--start", "0.05", "--stop", "0.2"], dict(start=0.05, stop=0.2)),
    (["--channel", "CAN 1", "--channel", "LIN 1", "--filter", "0:0", "--start", "0.05"],
     dict(channels=["CAN 1", "LIN 1"], can_filters=[{"can_id": 0, "can_mask": 0}], start=0.05)),
])
@pytest.mark.parametrize("encrypted", [False, True], ids=["plain", "encrypted"])
def test_a_window_opens_and_decrypts_the_recording_once(cli_module, sample, secret, monkeypatch, capsys,
                                                        options, keywords, encrypted):
    path = secret if encrypted else sample
    passwords = {"default": SECRET} if encrypted else {}
    with mod.MdfFile(str(path), passwords=passwords) as reader:
        origin = reader.start_timestamp
    window = {k: origin + v if k in ("start", "stop") else v for k, v in keywords.items()}
    expected = lines_of(path, passwords=passwords, **window)
    assert 0 < len(expected) < len(lines_of(path, passwords=passwords))
    opened = []
    real = mod.MdfFile

    def counting(source, **kwargs):
        opened.append(CountingFile(source))
        return real(opened[-1], **kwargs)

    monkeypatch.setattr(mod, "MdfFile", counting)
    try:
        assert cli_module.main([str(path), *options] + (["-p", SECRET] if encrypted else [])) == 0
    finally:
        for f in opened:
            f.close()
    assert capsys.readouterr().out.splitlines() == expected
    assert len(opened) == 1
    # Read (and decrypted) once: a second reading of the layer reads every
    # byte of it again.
    assert path.stat().st_size <= opened[0].bytes_read < 2 * path.stat().st_size


@pytest.mark.parametrize("channel, bus", [
    ("CAN 1", ("CAN", 1)), ("LIN 255", ("LIN", 255)), ("CAN 0", ("CAN", 0)),
    ("can 1", None), ("CAN1", None), ("LIN x", None), ("CAN 1\n", None), ("FlexRay 1", None),
    (1, None), (None, None),
])
def test_bus_of_reads_only_the_names_messages_carry(cli_module, channel, bus):
    assert cli_module.bus_of(channel) == bus


@pytest.mark.parametrize("channel, flags, kind", [
    ("LIN 1", dict(is_error_frame=True), "LIN"),
    ("CAN 1", dict(is_error_frame=True), "error"),
    ("CAN 2", dict(is_remote_frame=True), "remote"),
    ("CAN 3", dict(is_fd=True), "CAN FD"),
    ("CAN 3", {}, "CAN"),
    (0, {}, "CAN"),  # a message of another reader: by its flags
])
def test_kind_of_a_frame(cli_module, channel, flags, kind):
    assert cli_module.kind_of(can.Message(channel=channel, **flags)) == kind


def test_main_leaves_logging_as_it_found_it(cli_module, tmp_path, capsys):
    (tmp_path / "junk.mf4").write_bytes(b"junk" * 64)
    reader_log = logging.getLogger("python_can_tolvar_mf4")
    before = (list(logging.getLogger().handlers), list(reader_log.handlers), reader_log.level,
              reader_log.propagate)
    assert cli_module.main([str(tmp_path / "junk.mf4")]) == 1
    assert "Unable to load block header" in capsys.readouterr().err
    assert (list(logging.getLogger().handlers), list(reader_log.handlers), reader_log.level,
            reader_log.propagate) == before
    # A second run tells its own reasons only.
    assert cli_module.main([str(tmp_path / "missing.mf4")]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "Unable to load block header" not in err


@pytest.mark.parametrize("name, told", [
    ("out.db.gz", "The file type .db is currently incompatible with gzip"),
    ("out.blf.gz", "The file type .blf is currently incompatible with gzip"),
    ("out.gz", 'unknown log format ".gz"'),
])
def test_outputs_no_writer_compresses_are_refused(sample, tmp_path, name, told):
    out = run(sample, "-o", tmp_path / name, "--skip-unwritable")
    assert out.returncode == 1 and out.stderr.count("\n") == 1 and told in out.stderr
    assert list(tmp_path.iterdir()) == []


# -- records missing ----------------------------------------------------------------

@pytest.fixture(scope="module")
def cut_short(tmp_path_factory):
    """A finalised recording whose data block lost its last 5 bytes."""
    w = RecordingWriter()
    g = w.data_group()
    g.can_channel_group(fd=False, acquisition_name="Chassis")
    g.add_frames([CanFrame(0.01 * k, 0x100 + k, bytes([k] * 8)) for k in range(30)])
    data = bytearray(w.to_bytes())
    last = data.rfind(b"##DT")
    end = last + int.from_bytes(data[last + 8:last + 16], "little")
    path = tmp_path_factory.mktemp("cut") / "cut.mf4"
    path.write_bytes(bytes(data[:end - 5]))
    return path


@pytest.mark.parametrize("strict, status", [(False, 0), (True, 1)])
def test_records_missing_are_told_and_fail_only_with_strict(cut_short, tmp_path, strict, status):
    args = [cut_short] + (["--strict"] if strict else [])
    for extra in ([], ["-o", tmp_path / f"out-{strict}.log"]):
        out = run(*args, *extra)
        assert out.returncode == status, out.stderr
        assert ("tolvar-mf4: warning: Data group 1, channel group 1 (Chassis): 30 records stated, 29 read; "
                "the records end at a damaged record") in out.stderr.splitlines()
        if not extra:
            assert len(out.stdout.splitlines()) == 29
    whole = run(PACKAGE_SAMPLE, "--strict")
    assert whole.returncode == 0 and "records stated" not in whole.stderr
