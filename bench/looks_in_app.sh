#!/usr/bin/env bash
# Every look in the running program as a call app meets it: the application with the test-pattern
# camera and its preview window, while another program keeps one core busy (the call app
# encoding our picture). For each look: frames published per second (the generations of
# "frame_state.bin") and the program's CPU per second and per frame.
#   bench/looks_in_app.sh [build dir] [seconds per look] [busy programs beside]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seconds=${2:-8}
busy=${3:-1}
source "$(dirname "$0")/app_common.sh"
set_look none
"$build/ostrela" --start-camera > "$work/app.log" 2>&1 &
app=$!
pids+=("$app")
for _ in $(seq "$busy"); do
    sh -c 'while :; do :; done' &
    pids+=("$!")
done
sleep 3
sample() {  # generation, CPU seconds of the program, monotonic time
    python3 - "$work/container/frame_state.bin" "$app" <<'PY'
import os, struct, sys, time
try:
    gen = struct.unpack("<Qd", open(sys.argv[1], "rb").read(16))[0]
except Exception:
    gen = 0
f = open("/proc/%s/stat" % sys.argv[2]).read().rsplit(")", 1)[1].split()
tick = os.sysconf("SC_CLK_TCK")
print(gen, (int(f[11]) + int(f[12])) / tick, time.monotonic())
PY
}
echo "processor: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores; busy programs beside: $busy; SIMD cap: ${OSTRELA_SIMD:-none}"
printf '%-16s %8s %12s %14s\n' look fps "CPU %" "CPU ms/frame"
for look in $looks; do
    set_look "$look"
    sleep 2  # the look's first frames and the settings poll
    read -r g0 c0 t0 < <(sample)
    sleep "$seconds"
    read -r g1 c1 t1 < <(sample)
    python3 -c "
g, c, t = $g1 - $g0, $c1 - $c0, $t1 - $t0
print('%-16s %8.1f %12.0f %14.1f' % ('$look', g / t, 100 * c / t, 1000 * c / g if g else float('nan')))"
done
require_running "$app"
echo "resident memory after the last look: $(rss_mb "$app") MB"
set_look none
sleep 3
echo "resident memory back on \"none\": $(rss_mb "$app") MB, peak $(peak_mb "$app") MB"
