/*
 * engine.h - what one SONA_Init brings up and SONA_Free takes down: the
 * mixer, the output that pulls from it, the decode pool that fills its
 * rings (engine.cpp), and the streams' records with their handles
 * (streams.cpp).  Offered to the SONA_ calls (api.cpp).
 */
#ifndef SONA_ENGINE_H
#define SONA_ENGINE_H

#include "mix/mixer.h"
#include "output/output.h"
#include "output/write_ahead.h"
#include "pool.h"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sona {

/* Where a stream's bytes come from; kept for the stream's whole life so an
   ended stream can be opened again. */
struct Source {
    bool in_memory = false;
    std::string path; /* bytes, never transcoded */
    std::vector<uint8_t> memory;
    uint64_t offset = 0;
    uint64_t length = 0; /* 0 = to the end */

    /* What the decoder reads; valid while this record lasts unchanged. */
    DecoderSource view() const;
};

/* The tags SONA_ChannelGetTag knows, in the order a stream keeps them. */
constexpr const char *kTagKeys[] = {"title", "artist", "album", "date", "genre", "track"};
constexpr size_t kTagCount = std::size(kTagKeys);

/* A stream's record: API thread only, but for its voice (mix/mixer.h). */
struct Stream {
    uint32_t handle = 0;
    Source source;
    Voice voice;
    Session *session = nullptr; /* the API thread's reference */
    bool handed = false;        /* session given to the mixer */
    bool paused = false;        /* paused, and not played since */
    int32_t volume = kVolumeFull;
    int32_t pan = kPanCentre;
    uint32_t play_rate_hz = 0;

    /* Where it rests until it is played from there: 0, or where a seek
       put it while it was not in the mix. */
    uint64_t rest_frame = 0;
    bool at_rest = true;
    /* A seek while in the mix, read back until the voice's clock has it:
       the frame, and the session's restart count that asked for it. */
    uint64_t seek_frame = 0;
    uint32_t seek_restarts = 0;

    /* What the source said of itself when the stream was made, and what a
       pass that decoded to the end counted. */
    int64_t duration_us = -1;
    uint32_t source_rate_hz = 0;
    uint64_t decoded_length = kNoPosition;
    std::array<std::optional<std::string>, kTagCount> tags;
};

struct Engine {
    Mixer mixer;
    OutputPtr output; /* null for the manual (test) output */
    bool manual = false;
    /* The manual output standing in for one that writes ahead (testing.h). */
    std::unique_ptr<WriteAhead> manual_write_ahead;
    PoolPtr pool;

    /* Streams, API thread only.  Handle h is streams[h - first_handle]. */
    std::vector<std::unique_ptr<Stream>> streams;
    uint32_t first_handle = 0;
};

/* Brings up the mixer for `out_channels`, then the output for `device`
   (none when `manual`), then the decode pool.  Returns a SONA_ error code;
   on success *out is the running engine. */
int32_t engine_start(int32_t device, uint32_t freq, uint32_t out_channels, bool manual,
                     Engine **out);
/* Stops the output before the pool frees what the mixer reads. */
void engine_destroy(Engine *e);

/* The next handle to hand out; counts on across SONA_Free/SONA_Init so a
   handle never names two streams.  0 when the 32-bit space is used up. */
uint32_t streams_next_handle();
/* Room for one more stream, so that streams_add cannot fail. */
void streams_make_room(Engine *e);
Stream *streams_add(Engine *e, std::unique_ptr<Stream> s);
/* The one check every call makes: initialised? a live handle? */
Stream *streams_lookup(Engine *e, uint32_t handle, int32_t *error);
/* A new session for `stream`, opened, set to start at stream frame `from`
   and registered with the pool. */
int32_t streams_open_session(Engine *e, Stream *stream, uint64_t from = 0);
void streams_release_all(Engine *e);

} // namespace sona

#endif /* SONA_ENGINE_H */
