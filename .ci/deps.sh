#!/usr/bin/env bash
# Installs every Debian 12 package Ostrela needs to build, run and test.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  build-essential cmake ninja-build pkg-config git ca-certificates \
  qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev libqt6svg6-dev libgl-dev \
  libopencv-core-dev libopencv-imgproc-dev \
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev \
  libyuv-dev libturbojpeg0-dev libjpeg62-turbo-dev linux-libc-dev v4l-utils \
  libgtest-dev libgmock-dev libbenchmark-dev libhwy-dev \
  ffmpeg xvfb xauth xdotool x11-utils dbus dbus-daemon \
  libpipewire-0.3-dev pipewire pipewire-bin wireplumber \
  fonts-dejavu-core fonts-liberation2 fonts-noto-core fonts-noto-color-emoji fonts-noto-mono \
  qt6-qpa-plugins libqt6svg6 qt6-image-formats-plugins
# The camera's end-to-end tests with real clients: a browser through PipeWire and the camera portal.
$SUDO apt-get install -y --no-install-recommends \
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-pipewire \
  chromium xdg-desktop-portal xdg-desktop-portal-gtk libglib2.0-bin
# The loopback route in a Debian guest: the image is built from the archive and booted under qemu.
$SUDO apt-get install -y --no-install-recommends \
  qemu-system-x86 qemu-utils debootstrap e2fsprogs
# The Debian package and what installs with it: validators for the desktop entry and AppStream
# metainfo, groff for the manual pages.
$SUDO apt-get install -y --no-install-recommends \
  dpkg-dev appstream desktop-file-utils groff-base gzip
