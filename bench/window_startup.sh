#!/usr/bin/env bash
# How long Quadrant takes to put its window up (process start to first paint), against a bare Qt window of
# the same size: each started RUNS times in a fresh process under Xvfb, with
# the real libsona opening a private PulseAudio server's 5.1 null sink.
# (Each run starts Form1 afresh; that is the point.)
# bench_window_startup prints the medians and their ratio.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
runs=${RUNS:-30}
work=$(mktemp -d /tmp/quadrant-startup-XXXXXX)
cleanup() {
  [ -n "${pulse_pid:-}" ] && kill "$pulse_pid" 2>/dev/null || true
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_window_startup sona >/dev/null
program=$build/bin/bench_window_startup

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
mkdir -p "$work/pulse"
PULSE_RUNTIME_PATH=$work/pulse HOME=$work pulseaudio -n --daemonize=no --exit-idle-time=-1 \
  --load="module-native-protocol-unix socket=$work/pulse/native auth-anonymous=1" \
  --load="module-null-sink sink_name=surround channels=6 channel_map=front-left,front-right,front-center,lfe,rear-left,rear-right" \
  >"$work/pulse.log" 2>&1 &
pulse_pid=$!
for _ in $(seq 100); do
  [ -S "$work/pulse/native" ] && [ -e "/tmp/.X11-unix/X${display#:}" ] && break
  sleep 0.05
done

export DISPLAY=$display PULSE_SERVER=unix:$work/pulse/native SDL_AUDIODRIVER=pulseaudio
export LD_LIBRARY_PATH=$build/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")

"$program" "$runs"
