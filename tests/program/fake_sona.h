// Control of the recording fake of libsona, which the program tests link:
// the binding, loading the library by name, then finds this same copy.
#pragma once

#include "sona.h"

extern "C" {
/* Every call since the last reset, one line each, in order. */
SONA_API const char *FakeSona_Log(void);
SONA_API void FakeSona_Reset(void);
/* The next call of `entry` fails: FALSE (or handle 0), with this error. */
SONA_API void FakeSona_FailNext(const char *entry, int32_t error);
}
