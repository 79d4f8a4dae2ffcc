/*
 * history.h - marks of the mix, for an output that writes far ahead of
 * what is heard and writes again over it when something changes
 * (history.cpp).  At each chunk's end a mark of every voice (its ring
 * position, its gains mid-ramp or not), so that the mix can go back to
 * any chunk not yet heard and render from there as if the change had
 * come just then.  Offered to the mixer (marks, and letting go of rings)
 * and to output/write_ahead.cpp (keeping, rewinding).  Real-time code
 * where it runs on the rendering thread.
 */
#ifndef SONA_MIX_HISTORY_H
#define SONA_MIX_HISTORY_H

#include "mix/clock.h"
#include "mix/kernels.h"

#include <memory>

namespace sona {

struct Mixer;
struct Session;
struct Voice;

/* What a voice was at a mark, so that the mix can be rendered again from
   there. */
struct VoiceMark {
    Voice *voice;
    Session *session;
    uint64_t read_pos;
    GainRamp gains;
    VoiceSpot spot;
    bool priming;
};
/* The mix at a chunk boundary: its output position and its voices' marks,
   which lie in the history's arena from `first` on. */
struct MixMark {
    uint64_t position;
    uint32_t first;
    uint32_t count;
};
/* A voice that left the mix, with its session: kept for a rewind. */
struct Ending {
    Voice *voice;
    Session *session;
    uint64_t position; /* where it left; that is final once heard */
    bool paused;       /* it left to rest, not at its end */
};
/* The marks of every chunk not yet heard, oldest first, in two rings.
   Sized before anything renders; the mixer's alone after that. */
struct MixHistory {
    std::unique_ptr<MixMark[]> marks;
    uint32_t mark_capacity = 0, mark_first = 0, mark_count = 0;
    std::unique_ptr<VoiceMark[]> arena;
    uint32_t arena_capacity = 0, arena_first = 0, arena_used = 0;
    std::unique_ptr<Ending[]> later; /* scratch for a rewind */
    uint32_t stamp = 0;
};

/* Not real-time, before anything renders: keeps enough to render again
   anything up to `reach_frames` old.  False when out of memory. */
bool history_keep(Mixer *m, uint32_t reach_frames);
/* Not real-time, between renders: room to mark `voices` voices at every
   mark of the reach, the marks kept; it only grows.  Without it the
   reach shrinks as voices are added.  False when out of memory (the
   history then keeps the room it has). */
bool history_fit(Mixer *m, uint32_t voices);
bool history_kept(const Mixer *m);
/* Not real-time, while nothing renders: no marks any more. */
void history_forget(Mixer *m);
/* On the rendering thread, at a chunk's end: a mark of the mix there. */
void history_mark(Mixer *m);
/* On the rendering thread, between renders: goes back to the first mark
   at or after `position`, every voice as it was there, gains and ring
   positions included, so that what is rendered next follows on what was
   heard.  Returns that position, or kNoPosition when there is none (the
   next render then goes on). */
uint64_t history_rewind(Mixer *m, uint64_t position);
/* Marks before `position` go: every rewind from now on lands at or after
   it.  Then each voice's ring is let go of as far as the oldest mark
   still needs it, or, with no mark, as far as it was read. */
void history_heard(Mixer *m, uint64_t position);
/* A voice comes back into the mix where the mix now is, from where it
   joined. */
void history_rejoin(Mixer *m, Voice *v, Session *s);

} // namespace sona

#endif /* SONA_MIX_HISTORY_H */
