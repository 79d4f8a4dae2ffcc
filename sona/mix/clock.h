/*
 * clock.h - where each stream is heard (clock.cpp).  The output says which
 * mixer position its server plays at a moment (HeardClock); the mixer
 * says, at each discontinuity of a voice (a start, a seek, a wait, a
 * rewind, leaving), which stream frame goes with which mixer position
 * (StreamClock); between the two the SONA_ calls read the frame heard now
 * without asking either.  Offered to the mixer, the drivers (through
 * mix/render.h) and the SONA_ calls.  Publishing is real-time code.
 */
#ifndef SONA_MIX_CLOCK_H
#define SONA_MIX_CLOCK_H

#include "sona_internal.h"

#include <atomic>

namespace sona {

/* A sequence lock over atomics: the writer makes the count odd, stores,
   and makes it even again; a reader that saw the same even count before
   and after its loads has one whole reading.  Every field is an atomic, so
   a torn read is retried rather than undefined.  No fences (TSan cannot
   model them): the writer stores every field with release and the reader
   loads every field with acquire, so a reader that saw any new field
   also sees the odd count after it.  Free on x86.  The writer never
   waits; a real-time reader gives up after `tries` (the writer may have
   been preempted mid-write) and returns false. */
template <class Store> void seq_write(std::atomic<uint32_t> &seq, Store store)
{
    const uint32_t s = seq.load(std::memory_order_relaxed);
    seq.store(s + 1, std::memory_order_relaxed);
    store(); // every field with memory_order_release
    // Release: the fields are visible before the even count.
    seq.store(s + 2, std::memory_order_release);
}
template <class Load> bool seq_read(const std::atomic<uint32_t> &seq, Load load, int tries = -1)
{
    for (; tries != 0; --tries) {
        const uint32_t before = seq.load(std::memory_order_acquire);
        load(); // every field with memory_order_acquire
        if (!(before & 1) && seq.load(std::memory_order_relaxed) == before)
            return true;
    }
    return false;
}

/* A voice's place in its stream: stream frame = frame_base + (ring read
   position - ring_base).  Mixer-only, kept in the history's marks. */
struct VoiceSpot {
    uint64_t frame_base = 0;
    uint64_t ring_base = 0;
    uint64_t floor = 0; /* the frame its current unbroken run began with */
    uint32_t pass = 0;  /* the restarts served when that pass began */
};

/* The stream frame at ring position `read_pos`. */
inline uint64_t spot_frame(const VoiceSpot &s, uint64_t read_pos)
{
    return read_pos >= s.ring_base ? s.frame_base + (read_pos - s.ring_base)
                                   : s.frame_base - (s.ring_base - read_pos < s.frame_base ? s.ring_base - read_pos : s.frame_base);
}

/* One published reading: the stream frame `frame` goes with mixer position
   `out`, and one position later with the next frame, but never below
   `floor` (where the run began) nor above `limit` (where it stops: a wait,
   a pause, the end). */
struct ClockReading {
    uint64_t out = 0;
    uint64_t frame = 0;
    uint64_t floor = 0;
    uint64_t limit = 0;
    uint32_t pass = 0;
};
constexpr uint64_t kNoLimit = UINT64_MAX;

/* Written by the mixer alone, read by any thread: a sequence lock over
   atomics, so that a reader never waits and never sees half a reading. */
struct StreamClock {
    std::atomic<uint32_t> seq{0};
    std::atomic<uint64_t> out{0}, frame{0}, floor{0}, limit{0};
    std::atomic<uint32_t> pass{0};
};
void clock_publish(StreamClock *c, const ClockReading &r);
ClockReading clock_read(const StreamClock *c);
/* The frame heard when the output plays mixer position `heard`. */
uint64_t clock_frame_at(const ClockReading &r, uint64_t heard);

/* The output's: mixer position `position` was being heard at `at_ns` on
   the steady clock.  Written by whichever thread learns it. */
struct HeardClock {
    std::atomic<uint32_t> seq{0};
    std::atomic<uint64_t> position{0};
    std::atomic<int64_t> at_ns{0}; /* 0: never told; heard is what is rendered */
};
void heard_publish(HeardClock *c, uint64_t position, int64_t at_ns);
/* The position heard now: the last one told, run on at `rate_hz`, never
   past `rendered`. */
uint64_t heard_now(const HeardClock *c, uint64_t rendered, uint32_t rate_hz);

} // namespace sona

#endif /* SONA_MIX_CLOCK_H */
