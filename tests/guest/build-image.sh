#!/usr/bin/env bash
# Builds the Debian 12 guest in which the loopback camera test runs: a minbase root with the
# runtime libraries of ostrela-camera and ostrela-testframes, the Debian kernel, v4l2loopback built
# by DKMS for that kernel (0.12, as Debian 12 ships it) plus the backports' newer module built
# beside it under /opt, and the V4L2 clients the test reads the camera with. The result (an ext4
# image plus the kernel and initrd to boot it) is cached outside the source tree under a key made
# from this script and the guest's init, so it is built once and rebuilt only when they change.
#
#   build-image.sh             build unless the cached image for the current key exists
#   build-image.sh --print-dir print the directory the image for the current key lives in
#
# Cache: $OSTRELA_GUEST_CACHE (default /var/cache/ostrela-guest). Mirror: $OSTRELA_GUEST_MIRROR.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
cache="${OSTRELA_GUEST_CACHE:-/var/cache/ostrela-guest}"
mirror="${OSTRELA_GUEST_MIRROR:-http://deb.debian.org/debian}"
security="${OSTRELA_GUEST_SECURITY_MIRROR:-http://deb.debian.org/debian-security}"
suite=bookworm

# What the guest runs: the kernel and the module, the clients that read the camera, and the
# libraries our two programs link (kept in step with `ldd build/ostrela-camera`).
packages=(
  linux-image-amd64 linux-headers-amd64 v4l2loopback-dkms kmod
  ffmpeg v4l-utils gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  libqt6core6 libqt6gui6 libqt6dbus6 libqt6network6 libqt6multimedia6 libqt6concurrent6
  qt6-qpa-plugins fonts-dejavu-core
  libopencv-core406 libopencv-imgproc406 libyuv0 libturbojpeg0 libpipewire-0.3-0
)

key="$(cat "$here/build-image.sh" "$here/guest-init.sh" | sha256sum | cut -c1-16)"
dir="$cache/$suite-$key"

if [ "${1:-}" = "--print-dir" ]; then
  echo "$dir"
  exit 0
fi
if [ -f "$dir/ready" ]; then
  echo "guest image up to date: $dir"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "build-image.sh: building the guest image needs root (debootstrap, chroot)" >&2
  exit 1
fi
for tool in debootstrap mkfs.ext4 chroot; do
  command -v "$tool" >/dev/null || { echo "build-image.sh: $tool is missing (apt-get install debootstrap e2fsprogs)" >&2; exit 1; }
done

mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
[ -f "$dir/ready" ] && { echo "guest image up to date: $dir"; exit 0; }

started=$(date +%s)
work="$(mktemp -d "$cache/.build.XXXXXX")"
root="$work/root"
cleanup() {
  for m in dev/pts dev sys proc; do mountpoint -q "$root/$m" 2>/dev/null && umount -l "$root/$m"; done
  rm -rf "$work"
}
trap cleanup EXIT

echo "guest image: debootstrap $suite (minbase) into $root"
debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 || {
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
# Without udev in the guest nothing loads drivers for the virtual hardware: the initrd loads the
# disk's and the share's drivers itself.
mkdir -p "$root/etc/initramfs-tools"
printf '%s\n' virtio_pci virtio_blk ext4 >>"$root/etc/initramfs-tools/modules"

mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"

in_root() { chroot "$root" env DEBIAN_FRONTEND=noninteractive LC_ALL=C PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }

echo "guest image: installing ${#packages[@]} packages and their dependencies"
in_root apt-get update >"$work/apt.log" 2>&1 || { tail -n 30 "$work/apt.log" >&2; exit 1; }
in_root apt-get install -y --no-install-recommends "${packages[@]}" >>"$work/apt.log" 2>&1 || {
  tail -n 40 "$work/apt.log" >&2
  exit 1
}

kver="$(ls "$root/lib/modules" | sort -V | tail -n 1)"
src="$(ls -d "$root"/usr/src/v4l2loopback-* | sort -V | tail -n 1)"
modver="${src##*/v4l2loopback-}"
# No kernel runs in the chroot, so the package's own DKMS step may have skipped the guest's
# kernel: build for it by name.
if ! find "$root/lib/modules/$kver" -name 'v4l2loopback.ko*' | grep -q .; then
  echo "guest image: building v4l2loopback $modver for $kver"
  in_root dkms install "v4l2loopback/$modver" -k "$kver" >>"$work/apt.log" 2>&1 || {
    tail -n 40 "$work/apt.log" >&2
    exit 1
  }
fi
find "$root/lib/modules/$kver" -name 'v4l2loopback.ko*' | grep -q . || {
  echo "build-image.sh: v4l2loopback was not built for $kver" >&2
  exit 1
}

# The newer module line from bookworm-backports, built beside the packaged one (not installed over
# it), so the test can run the camera against both.
echo "deb $mirror $suite-backports main" >"$root/etc/apt/sources.list.d/backports.list"
in_root apt-get update >>"$work/apt.log" 2>&1
in_root sh -c "cd /tmp && apt-get download v4l2loopback-dkms/$suite-backports" >>"$work/apt.log" 2>&1 || {
  tail -n 20 "$work/apt.log" >&2
  exit 1
}
in_root sh -c 'dpkg -x /tmp/v4l2loopback-dkms_*.deb /tmp/backports && rm /tmp/v4l2loopback-dkms_*.deb'
newsrc="$(ls -d "$root"/tmp/backports/usr/src/v4l2loopback-* | sort -V | tail -n 1)"
newver="${newsrc##*/v4l2loopback-}"
mkdir -p "$root/opt/v4l2loopback-$newver"
cp -a "$newsrc/." "$root/opt/v4l2loopback-$newver/"
rm -rf "$root/tmp/backports" "$root/etc/apt/sources.list.d/backports.list"
echo "guest image: building v4l2loopback $newver (backports) for $kver"
in_root make -C "/lib/modules/$kver/build" M="/opt/v4l2loopback-$newver" modules >>"$work/apt.log" 2>&1 || {
  tail -n 40 "$work/apt.log" >&2
  exit 1
}
[ -f "$root/opt/v4l2loopback-$newver/v4l2loopback.ko" ] || {
  echo "build-image.sh: v4l2loopback $newver was not built for $kver" >&2
  exit 1
}

in_root depmod "$kver"
in_root update-initramfs -u -k "$kver" >>"$work/apt.log" 2>&1

install -m 755 "$here/guest-init.sh" "$root/sbin/ostrela-guest-init"
in_root apt-get clean
rm -rf "$root"/var/lib/apt/lists/* "$root/usr/sbin/policy-rc.d"
for m in dev/pts dev sys proc; do umount -l "$root/$m"; done

out="$work/out"
mkdir -p "$out"
cp "$root/boot/vmlinuz-$kver" "$out/vmlinuz"
cp "$root/boot/initrd.img-$kver" "$out/initrd.img"
echo "$kver" >"$out/kernel-release"
echo "$modver $newver" >"$out/v4l2loopback-version"
printf '%s\n' "${packages[@]}" >"$out/packages"
size_mb=$(( $(du -sm "$root" | cut -f1) * 13 / 10 + 256 ))
mkfs.ext4 -q -F -L ostrela-guest -d "$root" "$out/rootfs.ext4" "${size_mb}M"
date -u +%FT%TZ >"$out/ready"

rm -rf "$dir"
mv "$out" "$dir"
# Older keys are never used again.
for old in "$cache/$suite"-*; do
  [ "$old" = "$dir" ] || rm -rf "$old"
done
echo "guest image built in $(( $(date +%s) - started )) s: $dir (kernel $kver, v4l2loopback $modver and $newver)"
