#!/usr/bin/env bash
# Pictures of the main window for docs/: form1-96dpi.png at 96 DPI and
# form1-192dpi.png at 192 DPI (Qt scaling by 2, as a 192-DPI desktop does),
# each on a fresh Xvfb server, so the pictures are the same on any machine
# with the same Debian fonts.  Installs what is missing, with sudo when not
# root.  The window talks to the recording fake of libsona: the picture does
# not depend on the library, and the fake needs no sound device.  The fake
# plays a song it makes up, paused two minutes in, so that the picture has
# the Pause button's work and the line under the controls in it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-screenshot

if [ "${1:-}" = --inside-xvfb ]; then
  out=$2 scale=$3
  env -u QT_QPA_PLATFORM -u QT_SCALE_FACTOR -u QT_SCREEN_SCALE_FACTORS -u QT_FONT_DPI \
      -u DBUS_SESSION_BUS_ADDRESS QT_SCALE_FACTOR="$scale" LD_LIBRARY_PATH="$build/tests/program/fake" \
      FAKE_SONA_SHOW="Morning Song;271;123" "$build/bin/quadrant" /music/morning-song.flac &
  pid=$!
  dump=$(mktemp)
  trap 'kill "$pid" 2>/dev/null || true; rm -f "$dump"' EXIT
  for _ in $(seq 100); do
    xwininfo -name Form1 2>/dev/null | grep -q IsViewable && break
    sleep 0.1
  done
  # The Pause button, pressed: the line then says so.
  xdotool search --sync --onlyvisible --name '^Form1$' windowfocus --sync key space
  sleep 1 # mapped is not yet painted
  # ffmpeg reads an X window dump from a file, not from a pipe.
  xwd -name Form1 -silent -out "$dump"
  ffmpeg -loglevel error -y -f xwd_pipe -i "$dump" -pix_fmt rgb24 "$out"
  exit 0
fi

scripts/deps.sh shots

cmake -S . -B "$build" -DBUILD_TESTING=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target quadrant fake

mkdir -p docs
for shot in "96 1" "192 2"; do
  read -r dpi scale <<<"$shot"
  xvfb-run -a -s "-screen 0 1280x800x24 -dpi $dpi" \
    "$0" --inside-xvfb "docs/form1-${dpi}dpi.png" "$scale"
  echo "docs/form1-${dpi}dpi.png"
done
