#!/usr/bin/env bash
# Every test: native unit tests (plain and under AddressSanitizer and
# UndefinedBehaviorSanitizer), bounded fuzz runs, the Python tests under the
# sanitizers, and with the portable wheel on other python-can releases and
# interpreters, the type checkers on the stubs, the source distribution
# installed from a read-only copy, the Windows and arm64 wheels built and
# tested under wine and qemu-user (on Windows the whole Python suite; on
# arm64 a part of it, as qemu runs it at a tenth of the speed: arm64.sh runs
# all of it without --quick), and the Python tests.
#   bash scripts/test.sh           everything (what CI runs)
#   bash scripts/test.sh --quick   the optimised native tests and pytest only,
#                                  for day-to-day work
QUICK=0
case "${1:-}" in
  --quick) QUICK=1 ;;
  "") ;;
  *) echo "usage: bash scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
source "$(dirname "$0")/setup.sh"
JOBS="$(nproc)"
FUZZ_SECONDS="${FUZZ_SECONDS:-30}"

# Recordings of every shape the test writer makes, with what a reader must
# make of each, for the native tests that read them.
python tests/make_recordings.py build/recordings >/dev/null
export TOLVAR_RECORDINGS="$PWD/build/recordings"

echo "== native tests" >&2
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTOLVAR_TESTS=ON -DTOLVAR_BENCH=ON >/dev/null
cmake --build build/native -j "$JOBS"
ctest --test-dir build/native --output-on-failure -j "$JOBS"

if [ "$QUICK" = 1 ]; then
  echo "== Python tests" >&2
  python -m pytest -q tests
  exit 0
fi

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer" >&2
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOLVAR_TESTS=ON \
  -DTOLVAR_SANITIZE=address,undefined >/dev/null
cmake --build build/asan -j "$JOBS"
ctest --test-dir build/asan --output-on-failure -j "$JOBS"

if ls fuzz/*_fuzz.cpp >/dev/null 2>&1; then
  echo "== fuzz targets, ${FUZZ_SECONDS}s each" >&2
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTOLVAR_FUZZ=ON >/dev/null
  cmake --build build/fuzz -j "$JOBS"
  for src in fuzz/*_fuzz.cpp; do
    name="$(basename "$src" .cpp)"
    corpus="build/fuzz/corpus/$name"
    mkdir -p "$corpus"
    seeds=()
    [ -d "fuzz/seeds/$name" ] && seeds+=("fuzz/seeds/$name")
    [ -d "tests/known_bad/$name" ] && seeds+=("tests/known_bad/$name")
    echo "-- $name" >&2
    "build/fuzz/$name" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -print_final_stats=0 \
      -artifact_prefix="build/fuzz/" "$corpus" "${seeds[@]}" 2>build/fuzz/$name.log \
      || { tail -50 "build/fuzz/$name.log"; exit 1; }
  done
fi

echo "== Python tests with the module under AddressSanitizer" >&2
bash scripts/python_asan.sh

echo "== other python-can releases and interpreters" >&2
bash scripts/compat.sh

echo "== types: mypy --strict and pyright on an example using every public name" >&2
(cd tests && mypy --strict typed_example.py && pyright typed_example.py)

echo "== source distribution, installed from a read-only copy" >&2
bash scripts/sdist_check.sh

# Both at once: much of each is one emulated process, which leaves the other
# core to the other's build. Their lines come prefixed with the target's
# name; the environment set up above is theirs, unchanged.
echo "== the Windows x86-64 and Linux arm64 wheels, cross-built and tested under wine and qemu-user" >&2
export TOLVAR_SET_UP="$ROOT"
cross_started=$SECONDS
(set -o pipefail; bash scripts/windows.sh 2>&1 | sed -u 's/^/[windows] /') & windows=$!
(set -o pipefail; bash scripts/arm64.sh --quick 2>&1 | sed -u 's/^/[arm64] /') & arm64=$!
windows_status=0 arm64_status=0
wait "$windows" || windows_status=$?
wait "$arm64" || arm64_status=$?
unset TOLVAR_SET_UP
echo "== cross-built wheels: windows status $windows_status, arm64 status $arm64_status, $((SECONDS - cross_started))s" >&2
if [ "$windows_status" != 0 ] || [ "$arm64_status" != 0 ]; then exit 1; fi

echo "== Python tests" >&2
python -m pytest -q tests
