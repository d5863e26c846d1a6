#!/usr/bin/env bash
# Runs one fuzz target with libFuzzer for a given time.
#   scripts/fuzz.sh fuzz_reader 900 [LIBFUZZER FLAG]...   # any target of ZENTRAIL_FUZZ_TARGETS in CMakeLists.txt
# Needs clang and its runtime (Debian: clang libclang-rt-14-dev). New inputs go
# to fuzz/out/TARGET (ignored by git); crashes to fuzz/out/TARGET-crash-*.
# A finding is kept as a regression input under fuzz/corpus/TARGET once fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: scripts/fuzz.sh TARGET SECONDS}
seconds=${2:-60}
shift $(( $# < 2 ? $# : 2 ))
if ! command -v clang++ >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
fi
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZENTRAIL_FUZZ=ON -DZENTRAIL_SANITIZE=ON >/dev/null
cmake --build build/fuzz --target "$target"
mkdir -p "fuzz/out/$target"
"build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=4096 \
  -artifact_prefix="fuzz/out/$target-" "$@" "fuzz/out/$target" "fuzz/corpus/$target"
