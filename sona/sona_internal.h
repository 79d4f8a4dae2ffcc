/*
 * sona_internal.h - libsona's private interface between its parts.
 *
 * Parts, one file each:
 *   error.cpp    the calling thread's last error code
 *   ring.cpp     single-producer single-consumer float ring (decoder -> mixer)
 *   decoder.cpp  FFmpeg open/probe/decode/resample over a descriptor we opened
 *   decoder_loader.cpp  libsona.so's stand-in for decoder.cpp: loads it, as
 *                the module libsona-ffmpeg.so, when the first stream opens
 *   mixer.cpp    pure DSP: gain ramps, routing, fold-down; knows nothing of SDL
 *   output.cpp   the SDL2 device (or the silent clock) calling mixer_render
 *   worker.cpp   the decode pool that keeps every stream's ring filled
 *   streams.cpp  the handle table and stream/session lifetimes
 *   api.cpp      the SONA_ calls: argument checks, then the parts above
 *
 * THE REAL-TIME CONTRACT
 * mixer_render() runs on the audio device's thread (or the silent clock's,
 * or a test's).  It and everything it calls must not block for an unbounded
 * time: no malloc/new/free/delete, no locks (std::mutex, pthread_mutex_lock,
 * SDL_LockAudioDevice), no condition variables, no sleep, no I/O of any kind
 * (files, TTY, network, logging, av_log), no joining threads, no FFmpeg or
 * SDL calls.  It may load and store atomics and touch memory that was
 * allocated for it before it could run.  Everything it needs arrives so:
 *   - scalar controls (volume gain, pan, speaker word) are atomics it loads
 *     once per chunk;
 *   - a voice joins the mix through an SPSC queue of fixed capacity (the API
 *     thread produces, the mixer consumes); a voice leaves by itself when its
 *     session has ended, by setting the session's ended bit with a CAS;
 *   - decoded audio arrives through the session's ring; the worker is the
 *     only producer and the mixer the only consumer;
 *   - nothing the mixer can still reach is freed: a session is freed only
 *     after its ended bit is set (the mixer then never touches it again) or
 *     after the output has stopped for good (SONA_Free).
 * Gain ramp state belongs to the mixer alone.
 */
#ifndef SONA_INTERNAL_H
#define SONA_INTERNAL_H

#include "sona.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/* Test entries: compiled into sona_core, hidden from libsona.so's exports. */
extern "C" {
/* Like SONA_Init, but opens no device and runs no clock: the mix advances
   only through sona_render.  out_channels is 6, 4, 2 or 1. */
SONA_BOOL sona_init_manual(uint32_t freq, uint32_t out_channels);
/* Pulls `frames` frames of the mix, interleaved in the output's channel
   count, through the function the device callback uses.  Returns the frames
   written (0 without a manual output). */
uint32_t sona_render(float *out, uint32_t frames);
/* Returns when the decode pool has nothing left to do: every stream's ring
   is full or its decoder has ended, pending restarts and rate changes are
   applied and ended sessions are released.  The calling thread does what
   work it can itself.  Returns FALSE if not initialised. */
SONA_BOOL sona_wait_decoded(void);
/* Streams currently in the mix (started and not yet ended). */
uint32_t sona_playing_count(void);
/* Whether the output (device or silent clock) is running rather than
   paused; FALSE for the manual output. */
SONA_BOOL sona_output_running(void);
}

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

/* Sizes.  A ring holds ~186 ms at 44.1 kHz (a two-slot ring, four times
   narrower, twice that): enough to ride out a busy worker, and the longer
   it lasts the fewer times a worker wakes to top it up; small enough that
   memory per stream stays far below 1 MiB. */
constexpr uint32_t kRingFrames = 8192;
constexpr uint32_t kPairRingFrames = 2 * kRingFrames;
inline uint32_t ring_frames_for(uint32_t slots)
{
    return slots == kPairSlots ? kPairRingFrames : kRingFrames;
}
/* The worker that watches the rings wakes when the emptiest one would be
   down to this: ~93 ms at 44.1 kHz, time enough for a worker that is late. */
constexpr uint32_t kLowFrames = 4096;
/* The worker tops a ring up once this much of it is free. */
constexpr uint32_t kRefillFrames = 1024;
/* The mixer works in chunks of at most this many frames. */
constexpr uint32_t kMixChunkFrames = 256;
constexpr uint32_t kRampMs = 5;
/* Streams that can sound at once (the mixer's list is fixed-size). */
constexpr uint32_t kMaxVoices = 1024;

/* ---- error ------------------------------------------------------------ */

void error_set(int32_t code);
int32_t error_get();

/* ---- ring ------------------------------------------------------------- */

/* Frames of `slots` floats.  Positions are 64-bit frame counters that never
   wrap in practice, so "how much is there" is a plain subtraction. */
struct Ring {
    std::unique_ptr<float[]> data;
    uint32_t capacity_frames = 0; /* a power of two */
    uint32_t slots = 0;
    alignas(64) std::atomic<uint64_t> write_pos{0}; /* stored by the producer only */
    alignas(64) std::atomic<uint64_t> read_pos{0};  /* stored by the consumer only */
};
/* A contiguous piece of the ring: at most two per access. */
struct RingSpan {
    float *data;
    uint32_t frames;
};

bool ring_init(Ring *ring, uint32_t capacity_frames, uint32_t slots); /* not real-time */
/* Producer side. */
uint32_t ring_write_space(const Ring *ring);
uint32_t ring_write_spans(Ring *ring, uint32_t frames, RingSpan spans[2]);
void ring_write_commit(Ring *ring, uint32_t frames);
/* Consumer side. */
uint32_t ring_read_available(const Ring *ring);
uint32_t ring_read_spans(const Ring *ring, uint32_t frames, RingSpan spans[2]);
void ring_read_commit(Ring *ring, uint32_t frames);
/* Drops everything before `pos` (never beyond what was written). */
void ring_read_skip_to(Ring *ring, uint64_t pos);

/* ---- decoder ---------------------------------------------------------- */

/* Where a stream's bytes come from; kept for the stream's whole life so an
   ended stream can be opened again. */
struct Source {
    bool in_memory = false;
    std::string path; /* bytes, never transcoded */
    std::shared_ptr<const std::vector<uint8_t>> memory;
    uint64_t offset = 0;
    uint64_t length = 0; /* 0 = to the end */
};

struct Decoder; /* FFmpeg state, private to decoder.cpp */
struct DecoderDeleter {
    void operator()(Decoder *d) const;
};
using DecoderPtr = std::unique_ptr<Decoder, DecoderDeleter>;

enum class DecodeResult { kFull, kEnded };

/* Opens and probes; returns a SONA_ error code (SONA_OK on success).  In
   libsona.so, SONA_ERROR_UNKNOWN also when the module cannot be loaded. */
int32_t decoder_open(const Source &src, uint32_t out_rate, DecoderPtr *out);
uint32_t decoder_source_rate(const Decoder *d);
/* kPairSlots when the source plays on the front pair alone, else
   kRingSlots: the layout its ring is made for. */
uint32_t decoder_ring_slots(const Decoder *d);
/* Plays the source as if its rate were play_rate_hz (0 = its own). */
void decoder_set_play_rate(Decoder *d, uint32_t play_rate_hz);
/* Back to the first frame; false if the source cannot seek (the caller then
   reopens it). */
bool decoder_rewind(Decoder *d);
/* Decodes into the ring until it is full (kFull) or the data ends (kEnded). */
DecodeResult decoder_fill(Decoder *d, Ring *ring);

/* The decoder as libsona-ffmpeg.so hands it to libsona.so.  FFmpeg pulls in
   some 150 shared libraries, ~40 ms of loading that a program would pay
   before its window shows; behind this table it is paid when the first
   stream opens.  Both sides are built from this header in one build, so
   the C++ types may cross; the version and size catch a module left over
   from another build. */
constexpr uint32_t kDecoderTableVersion = 2;
struct DecoderTable {
    uint32_t version;
    uint32_t size; /* sizeof(DecoderTable) */
    int32_t (*open)(const Source &src, uint32_t out_rate, Decoder **out);
    uint32_t (*source_rate)(const Decoder *d);
    uint32_t (*ring_slots)(const Decoder *d);
    void (*set_play_rate)(Decoder *d, uint32_t play_rate_hz);
    bool (*rewind)(Decoder *d);
    DecodeResult (*fill)(Decoder *d, Ring *ring);
    void (*close)(Decoder *d);
};
/* The module's one export, looked up by this name. */
#define SONA_DECODER_TABLE_SYMBOL "sona_ffmpeg_decoder_v1"
#define SONA_DECODER_MODULE_FILE "libsona-ffmpeg.so"

/* ---- sessions and voices ---------------------------------------------- */

constexpr uint64_t kNoPosition = UINT64_MAX;

/* One pass through a source, from opening to its end: decoder and ring.
   The worker decodes into it, the mixer plays from it.  Restarting a stream
   that is still in the mix rewinds its session; restarting an ended one
   makes a new session. */
struct Session {
    Source source;
    uint32_t out_rate = 0;
    DecoderPtr decoder; /* the worker's alone once the session is registered */
    Ring ring;

    /* Bit 0: ended (set once by the mixer when it has played the last frame
       and let go of the session).  Bits 1..: restart requests, counted up by
       the API thread.  One word so that "restart" and "end" cannot both win:
       each side changes it only by CAS against the value it examined. */
    std::atomic<uint32_t> control{0};
    /* The restart count the worker has carried out (it rewound and marked
       everything before discard_from as stale). */
    std::atomic<uint32_t> served_restarts{0};
    std::atomic<uint64_t> discard_from{0};
    /* Ring position just past the last frame of the data, or kNoPosition. */
    std::atomic<uint64_t> end_pos{kNoPosition};
    /* Rate to play at, 0 = the source's own; the worker applies changes. */
    std::atomic<uint32_t> play_rate_hz{0};

    /* Worker bookkeeping: busy is guarded by the pool's mutex; the rest
       belongs to whichever worker holds busy. */
    bool busy = false;
    bool decoder_done = false;
    uint32_t applied_rate_hz = 0;
    /* Two owners, each dropping its reference once: the stream (API thread)
       and the worker's list.  Whoever drops last frees. */
    std::atomic<int> refs{2};
};
void session_unref(Session *s);

/* The mixer's view of a stream.  Embedded in Stream, so its address lives
   until SONA_Free. */
struct Voice {
    /* Controls, stored by the API thread and loaded by the mixer once per
       chunk.  Relaxed is enough: each is a self-contained value that
       publishes no other memory, and a chunk seeing the old or the new
       value are both correct (the ramp takes it from there). */
    std::atomic<float> volume_gain{1.0f};
    std::atomic<int32_t> pan{64};
    std::atomic<int32_t> route_slot{-1}; /* -1: own layout on the front pair */

    /* Mixer-only state. */
    Session *session = nullptr;
    float gain_now[2 * kMixChannels] = {};    /* [0..5] per slot, [6..11] mono to speaker */
    float gain_target[2 * kMixChannels] = {}; /* what the current ramp heads for */
    float gain_step[2 * kMixChannels] = {};
    uint32_t ramp_left_frames = 0;
    bool priming = false; /* waiting for enough decoded audio to (re)start */
};

struct Stream {
    uint32_t handle = 0;
    Source source;
    Voice voice;
    Session *session = nullptr; /* the API thread's reference */
    bool handed = false;        /* session given to the mixer */
    int32_t volume = 100;
    int32_t pan = 64;
    uint32_t flags = 0;
    uint32_t play_rate_hz = 0;
};

/* ---- mixer ------------------------------------------------------------ */

struct Handoff {
    Voice *voice;
    Session *session;
};

struct Mixer {
    uint32_t rate_hz = 0;
    uint32_t out_channels = kMixChannels;
    uint32_t ramp_frames = 1;
    float fold[kMixChannels][kMixChannels] = {}; /* [out][mix] */

    /* Voices joining: API thread -> mixer. */
    std::unique_ptr<Handoff[]> queue;
    alignas(64) std::atomic<uint32_t> queue_head{0}; /* stored by the mixer */
    alignas(64) std::atomic<uint32_t> queue_tail{0}; /* stored by the API thread */

    /* Voices in the mix, and the room reserved for those on the way. */
    std::unique_ptr<Voice *[]> voices;
    uint32_t voice_count = 0; /* mixer-only */
    /* Counted up by the API thread before it queues, down by the mixer when
       a voice leaves; read by whoever decides to pause the device. */
    std::atomic<uint32_t> active{0};

    std::unique_ptr<float[]> acc; /* kMixChunkFrames * kAccStride */
};

/* Not real-time: sets up everything mixer_render will use. */
bool mixer_init(Mixer *m, uint32_t rate_hz, uint32_t out_channels);
/* Not real-time, and only while nothing can call mixer_render: the device's
   channel count, once it is known. */
void mixer_set_out_channels(Mixer *m, uint32_t out_channels);
/* API thread: queue a voice with its session.  The caller has reserved room
   by counting `active` up (mixer_reserve). */
bool mixer_reserve(Mixer *m);
void mixer_add(Mixer *m, Voice *v, Session *s);
/* Real-time: fills `frames` frames, out_channels interleaved floats each. */
void mixer_render(Mixer *m, float *out, uint32_t frames);
/* Documented fold-down coefficients for a device of `channels` speakers. */
void mixer_fold_matrix(uint32_t channels, float fold[kMixChannels][kMixChannels]);

/* ---- output ----------------------------------------------------------- */

struct Output;
struct OutputDeleter {
    void operator()(Output *o) const;
};
using OutputPtr = std::unique_ptr<Output, OutputDeleter>;

/* Sets up `mixer` for the output whose own thread (output_start) connects to
   the device (loading SDL), closes it while nothing plays and opens it
   again when something does, or when it was lost (the sound server
   restarted).  Device 1 is connected by that thread, so Init does not wait
   for it; a numbered device is found and opened first, so that a missing
   one is reported at once.  device 0 opens the silent clock.  Returns a
   SONA_ error code. */
int32_t output_open(int32_t device, uint32_t freq, Mixer *mixer, OutputPtr *out);
/* Starts the output's own thread, once everything else has its threads:
   that thread's first act is loading SDL, and while the dynamic loader is
   busy with its forty libraries no other thread can be created. */
void output_start(Output *o);
/* Runs or pauses the device; not from the mixer.  Returns at once. */
void output_set_running(Output *o, bool running);
bool output_running(const Output *o);

/* ---- worker pool ------------------------------------------------------ */

struct Engine;
struct Pool;
struct PoolDeleter {
    void operator()(Pool *p) const;
};
using PoolPtr = std::unique_ptr<Pool, PoolDeleter>;

PoolPtr pool_start(Engine *engine, unsigned threads);
/* Registers a session; the pool takes over its decoder and one reference. */
void pool_add(Pool *p, Session *s);
/* Something changed (play, restart, rate): look again now. */
void pool_kick(Pool *p);
void pool_wait_idle(Pool *p);
/* Joins the threads; the sessions stay until the pool is destroyed, which
   must wait until the mixer can no longer run. */
void pool_stop(Pool *p);

/* ---- engine and streams ----------------------------------------------- */

struct Engine {
    Mixer mixer;
    OutputPtr output; /* null for the manual (test) output */
    bool manual = false;
    std::mutex run_mutex; /* orders pause/resume decisions of API and worker */
    PoolPtr pool;

    /* Streams, API thread only.  Handle h is streams[h - first_handle]. */
    std::vector<std::unique_ptr<Stream>> streams;
    uint32_t first_handle = 0;
};

/* Pauses the device when the mix has no voice, runs it when it has.  Any
   non-real-time thread. */
void engine_update_running(Engine *e);

/* The next handle to hand out; counts on across SONA_Free/SONA_Init so a
   handle never names two streams.  0 when the 32-bit space is used up. */
uint32_t streams_next_handle(Engine *e);
Stream *streams_add(Engine *e, std::unique_ptr<Stream> s);
/* The one check every call makes: initialised? a live handle? */
Stream *streams_lookup(Engine *e, uint32_t handle, int32_t *error);
/* A new session for `stream`, opened and registered with the pool. */
int32_t streams_open_session(Engine *e, Stream *stream);
void streams_release_all(Engine *e);

} // namespace sona

#endif /* SONA_INTERNAL_H */
