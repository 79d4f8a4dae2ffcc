/*
 * write_ahead.h - what a driver that writes far ahead of what is heard
 * uses to write again over it when something changes (write_ahead.cpp).
 * The mix keeps marks to render again from (mix/history.h), its rings hold
 * what was written and not yet heard besides what plays, and the driver
 * says what has been heard.  Offered to the keeper, which begins and ends
 * it as such a driver comes and goes, and to the libpulse driver.
 *
 * Every call is made on the rendering thread (the keeper, for libpulse)
 * between renders, or while nothing renders.
 */
#ifndef SONA_OUTPUT_WRITE_AHEAD_H
#define SONA_OUTPUT_WRITE_AHEAD_H

#include "mix/render.h"

namespace sona {

class WriteAhead {
public:
    explicit WriteAhead(Mixer *m) : mixer_(m) {}

    /* While nothing renders, before such a driver's stream opens: the mix
       keeps what it needs to render again anything up to three quarters
       of a second old, and the rings of streams made from now on hold a
       second.  False when out of memory. */
    bool begin();
    /* While nothing renders: back to an output that plays at once.  Every
       voice that left the mix has ended for good. */
    void end();

    /* Before each render: the mix's history has room for every voice
       that may be in it, so that its reach holds however many play. */
    void make_room();

    /* What calls for the queue to be written again: pending until done()
       is told the queue was, so that a rewrite that could not be made
       (the server did not say where it plays) is made at the next try. */
    struct Pending {
        bool changed; /* something heard changed since the last done() */
        bool starved; /* a voice waited for decoded audio */
        uint32_t changes; /* the count of changes seen */
        bool any() const { return changed || starved; }
    };
    Pending pending();
    void done(const Pending &written);

    /* The position of the next frame the mix renders: the write head. */
    uint64_t written() const;
    /* Goes back to the first mark at or after `position`, every voice as
       it was there; returns that position, or kNoPosition when there is
       none (rendering then goes on from the write head). */
    uint64_t rewind(uint64_t position);
    /* Everything before `position` has been heard and will not be
       rendered again. */
    void heard(uint64_t position);
    /* While nothing renders: the stream was lost, and what was written
       after the last position heard() was told went with it.  The mix
       goes back there, for whichever stream comes next. */
    void lost();

private:
    Mixer *mixer_;
    uint32_t seen_changes_ = 0;
    bool starved_ = false; /* taken from the mixer, not yet written again */
    uint64_t heard_ = kNoPosition; /* as heard() was last told, since begin() */
};

} // namespace sona

#endif /* SONA_OUTPUT_WRITE_AHEAD_H */
