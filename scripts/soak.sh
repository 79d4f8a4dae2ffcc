#!/usr/bin/env bash
# A long run of libsona by hand (not in CI): bench/soak_driver.cpp
# starts and ends streams at random on the silent output (device 0) while
# this script samples its resident memory and open descriptors every
# minute into a log.
#
#   scripts/soak.sh [--valgrind] [MINUTES] [LOG]
#
# MINUTES defaults to 60 and LOG to soak-<date>.log.  The driver runs in an
# AddressSanitizer+UBSan build (build-soak-asan), or with --valgrind under
# memcheck in a normal build (build-soak); SOAK_BUILD_DIR picks another
# build directory, SOAK_SEED the random seed.  The exit status is non-zero
# when the driver saw a broken promise or the sanitizer or memcheck reported
# an error or a leak.
set -euo pipefail
cd "$(dirname "$0")/.."

valgrind=0
if [ "${1:-}" = --valgrind ]; then
  valgrind=1
  shift
fi
minutes=${1:-60}
log=$(realpath -m "${2:-soak-$(date -u +%Y%m%dT%H%M%SZ).log}")
seed=${SOAK_SEED:-$RANDOM}

scripts/deps.sh test
if [ "$valgrind" = 1 ] && ! command -v valgrind >/dev/null; then
  echo "soak: valgrind is not installed (apt-get install valgrind)" >&2
  exit 2
fi

if [ "$valgrind" = 1 ]; then
  dir=${SOAK_BUILD_DIR:-build-soak}
  sanitize=
else
  dir=${SOAK_BUILD_DIR:-build-soak-asan}
  sanitize=address
fi
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUADRANT_SANITIZE="$sanitize" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target sona_soak sona-ffmpeg >/dev/null
driver=$(realpath "$dir/bin/sona_soak")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Short files of every format, one long one so that some streams overlap
# many others, and stereo and mono at rates that need resampling.
files=()
make_file() { # name seconds rate layout codec-args...
  local name=$1 seconds=$2 rate=$3 layout=$4
  shift 4
  ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi \
    -i "aevalsrc=exprs=0.3*sin(2*PI*(300+200*t)*t):s=$rate:d=$seconds:c=$layout" \
    "$@" "$work/$name"
  files+=("$work/$name")
}
make_file a.wav 0.5 44100 stereo -c:a pcm_s16le
make_file b.flac 2 48000 stereo -c:a flac
make_file c.mp3 3 44100 stereo -c:a libmp3lame -b:a 128k
make_file d.ogg 1.5 22050 mono -c:a libvorbis
make_file e.opus 2.5 48000 stereo -c:a libopus
make_file f.m4a 1 44100 stereo -c:a aac
make_file g.aiff 0.8 32000 mono -c:a pcm_s16be
make_file h.ogg 20 44100 FL+FR+FC+LFE+BL+BR -c:a libvorbis

seconds=$((minutes * 60))
err="$log.stderr"
if [ "$valgrind" = 1 ]; then
  run=(valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect
       --error-exitcode=99 --log-file="$log.valgrind" "$driver")
else
  # A small quarantine, so that memory which is freed is seen to come back.
  export ASAN_OPTIONS=quarantine_size_mb=16:detect_leaks=1:abort_on_error=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run=("$driver")
fi

{
  echo "# soak $(date -u +%FT%TZ): ${minutes} min, seed $seed, $([ "$valgrind" = 1 ] && echo valgrind memcheck || echo "ASan+UBSan build $dir")"
  echo "# minute rss_kib fds threads"
} >"$log"
"${run[@]}" "$seconds" 0 "$seed" "${files[@]}" >"$log.out" 2>"$err" &
pid=$!

sample() { # minute
  local rss fds threads
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null) || return 0
  threads=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status" 2>/dev/null) || return 0
  fds=$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
  [ -n "$rss" ] && echo "$1 $rss $fds $threads" >>"$log"
}

minute=0
sleep 5 # past start-up, so the first sample is the process at work
sample 0
while kill -0 "$pid" 2>/dev/null; do
  for _ in $(seq 60); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 1
  done
  minute=$((minute + 1))
  kill -0 "$pid" 2>/dev/null && sample "$minute"
done
status=0
wait "$pid" || status=$?

{
  echo "# driver: $(cat "$log.out")"
  echo "# exit status $status"
  awk '!/^#/ {n++; if (n == 1) {f = $2; ff = $3} l = $2; lf = $3; if ($2 > m) m = $2; if ($3 > mf) mf = $3}
       END {printf "# rss_kib first %d last %d max %d; fds first %d last %d max %d; samples %d\n", f, l, m, ff, lf, mf, n}' "$log"
  if [ -s "$err" ]; then
    echo "# stderr of the driver:"
    sed 's/^/#   /' "$err" | head -n 40
  fi
  if [ "$valgrind" = 1 ]; then
    grep -E 'ERROR SUMMARY|definitely lost|indirectly lost' "$log.valgrind" | sed 's/^/# /'
  fi
} >>"$log"
tail -n 8 "$log"
exit "$status"
