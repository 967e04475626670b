#!/usr/bin/env bash
# Builds the whole tree with AddressSanitizer and UndefinedBehaviorSanitizer in its own folder and
# runs every ctest there: unit suites, private-graph integration suites and every program they
# start. Any report fails the run (-fno-sanitize-recover=undefined; ASan always halts).
#
# Usage: scripts/run-sanitized-tests.sh [BUILD_DIR]   (default: build-asan)
#
# Sanitizer options. The defaults below are exported for the build (gtest discovery runs the test
# programs) and for the tests (children inherit them). To change one, set the variable yourself:
# what you give is appended, and a later option wins, e.g.
#   ASAN_OPTIONS=detect_stack_use_after_return=1 scripts/run-sanitized-tests.sh
#   LSAN_OPTIONS=report_objects=1 scripts/run-sanitized-tests.sh
# Suppressions for third-party libraries live in scripts/sanitizers/ (lsan.supp for the leaks
# GTK, GLib, Mesa, PipeWire and friends leave at exit; ubsan.supp). Point at your own files with
# HALVEX_LSAN_SUPP / HALVEX_UBSAN_SUPP. Extra CMake options: HALVEX_ASAN_CMAKE_FLAGS; build jobs:
# HALVEX_JOBS (default 2).
#
# Tests that cannot run under AddressSanitizer at all are left out by name (HALVEX_ASAN_EXCLUDE,
# a ctest regular expression; empty runs everything):
# - ToolOffline.AnInputLargerThanTheMemoryLimitStreamsThrough caps the tool's address space with
#   RLIMIT_AS, and ASan reserves terabytes of shadow memory before main: the process cannot start.
# - SeamlessChanges measures clicks within a few dB of steady playback against the graph clock; a
#   sanitized engine runs several times slower, so its margins become the machine's, not the code's.
#   The cross-over's memory and thread safety stays covered here by the ProcessorCrossfade and
#   PwDaemon suites, which drive the same code without a clock.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-asan}
supp_dir=$root/scripts/sanitizers
lsan_supp=${HALVEX_LSAN_SUPP:-$supp_dir/lsan.supp}
ubsan_supp=${HALVEX_UBSAN_SUPP:-$supp_dir/ubsan.supp}

sanitize="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
launcher=()
if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi

# detect_leaks is on by default on x86-64; spelled out so nobody wonders. A suppressed leak is
# listed only when print_suppressions is asked for.
export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:check_initialization_order=1:detect_invalid_pointer_pairs=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$lsan_supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$ubsan_supp${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

exclude=${HALVEX_ASAN_EXCLUDE-ToolOffline.AnInputLargerThanTheMemoryLimitStreamsThrough|SeamlessChanges\\.}

# Optimised as the release is (-O2 -g): the live-audio suites run the engine against the graph
# clock and its real-time guard, and at -O1 the sanitized engine is too slow for them. Benchmarks
# measure nothing under a sanitizer, so they are not built.
# shellcheck disable=SC2086
cmake -S "$root" -B "$build" -G Ninja "${launcher[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" \
  -DCMAKE_CXX_FLAGS="$sanitize" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitize" -DCMAKE_SHARED_LINKER_FLAGS="$sanitize" \
  -DHALVEX_BUILD_BENCH=OFF ${HALVEX_ASAN_CMAKE_FLAGS:-} >/dev/null
cmake --build "$build" -j "${HALVEX_JOBS:-2}"
ctest --test-dir "$build" --output-on-failure -j2 --timeout 900 ${exclude:+-E "$exclude"}
