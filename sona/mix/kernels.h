/*
 * kernels.h - the arithmetic of the mix (kernels.cpp): one voice's ring
 * into the 5.1 accumulator through its ramped gains, and the accumulator
 * folded to the device.  Offered to the mixer, and to the tests, which
 * hold every fast path to the reference.  Real-time code.
 */
#ifndef SONA_MIX_KERNELS_H
#define SONA_MIX_KERNELS_H

#include "ring.h"

namespace sona {

/* A voice's gains: [0..5] its own layout to each mix slot, [6..11] its mono
   downmix to each speaker (one of them nonzero when it is routed). */
constexpr int kGains = 2 * kMixChannels;

/* Where the gains are and where they head.  Mixer-only; plain data, so an
   output that renders again from an earlier point can save and restore it
   together with the ring's read position. */
struct GainRamp {
    float now[kGains] = {};
    float target[kGains] = {}; /* what the current ramp heads for */
    float step[kGains] = {};
    uint32_t left_frames = 0; /* 0: steady at now */
};

/* How the mix reaches the device: [out][mix] gains, then clamped to full
   scale. */
struct Fold {
    uint32_t channels = kMixChannels;
    float gain[kMixChannels][kMixChannels] = {};
};

/* Fills `fold` for a device of `channels` speakers: the ITU-R BS.775
   coefficients, scaled so that full scale on every mix channel stays
   within full scale.  False for a count the mix has no fold for: its cases
   are the one list of the device channel counts libsona supports. */
bool fold_for_channels(uint32_t channels, Fold *fold);

/* The reference kernel: adds `frames` frames of a ring of `slots` (2 or 8)
   floats a frame into the accumulator (kAccStride a frame) through the
   gains, ramping them frame by frame.  Plainly correct rather than fast;
   every fast path must give what it gives. */
void mix_reference(GainRamp *g, float *acc, const float *in, uint32_t slots, uint32_t frames);
/* Fast path, the usual voice among many: a front-pair ring, steady gains,
   not routed. */
bool mix_pair_steady_fits(const GainRamp *g, uint32_t slots);
void mix_pair_steady(const GainRamp *g, float *acc, const float *in, uint32_t frames);
/* Fast path, the usual voice alone: as above, written straight to a device
   whose fold keeps the front pair apart, through the fold and the clamp,
   with no accumulator.  Frames past the spans are silence. */
bool mix_lone_pair_fits(const GainRamp *g, uint32_t slots, const Fold &fold);
void mix_lone_pair(const GainRamp *g, const Fold &fold, const RingSpan spans[2], float *out,
                   uint32_t frames);
/* The accumulator to the device: folded, clamped to full scale. */
void fold_out(const Fold &fold, const float *acc, float *out, uint32_t frames);

} // namespace sona

#endif /* SONA_MIX_KERNELS_H */
