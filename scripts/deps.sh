#!/usr/bin/env bash
# Installs the Debian packages Quadrant needs when any is missing.
#   deps.sh run    what building and running the player needs
#   deps.sh test   that, plus what the test suites use
#   deps.sh shots  that, plus what the window's screenshots are taken with
#   deps.sh bench  what the tests use, plus mpv, the benchmarks' outside
#                  baseline, run nowhere else
set -euo pipefail

build_packages=(cmake ninja-build make g++ pkg-config
                qt6-base-dev qt6-qpa-plugins qt6-wayland libgl-dev
                libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
                libsdl2-dev libpipewire-0.3-dev)
test_packages=(libgtest-dev ffmpeg sox pulseaudio pulseaudio-utils libpulse-dev
               pipewire pipewire-pulse wireplumber dbus dbus-bin playerctl python3-dbusmock weston
               xvfb xauth xdotool libx11-dev
               clang libclang-rt-14-dev
               desktop-file-utils appstream dpkg-dev lintian)

wanted=("${build_packages[@]}")
case "${1:-run}" in
  run) ;;
  test) wanted+=("${test_packages[@]}") ;;
  bench) wanted+=("${test_packages[@]}" mpv) ;;
  shots) wanted+=(libgtest-dev xvfb xauth x11-apps x11-utils xdotool ffmpeg) ;;
  *) echo "usage: $0 run|test|shots|bench" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
