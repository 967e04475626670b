#!/usr/bin/env bash
# Builds the Debian package from the build tree, inspects it, installs it into this machine with
# apt, checks every installed program, unit, desktop file, man page and the completion, then
# purges it and checks that nothing of it is left. Installing needs root: without it the test is
# skipped (status 77). The package is removed on every way out, and one lock keeps two runs (from
# any build tree) from installing at once.
# Usage: package_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
programs=(halvex halvexd halvex-tray halvex-vis)
units=(halvexd.service halvex-vis.service)

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: installing the package needs root"
  exit 77
fi
for tool in cpack dpkg-deb lintian apt-get systemd-analyze desktop-file-validate appstreamcli man groff flock; do
  command -v "$tool" >/dev/null || { echo "missing tool: $tool (scripts/install-deps.sh)"; exit 1; }
done

lock_dir=/run/lock; [ -d "$lock_dir" ] || lock_dir=/tmp
exec 9>"$lock_dir/halvex-package-test.lock"
flock -w 900 9 || { echo "another package test holds the lock"; exit 1; }

if dpkg-query -W -f='${Status}' halvex 2>/dev/null | grep -q 'install ok installed'; then
  echo "SKIP: a halvex package is already installed here; not replacing it"
  exit 77
fi

scratch=$(mktemp -d)
installed=0
failures=0
cleanup() {
  if [ "$installed" -eq 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 halvex >/dev/null 2>&1 ||
      dpkg --purge halvex >/dev/null 2>&1 || echo "could not remove the halvex package: remove it by hand"
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
mkdir -p "$scratch/runtime" "$scratch/home" && chmod 700 "$scratch/runtime"

# --- build and inspect --------------------------------------------------------------------------
cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 || {
  cat "$scratch/cpack.log"; echo "FAIL: cpack"; exit 1; }
deb="$scratch/out/halvex_${version}_amd64.deb"
[ -f "$deb" ] || { ls "$scratch/out"; echo "FAIL: no $(basename "$deb")"; exit 1; }

contents=$(dpkg-deb -c "$deb" | sed -E 's|^.* \./|/|')  # file names may hold blanks
has() { grep -Eq "^$1\$" <<<"$contents" || fail "package lacks $1"; }
for p in "${programs[@]}"; do
  has "/usr/bin/$p"
  has "/usr/share/man/man1/$p\\.1\\.gz"
done
for u in "${units[@]}"; do has "/usr/lib/systemd/user/$u"; done
has '/etc/xdg/autostart/[^/]+\.desktop'
has '/usr/share/applications/[^/]+\.desktop'
has '/usr/share/icons/hicolor/.+/apps/halvex[^/]*\.(png|svg)'
has '/usr/share/metainfo/[^/]+\.metainfo\.xml'
has '/usr/share/halvex/presets/[^/]+\.milk'
has '/usr/share/bash-completion/completions/halvex'
for f in README.md copyright changelog.gz; do has "/usr/share/doc/halvex/$f"; done
outside=$(grep -Ev '^/(usr|etc)(/|$)' <<<"$contents" | grep -v '^/$' || true)
[ -z "$outside" ] || fail "files outside /usr and /etc: $outside"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = halvex ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', the project says $version"
[ "$(field Architecture)" = amd64 ] || fail "Architecture is '$(field Architecture)'"
contact=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/halvex/copyright |
  sed -n 's/^Upstream-Contact: //p')
[ -n "$contact" ] && [ "$(field Maintainer)" = "$contact" ] ||
  fail "Maintainer is '$(field Maintainer)', the project's contact '$contact'"
depends=$(field Depends)
for lib in libc6 libpipewire-0.3-0 libgtk-3-0 libsdl2-2.0-0 libvulkan1; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib (shlibdeps): $depends"
done
recommends=$(field Recommends)
for pkg in pipewire wireplumber vulkan; do
  grep -q "$pkg" <<<"$recommends" || fail "Recommends lacks $pkg: $recommends"
done

lintian_out=$(lintian --fail-on error "$deb" 2>&1) || fail "lintian reports errors:"$'\n'"$lintian_out"

# --- install, exactly one package -----------------------------------------------------------------
before=$(dpkg-query -W -f='${Package}\n' | sort)
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  -o DPkg::Lock::Timeout=300 "$deb" >"$scratch/apt.log" 2>&1 || {
  cat "$scratch/apt.log"; echo "FAIL: apt-get install"; exit 1; }
added=$(comm -13 <(echo "$before") <(dpkg-query -W -f='${Package}\n' | sort))
[ "$added" = halvex ] || fail "installing added more than halvex: $added"

# --- the installed programs ---------------------------------------------------------------------
run_env=(env -i PATH=/usr/bin:/bin HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime")
usage_of() {  # PROGRAM EXPECTED_STATUS: the usage text on standard error, with that status
  local status=0
  "${run_env[@]}" timeout 10 "/usr/bin/$1" --help >"$scratch/$1.out" 2>"$scratch/$1.err" || status=$?
  [ "$status" -eq "$2" ] || fail "$1 --help exits $status, expected $2"
  grep -q "^Usage: /usr/bin/$1" "$scratch/$1.err" || fail "$1 --help prints no usage: $(head -3 "$scratch/$1.err")"
}
usage_of halvexd 0
usage_of halvex 0
usage_of halvex-tray 1
usage_of halvex-vis 1
for p in "${programs[@]}"; do
  out=$("${run_env[@]}" timeout 10 "/usr/bin/$p" --version 2>&1) || fail "$p --version failed: $out"
  [ "$out" = "$p $version" ] || fail "$p --version says '$out', the package is $version"
done
[ ! -e "$scratch/runtime/halvexd.sock" ] || fail "halvexd --help left a control socket"
# A configuration file the daemon refuses shows that it runs and stops before touching PipeWire.
echo '{"wet_dry_ratio": 7}' >"$scratch/bad.json"
status=0
"${run_env[@]}" timeout 10 /usr/bin/halvexd --config "$scratch/bad.json" 2>"$scratch/halvexd.err" || status=$?
[ "$status" -eq 1 ] && grep -q '^halvexd: config error: wet_dry_ratio' "$scratch/halvexd.err" ||
  fail "halvexd with a bad config: status $status, $(cat "$scratch/halvexd.err")"

unit_paths=()
for u in "${units[@]}"; do unit_paths+=("/usr/lib/systemd/user/$u"); done
verify=$(XDG_RUNTIME_DIR="$scratch/runtime" systemd-analyze --user verify "${unit_paths[@]}" 2>&1) ||
  fail "systemd-analyze verify failed"
[ -z "$verify" ] || fail "systemd-analyze: $verify"
for u in "${units[@]}"; do
  exec_path=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "/usr/lib/systemd/user/$u" 2>/dev/null || true)
  [ -x "$exec_path" ] && [[ $exec_path == /usr/bin/* ]] || fail "$u starts '$exec_path'"
done

for d in $(dpkg -L halvex | grep '\.desktop$'); do
  out=$(desktop-file-validate "$d" 2>&1) || fail "desktop-file-validate $d: $out"
  [ -z "$out" ] || fail "desktop-file-validate $d: $out"
  program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$d")
  command -v "$program" | grep -q '^/usr/bin/' || fail "$d starts '$program', not an installed program"
  icon=$(sed -n 's/^Icon=//p' "$d")
  ls /usr/share/icons/hicolor/*/apps/"$icon".* >/dev/null 2>&1 || fail "$d shows icon '$icon', not installed"
done
autostart=$(dpkg -L halvex | grep '^/etc/xdg/autostart/.*\.desktop$' || true)
[ -n "$autostart" ] && grep -q '^Exec=.*--hidden' $autostart ||
  fail "no autostart entry that starts the tray hidden"
for m in $(dpkg -L halvex | grep '^/usr/share/metainfo/'); do
  appstreamcli validate --no-net "$m" >"$scratch/as.log" 2>&1 || { cat "$scratch/as.log"; fail "appstreamcli $m"; }
done

# --- man pages ----------------------------------------------------------------------------------
for p in "${programs[@]}"; do
  page=/usr/share/man/man1/$p.1.gz
  text=$(MANWIDTH=80 man -l "$page" 2>"$scratch/man.err") || fail "man -l $page"
  [ ! -s "$scratch/man.err" ] || fail "man -l $page: $(cat "$scratch/man.err")"
  grep -q '^NAME' <<<"$text" && grep -q "$p" <<<"$text" || fail "$page renders no NAME section"
  warnings=$(zcat "$page" | groff -ww -man -Tutf8 -z 2>&1)
  [ -z "$warnings" ] || fail "groff -ww $page: $warnings"
done
# Every key the installed tool lists (it reads the same table) is documented in halvex(1).
keys=$(sed -n '/retune live; keys:/,/^$/p' "$scratch/halvex.err" | tail -n +2 | tr ',' '\n' | tr -d ' ' | grep .)
[ "$(wc -l <<<"$keys")" -gt 20 ] || fail "could not read the key list from halvex --help"
for k in $keys; do
  zcat /usr/share/man/man1/halvex.1.gz | grep -qx ".B $k" || fail "halvex(1) does not document $k"
done

# --- bash completion, through bash-completion's own loader ---------------------------------------
complete_line() {  # the words of a command line; prints the completions of its last word
  mkdir -p "$scratch/files" && cd "$scratch/files"
  HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/runtime" bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _completion_loader halvex
    registration=$(complete -p halvex) || exit 3
    fn=${registration#*-F }; fn=${fn%% *}
    "$fn" halvex "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}" | sort' bash "$@"
}
expected=$(grep '^w' <<<"$keys" | sort)
got=$(complete_line halvex set w)
[ "$got" = "$expected" ] || fail "halvex set w<TAB> gives '$got', expected '$expected'"
grep -qx wet_dry_ratio <<<"$got" || fail "halvex set w<TAB> misses wet_dry_ratio"
got=$(complete_line halvex set spatial_algorithm matrix_)
[ "$got" = $'matrix_steer\nmatrix_surround' ] || fail "algorithm names after spatial_algorithm: '$got'"
got=$(complete_line halvex set output_device "")
[ "$got" = auto ] || fail "output_device without a daemon offers '$got', expected auto"
got=$(complete_line halvex preset "")
[ "$got" = "$(printf '%s\n' bind bindings delete fallback list load save unbind)" ] ||
  fail "halvex preset <TAB> gives '$got'"
got=$(complete_line halvex preset fallback "")
[ "$got" = none ] || fail "preset fallback without a daemon offers '$got', expected none"
# With a daemon answering (a stand-in that replies once), the device names come from it.
/usr/bin/python3 - "$scratch/runtime/halvexd.sock" <<'PY' &
import socket, sys
server = socket.socket(socket.AF_UNIX)
server.bind(sys.argv[1]); server.listen(1); server.settimeout(20)
connection, _ = server.accept()
connection.recv(4096)
connection.sendall(b"OK devices\tspeakers|Test Speakers|1000|1\talsa_output.usb-1:2|USB DAC|900|0\n")
connection.close()
PY
stand_in=$!
for _ in $(seq 100); do [ -S "$scratch/runtime/halvexd.sock" ] && break; sleep 0.05; done
got=$(complete_line halvex set output_device "")
wait "$stand_in" || fail "the completion did not ask the daemon for its devices"
[ "$got" = $'alsa_output.usb-1:2\nauto\nspeakers' ] || fail "output_device with a daemon offers '$got'"
rm -f "$scratch/runtime/halvexd.sock"
got=$(complete_line halvex re)
[ "$got" = $'reload\nrender' ] || fail "halvex re<TAB> gives '$got'"
got=$(complete_line halvex render --format f)
[ "$got" = flac ] || fail "render --format f<TAB> gives '$got'"
touch "$scratch/files/song.wav"
got=$(complete_line halvex --wav-in so)
[ "$got" = song.wav ] || fail "--wav-in so<TAB> gives '$got'"

# --- remove: nothing of it is left ----------------------------------------------------------------
files=$(dpkg -L halvex)
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 halvex >"$scratch/apt.log" 2>&1 || {
  cat "$scratch/apt.log"; fail "apt-get purge"; }
installed=0
if dpkg-query -W -f='${Status}' halvex 2>/dev/null | grep -q installed; then fail "still installed"; fi
while read -r f; do
  [ -d "$f" ] && [ ! -L "$f" ] && continue  # shared directories such as /usr/bin stay
  [ ! -e "$f" ] && [ ! -L "$f" ] || fail "left behind: $f"
done <<<"$files"
for d in /usr/share/halvex /usr/share/doc/halvex; do [ ! -e "$d" ] || fail "left behind: $d"; done
[ "$(dpkg-query -W -f='${Package}\n' | sort)" = "$before" ] || fail "the installed package set changed"

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "package $(basename "$deb") built, installed, checked and removed"
