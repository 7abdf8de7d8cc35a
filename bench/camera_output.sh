#!/usr/bin/env bash
# The camera program as a call app sees it: the test-frame writer feeds it, a consumer reads its
# YUV4MPEG2 stream and times each frame's arrival. Prints the camera program's CPU per second of
# output and the spread of the intervals between frames.
#   bench/camera_output.sh [build dir] [writer fps] [seconds]
set -euo pipefail
build=${1:-build}
writer_fps=${2:-30}
seconds=${3:-10}
work=$(mktemp -d)
trap 'kill $writer 2>/dev/null || true; rm -rf "$work"' EXIT
export OSTRELA_CONTAINER_DIR=$work/container QT_QPA_PLATFORM=offscreen
"$build/ostrela-testframes" --fps "$writer_fps" &
writer=$!
sleep 0.5
/usr/bin/env time -f '%U %S' -o "$work/cpu" "$build/ostrela-camera" --fps 30 --y4m - --seconds "$seconds" 2>/dev/null |
python3 -c '
import sys, time
f = sys.stdin.buffer
header = f.readline()
size = 1280 * 720 * 3 // 2
arrivals = []
while True:
    tag = f.read(6)
    if len(tag) < 6: break
    body = f.read(size)
    if len(body) < size: break
    arrivals.append(time.monotonic())
gaps = sorted((b - a) * 1000 for a, b in zip(arrivals, arrivals[1:]))
pick = lambda q: gaps[min(len(gaps) - 1, int(q * len(gaps)))]
print("header: %s" % header.decode().strip())
print("frames: %d, interval ms: p50 %.2f, p99 %.2f, min %.2f, max %.2f" % (len(arrivals), pick(0.5), pick(0.99), gaps[0], gaps[-1]))
'
read -r user sys < "$work/cpu"
python3 -c "u, s, t = $user, $sys, $seconds; print('camera program CPU: %.1f ms per second of output (%.2f ms per frame at 30 fps)' % ((u + s) * 1000 / t, (u + s) * 1000 / t / 30))"
