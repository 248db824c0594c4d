#!/usr/bin/env bash
# The source distribution: builds it, checks that it leaves out what a user
# does not need (fuzz corpora, known-bad inputs, benchmarks), then installs it
# with pip, as a user would, from a read-only copy and without the right to
# write there even as root, into an environment of its own (kept between
# runs), and reads the sample recording with it.
# Run after setup.sh (it needs the active .venv with scikit-build-core).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
fail() { echo "sdist: $*" >&2; exit 1; }

rm -rf build/sdist
python -c 'from scikit_build_core.build import build_sdist; build_sdist("build/sdist")' >build/sdist.log 2>&1 || { cat build/sdist.log >&2; fail "the sdist did not build"; }
sdist="$(ls build/sdist/python_can_tolvar_mf4-*.tar.gz)"
listing="$(tar -tzf "$sdist")"
for unwanted in /fuzz/seeds/ /tests/known_bad/ /bench/ /.ci/; do
  if grep -q -- "$unwanted" <<<"$listing"; then fail "$sdist carries $unwanted"; fi
done
for wanted in /LICENSE /pyproject.toml /CMakeLists.txt /src/host/module.cpp /tests/data/sample.mf4; do
  grep -q -- "$wanted\$" <<<"$listing" || fail "$sdist lacks $wanted"
done
echo "sdist: $(basename "$sdist"), $(wc -l <<<"$listing") entries, no fuzz corpora, known-bad inputs or benchmarks" >&2

copy=build/readonly-source
rm -rf "$copy"
mkdir -p "$copy"
tar -xzf "$sdist" -C "$copy" --strip-components=1
chmod -R a-w "$copy"
env_dir=build/readonly-env
[ -x "$env_dir/bin/python" ] || python -m venv "$env_dir"
# Root writes anywhere unless it gives up that right: the install runs
# without it, so a build that wrote into the source tree would fail.
prefix=()
if [ "$(id -u)" = 0 ]; then
  prefix=(setpriv --inh-caps=-all --bounding-set=-dac_override,-dac_read_search --)
fi
if ! "${prefix[@]}" "$env_dir/bin/python" -m pip install -q --force-reinstall "$ROOT/$copy" \
     >build/readonly-install.log 2>&1; then
  chmod -R u+w "$copy"
  tail -30 build/readonly-install.log >&2
  fail "pip install from the read-only source failed (build/readonly-install.log)"
fi
chmod -R u+w "$copy"
frames="$(cd "$env_dir" && ./bin/python -c "
import python_can_tolvar_mf4 as m
with m.MdfFile('$ROOT/tests/data/sample.mf4') as r:
    print(sum(1 for _ in r))")"
[ "$frames" -gt 0 ] || fail "the installed package read no frame"
echo "sdist: installed from a read-only copy; it reads $frames frames of the sample" >&2
