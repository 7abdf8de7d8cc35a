#!/bin/sh
# First process of the test guest: mounts what the test needs, runs the test script handed in
# through the "host" share with its results going to the writable "out" share, and powers the
# machine off. What the test does (loading the loopback module included) is up to that script.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
hostname ostrela-guest
echo "ostrela-guest: kernel $(uname -r)" >/dev/console

modprobe 9pnet_virtio
modprobe 9p
mkdir -p /mnt/host /mnt/out
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,ro host /mnt/host
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 out /mnt/out

if [ -x /mnt/host/run.sh ]; then
  /mnt/host/run.sh /mnt/host /mnt/out >/mnt/out/run.log 2>&1
  echo "ostrela-guest: test script exited $?" >/dev/console
else
  echo "ostrela-guest: no test script in the host share" >/dev/console
fi
sync
echo "ostrela-guest: power off" >/dev/console
echo o >/proc/sysrq-trigger
sleep 30
