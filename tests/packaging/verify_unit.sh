#!/bin/sh
# Installs the unit (DESTDIR into a scratch directory) and has systemd-analyze check it. Any
# diagnostic fails: systemd only warns, with status 0, about unknown keys and bad values.
# Usage: verify_unit.sh BUILD_DIR EXPECTED_EXECSTART [UNIT_FILE_NAME]
set -eu
build=$1
expected_exec=$2
name=${3:-halvexd.service}
program=$(basename "$expected_exec")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/runtime" && chmod 700 "$scratch/runtime"

DESTDIR="$scratch/root" cmake --install "$build" --component systemd >/dev/null
unit=$(find "$scratch/root" -path "*/lib/systemd/user/$name")
[ -n "$unit" ] || { echo "unit not installed under lib/systemd/user"; exit 1; }

exec_path=$(sed -n 's/^ExecStart=//p' "$unit")
[ "$exec_path" = "$expected_exec" ] || {
  echo "ExecStart is '$exec_path', expected the installed program '$expected_exec'"; exit 1; }
grep -qx 'Restart=on-failure' "$unit" || { echo "unit does not restart on failure"; exit 1; }

# systemd checks that ExecStart is executable; the program is not installed on this machine, so
# check a copy whose ExecStart names a stand-in at a scratch path.
mkdir -p "$scratch/bin"
printf '#!/bin/sh\nexit 0\n' >"$scratch/bin/$program" && chmod 755 "$scratch/bin/$program"
sed "s|^ExecStart=.*|ExecStart=$scratch/bin/$program|" "$unit" >"$scratch/$name"
# Its man page is not installed here either (the package test checks the unit with it).
out=$(XDG_RUNTIME_DIR="$scratch/runtime" systemd-analyze --user verify --man=no "$scratch/$name" 2>&1) || {
  echo "$out"; exit 1; }
[ -z "$out" ] || { echo "$out"; exit 1; }
echo "verified $unit"
