"""Packs an extension module built by a cross build into a wheel of the given
tag, with what the build backend puts beside it in every other wheel: the
package's metadata as scikit-build-core makes it (METADATA, entry points,
licence), the packages listed in pyproject.toml's tool.scikit-build
wheel.packages, and a RECORD of every file.

    python scripts/pack_wheel.py MODULE TAG OUTDIR

prints the wheel's path. Run with the project's environment (scikit-build-core).
"""

from __future__ import annotations

import base64
import contextlib
import hashlib
import io
import os
import sys
import tempfile
import zipfile
from pathlib import Path
from typing import Dict, List, Tuple

ROOT = Path(__file__).resolve().parent.parent
# Zip entries carry this time, so that the same inputs make the same wheel.
FIXED_TIME = (1980, 1, 1, 0, 0, 0)


def _load_toml(path: Path) -> dict:
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # pragma: no cover - the project's environment is 3.11 or newer
        import tomli as tomllib
    with open(path, "rb") as f:
        return tomllib.load(f)


def metadata_files() -> Tuple[str, Dict[str, bytes]]:
    """The .dist-info folder's name and files, made by the build backend."""
    from scikit_build_core.build import prepare_metadata_for_build_wheel

    with tempfile.TemporaryDirectory() as folder:
        # The backend reads the project from the working folder, and reports
        # on standard output, which carries our result.
        previous = os.getcwd()
        os.chdir(ROOT)
        try:
            with contextlib.redirect_stdout(sys.stderr):
                name = prepare_metadata_for_build_wheel(folder)
        finally:
            os.chdir(previous)
        base = Path(folder) / name
        files = {p.relative_to(base).as_posix(): p.read_bytes() for p in sorted(base.rglob("*")) if p.is_file()}
    return name, files


def package_files() -> Dict[str, bytes]:
    """Every file of the packages the wheel carries beside the module."""
    settings = _load_toml(ROOT / "pyproject.toml")["tool"]["scikit-build"]
    files: Dict[str, bytes] = {}
    for package in settings["wheel"]["packages"]:
        source = ROOT / package
        for path in sorted(source.rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts and path.suffix not in (".pyc", ".pyo"):
                files[f"{source.name}/{path.relative_to(source).as_posix()}"] = path.read_bytes()
    return files


def wheel_file(tag: str, generator_file: bytes) -> bytes:
    """WHEEL as the backend wrote it, with the target's tag instead of ours."""
    # Headers alone: a blank line would end them, and a tag after it be no tag.
    lines = [line for line in generator_file.decode().splitlines() if line.strip() and not line.startswith("Tag:")]
    lines.append(f"Tag: {tag}")
    return ("\n".join(lines) + "\n").encode()


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def pack(module: Path, tag: str, out: Path) -> Path:
    dist_info, metadata = metadata_files()
    metadata["WHEEL"] = wheel_file(tag, metadata["WHEEL"])
    entries: List[Tuple[str, bytes]] = [(module.name, module.read_bytes())]
    entries += sorted(package_files().items())
    entries += [(f"{dist_info}/{name}", data) for name, data in sorted(metadata.items())]
    record_name = f"{dist_info}/RECORD"
    record = "".join(record_line(name, data) + "\n" for name, data in entries) + f"{record_name},,\n"
    entries.append((record_name, record.encode()))

    distribution = dist_info[: -len(".dist-info")]
    out.mkdir(parents=True, exist_ok=True)
    target = out / f"{distribution}-{tag}.whl"
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in entries:
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = (0o755 if name == module.name else 0o644) << 16
            wheel.writestr(info, data)
    # Written whole, then renamed: a wheel that is there is complete.
    partial = target.with_suffix(".partial")
    partial.write_bytes(buffer.getvalue())
    os.replace(partial, target)
    return target


def main(argv: List[str]) -> int:
    if len(argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    print(pack(Path(argv[1]), argv[2], Path(argv[3])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
