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
sona/sona_internal.h @@ /* L */ {1.0f, 0.0f, kHalfPower, 0.0f, kHalfPower, 0.0f}, @@ /* L */ {1.0f, 0.0f, kHalfPower, 0.0f, 1.0f, 0.0f},
sona/sona_internal.h @@ /* R */ {0.0f, 1.0f, kHalfPower, 0.0f, 0.0f, kHalfPower}, @@ /* R */ {0.0f, 1.0f, 0.0f, 0.0f, 0.0f, kHalfPower},
sona/mix/kernels.cpp @@ f.gain[2][kRL] = f.gain[3][kRR] = 1.0f; @@ f.gain[2][kRR] = f.gain[3][kRL] = 1.0f;
sona/decoder/channel_map.cpp @@ m.slot[kMono][ch] += fold_to_mono(c) * m.slot[c][ch]; @@ m.slot[kMono][ch] += (c == kFC ? 0.0f : fold_to_mono(c)) * m.slot[c][ch];
sona/mix/mixer.cpp @@     g->left_frames = ramp_frames; @@     g->left_frames = 0; std::copy(t, t + kGains, g->now);
sona/mix/mixer.cpp @@ g->step[j] = (t[j] - g->now[j]) / float(ramp_frames); @@ g->step[j] = (t[j] - g->now[j]) / float(ramp_frames) * 4;
sona/mix/mixer.cpp @@ float(kPanRight - pan) / float(kPanRight - kPanCentre) @@ float(kPanRight - pan) / float(kPanRight - kPanLeft)
sona/mix/mixer.cpp @@         ring_read_skip_to(ring, st.discard_from); @@         (void)st.discard_from;
sona/mix/mixer.cpp @@         fold_out(m->fold, acc, out, frames); @@         fold_out(m->fold, acc, out, frames / 2);
sona/mix/kernels.cpp @@     return x < 1.0f ? x : 1.0f; @@     return x;
sona/mix/kernels.cpp @@ acc[c] += g->now[c] * x[c] + g->now[kMixChannels + c] * mono; @@ acc[c] = g->now[c] * x[c] + g->now[kMixChannels + c] * mono;
sona/channel.cpp @@ float(v * v * v) @@ float(v * v)
sona/channel.cpp @@ volume <= kVolumeFull @@ volume <= kVolumeFull + 1
sona/channel.cpp @@ pan <= kPanRight; @@ pan <= kPanRight + 1;
sona/channel.cpp @@                 if (w.word == flags) @@                 if ((w.word & flags) == w.word)
sona/mix/session.cpp @@ compare_exchange_weak(control, control + kOneRestart, @@ compare_exchange_weak(control, control,
sona/streams.cpp @@     if (handle < e->first_handle || handle - e->first_handle >= e->streams.size()) { @@     if (handle - e->first_handle > e->streams.size()) {
sona/streams.cpp @@     e->streams.clear(); @@     e->streams.clear(); g_next_handle = 1;
sona/decoder/open.cpp @@ ::open(path, O_PATH | O_CLOEXEC) @@ ::open(path, O_RDONLY | O_CLOEXEC)
sona/decoder/open.cpp @@ !S_ISREG(st.st_mode) @@ S_ISDIR(st.st_mode)
sona/decoder/open.cpp @@     if (src.offset > size || (src.length != 0 && src.length > size - src.offset)) @@     if (src.offset > size)
sona/decoder/open.cpp @@     if (c->sample_rate < kMinSourceRate || c->sample_rate > kMaxSourceRate || @@     if (false ||
sona/decoder/fill.cpp @@     const int rate = d->play_rate ? int(d->play_rate) : f->sample_rate; @@     const int rate = f->sample_rate;
sona/decoder/fill.cpp @@ AV_SAMPLE_FMT_FLTP, int(out_rate), &layout, @@ AV_SAMPLE_FMT_FLTP, in_rate, &layout,
sona/output/drivers.cpp @@     uint32_t n = std::min<uint32_t>(uint32_t(sink_channels), kMixChannels); @@     uint32_t n = kMixChannels;
sona/mix/history.cpp @@         v->gains = vm.gains; @@         v->gains = GainRamp{};
sona/mix/history.cpp @@         ring_read_rewind(&vm.session->ring, vm.read_pos);\n @@ \n
sona/mix/mixer.cpp @@         history_mark(m);\n @@         (void)0;\n
sona/channel.cpp @@         if (heard)\n            mixer_changed(&e->mixer); @@         (void)heard;
sona/decoder/loader.cpp @@     return self.substr(0, slash + 1) + SONA_DECODER_MODULE_SUBDIR "/" SONA_DECODER_MODULE_FILE; @@     return SONA_DECODER_MODULE_FILE;
sona/output/write_ahead.cpp @@     return history_keep(mixer_, reach_frames(mixer_->rate_hz)); @@     return true;
sona/output/pipewire.cpp @@ SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_LFE, @@ SPA_AUDIO_CHANNEL_LFE, SPA_AUDIO_CHANNEL_FC,
sona/output/pipewire.cpp @@ sinks_[size_t(device) - 1] @@ sinks_[size_t(device) - 2]
sona/output/pipewire.cpp @@             mixer_render(self->mixer_, static_cast<float *>(data.data), frames); @@             std::fill_n(static_cast<float *>(data.data), frames * mixer_out_channels(self->mixer_), 0.0f);
sona/output/pulse.cpp @@ uint32_t(device - 1) : 0; @@ uint32_t(device - 2) : 0;
sona/output/pulse.cpp @@         const uint64_t from = written_.rewind(position); @@         const uint64_t from = kNoPosition + 0 * position;
sona/output/pulse.cpp @@             cork(false);\n        }\n        const WriteAhead::Pending @@             return kFirstFramesRetry;\n        }\n        const WriteAhead::Pending
playback/Module1.cpp @@         SpeakerFlags = SpeakerRearLeft; @@         SpeakerFlags = SpeakerFrontLeft;
playback/Module1.cpp @@     if (x < CentreX && y < CentreY) @@     if (x <= CentreX && y < CentreY)
playback/Module1.cpp @@     else if (x == CentreX && y == CentreY) @@     else if (x == CentreX || y == CentreY)
playback/Module1.cpp @@ constexpr std::int32_t CentredPan = 64; @@ constexpr std::int32_t CentredPan = 0;
playback/Module1.cpp @@     CreateError = CurrentStream ? 0 : modSona::SONA_ErrorGetCode(); @@     CreateError = 0;
playback/Module1.cpp @@ QFile::encodeName(path) @@ path.toLatin1()
playback/Module1.cpp @@     StartError = started ? 0 : modSona::SONA_ErrorGetCode(); @@     StartError = started ? 0 : modSona::ErrorDevice;
ui/Form1.cpp @@         if (!Module1::StartOutput())\n            tellWhyNoOutput(); @@         Module1::StartOutput();
sona/output/keeper.cpp @@     decoder_preload();\n @@     (void)0;\n
ui/Form1.cpp @@ Module1::RouteSpeakers(x, y); @@ Module1::RouteSpeakers(y, x);
ui/Form1.cpp @@     if (path.isEmpty() || failed_) @@     if (failed_)
ui/Form1.cpp @@     if (value > std::numeric_limits<std::int16_t>::max()) @@     if (value > std::numeric_limits<std::int16_t>::max() + 1)
ui/Form1.cpp @@     seams_.exit(EXIT_FAILURE); @@     seams_.exit(EXIT_SUCCESS);
ui/Form1.cpp @@ {Qt::CopyAction, Qt::LinkAction} @@ {Qt::MoveAction, Qt::CopyAction, Qt::LinkAction}
ui/Form1.cpp @@         if (path.isEmpty()) @@         if (false)
ui/Form1.cpp @@     case modSona::ErrorFileOpen: @@     case modSona::ErrorMemory:
ui/Form1.cpp @@     Timer1->stop(); @@     (void)0;
ui/Form1.cpp @@         return;\n    play(path); @@         return;\n    playDropped({path, path});
sona/ring.cpp @@     if (pos > r)\n        pos = r;\n    if (pos > kept) @@     if (pos > kept)
sona/ring.cpp @@     ring->read_pos.store(pos > kept ? pos : kept, std::memory_order_release); @@     ring->read_pos.store(pos, std::memory_order_release);
sona/ring.cpp @@     const uint64_t kept = ring->keep_pos.load(std::memory_order_acquire);\n    return @@     const uint64_t kept = ring->read_pos.load(std::memory_order_acquire);\n    return
sona/ring.cpp @@     const uint32_t first = std::min(frames, ring->capacity_frames - start); @@     const uint32_t first = frames;
sona/decoder/seek.cpp @@     return av_seek_frame(d->format.get(), d->stream_index, ts, AVSEEK_FLAG_BACKWARD) >= 0; @@     return ts == ts;
sona/decoder/seek.cpp @@         d->out_skip = uint64_t(std::max<int64_t>(wanted - heard_from, 0)); @@         d->out_skip = 0;
sona/decoder/seek.cpp @@     return st->start_time != AV_NOPTS_VALUE ? st->start_time : 0; @@     return 0;
sona/decoder/seek.cpp @@     d->doubt_landing = sample >= 0; @@     d->doubt_landing = false;
sona/decoder/info.cpp @@     if (is_utf8(text)) @@     if (true)
sona/decoder/info.cpp @@         return fmt->duration; @@         return av_rescale_q(fmt->duration, st->time_base, AV_TIME_BASE_Q);
sona/decoder/info.cpp @@                                    d->format->streams[d->stream_index]->metadata}; @@                                    nullptr};
ui/Mpris.cpp @@         mpris_->form()->stopStream(); @@         QMetaObject::invokeMethod(mpris_->form(), "OnStopClick");
ui/Mpris.cpp @@         mpris_->form()->resumeStream(); @@         QMetaObject::invokeMethod(mpris_->form(), "OnPlayClick");
ui/Mpris.cpp @@         if (told_.value(it.key()) != it.value()) @@         if (told_.value(it.key()) != it.value() && it.key() != QStringLiteral("Metadata"))
ui/SleepInhibitor.cpp @@     else if (!wanted_ && holding()) @@     else if (false)
ui/SingleInstance.cpp @@     const QDir here = QDir::current(); @@     const QDir here = QDir::home();
ui/Form1.cpp @@     if (now_.status == Module1::Status::Paused) @@     if (now_.status != Module1::Status::Playing)
playback/Module1.cpp @@     RestingAtStart = true; @@     RestingAtStart = false;
playback/Module1.cpp @@     modSona::SONA_ChannelSetPosition(CurrentStream, 0);\n    RestingAtStart @@     RestingAtStart
ui/Form1.cpp @@     forgetEvents();\n    guarded([] { modSona::SONA_Free(); });\n    refreshPlayback(); @@     guarded([] { modSona::SONA_Free(); });\n    refreshPlayback();
ui/SleepInhibitor.cpp @@     if (asking_)\n        return;\n    if (wanted_ @@     if (wanted_
sona/decoder/open.cpp @@     fmt->av_class = quiet_format_class(); @@     (void)quiet_format_class;
sona/decoder/open.cpp @@     d->codec->log_level_offset = kQuietLogOffset; @@     (void)0;
sona/decoder/open.cpp @@         av_dict_set_int(&quiet[i], "log_level_offset", kQuietLogOffset, 0); @@         (void)i;
sona/decoder/open.cpp @@                 d->window_size = at; @@                 (void)at;
sona/output/sdl.cpp @@ if (!sdl_->GetHint(hint) && sdl_->SetHint(hint, value)) @@ if (sdl_->SetHint(hint, value))
sona/output/sdl.cpp @@             sdl_->ResetHint(ours_[i]); @@             (void)ours_[i];
sona/output/drivers.cpp @@     if (!complete)\n        dlerror(); @@     (void)0;
sona/streams.cpp @@ e->streams.reserve(2 * e->streams.size() + 1); @@ e->streams.reserve(e->streams.size() + 1);
sona/pool.cpp @@     s->decoder.reset(); /* closes the file */ @@     (void)0; /* the file stays open */
sona/api.cpp @@ thread_local int32_t t_last_error @@ int32_t t_last_error
sona/output/silent.cpp @@             next += period_; @@             next += period_ / 2;
sona/output/keeper.cpp @@ emplace_back(entry.make(context), !only && entry.fallback); @@ emplace_back(entry.make(context), false);
audio/modSona.h @@ LibraryFile[] = "libsona.so.1"; @@ LibraryFile[] = "libsona.so";
sona/sona_internal.h @@ constexpr uint32_t kMaxVoices = 1024; @@ constexpr uint32_t kMaxVoices = 2048;
sona/decoder/loader.cpp @@         dlerror(); /* ours to clear: a host reading dlerror() later would take it for its own */ @@         (void)0;
sona/channel.cpp @@     return int64_t(clock_frame_at(clock, mixer_heard_now(&e->mixer))); @@     return int64_t(st->session->pass_start_frame.load() + st->session->ring.write_pos.load() - st->session->discard_from.load());
sona/channel.cpp @@     return int64_t(clock_frame_at(clock, mixer_heard_now(&e->mixer))); @@     return int64_t(clock_frame_at(clock, mixer_rendered(&e->mixer)));
sona/mix/mixer.cpp @@     retarget(&v->gains, t, m->ramp_frames);\n    if ((stale || paused) @@     retarget(&v->gains, t, paused ? 1 : m->ramp_frames);\n    if ((stale || paused)
sona/mix/events.cpp @@         q->lost.store(true, std::memory_order_relaxed); /* published by the tail below */ @@         (void)0;
sona/mix/mixer.cpp @@ {v, v->session, chunk_end, paused}; @@ {v, v->session, chunk_end + (paused ? 0 : m->rate_hz / 10), paused};
sona/pool.cpp @@         if (s->busy) {\n            frames = 0; @@         if (s->busy) {\n            (void)frames;
sona/pool.cpp @@         const uint64_t fresh = std::max( @@         const uint64_t fresh = std::min(
sona/output/pulse.cpp @@         if (shape_.on_pipewire && !running)\n            return; @@         if (false)\n            return;
sona/output/drivers.cpp @@ ::strcasecmp(name, known) == 0; @@ ::strcmp(name, known) == 0;
sona/output/drivers.cpp @@     {"pulse", "pulseaudio", make_pulse_driver, false}, @@     {"pulse", nullptr, make_pulse_driver, false},
sona/output/keeper.cpp @@     return !forced || !*forced || *only; @@     return true;
sona/output/keeper.cpp @@ other_library && now - k->failing_since < kFallbackAfter) @@ other_library && now - k->failing_since < kFallbackAfter / 20)
sona/output/keeper.cpp @@         if (!fallback && driver->answers(o->device)) @@         if (false && driver->answers(o->device))
sona/output/keeper.cpp @@         o->write_ahead.lost();\n @@         (void)0;\n
sona/pool.cpp @@     ++p->kicks;\n    p->wake.notify_all(); @@     p->wake.notify_all();
sona/output/pulse.cpp @@             return pending.any() ? kQueryRetry : kForever; @@             return written_.done(pending), kForever;
sona/output/write_ahead.cpp @@     history_fit(mixer_, mixer_->active.load(std::memory_order_relaxed)); @@     (void)0;
sona/output/keeper.cpp @@         pool_fit_rings(o->pool, mixer_ring_sizes(o->mixer)); @@         (void)0;
sona/ring.cpp @@ to = uint32_t(pos & new_mask); @@ to = uint32_t(pos & old_mask);
sona/output/pulse.cpp @@         return channels_for(sink.channels) == mixer_out_channels(mixer_); @@         return true;
sona/output/pipewire.cpp @@                 lost_ = true;\n            else @@                 (void)0;\n            else
EOF
)

mapfile -t lines <<<"$faults"
chosen=("$@")
[ ${#chosen[@]} -gt 0 ] || chosen=($(seq 1 ${#lines[@]}))
for n in "${chosen[@]}"; do
  [[ $n =~ ^[0-9]+$ ]] && [ "$n" -ge 1 ] && [ "$n" -le ${#lines[@]} ] ||
    { echo "no fault $n: they are numbered 1 to ${#lines[@]}"; exit 100; }
done

echo "== scratch copy and build in $work"
rm -rf "$work/src" && mkdir -p "$work/src"
# Fresh times (-m): a file a broken run left planted must not look older
# than the object built from it.
git ls-files -co --exclude-standard | tar -cf - -T - | tar -xmf - -C "$work/src"
# A cache left by an older tree would keep its old choices (a library
# directory, a generator); the objects are worth keeping, the cache is not.
rm -rf "$work/build/CMakeCache.txt" "$work/build/CMakeFiles"
cmake -G Ninja -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
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
  # The quick tests first: most faults fall to them within seconds.
  elif ctest --test-dir "$work/build" -j2 --stop-on-failure -LE e2e >/dev/null 2>&1 &&
       ctest --test-dir "$work/build" -j2 --stop-on-failure -L e2e >/dev/null 2>&1; then
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
