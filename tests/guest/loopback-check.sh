#!/bin/bash
# Runs inside the test guest (see guest-init.sh): feeds the "Ostrela" v4l2loopback device with
# ostrela-camera fed by ostrela-testframes, and reads the camera back with real V4L2 clients
# (ffmpeg, v4l2-ctl, GStreamer v4l2src), in YUYV and in I420, on Debian 12's v4l2loopback and on the
# backports' newer one. Facts go to result.txt as key=value lines ("<module>.<format>.<fact>"),
# pictures and tool outputs to files beside it ("<module>-<format>-..."); the host side judges them.
#   loopback-check.sh HOST_SHARE OUT_DIR
set -u
bin="$1"
out="$2"
res="$out/result.txt"
: >"$res"
put() { printf '%s=%s\n' "$1" "$2" >>"$res"; }
log() { echo "[$(cut -d' ' -f1 /proc/uptime)] $*"; }

export OSTRELA_CONTAINER_DIR=/tmp/ostrela/container OSTRELA_CONFIG_DIR=/tmp/ostrela/config
export OSTRELA_DATA_DIR=/tmp/ostrela/data HOME=/tmp/ostrela/home XDG_RUNTIME_DIR=/tmp/ostrela/run
export QT_QPA_PLATFORM=offscreen
mkdir -p "$OSTRELA_CONTAINER_DIR" "$OSTRELA_CONFIG_DIR" "$OSTRELA_DATA_DIR" "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

camera="$bin/ostrela-camera"
testframes="$bin/ostrela-testframes"
put kernel "$(uname -r)"
put missing_libraries "$(ldd "$camera" "$testframes" | awk '/not found/{print $1}' | sort -u | tr '\n' ' ')"
put ffmpeg_version "$(ffmpeg -hide_banner -version | head -n 1)"

# The options the camera's activation uses. (No max_buffers: with more buffers than a client asks
# for, v4l2loopback 0.12 shrinks its ring under a streaming producer and can corrupt its buffer
# list, a kernel BUG in buffer_written seen here.)
options=(card_label="Ostrela" exclusive_caps=1)
newko="$(ls /opt/v4l2loopback-*/v4l2loopback.ko 2>/dev/null | head -n 1)"
m=""
load_module() {
  if [ "$m" = bookworm ]; then
    modprobe v4l2loopback "${options[@]}"
  else
    modprobe videodev && insmod "$newko" "${options[@]}"
  fi
}
module_version() {
  if [ "$m" = bookworm ]; then
    ls -d /usr/src/v4l2loopback-* | sed -n 's|.*/v4l2loopback-||p' | head -n 1
  else
    modinfo -F version "$newko"
  fi
}
dev=""
find_device() {
  dev=""
  local d
  for d in /dev/video*; do
    [ -e "$d" ] && [ "$(cat /sys/class/video4linux/"${d#/dev/}"/name 2>/dev/null)" = "Ostrela" ] && { dev="$d"; return 0; }
  done
  return 1
}

# The device capabilities v4l2-ctl reports, comma separated.
devcaps() {
  v4l2-ctl -d "$dev" --info 2>&1 |
    awk '/Device Caps/{f=1;next} f&&/^\t\t/{sub(/^[ \t]+/,"");a=a (a?",":"") $0;next} f{exit} END{print a}'
}
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local limit=$1; shift
  local t=0
  until "$@"; do
    t=$((t + 1))
    [ "$t" -gt $((limit * 5)) ] && return 1
    sleep 0.2
  done
}
has_capture() { devcaps | grep -q "Video Capture"; }
file_frames() { echo $(( $(stat -c %s "$1" 2>/dev/null || echo 0) / $2 )); }
has_frames() { [ "$(file_frames "$1" "$2")" -ge "$3" ]; }
# Clients write to memory (the share is slow under emulation, and a client that takes long over a
# frame holds the loopback buffer it reads from); what they wrote moves to the share afterwards.
keep() { [ -f "/tmp/$1" ] && mv "/tmp/$1" "$out/$1"; }
stopped=""
stop_pid() {
  # Stops one of our own processes; its exit status goes to $stopped ("killed" when it had to be).
  local pid=$1
  kill -TERM "$pid" 2>/dev/null
  local t=0
  while kill -0 "$pid" 2>/dev/null && [ $t -lt 100 ]; do sleep 0.1; t=$((t + 1)); done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    stopped=killed
    return
  fi
  wait "$pid"
  stopped=$?
}

run_format() {
  local f=$1 ffpix gstfmt bytes camargs=()
  if [ "$f" = yuyv ]; then
    ffpix=yuyv422 gstfmt=YUY2 bytes=$((1280 * 720 * 2))
  else
    ffpix=yuv420p gstfmt=I420 bytes=$((1280 * 720 * 3 / 2)) camargs=(--format i420)
  fi
  put "$m.$f.frame_bytes" "$bytes"
  put "$m.$f.caps_idle" "$(devcaps)"

  log "$f: producer"
  "$testframes" --fps 30 >"$out/$m-$f-testframes.log" 2>&1 &
  local tf=$!
  "$camera" "${camargs[@]}" --fps 30 >"$out/$m-$f-camera1.log" 2>&1 &
  local cam=$!
  if wait_for 60 has_capture; then put "$m.$f.capture_announced" yes; else put "$m.$f.capture_announced" no; fi
  put "$m.$f.caps_attached" "$(devcaps)"
  v4l2-ctl -d "$dev" --get-fmt-video >"$out/$m-$f-fmt.txt" 2>&1
  cat "/sys/class/video4linux/${dev#/dev/}/format" >"$out/$m-$f-sysfs-format.txt" 2>&1

  # A second producer is turned away while the first streams.
  timeout 60 "$camera" "${camargs[@]}" --frames 5 >"$out/$m-$f-second.log" 2>&1
  put "$m.$f.second_rc" "$?"

  log "$f: ffmpeg"
  local fps_mode=(-fps_mode passthrough)
  ffmpeg -hide_banner -nostdin -loglevel info -f v4l2 -input_format "$ffpix" -video_size 1280x720 -i "$dev" \
    "${fps_mode[@]}" -frames:v 12 -f rawvideo -pix_fmt "$ffpix" -y "/tmp/$m-$f-ffmpeg.raw" >"$out/$m-$f-ffmpeg.log" 2>&1
  local rc=$?
  if [ $rc -ne 0 ] && grep -q "fps_mode" "$out/$m-$f-ffmpeg.log"; then
    fps_mode=(-vsync passthrough)
    ffmpeg -hide_banner -nostdin -loglevel info -f v4l2 -input_format "$ffpix" -video_size 1280x720 -i "$dev" \
      "${fps_mode[@]}" -frames:v 12 -f rawvideo -pix_fmt "$ffpix" -y "/tmp/$m-$f-ffmpeg.raw" >"$out/$m-$f-ffmpeg.log" 2>&1
    rc=$?
  fi
  put "$m.$f.ffmpeg_rc" "$rc"
  put "$m.$f.ffmpeg_frames" "$(file_frames "/tmp/$m-$f-ffmpeg.raw" "$bytes")"
  keep "$m-$f-ffmpeg.raw"

  log "$f: v4l2-ctl"
  timeout 120 v4l2-ctl -d "$dev" --stream-mmap --stream-count=8 --stream-to="/tmp/$m-$f-v4l2ctl.raw" >"$out/$m-$f-v4l2ctl.log" 2>&1
  put "$m.$f.v4l2ctl_rc" "$?"
  keep "$m-$f-v4l2ctl.raw"
  put "$m.$f.v4l2ctl_size" "$(stat -c %s "$out/$m-$f-v4l2ctl.raw" 2>/dev/null || echo 0)"

  log "$f: gstreamer"
  timeout 120 gst-launch-1.0 -v v4l2src device="$dev" num-buffers=8 ! "video/x-raw,format=$gstfmt,width=1280,height=720" \
    ! filesink location="/tmp/$m-$f-gst.raw" >"$out/$m-$f-gst.log" 2>&1
  put "$m.$f.gst_rc" "$?"
  keep "$m-$f-gst.raw"
  put "$m.$f.gst_size" "$(stat -c %s "$out/$m-$f-gst.raw" 2>/dev/null || echo 0)"

  log "$f: restart while a client reads"
  local want=90
  timeout 240 v4l2-ctl -d "$dev" --stream-mmap --stream-count=$want --stream-to=/tmp/$m-$f-restart.raw >"$out/$m-$f-restart-reader.log" 2>&1 &
  local reader=$!
  wait_for 60 has_frames /tmp/$m-$f-restart.raw "$bytes" 5
  stop_pid $cam
  put "$m.$f.camera1_rc" "$stopped"
  sleep 0.5
  local before
  before=$(file_frames /tmp/$m-$f-restart.raw "$bytes")
  put "$m.$f.restart_frames_before" "$before"
  put "$m.$f.caps_between" "$(devcaps)"
  "$camera" "${camargs[@]}" --fps 30 >"$out/$m-$f-camera2.log" 2>&1 &
  cam=$!
  wait "$reader"
  put "$m.$f.restart_reader_rc" "$?"
  local total
  total=$(file_frames /tmp/$m-$f-restart.raw "$bytes")
  put "$m.$f.restart_frames_total" "$total"
  # The last six frames the client got, all after the restart.
  if [ "$total" -ge 6 ]; then
    dd if=/tmp/$m-$f-restart.raw of="$out/$m-$f-restart-tail.raw" bs="$bytes" skip=$((total - 6)) count=6 2>/dev/null
  fi
  rm -f /tmp/$m-$f-restart.raw

  log "$f: idle still"
  stop_pid $tf
  put "$m.$f.testframes_rc" "$stopped"
  sleep 3
  timeout 120 v4l2-ctl -d "$dev" --stream-mmap --stream-count=3 --stream-to="/tmp/$m-$f-idle.raw" >"$out/$m-$f-idle.log" 2>&1
  put "$m.$f.idle_rc" "$?"
  keep "$m-$f-idle.raw"
  put "$m.$f.idle_size" "$(stat -c %s "$out/$m-$f-idle.raw" 2>/dev/null || echo 0)"

  stop_pid $cam
  put "$m.$f.camera2_rc" "$stopped"
  sleep 0.5
  put "$m.$f.caps_after" "$(devcaps)"
  put "$m.$f.list_after" "$("$camera" --list-devices 2>&1 | tr '\t' ' ' | tr '\n' ';')"
}

run_module() {
  m=$1
  log "$m: loading v4l2loopback"
  load_module
  put "$m.module_loaded" "$?"
  put "$m.v4l2loopback_version" "$(module_version)"
  sleep 1
  if ! find_device; then
    put "$m.device" ""
    return
  fi
  put "$m.device" "$dev"
  "$camera" --list-devices >"$out/$m-list-devices.txt" 2>&1

  run_format yuyv
  run_format i420

  # A producer that writes without streaming (ffmpeg's v4l2 output) leaves v4l2loopback 0.12
  # announcing no output until the module is reloaded: the camera program says so in one line,
  # and works again once the module is reloaded.
  log "$m: ffmpeg as a producer"
  ffmpeg -hide_banner -nostdin -f lavfi -i testsrc2=size=1280x720:rate=30 -frames:v 10 -pix_fmt yuyv422 -f v4l2 "$dev" \
    >"$out/$m-stale-ffmpeg.log" 2>&1
  put "$m.stale.ffmpeg_rc" "$?"
  put "$m.stale.caps_after_ffmpeg" "$(devcaps)"
  "$testframes" --fps 30 >/dev/null 2>&1 &
  local tf=$!
  timeout 120 "$camera" --frames 20 >"$out/$m-stale-camera.log" 2>&1
  put "$m.stale.camera_rc" "$?"
  put "$m.stale.caps_after_camera" "$(devcaps)"
  rmmod v4l2loopback && load_module && sleep 1 && find_device
  put "$m.stale.reloaded" "$?"
  timeout 120 "$camera" --frames 20 >"$out/$m-stale-reloaded-camera.log" 2>&1
  put "$m.stale.reloaded_camera_rc" "$?"
  stop_pid $tf
  rmmod v4l2loopback
  put "$m.unloaded" "$?"
}

run_module bookworm
run_module backports

dmesg >"$out/dmesg.txt" 2>&1
put done yes
log "done"
