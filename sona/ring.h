/*
 * ring.h - the single-producer single-consumer ring of float frames that
 * carries decoded audio from a decode worker to the mixer.  Offered to the
 * session (which owns one), the pool and the decoder (the producer side)
 * and the mix (the consumer side).  It crosses into the decoder module,
 * so its layout is part of that module's interface (decoder/module_abi.h).
 */
#ifndef SONA_RING_H
#define SONA_RING_H

#include "sona_internal.h"

#include <atomic>

namespace sona {

/* Frames of `slots` floats.  Positions are 64-bit frame counters that never
   wrap in practice, so "how much is there" is a plain subtraction.  The
   consumer may read a stretch again: what it has read stays until it lets
   go of it (keep_pos), and only then may the producer write over it.
   Plain data, freed by ring_free: its layout crosses into the decoder
   module. */
struct Ring {
    float *data = nullptr;
    uint32_t capacity_frames = 0; /* a power of two */
    uint32_t slots = 0;
    alignas(kCacheLine) std::atomic<uint64_t> write_pos{0}; /* stored by the producer only */
    alignas(kCacheLine) std::atomic<uint64_t> read_pos{0};  /* stored by the consumer only */
    std::atomic<uint64_t> keep_pos{0};                      /* stored by the consumer only */
};
/* A contiguous piece of the ring: at most two per access. */
struct RingSpan {
    float *data;
    uint32_t frames;
};

/* Not real-time, and not while either side may use the ring. */
bool ring_init(Ring *ring, uint32_t capacity_frames, uint32_t slots);
void ring_free(Ring *ring);
/* Likewise: holds at least `capacity_frames` (a power of two) from now on,
   everything not let go of kept, at the same positions.  False when out
   of memory, the ring as it was. */
bool ring_grow(Ring *ring, uint32_t capacity_frames);
/* Producer side. */
uint32_t ring_write_space(const Ring *ring);
uint32_t ring_write_spans(Ring *ring, uint32_t frames, RingSpan spans[2]);
void ring_write_commit(Ring *ring, uint32_t frames);
/* Consumer side. */
uint32_t ring_read_available(const Ring *ring);
uint32_t ring_read_spans(const Ring *ring, uint32_t frames, RingSpan spans[2]);
void ring_read_commit(Ring *ring, uint32_t frames);
/* Drops everything before `pos` (never beyond what was written). */
void ring_read_skip_to(Ring *ring, uint64_t pos);
/* Reads again from `pos`, which must not be before what was let go. */
void ring_read_rewind(Ring *ring, uint64_t pos);
/* Lets the producer write over everything before `pos` (never beyond what
   was read). */
void ring_let_go(Ring *ring, uint64_t pos);

} // namespace sona

#endif /* SONA_RING_H */
