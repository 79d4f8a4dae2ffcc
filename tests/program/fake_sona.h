// Control of the recording fake of libsona, which the program tests link:
// the binding, loading the library by name, then finds this same copy.
#pragma once

#include "sona.h"

extern "C" {
/* Every call since the last reset that changes something, one line each,
   in order; the questions (state, position, length, tags, events, error
   code and text) change nothing and are not logged. */
SONA_API const char *FakeSona_Log(void);
/* Forgets the log, the failures, the streams and the events, and starts
   as after SONA_Init. */
SONA_API void FakeSona_Reset(void);
/* The next call of `entry` fails: FALSE (or handle 0), with this error. */
SONA_API void FakeSona_FailNext(const char *entry, int32_t error);
/* What a stream says of itself: its length in frames (-1, unknown, until
   set) and its tags; may be set before the stream is created. */
SONA_API void FakeSona_SetLength(SONA_HSTREAM handle, int64_t frames);
SONA_API void FakeSona_SetTag(SONA_HSTREAM handle, const char *key, const char *value);
/* Where a stream is heard now, as if it had played that far. */
SONA_API void FakeSona_SetPosition(SONA_HSTREAM handle, int64_t frame);
/* A state the stream entered by itself: it takes the state, and the event
   waits on SONA_EventFd's descriptor for SONA_EventNext. */
SONA_API void FakeSona_PushEvent(SONA_HSTREAM handle, int32_t state);
}
