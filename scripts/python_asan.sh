#!/usr/bin/env bash
# The module's Python tests on a small case with the module built under
# AddressSanitizer and UndefinedBehaviorSanitizer, loaded into the ordinary
# interpreter. Leak reports are many (the interpreter frees little at exit);
# a leak counts when its allocation was made by the module's own code, that
# is, a frame of the module comes before the first frame of the interpreter.
# Run after setup.sh (needs the active .venv).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
BUILD=build/python-asan
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOLVAR_MODULE=ON \
  -DPython_EXECUTABLE="$(command -v python)" -DTOLVAR_SANITIZE=address,undefined >/dev/null
cmake --build "$BUILD" --target python_can_tolvar_mf4 -j "$(nproc)"

log="$BUILD/pytest.log"
set +e
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
PYTHONPATH="$ROOT/$BUILD" python -m pytest -q -p no:cacheprovider \
  tests/test_sources.py tests/test_messages.py >"$log" 2>&1
status=$?
set -e
grep -E "passed|failed" "$log" | tail -1 >&2
if grep -qE "ERROR: AddressSanitizer|runtime error:" "$log"; then
  grep -B2 -A30 -E "ERROR: AddressSanitizer|runtime error:" "$log" | head -80 >&2
  exit 1
fi
ours="$(awk '
  /leak of/ { inleak = 1; seen_python = 0; next }
  inleak && /^ *#[0-9]+ / {
    if ($0 ~ /libpython|\/python3/) seen_python = 1
    else if (!seen_python && $0 ~ /python_can_tolvar_mf4/) { print; inleak = 0 }
    next
  }
  inleak && /^$/ { inleak = 0 }
' "$log")"
if [ -n "$ours" ]; then
  echo "leaks allocated by the module:" >&2
  echo "$ours" >&2
  exit 1
fi
# pytest's own result (the leak report alone makes the process exit non-zero).
grep -qE "[0-9]+ passed" "$log" && ! grep -qE "[0-9]+ failed" "$log" || { tail -40 "$log" >&2; exit 1; }
echo "python under ASan: no error, no leak of the module's own" >&2
