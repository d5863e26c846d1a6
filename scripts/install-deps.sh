#!/usr/bin/env bash
# Installs the system packages the build and the tests need, where missing.
set -euo pipefail
missing=()
dpkg -s libgtest-dev >/dev/null 2>&1 || missing+=(libgtest-dev)
# zlib's headers: the core inflates deflated zip members with it.
dpkg -s zlib1g-dev >/dev/null 2>&1 || missing+=(zlib1g-dev)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
# clang and its sanitizer runtime, for the fuzz corpora's replay under its
# UndefinedBehaviorSanitizer: the runtime is a package of its own.
if ! command -v clang++ >/dev/null 2>&1; then
  missing+=(clang libclang-rt-dev)
elif ! echo 'int main() { return 0; }' |
    clang++ -x c++ -fsanitize=undefined -o /dev/null - >/dev/null 2>&1; then
  missing+=(libclang-rt-dev)
fi
python3 -c 'import venv, ensurepip' >/dev/null 2>&1 || missing+=(python3-venv)
# An older Debian's root, for the test of the wheel on an older glibc.
command -v debootstrap >/dev/null 2>&1 || missing+=(debootstrap)
# A headless browser and its driver, for the test of the trend viewer.
command -v chromium >/dev/null 2>&1 || missing+=(chromium)
command -v chromedriver >/dev/null 2>&1 || missing+=(chromium-driver)
# A Java runtime, for the test of the Spark data source (Spark's local mode).
command -v java >/dev/null 2>&1 || missing+=(default-jre-headless)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
