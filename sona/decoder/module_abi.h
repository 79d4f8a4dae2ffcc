/*
 * module_abi.h - the binary interface between libsona.so and its decoder
 * module, libsona-ffmpeg.so: the table the module exports and the layouts
 * that cross with it.  Offered to loader.cpp (libsona.so's side) and
 * module.cpp (the module's).  The two are built together and the loader
 * refuses a module whose version or table size differs; this header keeps
 * a change of the interface from shipping without a new version.
 */
#ifndef SONA_DECODER_MODULE_ABI_H
#define SONA_DECODER_MODULE_ABI_H

#include "decoder/decoder.h"

#include <type_traits>

namespace sona {

/* Raised with any change to the table, to a function's parameters, or to
   the layout of DecoderSource, DecoderInfo or Ring. */
constexpr uint32_t kDecoderTableVersion = 5;

struct DecoderTable {
    uint32_t version;
    uint32_t size; /* sizeof(DecoderTable) */
    int32_t (*open)(const DecoderSource &src, uint32_t out_rate, Decoder **out);
    uint32_t (*ring_slots)(const Decoder *d);
    void (*set_play_rate)(Decoder *d, uint32_t play_rate_hz);
    void (*info)(const Decoder *d, DecoderInfo *info);
    int32_t (*tag)(const Decoder *d, const char *key, char *buf, uint32_t size);
    bool (*seek)(Decoder *d, uint64_t frame);
    DecodeResult (*fill)(Decoder *d, Ring *ring);
    void (*close)(Decoder *d);
};

/* The layouts this version was made with.  When one of these fails, the
   interface changed: raise kDecoderTableVersion and write down the new
   figures beside it. */
static_assert(std::is_standard_layout_v<DecoderSource> && std::is_standard_layout_v<Ring> &&
                  std::is_standard_layout_v<RingSpan> && std::is_standard_layout_v<DecoderInfo>,
              "what crosses into the module is plain data");
static_assert(kDecoderTableVersion == 5 && sizeof(DecoderTable) == 72 &&
                  offsetof(DecoderTable, seek) == 48 && sizeof(DecoderInfo) == 16 &&
                  offsetof(DecoderInfo, source_rate_hz) == 8 &&
                  sizeof(DecoderSource) == 40 && offsetof(DecoderSource, memory_size) == 16 &&
                  offsetof(DecoderSource, length) == 32 && sizeof(Ring) == 192 &&
                  offsetof(Ring, slots) == 12 && offsetof(Ring, write_pos) == 64 &&
                  offsetof(Ring, read_pos) == 128 && offsetof(Ring, keep_pos) == 136 &&
                  sizeof(RingSpan) == 16,
              "the decoder module's interface changed: raise kDecoderTableVersion");

/* The module's one export.  It carries no version: the table does. */
#define SONA_DECODER_TABLE_ENTRY sona_ffmpeg_decoder_table
#define SONA_STRINGIFY(x) SONA_STRINGIFY_(x)
#define SONA_STRINGIFY_(x) #x
#define SONA_DECODER_TABLE_SYMBOL SONA_STRINGIFY(SONA_DECODER_TABLE_ENTRY)
#define SONA_DECODER_MODULE_FILE "libsona-ffmpeg.so"

} // namespace sona

#endif /* SONA_DECODER_MODULE_ABI_H */
