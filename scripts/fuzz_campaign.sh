#!/usr/bin/env bash
# A long fuzzing campaign at the lowest priority, so that builds, tests and
# benchmarks on the same machine keep their cores:
#   [FUZZ_SANITIZERS=undefined] scripts/fuzz_campaign.sh SLICE_SECONDS TARGET... &
# runs the targets in turn, SLICE_SECONDS each, round and round until
# stopped; every slice's final statistics go to fuzz/out/TARGET.log (or
# TARGET.undefined.log for the build without AddressSanitizer, see fuzz.sh),
# and scripts/fuzz_campaign.sh --count sums the inputs run per target and build.
# FUZZ_SANITIZERS="undefined address,undefined" runs the rounds in both
# builds by turns: the faster one for the count, the other for what only
# AddressSanitizer sees.
set -uo pipefail
cd "$(dirname "$0")/.."
if [[ ${1:-} == --count ]]; then
  for log in fuzz/out/*.log; do
    [[ -e $log ]] || continue
    printf '%-26s %12d\n' "$(basename "$log" .log)" \
      "$(awk '/stat::number_of_executed_units/ {n += $2} END {print n + 0}' "$log")"
  done
  exit 0
fi
slice=${1:?usage: scripts/fuzz_campaign.sh SLICE_SECONDS TARGET... | --count}
shift
builds=${FUZZ_SANITIZERS:-address,undefined}
mkdir -p fuzz/out
while :; do
  for sanitizers in $builds; do
    log_suffix=
    [[ $sanitizers == undefined ]] && log_suffix=.undefined
    for target in "$@"; do
      FUZZ_SANITIZERS=$sanitizers nice -n 19 scripts/fuzz.sh "$target" "$slice" 2>&1 |
        grep -E '^stat::|ERROR|SUMMARY|crash-' >>"fuzz/out/$target$log_suffix.log"
    done
  done
done
