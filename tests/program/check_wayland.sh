#!/bin/sh
# The window on Qt's own Wayland platform (never XWayland) under a headless
# weston, with a private runtime directory and session bus: it starts with
# a file, shows its window to the compositor, plays (through the recording
# fake of libsona: the calls are the program tests' to judge) and quits
# when the desktop's player controls say so.
#   check_wayland.sh PROGRAM FAKE_LIBRARY_DIR
set -eu
program=$1 fake_dir=$2
tmp=$(mktemp -d /tmp/quadrant-wayland-XXXXXX)
weston_pid=''
cleanup() {
  [ -z "$weston_pid" ] || kill "$weston_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
  echo "check_wayland: $*" >&2
  cat "$tmp"/*.log >&2 || true
  exit 1
}

export XDG_RUNTIME_DIR=$tmp WAYLAND_DISPLAY=quadrant-test
weston --backend=headless-backend.so --socket="$WAYLAND_DISPLAY" --idle-time=0 >"$tmp/weston.log" 2>&1 &
weston_pid=$!
for _ in $(seq 100); do
  [ -S "$tmp/$WAYLAND_DISPLAY" ] && break
  sleep 0.1
done
[ -S "$tmp/$WAYLAND_DISPLAY" ] || fail "weston did not start"

# WAYLAND_DEBUG: the client's own record of what it asked of the compositor.
QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=1 LD_LIBRARY_PATH=$fake_dir PROGRAM=$program \
  dbus-run-session -- sh -c '
    "$PROGRAM" "$XDG_RUNTIME_DIR/song.flac" 2>"$XDG_RUNTIME_DIR/quadrant.log" &
    pid=$!
    status=""
    for _ in $(seq 100); do
      status=$(playerctl -p quadrant status 2>/dev/null || true)
      [ "$status" = Playing ] && break
      sleep 0.1
    done
    [ "$status" = Playing ] || { echo "not playing: $status" >&2; kill $pid; exit 1; }
    dbus-send --session --print-reply --dest=org.mpris.MediaPlayer2.quadrant /org/mpris/MediaPlayer2 \
      org.mpris.MediaPlayer2.Quit >/dev/null
    wait $pid' || fail "the window did not play and quit on Wayland"

grep -q 'xdg_toplevel@[0-9]*\.set_title("Form1")' "$tmp/quadrant.log" ||
  fail "no Form1 window reached the compositor"
grep -q 'wl_surface@[0-9]*\.commit()' "$tmp/quadrant.log" || fail "the window was never drawn"
echo "check_wayland: Form1 played on Wayland and quit"
