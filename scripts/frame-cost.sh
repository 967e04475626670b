#!/bin/sh
# Prints the instructions per frame of each algorithm's offline render of full-scale stereo noise,
# counted by callgrind: unlike time, the count does not depend on what else the machine is doing. The cost
# of start-up and file handling is taken out by rendering two lengths and using the difference.
# Valgrind does not run AVX-512, so the figures are those of the x86-64-v3 build of each kernel.
# Usage: scripts/frame-cost.sh HALVEX [ALGORITHM...]
set -eu
bin=$1
shift
[ $# -gt 0 ] || set -- echo_widener experimental deep_field matrix_surround matrix_steer
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Full-scale noise, independent in the two channels (ambience, steering and sides all work).
noise=$(dirname "$0")/compare-renders.py
python3 "$noise" --write-noise "$tmp/short.wav" --seconds 1
python3 "$noise" --write-noise "$tmp/long.wav" --seconds 3
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$bin" --wav-in "$1" \
    --wav-out "$tmp/out.wav" --config "$2" 2>&1 >/dev/null | awk '/Collected :/ { print $NF }'
}
for algorithm in "$@"; do
  printf '{"spatial_algorithm": "%s"}\n' "$algorithm" > "$tmp/config.json"
  short=$(count "$tmp/short.wav" "$tmp/config.json")
  long=$(count "$tmp/long.wav" "$tmp/config.json")
  echo "$algorithm $short $long" | awk '{ printf "%-16s %7.0f instructions per frame\n", $1, ($3 - $2) / 96000 }'
done
