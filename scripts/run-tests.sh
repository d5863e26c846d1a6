#!/usr/bin/env bash
# Runs every test of the project: the checks that the C++ sources include
# downward only and that the Python modules import downward only (with no
# circle, and no private name of another module read), the C++ unit tests
# (plain, then under AddressSanitizer and UndefinedBehaviorSanitizer), the
# fuzz corpora under clang's UndefinedBehaviorSanitizer, the Python tests
# against the package installed into a fresh virtual environment, on the
# default python3 and on CPython 3.9 and 3.13, then builds the documentation
# site. The packages tested are the ones a user installs: the default
# python3's wheel, the sdist unpacked and built on its own (CPython 3.9),
# CPython 3.9's wheel inside a Debian root of an older glibc, and CPython
# 3.13's wheel in a venv with no compiler on PATH; the wheels are
# scripts/build-wheel.sh's, for glibc 2.17 and later.
# Exits non-zero on any failure.
# Installs what it needs on a new machine.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each step says when it starts, in seconds since the run began, so that a
# slow step shows in the log.
step() { echo "== $* [${SECONDS} s]"; }
scripts/install-deps.sh

step "Include layers"
python3 scripts/check_layers.py
step "Import layers"
python3 scripts/check_imports.py

jobs=$(nproc)
# The sanitizer run fails on any report, leaks included (LeakSanitizer).
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for config in release sanitize; do
  sanitize=OFF
  [ "$config" = sanitize ] && sanitize=ON
  step "C++ unit tests ($config)"
  cmake -S . -B "build/$config" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZENTRAIL_BUILD_TESTS=ON -DZENTRAIL_SANITIZE=$sanitize >/dev/null
  cmake --build "build/$config" -j "$jobs"
  ctest --test-dir "build/$config" -j "$jobs" --output-on-failure
done

# The fuzz targets' corpora (the seeds and every finding kept) once more,
# built by clang with its UndefinedBehaviorSanitizer, whose checks differ
# from gcc's, and the standard library's assertions: any report fails. The
# replays run in well under a second, so they are built unoptimised, which
# halves the build.
step "Fuzz corpora (clang, UndefinedBehaviorSanitizer)"
CC=clang CXX=clang++ cmake -S . -B build/fuzz-replay -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE=-O0 -DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS \
  -DZENTRAIL_BUILD_TESTS=ON -DZENTRAIL_SANITIZE=ON -DZENTRAIL_SANITIZERS=undefined >/dev/null
cmake --build build/fuzz-replay -j "$jobs" --target fuzz_replays
ctest --test-dir build/fuzz-replay -j "$jobs" -R '_corpus$' --output-on-failure

# The Python tests run on the default python3 with every test requirement,
# and on the oldest and newest CPython the package claims with the light ones
# (tests that need a heavy package skip there), each in a fresh venv.
python_tests() {  # NAME PYTHON REQUIREMENT [PYTEST ARGUMENT]...
  local venv="build/$1"
  step "Python tests ($1: $("$2" --version 2>&1))"
  "$2" -m venv --clear "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q "$3"
  "$venv/bin/python" -m pytest -q --durations=15 tests/python "${@:4}"
}

# The newest installed CPython of a minor version: pyenv's, else one on PATH.
find_python() {  # VERSION
  local prefix
  if prefix=$(pyenv prefix "$1" 2>/dev/null) && [ -x "$prefix/bin/python3" ]; then
    echo "$prefix/bin/python3"
    return
  fi
  local found
  found=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}/versions/$1".*/bin/python3 2>/dev/null | sort -V | tail -n 1 || true)
  [ -n "$found" ] || found=$(command -v "python$1" || true)
  [ -n "$found" ] && echo "$found"
}

# The wheel scripts/build-wheel.sh made for an interpreter.
wheel_of() {  # PYTHON
  local tag
  tag=$("$1" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
  ls dist/zentrail-*-"$tag"-"$tag"-*linux*.whl
}

# The sdist, unpacked away from the checkout, installed from its own files
# and tested there: whatever it lacks fails the build or the tests.
sdist_tests() {  # PYTHON
  rm -rf build/sdist-check
  mkdir -p build/sdist-check
  tar xzf dist/zentrail-*.tar.gz -C build/sdist-check
  (cd build/sdist-check/zentrail-* &&
    CMAKE_BUILD_PARALLEL_LEVEL=$jobs python_tests "sdist-venv" "$1" ".[test-core]" -m "not slow")
}

export CMAKE_BUILD_PARALLEL_LEVEL=$jobs
step "Wheel and sdist (scripts/build-wheel.sh)"
scripts/build-wheel.sh --sdist
python_tests test-venv python3 "$(wheel_of python3)[test]"
# The documentation site, with any warning (a broken link or reference, a
# missing included example) as an error; its code blocks ran in the tests.
step "Documentation site (mkdocs build --strict)"
build/test-venv/bin/mkdocs build --strict -d build/site
# The slow property tests and large trees run once, above: what they check
# does not depend on the interpreter.
if python=$(find_python 3.9); then
  sdist_tests "$python"
  # The wheel on a glibc older than this machine's, in a Debian bullseye
  # root whose own CPython is 3.9.
  step "Wheel on an older glibc ($("$python" --version 2>&1))"
  PYTHON=$python scripts/build-wheel.sh
  as_root=()
  [ "$(id -u)" -ne 0 ] && as_root=(sudo)
  "${as_root[@]}" scripts/test-wheel-old-glibc.sh "$(wheel_of "$python")"
else
  step "Python tests (3.9): SKIPPED, no CPython 3.9 found (pyenv or python3.9 on PATH); the sdist on python3, and no wheel tested on an older glibc"
  sdist_tests python3
fi
if python=$(find_python 3.13); then
  step "Wheel without a compiler ($("$python" --version 2>&1))"
  PYTHON=$python scripts/build-wheel.sh
  scripts/test-wheel.sh "$(wheel_of "$python")" "$python"
else
  step "Python tests (3.13): SKIPPED, no CPython 3.13 found (pyenv or python3.13 on PATH); the wheel on python3"
  scripts/test-wheel.sh "$(wheel_of python3)" python3
fi
