// The SONA_ calls (their contracts are in sona.h).  Each checks everything
// before it changes anything, sets the calling thread's last error, and
// lets no C++ exception out.  The caller serialises the calls, so the
// engine pointer and the stream table need no lock of ours.
#include "engine.h"
#include "testing.h"

#include <cmath>
#include <new>

using namespace sona;

namespace {

Engine *g_engine = nullptr;
/* Per thread, so that a call on one thread never blurs the result another
   thread is about to read. */
thread_local int32_t t_last_error = SONA_OK;

void error_set(int32_t code)
{
    t_last_error = code;
}

constexpr uint32_t kMinRateHz = 8000;
constexpr uint32_t kMaxRateHz = 192000;
constexpr int32_t kMinPlayRateHz = 100;
constexpr int32_t kLeave = -1; /* "leave as it is" in SONA_ChannelSetAttributes */

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

SONA_BOOL fail(int32_t code)
{
    error_set(code);
    return SONA_FALSE;
}

SONA_BOOL succeed()
{
    error_set(SONA_OK);
    return SONA_TRUE;
}

/* Every call on a stream: guarded, the handle checked, then `body`. */
template <class F>
SONA_BOOL on_stream(uint32_t handle, F &&body) noexcept
{
    return guarded(
        [&]() -> SONA_BOOL {
            int32_t err = SONA_OK;
            Stream *st = streams_lookup(g_engine, handle, &err);
            return st ? body(g_engine, st) : fail(err);
        },
        SONA_FALSE);
}

bool valid_rate(uint32_t freq)
{
    return freq >= kMinRateHz && freq <= kMaxRateHz;
}

SONA_BOOL start(int32_t device, uint32_t freq, uint32_t out_channels, bool manual)
{
    Engine *e = nullptr;
    const int32_t err = engine_start(device, freq, out_channels, manual, &e);
    if (err != SONA_OK)
        return fail(err);
    g_engine = e;
    return succeed();
}

/* Puts a stream that is not in the mix into it, with a new session if its
   last one ended.  A session never handed to the mixer is still at its
   start. */
SONA_BOOL play_anew(Engine *e, Stream *st)
{
    // Checked before opening a session as well: a full mix opens no file.
    if (e->mixer.active.load(std::memory_order_acquire) >= kMaxVoices)
        return fail(SONA_ERROR_MEMORY);
    if (!st->session) {
        const int32_t err = streams_open_session(e, st);
        if (err != SONA_OK)
            return fail(err);
    }
    if (!mixer_reserve(&e->mixer))
        return fail(SONA_ERROR_MEMORY);
    st->handed = true;
    mixer_add(&e->mixer, &st->voice, st->session);
    pool_kick(e->pool.get());
    return succeed();
}

bool valid_attributes(int32_t freq, int32_t volume, int32_t pan)
{
    const bool freq_ok = freq == kLeave || freq == 0 ||
                         (freq >= kMinPlayRateHz && freq <= int32_t(kMaxRateHz));
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
    // Not yet heard: decode it again from the start at the new rate rather
    // than play what was decoded ahead.  Only the mixer ends a session, so
    // this restart cannot lose.
    if (!st->handed)
        session_restart(s);
    pool_kick(e->pool.get());
}

} // namespace

extern "C" {

SONA_API SONA_BOOL SONA_Init(int32_t device, uint32_t freq, uint32_t flags, uint32_t win,
                             const void *clsid)
{
    (void)win;
    (void)clsid;
    return guarded(
        [&]() -> SONA_BOOL {
            if (g_engine)
                return fail(SONA_ERROR_ALREADY);
            if (flags != 0 || !valid_rate(freq))
                return fail(SONA_ERROR_PARAM);
            if (device < 0)
                return fail(SONA_ERROR_DEVICE);
            return start(device, freq, kMixChannels, false);
        },
        SONA_FALSE);
}

SONA_BOOL sona_init_manual(uint32_t freq, uint32_t out_channels)
{
    return guarded(
        [&]() -> SONA_BOOL {
            if (g_engine)
                return fail(SONA_ERROR_ALREADY);
            Fold fold;
            if (!valid_rate(freq) || !fold_for_channels(out_channels, &fold))
                return fail(SONA_ERROR_PARAM);
            return start(0, freq, out_channels, true);
        },
        SONA_FALSE);
}

uint32_t sona_render(float *out, uint32_t frames)
{
    if (!g_engine || !g_engine->manual || !out) {
        error_set(SONA_ERROR_INIT);
        return 0;
    }
    if (g_engine->manual_write_ahead)
        g_engine->manual_write_ahead->make_room();
    mixer_render(&g_engine->mixer, out, frames);
    error_set(SONA_OK);
    return frames;
}

SONA_BOOL sona_wait_decoded(void)
{
    return guarded(
        [&]() -> SONA_BOOL {
            if (!g_engine)
                return fail(SONA_ERROR_INIT);
            pool_wait_idle(g_engine->pool.get());
            return succeed();
        },
        SONA_FALSE);
}

uint32_t sona_playing_count(void)
{
    // A count for tests to poll; it orders nothing.
    return g_engine ? g_engine->mixer.active.load(std::memory_order_relaxed) : 0;
}

SONA_BOOL sona_output_running(void)
{
    if (!g_engine || !g_engine->output)
        return SONA_FALSE;
    return output_running(g_engine->output.get()) ? SONA_TRUE : SONA_FALSE;
}

SONA_BOOL sona_manual_keep_history(void)
{
    if (!g_engine || !g_engine->manual)
        return SONA_FALSE;
    if (!g_engine->manual_write_ahead)
        g_engine->manual_write_ahead = std::make_unique<WriteAhead>(&g_engine->mixer);
    return g_engine->manual_write_ahead->begin();
}

uint64_t sona_manual_rewind(uint64_t position)
{
    WriteAhead *w = g_engine ? g_engine->manual_write_ahead.get() : nullptr;
    return w ? w->rewind(position) : kNoPosition;
}

void sona_manual_retire(uint64_t position)
{
    if (WriteAhead *w = g_engine ? g_engine->manual_write_ahead.get() : nullptr)
        w->heard(position);
}

SONA_API SONA_HSTREAM SONA_StreamCreateFile(SONA_BOOL mem, const void *file, uint32_t offset,
                                            uint32_t length, uint32_t flags)
{
    return guarded(
        [&]() -> SONA_HSTREAM {
            if (!g_engine)
                return fail(SONA_ERROR_INIT);
            if (!file || flags != 0 || (mem && (length == 0 || offset != 0)))
                return fail(SONA_ERROR_PARAM);
            if (streams_next_handle() == 0)
                return fail(SONA_ERROR_MEMORY); /* four billion streams */

            auto stream = std::make_unique<Stream>();
            Source &src = stream->source;
            src.in_memory = mem != 0;
            if (mem) {
                const auto *bytes = static_cast<const uint8_t *>(file);
                src.memory.assign(bytes, bytes + length);
            } else {
                src.path = static_cast<const char *>(file);
                src.offset = offset;
                src.length = length;
            }
            // Room first, so that nothing can fail once the session is
            // registered with the pool.
            g_engine->streams.reserve(g_engine->streams.size() + 1);
            const int32_t err = streams_open_session(g_engine, stream.get());
            if (err != SONA_OK)
                return fail(err);
            const SONA_HSTREAM handle = streams_add(g_engine, std::move(stream))->handle;
            error_set(SONA_OK);
            return handle;
        },
        0);
}

SONA_API SONA_BOOL SONA_ChannelPlay(uint32_t handle, SONA_BOOL restart)
{
    return on_stream(handle, [&](Engine *e, Stream *st) -> SONA_BOOL {
        if (st->session && st->handed) {
            // Still in the mix: rewind it, or leave it playing.  A restart
            // loses against the mixer ending the session; then it is
            // started anew.
            if (!session_ended(st->session)) {
                if (!restart)
                    return succeed();
                if (session_restart(st->session)) {
                    pool_kick(e->pool.get());
                    mixer_changed(&e->mixer);
                    return succeed();
                }
            }
            session_unref(st->session);
            st->session = nullptr;
            st->handed = false;
        }
        return play_anew(e, st);
    });
}

SONA_API SONA_BOOL SONA_ChannelSetFlags(uint32_t handle, uint32_t flags)
{
    return on_stream(handle, [&](Engine *e, Stream *st) -> SONA_BOOL {
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
    return on_stream(handle, [&](Engine *e, Stream *st) -> SONA_BOOL {
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

SONA_API SONA_BOOL SONA_Free(void)
{
    return guarded(
        [&]() -> SONA_BOOL {
            if (!g_engine)
                return fail(SONA_ERROR_INIT);
            Engine *e = g_engine;
            g_engine = nullptr;
            engine_destroy(e);
            return succeed();
        },
        SONA_FALSE);
}

SONA_API int32_t SONA_ErrorGetCode(void)
{
    return t_last_error;
}

} // extern "C"
