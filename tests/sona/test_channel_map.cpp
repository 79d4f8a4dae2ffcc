// The channel map as a pure function: FFmpeg layouts to the gain rows of
// the ring's slots and of a front-pair ring.  Rows not listed are silent.
#include "decoder.h"

#include <gtest/gtest.h>

#include <string>
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
    {"mono: both fronts at unity", AV_CH_LAYOUT_MONO, true,
     {{kFL, {1}}, {kFR, {1}}, {kMono, {1}}, {kPairL, {1}}, {kPairR, {1}}}},
    {"stereo", AV_CH_LAYOUT_STEREO, true,
     {{kFL, {1}}, {kFR, {0, 1}}, {kMono, {0.5f, 0.5f}}, {kPairL, {1}}, {kPairR, {0, 1}}}},
    {"2.1: the LFE needs the wide ring", AV_CH_LAYOUT_2POINT1, false,
     {{kFL, {1}}, {kFR, {0, 1}}, {kLFE, {0, 0, 1}}, {kMono, {0.5f, 0.5f}}, {kPairL, {1}},
      {kPairR, {0, 1}}}},
    {"5.1 keeps its own, folds to the pair by ITU-R BS.775", AV_CH_LAYOUT_5POINT1_BACK, false,
     {FRONTS_CENTRE_LFE, {kRL, {0, 0, 0, 0, 1}}, {kRR, {0, 0, 0, 0, 0, 1}},
      {kMono, {0.20711f, 0.20711f, 0.29289f, 0, 0.14645f, 0.14645f}},
      {kPairL, {0.41421f, 0, 0.29289f, 0, 0.29289f}},
      {kPairR, {0, 0.41421f, 0.29289f, 0, 0, 0.29289f}}}},
    {"6.1: the back centre on both rears", AV_CH_LAYOUT_6POINT1, false,
     {FRONTS_CENTRE_LFE,
      {kRL, {0, 0, 0, 0, 0.41421f, 0.58579f}}, {kRR, {0, 0, 0, 0, 0.41421f, 0, 0.58579f}},
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
     {{kFL, {0.58579f, 0, 0.41421f}}, {kFR, {0, 0.58579f, 0.41421f}},
      {kMono, {0.29289f, 0.29289f, 0.41421f}}, {kPairL, {0.58579f, 0, 0.41421f}},
      {kPairR, {0, 0.58579f, 0.41421f}}}},
};

const float *row_of(const ChannelMap &m, int row)
{
    return row == kPairL ? m.pair[0] : row == kPairR ? m.pair[1] : m.slot[row];
}

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
            std::vector<float> want;
            for (const Gains &g : l.rows)
                if (g.row == row)
                    want = g.by_channel;
            want.resize(size_t(m.channels), 0.0f);
            for (int ch = 0; ch < m.channels; ++ch)
                EXPECT_NEAR(row_of(m, row)[ch], want[size_t(ch)], 1e-4f)
                    << "row " << row << ", channel " << ch;
        }
    }
}

} // namespace
