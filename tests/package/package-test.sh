#!/usr/bin/env bash
# The Debian package as a user gets it: builds it with CPack from the build tree, installs it with
# apt-get into a clean Debian 12 root (tests/package/make-root.sh, cached), runs the programs
# there, then purges it and checks that nothing of it is left.
#
#   package-test.sh [BUILD_DIR]   (default: build; needs root for chroot and mounts)
#
# The root is never changed: the test works on an overlay of it (a copy where overlays are not
# allowed). Downloaded dependencies are kept in the cache beside it, so only the first run
# fetches them.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../../build}" && pwd)"
cache="${OSTRELA_PACKAGE_CACHE:-/var/cache/ostrela-package}"

[ "$(id -u)" -eq 0 ] || { echo "package-test.sh: needs root (chroot, mounts)" >&2; exit 1; }
bash "$here/make-root.sh"
base="$(bash "$here/make-root.sh" --print-dir)/root"

work="$(mktemp -d /tmp/ostrela-package-test.XXXXXX)"
root="$work/root"
mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package test: FAILED: $*" >&2; exit 1; }
step() { echo "package test: $*"; }

step "building the package"
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log" >&2
  fail "cpack"
}
version="$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")"
deb="$work/pkg/ostrela_${version}_amd64.deb"
[ -f "$deb" ] || fail "no $deb (made: $(ls "$work/pkg"))"
[ "$(dpkg-deb -f "$deb" Package)" = ostrela ] || fail "package name"
dpkg-deb -f "$deb" Recommends | grep -q 'v4l2loopback-dkms, v4l2loopback-utils, pipewire' || fail "Recommends"

mkdir -p "$root" "$work/upper" "$work/overlay-work" "$cache/archives/partial"
if mount -t overlay overlay -o "lowerdir=$base,upperdir=$work/upper,workdir=$work/overlay-work" "$root" 2>/dev/null; then
  mounted+=("$root")
else
  cp -a "$base/." "$root/"
fi
mount -t proc proc "$root/proc" && mounted+=("$root/proc")
mount --bind /dev "$root/dev" && mounted+=("$root/dev")
mount --bind /dev/pts "$root/dev/pts" && mounted+=("$root/dev/pts")
mount --bind "$cache/archives" "$root/var/cache/apt/archives" && mounted+=("$root/var/cache/apt/archives")
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p -m 700 "$root/run/user/0"

in_root() {
  chroot "$root" env -i DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 HOME=/root \
    PATH=/usr/sbin:/usr/bin:/sbin:/bin XDG_RUNTIME_DIR=/run/user/0 "$@"
}
# What a root holds where packages install, with the state apt itself keeps left out.
snapshot() {
  in_root sh -c 'find /usr /etc /opt /var/lib/ostrela* -xdev 2>/dev/null | sort' |
    grep -v -e '^/etc/ld.so.cache$' -e '^/var/lib/apt' -e '^/var/lib/dpkg' || true
}

step "installing the dependencies the package declares"
in_root apt-get update >"$work/apt.log" 2>&1 || { tail -n 20 "$work/apt.log" >&2; fail "apt-get update"; }
in_root apt-get satisfy -y --no-install-recommends "$(dpkg-deb -f "$deb" Depends)" >>"$work/apt.log" 2>&1 || {
  tail -n 30 "$work/apt.log" >&2
  fail "the dependencies do not install"
}
snapshot >"$work/before"

step "apt-get install ./$(basename "$deb")"
cp "$deb" "$root/tmp/"
in_root sh -c "cd /tmp && apt-get install -y --no-install-recommends ./$(basename "$deb")" >>"$work/apt.log" 2>&1 || {
  tail -n 30 "$work/apt.log" >&2
  fail "apt-get install"
}
in_root dpkg -L ostrela >"$work/files"
for f in /usr/bin/ostrela /usr/bin/ostrela-camera /usr/bin/ostrela-render /usr/bin/ostrela-testframes \
  /usr/lib/ostrela/ostrela-camera-setup /usr/lib/ostrela/extensions/ostrela-camera.extension/manifest.json \
  /usr/share/applications/com.morwick.Ostrela.desktop /usr/share/metainfo/com.morwick.Ostrela.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/ostrela.svg /usr/share/icons/hicolor/256x256/apps/ostrela.png \
  /usr/lib/systemd/user/ostrela-camera.service /usr/lib/modules-load.d/ostrela.conf /usr/lib/modprobe.d/ostrela.conf \
  /usr/share/man/man1/ostrela.1.gz /usr/share/man/man1/ostrela-camera.1.gz /usr/share/man/man1/ostrela-render.1.gz \
  /usr/share/man/man1/ostrela-testframes.1.gz; do
  grep -qx "$f" "$work/files" || fail "the package does not install $f"
done
[ "$(cat "$root/usr/lib/modules-load.d/ostrela.conf")" = v4l2loopback ] || fail "modules-load.d/ostrela.conf"
[ "$(cat "$root/usr/lib/modprobe.d/ostrela.conf")" = 'options v4l2loopback card_label="Ostrela" exclusive_caps=1' ] ||
  fail "modprobe.d/ostrela.conf"
grep -qx 'ExecStart=/usr/bin/ostrela-camera' "$root/usr/lib/systemd/user/ostrela-camera.service" ||
  fail "the camera service does not run /usr/bin/ostrela-camera"

step "running the installed programs"
for p in ostrela ostrela-camera ostrela-render ostrela-testframes; do
  out="$(in_root "$p" --version)" || fail "$p --version exits with $?"
  [ "$out" = "$p $version" ] || fail "$p --version printed \"$out\""
  in_root "$p" --help | grep -q "^usage: $p " || fail "$p --help"
done
# Programs of a user: their own settings and frame buffer, nothing in a home.
user_env=(OSTRELA_CONFIG_DIR=/tmp/u/config OSTRELA_DATA_DIR=/tmp/u/data OSTRELA_CONTAINER_DIR=/tmp/u/container)
in_root env "${user_env[@]}" ostrela-render --synthetic 1280x720 -o /tmp/x.png >"$work/render.log" 2>&1 || {
  cat "$work/render.log" >&2
  fail "ostrela-render --synthetic 1280x720 -o /tmp/x.png"
}
# PNG signature, then the IHDR's width and height: 1280 (0x500) by 720 (0x2d0).
[ "$(od -An -tx1 -j0 -N8 "$root/tmp/x.png" | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "/tmp/x.png is no PNG"
[ "$(od -An -tx1 -j16 -N8 "$root/tmp/x.png" | tr -d ' \n')" = 00000500000002d0 ] || fail "/tmp/x.png is not 1280x720"

in_root env "${user_env[@]}" sh -c 'ostrela-testframes --frames 150 & writer=$!
  ostrela-camera --y4m - --seconds 2 > /tmp/camera.y4m 2>/tmp/camera.log; status=$?
  kill $writer 2>/dev/null; wait $writer 2>/dev/null; exit $status' || {
  cat "$root/tmp/camera.log" >&2
  fail "ostrela-camera --y4m - --seconds 2"
}
head -c 64 "$root/tmp/camera.y4m" | head -n 1 | grep -q '^YUV4MPEG2 W1280 H720 ' || fail "the stream's header"
# Whole frames of "FRAME\n" and 4:2:0 pixels after the header line.
header=$(head -n 1 "$root/tmp/camera.y4m" | wc -c)
frame_size=$((6 + 1280 * 720 * 3 / 2))
size=$(stat -c %s "$root/tmp/camera.y4m")
frames=$(((size - header) / frame_size))
[ $((header + frames * frame_size)) -eq "$size" ] || fail "the stream ends inside a frame"
[ "$frames" -ge 20 ] || fail "only $frames frames in 2 seconds"
last=$((header + (frames - 1) * frame_size))
[ "$(dd if="$root/tmp/camera.y4m" bs=1 skip="$last" count=6 2>/dev/null)" = FRAME ] || fail "no FRAME at the last frame"
last=$((last + 6))
# The last frame's luma across a row 40% down: the bars run from white to black.
row=$((last + 288 * 1280))
lumas=()
for x in 40 200 360 520 680 840 1000 1160; do
  lumas+=("$(od -An -tu1 -j $((row + x)) -N1 "$root/tmp/camera.y4m" | tr -d ' ')")
done
# Bars move 8 pixels a frame, so look for the brightest and darkest anywhere along the row.
max=0 min=255
for l in "${lumas[@]}"; do
  if ((l > max)); then max=$l; fi
  if ((l < min)); then min=$l; fi
done
[ "$max" -ge 200 ] && [ "$min" -le 40 ] || fail "the camera's picture is not the test bars (luma ${lumas[*]})"

[ "$(in_root man -w ostrela-camera)" = /usr/share/man/man1/ostrela-camera.1.gz ] || fail "man -w ostrela-camera"
in_root sh -c 'MANWIDTH=80 man ostrela-camera 2>&1' | grep -q 'publish Ostrela' || fail "man ostrela-camera"

# The setup helper sees the package's module files and writes none of its own.
out="$(in_root env OSTRELA_SYSCONF_ROOT=/tmp/etc /usr/lib/ostrela/ostrela-camera-setup persist)"
[ "$out" = $'packaged /usr/lib/modules-load.d/ostrela.conf\npackaged /usr/lib/modprobe.d/ostrela.conf' ] ||
  fail "the setup helper said: $out"
[ ! -e "$root/tmp/etc" ] || fail "the setup helper wrote files beside the package's"

step "apt-get remove --purge ostrela"
in_root apt-get remove --purge -y ostrela >>"$work/apt.log" 2>&1 || { tail -n 20 "$work/apt.log" >&2; fail "remove"; }
listed="$(in_root dpkg -L ostrela 2>/dev/null || true)"
[ -z "$listed" ] || fail "dpkg -L ostrela still lists: $listed"
snapshot >"$work/after"
if ! diff -u "$work/before" "$work/after" >"$work/left"; then
  cat "$work/left" >&2
  fail "installing and purging the package changed the root"
fi
step "passed ($(grep -c . "$work/files") paths installed and removed, $frames camera frames)"
