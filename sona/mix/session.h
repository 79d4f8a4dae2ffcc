/*
 * session.h - one pass through a source, from opening to its end: its
 * decoder and its ring, and the restart and end protocol between the
 * three threads that share it (session.cpp).  Offered to the streams,
 * which make sessions, the decode pool, which fills them, and the mixer,
 * which plays and ends them.
 */
#ifndef SONA_MIX_SESSION_H
#define SONA_MIX_SESSION_H

#include "decoder/decoder.h"
#include "mix/clock.h"
#include "ring.h"

#include <atomic>

namespace sona {

/* The worker decodes into the ring, the mixer plays from it.  Restarting a
   stream that is still in the mix rewinds its session; restarting an ended
   one makes a new session.  The first four atomics below are the restart
   and end protocol between three threads; only session.cpp touches them,
   through the named operations that follow. */
struct Session {
    ~Session() { ring_free(&ring); }

    DecoderSource source; /* points into the stream's record, which outlives it */
    uint32_t out_rate = 0;
    DecoderPtr decoder; /* the worker's alone once the session is registered */
    Ring ring;

    /* Bit 0: ended.  Bits 1..: restart requests, counted up. */
    std::atomic<uint32_t> control{0};
    /* The restart count the worker has carried out. */
    std::atomic<uint32_t> served_restarts{0};
    /* Ring position where the latest served restart's data begins. */
    std::atomic<uint64_t> discard_from{0};
    /* Ring position just past the last frame of the data, or kNoPosition. */
    std::atomic<uint64_t> end_pos{kNoPosition};
    /* The stream frame the latest restart asked to start at (a seek; 0 for
       a plain restart), and the one the served pass starts at, which goes
       with discard_from in the ring: the two are stored under pass_seq
       (mix/clock.h's sequence lock). */
    std::atomic<uint64_t> seek_frame{0};
    std::atomic<uint64_t> pass_start_frame{0};
    std::atomic<uint32_t> pass_seq{0};
    /* How many frames the source has, once a pass has decoded to its end
       (kNoPosition until then): its length where the container did not
       say. */
    std::atomic<uint64_t> decoded_length{kNoPosition};
    /* Rate to play at, 0 = the source's own; the worker applies changes. */
    std::atomic<uint32_t> play_rate_hz{0};

    /* Worker bookkeeping: busy is guarded by the pool's mutex; the rest
       belongs to whichever worker holds busy. */
    bool busy = false;
    bool decoder_done = false;
    uint32_t applied_rate_hz = 0;
    /* Two owners, each dropping its reference once: the stream (API thread)
       and the worker's list.  Whoever drops last frees. */
    std::atomic<int> refs{2};
};

/* How many frames a new ring holds, by the decoder's layout. */
struct RingSizes {
    uint32_t pair_frames; /* a front-pair ring, kPairSlots a frame */
    uint32_t wide_frames; /* kRingSlots a frame */
};

/* Any thread, not real-time: opens the source and makes a session for it,
   its ring sized for the decoder's layout.  Returns a SONA_ error code. */
int32_t session_open(const DecoderSource &src, uint32_t out_rate, uint32_t play_rate_hz,
                     RingSizes sizes, Session **out);
void session_unref(Session *s);

/* API thread.  Asks the session to start again from stream frame `frame`
   (0: the beginning); false when the mixer has already ended it (then it
   stays ended). */
bool session_restart(Session *s, uint64_t frame = 0);
/* Whether the mixer has ended the session and let go of it.  Also the
   worker's cue to release it. */
bool session_ended(const Session *s);
/* The restarts asked so far. */
uint32_t session_restarts(const Session *s);

/* Decode pool, holding the session.  Whether a restart is still to be
   served, the count to serve and the frame it asks for. */
bool session_restart_asked(const Session *s, uint32_t *restarts, uint64_t *frame);
/* The restart counted `restarts` is done: the new pass starts at the
   ring's write position with stream frame `frame`, and has already ended
   if `data_ended`. */
void session_restart_served(Session *s, uint32_t restarts, uint64_t frame, bool data_ended);
/* Every frame of the pass is in the ring. */
void session_data_ended(Session *s);

/* Mixer, real-time. */
struct Staleness {
    bool restart_pending;  /* asked, not yet served: all of the ring is stale */
    uint64_t discard_from; /* the ring before this is stale */
    uint64_t pass_start;   /* the stream frame at discard_from */
    uint32_t served;       /* the restarts served */
};
Staleness session_staleness(const Session *s);
/* Whether the ring already holds every frame of the pass. */
bool session_data_complete(const Session *s);
/* Whether the ring, run dry, has played the pass to its end, with no
   restart asked since. */
bool session_played_out(const Session *s);
/* Ends the session if it has played out and no restart came meanwhile.
   True if it ended; the mixer must then not touch it again. */
bool session_try_end(Session *s);

} // namespace sona

#endif /* SONA_MIX_SESSION_H */
