#!/usr/bin/env bash
# Resident memory of the running program while a video plays out (with the camera as its
# picture-in-picture) and every look is chosen in turn, as a user cycling looks in a show would:
# the memory after each look, after the whole cycle, back on "none", and the peak.
#   bench/memory_in_app.sh [build dir] [seconds per look] [cycles]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seconds=${2:-2}
cycles=${3:-2}
source "$(dirname "$0")/app_common.sh"
# A 1280×720 H.264 video with sound, long enough to play through the whole run.
length=$(( (16 * seconds + 4) * cycles + 20 ))
id=6F1C2B3A-4D5E-4F60-8A7B-9C0D1E2F3A4B
ffmpeg -v error -y -f lavfi -i "testsrc2=s=1280x720:r=30:d=$length" -f lavfi -i "sine=f=440:d=$length" \
    -pix_fmt yuv420p -c:v libx264 -preset veryfast -c:a aac -shortest "$work/library/$id.mp4"
printf '{"items":[{"id":"%s","fileName":"%s.mp4","displayName":"Bench","kind":"video"}],"folders":[]}' \
    "$id" "$id" > "$work/library/manifest.json"
set_look none
"$build/ostrela" --start-camera --play-video > "$work/app.log" 2>&1 &
app=$!
pids+=("$app")
sleep 4
grep -q -- "--play-video" "$work/app.log" && { cat "$work/app.log"; exit 1; }
echo "processor: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores; SIMD cap: ${OSTRELA_SIMD:-none}"
echo "video playing, before any look: $(rss_mb "$app") MB"
for c in $(seq "$cycles"); do
    line="cycle $c:"
    for look in $looks; do
        set_look "$look"
        sleep "$seconds"
        line="$line $look $(rss_mb "$app")"
    done
    echo "$line (MB)"
done
require_running "$app"
echo "after the cycles: $(rss_mb "$app") MB"
set_look none
sleep 4
echo "back on \"none\", video still playing: $(rss_mb "$app") MB, peak $(peak_mb "$app") MB"
