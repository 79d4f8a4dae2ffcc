#!/usr/bin/env bash
# Quadrant as a desktop program against the players people use: start-up
# (to the first frame, and `quadrant FILE` to the first sound), idle cost,
# playing cost, control latency and memory, each measured in this one run
# beside its anchors (a bare Qt 6 window with one button, mpv and ffplay)
# on the same generated files, under one Xvfb and one private PulseAudio
# server whose 5.1 null sink everything plays to.  Figures only: nothing
# here passes or fails.
#
#   bench/desktop.sh                        the full run, about 7 minutes
#   DESKTOP_SECONDS=10 REPS=5 RUNS=10 bench/desktop.sh   about 2 minutes
#
# DESKTOP_SECONDS: each CPU interval (60); REPS: repetitions of each latency
# (10); RUNS: start-up runs of each window, and fresh windows whose first
# Play is timed (20); PLAY_ROUNDS: rounds of the three players' CPU,
# interleaved (1).  The sound server's CPU in each interval is printed
# beside the player's: how a player feeds it is part of what it costs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
seconds=${DESKTOP_SECONDS:-60}
reps=${REPS:-10}
runs=${RUNS:-20}
rounds=${PLAY_ROUNDS:-1}
work=$(mktemp -d /tmp/quadrant-desktop-XXXXXX)
source "$root/bench/desktop_lib.sh"

build_bench quadrant sona sona-ffmpeg bench_window_startup bench_form1 bench_desktop_probe
quadrant=$build/bin/quadrant
harness=$build/bin/bench_form1
probe=$build/bin/bench_desktop_probe

make_files
start_xvfb
mkdir -p "$work/pulse" "$work/xdg"
chmod 700 "$work/xdg"
PULSE_RUNTIME_PATH=$work/pulse HOME=$work pulseaudio -n --daemonize=no --exit-idle-time=-1 \
  --use-pid-file=no \
  --load="module-native-protocol-unix socket=$work/pulse/native auth-anonymous=1" \
  --load="module-null-sink sink_name=surround channels=6 channel_map=front-left,front-right,front-center,lfe,rear-left,rear-right" \
  >"$work/pulse.log" 2>&1 &
pulse_pid=$!
for _ in $(seq 600); do
  [ -S "$work/pulse/native" ] && break
  sleep 0.1
done
[ -S "$work/pulse/native" ] || { cat "$work/pulse.log" >&2; echo "PulseAudio did not start" >&2; exit 1; }
export PULSE_SERVER=unix:$work/pulse/native PULSE_RUNTIME_PATH=$work/pulse
export HOME=$work XDG_RUNTIME_DIR=$work/xdg SDL_AUDIODRIVER=pulseaudio
# A session bus, as a desktop has, for `quadrant FILE`: a start asks it
# whether a window already runs.  Only that measure is pointed at it.
bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
bus_address=$(sed -n 1p <<<"$bus")
pids+=("$(sed -n 2p <<<"$bus")")

mib() { awk -v k="$1" 'BEGIN { if (k == "") printf "-"; else printf "%.1f", k / 1024 }'; }

describe_run
echo "   intervals ${seconds} s, ${reps} latency repetitions, ${runs} start-up runs"

echo
echo "(1) start-up"
startup=$("$build/bin/bench_window_startup" "$runs" || true)
echo "$startup"
bare_ms=$(sed -nE 's/.*bare Qt window ([0-9.]+) ms.*/\1/p' <<<"$startup")
form_ms=$(sed -nE 's/.*libsona ([0-9.]+) ms.*/\1/p' <<<"$startup")
: >"$work/mpv_first" >"$work/ffplay_first" >"$work/quadrant_first"
for _ in $(seq "$reps"); do
  q=$(env DBUS_SESSION_BUS_ADDRESS="$bus_address" "$probe" first-sound 10000 "$quadrant" "$work/tone.mp3") &&
    field first_sound_ms "$q" >>"$work/quadrant_first"
  m=$("$probe" first-sound 10000 mpv --no-config --vo=null --ao=pulse "$work/tone.mp3") &&
    field first_sound_ms "$m" >>"$work/mpv_first"
  f=$("$probe" first-sound 10000 ffplay -nodisp -autoexit -loglevel quiet "$work/tone.mp3") &&
    field first_sound_ms "$f" >>"$work/ffplay_first"
done
read -r mpv_first mpv_first_worst < <(stats <"$work/mpv_first")
read -r ffplay_first ffplay_first_worst < <(stats <"$work/ffplay_first")
read -r quadrant_first quadrant_first_worst < <(stats <"$work/quadrant_first")
loop=$("$probe" loopback "$reps" || true)
echo "start to first audio: quadrant FILE median $quadrant_first ms, worst $quadrant_first_worst;" \
  "mpv $mpv_first, worst $mpv_first_worst; ffplay $ffplay_first, worst $ffplay_first_worst; $loop"

echo
echo "(2) idle: the installed-style quadrant and the bare window side by side, from 5 s after start"
start "$quadrant"; q=$started
start "$harness" --bare; b=$started
sleep 5
t0=$(now); q0=$(ticks "$q"); b0=$(ticks "$b"); s0=$(ticks "$pulse_pid")
sleep "$seconds"
t1=$(now); q1=$(ticks "$q"); b1=$(ticks "$b"); s1=$(ticks "$pulse_pid")
idle_q=$(percent "$t0" "$t1" "$q0" "$q1"); idle_b=$(percent "$t0" "$t1" "$b0" "$b1")
idle_s=$(percent "$t0" "$t1" "$s0" "$s1")
idle_streams=$(pactl list short sink-inputs 2>/dev/null | wc -l)
hwm_quadrant=$(hwm_kib "$q"); hwm_bare=$(hwm_kib "$b")
finish "$q"; finish "$b"
echo "quadrant $idle_q %, bare window $idle_b %, sound server $idle_s %; peak RSS $hwm_quadrant KiB and $hwm_bare KiB;" \
  "sink inputs at idle: $idle_streams"

echo "(3) playing one MP3 through the null sink, from 3 s after start, ${rounds} round(s)"
: >"$work/cpu_quadrant" >"$work/cpu_mpv" >"$work/cpu_ffplay"
for _ in $(seq "$rounds"); do
  for player in quadrant mpv ffplay; do
    case $player in
      quadrant) start "$harness" --play 1 "$work/music.mp3" ;;
      mpv) start mpv --no-config --vo=null --ao=pulse "$work/music.mp3" ;;
      ffplay) start ffplay -nodisp -autoexit -loglevel quiet "$work/music.mp3" ;;
    esac
    p=$started
    sleep 3
    t0=$(now); c0=$(ticks "$p"); s0=$(ticks "$pulse_pid")
    sleep "$seconds"
    t1=$(now); c1=$(ticks "$p"); s1=$(ticks "$pulse_pid")
    echo "$(percent "$t0" "$t1" "$c0" "$c1") $(hwm_kib "$p") $(percent "$t0" "$t1" "$s0" "$s1")" |
      tee -a "$work/cpu_$player" |
      sed "s/^/$player: % of one core, peak RSS KiB, sound server % of one core: /"
    finish "$p"
  done
done
read -r play_q play_q_worst < <(cut -d' ' -f1 "$work/cpu_quadrant" | stats 2)
read -r play_m play_m_worst < <(cut -d' ' -f1 "$work/cpu_mpv" | stats 2)
read -r play_f play_f_worst < <(cut -d' ' -f1 "$work/cpu_ffplay" | stats 2)
read -r server_q _ < <(cut -s -d' ' -f3 "$work/cpu_quadrant" | stats 2)
read -r server_m _ < <(cut -s -d' ' -f3 "$work/cpu_mpv" | stats 2)
read -r server_f _ < <(cut -s -d' ' -f3 "$work/cpu_ffplay" | stats 2)
hwm_play_q=$(cut -s -d' ' -f2 "$work/cpu_quadrant" | sort -n | tail -1)
hwm_play_m=$(cut -s -d' ' -f2 "$work/cpu_mpv" | sort -n | tail -1)
hwm_play_f=$(cut -s -d' ' -f2 "$work/cpu_ffplay" | sort -n | tail -1)

echo "(4) control latency, ${reps} of each; the first Play of ${runs} fresh windows"
latency=$("$probe" latency "$reps" "$work/tone.mp3" "$work/short.mp3" "$harness" || true)
echo "$latency"
first_play=$("$probe" first-play "$runs" "$work/short.mp3" "$harness" || true)
echo "$first_play"

echo "(5) peak RSS of the harness with 0, 1, 16 and 64 streams, 5 s after start"
declare -A hwm_n
for n in 0 1 16 64; do
  start "$harness" --play "$n" "$work/music.mp3"
  sleep 5
  hwm_n[$n]=$(hwm_kib "$started")
  echo "$n streams: peak RSS ${hwm_n[$n]} KiB"
  finish "$started"
done
growth() { # growth KIB_FEW KIB_MANY STREAMS: KiB per further stream
  awk -v a="$1" -v b="$2" -v n="$3" 'BEGIN { if (a == "" || b == "") print "-"; else printf "%.0f", (b - a) / n }'
}
per_stream=$(growth "${hwm_n[1]}" "${hwm_n[64]}" 63)
per_stream16=$(growth "${hwm_n[1]}" "${hwm_n[16]}" 15)

echo "(6) silences heard over ${seconds} s of music while two busy loops keep both cores busy"
busy_gaps
echo "$gaps"

echo
echo "== results (load now $(cut -d' ' -f1-3 /proc/loadavg))"
printf "%-44s %12s %14s %14s %s\n" measure Quadrant anchor ratio target
printf "%-44s %12s %14s %14s %s\n" "start to first paint, median (ms)" "$form_ms" \
  "bare $bare_ms" "$(ratio "$form_ms" "$bare_ms")" "<= 1.2 x bare"
printf "%-44s %12s %14s %14s %s\n" "  vs mpv start to first audio (ms)" "$form_ms" \
  "mpv $mpv_first" "$(ratio "$form_ms" "$mpv_first")" "< 1 (mpv worst $mpv_first_worst)"
printf "%-44s %12s %14s %14s %s\n" "  (ffplay start to first audio, ms)" "" \
  "ffplay $ffplay_first" "" "(worst $ffplay_first_worst)"
printf "%-44s %12s %14s %14s %s\n" "quadrant FILE, start to first audio (ms)" \
  "$quadrant_first med" "mpv $mpv_first" "$(ratio "$quadrant_first" "$mpv_first")" \
  "worst <= 400 (Q $quadrant_first_worst, mpv $mpv_first_worst)"
printf "%-44s %12s %14s %14s %s\n" "idle CPU, % of one core" "$idle_q" "bare $idle_b" "" \
  "< 0.2 (sink inputs held at idle: $idle_streams)"
printf "%-44s %12s %14s %14s %s\n" "playing CPU, % of one core" "$play_q" "mpv $play_m" \
  "$(ratio "$play_q" "$play_m")" "<= 0.33 x mpv"
printf "%-44s %12s %14s %14s %s\n" "" "" "ffplay $play_f" "$(ratio "$play_q" "$play_f")" \
  "(worst: Q $play_q_worst, mpv $play_m_worst, ffplay $play_f_worst)"
printf "%-44s %12s %14s %14s %s\n" "  sound server meanwhile, % of one core" "$server_q" \
  "mpv $server_m" "" "ffplay $server_f; at idle $idle_s"
for kind in chooser_closed chooser_open key_to_level; do
  line=$(grep "^$kind " <<<"$latency" || true)
  case $kind in
    chooser_closed) label="chooser to first sound, output closed (ms)"
      target="<= 100 (this window's first Play: $(field first_ms "$line") ms)" ;;
    chooser_open) label="chooser to first sound, output open (ms)"; target="<= 100" ;;
    key_to_level) label="End key to level change (ms)"
      target="<= 150 (key to slider $(field key_to_slider_median_ms "$line") ms)" ;;
  esac
  printf "%-44s %12s %14s %14s %s\n" "$label" \
    "$(field median_ms "$line") med" "worst $(field worst_ms "$line")" \
    "n=$(field n "$line")" "$target"
done
printf "%-44s %12s %14s %14s %s\n" "first Play of a fresh window (ms)" \
  "$(field median_ms "$first_play") med" "worst $(field worst_ms "$first_play")" \
  "n=$(field n "$first_play")" "<= 100 (at once after the first paint: loads FFmpeg)"
printf "%-44s %12s %14s %14s %s\n" "  recorder's own latency (ms)" \
  "$(field recorder_median_ms "$loop") med" "worst $(field recorder_worst_ms "$loop")" "" \
  "(whole loopback $(field median_ms "$loop") med, $(field worst_ms "$loop") worst)"
printf "%-44s %12s %14s %14s %s\n" "peak RSS idle, real quadrant (MiB)" "$(mib "$hwm_quadrant")" \
  "bare $(mib "$hwm_bare")" "" "harness idle $(mib "${hwm_n[0]}")"
printf "%-44s %12s %14s %14s %s\n" "peak RSS playing one MP3 (MiB)" "$(mib "$hwm_play_q")" \
  "ffplay $(mib "$hwm_play_f")" "$(ratio "$hwm_play_q" "$hwm_play_f")" "< 1 x ffplay"
printf "%-44s %12s %14s %14s %s\n" "" "" "mpv $(mib "$hwm_play_m")" \
  "$(ratio "$hwm_play_q" "$hwm_play_m")" ""
printf "%-44s %12s %14s %14s %s\n" "peak RSS with 1 / 16 / 64 streams (MiB)" \
  "$(mib "${hwm_n[1]}")/$(mib "${hwm_n[16]}")/$(mib "${hwm_n[64]}")" "" "" ""
printf "%-44s %12s %14s %14s %s\n" "each further stream (KiB), 1 to 64 | 1 to 16" \
  "$per_stream" "" "" "<= 1024 ($per_stream16 from 1 to 16)"
printf "%-44s %12s %14s %14s %s\n" "silences, both cores busy (count, longest ms)" \
  "$(field n "$gaps")" "$(field longest_ms "$gaps")" "" "none"
