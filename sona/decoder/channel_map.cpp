// A source layout to the gains of each ring slot: a pure function of the
// layout, so that the tests can hold it to a table.
#include "decoder/ffmpeg.h"

#include <algorithm>
#include <iterator>
#include <numeric>
#include <utility>

namespace sona {

namespace {

/* Named channels and the one slot each plays on. */
constexpr std::pair<AVChannel, Slot> kChannelSlots[] = {
    {AV_CHAN_FRONT_LEFT, kFL},          {AV_CHAN_FRONT_LEFT_OF_CENTER, kFL},
    {AV_CHAN_WIDE_LEFT, kFL},           {AV_CHAN_TOP_FRONT_LEFT, kFL},
    {AV_CHAN_STEREO_LEFT, kFL},         {AV_CHAN_FRONT_RIGHT, kFR},
    {AV_CHAN_FRONT_RIGHT_OF_CENTER, kFR}, {AV_CHAN_WIDE_RIGHT, kFR},
    {AV_CHAN_TOP_FRONT_RIGHT, kFR},     {AV_CHAN_STEREO_RIGHT, kFR},
    {AV_CHAN_FRONT_CENTER, kFC},        {AV_CHAN_TOP_CENTER, kFC},
    {AV_CHAN_TOP_FRONT_CENTER, kFC},    {AV_CHAN_LOW_FREQUENCY, kLFE},
    {AV_CHAN_LOW_FREQUENCY_2, kLFE},    {AV_CHAN_BACK_LEFT, kRL},
    {AV_CHAN_SIDE_LEFT, kRL},           {AV_CHAN_TOP_BACK_LEFT, kRL},
    {AV_CHAN_SURROUND_DIRECT_LEFT, kRL}, {AV_CHAN_BACK_RIGHT, kRR},
    {AV_CHAN_SIDE_RIGHT, kRR},          {AV_CHAN_TOP_BACK_RIGHT, kRR},
    {AV_CHAN_SURROUND_DIRECT_RIGHT, kRR},
};

/* Channel `ch`, named `name`, into the slot rows.  A centre behind goes to
   both rears at half power; an unnamed channel to both fronts. */
void place_channel(AVChannel name, int ch, ChannelMap *m)
{
    for (const auto &[named, slot] : kChannelSlots) {
        if (named == name) {
            m->slot[slot][ch] = 1.0f;
            return;
        }
    }
    const bool behind = name == AV_CHAN_BACK_CENTER || name == AV_CHAN_TOP_BACK_CENTER;
    m->slot[behind ? kRL : kFL][ch] = kHalfPower;
    m->slot[behind ? kRR : kFR][ch] = kHalfPower;
}

/* Where several source channels meet in one row, they are scaled so that
   full-scale input cannot exceed full scale. */
void limit_row(float *row, int channels)
{
    const float sum = std::accumulate(row, row + channels, 0.0f);
    if (sum > 1.0f)
        for (int ch = 0; ch < channels; ++ch)
            row[ch] /= sum;
}

} // namespace

ChannelMap channel_map_for(const AVChannelLayout &layout)
{
    ChannelMap m;
    const int n = std::clamp(layout.nb_channels, 0, kMaxSourceChannels);
    m.channels = n;
    if (n == 1) {
        m.slot[kFL][0] = m.slot[kFR][0] = m.slot[kMono][0] = 1.0f;
        m.pair[0][0] = m.pair[1][0] = 1.0f;
        return m;
    }
    for (int ch = 0; ch < n; ++ch)
        place_channel(av_channel_layout_channel_from_index(&layout, unsigned(ch)), ch, &m);
    // The mono downmix and, for a front-pair ring made for an earlier
    // layout, the front pair, both through the mixer's fold: a later,
    // wider layout (a chained Ogg, say) stays audible on that ring.  For a
    // layout on the front pair alone the pair rows are its FL and FR rows.
    for (int ch = 0; ch < n; ++ch) {
        for (int c = 0; c < kMixChannels; ++c) {
            m.slot[kMono][ch] += fold_to_mono(c) * m.slot[c][ch];
            for (int side = 0; side < kPairSlots; ++side)
                m.pair[side][ch] += kFoldToPair[side][c] * m.slot[c][ch];
        }
    }
    for (auto &row : m.slot)
        limit_row(row, n);
    for (auto &row : m.pair)
        limit_row(row, n);
    return m;
}

bool channel_map_front_pair_only(const ChannelMap &map)
{
    if (map.channels > kPairSlots)
        return false;
    for (int slot : {kFC, kLFE, kRL, kRR})
        for (int ch = 0; ch < map.channels; ++ch)
            if (map.slot[slot][ch] != 0.0f)
                return false;
    return true;
}

bool layout_or_default(const AVChannelLayout &declared, LayoutHolder *out)
{
    av_channel_layout_uninit(&out->layout);
    if (declared.order == AV_CHANNEL_ORDER_UNSPEC || declared.nb_channels <= 0) {
        av_channel_layout_default(&out->layout, declared.nb_channels);
        return true;
    }
    return av_channel_layout_copy(&out->layout, &declared) >= 0;
}

} // namespace sona
