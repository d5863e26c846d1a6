#!/usr/bin/env bash
# Runs scripts/test-wheel.sh on a Linux older than this one: inside a Debian
# bullseye root (glibc 2.31, CPython 3.9, no compiler), so that a wheel that
# needs the build machine's glibc fails here rather than on a user's machine.
# The root is made by debootstrap under build/old-glibc once and reused; the
# wheel must be a CPython 3.9 one. Needs root (debootstrap, chroot, mount).
#
#     scripts/test-wheel-old-glibc.sh dist/zentrail-...-cp39-cp39-...whl
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=$1
suite=bullseye
mirror=http://deb.debian.org/debian
root=build/old-glibc/$suite

if [ "$(id -u)" -ne 0 ]; then
  echo "$0 needs root (debootstrap, chroot, mount): run it with sudo" >&2
  exit 1
fi
if [ ! -x "$root/usr/bin/python3" ]; then
  # A suite that has left the mirror is skipped, loudly; any other failure fails.
  if ! python3 -c 'import sys, urllib.request; urllib.request.urlopen(sys.argv[1], timeout=60)' \
      "$mirror/dists/$suite/Release" 2>/dev/null; then
    echo "SKIPPED: Debian $suite is not on $mirror (any more): this test needs an older suite that is"
    exit 0
  fi
  rm -rf "$root.new"
  mkdir -p "$(dirname "$root")"
  debootstrap --variant=minbase --include=python3,python3-venv "$suite" "$root.new" "$mirror" \
    >build/old-glibc/debootstrap.log 2>&1 || {
    echo "debootstrap of Debian $suite from $mirror failed: build/old-glibc/debootstrap.log" >&2
    tail -n 5 build/old-glibc/debootstrap.log >&2
    exit 1
  }
  mv "$root.new" "$root"
fi

# The project's files as they stand (test-wheel.sh runs its tests from
# them, against the installed wheel), copied afresh, and the wheel.
inside=$root/zentrail
rm -rf "$inside"
mkdir -p "$inside/dist"
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$inside"
cp "$wheel" "$inside/dist/"

# This machine's name servers and certificate authorities (which may hold a
# proxy's) reach the package index from inside as from outside.
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/host-certificates.crt"

echo "glibc $(chroot "$root" /usr/bin/ldd --version | head -n 1 | awk '{print $NF}'), $(chroot "$root" /usr/bin/python3 --version)"
# In a mount namespace of its own, so that the root's /proc, /dev/shm and
# terminals go with it whatever ends the run; in the root's own environment,
# not this machine's (whose pip settings name folders that are not there).
unshare --mount --propagation private -- /bin/sh -ec '
  mount -t proc proc "$1/proc"
  mount -t tmpfs tmpfs "$1/dev/shm"
  mount --bind /dev/pts "$1/dev/pts"
  exec chroot "$1" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    PIP_CERT=/etc/ssl/host-certificates.crt \
    /bin/bash /zentrail/scripts/test-wheel.sh "/zentrail/dist/$2" /usr/bin/python3
' sh "$root" "${wheel##*/}"
