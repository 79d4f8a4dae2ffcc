#!/usr/bin/env bash
# Builds the benchmarks in Release and runs every measure in one go on the
# same generated files, then prints a table.  Figures only: nothing here
# passes or fails on speed.
#
#   bench/run.sh            all measures
#   SECONDS_PER_CPU_RUN=20 bench/run.sh   a longer real-time interval for (b)
#
# mpv is the outside baseline for (a); scripts/deps.sh installs it from
# Debian with the rest when missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build-bench}
cpu_seconds=${SECONDS_PER_CPU_RUN:-10}
work=$(mktemp -d /tmp/sona-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

"$root/scripts/deps.sh" bench
echo "== building (Release) in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_ffmpeg_floor bench_sona >/dev/null
floor=$build/bin/bench_ffmpeg_floor
sona=$build/bin/bench_sona

echo "== generating files in $work"
# Two minutes of something like music: pink noise under a chord, so the
# lossy encoders have real work and the decoders too.
ffmpeg -nostdin -v error -y \
  -f lavfi -i "anoisesrc=c=pink:a=0.15:d=120:r=44100:s=7" \
  -f lavfi -i "aevalsrc=0.2*sin(2*PI*220*t)+0.15*sin(2*PI*277.2*t)+0.1*sin(2*PI*329.6*t)|0.2*sin(2*PI*220*t)+0.1*sin(2*PI*440*t):s=44100:d=120" \
  -filter_complex "[0]aformat=channel_layouts=mono,pan=stereo|c0=c0|c1=0.8*c0[n];[n][1]amix=inputs=2:normalize=0" \
  -c:a pcm_s16le "$work/source.wav"
ffmpeg -nostdin -v error -y -i "$work/source.wav" -c:a libmp3lame -b:a 192k "$work/music.mp3"
ffmpeg -nostdin -v error -y -i "$work/source.wav" -c:a flac "$work/music.flac"
ffmpeg -nostdin -v error -y -i "$work/source.wav" -c:a libvorbis -q:a 5 "$work/music.ogg"
ffmpeg -nostdin -v error -y -i "$work/source.wav" -ar 48000 -c:a pcm_s16le "$work/music48k.wav"
ffmpeg -nostdin -v error -y -i "$work/source.wav" -t 0.3 -c:a libmp3lame -b:a 192k "$work/short.mp3"

field() { # field KEY LINE: the value of KEY=value in LINE
  sed -E "s/.*[[:space:]]$1=([^[:space:]]+).*/\1/" <<<"$2" | tr -d x
}

mpv_best() { # best wall seconds of five mpv runs, decoding untimed to nothing
  local best=
  for _ in 1 2 3 4 5; do
    local start end
    start=$(date +%s.%N)
    mpv --no-config --ao=null --ao-null-untimed --untimed --vo=null --no-terminal "$1" >/dev/null 2>&1
    end=$(date +%s.%N)
    best=$(awk -v a="$start" -v b="$end" -v best="$best" \
      'BEGIN { t = b - a; if (best == "" || t < best) best = t; printf "%.4f", best }')
  done
  echo "$best"
}

echo
echo "(a) throughput: one stream decoded, resampled to 44100 Hz and mixed, as fast as possible"
printf "%-8s %10s %10s %10s %8s %10s %10s\n" file floor_x sona_x mpv_s sona/flr mpv/sona target
for file in music.mp3 music.flac music.ogg music48k.wav; do
  f=$($floor "$work/$file" 10)
  s=$($sona throughput "$work/$file" 10)
  m=$(mpv_best "$work/$file")
  fw=$(field wall_s "$f"); sw=$(field wall_s "$s")
  printf "%-8s %10s %10s %10s %8s %10s %10s\n" "${file#music}" "$(field speed "$f")" \
    "$(field speed "$s")" "$m" \
    "$(awk -v a="$fw" -v b="$sw" 'BEGIN { printf "%.2f", a / b }')" \
    "$(awk -v a="$m" -v b="$sw" 'BEGIN { printf "%.1f", a / b }')" ">=0.9,>=2.5"
done

echo
echo "(b) CPU on the no-sound device, MP3 streams playing at once, over ${cpu_seconds} s"
printf "%-8s %12s %16s %10s\n" streams core_percent per_stream_pct target
for n in 1 16 64; do
  c=$($sona cpu "$n" "$work/music.mp3" "$cpu_seconds")
  printf "%-8s %12s %16s %10s\n" "$n" "$(field core_percent "$c")" \
    "$(field per_stream_percent "$c")" "$([ "$n" = 64 ] && echo '<15' || echo linear)"
done

echo
echo "(c) RSS growth"
r=$($sona rss 64 "$work/music.mp3" "$work/short.mp3")
playing=$(grep playing_streams <<<"$r"); ended=$(grep ended_streams <<<"$r")
printf "%-30s %10s KiB   target <= 1024 KiB\n" "per playing stream (64)" \
  "$(field per_playing_stream_kib "$playing")"
printf "%-30s %10s KiB   target <= 16 KiB\n" "per ended stream (1024)" \
  "$(field per_ended_stream_kib "$ended")"

echo
echo "(d) one mixer period of 1024 frames (23.2 ms) with 64 streams' buffers full"
p=$($sona period 64 "$work/music.mp3" 1024)
printf "median %s us (%s%%), 99th percentile %s us (%s%%), worst %s us (%s%%)   target <= 2%%\n" \
  "$(field median_us "$p")" "$(field median_percent "$p")" "$(field p99_us "$p")" \
  "$(field p99_percent "$p")" "$(field max_us "$p")" "$(field max_percent "$p")"
