# Shared by desktop.sh and pipewire.sh, which set root, build, work,
# seconds and reps before sourcing it: the cleanup, the packages, the
# build, the files every player plays, Xvfb, the busy cores, and the clock
# and /proc readings each measure is made of.

# Everything start() started, the sound server (PulseAudio's pid, or the
# PipeWire holder's, whose stdin on descriptor 5 keeps it up) and Xvfb go
# with the script, and so does its scratch directory.
pids=()
cleanup() {
  exec 5>&-
  for pid in "${pids[@]}" ${pulse_pid:-} ${server_pid:-} ${xvfb_pid:-}; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb, the sound servers, xdotool's libXtst and ffmpeg (ffplay) come with
# the test tools, mpv with the benchmarks.
"$root/scripts/deps.sh" bench

build_bench() { # TARGETS...: built in Release in $build, its libsona the one loaded
  echo "== building (Release) in $build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j"${JOBS:-2}" --target "$@" >/dev/null
  export LD_LIBRARY_PATH=$build/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
}

# What the figures depend on, for the table they go in.
describe_run() {
  local commit dirty
  commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
  dirty=$(git -C "$root" status --porcelain -- sona ui playback audio 2>/dev/null | wc -l)
  echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), commit $commit ($dirty changed files under" \
    "sona ui playback audio), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
}

make_files() {
  echo "== generating files in $work"
  # The same music as run.sh, long enough for a CPU interval; a steady tone,
  # whose level is easy to read off the monitor, for the latencies.
  music_s=$((seconds + 30 > 120 ? seconds + 30 : 120))
  ffmpeg -nostdin -v error -y \
    -f lavfi -i "anoisesrc=c=pink:a=0.15:d=$music_s:r=44100:s=7" \
    -f lavfi -i "aevalsrc=0.2*sin(2*PI*220*t)+0.15*sin(2*PI*277.2*t)+0.1*sin(2*PI*329.6*t)|0.2*sin(2*PI*220*t)+0.1*sin(2*PI*440*t):s=44100:d=$music_s" \
    -filter_complex "[0]aformat=channel_layouts=mono,pan=stereo|c0=c0|c1=0.8*c0[n];[n][1]amix=inputs=2:normalize=0" \
    -c:a libmp3lame -b:a 192k "$work/music.mp3"
  ffmpeg -nostdin -v error -y -f lavfi -i "sine=f=440:r=44100:d=$((reps * 2 + 60))" \
    -af "volume=0.5,pan=stereo|c0=c0|c1=c0" -c:a libmp3lame -b:a 192k "$work/tone.mp3"
  ffmpeg -nostdin -v error -y -f lavfi -i "sine=f=440:r=44100:d=0.5" \
    -af "volume=0.5,pan=stereo|c0=c0|c1=c0" -c:a libmp3lame -b:a 192k "$work/short.mp3"
}

# Xvfb picks a free display itself and names it in $work/display once it
# accepts clients; slow to come up when the machine is busy, a minute is
# plenty.
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 600); do
    [ -s "$work/display" ] && break
    sleep 0.1
  done
  [ -s "$work/display" ] || { cat "$work/xvfb.log" >&2; echo "Xvfb did not start" >&2; exit 1; }
  export DISPLAY=:$(head -1 "$work/display")
}

clk=$(getconf CLK_TCK)
now() { date +%s.%N; }
# A process that ended early leaves its figures empty, says why, and the
# run goes on with the other measures.
declare -A err_of
alive() {
  [ -r "/proc/$1/status" ] && return 0
  local status=0
  wait "$1" 2>/dev/null || status=$?
  echo "!! process $1 ended early (status $status):" \
    "$(grep -v QStandardPaths "${err_of[$1]}" | tail -3 | tr '\n' ' ')" >&2
  return 1
}
ticks() { # utime + stime of a process, its ended threads included
  alive "$1" && sed -E 's/^.*\) //' "/proc/$1/stat" | awk '{ print $12 + $13 }' || true
}
hwm_kib() { alive "$1" && awk '/^VmHWM/ { print $2 }' "/proc/$1/status" || true; }
start() { # start PROGRAM ARGS...: runs it in the background, its pid in $started
  local err=$work/err.${#pids[@]}
  "$@" </dev/null >/dev/null 2>"$err" &
  started=$!
  pids+=("$started")
  err_of[$started]=$err
}
finish() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
percent() { # percent T0 T1 TICKS0 TICKS1: percent of one core
  awk -v a="$1" -v b="$2" -v c="$3" -v d="$4" -v hz="$clk" \
    'BEGIN { if (c == "" || d == "") print "-"; else printf "%.3f\n", (d - c) / hz / (b - a) * 100 }'
}
stats() { # stats [DIGITS]: median and worst of the numbers on stdin
  grep -E '^[0-9.]+$' | sort -n | awk -v d="${1:-1}" '{ v[NR] = $1 } END {
    f = "%." d "f %." d "f\n"; if (NR) printf f, v[int((NR + 1) / 2)], v[NR]; else print "- -" }'
}
field() { sed -nE "s/(^|.* )$1=([^ ]+).*/\2/p" <<<"$2"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }

# The probe's gaps line over $seconds of music from the harness, while two
# busy loops of ordinary priority keep both cores busy, as a build would.
busy_gaps() { # [NAME=value...] for the probe
  local busy1 busy2 player
  start sh -c 'while :; do :; done'; busy1=$started
  start sh -c 'while :; do :; done'; busy2=$started
  start "$harness" --play 1 "$work/music.mp3"; player=$started
  gaps=$(env "$@" "$probe" gaps "$seconds" || true)
  finish "$player"; finish "$busy1"; finish "$busy2"
}
