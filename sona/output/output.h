/*
 * output.h - the sound output as the engine sees it: a thread of its own,
 * the keeper, that holds a driver from SONA_Init to SONA_Free
 * (keeper.cpp).  Offered to the engine and the test entries.
 */
#ifndef SONA_OUTPUT_OUTPUT_H
#define SONA_OUTPUT_OUTPUT_H

#include "sona_internal.h"

#include <memory>

namespace sona {

struct Mixer;
struct Output;
struct Pool;
struct OutputDeleter {
    void operator()(Output *o) const; /* stops the keeper, closes the device */
};
using OutputPtr = std::unique_ptr<Output, OutputDeleter>;

/* An output pulls frames from `mixer` and runs while the mixer has
   voices: it listens for voices being queued and, while it runs, looks at
   mixer_has_voices to pause.  Device 0 is the silent clock; device 1 is
   connected by the keeper (output_start), so Init does not wait for any
   server; a numbered device is found and opened here, so that a missing
   one is reported at once.  The mixer is already set up; the output sets
   its channel count once the device's is known.  Returns a SONA_ error
   code: SONA_ERROR_PARAM when SONA_OUTPUT names no driver (driver.h). */
int32_t output_open(int32_t device, Mixer *mixer, OutputPtr *out);
/* Starts the keeper, once everything else has its threads: the keeper
   loads client libraries, and while the dynamic loader is busy with them
   no other thread can be created.  The pool's rings are made to follow
   the driver that opens (pool_fit_rings). */
void output_start(Output *o, Pool *pool);
/* Whether the output is running rather than paused. */
bool output_running(Output *o);

} // namespace sona

#endif /* SONA_OUTPUT_OUTPUT_H */
