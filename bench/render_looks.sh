#!/usr/bin/env bash
# Every look through `ostrela-render --bench`, for one build or several compared in alternating
# rounds on one machine (machines differ too much to compare across them). Prints, per look and
# build, the median over the rounds of: median ms, p95 ms, CPU ms per frame and first frame ms.
#   bench/render_looks.sh [-r rounds] [-n frames] RENDER_BINARY...
# OSTRELA_SIMD caps the vector target as usual (a build without the cap ignores it).
set -euo pipefail
rounds=3 frames=60
while getopts "r:n:" o; do
    case $o in r) rounds=$OPTARG ;; n) frames=$OPTARG ;; *) exit 2 ;; esac
done
shift $((OPTIND - 1))
[ $# -ge 1 ] || { echo "usage: $0 [-r rounds] [-n frames] RENDER_BINARY..." >&2; exit 2; }
looks="none oldTV securityCam flame vhs thermal snow anaglyph3D nightOps cyberOps cableAccess xray noir drunkMode missionControl dreamSequence"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
export QT_QPA_PLATFORM=offscreen
for r in $(seq "$rounds"); do
    for look in $looks; do
        # A look's first process after other work is often slow whichever build it is (Flame's
        # first frame 147 ms against 37): one short run first, not counted, so no build pays it.
        "$1" --synthetic 1280x720 --effect "$look" --bench 3 > /dev/null 2>&1 || true
        i=0
        for bin in "$@"; do
            line=$("$bin" --synthetic 1280x720 --effect "$look" --bench "$frames" 2>/dev/null | grep '^effect ')
            echo "$look $i $line" >> "$out"
            i=$((i + 1))
        done
    done
done
echo "processor: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores, $rounds rounds of $frames frames"
python3 - "$out" "$@" <<'PY'
import re, statistics, sys
rows = {}
target = {}
for line in open(sys.argv[1]):
    look, i, rest = line.split(" ", 2)
    m = re.search(r"threads, (\S+): median ([\d.]+) ms, p95 ([\d.]+) ms, CPU ([\d.]+) ms per frame(?:, first frame ([\d.]+) ms)?", rest)
    if not m:
        m = re.search(r"threads: median ([\d.]+) ms, p95 ([\d.]+) ms, CPU ([\d.]+) ms per frame", rest)
        vals = [float(x) for x in m.groups()] + [float("nan")]
        target[i] = "?"
    else:
        target[i] = m.group(1)
        vals = [float(x) if x else float("nan") for x in m.groups()[1:]]
    rows.setdefault((look, i), []).append(vals)
builds = sys.argv[2:]
for n, b in enumerate(builds):
    print("build %d: %s (%s)" % (n, b, target.get(str(n), "?")))
print("%-16s %5s %9s %9s %9s %9s" % ("look", "build", "median", "p95", "CPU", "first"))
for look in dict.fromkeys(k[0] for k in rows):
    for n in range(len(builds)):
        v = rows[(look, str(n))]
        med = [statistics.median(c) for c in zip(*v)]
        print("%-16s %5d %9.2f %9.2f %9.2f %9.1f" % (look, n, *med))
PY
