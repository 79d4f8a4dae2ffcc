// The mix's pure parts: the channel map from FFmpeg layouts to the gain
// rows of the ring's slots and of a front-pair ring (rows not listed are
// silent); each fast path of the mix against the reference kernel on random
// gains, routes, ramps, samples past full scale and frame counts (where it
// fits, it gives the same, and never past full scale); and the ring from
// decoder to mixer, wrapping, skipping and reading again.  (The ring between
// two threads is judged by ThreadSanitizer on every stream played.)
#include "decoder/ffmpeg.h"
#include "mix/kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

using namespace sona;

namespace {

constexpr int kPairL = 100, kPairR = 101; /* the front-pair ring's rows */

struct Gains {
    int row;
    std::vector<float> by_channel;
};
struct Layout {
    const char *name;
    uint64_t mask;
    bool pair_ring;
    std::vector<Gains> rows;
};

// Gains by channel, zeros after the last listed.  A row that sums past 1
// is scaled to 1: full scale in, full scale out.
#define FRONTS_CENTRE_LFE {kFL, {1}}, {kFR, {0, 1}}, {kFC, {0, 0, 1}}, {kLFE, {0, 0, 0, 1}}
const Layout kLayouts[] = {
    {"2.1: the LFE needs the wide ring", AV_CH_LAYOUT_2POINT1, false,
     {{kFL, {1}}, {kFR, {0, 1}}, {kLFE, {0, 0, 1}}, {kMono, {0.5f, 0.5f}}, {kPairL, {1}}, {kPairR, {0, 1}}}},
    {"6.1: the back centre on both rears", AV_CH_LAYOUT_6POINT1, false,
     {FRONTS_CENTRE_LFE, {kRL, {0, 0, 0, 0, 0.41421f, 0.58579f}}, {kRR, {0, 0, 0, 0, 0.41421f, 0, 0.58579f}},
      {kMono, {0.17157f, 0.17157f, 0.24264f, 0, 0.17157f, 0.12132f, 0.12132f}},
      {kPairL, {0.34315f, 0, 0.24264f, 0, 0.17157f, 0.24264f}},
      {kPairR, {0, 0.34315f, 0.24264f, 0, 0.17157f, 0, 0.24264f}}}},
    {"7.1: sides and backs share the rears", AV_CH_LAYOUT_7POINT1, false,
     {FRONTS_CENTRE_LFE, {kRL, {0, 0, 0, 0, 0.5f, 0, 0.5f}}, {kRR, {0, 0, 0, 0, 0, 0.5f, 0, 0.5f}},
      {kMono, {0.16019f, 0.16019f, 0.22654f, 0, 0.11327f, 0.11327f, 0.11327f, 0.11327f}},
      {kPairL, {0.32037f, 0, 0.22654f, 0, 0.22654f, 0, 0.22654f}},
      {kPairR, {0, 0.32037f, 0.22654f, 0, 0, 0.22654f, 0, 0.22654f}}}},
    {"a channel we have no name for spreads over the fronts",
     AV_CH_FRONT_LEFT | AV_CH_FRONT_RIGHT | AV_CH_TOP_SIDE_LEFT, false,
     {{kFL, {0.58579f, 0, 0.41421f}}, {kFR, {0, 0.58579f, 0.41421f}}, {kMono, {0.29289f, 0.29289f, 0.41421f}},
      {kPairL, {0.58579f, 0, 0.41421f}}, {kPairR, {0, 0.58579f, 0.41421f}}}},
};

TEST(ChannelMap, PlacesEachLayoutsChannelsOnTheirSlots)
{
    const int all_rows[] = {kFL, kFR, kFC, kLFE, kRL, kRR, kMono, kRingSlots - 1, kPairL, kPairR};
    for (const Layout &l : kLayouts) {
        SCOPED_TRACE(l.name);
        AVChannelLayout layout{};
        ASSERT_EQ(av_channel_layout_from_mask(&layout, l.mask), 0);
        const ChannelMap m = channel_map_for(layout);
        ASSERT_EQ(m.channels, layout.nb_channels);
        EXPECT_EQ(channel_map_front_pair_only(m), l.pair_ring);
        for (int row : all_rows) {
            const float *got = row == kPairL ? m.pair[0] : row == kPairR ? m.pair[1] : m.slot[row];
            std::vector<float> want;
            for (const Gains &g : l.rows)
                if (g.row == row)
                    want = g.by_channel;
            want.resize(size_t(m.channels), 0.0f);
            for (int ch = 0; ch < m.channels; ++ch)
                EXPECT_NEAR(got[ch], want[size_t(ch)], 1e-4f) << "row " << row << ", channel " << ch;
        }
    }
}

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

/* What goes out to the device may never pass full scale. */
bool within_full_scale(const Floats &x)
{
    return std::all_of(x.begin(), x.end(), [](float v) { return std::fabs(v) <= 1.0f; });
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
            ASSERT_TRUE(!path.lone || (within_full_scale(got) && within_full_scale(want))) << "trial " << trial;
        }
        EXPECT_EQ(fitted > 0, path.ever_fits);
    }
}

/* Writes up to `frames` frames of counting values; returns how many fit. */
uint32_t write_counting(Ring *r, uint32_t frames, uint32_t *next)
{
    RingSpan spans[2];
    const uint32_t n = ring_write_spans(r, frames, spans);
    for (const RingSpan &s : spans)
        for (uint32_t i = 0; i < s.frames * r->slots; ++i)
            s.data[i] = float((*next)++ & 0xFFFFF); /* exact in a float */
    ring_write_commit(r, n);
    return n;
}

TEST(Ring, WrapsKeepsWhatIsReadUntilLetGoAndReadsItAgain)
{
    Ring r;
    EXPECT_FALSE(ring_init(&r, 1000, 2)) << "not a power of two";
    ASSERT_TRUE(ring_init(&r, 8, 2));
    uint32_t written = 0;
    EXPECT_EQ(write_counting(&r, 6, &written), 6u);
    ring_read_skip_to(&r, 5);
    ring_read_skip_to(&r, 2); /* never backwards */
    EXPECT_EQ(write_counting(&r, 100, &written), 2u) << "wrote over what was read, not let go";
    ring_let_go(&r, 1000); /* never past what was read */
    EXPECT_EQ(write_counting(&r, 100, &written), 5u);
    RingSpan spans[2];
    EXPECT_EQ(ring_read_spans(&r, 100, spans), 8u);
    EXPECT_EQ(spans[0].frames, 3u); /* from frame 5 to the end of the buffer */
    EXPECT_EQ(spans[1].frames, 5u);
    EXPECT_EQ(spans[0].data[0], 10.0f);
    EXPECT_EQ(spans[1].data[0], 16.0f);
    ring_read_commit(&r, 8);
    ring_read_rewind(&r, 1); /* not before what was let go */
    EXPECT_EQ(ring_read_spans(&r, 1, spans), 1u);
    EXPECT_EQ(spans[0].data[0], 10.0f) << "did not read again from where it was let go";

    // Grown, as for an output that writes further ahead: what was not let
    // go of stays at its positions, in one piece now, and there is room.
    EXPECT_FALSE(ring_grow(&r, 24)) << "not a power of two";
    ASSERT_TRUE(ring_grow(&r, 32));
    ASSERT_EQ(ring_read_spans(&r, 100, spans), 8u);
    ASSERT_EQ(spans[0].frames, 8u);
    for (uint32_t i = 0; i < 16; ++i)
        EXPECT_EQ(spans[0].data[i], float(10 + i)) << "float " << i;
    EXPECT_EQ(write_counting(&r, 100, &written), 24u);
    ring_free(&r);
}

} // namespace
