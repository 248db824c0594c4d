#!/usr/bin/env bash
# The Python tests again on every interpreter the machine has and under other
# python-can releases, each in its own virtual environment with the portable
# wheel of scripts/wheel.sh installed: the oldest python-can the package
# supports (4.3.0, the first that does not import pkg_resources) and the last
# one whose base class opens paths itself (4.5.0).
# The project's own environment has the newest.
# Run after setup.sh (it needs the active .venv with scikit-build-core).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
VERSIONS="${TOLVAR_COMPAT_CAN_VERSIONS:-4.3.0 4.5.0}"

# The portable wheel (scripts/wheel.sh: repaired to a manylinux tag, nothing
# grafted) is what every environment below installs.
wheel="$(bash scripts/wheel.sh build/wheels)"

# mbed TLS's shared library cannot be loaded in the runs below: a folder
# first on the library path holds files under its names that are no
# libraries, so anything that asked the loader for one would fail.
no_mbedtls="$ROOT/build/no-mbedtls"
mkdir -p "$no_mbedtls"
for name in libmbedcrypto.so libmbedcrypto.so.7 libmbedcrypto.so.16 libmbedtls.so; do
  echo "not a library" >"$no_mbedtls/$name"
done

# The module may use only the stable ABI of the version its wheel declares
# (cp39): a 3.9 interpreter could not load a function that joined later.
if [ ! -x build/abi3audit-env/bin/abi3audit ]; then
  python -m venv build/abi3audit-env
  build/abi3audit-env/bin/python -m pip install -q abi3audit
fi
build/abi3audit-env/bin/abi3audit --strict --summary "$wheel"

# Import with every warning an error, and read recordings, on every
# interpreter the machine has (pyenv's included) with the newest python-can.
find_interpreter() {  # a working python3.X: on PATH, or one pyenv installed
  local name="$1" candidate
  if "$name" -c pass >/dev/null 2>&1; then command -v "$name"; return 0; fi
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"${name#python}".*/bin/"$name"; do
    if [ -x "$candidate" ] && "$candidate" -c pass >/dev/null 2>&1; then echo "$candidate"; return 0; fi
  done
  return 1
}
found=()
for name in python3.9 python3.10 python3.11 python3.12 python3.13 python3.14; do
  interpreter="$(find_interpreter "$name")" && found+=("$name:$interpreter")
done
oldest="${found[0]%%:*}"; newest="${found[${#found[@]}-1]%%:*}"
for entry in "${found[@]}"; do
  name="${entry%%:*}"; interpreter="${entry#*:}"
  env_dir="build/compat-$name"
  if [ ! -x "$env_dir/bin/python" ]; then
    "$interpreter" -m venv "$env_dir"
    "$env_dir/bin/python" -m pip install -q python-can pytest cryptography
  fi
  "$env_dir/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  (cd "$env_dir" && ./bin/python -W error -X dev -c \
     "import python_can_tolvar_mf4 as m; assert sorted(x for x in dir(m) if not x.startswith('__')) == ['CanMsgExtension', 'MdfFile', 'MdfFileIterator', 'scan_polars']")
  echo "-- $name imports the module without warnings" >&2
  tests=("$ROOT/tests/test_sources.py" "$ROOT/tests/test_messages.py")
  if [ "$name" = "$oldest" ] || [ "$name" = "$newest" ]; then
    # Plain, compressed and encrypted recordings, with mbed TLS out of reach.
    (cd "$env_dir" && LD_LIBRARY_PATH="$no_mbedtls" ./bin/python -c \
       "import ctypes
try:
    ctypes.CDLL('libmbedcrypto.so.7')
except OSError:
    pass
else:
    raise SystemExit('mbed TLS is loadable')")
    echo "-- $name: mbed TLS cannot be loaded; the wheel's tests with layers" >&2
    tests+=("$ROOT/tests/test_layers.py")
  fi
  (cd "$env_dir" && LD_LIBRARY_PATH="$no_mbedtls" ./bin/python -m pytest -q -p no:cacheprovider "${tests[@]}")
done

for version in $VERSIONS; do
  env_dir="build/compat-can-$version"
  if [ ! -x "$env_dir/bin/python" ]; then
    python -m venv "$env_dir"
    "$env_dir/bin/python" -m pip install -q "python-can==$version" pytest cryptography
    # Supported without pkg_resources, as on Python 3.12 and with setuptools 81.
    "$env_dir/bin/python" -m pip uninstall -q -y setuptools
  fi
  "$env_dir/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  echo "-- python-can $version" >&2
  (cd "$env_dir" && ./bin/python -m pytest -q -p no:cacheprovider \
     "$ROOT/tests/test_module.py" "$ROOT/tests/test_messages.py" \
     "$ROOT/tests/test_sources.py" "$ROOT/tests/test_cli.py")
done
