#!/bin/sh
# Runs a benchmark program pinned to one core several times and prints, per benchmark, its
# fastest run as time per frame and real-time factor: on a shared machine the fastest run is
# the least disturbed figure.
# Usage: scripts/bench-min.sh BENCH_BINARY [FILTER] [REPETITIONS]
set -eu
bin=$1
filter=${2:-.}
reps=${3:-5}
taskset -c 1 "$bin" --benchmark_filter="$filter" --benchmark_min_time=1 \
  --benchmark_repetitions="$reps" --benchmark_format=csv 2>/dev/null |
  awk -F, 'NR > 1 && $7 != "" {
    name = $1; gsub(/"/, "", name)
    if (name ~ /_(mean|median|stddev|cv)$/) next
    if (!(name in best) || $7 > best[name]) best[name] = $7
  } END {
    for (n in best) printf "%-44s %9.1f ns/frame %8.1fx real time\n", n, 1e9 / best[n], best[n] / 48000
  }' | sort
