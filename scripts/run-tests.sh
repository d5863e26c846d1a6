#!/usr/bin/env bash
# Runs every test of the project: the C++ unit tests (plain, then under
# AddressSanitizer and UndefinedBehaviorSanitizer) and the Python tests against
# the package installed into a fresh virtual environment. Exits non-zero on
# any failure. Installs what it needs on a new machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
# The sanitizer run fails on any report, leaks included (LeakSanitizer).
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for config in release sanitize; do
  sanitize=OFF
  [ "$config" = sanitize ] && sanitize=ON
  echo "== C++ unit tests ($config)"
  cmake -S . -B "build/$config" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZENTRAIL_BUILD_TESTS=ON -DZENTRAIL_SANITIZE=$sanitize >/dev/null
  cmake --build "build/$config" -j "$jobs"
  ctest --test-dir "build/$config" -j "$jobs" --output-on-failure
done

echo "== Python tests"
python3 -m venv build/test-venv
build/test-venv/bin/python -m pip install -q --upgrade pip
build/test-venv/bin/python -m pip install -q -r tests/requirements.txt
build/test-venv/bin/python -m pip install -q .
build/test-venv/bin/python -m pytest -q tests/python
