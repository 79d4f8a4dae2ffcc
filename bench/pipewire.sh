#!/usr/bin/env bash
# Quadrant on PipeWire against mpv, all in one run on one private PipeWire
# (WirePlumber and pipewire-pulse, a 5.1 null sink), at a 44.1 kHz graph and
# at Debian's default of 48 kHz.  One MP3 plays through each of:
#   mpv --ao=pipewire, mpv --ao=pulse (through pipewire-pulse),
#   Quadrant (bench_form1: the real window, Play pressed) through libsona's
#   PipeWire driver, and through its libpulse driver (SONA_OUTPUT=pulse).
# For each, the player's CPU and the servers' (pipewire, wireplumber and
# pipewire-pulse) over the same interval; for Quadrant also the End key to
# the level change, chooser to sound (desktop_probe latency, and the first
# Play of fresh windows), and the silences heard while both cores are
# busy.  At 44.1 kHz the PipeWire driver also runs with its cycle at 512
# and 2048 frames (PIPEWIRE_LATENCY) for the trade.  Figures only: nothing
# here passes or fails.
#
#   bench/pipewire.sh                          about 25 minutes
#   PW_SECONDS=20 REPS=5 bench/pipewire.sh     about 10 minutes
#
# PW_SECONDS: each CPU and busy interval (60); REPS: repetitions of each
# latency (10); RATES: the graph rates (44100 48000).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
seconds=${PW_SECONDS:-60}
reps=${REPS:-10}
rates=${RATES:-44100 48000}
work=$(mktemp -d /tmp/quadrant-pipewire-XXXXXX)
source "$root/bench/desktop_lib.sh"

build_bench sona sona-ffmpeg bench_form1 bench_desktop_probe bench_pipewire_server
harness=$build/bin/bench_form1
probe=$build/bin/bench_desktop_probe
make_files
start_xvfb

server_up() { # RATE: a fresh private PipeWire, its processes' pids in $servers
  mkfifo "$work/hold.$1"
  "$build/bin/bench_pipewire_server" "$1" <"$work/hold.$1" >"$work/env.$1" 2>"$work/server.$1" &
  server_pid=$!
  err_of[$server_pid]=$work/server.$1
  exec 5>"$work/hold.$1"
  until grep -q '^ready$' "$work/env.$1"; do
    alive "$server_pid" || exit 1
    sleep 0.1
  done
  set -a
  source <(grep = "$work/env.$1")
  set +a
  servers=$(pgrep -P "$server_pid" -x 'pipewire|wireplumber|pipewire-pulse' | tr '\n' ' ')
}
server_ticks() {
  local sum=0 pid
  for pid in $servers; do sum=$((sum + $(ticks "$pid"))); done
  echo "$sum"
}
cpu() { # LABEL PROGRAM ARGS...: player and servers, % of one core, from 3 s after start
  local label=$1 p t0 t1 c0 c1 s0 s1 player server
  shift
  start "$@"
  p=$started
  sleep 3
  t0=$(now); c0=$(ticks "$p"); s0=$(server_ticks)
  sleep "$seconds"
  t1=$(now); c1=$(ticks "$p"); s1=$(server_ticks)
  if [ "$label" = "sona_pw_$rate" ]; then # what the stream was opened with
    pactl list sink-inputs | grep -E 'node.latency|Sample Spec' | tr -s '\t ' ' '
  fi
  finish "$p"
  player=$(percent "$t0" "$t1" "$c0" "$c1")
  server=$(percent "$t0" "$t1" "$s0" "$s1")
  echo "$label $player $server $(awk -v a="$player" -v b="$server" 'BEGIN { printf "%.3f", a + b }')" |
    tee -a "$work/cpu"
}
latency() { # LABEL CYCLE_FRAMES ENV...: the probe's latency and first-play lines, recorded a cycle at a time
  local label=$1 cycle=$2
  shift 2
  echo "$label $(env PROBE_FRAGMENT_FRAMES="$cycle" "$@" "$probe" latency "$reps" \
    "$work/tone.mp3" "$work/short.mp3" "$harness" 2>/dev/null | tr '\n' ' ')" \
    "$(env PROBE_FRAGMENT_FRAMES="$cycle" "$@" "$probe" first-play "$reps" "$work/short.mp3" "$harness" 2>/dev/null)" |
    tee -a "$work/latency"
}

describe_run
echo "   intervals ${seconds} s, ${reps} repetitions"
for rate in $rates; do
  echo
  echo "== graph at $rate Hz"
  server_up "$rate"
  cpu "mpv_pw_$rate" mpv --no-config --vo=null --ao=pipewire "$work/music.mp3"
  cpu "mpv_pulse_$rate" mpv --no-config --vo=null --ao=pulse "$work/music.mp3"
  cpu "sona_pw_$rate" "$harness" --play 1 "$work/music.mp3"
  cpu "sona_pulse_$rate" env SONA_OUTPUT=pulse "$harness" --play 1 "$work/music.mp3"
  latency "sona_pw_$rate" 1024
  latency "sona_pulse_$rate" 1024 SONA_OUTPUT=pulse
  if [ "$rate" = 44100 ]; then
    for cycle in 512 2048; do
      cpu "sona_pw${cycle}_$rate" env PIPEWIRE_LATENCY="$cycle/$rate" "$harness" --play 1 "$work/music.mp3"
      latency "sona_pw${cycle}_$rate" "$cycle" PIPEWIRE_LATENCY="$cycle/$rate"
    done
  fi
  busy_gaps PROBE_FRAGMENT_FRAMES=1024
  echo "busy_$rate $gaps" | tee -a "$work/gaps"
  exec 5>&-
  wait "$server_pid" || true
done

echo
echo "== results (load now $(cut -d' ' -f1-3 /proc/loadavg)); CPU in % of one core"
printf "%-22s %8s %8s %8s %9s %14s %14s %14s %14s\n" player player servers machine "/ mpv_pw" \
  "key to level" "chooser, open" "closed" "first Play"
while read -r label player server machine; do
  rate=${label##*_}
  mpv=$(awk -v r="mpv_pw_$rate" '$1 == r { print $4 }' "$work/cpu")
  line=$(grep "^$label " "$work/latency" || true)
  key=$(grep -oE 'key_to_level [^ ]+ [^ ]+ [^ ]+' <<<"$line" || true)
  open=$(grep -oE 'chooser_open [^ ]+ [^ ]+ [^ ]+' <<<"$line" || true)
  closed=$(grep -oE 'chooser_closed [^ ]+ [^ ]+ [^ ]+' <<<"$line" || true)
  first=$(grep -oE 'first_play [^ ]+ [^ ]+ [^ ]+' <<<"$line" || true)
  printf "%-22s %8s %8s %8s %9s %14s %14s %14s %14s\n" "$label" "$player" "$server" "$machine" \
    "$(ratio "$machine" "$mpv")" \
    "${key:+$(field median_ms "$key")/$(field worst_ms "$key")}" \
    "${open:+$(field median_ms "$open")/$(field worst_ms "$open")}" \
    "${closed:+$(field median_ms "$closed")/$(field worst_ms "$closed")}" \
    "${first:+$(field median_ms "$first")/$(field worst_ms "$first")}"
done <"$work/cpu"
echo "(latencies in ms, median/worst; targets: machine <= 0.4 of mpv_pw's, key to level"
echo " median <= 100 and worst <= 150, the window's 100 ms tick included; chooser to sound"
echo " <= 100, a fresh window's first Play, at once after its first paint, included)"
sed 's/^/silences with both cores busy, /' "$work/gaps"
