#!/usr/bin/env bash
# Builds the clean Debian 12 root the package test installs Ostrela into: debootstrap's minbase
# plus man-db (for `man -w`), nothing of Ostrela's. Cached outside the source tree under a key made
# from this script, so it is built once and again only when this recipe changes; the test never
# changes it (it works on an overlay or a copy).
#
#   make-root.sh             build unless the cached root for the current key exists
#   make-root.sh --print-dir print the directory the root for the current key lives in
#
# Cache: $OSTRELA_PACKAGE_CACHE (default /var/cache/ostrela-package). Mirror: $OSTRELA_GUEST_MIRROR.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
cache="${OSTRELA_PACKAGE_CACHE:-/var/cache/ostrela-package}"
mirror="${OSTRELA_GUEST_MIRROR:-http://deb.debian.org/debian}"
security="${OSTRELA_GUEST_SECURITY_MIRROR:-http://deb.debian.org/debian-security}"
suite=bookworm

key="$(sha256sum <"$here/make-root.sh" | cut -c1-16)"
dir="$cache/$suite-$key"

if [ "${1:-}" = "--print-dir" ]; then
  echo "$dir"
  exit 0
fi
if [ -f "$dir/ready" ]; then
  echo "package test root up to date: $dir"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "make-root.sh: building the package test root needs root (debootstrap)" >&2
  exit 1
fi
command -v debootstrap >/dev/null || { echo "make-root.sh: debootstrap is missing (apt-get install debootstrap)" >&2; exit 1; }

mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
[ -f "$dir/ready" ] && { echo "package test root up to date: $dir"; exit 0; }

started=$(date +%s)
work="$(mktemp -d "$cache/.build.XXXXXX")"
trap 'rm -rf "$work"' EXIT
root="$work/out/root"
mkdir -p "$work/out"

echo "package test root: debootstrap $suite (minbase, man-db) into $root"
debootstrap --variant=minbase --include=man-db "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 || {
  tail -n 30 "$work/debootstrap.log" >&2
  exit 1
}
cat >"$root/etc/apt/sources.list" <<SOURCES
deb $mirror $suite main
deb $mirror $suite-updates main
deb $security $suite-security main
SOURCES
# No services start inside the chroot.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
chroot "$root" apt-get clean
rm -rf "$root"/var/lib/apt/lists/*
date -u +%FT%TZ >"$work/out/ready"

rm -rf "$dir"
mv "$work/out" "$dir"
# Older keys are never used again.
for old in "$cache/$suite"-*; do
  [ "$old" = "$dir" ] || rm -rf "$old"
done
echo "package test root built in $(( $(date +%s) - started )) s: $dir"
