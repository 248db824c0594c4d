# Sourced by scripts/windows.sh and scripts/arm64.sh: what both cross builds
# share. The toolchains' dependencies (Debian sources built for the target,
# interpreters, an arm64 root, a wine prefix) are kept in a cache folder that
# these scripts own, outside the checkout so that a fresh clone (CI's) finds
# them again: $TOLVAR_CROSS_CACHE, by default ~/.cache/python_can_tolvar_mf4.
# Each part of it is remade whenever its recipe (a stamp) changes, and is
# marked done only once complete, so an interrupted run starts that part anew.
# The project's own builds stay under build/.

CROSS_CACHE="${TOLVAR_CROSS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/python_can_tolvar_mf4}"
CROSS_JOBS="$(nproc)"
mkdir -p "$CROSS_CACHE"

cross_log() { echo "$CROSS_NAME: $*" >&2; }
cross_fail() { echo "$CROSS_NAME: $*" >&2; exit 1; }

# Seconds since the script started, for the timings it reports.
cross_elapsed() { echo "$((SECONDS - CROSS_STARTED))s"; }

# Installs the Debian packages that are missing.
cross_apt_install() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  cross_log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# A part of the cache is current when its stamp holds the recipe it was made by.
cross_current() { [ -f "$1/.stamp" ] && [ "$(cat "$1/.stamp")" = "$2" ]; }
cross_done() { echo "$2" >"$1/.stamp"; }

# Debian's source packages through an apt configuration of our own (deb-src
# entries for the machine's Debian archives), so the system's is left as it
# is. Prints the unpacked source folder of the newest version of package $1
# that the archive serves (a security suite's list may name a version that
# its pool no longer has: older ones are tried next).
debian_source() {
  local name="$1" apt="$CROSS_CACHE/apt" sources="$CROSS_CACHE/sources"
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$sources"
  local options=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt/parts"
                 -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o "APT::Sandbox::User=root")
  if [ ! -f "$apt/.updated" ]; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$apt/parts/debian.sources"
    else
      sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list >"$apt/parts/debian.list"
    fi
    apt-get "${options[@]}" update -qq
    touch "$apt/.updated"
  fi
  local version folder
  for version in $(apt-cache "${options[@]}" showsrc "$name" | sed -n 's/^Version: //p' | sort -rV | uniq); do
    folder="$sources/$name-$version"
    if [ -f "$folder/.unpacked" ]; then echo "$folder"; return 0; fi
    rm -rf "$folder" "$sources/download"
    mkdir -p "$sources/download"
    if (cd "$sources/download" && apt-get "${options[@]}" source -qq --download-only "$name=$version" >/dev/null 2>&1); then
      dpkg-source -x "$sources/download/"*.dsc "$folder" >/dev/null
      touch "$folder/.unpacked"
      rm -rf "$sources/download"
      echo "$folder"
      return 0
    fi
  done
  cross_fail "no source of $name could be downloaded"
}

# Packages for another platform's interpreter, unpacked into a folder as pip
# installs them there: wheels only, for the target's tags and Python version,
# with environment markers as the target reads them (MARKERS, from
# scripts/target_pip.py --probe run by that interpreter).
pip_install_for() {  # MARKERS PLATFORM[,PLATFORM...] PYTHON_VERSION FOLDER PACKAGE...
  local markers="$1" spec="$2" version="$3" folder="$4" platforms=() platform
  for platform in ${spec//,/ }; do platforms+=(--platform "$platform"); done
  shift 4
  mkdir -p "$folder"
  local log="$folder.pip.log"
  if ! python "$ROOT/scripts/target_pip.py" "$markers" install -q --upgrade --target "$folder" "${platforms[@]}" \
       --python-version "$version" --implementation cp --only-binary=:all: "$@" >"$log" 2>&1; then
    grep -v "^WARNING: Location" "$log" | tail -20 >&2
    cross_fail "pip could not install $* for $spec, Python $version"
  fi
}

# Runs a command with its output appended to LOG; a failure shows LOG's end.
cross_run() {
  local log="$1"
  shift
  "$@" >>"$log" 2>&1 || { tail -30 "$log" >&2; cross_fail "failed: $* (whole output in $log)"; }
}

# Runs pytest (COMMAND...) with its output shown and kept in LOG, and fails
# unless pytest's closing line counts passed tests and no failure or error:
# under an emulator a run that died may still end with status 0.
cross_pytest() {  # LOG COMMAND...
  local log="$1" summary
  shift
  "$@" 2>&1 | tee "$log"
  summary="$(tr -d '\r' <"$log" | grep -v '^$' | tail -1)"
  if ! grep -qE '^(=+ )?[0-9]+ passed' <<<"$summary" || grep -qE '[0-9]+ (failed|errors?)\b' <<<"$summary"; then
    cross_fail "pytest did not close with passed tests alone: '$summary' (whole output in $log)"
  fi
}

# The part of the Python suite that --quick runs on an emulated platform: the
# files that exercise what differs between platforms (paths and files, the
# layers' decoders, the module's loading), and a few tests of each optional
# package's feature (signals decoded with cantools, streams read by polars
# and DuckDB), which load each package's own binary there. The whole suite
# runs without --quick.
QUICK_TESTS=(test_sources.py test_messages.py test_layers.py test_module.py
             test_signals.py::test_pandas_and_arrow_hold_what_numpy_holds
             test_signals.py::test_choices_in_pandas_and_arrow
             test_signals.py::test_j1939_tables_carry_the_source_address
             test_streams.py::test_duckdb_groups_channels_over_the_stream
             test_streams.py::test_schema_is_to_arrows_and_read_without_the_data
             test_streams.py::test_scan_polars_refuses_what_the_reader_refuses
             test_streams.py::test_stream_read_and_released_on_other_threads_after_its_reader_is_gone)
# Left out of the quick set, for the time they take emulated (minutes each
# under qemu), though they run there in the whole run: thousands of opens
# measured for memory growth, and a decompression bomb in a process of
# limited memory.
QUICK_DESELECTED=(test_opening_and_iterating_thousands_of_times_keeps_memory_flat
                  test_decompression_bomb_fails_cleanly_in_limited_memory)
# pytest's -k expression that leaves them out.
quick_deselected() {
  local test expression=""
  for test in "${QUICK_DESELECTED[@]}"; do expression+="${expression:+ and }not $test"; done
  echo "$expression"
}
