// A session's restart and end protocol, in one place.  Three threads share
// a session: the API thread asks for restarts, a decode worker serves them
// and marks where the data ends, and the mixer plays the ring and ends the
// session once it has played the last frame.  Four atomics carry it:
//
//   control          bit 0 "ended", set once by the mixer; bits 1.. the
//                    restarts asked for, counted up by the API thread.  One
//                    word so that "restart" and "end" cannot both win: each
//                    side changes it only by a CAS against the value it
//                    examined.
//   served_restarts  the restart count the worker has carried out.
//   discard_from     where the latest served restart's data begins: the
//                    ring before it is stale.
//   end_pos          just past the last frame of the pass, or kNoPosition.
//
// The worker publishes in the order end_pos, discard_from (with the pass's
// first stream frame, under a sequence lock), served_restarts (each a
// release store); the mixer loads in the reverse order (acquire), so it
// never pairs a new count with an old mark, nor a new mark with the start
// or end of the previous pass.  A restart's seek_frame is stored before
// the CAS that asks for it, which publishes it.
#include "mix/session.h"

#include <new>

namespace sona {

namespace {
constexpr uint32_t kEnded = 1u;
constexpr uint32_t kOneRestart = 2u;
constexpr int kRestartShift = 1;
} // namespace

int32_t session_open(const DecoderSource &src, uint32_t out_rate, uint32_t play_rate_hz,
                     RingSizes sizes, Session **out)
{
    DecoderPtr decoder;
    const int32_t err = decoder_open(src, out_rate, &decoder);
    if (err != SONA_OK)
        return err;
    std::unique_ptr<Session> s(new (std::nothrow) Session);
    const uint32_t slots = decoder_ring_slots(decoder.get());
    const uint32_t frames = slots == kPairSlots ? sizes.pair_frames : sizes.wide_frames;
    if (!s || !ring_init(&s->ring, frames, slots))
        return SONA_ERROR_MEMORY;
    s->source = src;
    s->out_rate = out_rate;
    decoder_set_play_rate(decoder.get(), play_rate_hz);
    // Relaxed: registering the session with the pool publishes it.
    s->play_rate_hz.store(play_rate_hz, std::memory_order_relaxed);
    s->applied_rate_hz = play_rate_hz;
    s->decoder = std::move(decoder);
    *out = s.release();
    return SONA_OK;
}

void session_unref(Session *s)
{
    // acq_rel: the last owner must see everything the other did to it.
    if (s->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete s;
}

bool session_restart(Session *s, uint64_t frame)
{
    // Relaxed: the CAS below releases it; a worker that acquires the new
    // count reads it (or a later one, for a later restart).
    s->seek_frame.store(frame, std::memory_order_relaxed);
    // Acquire: if the ended bit is set, the mixer's last use of the session
    // happens-before the caller drops its reference.  The count itself
    // publishes nothing (the worker acquires it).
    uint32_t control = s->control.load(std::memory_order_acquire);
    while (!(control & kEnded)) {
        if (s->control.compare_exchange_weak(control, control + kOneRestart,
                                             std::memory_order_acq_rel,
                                             std::memory_order_acquire))
            return true;
    }
    return false;
}

bool session_ended(const Session *s)
{
    // Acquire pairs with the mixer's CAS in session_try_end: the mixer is
    // done with the ring and the session.
    return (s->control.load(std::memory_order_acquire) & kEnded) != 0;
}

uint32_t session_restarts(const Session *s)
{
    // Relaxed: the API thread's own count.
    return s->control.load(std::memory_order_relaxed) >> kRestartShift;
}

bool session_restart_asked(const Session *s, uint32_t *restarts, uint64_t *frame)
{
    // Acquire pairs with the API thread's CAS.  served_restarts is stored by
    // workers only, each holding the session's busy flag, which is taken and
    // returned under the pool mutex: relaxed suffices for it.
    *restarts = s->control.load(std::memory_order_acquire) >> kRestartShift;
    *frame = s->seek_frame.load(std::memory_order_relaxed);
    return *restarts != s->served_restarts.load(std::memory_order_relaxed);
}

void session_restart_served(Session *s, uint32_t restarts, uint64_t frame, bool data_ended)
{
    const uint64_t written = s->ring.write_pos.load(std::memory_order_relaxed);
    s->end_pos.store(data_ended ? written : kNoPosition, std::memory_order_relaxed);
    // Release (in the lock): a mixer that sees the new discard_from sees
    // end_pos reset for the new pass; one that sees the new count sees both.
    seq_write(s->pass_seq, [&] {
        s->pass_start_frame.store(frame, std::memory_order_release);
        s->discard_from.store(written, std::memory_order_release);
    });
    s->served_restarts.store(restarts, std::memory_order_release);
}

void session_data_ended(Session *s)
{
    const uint64_t end = s->ring.write_pos.load(std::memory_order_relaxed);
    // The worker's own stores: relaxed reads them back.
    const uint64_t start = s->pass_start_frame.load(std::memory_order_relaxed);
    const uint64_t from = s->discard_from.load(std::memory_order_relaxed);
    // Relaxed: a count the API thread reads for itself, publishing nothing.
    s->decoded_length.store(start + (end - from), std::memory_order_relaxed);
    // Release: every frame before end_pos is in the ring first.
    s->end_pos.store(end, std::memory_order_release);
}

Staleness session_staleness(const Session *s)
{
    // served_restarts before discard_from: see the top of this file.
    const uint32_t asked = s->control.load(std::memory_order_acquire) >> kRestartShift;
    const uint32_t served = s->served_restarts.load(std::memory_order_acquire);
    Staleness st{asked != served, 0, 0, served};
    // A worker caught mid-store (preempted) is waited out by treating the
    // pass as not yet served: the voice stays silent one chunk more.
    constexpr int kTries = 4;
    if (!seq_read(
            s->pass_seq,
            [&] {
                st.discard_from = s->discard_from.load(std::memory_order_acquire);
                st.pass_start = s->pass_start_frame.load(std::memory_order_acquire);
            },
            kTries))
        st.restart_pending = true;
    return st;
}

bool session_data_complete(const Session *s)
{
    // Acquire pairs with session_data_ended: every frame before end_pos is
    // in the ring.
    return s->end_pos.load(std::memory_order_acquire) != kNoPosition;
}

bool session_played_out(const Session *s)
{
    // The end, or only the worker running late?  served_restarts published
    // the reset of end_pos for that restart, end_pos the frames before it.
    const uint32_t control = s->control.load(std::memory_order_acquire);
    const uint32_t served = s->served_restarts.load(std::memory_order_acquire);
    const uint64_t end = s->end_pos.load(std::memory_order_acquire);
    return (control >> kRestartShift) == served && end != kNoPosition &&
           s->ring.read_pos.load(std::memory_order_relaxed) >= end;
}

bool session_try_end(Session *s)
{
    uint32_t control = s->control.load(std::memory_order_acquire);
    if (!session_played_out(s))
        return false;
    // Ended, unless a restart arrived meanwhile: then the CAS fails and the
    // voice waits for the rewound data.  acq_rel: release hands the session
    // over (all our reads of it happen-before whoever frees it), acquire
    // keeps our view of control consistent with the API thread's.
    return s->control.compare_exchange_strong(control, control | kEnded,
                                              std::memory_order_acq_rel,
                                              std::memory_order_relaxed);
}

} // namespace sona
