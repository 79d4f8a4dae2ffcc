/*
 * render.h - what an output driver pulls from the mix, and all it may
 * know of it (mixer.cpp).  Offered to the drivers in output/.
 */
#ifndef SONA_MIX_RENDER_H
#define SONA_MIX_RENDER_H

#include "sona_internal.h"

namespace sona {

struct Mixer;

/* Real-time (the contract in sona_internal.h): fills `frames` frames,
   mixer_out_channels interleaved floats each. */
void mixer_render(Mixer *m, float *out, uint32_t frames);
uint32_t mixer_rate_hz(const Mixer *m);
uint32_t mixer_out_channels(const Mixer *m);
/* Real-time: the output's server plays mixer position `position` at
   `at_ns` on the steady clock (CLOCK_MONOTONIC, in nanoseconds).
   Positions are counted from the first frame the mixer rendered.  An
   output that never says is taken to play what it renders at once. */
void mixer_playing_at(Mixer *m, uint64_t position, int64_t at_ns);
int64_t steady_now_ns();
/* The position of the next frame mixer_render gives. */
uint64_t mixer_rendered(const Mixer *m);
/* Not real-time, and only while nothing can call mixer_render: the
   device's channel count, once it is known (one fold_for_channels takes). */
void mixer_set_out_channels(Mixer *m, uint32_t out_channels);

} // namespace sona

#endif /* SONA_MIX_RENDER_H */
