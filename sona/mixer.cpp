// The mix: every playing voice's ring, through its ramped gain vector, into
// a 5.1 accumulator, then folded to the device's channel count.  Real-time
// code from mixer_render down (see the contract in sona_internal.h); it
// knows nothing of SDL and is driven the same way by the device, the
// silent clock and the tests.
#include "sona_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace sona {

namespace {

constexpr float kHalfPower = 0.70710678f;
constexpr int kGains = 2 * kMixChannels;
static_assert(kAccStride == 8 && kRingSlots == 8, "the steady loop works in two halves of four");

/* Four floats as one SSE register (GCC and Clang vector extension). */
typedef float Vec4 __attribute__((vector_size(16)));

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
    const float left = pan <= 64 ? 1.0f : float(128 - pan) / 64.0f;
    const float right = pan >= 64 ? 1.0f : float(pan) / 64.0f;
    t[kFL] = vol * left;
    t[kFR] = vol * right;
    t[kFC] = t[kLFE] = t[kRL] = t[kRR] = vol;
}

void mix_ramp(Voice *v, float *acc, const float *in, uint32_t frames)
{
    float *g = v->gain_now;
    const float *step = v->gain_step;
    for (uint32_t i = 0; i < frames; ++i, acc += kAccStride, in += kRingSlots) {
        const float mono = in[kMono];
        for (int c = 0; c < kMixChannels; ++c) {
            g[c] += step[c];
            g[kMixChannels + c] += step[kMixChannels + c];
            acc[c] += g[c] * in[c] + g[kMixChannels + c] * mono;
        }
    }
}

void mix_steady(const Voice *v, float *acc, const float *in, uint32_t frames)
{
    const float *g = v->gain_now;
    bool own = false, routed = false;
    for (int c = 0; c < kMixChannels; ++c) {
        own |= g[c] != 0.0f;
        routed |= g[kMixChannels + c] != 0.0f;
    }
    if (own && !routed) {
        // Gains in locals and restrict pointers: the compiler may otherwise
        // assume acc aliases the gains and reload them every frame.
        // Padded to eight, the mono and padding slots at gain 0, so each
        // frame is two four-wide multiply-adds.  Spelled out with vector
        // types: at -O2 the compiler leaves this hottest loop scalar.
        float k[kAccStride] = {};
        std::copy(g, g + kMixChannels, k);
        Vec4 k0, k1;
        std::memcpy(&k0, k, sizeof k0);
        std::memcpy(&k1, k + 4, sizeof k1);
        for (uint32_t i = 0; i < frames; ++i, acc += kAccStride, in += kRingSlots) {
            Vec4 a0, a1, f0, f1;
            std::memcpy(&a0, acc, sizeof a0);
            std::memcpy(&a1, acc + 4, sizeof a1);
            std::memcpy(&f0, in, sizeof f0);
            std::memcpy(&f1, in + 4, sizeof f1);
            a0 += k0 * f0;
            a1 += k1 * f1;
            std::memcpy(acc, &a0, sizeof a0);
            std::memcpy(acc + 4, &a1, sizeof a1);
        }
    } else if (routed && !own) {
        for (int c = 0; c < kMixChannels; ++c) {
            const float k = g[kMixChannels + c];
            if (k == 0.0f)
                continue;
            for (uint32_t i = 0; i < frames; ++i)
                acc[size_t(i) * kAccStride + c] += k * in[size_t(i) * kRingSlots + kMono];
        }
    } else if (own && routed) {
        for (uint32_t i = 0; i < frames; ++i, acc += kAccStride, in += kRingSlots)
            for (int c = 0; c < kMixChannels; ++c)
                acc[c] += g[c] * in[c] + g[kMixChannels + c] * in[kMono];
    }
    /* all gains zero: the frames are consumed unheard */
}

/* The same for a front-pair ring: (FL, FR) frames, the mono downmix their
   average.  The other own-layout gains meet silence and are skipped. */
void mix_ramp_pair(Voice *v, float *acc, const float *in, uint32_t frames)
{
    float *g = v->gain_now;
    const float *step = v->gain_step;
    for (uint32_t i = 0; i < frames; ++i, acc += kAccStride, in += kPairSlots) {
        const float l = in[0], r = in[1];
        const float mono = 0.5f * (l + r);
        for (int j = 0; j < kGains; ++j)
            g[j] += step[j];
        acc[kFL] += g[kFL] * l + g[kMixChannels + kFL] * mono;
        acc[kFR] += g[kFR] * r + g[kMixChannels + kFR] * mono;
        for (int c = kFC; c < kMixChannels; ++c)
            acc[c] += g[kMixChannels + c] * mono;
    }
}

void mix_steady_pair(const Voice *v, float *__restrict acc, const float *__restrict in,
                     uint32_t frames)
{
    const float *g = v->gain_now;
    const float kl = g[kFL], kr = g[kFR];
    float routed[kMixChannels];
    bool any_routed = false;
    for (int c = 0; c < kMixChannels; ++c) {
        routed[c] = 0.5f * g[kMixChannels + c]; /* folds the average's half in */
        any_routed |= routed[c] != 0.0f;
    }
    if (!any_routed) {
        for (uint32_t i = 0; i < frames; ++i, acc += kAccStride, in += kPairSlots) {
            acc[kFL] += kl * in[0];
            acc[kFR] += kr * in[1];
        }
        return;
    }
    for (uint32_t i = 0; i < frames; ++i, acc += kAccStride, in += kPairSlots) {
        const float sum = in[0] + in[1];
        acc[kFL] += kl * in[0];
        acc[kFR] += kr * in[1];
        for (int c = 0; c < kMixChannels; ++c)
            acc[c] += routed[c] * sum;
    }
}

void mix_span(Voice *v, float *acc, const float *in, uint32_t slots, uint32_t frames)
{
    const bool pair = slots == kPairSlots;
    if (v->ramp_left_frames > 0) {
        const uint32_t k = std::min(frames, v->ramp_left_frames);
        if (pair)
            mix_ramp_pair(v, acc, in, k);
        else
            mix_ramp(v, acc, in, k);
        v->ramp_left_frames -= k;
        if (v->ramp_left_frames == 0)
            std::copy(v->gain_target, v->gain_target + kGains, v->gain_now); /* no drift */
        acc += size_t(k) * kAccStride;
        in += size_t(k) * slots;
        frames -= k;
    }
    if (frames == 0)
        return;
    if (pair)
        mix_steady_pair(v, acc, in, frames);
    else
        mix_steady(v, acc, in, frames);
}

void retarget(Voice *v, const float t[kGains], uint32_t ramp_frames)
{
    if (std::equal(t, t + kGains, v->gain_target))
        return; /* the same value again restarts nothing */
    std::copy(t, t + kGains, v->gain_target);
    // From where the ramp is now, not from the old target.
    for (int j = 0; j < kGains; ++j)
        v->gain_step[j] = (t[j] - v->gain_now[j]) / float(ramp_frames);
    v->ramp_left_frames = ramp_frames;
}

bool all_zero(const float g[kGains])
{
    return std::all_of(g, g + kGains, [](float x) { return x == 0.0f; });
}

bool play_direct(const Mixer *m, const Voice *v, const Ring *ring);
void mix_direct(const Mixer *m, const Voice *v, const RingSpan spans[2], float *out,
                uint32_t frames);

/* What a chunk's one voice wrote, when it was offered the output itself. */
enum class Wrote { kNothing, kAcc, kOut };

/* Mixes up to `frames` frames of one voice; false once its session ended.
   With `direct`, the voice is the only one: it may write the chunk's
   output straight away (wrote = kOut), or mixes into the accumulator,
   which is not yet cleared (kAcc), or stays silent (kNothing). */
bool mix_voice(Mixer *m, Voice *v, float *acc, uint32_t frames, float *direct, Wrote *wrote)
{
    Session *s = v->session;
    Ring *ring = &s->ring;

    // A restart the worker has carried out marks everything before
    // discard_from as stale; one it has not yet carried out makes all that
    // is in the ring stale, though where the new pass begins is not known
    // yet.  The acquire loads pair with the worker's releases: discard_from
    // is stored after end_pos is reset, served_restarts after discard_from,
    // so loading served first never pairs a new count with an old mark.
    const uint32_t requested = s->control.load(std::memory_order_acquire) >> 1;
    const bool pending = requested != s->served_restarts.load(std::memory_order_acquire);
    const uint64_t discard = s->discard_from.load(std::memory_order_acquire);
    const bool stale = pending || discard > ring->read_pos.load(std::memory_order_relaxed);
    float t[kGains];
    compute_targets(v, stale, t);
    retarget(v, t, m->ramp_frames);
    if (stale && v->ramp_left_frames == 0 && all_zero(v->gain_now)) {
        if (pending)
            return true; /* silent until the worker has rewound */
        // Faded out: drop the stale frames at once, so the worker has room
        // for the new beginning, and fade in once it is there.
        ring_read_skip_to(ring, discard);
        v->priming = true;
        compute_targets(v, false, t);
        retarget(v, t, m->ramp_frames);
    }
    if (v->priming) {
        // A (re)start waits until a refill's worth is decoded, or all of a
        // short source is: starting on a trickle would stutter.  Waiting
        // consumes nothing and moves no ramp.
        // Acquire pairs with the worker's release of end_pos: every frame
        // before it is in the ring.
        if (ring_read_available(ring) < kRefillFrames &&
            s->end_pos.load(std::memory_order_acquire) == kNoPosition)
            return true;
        v->priming = false;
    }

    RingSpan spans[2];
    const uint32_t got = ring_read_spans(ring, frames, spans);
    if (direct && play_direct(m, v, ring)) {
        mix_direct(m, v, spans, direct, frames);
        *wrote = Wrote::kOut;
    } else {
        if (direct) {
            std::fill(acc, acc + size_t(frames) * kAccStride, 0.0f);
            *wrote = Wrote::kAcc;
        }
        for (const RingSpan &span : spans) {
            if (span.frames == 0)
                continue;
            mix_span(v, acc, span.data, ring->slots, span.frames);
            acc += size_t(span.frames) * kAccStride;
        }
    }
    ring_read_commit(ring, got);
    if (got == frames || ring_read_available(ring) > 0)
        return true;

    // Out of data: the end, or only the worker running late?  The acquire
    // loads pair with the worker's releases: served_restarts published the
    // reset of end_pos for that restart, end_pos the frames before it.
    uint32_t control = s->control.load(std::memory_order_acquire);
    const uint32_t served = s->served_restarts.load(std::memory_order_acquire);
    const uint64_t end = s->end_pos.load(std::memory_order_acquire);
    if ((control >> 1) != served || end == kNoPosition ||
        ring->read_pos.load(std::memory_order_relaxed) < end)
        return true;
    // Ended, unless a restart arrived meanwhile: then the CAS fails and the
    // voice waits for the rewound data.  acq_rel: release hands the session
    // over (all our reads of it happen-before whoever frees it), acquire
    // keeps our view of control consistent with the API thread's.
    return !s->control.compare_exchange_strong(control, control | 1u, std::memory_order_acq_rel,
                                               std::memory_order_relaxed);
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
        std::fill(v->gain_now, v->gain_now + kGains, 0.0f); /* every start ramps up */
        std::fill(v->gain_target, v->gain_target + kGains, 0.0f);
        v->ramp_left_frames = 0;
        v->priming = true;
        m->voices[m->voice_count++] = v;
    }
    // Release: the slots we read may be reused only after we are done.
    m->queue_head.store(head, std::memory_order_release);
}

/* Clamped to full scale.  Written so each line is one SSE max or min
   instruction (fmin/fmax are library calls; std::max's NaN rule makes the
   compiler branch).  A NaN, which the decoder keeps out anyway, ends as -1. */
inline float full_scale(float x)
{
    x = x > -1.0f ? x : -1.0f;
    return x < 1.0f ? x : 1.0f;
}

/* full_scale four lanes at a time.  GCC spells a vector select as compare,
   and, and-not, or: four instructions where SSE has one max or min, and
   this runs twice per frame. */
inline Vec4 clamp4(Vec4 x, Vec4 lo, Vec4 hi)
{
#if defined(__SSE__)
    // maxps returns its second operand when the first is NaN: -1, as above.
    return Vec4(_mm_min_ps(_mm_max_ps(__m128(x), __m128(lo)), __m128(hi)));
#else
    x = x > lo ? x : lo;
    return x < hi ? x : hi;
#endif
}

void fold_out(const Mixer *m, const float *acc, float *out, uint32_t frames)
{
    const uint32_t n = m->out_channels;
    if (n == kMixChannels) {
        // The common 5.1 case, clamped four lanes at a time.
        const Vec4 lo = {-1.0f, -1.0f, -1.0f, -1.0f};
        const Vec4 hi = {1.0f, 1.0f, 1.0f, 1.0f};
        for (uint32_t i = 0; i < frames; ++i, acc += kAccStride, out += kMixChannels) {
            Vec4 a, b;
            std::memcpy(&a, acc, sizeof a);
            std::memcpy(&b, acc + 4, sizeof b);
            a = clamp4(a, lo, hi);
            b = clamp4(b, lo, hi);
            std::memcpy(out, &a, sizeof a);
            std::memcpy(out + 4, &b, 2 * sizeof(float)); /* FL FR FC LFE | RL RR */
        }
        return;
    }
    for (uint32_t i = 0; i < frames; ++i, acc += kAccStride, out += n) {
        for (uint32_t o = 0; o < n; ++o) {
            float x = 0.0f;
            for (int c = 0; c < kMixChannels; ++c)
                x += m->fold[o][c] * acc[c];
            out[o] = full_scale(x);
        }
    }
}

/* A voice alone, steady, on the front pair and not routed, to a 5.1 or
   stereo device (whose folds keep the front pair apart): each output frame
   is its two samples times a gain each, clamped, and silence elsewhere. */
bool play_direct(const Mixer *m, const Voice *v, const Ring *ring)
{
    const uint32_t n = m->out_channels;
    if (ring->slots != kPairSlots || v->ramp_left_frames != 0 || (n != 6 && n != 2))
        return false;
    for (int c = 0; c < kMixChannels; ++c)
        if (v->gain_now[kMixChannels + c] != 0.0f)
            return false;
    for (uint32_t o = 0; o < n; ++o)
        if (m->fold[o][kFL] != (o == 0 ? m->fold[0][kFL] : 0.0f) ||
            m->fold[o][kFR] != (o == 1 ? m->fold[1][kFR] : 0.0f))
            return false;
    return true;
}

void mix_direct(const Mixer *m, const Voice *v, const RingSpan spans[2], float *out,
                uint32_t frames)
{
    const uint32_t n = m->out_channels;
    const float left = m->fold[0][kFL] * v->gain_now[kFL];
    const float right = m->fold[1][kFR] * v->gain_now[kFR];
    // Two frames a step: (L, R, L, R) in one register.
    const Vec4 gain = {left, right, left, right};
    const Vec4 lo = {-1.0f, -1.0f, -1.0f, -1.0f};
    const Vec4 hi = {1.0f, 1.0f, 1.0f, 1.0f};
    const Vec4 zero = {};
    uint32_t done = 0;
    for (int k = 0; k < 2; ++k) {
        const float *in = spans[k].data;
        const uint32_t count = spans[k].frames;
        uint32_t i = 0;
        if (n == 6) {
            // Four 5.1 frames are six whole registers: the pairs placed by
            // shuffles, the rest silence.
            for (; i + 4 <= count; i += 4, in += 4 * kPairSlots, out += 4 * 6) {
                Vec4 x, y;
                std::memcpy(&x, in, sizeof x);
                std::memcpy(&y, in + 4, sizeof y);
                x = clamp4(x * gain, lo, hi);
                y = clamp4(y * gain, lo, hi);
                const Vec4 s0 = __builtin_shufflevector(x, zero, 0, 1, 4, 4);
                const Vec4 s1 = __builtin_shufflevector(x, zero, 4, 4, 2, 3);
                const Vec4 s3 = __builtin_shufflevector(y, zero, 0, 1, 4, 4);
                const Vec4 s4 = __builtin_shufflevector(y, zero, 4, 4, 2, 3);
                std::memcpy(out, &s0, sizeof s0);
                std::memcpy(out + 4, &s1, sizeof s1);
                std::memcpy(out + 8, &zero, sizeof zero);
                std::memcpy(out + 12, &s3, sizeof s3);
                std::memcpy(out + 16, &s4, sizeof s4);
                std::memcpy(out + 20, &zero, sizeof zero);
            }
        } else {
            for (; i + 2 <= count; i += 2, in += 2 * kPairSlots, out += 2 * 2) {
                Vec4 x;
                std::memcpy(&x, in, sizeof x);
                x = clamp4(x * gain, lo, hi);
                std::memcpy(out, &x, sizeof x);
            }
        }
        for (; i < count; ++i, in += kPairSlots, out += n) {
            std::fill(out, out + n, 0.0f);
            out[0] = full_scale(left * in[0]);
            out[1] = full_scale(right * in[1]);
        }
        done += count;
    }
    // The voice ran dry within the chunk: the rest is silence.
    std::fill(out, out + size_t(frames - done) * n, 0.0f);
}

} // namespace

void mixer_fold_matrix(uint32_t channels, float fold[kMixChannels][kMixChannels])
{
    for (int o = 0; o < kMixChannels; ++o)
        for (int c = 0; c < kMixChannels; ++c)
            fold[o][c] = 0.0f;
    // ITU-R BS.775 fold-down, LFE dropped:
    //   L = FL + 0.707 FC + 0.707 RL,   R = FR + 0.707 FC + 0.707 RR,
    // scaled by a = 1 / (1 + 0.707 + 0.707) = 0.4142 so that full scale on
    // every source channel stays within full scale.  Quad keeps the rears
    // and folds only the centre (scale 1 / 1.707); mono is (L + R) / 2.
    const float a = 1.0f / (1.0f + 2.0f * kHalfPower);
    const float q = 1.0f / (1.0f + kHalfPower);
    switch (channels) {
    case 1:
        fold[0][kFL] = fold[0][kFR] = 0.5f * a;
        fold[0][kFC] = a * kHalfPower;
        fold[0][kRL] = fold[0][kRR] = 0.5f * a * kHalfPower;
        break;
    case 2:
        fold[0][kFL] = fold[1][kFR] = a;
        fold[0][kFC] = fold[1][kFC] = a * kHalfPower;
        fold[0][kRL] = fold[1][kRR] = a * kHalfPower;
        break;
    case 4: /* SDL's quad order: FL FR RL RR */
        fold[0][kFL] = fold[1][kFR] = q;
        fold[0][kFC] = fold[1][kFC] = q * kHalfPower;
        fold[2][kRL] = fold[3][kRR] = q;
        break;
    default:
        for (int c = 0; c < kMixChannels; ++c)
            fold[c][c] = 1.0f;
        break;
    }
}

bool mixer_init(Mixer *m, uint32_t rate_hz, uint32_t out_channels)
{
    static_assert((kMaxVoices & (kMaxVoices - 1)) == 0, "the queue indexes with a mask");
    m->rate_hz = rate_hz;
    m->out_channels = out_channels;
    m->ramp_frames = std::max<uint32_t>(1, rate_hz * kRampMs / 1000);
    mixer_fold_matrix(out_channels, m->fold);
    m->queue.reset(new (std::nothrow) Handoff[kMaxVoices]);
    m->voices.reset(new (std::nothrow) Voice *[kMaxVoices]);
    m->acc.reset(new (std::nothrow) float[size_t(kMixChunkFrames) * kAccStride]);
    m->voice_count = 0;
    // Before the mixer can run: starting the device or clock publishes these.
    m->queue_head.store(0, std::memory_order_relaxed);
    m->queue_tail.store(0, std::memory_order_relaxed);
    m->active.store(0, std::memory_order_relaxed);
    return m->queue && m->voices && m->acc;
}

void mixer_set_out_channels(Mixer *m, uint32_t out_channels)
{
    m->out_channels = out_channels;
    mixer_fold_matrix(out_channels, m->fold);
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
}

void mixer_render(Mixer *m, float *out, uint32_t frames)
{
    while (frames > 0) {
        const uint32_t n = std::min(frames, kMixChunkFrames);
        take_new_voices(m);
        float *acc = m->acc.get();
        // One voice, the usual case, may skip the accumulator and the fold.
        float *direct = m->voice_count == 1 ? out : nullptr;
        Wrote wrote = Wrote::kAcc;
        if (direct)
            wrote = Wrote::kNothing;
        else
            std::fill(acc, acc + size_t(n) * kAccStride, 0.0f);
        for (uint32_t i = 0; i < m->voice_count;) {
            Voice *v = m->voices[i];
            if (mix_voice(m, v, acc, n, direct, &wrote)) {
                ++i;
                continue;
            }
            v->session = nullptr;
            m->voices[i] = m->voices[--m->voice_count];
            m->active.fetch_sub(1, std::memory_order_release);
        }
        if (wrote == Wrote::kAcc)
            fold_out(m, acc, out, n);
        else if (wrote == Wrote::kNothing)
            std::fill(out, out + size_t(n) * m->out_channels, 0.0f);
        out += size_t(n) * m->out_channels;
        frames -= n;
    }
}

} // namespace sona
