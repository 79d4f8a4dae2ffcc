/*
 * mixer.h - the mix: voices joining and leaving, their gain ramps, chunks
 * of every playing voice's ring folded to the device (mixer.cpp).
 * Offered to the engine and the streams (controls, voices joining), the
 * decode pool (how much plays), the keeper and output/write_ahead.cpp.
 * Drivers see only render.h.
 */
#ifndef SONA_MIX_MIXER_H
#define SONA_MIX_MIXER_H

#include "mix/clock.h"
#include "mix/events.h"
#include "mix/history.h"
#include "mix/render.h"
#include "mix/session.h"

#include <atomic>

namespace sona {

/* The mixer's view of a stream.  Embedded in the stream's record, so its
   address lives until SONA_Free. */
struct Voice {
    /* Controls, stored by the API thread and loaded by the mixer once per
       chunk.  Relaxed is enough: each is a self-contained value that
       publishes no other memory, and a chunk seeing the old or the new
       value are both correct (the ramp takes it from there). */
    std::atomic<float> volume_gain{1.0f};
    std::atomic<int32_t> pan{kPanCentre};
    std::atomic<int32_t> route_slot{-1}; /* -1: own layout on the front pair */
    /* kPauseAsked, set and cleared by the API thread, and kPresent: in the
       mix, on its way, or left and not yet heard leaving (counted in the
       mixer's `active`).  Changed by CAS where both may: a resume and the
       mixer letting go of a paused voice cannot both win. */
    std::atomic<uint32_t> presence{0};
    static constexpr uint32_t kPauseAsked = 1, kPresent = 2;
    /* Where it is heard, for the API thread (clock.h), and whether it
       waits for decoded audio mid-play. */
    StreamClock clock;
    std::atomic<bool> starving{false};
    uint32_t handle = 0; /* its stream's, for the events; set before it first plays */

    /* Mixer-only. */
    Session *session = nullptr;
    GainRamp gains;
    VoiceSpot spot;
    ClockReading published; /* what `clock` says */
    bool reanchor = false;  /* `clock` is to be told anew at the next frame consumed */
    bool priming = false;         /* waiting for enough decoded audio to (re)start */
    uint64_t joined_at = 0;       /* output position where it (re)joined the mix */
    uint64_t joined_read_pos = 0; /* its ring's read position then */
    uint32_t mark_stamp = 0;      /* the history's, while it restores a mark */
};

struct Handoff {
    Voice *voice;
    Session *session;
};

/* Told, on the API thread, that something to be heard has changed (a voice
   was queued, a control moved): the output, which then looks at
   mixer_has_voices and, when it writes ahead, writes again.  Never called
   from mixer_render. */
struct MixerListener {
    void (*changed)(void *context) = nullptr;
    void *context = nullptr;
};

struct Mixer {
    uint32_t rate_hz = 0;
    uint32_t ramp_frames = 1;
    Fold fold;
    MixerListener listener;
    /* Counted up by the API thread at each change the listener hears of. */
    std::atomic<uint32_t> changes{0};
    /* Set by the mixer when a voice waited for decoded audio: an output
       that writes ahead writes again once it is there.  Cleared by it. */
    std::atomic<bool> starved{false};
    /* How long the rings of new streams are; the output makes them deeper
       when it writes ahead. */
    std::atomic<uint32_t> pair_ring_frames{kPairRingFrames};
    std::atomic<uint32_t> wide_ring_frames{kRingFrames};
    /* Told by the output: what its server plays when (clock.h). */
    HeardClock heard_clock;
    /* Stored by the mixer after each chunk: the position of the next frame
       it renders; and, after each chunk and whatever is heard, the
       earliest position at which a stream is heard ending (a voice whose
       data is all decoded runs out, or one that ran out is not yet heard
       doing so), or kNoPosition. */
    std::atomic<uint64_t> rendered{0};
    std::atomic<uint64_t> next_end{kNoPosition};
    EventQueue events;

    /* Mixer-only: the output position of the next frame; the voices that
       left the mix and end for good once heard; the history that lets the
       mix go back (empty for an output that plays at once). */
    uint64_t position = 0;
    uint64_t voices_end = kNoPosition; /* next_end's, of the voices in the mix */
    std::unique_ptr<Ending[]> endings;
    uint32_t ending_count = 0;
    MixHistory history;

    /* Voices joining: API thread -> mixer. */
    std::unique_ptr<Handoff[]> queue;
    alignas(kCacheLine) std::atomic<uint32_t> queue_head{0}; /* stored by the mixer */
    alignas(kCacheLine) std::atomic<uint32_t> queue_tail{0}; /* stored by the API thread */

    /* Voices in the mix, and the room reserved for those on the way. */
    std::unique_ptr<Voice *[]> voices;
    uint32_t voice_count = 0; /* mixer-only */
    /* Counted up by the API thread before it queues, down by the mixer when
       a voice has ended for good; read by whoever decides to pause the
       device. */
    std::atomic<uint32_t> active{0};

    std::unique_ptr<float[]> acc; /* kMixChunkFrames * kAccStride */
};

/* Not real-time: sets up everything mixer_render will use.  False for a
   channel count without a fold, or out of memory. */
bool mixer_init(Mixer *m, uint32_t rate_hz, uint32_t out_channels);
/* API thread: queue a voice with its session, after reserving room by
   counting `active` up (mixer_reserve); then tells the listener. */
bool mixer_reserve(Mixer *m);
void mixer_add(Mixer *m, Voice *v, Session *s);
/* API thread: a control that is heard has changed; tells the listener. */
void mixer_changed(Mixer *m);
/* Any thread: whether a voice is in the mix or on its way. */
bool mixer_has_voices(const Mixer *m);
/* Any thread: how long a new stream's ring is, by its layout. */
RingSizes mixer_ring_sizes(const Mixer *m);
/* Any thread: the position the output plays now. */
uint64_t mixer_heard_now(const Mixer *m);
/* Any thread: the frame of `v`'s stream heard now (clock.h). */
uint64_t mixer_voice_frame(const Mixer *m, const Voice *v);
/* The keeper, while nothing renders, once the output was lost: every voice
   in the mix waits for it. */
void mixer_output_lost(Mixer *m);
/* On the rendering thread: everything before `position` has been heard
   and will not be rendered again: the history's marks before it go, the
   rings may be written over, and voices that left the mix before it end
   for good, or, when a restart came meanwhile, come back into it.  For an
   output that plays at once the mixer says so itself after each chunk,
   as far as the output's clock says is heard. */
void mixer_heard(Mixer *m, uint64_t position);

} // namespace sona

#endif /* SONA_MIX_MIXER_H */
