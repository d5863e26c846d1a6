#!/usr/bin/env bash
# Runs one fuzz target with libFuzzer for a given time.
#   scripts/fuzz.sh fuzz_reader 900 [LIBFUZZER FLAG]...   # any target of ZENTRAIL_FUZZ_TARGETS in CMakeLists.txt
#   scripts/fuzz.sh fuzz_catalog 120                      # a Python target of fuzz/ (fuzz/fuzz_catalog.py), under atheris
# Built with AddressSanitizer and UndefinedBehaviorSanitizer in build/fuzz;
# with FUZZ_SANITIZERS=undefined, with UndefinedBehaviorSanitizer and the
# standard library's assertions alone in build/fuzz-undefined, which runs about
# 1.5 times as many inputs a second: the targets' own checks against their
# references hold in both.
# Needs clang and its runtime (Debian: clang libclang-rt-14-dev). New inputs go
# to fuzz/out/TARGET (ignored by git); crashes to fuzz/out/TARGET-crash-*.
# A finding is kept as a regression input under fuzz/corpus/TARGET once fixed.
#
# A target fuzz/TARGET.py (fuzz_lake_state, fuzz_cursor: the package's own
# Python) runs with atheris on $PYTHON (default .venv/bin/python, which must
# import zentrail: installed, or PYTHONPATH=src beside a built core), which
# gets atheris installed when it lacks it; the sanitizers do not apply.
# tests/python/test_fuzz_replays.py replays its corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: scripts/fuzz.sh TARGET SECONDS}
seconds=${2:-60}
shift $(( $# < 2 ? $# : 2 ))
if [[ -f fuzz/$target.py ]]; then
  python=${PYTHON:-.venv/bin/python}
  "$python" -c "import atheris" 2>/dev/null || "$python" -m pip install -q atheris
  mkdir -p "fuzz/out/$target"
  # A run of zentrail sync takes milliseconds; one of seconds is a finding too.
  exec "$python" "fuzz/$target.py" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=4096 \
    -timeout=30 -artifact_prefix="fuzz/out/$target-" "$@" "fuzz/out/$target" "fuzz/corpus/$target"
fi
sanitizers=${FUZZ_SANITIZERS:-address,undefined}
case $sanitizers in
  address,undefined) build=build/fuzz; extra_flags= ;;
  undefined) build=build/fuzz-undefined; extra_flags=-D_GLIBCXX_ASSERTIONS ;;
  *) echo "FUZZ_SANITIZERS is address,undefined or undefined" >&2; exit 2 ;;
esac
# What a target's inputs need to be no longer than: past this, a longer input
# only costs time (a date text is matched by a regular expression, whose time
# grows with the text).
case $target in
  fuzz_text) set -- -max_len=256 "$@" ;;
  # Two files of a kilobyte hold dozens of records, rows of other days and
  # out of order included; the reference's time grows with the rows.
  fuzz_series) set -- -max_len=1024 "$@" ;;
esac
if ! command -v clang++ >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
fi
# Configured once: campaigns running side by side share the build folder, and
# the build step alone re-runs CMake when its files change.
if [[ ! -f $build/build.ninja ]]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZENTRAIL_FUZZ=ON -DZENTRAIL_SANITIZE=ON -DZENTRAIL_SANITIZERS="$sanitizers" \
    -DCMAKE_CXX_FLAGS="$extra_flags" >/dev/null
fi
cmake --build "$build" --target "$target"
mkdir -p "fuzz/out/$target"
"$build/$target" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=4096 \
  -artifact_prefix="fuzz/out/$target-" "$@" "fuzz/out/$target" "fuzz/corpus/$target"
