# Sourced by the scripts that run a build's programs: `build` from the first argument, made
# absolute, or the usage and exit 2.
build_dir_from_args() {
  build=${1:-}
  if [ -z "$build" ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
  fi
  build=$(cd "$build" && pwd) || exit 2
}
