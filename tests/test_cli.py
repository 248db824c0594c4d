"""The command-line program tolvar-mf4, the python-can plugin registration and
the README's Python examples."""

import importlib.metadata
import json
import os
import pathlib
import pty
import re
import shutil
import subprocess
import sys

import can
import pytest

import python_can_tolvar_mf4 as mod
from layer_tools import encrypted_layer
from mdf_writer import make_sample

ROOT = pathlib.Path(__file__).resolve().parent.parent
CLI_SOURCE = ROOT / "src" / "python"
PACKAGE_SAMPLE = CLI_SOURCE / "python_can_tolvar_mf4_cli" / "sample.mf4"
SECRET = "s3cr3t-pass-phrase"


def cli_env(**extra):
    # The program's source in this tree is what is tested, also when an
    # older copy is installed.
    paths = [str(CLI_SOURCE)] + list(sys.path)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in paths if p))
    env.pop("TOLVAR_MF4_PASSWORD", None)
    env.update(extra)
    return env


def run(*args, env=None, **kwargs):
    return subprocess.run([sys.executable, "-m", "python_can_tolvar_mf4_cli", *map(str, args)],
                          capture_output=True, text=True, env=env or cli_env(), timeout=300, **kwargs)


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


def test_closed_pipe_is_not_an_error(sample):
    shell = f"{sys.executable} -m python_can_tolvar_mf4_cli {sample} | head -n 1"
    out = subprocess.run(["bash", "-o", "pipefail", "-c", shell], capture_output=True, text=True,
                         env=cli_env(), timeout=120)
    assert out.returncode == 0 and out.stderr == ""
    assert len(out.stdout.splitlines()) == 1


# -- converting -------------------------------------------------------------------

@pytest.mark.parametrize("suffix", [".asc", ".blf", ".csv", ".log", ".trc", ".db"])
def test_converts_to_every_format_python_can_writes(sample, tmp_path, suffix):
    if suffix == ".trc" and not hasattr(can, "TRCWriter"):
        pytest.skip("this python-can writes no .trc")
    target = tmp_path / f"out{suffix}"
    out = run(sample, "-o", target)
    assert out.returncode == 0, out.stderr
    # No progress when stderr is no terminal; what a format cannot store is
    # told once per kind of loss.
    told = out.stderr.splitlines()
    assert len(told) == len(set(told)) and all(line.startswith("tolvar-mf4: warning: ") for line in told)
    with mod.MdfFile(str(sample)) as reader:
        want = [(m.arbitration_id, bytes(m.data)) for m in reader if not m.is_error_frame]
    with can.LogReader(str(target)) as reader:
        got = [(m.arbitration_id, bytes(m.data)) for m in reader if not m.is_error_frame]
    if suffix in (".blf", ".db", ".csv", ".log"):
        assert got == want and told == []
    elif suffix == ".trc":  # python-can's TRC writer leaves CAN FD and remote frames out
        assert 0 < len(got) < len(want) and set(got) <= set(want)
    else:
        assert len(got) == len(want)


def test_progress_shows_on_a_terminal(sample, tmp_path):
    leader, follower = pty.openpty()
    try:
        proc = subprocess.run([sys.executable, "-m", "python_can_tolvar_mf4_cli", str(sample), "-o",
                               str(tmp_path / "out.blf")], stdout=subprocess.PIPE, stderr=follower,
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
    assert re.search(rb"\d+ frames\s+[\d,]+ frames/s", shown), shown


def test_output_must_not_be_the_recording(sample, tmp_path):
    copy = tmp_path / "same.mf4"
    shutil.copy(sample, copy)
    out = run(copy, "-o", copy)
    assert out.returncode == 1
    assert copy.read_bytes() == sample.read_bytes()


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
], ids=["missing file", "directory", "not a recording", "unknown output format", "bad option"])
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
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MF4_PASSWORD", SECRET)
    for code in examples:
        exec(compile(code, "README.md", "exec"), {"__name__": "readme"})
    assert "Timestamp" in capsys.readouterr().out
