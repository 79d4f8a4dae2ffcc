/*
 * sona_internal.h - what every part of libsona reads: the real-time
 * contract, the channel order, the fold and the sizes.  Each part has a
 * header of its own for what it offers:
 *
 *   api.cpp             the SONA_ calls: argument checks, then the parts
 *   testing.h           entries for the tests and benchmarks (sona_render ...)
 *   engine.h            what one SONA_Init brings up: mixer, output, pool,
 *                       and the streams (engine.cpp, streams.cpp)
 *   ring.h              the decoder-to-mixer ring (ring.cpp)
 *   pool.h              the decode pool that keeps every ring filled (pool.cpp)
 *   mix/                the mix: mixer.h (voices joining and leaving, gain
 *                       ramps, chunks), render.h (what an output driver
 *                       pulls), kernels.h (one voice into the accumulator,
 *                       the fold), session.h (a session's restart and end
 *                       protocol), history.h (marks of the mix, for an
 *                       output that renders again what it wrote ahead)
 *   output/             output.h (the output as the engine sees it),
 *                       driver.h (the seam every driver implements, and
 *                       the table of drivers), write_ahead.h (what a
 *                       driver that writes ahead uses), keeper.cpp (the
 *                       one policy over the drivers), and a file per
 *                       driver: pipewire, pulse, sdl, silent
 *   decoder/            decoder.h (libsona's view of the decoder),
 *                       module_abi.h (the table libsona-ffmpeg.so
 *                       exports), ffmpeg.h (FFmpeg's state, private to
 *                       the module's files), loader.cpp (libsona.so's
 *                       stand-in that loads the module)
 *
 * THE REAL-TIME CONTRACT
 * mixer_render() runs on the thread that feeds the sound server: PipeWire's
 * data thread, SDL's audio thread, the silent clock's, or a test's.  It and
 * everything it calls must not block for an unbounded time: no
 * malloc/new/free/delete, no locks (std::mutex, pthread_mutex_lock,
 * SDL_LockAudioDevice), no condition variables, no sleep, no I/O of any
 * kind (files, TTY, network, logging, av_log), no joining threads, no
 * system calls, no FFmpeg or SDL calls.  It may load and store atomics and
 * touch memory that was allocated for it before it could run.  Everything
 * it needs arrives so:
 *   - scalar controls (volume gain, pan, speaker word) are atomics it loads
 *     once per chunk;
 *   - a voice joins the mix through an SPSC queue of fixed capacity (the API
 *     thread produces, the mixer consumes); a voice leaves by itself when its
 *     session has ended (session_try_end);
 *   - decoded audio arrives through the session's ring; the worker is the
 *     only producer and the mixer the only consumer;
 *   - nothing the mixer can still reach is freed: a session is freed only
 *     after it has ended (the mixer then never touches it again) or
 *     after the output has stopped for good (SONA_Free).
 * Gain ramp state belongs to the mixer alone.
 *
 * Under libpulse the mix is rendered on the output's own thread, the
 * keeper, inside libpulse's main loop, which is not a real-time thread:
 * the server holds a deep buffer (400 ms; 212 ms through pipewire-pulse),
 * so a render that comes late is covered by what is queued, and only a
 * rewrite must reach the server before it plays what is overwritten, for
 * which the driver keeps a margin (output/pulse.cpp).  The same contract
 * holds there all the same: the render path is shared.
 */
#ifndef SONA_INTERNAL_H
#define SONA_INTERNAL_H

#include "sona.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sona {

/* ---- channel order: the one table ------------------------------------ */

/* The mix is 5.1 in SDL's six-channel order, which equals FFmpeg's
   AV_CHANNEL_LAYOUT_5POINT1_BACK.  Every index into a mix frame names one
   of these; the ring carries one more slot, the mono downmix a stream
   plays when it is routed to a single speaker, and one of padding: eight
   floats a frame let the mixer's inner loop run on whole vectors. */
enum Slot : int { kFL = 0, kFR = 1, kFC = 2, kLFE = 3, kRL = 4, kRR = 5, kMono = 6 };
constexpr int kMixChannels = 6;
constexpr int kRingSlots = 8;
/* Nearly every file is mono or stereo and plays on the front pair alone:
   its ring carries just (FL, FR), a quarter of the memory traffic, and the
   mixer derives the mono downmix, (FL + FR) / 2, when the stream is routed
   to one speaker. */
constexpr int kPairSlots = 2;
/* Frames in the mixer's accumulator are padded the same way. */
constexpr int kAccStride = 8;

struct SpeakerWord {
    uint32_t word;
    Slot slot;
};
constexpr SpeakerWord kSpeakerWords[] = {
    {SONA_SPEAKER_FRONTLEFT, kFL}, {SONA_SPEAKER_FRONTRIGHT, kFR}, {SONA_SPEAKER_REARLEFT, kRL},
    {SONA_SPEAKER_REARRIGHT, kRR}, {SONA_SPEAKER_CENTER, kFC},
};

/* ITU-R BS.775 fold-down of the 5.1 mix onto a front pair, LFE dropped:
   L = FL + 0.707 FC + 0.707 RL, R = FR + 0.707 FC + 0.707 RR.  The one
   statement of it: the mixer folds for small devices and the channel map
   folds wide sources with it. */
constexpr float kHalfPower = 0.70710678f; /* -3 dB */
constexpr float kFoldToPair[kPairSlots][kMixChannels] = {
    /*         FL    FR    FC          LFE   RL          RR */
    /* L */ {1.0f, 0.0f, kHalfPower, 0.0f, kHalfPower, 0.0f},
    /* R */ {0.0f, 1.0f, kHalfPower, 0.0f, 0.0f, kHalfPower},
};

/* The mono downmix: the mean of the two sides of that fold. */
constexpr float fold_to_mono(int mix_slot)
{
    return 0.5f * (kFoldToPair[0][mix_slot] + kFoldToPair[1][mix_slot]);
}

/* Balance and volume as the API takes them (sona.h). */
constexpr int32_t kPanLeft = 0;
constexpr int32_t kPanCentre = 64;
constexpr int32_t kPanRight = 128;
constexpr int32_t kVolumeFull = 100;

/* ---- sizes ------------------------------------------------------------ */

/* A ring holds ~186 ms at 44.1 kHz (a two-slot ring, four times narrower,
   twice that): enough to ride out a busy worker, and the longer it lasts
   the fewer times a worker wakes to top it up; small enough that memory
   per stream stays far below 1 MiB.  An output that writes ahead asks for
   deeper rings (output/write_ahead.h). */
constexpr uint32_t kRingFrames = 8192;
constexpr uint32_t kPairRingFrames = 2 * kRingFrames;
/* sona.h states these as the most a playing stream's rate change waits. */
static_assert(kPairRingFrames == 16384 && kRingFrames == 8192,
              "SONA_ChannelSetAttributes' rate-change delay in sona.h");
/* The worker that watches the rings wakes when the emptiest one would be
   down to this: ~93 ms at 44.1 kHz, time enough for a worker that is late;
   a quarter of a ring that is larger, since an output that writes ahead
   takes its audio in bursts. */
constexpr uint32_t kLowFrames = 4096;
inline uint32_t ring_low_frames(uint32_t capacity_frames)
{
    return capacity_frames / 4 > kLowFrames ? capacity_frames / 4 : kLowFrames;
}
/* The worker tops a ring up once this much of it is free. */
constexpr uint32_t kRefillFrames = 1024;
/* The mixer works in chunks of at most this many frames. */
constexpr uint32_t kMixChunkFrames = 256;
constexpr uint32_t kRampMs = 5;
/* Streams that can sound at once (the mixer's list is fixed-size). */
constexpr uint32_t kMaxVoices = 1024;
/* Positions stored by different threads sit on their own cache lines. */
constexpr size_t kCacheLine = 64;
/* A stream or output position that is not (yet) known. */
constexpr uint64_t kNoPosition = UINT64_MAX;

/* ---- vectors ---------------------------------------------------------- */

/* Four floats as one SSE register (GCC and Clang vector extension): the
   hottest loops are spelled with it, as GCC leaves them scalar at -O2. */
typedef float Vec4 __attribute__((vector_size(16)));
inline Vec4 vec4_load(const float *p)
{
    Vec4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void vec4_store(float *p, Vec4 v)
{
    std::memcpy(p, &v, sizeof v);
}
inline Vec4 vec4_splat(float x)
{
    return Vec4{x, x, x, x};
}

} // namespace sona

#endif /* SONA_INTERNAL_H */
