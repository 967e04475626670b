#!/bin/sh
# Runs a benchmark program pinned to one core several times and prints, per benchmark that
# counts frames, its fastest run as time per frame and real-time factor: on a shared machine
# the fastest run is the least disturbed figure.
# Usage: scripts/bench-min.sh BENCH_BINARY [FILTER] [REPETITIONS]
set -eu
bin=$1
filter=${2:-.}
reps=${3:-5}
taskset -c 1 "$bin" --benchmark_filter="$filter" --benchmark_min_time=1 \
  --benchmark_repetitions="$reps" --benchmark_color=false 2>/dev/null |
  awk '$1 !~ /_(mean|median|stddev|cv)$/ && match($0, /items_per_second=[0-9.]+[kMG]?\/s/) {
    text = substr($0, RSTART + 17, RLENGTH - 19)
    rate = text + 0
    unit = substr(text, length(text))
    if (unit == "k") rate *= 1e3; else if (unit == "M") rate *= 1e6; else if (unit == "G") rate *= 1e9
    if (!($1 in best) || rate > best[$1]) best[$1] = rate
  } END {
    for (n in best) printf "%-44s %9.1f ns/frame %8.1fx real time\n", n, 1e9 / best[n], best[n] / 48000
  }' | sort
