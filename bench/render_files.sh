#!/usr/bin/env bash
# Offline rendering at the scale of a music library, measured on the built halvex:
#  1. peak memory (max RSS) and speed of one 20-minute file: a 44.1 kHz FLAC to FLAC (resampled
#     both ways) and a 48 kHz WAV to WAV;
#  2. album throughput: ALBUM_TRACKS tracks of TRACK_SECONDS each (44.1 kHz FLAC), rendered with
#     `halvex render --jobs 1` and `--jobs 2`; the outputs must be byte-identical.
# Real-time factors are seconds of audio per wall-clock second (and per CPU second for the single
# files); on a shared machine the wall-clock figures depend on what else runs.
#
# usage: bench/render_files.sh [BUILD_DIR]     (default: build)
set -euo pipefail

build_dir=$(realpath "${1:-build}")
tool="$build_dir/cli/halvex"
[ -x "$tool" ] || { echo "error: $tool not built" >&2; exit 1; }
for t in sox /usr/bin/time; do command -v "$t" >/dev/null || { echo "error: $t not installed" >&2; exit 1; }; done
minutes=${MINUTES:-20}
tracks=${ALBUM_TRACKS:-6}
track_seconds=${TRACK_SECONDS:-150}

work=$(mktemp -d /tmp/halvex-render-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

# Music-like test signal: plucked notes over pink noise, different in each channel.
make_music() {  # FILE RATE SECONDS
  sox -n -r "$2" -c 2 -b 16 "$1" synth "$3" pluck C3 pluck E4 synth "$3" pinknoise mix vol 0.4 2>/dev/null
}

# measure NAME IN OUT: one render under /usr/bin/time; prints max RSS and real-time factors.
measure() {
  local name=$1 in=$2 out=$3 seconds
  seconds=$(soxi -D "$in")
  /usr/bin/time -f '%M %e %U %S' -o "$work/time" "$tool" --wav-in "$in" --wav-out "$out" 2>"$work/err" >/dev/null
  read -r rss_kb wall user sys <"$work/time"
  awk -v n="$name" -v kb="$rss_kb" -v w="$wall" -v u="$user" -v s="$sys" -v a="$seconds" 'BEGIN {
    printf "%-28s peak RSS %6.1f MiB   %5.1fx real time (wall %.1f s)   %5.1fx per CPU second\n",
           n, kb / 1024, a / w, w, a / (u + s) }'
}

echo "render_files: making a ${minutes}-minute file at 44.1 kHz (FLAC) and 48 kHz (WAV)"
make_music "$work/long44.flac" 44100 $((minutes * 60))
make_music "$work/long48.wav" 48000 $((minutes * 60))
measure "${minutes} min 44.1 kHz FLAC->FLAC" "$work/long44.flac" "$work/out44.flac"
measure "${minutes} min 48 kHz WAV->WAV" "$work/long48.wav" "$work/out48.wav"
rm -f "$work"/long* "$work"/out*

echo "render_files: album of $tracks tracks x ${track_seconds} s (44.1 kHz FLAC)"
mkdir -p "$work/album"
for i in $(seq 1 "$tracks"); do make_music "$work/album/track$i.flac" 44100 "$track_seconds"; done
audio=$((tracks * track_seconds))
for jobs in 1 2; do
  start=$(date +%s.%N)
  "$tool" render --out-dir "$work/out$jobs" --jobs "$jobs" "$work"/album/*.flac 2>/dev/null
  end=$(date +%s.%N)
  awk -v j="$jobs" -v a="$audio" -v s="$start" -v e="$end" 'BEGIN {
    printf "album --jobs %d: %6.1f s wall, %5.1fx real time\n", j, e - s, a / (e - s) }'
  echo "$start $end" >"$work/span$jobs"
done
read -r s1 e1 <"$work/span1"
read -r s2 e2 <"$work/span2"
awk -v a="$s1" -v b="$e1" -v c="$s2" -v d="$e2" 'BEGIN { printf "album speed-up, 2 jobs over 1: %.2fx\n", (b - a) / (d - c) }'
for f in "$work"/out1/*; do cmp -s "$f" "$work/out2/$(basename "$f")" || { echo "error: $f differs between --jobs 1 and 2" >&2; exit 1; }; done
echo "render_files: outputs byte-identical across --jobs"
