// The SONA_ calls that bring the library up and down, make streams, say
// what went wrong and hand out events (their contracts are in sona.h; the
// channel calls are in channel.cpp, what both do first in calls.h), and
// the entries of testing.h.
#include "calls.h"
#include "testing.h"

#include <algorithm>

namespace sona {

Engine *g_engine = nullptr;

namespace {
/* Per thread, so that a call on one thread never blurs the result another
   thread is about to read. */
thread_local int32_t t_last_error = SONA_OK;
} // namespace

void error_set(int32_t code)
{
    t_last_error = code;
}

} // namespace sona

using namespace sona;

namespace {

constexpr uint32_t kMinRateHz = 8000;
constexpr uint32_t kMaxRateHz = 192000;

/* What each code says, for SONA_ErrorGetText. */
constexpr const char *kErrorTexts[] = {
    "the call succeeded",
    "the library is not initialised: SONA_Init has not succeeded, or SONA_Free ran",
    "the library is already initialised: SONA_Free must come first",
    "the sound output device does not exist or cannot be opened",
    "the handle names no live stream",
    "the file is missing, cannot be read, or is not a regular file",
    "the file holds no audio that can be decoded",
    "an argument is out of its range",
    "out of memory",
    "an unexpected error happened",
};
static_assert(std::size(kErrorTexts) == SONA_ERROR_UNKNOWN + 1, "a text for every code");

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
    // No keeper here: the caller's thread, which is not real-time, signals.
    events_signal(&g_engine->mixer.events);
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

uint32_t sona_stream_capacity(void)
{
    return g_engine ? uint32_t(g_engine->streams.capacity()) : 0;
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
            streams_make_room(g_engine);
            const int32_t err = streams_open_session(g_engine, stream.get());
            if (err != SONA_OK)
                return fail(err);
            const SONA_HSTREAM handle = streams_add(g_engine, std::move(stream))->handle;
            error_set(SONA_OK);
            return handle;
        },
        0);
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

SONA_API const char *SONA_ErrorGetText(int32_t code)
{
    return code >= 0 && code < int32_t(std::size(kErrorTexts)) ? kErrorTexts[code] : "unknown error";
}

SONA_API int32_t SONA_EventFd(void)
{
    if (!g_engine)
        return fail(SONA_ERROR_INIT), -1;
    error_set(SONA_OK);
    return g_engine->mixer.events.fd;
}

SONA_API SONA_BOOL SONA_EventNext(SONA_HSTREAM *handle, int32_t *state)
{
    if (!g_engine)
        return fail(SONA_ERROR_INIT);
    Event e{};
    if (!events_pop(&g_engine->mixer.events, &e)) {
        error_set(SONA_OK);
        return SONA_FALSE;
    }
    if (handle)
        *handle = e.handle;
    if (state)
        *state = e.state;
    return succeed();
}

} // extern "C"
