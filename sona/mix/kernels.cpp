// What a gain means, stated once in mix_reference, and the two fast paths
// that the usual cases take (tests/sona/test_mix_kernels.cpp holds them to
// the reference).  Real-time code (see the contract in sona_internal.h).
#include "mix/kernels.h"

#include <algorithm>
#include <numeric>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace sona {

namespace {

/* Clamped to full scale.  Written so each line is one SSE max or min
   instruction (fmin/fmax are library calls; std::max's NaN rule makes the
   compiler branch).  A NaN, which the decoder keeps out anyway, ends as -1. */
inline float full_scale(float x)
{
    x = x > -1.0f ? x : -1.0f;
    return x < 1.0f ? x : 1.0f;
}

/* full_scale four lanes at a time.  GCC spells a vector select as compare,
   and, and-not, or: four instructions where SSE has one max or min. */
inline Vec4 full_scale4(Vec4 x)
{
    const Vec4 lo = vec4_splat(-1.0f);
    const Vec4 hi = vec4_splat(1.0f);
#if defined(__SSE__)
    // maxps returns its second operand when the first is NaN: -1, as above.
    return Vec4(_mm_min_ps(_mm_max_ps(__m128(x), __m128(lo)), __m128(hi)));
#else
    x = x > lo ? x : lo;
    return x < hi ? x : hi;
#endif
}

/* One ring frame as the mix sees it: a value per mix slot and the mono
   downmix.  A front-pair ring carries FL and FR; its mono is their mean. */
inline void ring_frame(const float *in, uint32_t slots, float x[kMixChannels], float *mono)
{
    std::fill(x, x + kMixChannels, 0.0f);
    if (slots == kPairSlots) {
        x[kFL] = in[0];
        x[kFR] = in[1];
        *mono = 0.5f * (in[0] + in[1]);
    } else {
        std::copy(in, in + kMixChannels, x);
        *mono = in[kMono];
    }
}

bool routed(const GainRamp *g)
{
    return std::any_of(g->now + kMixChannels, g->now + kGains, [](float k) { return k != 0.0f; });
}

/* One span of the lone path: two frames (stereo) or four (5.1) per step,
   then frame by frame.  Returns where the output goes on. */
float *lone_pair_span(float left, float right, uint32_t n, const RingSpan &span, float *out)
{
    const Vec4 gain = {left, right, left, right}; /* two frames in one register */
    const Vec4 zero = {};
    const float *in = span.data;
    uint32_t i = 0;
    if (n == kMixChannels) {
        // Four 5.1 frames are six whole registers: the pairs placed by
        // shuffles, the rest silence.
        for (; i + 4 <= span.frames; i += 4, in += 4 * kPairSlots, out += 4 * kMixChannels) {
            const Vec4 x = full_scale4(vec4_load(in) * gain);
            const Vec4 y = full_scale4(vec4_load(in + 4) * gain);
            vec4_store(out, __builtin_shufflevector(x, zero, 0, 1, 4, 4));
            vec4_store(out + 4, __builtin_shufflevector(x, zero, 4, 4, 2, 3));
            vec4_store(out + 8, zero);
            vec4_store(out + 12, __builtin_shufflevector(y, zero, 0, 1, 4, 4));
            vec4_store(out + 16, __builtin_shufflevector(y, zero, 4, 4, 2, 3));
            vec4_store(out + 20, zero);
        }
    } else {
        for (; i + 2 <= span.frames; i += 2, in += 2 * kPairSlots, out += 2 * kPairSlots)
            vec4_store(out, full_scale4(vec4_load(in) * gain));
    }
    for (; i < span.frames; ++i, in += kPairSlots, out += n) {
        std::fill(out, out + n, 0.0f);
        out[0] = full_scale(left * in[0]);
        out[1] = full_scale(right * in[1]);
    }
    return out;
}

} // namespace

bool fold_for_channels(uint32_t channels, Fold *fold)
{
    Fold f;
    f.channels = channels;
    switch (channels) {
    case 1: /* the mean of the two sides */
        for (int c = 0; c < kMixChannels; ++c)
            f.gain[0][c] = fold_to_mono(c);
        break;
    case 2:
        for (int o = 0; o < kPairSlots; ++o)
            std::copy(kFoldToPair[o], kFoldToPair[o] + kMixChannels, f.gain[o]);
        break;
    case 4: /* SDL's quad order, FL FR RL RR: only the centre is folded */
        for (int o = 0; o < kPairSlots; ++o) {
            std::copy(kFoldToPair[o], kFoldToPair[o] + kMixChannels, f.gain[o]);
            f.gain[o][kRL] = f.gain[o][kRR] = 0.0f;
        }
        f.gain[2][kRL] = f.gain[3][kRR] = 1.0f;
        break;
    case kMixChannels:
        for (int c = 0; c < kMixChannels; ++c)
            f.gain[c][c] = 1.0f;
        break;
    default:
        return false;
    }
    // Every row scaled alike, by the widest: full scale on every mix
    // channel at once stays within full scale.
    float widest = 0.0f;
    for (uint32_t o = 0; o < channels; ++o)
        widest = std::max(widest, std::accumulate(f.gain[o], f.gain[o] + kMixChannels, 0.0f));
    for (uint32_t o = 0; o < channels; ++o)
        for (float &k : f.gain[o])
            k /= widest;
    *fold = f;
    return true;
}

void mix_reference(GainRamp *g, float *acc, const float *in, uint32_t slots, uint32_t frames)
{
    for (uint32_t i = 0; i < frames; ++i, acc += kAccStride, in += slots) {
        if (g->left_frames > 0)
            for (int j = 0; j < kGains; ++j)
                g->now[j] += g->step[j];
        float x[kMixChannels], mono;
        ring_frame(in, slots, x, &mono);
        for (int c = 0; c < kMixChannels; ++c)
            acc[c] += g->now[c] * x[c] + g->now[kMixChannels + c] * mono;
        if (g->left_frames > 0 && --g->left_frames == 0)
            std::copy(g->target, g->target + kGains, g->now); /* no drift */
    }
}

bool mix_pair_steady_fits(const GainRamp *g, uint32_t slots)
{
    return slots == kPairSlots && g->left_frames == 0 && !routed(g);
}

void mix_pair_steady(const GainRamp *g, float *__restrict acc, const float *__restrict in,
                     uint32_t frames)
{
    // Gains in locals and restrict pointers: the compiler may otherwise
    // assume acc aliases the gains and reload them every frame.
    const float kl = g->now[kFL], kr = g->now[kFR];
    for (uint32_t i = 0; i < frames; ++i, acc += kAccStride, in += kPairSlots) {
        acc[kFL] += kl * in[0];
        acc[kFR] += kr * in[1];
    }
}

bool mix_lone_pair_fits(const GainRamp *g, uint32_t slots, const Fold &fold)
{
    const uint32_t n = fold.channels;
    if (!mix_pair_steady_fits(g, slots) || (n != kMixChannels && n != kPairSlots))
        return false;
    for (uint32_t o = 0; o < n; ++o)
        if (fold.gain[o][kFL] != (o == 0 ? fold.gain[0][kFL] : 0.0f) ||
            fold.gain[o][kFR] != (o == 1 ? fold.gain[1][kFR] : 0.0f))
            return false;
    return true;
}

void mix_lone_pair(const GainRamp *g, const Fold &fold, const RingSpan spans[2], float *out,
                   uint32_t frames)
{
    const uint32_t n = fold.channels;
    const float left = fold.gain[0][kFL] * g->now[kFL];
    const float right = fold.gain[1][kFR] * g->now[kFR];
    out = lone_pair_span(left, right, n, spans[0], out);
    out = lone_pair_span(left, right, n, spans[1], out);
    // The voice ran dry within the chunk: the rest is silence.
    const uint32_t done = spans[0].frames + spans[1].frames;
    std::fill(out, out + size_t(frames - done) * n, 0.0f);
}

void fold_out(const Fold &fold, const float *acc, float *out, uint32_t frames)
{
    const uint32_t n = fold.channels;
    if (n == kMixChannels) {
        // The 5.1 fold is the identity: clamped four lanes at a time.
        for (uint32_t i = 0; i < frames; ++i, acc += kAccStride, out += kMixChannels) {
            vec4_store(out, full_scale4(vec4_load(acc)));
            const Vec4 rear = full_scale4(vec4_load(acc + 4)); /* RL RR and padding */
            std::memcpy(out + 4, &rear, 2 * sizeof(float));
        }
        return;
    }
    for (uint32_t i = 0; i < frames; ++i, acc += kAccStride, out += n) {
        for (uint32_t o = 0; o < n; ++o) {
            float x = 0.0f;
            for (int c = 0; c < kMixChannels; ++c)
                x += fold.gain[o][c] * acc[c];
            out[o] = full_scale(x);
        }
    }
}

} // namespace sona
