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
/* Not real-time, and only while nothing can call mixer_render: the
   device's channel count, once it is known (one fold_for_channels takes). */
void mixer_set_out_channels(Mixer *m, uint32_t out_channels);

} // namespace sona

#endif /* SONA_MIX_RENDER_H */
