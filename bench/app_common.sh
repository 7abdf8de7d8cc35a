# Shared by the scripts that measure the running program: a private home for it (settings, frame
# buffer, library), the look switch through its settings file, and readings of its memory.
# Source it after `set -euo pipefail`; it sets $work and the OSTRELA_* variables, and kills what
# is listed in $pids on exit.
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT
mkdir -p "$work/config" "$work/container" "$work/data" "$work/runtime" "$work/library"
chmod 700 "$work/runtime"
export OSTRELA_CONFIG_DIR=$work/config OSTRELA_CONTAINER_DIR=$work/container OSTRELA_DATA_DIR=$work/data
export OSTRELA_LIBRARY_DIR=$work/library
export OSTRELA_SYNTHETIC_CAMERA=1 XDG_RUNTIME_DIR=$work/runtime QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
# No activation prompt and no onboarding sheet: the bench measures the picture only.
echo '{"hasSeenOnboarding": true, "hasAttemptedInitialActivation": true}' > "$work/config/com.morwick.Ostrela.json"
looks="none oldTV securityCam flame vhs thermal snow anaglyph3D nightOps cyberOps cableAccess xray noir
       drunkMode missionControl dreamSequence"
set_look() {
    python3 - "$work/config/group.com.morwick.Ostrela.json" "$1" <<'PY'
import json, os, sys
path, look = sys.argv[1], sys.argv[2]
try:
    data = json.load(open(path))
except Exception:
    data = {}
data["videoEffect"] = look
tmp = path + ".tmp"
json.dump(data, open(tmp, "w"))
os.replace(tmp, path)
PY
}
rss_mb() { awk '/VmRSS/ {print int($2 / 1024)}' "/proc/$1/status"; }
peak_mb() { awk '/VmHWM/ {print int($2 / 1024)}' "/proc/$1/status"; }
# Stops the script with the program's last words if it is gone.
require_running() {
    kill -0 "$1" 2>/dev/null || { echo "the program ended early:"; tail -5 "$work/app.log"; exit 1; }
}
