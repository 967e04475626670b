#!/usr/bin/env bash
# Runs every test program through ctest (unit and private-graph integration suites), then a bounded
# libFuzzer run of each fuzz target.
# Usage: scripts/run-tests.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600
FUZZ_SECONDS=${FUZZ_SECONDS:-15} "$root/scripts/run-fuzz.sh" "$build/fuzz"
