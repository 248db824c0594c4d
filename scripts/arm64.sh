#!/usr/bin/env bash
# The Linux arm64 wheel (manylinux_2_17_aarch64), cross-built here with
# Debian's aarch64 GCC as the x86-64 portable wheel is built (mbed TLS and the
# C++ runtime linked in, their symbols private), checked by auditwheel
# (nothing grafted), then tested under qemu-user in an arm64 Debian root made
# here: the native tests, the Python tests on that root's CPython with
# python-can, numpy, pandas and pyarrow, and the command line on the shipped
# sample.
#   bash scripts/arm64.sh          the whole Python suite
#   bash scripts/arm64.sh --quick  a part of it, and no native tests (what the
#                                  test command runs)
# Works from a clean checkout: installs what it needs, keeps the root and the
# libraries in the cache of scripts/cross_common.sh, and builds in
# build/arm64; the wheel goes to build/arm64/dist.
set -euo pipefail
QUICK=0
case "${1:-}" in
  --quick) QUICK=1 ;;
  "") ;;
  *) echo "usage: bash scripts/arm64.sh [--quick]" >&2; exit 2 ;;
esac
source "$(dirname "$0")/setup.sh"
CROSS_NAME=arm64
CROSS_STARTED=$SECONDS
source scripts/cross_common.sh

cross_apt_install g++-aarch64-linux-gnu qemu-user-static debootstrap dpkg-dev libgtest-dev
ARM="$CROSS_CACHE/arm64"
mkdir -p "$ARM"
exec 9>"$ARM.lock"
flock 9
TRIPLET=aarch64-linux-gnu
TOOLCHAIN="$ROOT/cmake/toolchain-aarch64.cmake"
ROOTFS="$ARM/root"
PREFIX="$ARM/prefix"
SITE="$ARM/site"
QEMU=/usr/bin/qemu-aarch64-static
SUITE=bookworm
ROOT_PACKAGES=python3,python3-venv,libpython3-dev,libexpat1-dev,zlib1g-dev,libmbedtls-dev
TEST_PACKAGES=(python-can pytest hypothesis cryptography numpy pandas pyarrow cantools polars duckdb asammdf "dask[dataframe]" distributed)
# Tags of the wheels the root's interpreter takes (glibc 2.36), for pip.
ROOT_PLATFORMS=manylinux_2_36_aarch64,manylinux_2_28_aarch64,manylinux_2_17_aarch64,manylinux2014_aarch64
cmake_cross=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DTOLVAR_CROSS_PREFIX="$PREFIX"
             -DCMAKE_BUILD_TYPE=Release -DCMAKE_POLICY_VERSION_MINIMUM=3.5)

# The machine's own Debian archive.
debian_mirror() {
  local uri=""
  [ -f /etc/apt/sources.list.d/debian.sources ] \
    && uri="$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources | grep -v security | head -1)"
  [ -n "$uri" ] || uri="$(sed -n 's/^deb \(\[[^]]*\] \)\?\([^ ]*\) .*/\2/p' /etc/apt/sources.list 2>/dev/null | grep -v security | head -1)"
  echo "${uri:-http://deb.debian.org/debian}"
}

# An arm64 Debian root. debootstrap's second stage runs the root's own
# programs, which needs the kernel to hand arm64 programs to qemu by itself
# (binfmt_misc), as containers seldom may: the first stage downloads every
# package, and each is unpacked here. Nothing in the root is configured, and
# nothing needs to be: its programs run through qemu-user with the root as
# their library prefix.
make_root() {
  local recipe="$SUITE arm64 minbase $ROOT_PACKAGES 2" partial="$ROOTFS.partial" deb
  cross_current "$ROOTFS" "$recipe" && return 0
  cross_log "making an arm64 Debian root with $ROOT_PACKAGES"
  rm -rf "$ROOTFS" "$partial"
  cross_run "$ARM/debootstrap.log" debootstrap --arch=arm64 --variant=minbase --foreign \
    --include="$ROOT_PACKAGES" "$SUITE" "$partial" "$(debian_mirror)"
  # The root's /bin, /lib and /sbin are links into /usr, which stay.
  for deb in "$partial"/var/cache/apt/archives/*.deb; do
    dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$partial"
  done
  [ -L "$partial/lib" ] || cross_fail "unpacking the packages replaced the root's /lib link"
  rm -f "$partial"/var/cache/apt/archives/*.deb
  [ -x "$partial/usr/bin/python3" ] || cross_fail "the arm64 root has no python3"
  mv "$partial" "$ROOTFS"
  cross_done "$ROOTFS" "$recipe"
}

# Copies a file of the root, following its links inside the root: Debian's
# links to libraries are often absolute (/lib/...).
copy_from_root() {  # SOURCE TARGET
  local path="$1" target hops=0
  while [ -L "$path" ] && [ "$hops" -lt 16 ]; do
    target="$(readlink "$path")"
    case "$target" in
      /*) path="$ROOTFS$target" ;;
      *) path="$(dirname "$path")/$target" ;;
    esac
    hops=$((hops + 1))
  done
  cp "$path" "$2"
}

# What the build links, gathered from the root (headers of expat, zlib,
# mbed TLS and the interpreter; expat and zlib shared, as on x86-64, and
# mbed TLS's static archive), and GoogleTest built for arm64.
build_dependencies() {
  local recipe python lib="$ROOTFS/usr/lib/$TRIPLET" include="$ROOTFS/usr/include"
  recipe="$(cat "$ROOTFS/.stamp") gtest=$(dpkg-query -W -f='${Version}' libgtest-dev) $(sha1sum "$TOOLCHAIN" | cut -c1-12) 2"
  cross_current "$PREFIX" "$recipe" && return 0
  cross_log "gathering the arm64 libraries and building GoogleTest"
  rm -rf "$PREFIX"
  mkdir -p "$PREFIX/include" "$PREFIX/lib" "$PREFIX/python"
  cp -r "$include/mbedtls" "$include/psa" "$include/expat.h" "$include/expat_external.h" \
    "$include/zlib.h" "$include/zconf.h" "$PREFIX/include/"
  [ -f "$include/$TRIPLET/expat_config.h" ] && cp "$include/$TRIPLET/expat_config.h" "$PREFIX/include/"
  local name
  for name in libexpat.so libz.so libmbedcrypto.a; do copy_from_root "$lib/$name" "$PREFIX/lib/$name"; done
  # Debian's pyconfig.h only chooses the architecture's own, which takes its place.
  python="$(basename "$(readlink -f "$ROOTFS/usr/bin/python3")")"
  cp -r "$include/$python" "$PREFIX/python/include"
  cp "$include/$TRIPLET/$python/pyconfig.h" "$PREFIX/python/include/pyconfig.h"

  local work="$ARM/work"
  rm -rf "$work"
  mkdir -p "$work"
  cross_run "$work/gtest.log" cmake -S /usr/src/googletest -B "$work/gtest" "${cmake_cross[@]}" \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON
  cross_run "$work/gtest.log" cmake --build "$work/gtest" -j "$CROSS_JOBS"
  cross_run "$work/gtest.log" cmake --install "$work/gtest"
  rm -rf "$work"
  cross_done "$PREFIX" "$recipe"
}

# The root's interpreter run through qemu. Started as this script, it takes
# the script's path for sys.executable, so that the tests' own subprocesses
# of sys.executable come back here too. Packages for the tests are in $SITE.
setup_python() {
  local recipe="${TEST_PACKAGES[*]} $ROOT_PLATFORMS $(cat "$ROOTFS/.stamp") 1" python
  python="$(readlink "$ROOTFS/usr/bin/python3")"
  case "$python" in
    /*) ;;
    *) python="/usr/bin/$python" ;;
  esac
  mkdir -p "$ARM/bin"
  cat >"$ARM/bin/python3.partial" <<EOF
#!/bin/sh
# The arm64 root's CPython under qemu-user.
exec "$QEMU" -L "$ROOTFS" -0 "\$0" "$ROOTFS$python" "\$@"
EOF
  cat >"$ARM/qemu-run.partial" <<EOF
#!/bin/sh
# An arm64 program under qemu-user, its libraries from the arm64 root.
exec "$QEMU" -L "$ROOTFS" "\$@"
EOF
  chmod +x "$ARM/bin/python3.partial" "$ARM/qemu-run.partial"
  mv "$ARM/bin/python3.partial" "$ARM/bin/python3"
  mv "$ARM/qemu-run.partial" "$ARM/qemu-run"
  "$ARM/bin/python3" -c "$(python scripts/target_pip.py --probe)" >"$ARM/markers.json" \
    || cross_fail "the arm64 root's python3 does not run under qemu"
  PY_VERSION="$(python -c 'import json, sys; print(json.load(open(sys.argv[1]))["python_version"])' "$ARM/markers.json")"
  cross_current "$SITE" "$recipe" && return 0
  cross_log "packages for the tests: ${TEST_PACKAGES[*]}"
  rm -rf "$SITE"
  pip_install_for "$ARM/markers.json" "$ROOT_PLATFORMS" "$PY_VERSION" "$SITE" "${TEST_PACKAGES[@]}"
  cross_done "$SITE" "$recipe"
}

make_root
build_dependencies
setup_python
cross_log "toolchain and dependencies ready ($(cross_elapsed))"

# The module, packed into a wheel, which auditwheel tags; built in one
# folder with the native tests, so that the library they share is compiled
# once.
BUILD=build/arm64
cross_run "$BUILD.module.log" cmake -S . -B "$BUILD/cmake" "${cmake_cross[@]}" -DTOLVAR_MODULE=ON -DTOLVAR_PORTABLE=ON \
  -DTOLVAR_TESTS=ON -DPython_INCLUDE_DIR="$PREFIX/python/include" -DCMAKE_CROSSCOMPILING_EMULATOR="$ARM/qemu-run"
cross_run "$BUILD.module.log" cmake --build "$BUILD/cmake" --target python_can_tolvar_mf4 -j "$CROSS_JOBS"
so="$(ls "$BUILD"/cmake/python_can_tolvar_mf4*.so)"
needed="$("$TRIPLET-readelf" -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
cross_log "the module needs: $needed"
case " $needed" in
  *" libmbed"*) cross_fail "the module needs mbed TLS's shared library" ;;
  *" libstdc++"*) cross_fail "the module needs the shared libstdc++" ;;
esac
rm -rf "$BUILD/raw" "$BUILD/dist"
raw="$(python scripts/pack_wheel.py "$so" cp39-abi3-linux_aarch64 "$BUILD/raw")"
# auditwheel finds the arm64 libraries the module needs in the root; it
# offers the tags of this machine's architecture by name, and the oldest the
# wheel satisfies as "auto".
LD_LIBRARY_PATH="$ROOTFS/usr/lib/$TRIPLET" python -m auditwheel repair --plat auto \
  -w "$BUILD/dist" "$raw" >"$BUILD.auditwheel.log" 2>&1 \
  || { cat "$BUILD.auditwheel.log" >&2; cross_fail "auditwheel refused the wheel"; }
wheel="$(ls "$BUILD"/dist/python_can_tolvar_mf4-*.whl)"
LD_LIBRARY_PATH="$ROOTFS/usr/lib/$TRIPLET" python -m auditwheel show "$wheel" >&2
if python -m zipfile -l "$wheel" | grep -q '\.libs/'; then
  python -m zipfile -l "$wheel" | grep '\.libs/' >&2
  cross_fail "the repaired wheel carries libraries of its own"
fi
case "$wheel" in
  *manylinux_2_17_aarch64*) ;;
  *) cross_fail "the wheel is not tagged manylinux_2_17_aarch64: $wheel" ;;
esac
cross_log "built $wheel ($(cross_elapsed))"

# The native tests, each program under qemu: the whole run alone. Their
# build is most of this script's time, and scripts/windows.sh --quick runs
# them on an emulated platform already; the quick run here tests the core
# through the module, with the Python tests.
if [ "$QUICK" = 1 ]; then
  cross_log "native tests left to the whole run (bash scripts/arm64.sh)"
else
  python tests/make_recordings.py "$BUILD/recordings" >/dev/null
  cross_run "$BUILD.native.log" cmake --build "$BUILD/cmake" -j "$CROSS_JOBS"
  cross_log "native tests built ($(cross_elapsed))"
  TOLVAR_RECORDINGS="$ROOT/$BUILD/recordings" ctest --test-dir "$BUILD/cmake" --output-on-failure -j "$CROSS_JOBS"
  cross_log "native tests passed under qemu ($(cross_elapsed))"
fi

# The Python tests with the wheel installed as pip installs it for arm64,
# run from a folder of their own so that only the installed package is found.
# Temporary files go to a folder the root does not have: qemu looks up every
# path in the root first.
deselected=()
if [ "$QUICK" = 1 ]; then
  tests=("${QUICK_TESTS[@]}")
  deselected=(-k "$(quick_deselected)")
else
  tests=(.)
fi
installed="$ARM/installed"
rm -rf "$installed"
pip_install_for "$ARM/markers.json" manylinux_2_17_aarch64 "$PY_VERSION" "$installed" --no-deps "$ROOT/$wheel"
mkdir -p "$BUILD/run" "$ARM/tmp"
export PYTHONPATH="$installed:$SITE" TMPDIR="$ARM/tmp"
cross_log "Python tests on arm64: ${tests[*]}"
(cd "$BUILD/run" && cross_pytest "$ROOT/$BUILD/pytest.log" \
   "$ARM/bin/python3" -m pytest -q -p no:cacheprovider --durations=5 "${deselected[@]}" "${tests[@]/#/$ROOT/tests/}")
frames="$(cd "$BUILD/run" && "$ARM/bin/python3" -m python_can_tolvar_mf4_cli | wc -l)"
[ "$frames" -gt 50 ] || cross_fail "the command line printed $frames lines of the sample"
cross_log "the command line printed $frames frames of the shipped sample"
cross_log "done in $(cross_elapsed): $wheel"
