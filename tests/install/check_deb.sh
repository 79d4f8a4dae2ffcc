#!/usr/bin/env bash
# The packages as Debian installs them: the library and the program that
# CPack made installed by apt without the -dev package, and the installed
# quadrant run until it is a client of a private PulseAudio server with its
# decoder loaded; then the -dev package, and the libsona example built
# against it and played; quadrant removed with the library kept, then all
# three purged without a trace.
#
# It all happens in a mount namespace of its own, over overlays of /usr,
# /etc and /var that go with it: the machine never sees the packages, so
# the tests beside this one that want no libsona on the system, and a
# Quadrant installed by hand, are left as they were.  That needs root.
#   check_deb.sh DEB_DIR SOURCE_DIR C_COMPILER LIB_PACKAGE DEV_PACKAGE PROGRAM_PACKAGE
set -euo pipefail
deb_dir=$(cd "$1" && pwd) source=$2 cc=$3 lib=$4 dev=$5 program=$6
skip=77
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ -z "${QUADRANT_DEB_SANDBOX:-}" ]; then
  if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null; then
    echo "SKIP: installing packages in a private mount namespace needs root" >&2
    exit $skip
  fi
  tmp=$(mktemp -d /tmp/quadrant-deb-XXXXXX)
  trap 'rm -rf "$tmp"' EXIT
  status=0
  QUADRANT_DEB_SANDBOX=$tmp unshare --mount --propagation private "$0" "$@" || status=$?
  exit $status
fi

tmp=$QUADRANT_DEB_SANDBOX
for dir in usr etc var; do
  mkdir -p "$tmp/upper/$dir" "$tmp/work/$dir"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$tmp/upper/$dir,workdir=$tmp/work/$dir" "/$dir"
done
pulse_pid='' quadrant_pid=''
cleanup() {
  for pid in $quadrant_pid $pulse_pid; do
    kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  done
}
trap cleanup EXIT
unset LD_LIBRARY_PATH PKG_CONFIG_PATH
export DEBIAN_FRONTEND=noninteractive
# man-db's trigger indexes every manual page on the machine again, seconds
# each time, for an index that goes with the sandbox.
rm -f /var/lib/man-db/auto-update

# ---- the packages and what they need
debs=() paths=()
for package in "$lib" "$dev" "$program"; do
  deb=$(echo "$deb_dir/${package}"_*.deb)
  [ -f "$deb" ] || fail "no package $package in $deb_dir"
  debs+=("$deb")
  # Every path the package brings that the system lacks now must go with it.
  while read -r path; do
    [ -e "$path" ] || [ -L "$path" ] || paths+=("$path")
  done < <(dpkg-deb -c "$deb" | awk '{ sub(/^\./, "", $6); sub(/\/$/, "", $6); if ($6 != "") print $6 }')
done
version=$(dpkg-deb -f "${debs[0]}" Version)
# dpkg-shlibdeps' FFmpeg for the decoder, Qt for the window; SDL2 named by
# hand, being loaded at run time; and the library of this very version.
depends_on() {
  local deb=$1 depends
  depends=$(dpkg-deb -f "$deb" Depends)
  shift
  for wanted in "$@"; do
    grep -qF "$wanted" <<<"$depends" || fail "$(basename "$deb") does not depend on $wanted: $depends"
  done
}
depends_on "${debs[0]}" libsdl2-2.0-0 libavformat libswresample
depends_on "${debs[1]}" "$lib (= $version)"
depends_on "${debs[2]}" "$lib (= $version)" libqt6widgets6

# The program needs the library alone: no -dev package, so no libsona.so.
apt-get install -y --no-install-recommends "${debs[0]}" "${debs[2]}" >"$tmp/apt.log" 2>&1 ||
  { cat "$tmp/apt.log" >&2; fail "apt could not install $lib and $program"; }
# Where ldconfig's cache, which the library's trigger renews, finds libsona.so.1.
cached_sona() { ldconfig -p | sed -n 's/^\tlibsona\.so\.1 .*=> //p'; }
[ -f "$(cached_sona)" ] || fail "ldconfig's cache does not list libsona.so.1"
[ ! -e "$(dirname "$(cached_sona)")/libsona.so" ] || fail "libsona.so is there without $dev"

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
QT_QPA_PLATFORM=offscreen SDL_AUDIODRIVER=pulseaudio /usr/bin/quadrant >"$tmp/quadrant.log" 2>&1 &
quadrant_pid=$!
is_client() { pactl list clients 2>/dev/null | grep -q "application.process.id = \"$quadrant_pid\""; }
running() { kill -0 "$quadrant_pid" 2>/dev/null; }
started() { is_client || ! running; }
wait_for started || fail "quadrant never reached the sound server"
running || { cat "$tmp/quadrant.log" >&2; fail "quadrant ended by itself"; }
# Connected, the library loads its decoder from the package's private place.
decoder_loaded() { grep -q "$(dirname "$(cached_sona)")/sona/libsona-ffmpeg\.so" "/proc/$quadrant_pid/maps"; }
wait_for decoder_loaded || fail "quadrant never loaded the decoder from $lib"
kill -TERM "$quadrant_pid"
status=0
wait "$quadrant_pid" || status=$?
quadrant_pid=''
[ "$status" -eq $((128 + 15)) ] || { cat "$tmp/quadrant.log" >&2; fail "quadrant ended with $status on SIGTERM"; }

# ---- the example, built against the -dev package
apt-get install -y --no-install-recommends "${debs[1]}" >"$tmp/apt.log" 2>&1 ||
  { cat "$tmp/apt.log" >&2; fail "apt could not install $dev"; }
# shellcheck disable=SC2046 # pkg-config's words are meant to split
"$cc" -std=c11 -Wall -Werror "$source/examples/sona_play.c" $(pkg-config --cflags --libs sona) \
  -o "$tmp/sona_play" || fail "the example does not build against $dev"
sox -n -r 44100 -c 2 "$tmp/tone.wav" synth 0.5 sine 440
SDL_AUDIODRIVER=dummy "$tmp/sona_play" "$tmp/tone.wav" </dev/null ||
  fail "the example did not play a WAV file with the installed libsona"

# ---- removed: the program alone, then everything
installed() { [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]; }
apt-get remove -y "$program" >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log" >&2; fail "apt could not remove $program"; }
installed "$lib" && [ -f "$(cached_sona)" ] ||
  fail "removing $program took $lib with it"
apt-get purge -y "$dev" "$lib" >"$tmp/apt.log" 2>&1 ||
  { cat "$tmp/apt.log" >&2; fail "apt could not purge the packages"; }
for package in "$lib" "$dev" "$program"; do
  ! installed "$package" || fail "dpkg still lists $package"
done
for path in "${paths[@]}"; do
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path is left after purging"
done
[ -z "$(cached_sona)" ] || fail "ldconfig's cache still lists libsona.so.1"
echo "packages installed, built against, run and removed: ok"
