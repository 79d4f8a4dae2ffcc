/*
 * calls.h - what every SONA_ call does first (api.cpp, channel.cpp): the
 * one engine, the calling thread's last error, no exception out, and the
 * handle check.  Each call checks everything before it changes anything.
 * The caller serialises the calls, so the engine pointer and the stream
 * table need no lock of ours.
 */
#ifndef SONA_CALLS_H
#define SONA_CALLS_H

#include "engine.h"

#include <new>

namespace sona {

/* The engine SONA_Init brought up, until SONA_Free. */
extern Engine *g_engine;

void error_set(int32_t code);

inline SONA_BOOL fail(int32_t code)
{
    error_set(code);
    return SONA_FALSE;
}

inline SONA_BOOL succeed()
{
    error_set(SONA_OK);
    return SONA_TRUE;
}

/* Runs `body`, turning any escaping exception into an error code. */
template <class F>
auto guarded(F &&body, decltype(body()) failure) noexcept -> decltype(body())
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        error_set(SONA_ERROR_MEMORY);
    } catch (...) {
        error_set(SONA_ERROR_UNKNOWN);
    }
    return failure;
}

/* Every call on a stream: guarded, the handle checked, then `body`, whose
   result is returned, or `failure` with the handle's error. */
template <class R, class F>
R on_stream(uint32_t handle, R failure, F &&body) noexcept
{
    return guarded(
        [&]() -> R {
            int32_t err = SONA_OK;
            Stream *st = streams_lookup(g_engine, handle, &err);
            if (st)
                return body(g_engine, st);
            error_set(err);
            return failure;
        },
        failure);
}

} // namespace sona

#endif /* SONA_CALLS_H */
