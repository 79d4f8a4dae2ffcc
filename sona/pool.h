/*
 * pool.h - the decode pool: a few threads that keep every session's ring
 * topped up, carry out restarts and rate changes, and release sessions the
 * mixer has finished with (pool.cpp).  Offered to the engine and the
 * streams.
 */
#ifndef SONA_POOL_H
#define SONA_POOL_H

#include "sona_internal.h"

#include <memory>

namespace sona {

struct Mixer;
struct Session;
struct Pool;
struct RingSizes;
struct PoolDeleter {
    void operator()(Pool *p) const; /* stops the threads, releases the sessions */
};
using PoolPtr = std::unique_ptr<Pool, PoolDeleter>;

/* `manual`: the mix is pulled by a caller with no clock to go by. */
PoolPtr pool_start(const Mixer *mixer, bool manual, unsigned threads);
/* Registers a session; the pool takes over its decoder and one reference. */
void pool_add(Pool *p, Session *s);
/* Something changed (play, restart, rate): look again now.  Called once
   the change is stored; a worker that is about to sleep sees it. */
void pool_kick(Pool *p);
/* While nothing renders: every session's ring holds at least `sizes` by
   its layout, what it holds kept, so that an output that writes further
   ahead than the one a stream was made for finds room.  The workers are
   waited for and held off meanwhile.  Sessions registered later are made
   to fit the mixer's sizes as they come (pool_add). */
void pool_fit_rings(Pool *p, RingSizes sizes);
/* Returns when the pool has nothing left to do, doing what it can itself
   (sona_wait_decoded). */
void pool_wait_idle(Pool *p);
/* Joins the threads; the sessions stay until the pool is destroyed, which
   must wait until the mixer can no longer run. */
void pool_stop(Pool *p);

} // namespace sona

#endif /* SONA_POOL_H */
