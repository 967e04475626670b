#!/usr/bin/env bash
# Builds every tests/fuzz/*_fuzz.cpp as a libFuzzer program (ASan + UBSan), seeds it with a small
# generated corpus and runs it for FUZZ_SECONDS (default 20). Exits non-zero on the first crash.
# Usage: scripts/run-fuzz.sh [WORK_DIR]   (default: build-fuzz)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-20}
mkdir -p "$work"
work=$(cd "$work" && pwd)  # the runs below change directory

# Sources each fuzz target needs besides itself.
sources_for() {
  case "$1" in
    config_fuzz) ls "$root"/core/config/*.cpp ;;
    wav_fuzz) echo "$root/cli/wav_io.cpp $root/cli/input_file.cpp" ;;
    audio_reader_fuzz) echo "$root/cli/wav_io.cpp $root/cli/input_file.cpp $root/cli/wav_source.cpp $root/cli/sndfile_source.cpp -lsndfile" ;;
    eel_fuzz)
      echo "$root/vis/number_conversion.cpp $root/vis/preset.cpp $root/vis/preset_custom.cpp"
      ls "$root"/vis/eel_*.cpp "$root"/vis/custom_*.cpp
      ;;
    preset_fuzz)
      echo "$root/vis/preset.cpp $root/vis/preset_custom.cpp $root/vis/mesh.cpp"
      echo "$root/vis/number_conversion.cpp"
      ls "$root"/vis/eel_*.cpp "$root"/vis/custom_*.cpp
      ;;
    control_fuzz)
      ls "$root"/core/config/*.cpp
      echo "$root/daemon/line_collector.cpp $root/daemon/control_service.cpp $root/daemon/routing_policy.cpp $root/daemon/preset_service.cpp"
      echo "$root/core/ipc/control_words.cpp $root/core/ipc/control_replies.cpp $root/core/ipc/preset_replies.cpp"
      ;;
    *) return 1 ;;
  esac
}

le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $((($1 >> 16) & 65535)); }

# wav FILE TAG CHANNELS RATE BITS DATA_BYTES: a minimal fmt + data file with a fixed payload.
wav() {
  local file=$1 tag=$2 ch=$3 rate=$4 bits=$5 n=$6
  {
    printf 'RIFF'; le32 $((36 + n)); printf 'WAVEfmt '; le32 16
    le16 "$tag"; le16 "$ch"; le32 "$rate"; le32 $((rate * ch * bits / 8)); le16 $((ch * bits / 8)); le16 "$bits"
    printf 'data'; le32 "$n"
    printf "%*s" "$n" "" | tr " " "U"
  } >"$file"
}

seed_wav_fuzz() {
  local dir=$1
  wav "$dir/pcm16" 1 2 48000 16 64
  wav "$dir/pcm24" 1 1 44100 24 48
  wav "$dir/pcm32" 1 2 48000 32 64
  wav "$dir/float32" 3 2 48000 32 64
  wav "$dir/float64" 3 1 96000 64 64
  wav "$dir/pcm8" 1 1 8000 8 16
  { printf 'RIFF'; le32 100; printf 'WAVEJUNK'; le32 3; printf 'abc\0'; } >"$dir/junk_only"
  { cat "$dir/pcm16"; printf 'LIST'; le32 5; printf 'INFOx\0'; } >"$dir/trailing_list"
  head -c 30 "$dir/pcm16" >"$dir/truncated"
}

# Small files of each format libsndfile reads, made by sox when it is there, and the WAV seeds.
seed_audio_reader_fuzz() {
  local dir=$1
  seed_wav_fuzz "$dir"
  command -v sox >/dev/null || return 0
  for f in flac ogg aiff w64 au; do
    sox -n -r 8000 -c 1 -b 16 "$dir/tone.$f" synth 0.05 sine 440 2>/dev/null || true
  done
  sox -n -r 44100 -c 2 "$dir/stereo.flac" synth 0.02 sine 440 sine 660 2>/dev/null || true
}

seed_config_fuzz() {
  local dir=$1
  printf '{}' >"$dir/empty"
  printf '{"wet_dry_ratio": 0.5, "spatial_algorithm": "echo_widener", "haas_channel": "L"}' >"$dir/keys"
  printf '{"bands": [{"freq_hz": 100, "l_base_ms": 1.5, "r_base_ms": 2}], "tap_volumes": [1,2,3,4]}' >"$dir/arrays"
  printf '{"enabled": true, "output_device": "alsa_output.pci-0000", "bit_depth": 24.9}' >"$dir/types"
  printf '[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]' >"$dir/deep"
}

seed_eel_fuzz() {
  local dir=$1
  printf 'zoom = zoom + 0.03*rad*bass;' >"$dir/assign"
  printf 'a = 2 b = 3; x = (a + b) * -c %% 4 & 7 | 1; y = z = if(above(a, b), sin(x), cos(y))' >"$dir/ops"
  printf 'x = megabuf(3) + foo(1, 2) + rand(10) + int(-1.5) + pow(-1, 0.5) // note\n y = 1e-3' >"$dir/calls"
  printf 'x = sin(1, 2' >"$dir/broken"
  printf 'x = ((((((((((((((((((((1))))))))))))))))))))' >"$dir/nested"
  printf 'x = .; y = 1.5.5' >"$dir/dots"
}

seed_preset_fuzz() {
  local dir=$1
  local p
  for p in "$root"/vis/presets/*.milk; do
    cp "$p" "$dir/$(basename "$p" .milk | tr -c 'A-Za-z0-9\n' '_')"
  done
  printf '[preset00]\nfDecay=abc\nnWaveMode=1e30\nbInvert=nan\nper_frame_10=x=1\nper_frame_9=y=(\n' >"$dir/odd"
  printf 'warp_1=`shader\nper_pixel_1=zoom=megabuf(1)\nper_frame_init_=q = 1 // c\n' >"$dir/shaders"
  printf 'wavecode_0_enabled=1\nwavecode_0_samples=-4\nwavecode_0_sep=1e9\nwave_0_per_point1=x=0/0;y=sample\nshapecode_3_enabled=1\nshapecode_3_sides=1e30\nshape_3_per_frame1=rad=sqrt(-1);sides=0\n' >"$dir/custom"
}

seed_control_fuzz() {
  local dir=$1
  printf 'status\r\n' >"$dir/status_crlf"
  printf 'set wet_dry_ratio\nset wet_dry_ratio 0.5 extra\nSTATUS\n' >"$dir/set_words"
  printf 'set spatial_algorithm matrix_steer\nset haas_delay_ms 99\nreload\nstatus' >"$dir/sequence"
  printf 'off\ndevices\non\n\n \t \v\f\n' >"$dir/switches"
  printf 'latency\nset quantum 300\nset quantum -256\nset quantum 99999999999\nset quantum 0\n' >"$dir/latency"
  printf 'set bands 1\nset output_device a|b\nset centre_width nan\nset bass -0x1p3\n' >"$dir/odd_values"
  printf 'preset save a\nset distance 3\npreset\npreset load a\npreset list\npreset delete a\n' >"$dir/presets"
  printf 'preset save ../x\npreset save .h\npreset bind dev a\npreset fallback a\npreset bindings\npreset unbind dev\n' >"$dir/bindings"
  printf 'bypass add Voice  Chat\nbypass list\nbypass remove Voice Chat\nstreams\n' >"$dir/bypass"
  { printf 'set treble_shelf_hz '; printf "%*s" 5000 "" | tr " " "9"; printf '\nstatus\n'; } >"$dir/long_line"
  { printf 'set wet_dry_ratio '; printf "%*s" 4075 ""; printf '0.25\nstatus\n'; } >"$dir/cut_value"
}

status=0
for src in "$root"/tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  if ! extra=$(sources_for "$name"); then
    echo "run-fuzz: no source list for $name (add it to sources_for)" >&2
    exit 2
  fi
  echo "run-fuzz: building $name"
  # shellcheck disable=SC2086
  clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root" "$src" $extra -o "$work/$name"

  corpus="$work/$name.corpus"
  rm -rf "$corpus"
  mkdir -p "$corpus"
  "seed_$name" "$corpus"

  echo "run-fuzz: running $name for ${seconds}s"
  if ! (cd "$work" && "./$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$corpus" >"$work/$name.log" 2>&1); then
    echo "run-fuzz: $name FAILED; last lines of $work/$name.log:" >&2
    tail -n 30 "$work/$name.log" >&2
    status=1
  else
    echo "run-fuzz: $name ok ($(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/$name.log" | grep -o '[0-9]*$') runs)"
  fi
done
exit $status
