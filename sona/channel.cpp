// The SONA_Channel calls (their contracts are in sona.h): playing, pausing
// and seeking a stream, its controls, and what it says of itself.
#include "calls.h"

#include <cstring>

using namespace sona;

namespace {

constexpr uint32_t kMaxPlayRateHz = 192000;
constexpr int32_t kMinPlayRateHz = 100;
constexpr int32_t kLeave = -1; /* "leave as it is" in SONA_ChannelSetAttributes */

/* Whether the stream's voice is in the mix or resting out of it, with a
   session that has not ended. */
bool live(const Stream *st)
{
    return st->session && st->handed && !session_ended(st->session);
}

/* Puts a stream that is not in the mix into it, with a new session if its
   last one ended, from where it rests.  A session never handed to the
   mixer is already there. */
SONA_BOOL play_anew(Engine *e, Stream *st, uint64_t from)
{
    // Checked before opening a session as well: a full mix opens no file.
    if (e->mixer.active.load(std::memory_order_acquire) >= kMaxVoices)
        return fail(SONA_ERROR_MEMORY);
    if (!st->session) {
        const int32_t err = streams_open_session(e, st, from);
        if (err != SONA_OK)
            return fail(err);
    }
    if (!mixer_reserve(&e->mixer))
        return fail(SONA_ERROR_MEMORY);
    st->handed = true;
    st->paused = false;
    st->at_rest = false;
    // Relaxed: the queue's release publishes it with the voice.
    st->voice.presence.store(Voice::kPresent, std::memory_order_relaxed);
    mixer_add(&e->mixer, &st->voice, st->session);
    pool_kick(e->pool.get());
    return succeed();
}

/* A paused stream plays on: its voice is kept in the mix if it has not
   left yet (the CAS wins over the mixer's), else put back. */
SONA_BOOL resume(Engine *e, Stream *st)
{
    uint32_t presence = Voice::kPauseAsked | Voice::kPresent;
    if (!st->voice.presence.compare_exchange_strong(presence, Voice::kPresent,
                                                    std::memory_order_acq_rel)) {
        if (!mixer_reserve(&e->mixer))
            return fail(SONA_ERROR_MEMORY);
        st->voice.presence.store(Voice::kPresent, std::memory_order_relaxed);
        mixer_add(&e->mixer, &st->voice, st->session);
    }
    st->paused = false;
    // A worker that went to sleep while nothing played watches this ring
    // again, which drains from now on (and may be stale since a seek).
    pool_kick(e->pool.get());
    mixer_changed(&e->mixer);
    return succeed();
}

/* A stream in the mix, or resting, goes to `frame` of its current pass. */
void seek_live(Engine *e, Stream *st, uint64_t frame)
{
    st->seek_frame = frame;
    st->seek_restarts = session_restarts(st->session);
    pool_kick(e->pool.get());
    mixer_changed(&e->mixer);
}

bool valid_attributes(int32_t freq, int32_t volume, int32_t pan)
{
    const bool freq_ok = freq == kLeave || freq == 0 ||
                         (freq >= kMinPlayRateHz && freq <= int32_t(kMaxPlayRateHz));
    return freq_ok && volume >= kLeave && volume <= kVolumeFull && pan >= kLeave &&
           pan <= kPanRight;
}

void set_play_rate(Engine *e, Stream *st, uint32_t rate_hz)
{
    st->play_rate_hz = rate_hz;
    Session *s = st->session;
    if (!s)
        return; /* an ended stream: its next session starts at this rate */
    // Relaxed: a self-contained value the worker reads after the kick
    // below, which goes through its mutex.
    s->play_rate_hz.store(rate_hz, std::memory_order_relaxed);
    // Not yet heard: decode it again from where it rests at the new rate
    // rather than play what was decoded ahead.  Only the mixer ends a
    // session, so this restart cannot lose.
    if (!st->handed)
        session_restart(s, st->rest_frame);
    pool_kick(e->pool.get());
}

/* The stream's length in frames at the output rate and its play rate, or
   -1 while nothing says. */
int64_t length_frames(const Engine *e, const Stream *st)
{
    if (st->duration_us >= 0 && st->source_rate_hz > 0) {
        const double play_hz = st->play_rate_hz ? st->play_rate_hz : st->source_rate_hz;
        const double seconds = double(st->duration_us) / 1e6 * st->source_rate_hz / play_hz;
        return int64_t(seconds * e->mixer.rate_hz + 0.5);
    }
    uint64_t counted = st->decoded_length;
    if (st->session)
        counted = std::min(counted, st->session->decoded_length.load(std::memory_order_relaxed));
    return counted == kNoPosition ? -1 : int64_t(counted);
}

int64_t position_of(const Engine *e, const Stream *st)
{
    if (!st->handed || st->at_rest)
        return int64_t(st->rest_frame);
    const ClockReading clock = clock_read(&st->voice.clock);
    // A seek not yet heard reads where it goes.
    if (live(st) && int32_t(clock.pass - st->seek_restarts) < 0)
        return int64_t(st->seek_frame);
    return int64_t(clock_frame_at(clock, mixer_heard_now(&e->mixer)));
}

int32_t state_of(const Engine *e, const Stream *st)
{
    if (!live(st))
        return SONA_STATE_STOPPED;
    if (st->paused)
        return SONA_STATE_PAUSED;
    const bool output_down = e->output && !output_running(e->output.get());
    if (output_down || st->voice.starving.load(std::memory_order_relaxed))
        return SONA_STATE_WAITING;
    return SONA_STATE_PLAYING;
}

/* Copies `value` as snprintf would; its full length. */
int32_t copy_out(const std::string &value, char *buf, uint32_t size)
{
    if (size > 0) {
        const size_t n = std::min<size_t>(value.size(), size - 1);
        std::memcpy(buf, value.data(), n);
        buf[n] = '\0';
    }
    return int32_t(value.size());
}

} // namespace

extern "C" {

SONA_API SONA_BOOL SONA_ChannelPlay(uint32_t handle, SONA_BOOL restart)
{
    return on_stream(handle, SONA_FALSE, [&](Engine *e, Stream *st) -> SONA_BOOL {
        // In the mix, or resting: resume it, rewind it, or leave it
        // playing.  A restart loses against the mixer ending the session;
        // then it is started anew.
        if (live(st) && (!restart || session_restart(st->session, 0))) {
            if (restart)
                seek_live(e, st, 0);
            return st->paused ? resume(e, st) : succeed();
        }
        if (st->session && st->handed) {
            const uint64_t counted = st->session->decoded_length.load(std::memory_order_relaxed);
            st->decoded_length = std::min(st->decoded_length, counted);
            session_unref(st->session);
            st->session = nullptr;
            st->handed = false;
        }
        return play_anew(e, st, restart || !st->at_rest ? 0 : st->rest_frame);
    });
}

SONA_API SONA_BOOL SONA_ChannelPause(SONA_HSTREAM handle)
{
    return on_stream(handle, SONA_FALSE, [&](Engine *e, Stream *st) -> SONA_BOOL {
        if (!live(st) || st->paused)
            return succeed();
        st->paused = true;
        // Relaxed: one bit the mixer reads once a chunk; leaving is decided
        // by CAS (resume).
        st->voice.presence.fetch_or(Voice::kPauseAsked, std::memory_order_relaxed);
        mixer_changed(&e->mixer);
        return succeed();
    });
}

SONA_API int32_t SONA_ChannelGetState(SONA_HSTREAM handle)
{
    return on_stream(handle, int32_t(-1), [&](Engine *e, Stream *st) {
        error_set(SONA_OK);
        return state_of(e, st);
    });
}

SONA_API int64_t SONA_ChannelGetPosition(SONA_HSTREAM handle)
{
    return on_stream(handle, int64_t(-1), [&](Engine *e, Stream *st) {
        error_set(SONA_OK);
        return position_of(e, st);
    });
}

SONA_API int64_t SONA_ChannelGetLength(SONA_HSTREAM handle)
{
    return on_stream(handle, int64_t(-1), [&](Engine *e, Stream *st) {
        error_set(SONA_OK);
        return length_frames(e, st);
    });
}

SONA_API SONA_BOOL SONA_ChannelSetPosition(SONA_HSTREAM handle, int64_t frame)
{
    return on_stream(handle, SONA_FALSE, [&](Engine *e, Stream *st) -> SONA_BOOL {
        const int64_t length = length_frames(e, st);
        if (frame < 0 || (length >= 0 && frame > length))
            return fail(SONA_ERROR_PARAM);
        if (live(st) && session_restart(st->session, uint64_t(frame))) {
            seek_live(e, st, uint64_t(frame));
            return succeed();
        }
        // Not in the mix: it plays from there when it plays.  A session
        // not yet handed to the mixer goes there now; it cannot lose.
        st->rest_frame = uint64_t(frame);
        st->at_rest = true;
        if (st->session && !st->handed) {
            session_restart(st->session, uint64_t(frame));
            pool_kick(e->pool.get());
        }
        return succeed();
    });
}

SONA_API int32_t SONA_ChannelGetTag(SONA_HSTREAM handle, const char *key, char *buf, uint32_t size)
{
    return on_stream(handle, int32_t(-1), [&](Engine *, Stream *st) -> int32_t {
        size_t k = 0;
        while (key && k < kTagCount && std::strcmp(key, kTagKeys[k]) != 0)
            ++k;
        if (!key || k == kTagCount || (!buf && size > 0)) {
            error_set(SONA_ERROR_PARAM);
            return -1;
        }
        error_set(SONA_OK);
        return st->tags[k] ? copy_out(*st->tags[k], buf, size) : -1;
    });
}

SONA_API SONA_BOOL SONA_ChannelSetFlags(uint32_t handle, uint32_t flags)
{
    return on_stream(handle, SONA_FALSE, [&](Engine *e, Stream *st) -> SONA_BOOL {
        int32_t slot = -1;
        if (flags != 0) {
            for (const SpeakerWord &w : kSpeakerWords)
                if (w.word == flags)
                    slot = w.slot;
            if (slot < 0)
                return fail(SONA_ERROR_PARAM);
        }
        // Only this thread stores it: relaxed reads its own value.
        if (st->voice.route_slot.load(std::memory_order_relaxed) != slot) {
            st->voice.route_slot.store(slot, std::memory_order_relaxed); /* see Voice */
            mixer_changed(&e->mixer);
        }
        return succeed();
    });
}

SONA_API SONA_BOOL SONA_ChannelSetAttributes(uint32_t handle, int32_t freq, int32_t volume,
                                             int32_t pan)
{
    return on_stream(handle, SONA_FALSE, [&](Engine *e, Stream *st) -> SONA_BOOL {
        if (!valid_attributes(freq, volume, pan))
            return fail(SONA_ERROR_PARAM);
        bool heard = false;
        if (volume != kLeave && volume != st->volume) {
            st->volume = volume;
            const double v = double(volume) / kVolumeFull;
            st->voice.volume_gain.store(float(v * v * v), std::memory_order_relaxed);
            heard = true;
        }
        if (pan != kLeave && pan != st->pan) {
            st->pan = pan;
            st->voice.pan.store(pan, std::memory_order_relaxed);
            heard = true;
        }
        if (freq != kLeave && uint32_t(freq) != st->play_rate_hz)
            set_play_rate(e, st, uint32_t(freq));
        if (heard)
            mixer_changed(&e->mixer);
        return succeed();
    });
}

} // extern "C"
