#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and run Halvex. Idempotent.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  libpipewire-0.3-dev libspa-0.2-dev
  pipewire pipewire-bin wireplumber dbus dbus-x11 sox
  clang libclang-rt-14-dev systemd locales
  # tray
  libgtk-3-dev libglib2.0-dev libayatana-appindicator3-dev librsvg2-bin desktop-file-utils
  # visualizer
  libsdl2-dev libvulkan-dev glslang-tools glslc mesa-vulkan-drivers vulkan-tools vulkan-validationlayers
  libx11-dev  # renderer tests pull a window from under SDL
  libxcb1-dev libxcb-shm0-dev  # software frames shown through MIT-SHM
  # offline rendering of compressed files
  libsndfile1-dev libsoxr-dev libebur128-dev
  # test tools: displays, screenshots, D-Bus peers, test files
  xvfb xauth x11-utils imagemagick python3-dbusmock libnotify-bin playerctl ffmpeg xdotool
  # the Debian package: shlibdeps, checks of the package, its man pages, completion and metadata
  dpkg-dev file lintian man-db groff-base bash-completion appstream
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
