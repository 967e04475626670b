#!/usr/bin/env bash
# Runs every test program through ctest (unit and private-graph integration suites), then the same
# suites again in a build with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan, see
# scripts/run-sanitized-tests.sh), then a bounded libFuzzer run of each fuzz target.
# Usage: scripts/run-tests.sh BUILD_DIR   (HALVEX_SANITIZE=0 leaves the sanitizer pass out)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
ctest --test-dir "$build" --output-on-failure -j2 --timeout 600
if [ "${HALVEX_SANITIZE:-1}" != 0 ]; then
  "$root/scripts/run-sanitized-tests.sh" "$root/build-asan"
fi
FUZZ_SECONDS=${FUZZ_SECONDS:-15} "$root/scripts/run-fuzz.sh" "$build/fuzz"
