#!/bin/bash
# Takes the README's screenshots: the real tray window and the real visualizer, each on its own
# Xvfb display, against a private graph (own runtime dir, session bus, PipeWire, WirePlumber, a
# null "speakers" device, halvexd with processing on and a demo signal playing). Writes
# docs/tray.png and docs/visualizer.png; run it again when the look changes.
# Usage: scripts/screenshots.sh BUILD_DIR
set -u
. "$(dirname "$0")/lib/processes.sh"
. "$(dirname "$0")/lib/build_dir.sh"

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir_from_args "$@"
halvexd=$build/daemon/halvexd
halvex=$build/cli/halvex
tray=$build/tray/halvex-tray
vis=$build/vis/halvex-vis
presets=$root/vis/presets
for program in "$halvexd" "$halvex" "$tray" "$vis"; do
  [ -x "$program" ] || { echo "missing $program: build it first (cmake --build $build)" >&2; exit 2; }
done
[ -d "$presets" ] || { echo "missing the preset collection $presets" >&2; exit 2; }

pids=()
scratch=$(mktemp -d /tmp/halvex-shots-XXXXXX)
cleanup() {
  trap - INT TERM EXIT
  stop_processes "${pids[@]}"
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

die() { echo "screenshots: $*" >&2; exit 1; }

# --- a private graph with the daemon processing a demo signal ---------------------------------
export XDG_RUNTIME_DIR=$scratch/run HOME=$scratch/home
export XDG_CONFIG_HOME=$HOME/.config XDG_STATE_HOME=$HOME/.local/state XDG_DATA_HOME=$HOME/.local/share
unset PIPEWIRE_REMOTE DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY
export NO_AT_BRIDGE=1 GDK_BACKEND=x11 SDL_VIDEODRIVER=x11 LC_ALL=C.UTF-8
export VK_ICD_FILENAMES=/usr/share/vulkan/icd.d/lvp_icd.x86_64.json
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/halvex" && chmod 700 "$XDG_RUNTIME_DIR"
echo '{ "enabled": true }' >"$XDG_CONFIG_HOME/halvex/config.json"
printf '{ "preset_dir": "%s", "preset_time": 300, "fps_cap": 30 }\n' "$presets" \
  >"$XDG_CONFIG_HOME/halvex/vis.json"

dbus-daemon --session --nofork --nosyslog --address="unix:path=$XDG_RUNTIME_DIR/bus" &
pids+=($!)
export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
wait_for 50 test -S "$XDG_RUNTIME_DIR/bus" || die "dbus-daemon did not start"
pipewire >"$scratch/pipewire.log" 2>&1 &
pids+=($!)
wait_for 100 pw-cli info 0 || die "pipewire did not start"
wireplumber >"$scratch/wireplumber.log" 2>&1 &
pids+=($!)
wait_for 100 sh -c 'pw-cli ls Client | grep -q WirePlumber' || die "wireplumber did not start"
pw-cli create-node adapter '{ factory.name=support.null-audio-sink node.name=speakers
  node.description="Speakers" media.class=Audio/Sink object.linger=true
  audio.position=[FL FR] priority.session=1000 }' >/dev/null
wait_for 100 sh -c 'pw-link -i | grep -q speakers:playback_FR' || die "the speakers device did not appear"

"$halvexd" 2>"$scratch/halvexd.log" &
pids+=($!)
wait_for 100 "$halvex" status || die "halvexd did not come up: $(cat "$scratch/halvexd.log")"

# A beat the visualizer can follow: a low pulse twice a second over a slow chord.
sox -n -r 48000 -b 32 -e floating-point -c 2 "$scratch/chord.wav" \
  synth 8 sine 220 sine 277 sine 330 tremolo 0.25 40 gain -14
sox -n -r 48000 -b 32 -e floating-point -c 2 "$scratch/beat.wav" \
  synth 0.12 sine 60 fade 0 0.12 0.1 pad 0 0.38 repeat 15 gain -4
sox -m "$scratch/chord.wav" "$scratch/beat.wav" "$scratch/demo.wav"
(while true; do pw-play --target halvex "$scratch/demo.wav" || sleep 1; done) &
pids+=($!)

start_display() {  # start_display NAME WIDTHxHEIGHT: a new Xvfb on a free display number
  Xvfb -displayfd 3 -screen 0 "$2x24" -nolisten tcp 3>"$scratch/$1.display" >"$scratch/$1.xvfb.log" 2>&1 &
  pids+=($!)
  wait_for 100 test -s "$scratch/$1.display" || die "Xvfb did not start: $(cat "$scratch/$1.xvfb.log")"
  export DISPLAY=:$(cat "$scratch/$1.display")
  wait_for 100 xdpyinfo || die "Xvfb $DISPLAY does not answer"
}
mkdir -p "$root/docs"

# --- the tray window --------------------------------------------------------------------------
# The pointer sits mid-screen, where it would raise a tooltip over the window: a screen large
# enough keeps it off the window, which opens at the top left.
start_display tray 1600x1400
"$tray" --no-start --allow-multiple --poll-ms 500 >"$scratch/tray.log" 2>&1 &
pids+=($!)
tray_pid=$!
window=""
for _ in $(seq 100); do
  # The largest window titled "halvex" (GTK also names a small leader window so).
  window=$(xwininfo -root -tree | awk '/ "halvex": / { split($0, g, /\) +/); split(g[2], d, /[x+]/);
    if (d[1] * d[2] > best) { best = d[1] * d[2]; id = $1 } } END { if (best > 10000) print id }')
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || die "the tray window did not appear: $(cat "$scratch/tray.log")"
sleep 3  # a few polls: state, devices and the controls of the algorithm in use
import -window "$window" "$scratch/tray.png" || die "cannot take the tray screenshot"
kill "$tray_pid"

# --- the visualizer, past its opening title -----------------------------------------------------
start_display vis 1280x720
"$vis" >"$scratch/vis.log" 2>&1 &
pids+=($!)
vis_pid=$!
# Frames differ a lot from second to second: keep the busiest (largest) of a few.
sleep 9
for i in 1 2 3 4; do
  sleep 2
  kill -0 "$vis_pid" 2>/dev/null || die "halvex-vis stopped: $(cat "$scratch/vis.log")"
  import -window root "$scratch/vis$i.png" || die "cannot take the visualizer screenshot"
done
cp "$(ls -S "$scratch"/vis[0-9].png | head -1)" "$scratch/visualizer.png"
kill "$vis_pid"

# Small enough to keep in the tree: the tray with a palette (flat colours), the visualizer at
# half size.
convert "$scratch/tray.png" -strip PNG8:"$root/docs/tray.png"
convert "$scratch/visualizer.png" -resize 50% -strip "$root/docs/visualizer.png"
ls -l "$root/docs/tray.png" "$root/docs/visualizer.png"
