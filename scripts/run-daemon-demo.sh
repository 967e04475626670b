#!/bin/bash
# Runs halvexd for a demonstration. On the user's own PipeWire session when one answers; otherwise
# in a private graph (own runtime dir, session bus, pipewire, WirePlumber and a null "speakers"
# device) with processing on and a generated demo signal playing through it. Runs until Ctrl-C.
# Usage: scripts/run-daemon-demo.sh BUILD_DIR
set -u
. "$(dirname "$0")/lib/processes.sh"
. "$(dirname "$0")/lib/build_dir.sh"

build_dir_from_args "$@"
halvexd=$build/daemon/halvexd
halvex=$build/cli/halvex
for program in "$halvexd" "$halvex"; do
  if [ ! -x "$program" ]; then
    echo "missing $program: build it first (cmake --build $build --target halvexd halvex)" >&2
    exit 2
  fi
done

pids=()
scratch=""
cleanup() {
  trap - INT TERM EXIT
  stop_processes "${pids[@]}"
  [ -n "$scratch" ] && rm -rf "$scratch"
  echo "demo stopped"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

socket_answers() { "$halvex" status >/dev/null 2>&1; }

daemon_pid=""
start_daemon() {  # start_daemon LOGFILE
  "$halvexd" 2> >(tee "$1" >&2) &
  daemon_pid=$!
  pids+=($daemon_pid)
  # Another instance would answer too, so our own daemon must also still be alive.
  if ! wait_for 100 socket_answers || ! kill -0 "$daemon_pid" 2>/dev/null; then
    echo "halvexd did not come up" >&2
    exit 1
  fi
}

if pw-cli info 0 >/dev/null 2>&1; then
  echo "== your PipeWire session answers; running halvexd on it (your own config is used)"
  scratch=$(mktemp -d)
  start_daemon "$scratch/halvexd.log"
  runtime_hint=${XDG_RUNTIME_DIR:-}
else
  echo "== no PipeWire session answers; starting a private graph"
  scratch=$(mktemp -d /tmp/halvex-demo-XXXXXX)
  export XDG_RUNTIME_DIR=$scratch/run HOME=$scratch/home
  export XDG_CONFIG_HOME=$HOME/.config XDG_STATE_HOME=$HOME/.local/state XDG_DATA_HOME=$HOME/.local/share
  unset PIPEWIRE_REMOTE DBUS_SESSION_BUS_ADDRESS
  mkdir -p "$XDG_RUNTIME_DIR" "$HOME/.config/halvex" && chmod 700 "$XDG_RUNTIME_DIR"
  # Processing on from the start; every other setting at its default.
  echo '{ "enabled": true }' >"$HOME/.config/halvex/config.json"

  dbus-daemon --session --nofork --nosyslog --address="unix:path=$XDG_RUNTIME_DIR/bus" &
  pids+=($!)
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
  wait_for 50 test -S "$XDG_RUNTIME_DIR/bus" || { echo "dbus-daemon did not start" >&2; exit 1; }
  pipewire >"$scratch/pipewire.log" 2>&1 &
  pids+=($!)
  wait_for 100 pw-cli info 0 || { echo "pipewire did not start" >&2; exit 1; }
  wireplumber >"$scratch/wireplumber.log" 2>&1 &
  pids+=($!)
  wait_for 100 sh -c 'pw-cli ls Client | grep -q WirePlumber' ||
    { echo "wireplumber did not start" >&2; exit 1; }
  pw-cli create-node adapter '{ factory.name=support.null-audio-sink node.name=speakers
    node.description="Demo Speakers" media.class=Audio/Sink object.linger=true
    audio.position=[FL FR] priority.session=1000 }' >/dev/null
  wait_for 100 sh -c 'pw-link -i | grep -q speakers:playback_FR' ||
    { echo "the speakers device did not appear" >&2; exit 1; }

  start_daemon "$scratch/halvexd.log"
  runtime_hint=$XDG_RUNTIME_DIR

  # Ten seconds of a slow chord with a panned pulse, looped for as long as the demo runs.
  sox -n -r 48000 -b 32 -e floating-point -c 2 "$scratch/demo.wav" \
    synth 10 sine 220 sine 277 tremolo 0.5 60 fade 0.05 10 0.05 gain -9
  (while true; do pw-play --target halvex "$scratch/demo.wav" || sleep 1; done) &
  pids+=($!)
  sleep 1
fi

echo
echo "== halvex status"
"$halvex" status
echo "== halvex devices"
"$halvex" devices | tr '\t' '\n'
cat <<EOT

halvexd is running. Drive it from another terminal with:
  export XDG_RUNTIME_DIR=$runtime_hint
  $halvex status
  $halvex off            # pass-through
  $halvex on             # processing
  $halvex set spatial_algorithm echo_widener
  $halvex set wet_dry_ratio 0.5
  $halvex set output_device speakers
Press Ctrl-C to stop.
EOT
wait "$daemon_pid"
echo "halvexd exited with status $?" >&2
