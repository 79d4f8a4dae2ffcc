// Each fast path of the mix against the reference kernel on random gains,
// routes, ramps, samples and frame counts: where it fits, it gives the same.
#include "sona_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

using namespace sona;

namespace {

struct FastPath {
    const char *name;
    uint32_t out_channels;
    bool lone; /* straight to the output, else into the accumulator */
    bool ever_fits;
} const kPaths[] = {
    {"a steady front pair among others", kMixChannels, false, true},
    {"a lone front pair to 5.1", kMixChannels, true, true},
    {"a lone front pair to stereo", 2, true, true},
    {"never alone to quad, whose rears the vectors would fill", 4, true, false},
    {"never alone to mono, which mixes both sides", 1, true, false},
};

using Floats = std::vector<float>;
std::mt19937 rng(20261207);
float uniform(float lo, float hi)
{
    return std::uniform_real_distribution<float>(lo, hi)(rng);
}
/* Past full scale too, for the clamp. */
Floats random_samples(size_t count)
{
    Floats v(count);
    std::generate(v.begin(), v.end(), [] { return uniform(-1.5f, 1.5f); });
    return v;
}

/* Any gains: sometimes routed to one speaker, sometimes in mid-ramp. */
GainRamp random_gains()
{
    GainRamp g;
    std::generate(g.now, g.now + kMixChannels, [] { return uniform(0.0f, 1.0f); });
    if (rng() % 3 == 0)
        g.now[kMixChannels + rng() % kMixChannels] = uniform(0.1f, 1.0f);
    g.left_frames = rng() % 3 == 0 ? 1 + rng() % kMixChunkFrames : 0;
    std::generate(g.target, g.target + kGains, [] { return uniform(0.0f, 1.0f); });
    std::generate(g.step, g.step + kGains, [] { return uniform(-0.01f, 0.01f); });
    return g;
}

/* One random voice through `path` and the reference: (fast, reference),
   or nothing when the path does not take it. */
std::pair<Floats, Floats> compare_once(const FastPath &path, const Fold &fold)
{
    const uint32_t slots = rng() % 2 ? kPairSlots : kRingSlots;
    GainRamp g = random_gains(), reference = g;
    if (!(path.lone ? mix_lone_pair_fits(&g, slots, fold) : mix_pair_steady_fits(&g, slots)))
        return {};
    const uint32_t frames = 1 + rng() % kMixChunkFrames;
    const uint32_t got = path.lone ? rng() % (frames + 1) : frames; /* alone, it may run dry */
    Floats in = random_samples(size_t(got) * slots);
    Floats acc = random_samples(size_t(frames) * kAccStride), fast = acc;
    if (path.lone)
        std::fill(acc.begin(), acc.end(), 0.0f);
    mix_reference(&reference, acc.data(), in.data(), slots, got);
    if (!path.lone) {
        mix_pair_steady(&g, fast.data(), in.data(), frames);
        return {fast, acc};
    }
    Floats want(size_t(frames) * fold.channels), out(want.size());
    fold_out(fold, acc.data(), want.data(), frames);
    const uint32_t wrap = rng() % (got + 1); /* where the ring wraps */
    const RingSpan spans[2] = {{in.data(), wrap}, {in.data() + wrap * slots, got - wrap}};
    mix_lone_pair(&g, fold, spans, out.data(), frames);
    return {out, want};
}

TEST(MixKernels, EachFastPathGivesWhatTheReferenceGives)
{
    for (const FastPath &path : kPaths) {
        SCOPED_TRACE(path.name);
        Fold fold;
        ASSERT_TRUE(fold_for_channels(path.out_channels, &fold));
        int fitted = 0;
        for (int trial = 0; trial < 400; ++trial) {
            const auto [got, want] = compare_once(path, fold);
            fitted += !want.empty();
            ASSERT_EQ(got.size(), want.size());
            for (size_t i = 0; i < got.size(); ++i)
                ASSERT_NEAR(got[i], want[i], 1e-5f) << "trial " << trial << ", float " << i;
        }
        EXPECT_EQ(fitted > 0, path.ever_fits);
    }
}

} // namespace
