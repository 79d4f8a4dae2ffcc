// Streams live until SONA_Free: the public interface has no call that
// frees one.  A handle is a serial number that never repeats in a process
// (the counter survives SONA_Free), so a handle from an earlier stream or
// an earlier Init can never name a newer stream.
#include "engine.h"

namespace sona {

namespace {

uint32_t g_next_handle = 1; /* 0 once the 32-bit space is used up */

/* What the source says of itself, kept for the stream's life: read from
   its first decoder, before the pool takes it. */
void learn_source(Stream *stream, const Decoder *d)
{
    DecoderInfo info{};
    decoder_info(d, &info);
    stream->duration_us = info.duration_us;
    stream->source_rate_hz = info.source_rate_hz;
    for (size_t k = 0; k < kTagCount; ++k) {
        const int32_t length = decoder_tag(d, kTagKeys[k], nullptr, 0);
        if (length < 0)
            continue;
        std::string value(size_t(length), '\0');
        decoder_tag(d, kTagKeys[k], value.data(), uint32_t(length) + 1);
        stream->tags[k] = std::move(value);
    }
}

} // namespace

uint32_t streams_next_handle()
{
    return g_next_handle;
}

Stream *streams_add(Engine *e, std::unique_ptr<Stream> s)
{
    s->handle = g_next_handle;
    s->voice.handle = s->handle;
    g_next_handle = g_next_handle == UINT32_MAX ? 0 : g_next_handle + 1;
    e->streams.push_back(std::move(s)); /* room was reserved by the caller */
    return e->streams.back().get();
}

void streams_make_room(Engine *e)
{
    // By doubling: n creations move the table about log n times, not n.
    if (e->streams.size() == e->streams.capacity())
        e->streams.reserve(2 * e->streams.size() + 1);
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

DecoderSource Source::view() const
{
    if (in_memory)
        return {nullptr, memory.data(), memory.size(), 0, 0};
    return {path.c_str(), nullptr, 0, offset, length};
}

int32_t streams_open_session(Engine *e, Stream *stream, uint64_t from)
{
    Session *s = nullptr;
    const int32_t err = session_open(stream->source.view(), e->mixer.rate_hz, stream->play_rate_hz,
                                     mixer_ring_sizes(&e->mixer), &s);
    if (err != SONA_OK)
        return err;
    stream->session = s;
    stream->handed = false;
    if (stream->source_rate_hz == 0)
        learn_source(stream, s->decoder.get());
    // Before the pool has it, so that no worker decodes from the start first.
    if (from != 0)
        session_restart(s, from);
    pool_add(e->pool.get(), s);
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

} // namespace sona
