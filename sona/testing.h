/*
 * testing.h - entries for the tests and benchmarks: compiled into the
 * static core, hidden from libsona.so's exports (api.cpp).
 */
#ifndef SONA_TESTING_H
#define SONA_TESTING_H

#include "sona.h"

extern "C" {
/* Like SONA_Init, but opens no device and runs no clock: the mix advances
   only through sona_render.  out_channels is a count fold_for_channels
   takes (6, 4, 2 or 1). */
SONA_BOOL sona_init_manual(uint32_t freq, uint32_t out_channels);
/* Pulls `frames` frames of the mix, interleaved in the output's channel
   count, through the function the device callback uses.  Returns the frames
   written (0 without a manual output). */
uint32_t sona_render(float *out, uint32_t frames);
/* Returns when the decode pool has nothing left to do: every stream's ring
   is full or its decoder has ended, pending restarts and rate changes are
   applied and ended sessions are released.  The calling thread does what
   work it can itself.  Returns FALSE if not initialised. */
SONA_BOOL sona_wait_decoded(void);
/* Streams the handle table holds room for. */
uint32_t sona_stream_capacity(void);
/* Streams currently in the mix (started and not yet ended). */
uint32_t sona_playing_count(void);
/* Whether the output (device or silent clock) is running rather than
   paused; FALSE for the manual output. */
SONA_BOOL sona_output_running(void);
/* The manual output as one that writes ahead drives the mix: with a
   history, rendered again from a position on (returning where it went
   back to, or UINT64_MAX), and told what has been heard. */
SONA_BOOL sona_manual_keep_history(void);
uint64_t sona_manual_rewind(uint64_t position);
void sona_manual_retire(uint64_t position);
}

#endif /* SONA_TESTING_H */
