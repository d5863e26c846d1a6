#!/usr/bin/env bash
# Installs a built wheel into a fresh virtual environment with no compiler on
# PATH and runs the quick start and the quick Python tests against it: what a
# user without a compiler meets. Anything that would compile (an sdist of a
# dependency, our own sources) fails the install rather than passing quietly.
#
#     scripts/test-wheel.sh dist/zentrail-...whl [PYTHON]
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=$1
python=${2:-python3}
venv=build/wheel-venv
bin=build/no-compiler-bin

# PATH without compilers: every command of the current PATH, less the C and
# C++ compilers, the assembler, the linker and the build tools.
rm -rf "$bin"
mkdir -p "$bin"
IFS=: read -ra folders <<<"$PATH"
for folder in "${folders[@]}"; do
  [ -d "$folder" ] || continue
  for command in "$folder"/*; do
    name=${command##*/}
    case $name in
      cc | c++ | cpp | gcc* | g++* | clang* | *-gcc* | *-g++* | *-cc | *-c++ | tcc | icc | icpx | \
        as | ld | ld.* | *-as | *-ld | *-ld.* | cmake | ctest | ninja | make | gmake | meson) continue ;;
    esac
    [ -x "$command" ] && [ ! -e "$bin/$name" ] && ln -s "$command" "$bin/$name"
  done
done

"$python" -m venv --clear "$venv"
export PATH="$PWD/$venv/bin:$PWD/$bin"
for compiler in cc gcc g++ c++ clang cmake ninja; do
  if command -v "$compiler" >/dev/null; then
    echo "a compiler is still on PATH: $(command -v "$compiler")" >&2
    exit 1
  fi
done
python -m pip install -q --only-binary=:all: "$wheel[test-core]"
# Away from the source tree, so that only the installed package is imported.
(cd "$venv" && python "$OLDPWD/examples/quickstart.py" "$OLDPWD/examples/sample-archive" >/dev/null)
echo "quick start: ran"
python -m pytest -q -p no:cacheprovider tests/python -m "not slow"
