#!/usr/bin/env bash
# Builds the .deb with CPack, installs it with dpkg, runs the installed
# /usr/bin/quadrant on Qt's offscreen platform against a private PulseAudio
# server until it shows up there as a client, ends it, and purges the
# package, checking that every file it brought has gone.
#
# dpkg -i needs root, as on the CI machine.  Anyone else gets the package
# unpacked into a scratch root instead, and the program run from there.
# A machine where Quadrant is already installed, from the package or by
# hand, is left alone: the test skips rather than replace or remove it.
#   check_deb.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
skip=77

fail() { echo "FAIL: $*" >&2; exit 1; }

tmp=$(mktemp -d /tmp/quadrant-deb-XXXXXX)
pulse_pid='' quadrant_pid='' installed=no
cleanup() {
  for pid in $quadrant_pid $pulse_pid; do
    kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
  [ "$installed" = yes ] && dpkg --purge quadrant >/dev/null 2>&1
  rm -rf "$tmp"
}
trap cleanup EXIT

# ---- the package
cpack --config "$build/CPackConfig.cmake" -B "$tmp/package" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log" >&2; fail "cpack could not build the package"; }
deb=$(find "$tmp/package" -maxdepth 1 -name 'quadrant_*.deb')
[ -f "$deb" ] || fail "cpack made no quadrant_*.deb"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# Computed from the ELF files: Qt for the window, SDL2 for the output,
# FFmpeg for the decoder module.
for library in libqt6widgets6 libsdl2-2.0-0 libavformat libswresample; do
  grep -q "$library" <<<"$depends" || fail "the package does not depend on $library"
done
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }')
grep -qx /usr/bin/quadrant <<<"$files" || fail "the package holds no /usr/bin/quadrant"

# ---- installed, or unpacked into a scratch root
if [ "$(id -u)" -eq 0 ]; then
  # One package test at a time on a machine, whichever build it comes from.
  exec 9>/tmp/quadrant-deb-test.lock
  flock 9
  if dpkg-query -W -f='${db:Status-Status}' quadrant 2>/dev/null | grep -qv '^not-installed$'; then
    echo "SKIP: the quadrant package is already on this machine" >&2
    exit $skip
  fi
  while read -r file; do
    if [ -e "$file" ]; then
      echo "SKIP: $file exists already; installing would overwrite it" >&2
      exit $skip
    fi
  done <<<"$files"
  installed=yes
  dpkg -i "$deb" >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log" >&2; fail "dpkg -i failed"; }
  root=''
else
  echo "not root: unpacking into a scratch root instead of dpkg -i"
  dpkg-deb -x "$deb" "$tmp/root"
  root=$tmp/root
fi
program=$root/usr/bin/quadrant
[ -x "$program" ] || fail "$program is not there after installing"

# ---- a private sound server, reached only through its own socket
pulse=$tmp/pulse
mkdir -p "$pulse"
export PULSE_SERVER=unix:$pulse/native PULSE_RUNTIME_PATH=$pulse PULSE_STATE_PATH=$pulse \
       PULSE_CONFIG_PATH=$pulse XDG_RUNTIME_DIR=$pulse
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
           --system=no --log-target=stderr \
           "--load=module-native-protocol-unix socket=$pulse/native auth-anonymous=1" \
           "--load=module-null-sink sink_name=speakers channels=2" 2>"$pulse/server.log" &
pulse_pid=$!

# Waits up to a minute for a condition; the bound only ends a hung run.
wait_for() {
  local tries=600
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}
wait_for pactl info >/dev/null 2>&1 || { cat "$pulse/server.log" >&2; fail "pulseaudio did not start"; }

# ---- the installed program, opening its window and its output
QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=pulseaudio "$program" >"$tmp/quadrant.log" 2>&1 &
quadrant_pid=$!
is_client() { pactl list clients 2>/dev/null | grep -q "application.process.id = \"$quadrant_pid\""; }
running() { kill -0 "$quadrant_pid" 2>/dev/null; }
started() { is_client || ! running; }
wait_for started || fail "quadrant never reached the sound server"
running || { cat "$tmp/quadrant.log" >&2; fail "quadrant ended by itself"; }
is_client || fail "quadrant is not a client of the sound server"

kill -TERM "$quadrant_pid"
status=0
wait "$quadrant_pid" || status=$?
quadrant_pid=''
[ "$status" -eq $((128 + 15)) ] || { cat "$tmp/quadrant.log" >&2; fail "quadrant ended with $status on SIGTERM"; }
gone() { ! pactl list clients 2>/dev/null | grep -q 'application.process.binary = "quadrant"'; }
wait_for gone || fail "quadrant's connection outlived it"

# ---- removed without a trace
if [ "$installed" = yes ]; then
  dpkg --purge quadrant >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log" >&2; fail "dpkg --purge failed"; }
  installed=no
  dpkg-query -W -f='${db:Status-Status}' quadrant 2>/dev/null | grep -qx 'not-installed' ||
    [ -z "$(dpkg-query -W quadrant 2>/dev/null)" ] || fail "dpkg still lists quadrant"
  while read -r file; do
    [ ! -e "$file" ] || fail "$file is left after purging"
  done <<<"$files"
fi
echo "package built, installed, run and removed: ok"
