// Streams live until SONA_Free: the public interface has no call that
// frees one.  A handle is a serial number that never repeats in a process
// (the counter survives SONA_Free), so a handle from an earlier stream or
// an earlier Init can never name a newer stream.
#include "sona_internal.h"

#include <new>

namespace sona {

namespace {
uint32_t g_next_handle = 1; /* 0 once the 32-bit space is used up */
}

uint32_t streams_next_handle(Engine *e)
{
    (void)e;
    return g_next_handle;
}

Stream *streams_add(Engine *e, std::unique_ptr<Stream> s)
{
    s->handle = g_next_handle;
    g_next_handle = g_next_handle == UINT32_MAX ? 0 : g_next_handle + 1;
    e->streams.push_back(std::move(s)); /* room was reserved by the caller */
    return e->streams.back().get();
}

Stream *streams_lookup(Engine *e, uint32_t handle, int32_t *error)
{
    if (!e) {
        *error = SONA_ERROR_INIT;
        return nullptr;
    }
    if (handle < e->first_handle || handle - e->first_handle >= e->streams.size()) {
        *error = SONA_ERROR_HANDLE;
        return nullptr;
    }
    *error = SONA_OK;
    return e->streams[handle - e->first_handle].get();
}

int32_t streams_open_session(Engine *e, Stream *stream)
{
    DecoderPtr decoder;
    const int32_t err = decoder_open(stream->source, e->mixer.rate_hz, &decoder);
    if (err != SONA_OK)
        return err;
    std::unique_ptr<Session> s(new (std::nothrow) Session);
    const uint32_t slots = decoder_ring_slots(decoder.get());
    if (!s || !ring_init(&s->ring, ring_frames_for(slots), slots))
        return SONA_ERROR_MEMORY;
    s->source = stream->source;
    s->out_rate = e->mixer.rate_hz;
    decoder_set_play_rate(decoder.get(), stream->play_rate_hz);
    s->play_rate_hz.store(stream->play_rate_hz, std::memory_order_relaxed);
    s->applied_rate_hz = stream->play_rate_hz;
    s->decoder = std::move(decoder);
    stream->session = s.release();
    stream->handed = false;
    pool_add(e->pool.get(), stream->session);
    return SONA_OK;
}

void streams_release_all(Engine *e)
{
    for (auto &s : e->streams) {
        if (s->session)
            session_unref(s->session);
        s->session = nullptr;
    }
    e->streams.clear();
}

void engine_update_running(Engine *e)
{
    if (!e->output)
        return;
    // Relaxed is enough under the mutex: the API thread counts up before it
    // takes the mutex, so whichever decision comes last sees its count; a
    // stale count from the mixer's side at worst delays a pause to the
    // worker's next pass.
    std::lock_guard<std::mutex> lock(e->run_mutex);
    output_set_running(e->output.get(), e->mixer.active.load(std::memory_order_relaxed) > 0);
}

} // namespace sona
