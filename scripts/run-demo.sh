#!/usr/bin/env bash
# Renders a generated demo signal through the default engine with the offline mode of halvex and
# says where the input and the result are. Needs no daemon and no sound card.
# Usage: scripts/run-demo.sh BUILD_DIR
set -euo pipefail

build=${1:-}
if [ -z "$build" ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$build" && pwd)
halvex=$build/cli/halvex
if [ ! -x "$halvex" ]; then
  echo "missing $halvex: build it first (cmake --build $build --target halvex)" >&2
  exit 2
fi
if ! command -v sox >/dev/null; then
  echo "sox is needed to make the demo signal (scripts/install-deps.sh installs it)" >&2
  exit 2
fi

out_dir=$build/demo
mkdir -p "$out_dir"
input=$out_dir/demo-in.wav
output=$out_dir/demo-out.wav

# Eight seconds of 48 kHz stereo: a plucked arpeggio on the left, a soft pad on the right, a
# little pink noise in both, so the widening and the field have something to work on.
sox -q -D -n -r 48000 -b 16 -c 1 "$out_dir/left.wav" \
  synth 0.5 pluck C3 gain -4 : synth 0.5 pluck E3 gain -4 : synth 0.5 pluck G3 gain -4 : synth 0.5 pluck C4 gain -4 repeat 3
sox -q -D -n -r 48000 -b 16 -c 1 "$out_dir/right.wav" synth 8 sine 196 sine 247 tremolo 0.5 40 gain -14
sox -q -D -n -r 48000 -b 16 -c 1 "$out_dir/noise.wav" synth 8 pinknoise gain -30
sox -q -D -M "$out_dir/left.wav" "$out_dir/right.wav" "$out_dir/noise.wav" "$input" remix 1,3 2,3 fade 0.05 8 0.3
rm -f "$out_dir/left.wav" "$out_dir/right.wav" "$out_dir/noise.wav"

"$halvex" --wav-in "$input" --wav-out "$output"

echo
echo "demo input:  $input"
echo "demo result: $output (32-bit float, default engine)"
echo "listen with: play $output   (or: pw-play $output)"
