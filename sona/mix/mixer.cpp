// The mix: every playing voice's ring, through its ramped gain vector, into
// a 5.1 accumulator, then folded to the device's channel count.  Real-time
// code from mixer_render down (see the contract in sona_internal.h); it
// knows no driver and is driven the same way by every output and by the
// tests.  The arithmetic is in kernels.cpp; this file decides which voice
// plays what.
//
// A voice that plays to its end leaves the mix at once, but its session is
// ended for good (and so given back to the decode pool) only once the end
// has been heard (mixer_heard): until then an output that writes ahead may
// go back to before it (history.cpp).  Rings are let go of the same way.
#include "mix/mixer.h"

#include <algorithm>
#include <new>

namespace sona {

namespace {

static_assert((kMaxVoices & (kMaxVoices - 1)) == 0, "the queue indexes with a mask");

/* Where the voice's gains should head, from the controls the API thread set
   and whether a restart is waiting to fade out first. */
void compute_targets(const Voice *v, bool fade_out, float t[kGains])
{
    std::fill(t, t + kGains, 0.0f);
    if (fade_out)
        return;
    const float vol = v->volume_gain.load(std::memory_order_relaxed);
    const int32_t pan = v->pan.load(std::memory_order_relaxed);
    const int32_t route = v->route_slot.load(std::memory_order_relaxed);
    if (route >= 0 && route < kMixChannels) {
        t[kMixChannels + route] = vol;
        return;
    }
    // Balance: the centre keeps both sides at unity; moving away lowers
    // the far side linearly to silence.
    const float left = pan <= kPanCentre ? 1.0f
                                         : float(kPanRight - pan) / float(kPanRight - kPanCentre);
    const float right = pan >= kPanCentre ? 1.0f
                                          : float(pan - kPanLeft) / float(kPanCentre - kPanLeft);
    t[kFL] = vol * left;
    t[kFR] = vol * right;
    t[kFC] = t[kLFE] = t[kRL] = t[kRR] = vol;
}

void retarget(GainRamp *g, const float t[kGains], uint32_t ramp_frames)
{
    if (std::equal(t, t + kGains, g->target))
        return; /* the same value again restarts nothing */
    std::copy(t, t + kGains, g->target);
    // From where the ramp is now, not from the old target.
    for (int j = 0; j < kGains; ++j)
        g->step[j] = (t[j] - g->now[j]) / float(ramp_frames);
    g->left_frames = ramp_frames;
}

bool silent(const GainRamp *g)
{
    return g->left_frames == 0 &&
           std::all_of(g->now, g->now + kGains, [](float k) { return k == 0.0f; });
}

/* A voice waits for the worker: an output that writes ahead writes again
   once the data is there.  Relaxed: a hint, read when the output next
   looks, that publishes nothing. */
void note_starved(Mixer *m)
{
    m->starved.store(true, std::memory_order_relaxed);
}

bool pause_asked(const Voice *v)
{
    // Relaxed: one bit, read once a chunk; the ramp takes it from there.
    return (v->presence.load(std::memory_order_relaxed) & Voice::kPauseAsked) != 0;
}

/* The voice's clock says where it is (clock.h), its stream frame at the
   ring's `read_pos` going with output position `out`. */
void tell_clock(Voice *v, uint64_t out, uint64_t read_pos, uint64_t limit)
{
    v->published = {out, spot_frame(v->spot, read_pos), v->spot.floor, limit, v->spot.pass};
    clock_publish(&v->clock, v->published);
}

/* It stops at `read_pos`: waits, rests or ends there. */
void stop_clock(Voice *v, uint64_t read_pos)
{
    v->published.limit = spot_frame(v->spot, read_pos);
    clock_publish(&v->clock, v->published);
}

void push_event(Mixer *m, const Voice *v, int32_t state)
{
    events_push(&m->events, {v->handle, state});
}

/* The voice's place in a pass the worker has served: `read_pos` on. */
void take_pass(Voice *v, const Staleness &st, uint64_t read_pos)
{
    v->spot = {st.pass_start, st.discard_from, 0, st.served};
    v->spot.floor = spot_frame(v->spot, read_pos);
    v->reanchor = true;
}

enum class Ready { kPlay, kWait, kRest };

/* Follows the controls, a pause and the session's restarts: heads for the
   targets, fades out what a restart made stale and drops it once silent,
   fades out a pause and lets the voice rest once silent, and holds a
   (re)start until enough is decoded.  A waiting voice consumes nothing
   and moves no ramp. */
Ready voice_ready(Mixer *m, Voice *v)
{
    Session *s = v->session;
    Ring *ring = &s->ring;
    const Staleness st = session_staleness(s);
    const bool stale =
        st.restart_pending || st.discard_from > ring->read_pos.load(std::memory_order_relaxed);
    const bool paused = pause_asked(v);
    float t[kGains];
    compute_targets(v, stale || paused, t);
    retarget(&v->gains, t, m->ramp_frames);
    if ((stale || paused) && silent(&v->gains)) {
        if (paused)
            return Ready::kRest;
        if (st.restart_pending) {
            note_starved(m); /* silent until the worker has rewound */
            return Ready::kWait;
        }
        // Faded out: drop the stale frames at once, so the worker has room
        // for the new beginning, and fade in once it is there.
        ring_read_skip_to(ring, st.discard_from);
        take_pass(v, st, st.discard_from);
        v->priming = true;
        compute_targets(v, false, t);
        retarget(&v->gains, t, m->ramp_frames);
    }
    if (v->priming) {
        // Starting on a trickle would stutter: a refill's worth first, or
        // all of a short source.
        if (ring_read_available(ring) < kRefillFrames && !session_data_complete(s)) {
            note_starved(m);
            return Ready::kWait;
        }
        v->priming = false;
    }
    return Ready::kPlay;
}

void mix_span(GainRamp *g, float *acc, const float *in, uint32_t slots, uint32_t frames)
{
    if (silent(g))
        return; /* the frames are consumed unheard */
    if (mix_pair_steady_fits(g, slots))
        mix_pair_steady(g, acc, in, frames);
    else
        mix_reference(g, acc, in, slots, frames);
}

/* A voice that had been playing ran dry with more to come: it waits for
   the worker, and says so; or it is fed again. */
void follow_feed(Mixer *m, Voice *v, uint32_t got, uint32_t frames, uint64_t read_pos)
{
    const bool starving = v->starving.load(std::memory_order_relaxed);
    if (got < frames && !starving) {
        v->starving.store(true, std::memory_order_relaxed);
        stop_clock(v, read_pos);
        push_event(m, v, SONA_STATE_WAITING);
    } else if (got == frames && starving) {
        v->starving.store(false, std::memory_order_relaxed);
        v->spot.floor = spot_frame(v->spot, read_pos - got);
        v->reanchor = true;
        push_event(m, v, SONA_STATE_PLAYING);
    }
}

/* What the chunk's output holds once its voices are mixed. */
enum class Wrote { kNothing, kAcc, kOut };

/* What became of a voice in a chunk. */
enum class Mixed { kStays, kEnded, kRests };

/* Mixes up to `frames` frames of one voice.  With `direct`, the voice is
   the only one: it may write the chunk's output straight away (kOut), or
   mixes into the accumulator, which is not yet cleared (kAcc), or leaves
   it untouched (kNothing). */
Mixed mix_voice(Mixer *m, Voice *v, float *acc, uint32_t frames, float *direct, Wrote *wrote)
{
    const Ready ready = voice_ready(m, v);
    if (ready != Ready::kPlay)
        return ready == Ready::kRest ? Mixed::kRests : Mixed::kStays;
    Ring *ring = &v->session->ring;
    const uint64_t read_pos = ring->read_pos.load(std::memory_order_relaxed);
    RingSpan spans[2];
    const uint32_t got = ring_read_spans(ring, frames, spans);
    if (direct && mix_lone_pair_fits(&v->gains, ring->slots, m->fold)) {
        mix_lone_pair(&v->gains, m->fold, spans, direct, frames);
        *wrote = Wrote::kOut;
    } else {
        if (direct) {
            std::fill(acc, acc + size_t(frames) * kAccStride, 0.0f);
            *wrote = Wrote::kAcc;
        }
        for (const RingSpan &span : spans) {
            mix_span(&v->gains, acc, span.data, ring->slots, span.frames);
            acc += size_t(span.frames) * kAccStride;
        }
    }
    ring_read_commit(ring, got);
    if (v->reanchor && got > 0 && !v->starving.load(std::memory_order_relaxed)) {
        tell_clock(v, m->position, read_pos, kNoLimit);
        v->reanchor = false;
    }
    if (got < frames && ring_read_available(ring) == 0 && session_played_out(v->session))
        return Mixed::kEnded; /* out of data: the end, not a late worker */
    if (got < frames)
        note_starved(m);
    follow_feed(m, v, got, frames, read_pos + got);
    return Mixed::kStays;
}

/* The voice leaves the mix at the end of this chunk, at its end or to
   rest; either is final once heard (mixer_heard). */
void voice_leaves(Mixer *m, Voice *v, uint64_t chunk_end, bool paused)
{
    stop_clock(v, v->session->ring.read_pos.load(std::memory_order_relaxed));
    m->endings[m->ending_count++] = {v, v->session, chunk_end, paused};
    v->session = nullptr;
}

/* Where the first voice whose data is all decoded runs out, so that the
   output can look then (its end's event is due). */
uint64_t voice_end(const Mixer *m, const Voice *v, uint32_t frames)
{
    const Session *s = v->session;
    if (!session_data_complete(s))
        return kNoPosition;
    const uint64_t end = s->end_pos.load(std::memory_order_relaxed);
    const uint64_t read = s->ring.read_pos.load(std::memory_order_relaxed);
    return m->position + frames + (end > read ? end - read : 0);
}

/* The earliest end to be heard: of a voice in the mix whose data is all
   decoded, or of one that has left it at its end and is not yet heard
   ending.  The keeper looks then, to signal its event. */
void publish_next_end(Mixer *m)
{
    uint64_t end = m->voices_end;
    for (uint32_t i = 0; i < m->ending_count; ++i)
        if (!m->endings[i].paused)
            end = std::min(end, m->endings[i].position);
    // Relaxed: a position to compare, which publishes nothing.
    m->next_end.store(end, std::memory_order_relaxed);
}

void take_new_voices(Mixer *m)
{
    const uint32_t mask = kMaxVoices - 1;
    uint32_t head = m->queue_head.load(std::memory_order_relaxed);
    // Acquire pairs with mixer_add's release: the entry, the voice's
    // controls and the session's ring are all initialised before.
    const uint32_t tail = m->queue_tail.load(std::memory_order_acquire);
    while (head != tail && m->voice_count < kMaxVoices) {
        const Handoff h = m->queue[head & mask];
        ++head;
        Voice *v = h.voice;
        v->session = h.session;
        v->gains = GainRamp{}; /* every start ramps up from silence */
        v->priming = true;
        v->joined_at = m->position;
        v->joined_read_pos = h.session->ring.read_pos.load(std::memory_order_relaxed);
        // A resumed voice keeps its place; one in a pass it has not yet
        // played from takes the pass's.
        const Staleness st = session_staleness(h.session);
        if (!st.restart_pending && v->joined_read_pos >= st.discard_from)
            take_pass(v, st, v->joined_read_pos);
        m->voices[m->voice_count++] = v;
    }
    // Release: the slots we read may be reused only after we are done.
    m->queue_head.store(head, std::memory_order_release);
}

void render_chunk(Mixer *m, float *out, uint32_t frames)
{
    take_new_voices(m);
    float *acc = m->acc.get();
    // One voice, the usual case, may skip the accumulator and the fold.
    float *direct = m->voice_count == 1 ? out : nullptr;
    Wrote wrote = direct ? Wrote::kNothing : Wrote::kAcc;
    if (!direct)
        std::fill(acc, acc + size_t(frames) * kAccStride, 0.0f);
    m->voices_end = kNoPosition;
    for (uint32_t i = 0; i < m->voice_count;) {
        Voice *v = m->voices[i];
        const Mixed mixed = mix_voice(m, v, acc, frames, direct, &wrote);
        if (mixed == Mixed::kStays) {
            m->voices_end = std::min(m->voices_end, voice_end(m, v, frames));
            ++i;
            continue;
        }
        voice_leaves(m, v, m->position + frames, mixed == Mixed::kRests);
        m->voices[i] = m->voices[--m->voice_count];
    }
    if (wrote == Wrote::kAcc)
        fold_out(m->fold, acc, out, frames);
    else if (wrote == Wrote::kNothing)
        std::fill(out, out + size_t(frames) * m->fold.channels, 0.0f);
    m->position += frames;
    // Relaxed: a position to compare, which publishes nothing.
    m->rendered.store(m->position, std::memory_order_relaxed);
    // The render path's one branch for writing ahead.  An output that plays
    // at once renders nothing again: what its clock says is heard is final.
    // One that writes ahead marks the mix here, to render again from, and
    // says itself what has been heard (output/write_ahead.h).
    if (history_kept(m)) {
        history_mark(m);
        publish_next_end(m);
    } else {
        mixer_heard(m, std::min(m->position, mixer_heard_now(m)));
    }
}

/* Out of the mix for good: a voice that played to its end, or one that
   rests, unless a resume came meanwhile (the CAS then fails). */
bool let_go(Mixer *m, const Ending &e)
{
    Voice *v = e.voice;
    if (e.paused) {
        uint32_t presence = Voice::kPauseAsked | Voice::kPresent;
        if (!v->presence.compare_exchange_strong(presence, Voice::kPauseAsked,
                                                 std::memory_order_acq_rel))
            return false;
    } else {
        if (!session_try_end(e.session))
            return false;
        // Relaxed: the API thread reads it only after seeing the session
        // ended, which the CAS above released.
        v->presence.store(0, std::memory_order_relaxed);
        push_event(m, v, SONA_STATE_STOPPED);
    }
    // Release: our last reads of the voice's queue slot come first.
    m->active.fetch_sub(1, std::memory_order_release);
    return true;
}

/* Voices that left the mix by `position`: let go of for good, or, when a
   restart or a resume came meanwhile, back into it, to be written again at
   once. */
void end_heard_voices(Mixer *m, uint64_t position)
{
    uint32_t kept = 0;
    for (uint32_t i = 0; i < m->ending_count; ++i) {
        const Ending e = m->endings[i];
        if (e.position > position) {
            m->endings[kept++] = e;
        } else if (!let_go(m, e)) {
            e.voice->joined_read_pos = e.session->ring.read_pos.load(std::memory_order_relaxed);
            history_rejoin(m, e.voice, e.session);
            note_starved(m);
        }
    }
    m->ending_count = kept;
}

} // namespace

bool mixer_init(Mixer *m, uint32_t rate_hz, uint32_t out_channels)
{
    if (!fold_for_channels(out_channels, &m->fold))
        return false;
    m->rate_hz = rate_hz;
    m->ramp_frames = std::max<uint32_t>(1, rate_hz * kRampMs / 1000);
    m->queue.reset(new (std::nothrow) Handoff[kMaxVoices]);
    m->voices.reset(new (std::nothrow) Voice *[kMaxVoices]);
    m->endings.reset(new (std::nothrow) Ending[kMaxVoices]);
    m->acc.reset(new (std::nothrow) float[size_t(kMixChunkFrames) * kAccStride]);
    m->voice_count = 0;
    // Before the mixer can run: starting the device or clock publishes these.
    m->queue_head.store(0, std::memory_order_relaxed);
    m->queue_tail.store(0, std::memory_order_relaxed);
    m->active.store(0, std::memory_order_relaxed);
    return m->queue && m->voices && m->endings && m->acc && events_init(&m->events);
}

uint32_t mixer_rate_hz(const Mixer *m)
{
    return m->rate_hz;
}

void mixer_set_out_channels(Mixer *m, uint32_t out_channels)
{
    fold_for_channels(out_channels, &m->fold);
}

uint32_t mixer_out_channels(const Mixer *m)
{
    return m->fold.channels;
}

bool mixer_reserve(Mixer *m)
{
    // Only the API thread counts up, so check-then-add cannot overshoot.
    // Acquire pairs with the mixer's release when a voice leaves, which
    // comes after it read that voice's queue slot.
    if (m->active.load(std::memory_order_acquire) >= kMaxVoices)
        return false;
    m->active.fetch_add(1, std::memory_order_relaxed); /* the queue's release publishes */
    return true;
}

void mixer_add(Mixer *m, Voice *v, Session *s)
{
    const uint32_t tail = m->queue_tail.load(std::memory_order_relaxed);
    m->queue[tail & (kMaxVoices - 1)] = {v, s};
    m->queue_tail.store(tail + 1, std::memory_order_release);
    mixer_changed(m);
}

void mixer_changed(Mixer *m)
{
    // Relaxed: a count to compare, which publishes nothing; the controls
    // it stands for are atomics of their own.
    m->changes.fetch_add(1, std::memory_order_relaxed);
    if (m->listener.changed)
        m->listener.changed(m->listener.context);
}

bool mixer_has_voices(const Mixer *m)
{
    // Relaxed: one value that publishes nothing.  The API thread counts up
    // before it tells the listener, whose write to the output's eventfd
    // wakes the keeper that loads it: a count seen late would only wait
    // for the keeper's next look, and a voice leaving seen late only
    // delays a pause.
    return m->active.load(std::memory_order_relaxed) > 0;
}

RingSizes mixer_ring_sizes(const Mixer *m)
{
    // Relaxed: sizes to choose, set by the output while nothing renders.
    return {m->pair_ring_frames.load(std::memory_order_relaxed),
            m->wide_ring_frames.load(std::memory_order_relaxed)};
}

void mixer_playing_at(Mixer *m, uint64_t position, int64_t at_ns)
{
    heard_publish(&m->heard_clock, position, at_ns);
}

uint64_t mixer_rendered(const Mixer *m)
{
    return m->rendered.load(std::memory_order_relaxed);
}

uint64_t mixer_heard_now(const Mixer *m)
{
    return heard_now(&m->heard_clock, mixer_rendered(m), m->rate_hz);
}

uint64_t mixer_voice_frame(const Mixer *m, const Voice *v)
{
    return clock_frame_at(clock_read(&v->clock), mixer_heard_now(m));
}

void mixer_output_lost(Mixer *m)
{
    for (uint32_t i = 0; i < m->voice_count; ++i) {
        Voice *v = m->voices[i];
        if (v->starving.load(std::memory_order_relaxed))
            continue;
        v->starving.store(true, std::memory_order_relaxed);
        stop_clock(v, v->session->ring.read_pos.load(std::memory_order_relaxed));
        push_event(m, v, SONA_STATE_WAITING);
    }
}

void mixer_heard(Mixer *m, uint64_t position)
{
    end_heard_voices(m, position);
    history_heard(m, position);
    publish_next_end(m);
}

void mixer_render(Mixer *m, float *out, uint32_t frames)
{
    while (frames > 0) {
        const uint32_t n = std::min(frames, kMixChunkFrames);
        render_chunk(m, out, n);
        out += size_t(n) * m->fold.channels;
        frames -= n;
    }
}

} // namespace sona
