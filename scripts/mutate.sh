#!/usr/bin/env bash
# Plants one fault at a time in a scratch copy of the tree, rebuilds the
# normal build there and runs the suite, and prints every fault the suite
# did not catch.  It shows whether the tests still catch what matters; it
# is too slow for CI (a rebuild and a suite run per fault).
#
#   scripts/mutate.sh            every fault below
#   scripts/mutate.sh 3 7        only faults 3 and 7 (their numbers below)
#
# MUTATE_DIR keeps the scratch copy and its build between runs (default
# /tmp/quadrant-mutate), so that each rebuild is incremental.  The exit
# status is the number of faults that survived.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work=${MUTATE_DIR:-/tmp/quadrant-mutate}

# One fault a line: file @@ text as it stands (once, exactly) @@ what it becomes.
faults=$(cat <<'EOF'
sona/sona_internal.h @@ {SONA_SPEAKER_REARLEFT, kRL} @@ {SONA_SPEAKER_REARLEFT, kRR}
sona/sona_internal.h @@ {SONA_SPEAKER_CENTER, kFC} @@ {SONA_SPEAKER_CENTER, kLFE}
sona/mixer.cpp @@         fold[0][kRL] = fold[1][kRR] = a * kHalfPower; @@         fold[0][kRL] = fold[1][kRR] = a;
sona/mixer.cpp @@         fold[0][kFC] = fold[1][kFC] = a * kHalfPower; @@         fold[0][kFC] = fold[1][kFC] = 0.0f;
sona/mixer.cpp @@         fold[2][kRL] = fold[3][kRR] = q; @@         fold[2][kRR] = fold[3][kRL] = q;
sona/decoder.cpp @@                              kHalfPower * d->coef[kFC][ch] + @@                              0.0f * d->coef[kFC][ch] +
sona/mixer.cpp @@     v->ramp_left_frames = ramp_frames; @@     v->ramp_left_frames = 0; std::copy(t, t + kGains, v->gain_now);
sona/mixer.cpp @@         v->gain_step[j] = (t[j] - v->gain_now[j]) / float(ramp_frames); @@         v->gain_step[j] = (t[j] - v->gain_now[j]) / float(ramp_frames) * 4;
sona/mixer.cpp @@     const float left = pan <= 64 ? 1.0f : float(128 - pan) / 64.0f; @@     const float left = pan <= 64 ? 1.0f : float(128 - pan) / 128.0f;
sona/mixer.cpp @@     return x < 1.0f ? x : 1.0f; @@     return x;
sona/mixer.cpp @@         fold_out(m, acc, out, n); @@         fold_out(m, acc, out, n / 2);
sona/api.cpp @@                 st->voice.volume_gain.store(float(v * v * v), std::memory_order_relaxed); @@                 st->voice.volume_gain.store(float(v * v), std::memory_order_relaxed);
sona/api.cpp @@ volume < -1 || volume > 100 || @@ volume < -1 || volume > 101 ||
sona/api.cpp @@ pan < -1 || pan > 128) @@ pan < -1 || pan > 129)
sona/api.cpp @@                     if (w.word == flags) @@                     if ((w.word & flags) == w.word)
sona/api.cpp @@ compare_exchange_weak(control, control + 2u, @@ compare_exchange_weak(control, control,
sona/streams.cpp @@     if (handle < e->first_handle || handle - e->first_handle >= e->streams.size()) { @@     if (handle - e->first_handle > e->streams.size()) {
sona/streams.cpp @@     e->streams.clear(); @@     e->streams.clear(); g_next_handle = 1;
sona/decoder.cpp @@ O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY @@ O_RDONLY | O_CLOEXEC | O_NOCTTY
sona/decoder.cpp @@ !S_ISREG(st.st_mode) @@ S_ISDIR(st.st_mode)
sona/decoder.cpp @@     if (src.offset > size || (src.length != 0 && src.length > size - src.offset)) @@     if (src.offset > size)
sona/decoder.cpp @@     const int rate = d->play_rate ? int(d->play_rate) : f->sample_rate; @@     const int rate = f->sample_rate;
sona/decoder.cpp @@ int(d->out_rate), @@ f->sample_rate,
sona/decoder.cpp @@     if (d->codec->sample_rate < kMinSourceRate || d->codec->sample_rate > kMaxSourceRate || @@     if (false ||
sona/output.cpp @@     if (device_channels < 4) @@     if (device_channels < 2)
sona/decoder_loader.cpp @@     return self.substr(0, slash + 1) + SONA_DECODER_MODULE_FILE; @@     return std::string(SONA_DECODER_MODULE_FILE);
playback/Module1.cpp @@         SpeakerFlags = SpeakerRearLeft; @@         SpeakerFlags = SpeakerFrontLeft;
playback/Module1.cpp @@     if (x < CentreX && y < CentreY) @@     if (x <= CentreX && y < CentreY)
playback/Module1.cpp @@     else if (x == CentreX && y == CentreY) @@     else if (x == CentreX || y == CentreY)
playback/Module1.cpp @@ constexpr std::int32_t CentredPan = 64; @@ constexpr std::int32_t CentredPan = 0;
playback/Module1.cpp @@     CreateError = CurrentStream ? 0 : modSona::SONA_ErrorGetCode(); @@     CreateError = 0;
playback/Module1.cpp @@ QFile::encodeName(path) @@ path.toLatin1()
ui/Form1.cpp @@ Module1::RouteSpeakers(x, y); @@ Module1::RouteSpeakers(y, x);
ui/Form1.cpp @@     if (path.isEmpty() || failed_) @@     if (failed_)
ui/Form1.cpp @@     if (value > std::numeric_limits<std::int16_t>::max()) @@     if (value > std::numeric_limits<std::int16_t>::max() + 1)
ui/Form1.cpp @@     seams_.exit(EXIT_FAILURE); @@     seams_.exit(EXIT_SUCCESS);
ui/Form1.cpp @@ {Qt::CopyAction, Qt::LinkAction} @@ {Qt::MoveAction, Qt::CopyAction, Qt::LinkAction}
ui/Form1.cpp @@         if (path.isEmpty()) @@         if (false)
ui/Form1.cpp @@     case modSona::ErrorFileOpen: @@     case modSona::ErrorMemory:
ui/Form1.cpp @@     Timer1->stop(); @@     (void)0;
ui/Form1.cpp @@         return;\n    play(path); @@         return;\n    playDropped({path, path});
EOF
)

mapfile -t lines <<<"$faults"
chosen=("$@")
[ ${#chosen[@]} -gt 0 ] || chosen=($(seq 1 ${#lines[@]}))

echo "== scratch copy and build in $work"
rm -rf "$work/src" && mkdir -p "$work/src"
git ls-files -co --exclude-standard | tar -cf - -T - | tar -xpf - -C "$work/src"
cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$work/build" -j"$(nproc)" >/dev/null
ctest --test-dir "$work/build" -j2 >/dev/null || { echo "the suite fails before any fault is planted"; exit 100; }

survivors=0
for n in "${chosen[@]}"; do
  line=${lines[$((n - 1))]}
  file=${line%% @@ *} rest=${line#* @@ }
  from=${rest%% @@ *} to=${rest#* @@ }
  target=$work/src/$file
  # Literal text, with \n for a line break; it must stand exactly once.
  if ! FROM=$from TO=$to perl -0 -i -pe '
        BEGIN { ($f, $t) = map { s/\\n/\n/gr } @ENV{qw(FROM TO)}; }
        $c = () = /\Q$f\E/g; die "found $c times\n" if $c != 1; s/\Q$f\E/$t/' "$target"; then
    echo "fault $n: the text is not in $file once: $from"
    survivors=$((survivors + 1))
    continue
  fi
  if ! cmake --build "$work/build" -j"$(nproc)" >/dev/null 2>&1; then
    verdict="does not build"
    survivors=$((survivors + 1))
  elif ctest --test-dir "$work/build" -j2 --stop-on-failure >/dev/null 2>&1; then
    verdict="SURVIVED"
    survivors=$((survivors + 1))
  else
    verdict="caught"
  fi
  printf 'fault %2d %-14s %s: %s\n' "$n" "$verdict" "$file" "$to"
  cp "$root/$file" "$target"
done
cmake --build "$work/build" -j"$(nproc)" >/dev/null
echo "$(( ${#chosen[@]} - survivors )) of ${#chosen[@]} faults caught"
exit "$survivors"
