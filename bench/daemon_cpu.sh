#!/usr/bin/env bash
# CPU cost of halvexd while it processes live audio: for each spatial algorithm, plays SECONDS of
# audio through the daemon in a private PipeWire graph (own runtime dir, HOME and session bus;
# the user's session is never touched) and reports CPU seconds of halvexd per second of audio,
# read from /proc/<pid>/stat (utime + stime).
#
# usage: bench/daemon_cpu.sh [BUILD_DIR] [SECONDS] [QUANTUM]
#        (defaults: build, 30, the graph's own quantum; QUANTUM forces one, in frames)
set -euo pipefail

build_dir=$(realpath "${1:-build}")
seconds=${2:-30}
quantum=${3:-}
daemon="$build_dir/daemon/halvexd"
[ -x "$daemon" ] || { echo "error: $daemon not built" >&2; exit 1; }
for tool in pipewire wireplumber dbus-daemon pw-cli pw-play sox; do
  command -v "$tool" >/dev/null || { echo "error: $tool not installed" >&2; exit 1; }
done

base=$(mktemp -d /tmp/halvex-bench-XXXXXX)
chmod 700 "$base"
mkdir -p "$base/run" "$base/home/.config/halvex"
chmod 700 "$base/run"
pids=()
bus_pid=""
cleanup() {
  # Our own processes only, newest first, by pid.
  for (( i=${#pids[@]}-1; i>=0; i-- )); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  [ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null || true
  rm -rf "$base"
}
trap cleanup EXIT

unset PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR DISPLAY WAYLAND_DISPLAY HALVEX_TRACE_ROUTING
export XDG_RUNTIME_DIR="$base/run" HOME="$base/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_STATE_HOME="$HOME/.local/state" XDG_DATA_HOME="$HOME/.local/share"
{ read -r DBUS_SESSION_BUS_ADDRESS; read -r bus_pid; } < <(dbus-daemon --session --fork --nosyslog \
  --print-address=1 --print-pid=1 --address="unix:path=$XDG_RUNTIME_DIR/bus")
export DBUS_SESSION_BUS_ADDRESS

pipewire >"$base/pipewire.log" 2>&1 & pids+=($!)
until pw-cli info 0 >/dev/null 2>&1; do sleep 0.02; done
wireplumber >"$base/wireplumber.log" 2>&1 & pids+=($!)
until pw-cli ls Metadata 2>/dev/null | grep -q '"default"'; do sleep 0.05; done
[ -z "$quantum" ] || pw-metadata -n settings 0 clock.force-quantum "$quantum" >/dev/null
pw-cli create-node adapter '{ factory.name=support.null-audio-sink node.name=speakers
  node.description="Bench Speakers" media.class=Audio/Sink object.linger=true
  audio.position=[FL FR] priority.session=1000 }' >/dev/null
until pw-link -i | grep -q speakers:playback_FR; do sleep 0.02; done

signal="$base/signal.wav"
sox -n -r 48000 -c 2 -e floating-point -b 32 "$signal" synth "$seconds" pinknoise \
  gain -12

ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

printf "%-16s %10s %14s %10s\n" algorithm cpu_s cpu_s/audio_s "% core"
# "pass-through" (processing off) is the daemon's own cost: graph, guard and block copies.
for algorithm in pass-through echo_widener experimental deep_field matrix_surround matrix_steer; do
  if [ "$algorithm" = pass-through ]; then
    echo '{"enabled": false}' > "$HOME/.config/halvex/config.json"
  else
    printf '{"enabled": true, "spatial_algorithm": "%s"}\n' "$algorithm" \
      > "$HOME/.config/halvex/config.json"
  fi
  "$daemon" >/dev/null 2>"$base/halvexd-$algorithm.log" & daemon_pid=$!
  pids+=($daemon_pid)
  until [ -S "$XDG_RUNTIME_DIR/halvexd.sock" ] && pw-link -l 2>/dev/null | grep -q "halvex_dsp:output_FR"; do
    kill -0 "$daemon_pid" 2>/dev/null || { cat "$base/halvexd-$algorithm.log" >&2; exit 1; }
    sleep 0.05
  done
  before=$(cpu_ticks "$daemon_pid")
  pw-play --target halvex "$signal"
  after=$(cpu_ticks "$daemon_pid")
  kill -TERM "$daemon_pid"; wait "$daemon_pid" || true
  unset 'pids[${#pids[@]}-1]'
  awk -v t=$((after - before)) -v hz="$ticks" -v s="$seconds" -v a="$algorithm" \
    'BEGIN { c = t / hz; printf "%-16s %10.2f %14.4f %9.2f%%\n", a, c, c / s, 100 * c / s }'
done
