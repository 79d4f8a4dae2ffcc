// The SONA_ calls (their contracts are in sona.h).  Each checks everything
// before it changes anything, sets the calling thread's last error, and
// lets no C++ exception out.  The caller serialises the calls, so the
// engine pointer and the stream table need no lock of ours.
#include "sona_internal.h"

#include <cmath>
#include <new>

using namespace sona;

namespace {

Engine *g_engine = nullptr;

constexpr uint32_t kMinRateHz = 8000;
constexpr uint32_t kMaxRateHz = 192000;
constexpr int32_t kMinPlayRateHz = 100;
constexpr unsigned kDecodeThreads = 2;

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

/* Stops the output before the pool frees what the mixer reads. */
void engine_destroy(Engine *e)
{
    if (e->pool)
        pool_stop(e->pool.get());
    e->output.reset();
    e->pool.reset();
    streams_release_all(e);
    delete e;
}

SONA_BOOL engine_start(std::unique_ptr<Engine> e, int32_t device, uint32_t freq, uint32_t channels)
{
    int32_t err = SONA_OK;
    if (e->manual)
        err = mixer_init(&e->mixer, freq, channels) ? SONA_OK : SONA_ERROR_MEMORY;
    else
        err = output_open(device, freq, &e->mixer, &e->output);
    if (err != SONA_OK) {
        engine_destroy(e.release());
        return fail(err);
    }
    try {
        e->pool = pool_start(e.get(), kDecodeThreads);
    } catch (...) {
        engine_destroy(e.release());
        throw;
    }
    if (e->output)
        output_start(e->output.get());
    e->first_handle = streams_next_handle(e.get());
    g_engine = e.release();
    return succeed();
}

bool valid_rate(uint32_t freq)
{
    return freq >= kMinRateHz && freq <= kMaxRateHz;
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
            return engine_start(std::make_unique<Engine>(), device, freq, kMixChannels);
        },
        SONA_FALSE);
}

SONA_BOOL sona_init_manual(uint32_t freq, uint32_t out_channels)
{
    return guarded(
        [&]() -> SONA_BOOL {
            if (g_engine)
                return fail(SONA_ERROR_ALREADY);
            if (!valid_rate(freq) ||
                (out_channels != 1 && out_channels != 2 && out_channels != 4 && out_channels != 6))
                return fail(SONA_ERROR_PARAM);
            auto e = std::make_unique<Engine>();
            e->manual = true;
            return engine_start(std::move(e), 0, freq, out_channels);
        },
        SONA_FALSE);
}

uint32_t sona_render(float *out, uint32_t frames)
{
    if (!g_engine || !g_engine->manual || !out) {
        error_set(SONA_ERROR_INIT);
        return 0;
    }
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
    std::lock_guard<std::mutex> lock(g_engine->run_mutex);
    return output_running(g_engine->output.get()) ? SONA_TRUE : SONA_FALSE;
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
            if (streams_next_handle(g_engine) == 0)
                return fail(SONA_ERROR_MEMORY); /* four billion streams */

            auto stream = std::make_unique<Stream>();
            Source &src = stream->source;
            src.in_memory = mem != 0;
            if (mem) {
                const auto *bytes = static_cast<const uint8_t *>(file);
                src.memory = std::make_shared<const std::vector<uint8_t>>(bytes, bytes + length);
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
    return guarded(
        [&]() -> SONA_BOOL {
            int32_t err = SONA_OK;
            Stream *st = streams_lookup(g_engine, handle, &err);
            if (!st)
                return fail(err);
            Engine *e = g_engine;
            if (st->session && st->handed) {
                // Still in the mix: rewind it, or leave it playing.  The CAS
                // loses against the mixer ending it; then it is started anew.
                // Acquire: if the ended bit is set, the mixer's last use of
                // the session happens-before we drop our reference.  The
                // count itself publishes nothing (the worker acquires it).
                uint32_t control = st->session->control.load(std::memory_order_acquire);
                while (!(control & 1u)) {
                    if (!restart)
                        return succeed();
                    if (st->session->control.compare_exchange_weak(control, control + 2u,
                                                                   std::memory_order_acq_rel,
                                                                   std::memory_order_acquire)) {
                        pool_kick(e->pool.get());
                        return succeed();
                    }
                }
                session_unref(st->session);
                st->session = nullptr;
                st->handed = false;
            }
            if (e->mixer.active.load(std::memory_order_acquire) >= kMaxVoices)
                return fail(SONA_ERROR_MEMORY);
            if (!st->session) {
                err = streams_open_session(e, st);
                if (err != SONA_OK)
                    return fail(err);
            }
            // A session never handed to the mixer is still at its start.
            if (!mixer_reserve(&e->mixer))
                return fail(SONA_ERROR_MEMORY);
            st->handed = true;
            mixer_add(&e->mixer, &st->voice, st->session);
            pool_kick(e->pool.get());
            engine_update_running(e);
            return succeed();
        },
        SONA_FALSE);
}

SONA_API SONA_BOOL SONA_ChannelSetFlags(uint32_t handle, uint32_t flags)
{
    return guarded(
        [&]() -> SONA_BOOL {
            int32_t err = SONA_OK;
            Stream *st = streams_lookup(g_engine, handle, &err);
            if (!st)
                return fail(err);
            int32_t slot = -1;
            if (flags != 0) {
                for (const SpeakerWord &w : kSpeakerWords)
                    if (w.word == flags)
                        slot = w.slot;
                if (slot < 0)
                    return fail(SONA_ERROR_PARAM);
            }
            st->flags = flags;
            st->voice.route_slot.store(slot, std::memory_order_relaxed); /* see Voice */
            return succeed();
        },
        SONA_FALSE);
}

SONA_API SONA_BOOL SONA_ChannelSetAttributes(uint32_t handle, int32_t freq, int32_t volume,
                                             int32_t pan)
{
    return guarded(
        [&]() -> SONA_BOOL {
            int32_t err = SONA_OK;
            Stream *st = streams_lookup(g_engine, handle, &err);
            if (!st)
                return fail(err);
            const bool freq_ok = freq == -1 || freq == 0 ||
                                 (freq >= kMinPlayRateHz && freq <= int32_t(kMaxRateHz));
            if (!freq_ok || volume < -1 || volume > 100 || pan < -1 || pan > 128)
                return fail(SONA_ERROR_PARAM);

            if (volume >= 0 && volume != st->volume) {
                st->volume = volume;
                const double v = volume / 100.0;
                st->voice.volume_gain.store(float(v * v * v), std::memory_order_relaxed);
            }
            if (pan >= 0 && pan != st->pan) {
                st->pan = pan;
                st->voice.pan.store(pan, std::memory_order_relaxed);
            }
            if (freq >= 0 && uint32_t(freq) != st->play_rate_hz) {
                st->play_rate_hz = uint32_t(freq);
                if (Session *s = st->session) {
                    // Relaxed: a self-contained value the worker reads after
                    // the kick below, which goes through its mutex.
                    s->play_rate_hz.store(st->play_rate_hz, std::memory_order_relaxed);
                    // Not yet heard: decode it again from the start at the
                    // new rate rather than play what was decoded ahead.
                    if (!st->handed)
                        s->control.fetch_add(2u, std::memory_order_acq_rel);
                    pool_kick(g_engine->pool.get());
                }
            }
            return succeed();
        },
        SONA_FALSE);
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
    return error_get();
}

} // extern "C"
