"""The packer of the cross-built wheels (scripts/pack_wheel.py): a wheel of
the target's tag with the build backend's metadata, every file of the
packages the backend would put in, and a RECORD that pip accepts."""

import base64
import email.parser
import hashlib
import pathlib
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKER = ROOT / "scripts" / "pack_wheel.py"

pytest.importorskip("scikit_build_core", reason="the packer takes its metadata from scikit-build-core")
if sys.version_info < (3, 11):
    pytest.skip("the packer reads pyproject.toml with tomllib (Python 3.11)", allow_module_level=True)
import tomllib  # noqa: E402

from packaging.requirements import Requirement  # noqa: E402


def pack(tmp_path, module_name, tag):
    module = tmp_path / module_name
    module.write_bytes(b"MZ not really a module " * 50)
    out = subprocess.run([sys.executable, str(PACKER), str(module), tag, str(tmp_path / "dist")],
                         capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert out.returncode == 0, out.stderr
    wheel = pathlib.Path(out.stdout.strip())
    assert wheel.is_file() and wheel.parent == tmp_path / "dist"
    return module, wheel


@pytest.fixture(scope="module")
def project():
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)


@pytest.mark.parametrize("module_name, tag", [
    ("python_can_tolvar_mf4.pyd", "cp39-abi3-win_amd64"),
    ("python_can_tolvar_mf4.abi3.so", "cp39-abi3-linux_aarch64"),
])
def test_wheel_holds_the_module_the_packages_and_the_backends_metadata(tmp_path, project, module_name, tag):
    module, wheel = pack(tmp_path, module_name, tag)
    name, version = project["project"]["name"], project["project"]["version"]
    assert wheel.name == f"{name}-{version}-{tag}.whl"
    dist_info = f"{name}-{version}.dist-info"
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        assert len(names) == len(set(names))
        assert z.read(module_name) == module.read_bytes()
        # Every file of every package the backend puts in, nothing compiled.
        for package in project["tool"]["scikit-build"]["wheel"]["packages"]:
            source = ROOT / package
            expected = {f"{source.name}/{p.relative_to(source).as_posix()}" for p in source.rglob("*")
                        if p.is_file() and "__pycache__" not in p.parts}
            got = {n for n in names if n.startswith(source.name + "/")}
            assert got == expected and expected
        assert not [n for n in names if "__pycache__" in n or n.endswith(".pyc")]

        # WHEEL is a block of headers, as installers and auditwheel parse it.
        wheel_headers = email.parser.Parser().parsestr(z.read(f"{dist_info}/WHEEL").decode())
        assert wheel_headers.get_all("Tag") == [tag]
        assert wheel_headers["Root-Is-Purelib"] == "false"
        assert wheel_headers["Wheel-Version"] == "1.0"
        assert wheel_headers.get_payload() == ""
        metadata = z.read(f"{dist_info}/METADATA").decode()
        assert f"Name: {name}\n" in metadata and f"Version: {version}\n" in metadata
        required = {str(Requirement(r)) for r in project["project"]["dependencies"]}
        listed = {str(Requirement(line.split(":", 1)[1])) for line in metadata.splitlines()
                  if line.startswith("Requires-Dist:") and "extra ==" not in line}
        assert listed == required
        entry_points = z.read(f"{dist_info}/entry_points.txt").decode()
        assert "tolvar-mf4 = python_can_tolvar_mf4_cli:main" in entry_points
        assert ".mf4 = python_can_tolvar_mf4:MdfFile" in entry_points
        assert z.read(f"{dist_info}/licenses/LICENSE") == (ROOT / "LICENSE").read_bytes()

        # RECORD: every other entry once, with its digest and size; itself last, unhashed.
        record = z.read(f"{dist_info}/RECORD").decode().splitlines()
        assert record[-1] == f"{dist_info}/RECORD,,"
        listed = {}
        for line in record[:-1]:
            path, digest, size = line.rsplit(",", 2)
            listed[path] = (digest, int(size))
        assert set(listed) == set(names) - {f"{dist_info}/RECORD"}
        for path, (digest, size) in listed.items():
            data = z.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert (digest, size) == (f"sha256={expected}", len(data)), path


def test_the_same_inputs_make_the_same_wheel(tmp_path):
    first_dir, second_dir = tmp_path / "a", tmp_path / "b"
    first_dir.mkdir()
    second_dir.mkdir()
    _, first = pack(first_dir, "python_can_tolvar_mf4.pyd", "cp39-abi3-win_amd64")
    _, second = pack(second_dir, "python_can_tolvar_mf4.pyd", "cp39-abi3-win_amd64")
    assert first.read_bytes() == second.read_bytes()


def test_pip_installs_the_wheel_for_its_platform(tmp_path):
    _, wheel = pack(tmp_path, "python_can_tolvar_mf4.pyd", "cp39-abi3-win_amd64")
    target = tmp_path / "installed"
    out = subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--no-index", "--target",
                          str(target), "--platform", "win_amd64", "--python-version", "3.13",
                          "--implementation", "cp", "--only-binary=:all:", str(wheel)],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert (target / "python_can_tolvar_mf4.pyd").is_file()
    assert (target / "python_can_tolvar_mf4_cli" / "sample.mf4").is_file()


def test_usage_without_arguments():
    out = subprocess.run([sys.executable, str(PACKER)], capture_output=True, text=True, timeout=60)
    assert out.returncode == 2 and "pack_wheel.py MODULE TAG OUTDIR" in out.stderr
