/*
 * decoder.h - the decoder as the rest of libsona uses it: open a source,
 * say what it says of itself, fill a ring, seek.  Offered to sessions,
 * the decode pool and the calls.  In libsona.so these calls go through
 * the module libsona-ffmpeg.so (loader.cpp); in the static core the FFmpeg
 * decoder is linked in directly.  Only the decoder's own files see FFmpeg.
 */
#ifndef SONA_DECODER_DECODER_H
#define SONA_DECODER_DECODER_H

#include "ring.h"

#include <memory>

namespace sona {

/* Where a stream's bytes come from, as the decoder reads them.  Plain
   data, for it crosses into the decoder module; what it points to lives
   as long as the stream's record, longer than any decoder of it. */
struct DecoderSource {
    const char *path;       /* NUL-terminated bytes, never transcoded; null for memory */
    const uint8_t *memory;  /* the stream's own copy of a block of memory */
    uint64_t memory_size;
    uint64_t offset;
    uint64_t length; /* 0 = to the end */
};

struct Decoder; /* FFmpeg state, private to the decoder's files */
struct DecoderDeleter {
    void operator()(Decoder *d) const;
};
using DecoderPtr = std::unique_ptr<Decoder, DecoderDeleter>;

enum class DecodeResult { kFull, kEnded };

/* Opens and probes; returns a SONA_ error code (SONA_OK on success).  In
   libsona.so, SONA_ERROR_UNKNOWN also when the module cannot be loaded. */
int32_t decoder_open(const DecoderSource &src, uint32_t out_rate, DecoderPtr *out);
/* Loads the decoder module ahead of the first decoder_open, which then
   does not wait for FFmpeg to load.  Blocks for as long as that takes. */
void decoder_preload();
/* kPairSlots when the source plays on the front pair alone, else
   kRingSlots: the layout its ring is made for. */
uint32_t decoder_ring_slots(const Decoder *d);
/* What the source says of itself, as it said it when opened: the two
   calls below read only what decoder_open noted, so any thread may make
   them while a worker fills or seeks. */
struct DecoderInfo {
    int64_t duration_us;     /* the container's or the stream's, as ffprobe's
                                format duration gives it; -1 when neither says */
    uint32_t source_rate_hz; /* the audio stream's own rate */
};
void decoder_info(const Decoder *d, DecoderInfo *info);
/* A tag of the source: `key` is "title", "artist", "album", "date",
   "genre" or "track" (any other has none).  Copies the value as UTF-8
   (text that is not UTF-8 read as Latin-1) into `buf`, cut to size - 1
   bytes and NUL-terminated when size > 0, and returns its full length, as
   snprintf does; -1 when the source has no such tag. */
int32_t decoder_tag(const Decoder *d, const char *key, char *buf, uint32_t size);
/* Plays the source as if its rate were play_rate_hz (0 = its own). */
void decoder_set_play_rate(Decoder *d, uint32_t play_rate_hz);
/* Goes to `frame`, counted at the output rate and the current play rate
   from the first frame, so that the next fill starts exactly there (to a
   fraction of a frame): decoder_seek(d, 0) goes back to the start.  Reads
   and decodes from a little before the frame, so it takes as long as a
   short fill.  False if the source cannot seek from where it is: the
   caller then opens it again, and a fresh decoder always gets there,
   decoding from the start if it must. */
bool decoder_seek(Decoder *d, uint64_t frame);
/* Decodes into the ring until it is full (kFull) or the data ends (kEnded). */
DecodeResult decoder_fill(Decoder *d, Ring *ring);

} // namespace sona

#endif /* SONA_DECODER_DECODER_H */
