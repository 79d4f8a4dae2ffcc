/*
 * sona_internal.h - libsona's private interface between its parts.
 *
 * Parts, one file each:
 *   error.cpp    the calling thread's last error code
 *   ring.cpp     single-producer single-consumer float ring (decoder -> mixer)
 *   decoder.h    the decoder's FFmpeg state, shared by its four files
 *   decoder_open.cpp    FFmpeg behind our own descriptor: the sandboxed
 *                input, the allow-lists, opening and probing
 *   channel_map.cpp     a source layout to the gains of each ring slot
 *   decoder_fill.cpp    decode, resample and pack frames into a ring
 *   decoder_module.cpp  the table libsona-ffmpeg.so exports
 *   decoder_loader.cpp  libsona.so's stand-in for the four above: loads
 *                them, as the module libsona-ffmpeg.so, when the first
 *                stream opens
 *   mix_kernels.cpp     one voice into the accumulator, and the fold to the
 *                device: the reference kernel and its fast paths
 *   mixer.cpp    the mix: voices joining and leaving, gain ramps, chunks
 *   session.cpp  a session's restart and end protocol between the API
 *                thread, the decode pool and the mixer
 *   mix_history.cpp    marks of the mix at each chunk, for an output that
 *                renders again what it wrote ahead
 *   output.cpp   the keeper: one policy over the drivers (output.h)
 *   output_pulse.cpp   libpulse, deep-buffered, rewriting on a change
 *   output_sdl.cpp     SDL2, the fallback
 *   output_silent.cpp  device 0: a clock pulling the mix
 *   worker.cpp   the decode pool that keeps every stream's ring filled
 *   streams.cpp  the handle table and stream/session lifetimes
 *   engine.cpp   the mixer, output and pool of one SONA_Init
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
 *     session has ended (session_try_end);
 *   - decoded audio arrives through the session's ring; the worker is the
 *     only producer and the mixer the only consumer;
 *   - nothing the mixer can still reach is freed: a session is freed only
 *     after it has ended (the mixer then never touches it again) or
 *     after the output has stopped for good (SONA_Free).
 * Gain ramp state belongs to the mixer alone.
 */
#ifndef SONA_INTERNAL_H
#define SONA_INTERNAL_H

#include "sona.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

/* Test entries: compiled into sona_core, hidden from libsona.so's exports. */
extern "C" {
/* Like SONA_Init, but opens no device and runs no clock: the mix advances
   only through sona_render.  out_channels is a count fold_for_channels
   takes (6, 4, 2 or 1). */
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
/* The manual output as one that writes ahead drives the mix: with a
   history, rendered again from a position on (returning where it went
   back to, or UINT64_MAX), and told what has been heard. */
SONA_BOOL sona_manual_keep_history(void);
uint64_t sona_manual_rewind(uint64_t position);
void sona_manual_retire(uint64_t position);
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

/* Sizes.  A ring holds ~186 ms at 44.1 kHz (a two-slot ring, four times
   narrower, twice that): enough to ride out a busy worker, and the longer
   it lasts the fewer times a worker wakes to top it up; small enough that
   memory per stream stays far below 1 MiB. */
constexpr uint32_t kRingFrames = 8192;
constexpr uint32_t kPairRingFrames = 2 * kRingFrames;
/* For an output that writes ahead, a ring also holds what was written and
   not yet heard, which the mix may render again: a second's frames,
   rounded up to a power of two, of which the history reaches back three
   quarters of a second. */
constexpr uint32_t writes_ahead_ring_frames(uint32_t rate_hz)
{
    uint32_t frames = kPairRingFrames;
    while (frames < rate_hz)
        frames *= 2;
    return frames;
}
inline uint32_t history_reach_frames(uint32_t rate_hz)
{
    return rate_hz * 3 / 4;
}
/* sona.h states these as the most a playing stream's rate change waits. */
static_assert(kPairRingFrames == 16384 && kRingFrames == 8192,
              "SONA_ChannelSetAttributes' rate-change delay in sona.h");
static_assert(writes_ahead_ring_frames(44100) == 65536,
              "SONA_ChannelSetAttributes' rate-change delay through the pulse output in sona.h");
inline uint32_t ring_frames_for(uint32_t slots, uint32_t rate_hz, bool writes_ahead)
{
    if (writes_ahead)
        return writes_ahead_ring_frames(rate_hz);
    return slots == kPairSlots ? kPairRingFrames : kRingFrames;
}
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

/* ---- error ------------------------------------------------------------ */

void error_set(int32_t code);
int32_t error_get();

/* ---- ring ------------------------------------------------------------- */

/* Frames of `slots` floats.  Positions are 64-bit frame counters that never
   wrap in practice, so "how much is there" is a plain subtraction.  The
   consumer may read a stretch again: what it has read stays until it lets
   go of it (keep_pos), and only then may the producer write over it. */
struct Ring {
    std::unique_ptr<float[]> data;
    uint32_t capacity_frames = 0; /* a power of two */
    uint32_t slots = 0;
    alignas(kCacheLine) std::atomic<uint64_t> write_pos{0}; /* stored by the producer only */
    alignas(kCacheLine) std::atomic<uint64_t> read_pos{0};  /* stored by the consumer only */
    std::atomic<uint64_t> keep_pos{0};                      /* stored by the consumer only */
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
/* Reads again from `pos`, which must not be before what was let go. */
void ring_read_rewind(Ring *ring, uint64_t pos);
/* Lets the producer write over everything before `pos` (never beyond what
   was read). */
void ring_let_go(Ring *ring, uint64_t pos);

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

struct Decoder; /* FFmpeg state, private to the decoder's files */
struct DecoderDeleter {
    void operator()(Decoder *d) const;
};
using DecoderPtr = std::unique_ptr<Decoder, DecoderDeleter>;

enum class DecodeResult { kFull, kEnded };

/* Opens and probes; returns a SONA_ error code (SONA_OK on success).  In
   libsona.so, SONA_ERROR_UNKNOWN also when the module cannot be loaded. */
int32_t decoder_open(const Source &src, uint32_t out_rate, DecoderPtr *out);
/* Loads the decoder module ahead of the first decoder_open, which then
   does not wait for FFmpeg to load.  Blocks for as long as that takes. */
void decoder_preload();
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

/* The decoder as libsona-ffmpeg.so hands it to libsona.so, so that FFmpeg
   is loaded when the first stream opens rather than with libsona.so.  Both
   sides are built from this header in one build, so the C++ types may
   cross; the version and size catch a module left over from another
   build. */
constexpr uint32_t kDecoderTableVersion = 3;
struct DecoderTable {
    uint32_t version;
    uint32_t size; /* sizeof(DecoderTable) */
    int32_t (*open)(const Source &src, uint32_t out_rate, Decoder **out);
    uint32_t (*ring_slots)(const Decoder *d);
    void (*set_play_rate)(Decoder *d, uint32_t play_rate_hz);
    bool (*rewind)(Decoder *d);
    DecodeResult (*fill)(Decoder *d, Ring *ring);
    void (*close)(Decoder *d);
};
/* The module's one export.  It carries no version: the table does. */
#define SONA_DECODER_TABLE_ENTRY sona_ffmpeg_decoder_table
#define SONA_STRINGIFY(x) SONA_STRINGIFY_(x)
#define SONA_STRINGIFY_(x) #x
#define SONA_DECODER_TABLE_SYMBOL SONA_STRINGIFY(SONA_DECODER_TABLE_ENTRY)
#define SONA_DECODER_MODULE_FILE "libsona-ffmpeg.so"

/* ---- sessions: one pass through a source (session.cpp) --------------- */

constexpr uint64_t kNoPosition = UINT64_MAX;

/* From opening to its end: decoder and ring.  The worker decodes into it,
   the mixer plays from it.  Restarting a stream that is still in the mix
   rewinds its session; restarting an ended one makes a new session.  The
   first four atomics below are the restart and end protocol between three
   threads; only session.cpp touches them, through the named operations
   that follow. */
struct Session {
    Source source;
    uint32_t out_rate = 0;
    DecoderPtr decoder; /* the worker's alone once the session is registered */
    Ring ring;

    /* Bit 0: ended.  Bits 1..: restart requests, counted up. */
    std::atomic<uint32_t> control{0};
    /* The restart count the worker has carried out. */
    std::atomic<uint32_t> served_restarts{0};
    /* Ring position where the latest served restart's data begins. */
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

/* Any thread, not real-time: opens the source and makes a session for it,
   its ring sized for the decoder's layout.  Returns a SONA_ error code. */
int32_t session_open(const Source &src, uint32_t out_rate, uint32_t play_rate_hz,
                     bool writes_ahead, Session **out);
void session_unref(Session *s);

/* API thread.  Asks the session to start again from the beginning; false
   when the mixer has already ended it (then it stays ended). */
bool session_restart(Session *s);
/* Whether the mixer has ended the session and let go of it.  Also the
   worker's cue to release it. */
bool session_ended(const Session *s);

/* Decode pool, holding the session.  Whether a restart is still to be
   served, and the count to serve. */
bool session_restart_asked(const Session *s, uint32_t *restarts);
/* The restart counted `restarts` is done: the new pass starts at the
   ring's write position, and has already ended if `data_ended`. */
void session_restart_served(Session *s, uint32_t restarts, bool data_ended);
/* Every frame of the pass is in the ring. */
void session_data_ended(Session *s);

/* Mixer, real-time. */
struct Staleness {
    bool restart_pending; /* asked, not yet served: all of the ring is stale */
    uint64_t discard_from; /* the ring before this is stale */
};
Staleness session_staleness(const Session *s);
/* Whether the ring already holds every frame of the pass. */
bool session_data_complete(const Session *s);
/* Whether the ring, run dry, has played the pass to its end, with no
   restart asked since. */
bool session_played_out(const Session *s);
/* Ends the session if it has played out and no restart came meanwhile.
   True if it ended; the mixer must then not touch it again. */
bool session_try_end(Session *s);

/* ---- voices and their kernels (mix_kernels.cpp) ---------------------- */

/* A voice's gains: [0..5] its own layout to each mix slot, [6..11] its mono
   downmix to each speaker (one of them nonzero when it is routed). */
constexpr int kGains = 2 * kMixChannels;

/* Where the gains are and where they head.  Mixer-only; plain data, so an
   output that renders again from an earlier point can save and restore it
   together with the ring's read position. */
struct GainRamp {
    float now[kGains] = {};
    float target[kGains] = {}; /* what the current ramp heads for */
    float step[kGains] = {};
    uint32_t left_frames = 0;  /* 0: steady at now */
};

/* How the mix reaches the device: [out][mix] gains, then clamped to full
   scale. */
struct Fold {
    uint32_t channels = kMixChannels;
    float gain[kMixChannels][kMixChannels] = {};
};

/* Fills `fold` for a device of `channels` speakers: the ITU-R BS.775
   coefficients, scaled so that full scale on every mix channel stays
   within full scale.  False for a count the mix has no fold for: its cases
   are the one list of the device channel counts libsona supports. */
bool fold_for_channels(uint32_t channels, Fold *fold);

/* The reference kernel: adds `frames` frames of a ring of `slots` (2 or 8)
   floats a frame into the accumulator (kAccStride a frame) through the
   gains, ramping them frame by frame.  Plainly correct rather than fast;
   every fast path must give what it gives. */
void mix_reference(GainRamp *g, float *acc, const float *in, uint32_t slots, uint32_t frames);
/* Fast path, the usual voice among many: a front-pair ring, steady gains,
   not routed. */
bool mix_pair_steady_fits(const GainRamp *g, uint32_t slots);
void mix_pair_steady(const GainRamp *g, float *acc, const float *in, uint32_t frames);
/* Fast path, the usual voice alone: as above, written straight to a device
   whose fold keeps the front pair apart, through the fold and the clamp,
   with no accumulator.  Frames past the spans are silence. */
bool mix_lone_pair_fits(const GainRamp *g, uint32_t slots, const Fold &fold);
void mix_lone_pair(const GainRamp *g, const Fold &fold, const RingSpan spans[2], float *out,
                   uint32_t frames);
/* The accumulator to the device: folded, clamped to full scale. */
void fold_out(const Fold &fold, const float *acc, float *out, uint32_t frames);

/* ---- mixer ------------------------------------------------------------ */

/* The mixer's view of a stream.  Embedded in Stream, so its address lives
   until SONA_Free. */
struct Voice {
    /* Controls, stored by the API thread and loaded by the mixer once per
       chunk.  Relaxed is enough: each is a self-contained value that
       publishes no other memory, and a chunk seeing the old or the new
       value are both correct (the ramp takes it from there). */
    std::atomic<float> volume_gain{1.0f};
    std::atomic<int32_t> pan{kPanCentre};
    std::atomic<int32_t> route_slot{-1}; /* -1: own layout on the front pair */

    /* Mixer-only. */
    Session *session = nullptr;
    GainRamp gains;
    bool priming = false; /* waiting for enough decoded audio to (re)start */
    uint64_t joined_at = 0;       /* output position where it (re)joined the mix */
    uint64_t joined_read_pos = 0; /* its ring's read position then */
    uint32_t mark_stamp = 0;      /* the history's, while it restores a mark */
};

struct Handoff {
    Voice *voice;
    Session *session;
};

/* Told, on the API thread, that something to be heard has changed (a voice
   was queued, a control moved): the output, which then looks at
   mixer_has_voices and, when it writes ahead, writes again.  Never called
   from mixer_render. */
struct MixerListener {
    void (*changed)(void *context) = nullptr;
    void *context = nullptr;
};

/* What a voice was at a chunk's start, so that the mix can be rendered
   again from there. */
struct VoiceMark {
    Voice *voice;
    Session *session;
    uint64_t read_pos;
    GainRamp gains;
    bool priming;
};
/* The mix at a chunk's start: its output position and its voices' marks,
   which lie in the history's arena from `first` on. */
struct MixMark {
    uint64_t position;
    uint32_t first;
    uint32_t count;
};
/* A voice that played to its end at `position` and left the mix; its
   session ends for good once the output has played that far. */
struct Ending {
    Voice *voice;
    Session *session;
    uint64_t position;
};
/* For an output that writes ahead of what is heard: the marks of every
   chunk not yet heard, oldest first, in two rings, and the endings not yet
   heard.  Sized when the output opens; the mixer's alone after that. */
struct MixHistory {
    std::unique_ptr<MixMark[]> marks;
    uint32_t mark_capacity = 0, mark_first = 0, mark_count = 0;
    std::unique_ptr<VoiceMark[]> arena;
    uint32_t arena_capacity = 0, arena_first = 0, arena_used = 0;
    std::unique_ptr<Ending[]> endings;
    uint32_t ending_count = 0;
    std::unique_ptr<Ending[]> later; /* scratch for a rewind */
    uint32_t stamp = 0;
};

struct Mixer {
    uint32_t rate_hz = 0;
    uint32_t ramp_frames = 1;
    Fold fold;
    MixerListener listener;
    /* Counted up by the API thread at each change the listener hears of. */
    std::atomic<uint32_t> changes{0};
    /* Set by the mixer when a voice waited for decoded audio: an output
       that writes ahead writes again once it is there.  Cleared by it. */
    std::atomic<bool> starved{false};
    /* Set by the output: it writes ahead, so new rings must hold what was
       written and not yet heard as well. */
    std::atomic<bool> writes_ahead{false};

    /* Mixer-only: the output position of the next frame, and the history
       that lets it go back (empty for an output that plays at once). */
    uint64_t position = 0;
    MixHistory history;

    /* Voices joining: API thread -> mixer. */
    std::unique_ptr<Handoff[]> queue;
    alignas(kCacheLine) std::atomic<uint32_t> queue_head{0}; /* stored by the mixer */
    alignas(kCacheLine) std::atomic<uint32_t> queue_tail{0}; /* stored by the API thread */

    /* Voices in the mix, and the room reserved for those on the way. */
    std::unique_ptr<Voice *[]> voices;
    uint32_t voice_count = 0; /* mixer-only */
    /* Counted up by the API thread before it queues, down by the mixer when
       a voice leaves; read by whoever decides to pause the device. */
    std::atomic<uint32_t> active{0};

    std::unique_ptr<float[]> acc; /* kMixChunkFrames * kAccStride */
};

/* Not real-time: sets up everything mixer_render will use.  False for a
   channel count without a fold, or out of memory. */
bool mixer_init(Mixer *m, uint32_t rate_hz, uint32_t out_channels);
/* Not real-time, and only while nothing can call mixer_render: the device's
   channel count, once it is known. */
void mixer_set_out_channels(Mixer *m, uint32_t out_channels);
uint32_t mixer_out_channels(const Mixer *m);
/* API thread: queue a voice with its session, after reserving room by
   counting `active` up (mixer_reserve); then tells the listener. */
bool mixer_reserve(Mixer *m);
void mixer_add(Mixer *m, Voice *v, Session *s);
/* API thread: a control that is heard has changed; tells the listener. */
void mixer_changed(Mixer *m);
/* Any thread: whether a voice is in the mix or on its way. */
bool mixer_has_voices(const Mixer *m);
/* Real-time: fills `frames` frames, out_channels interleaved floats each. */
void mixer_render(Mixer *m, float *out, uint32_t frames);

/* For an output that writes ahead of what is heard and writes again over
   it (mix_history.cpp).  Not real-time, before anything renders: keeps
   enough to render again anything up to `reach_frames` old.  False when
   out of memory. */
bool mixer_keep_history(Mixer *m, uint32_t reach_frames);
bool mixer_keeps_history(const Mixer *m);
/* The same, while nothing renders: back to rendering for an output that
   plays at once; every ending so far is final. */
void mixer_forget_history(Mixer *m);
/* On the rendering thread, between renders.  Goes back to the first chunk
   start at or after `position` that the history holds, every voice as it
   was there, gains and ring positions included, so that what is rendered
   next follows on what was heard.  Returns that position, or kNoPosition
   when the history holds none (the next render then goes on). */
uint64_t mixer_rewind(Mixer *m, uint64_t position);
/* On the rendering thread: everything before `position` has been heard, so
   it will not be rendered again: its marks go, the rings may be written
   over, and voices that ended before it are ended for good. */
void mixer_retire(Mixer *m, uint64_t position);
/* mixer.cpp's own, for mix_history.cpp: a voice that played to its end.
   With no history it leaves at once; with one, when that is heard. */
void history_record(Mixer *m);
void history_end_voice(Mixer *m, Voice *v, uint64_t chunk_end);

/* ---- output ----------------------------------------------------------- */

struct Output;
struct OutputDeleter {
    void operator()(Output *o) const;
};
using OutputPtr = std::unique_ptr<Output, OutputDeleter>;

/* An output pulls frames from `mixer` on a thread of its own and runs while
   the mixer has voices: it listens for voices being queued and, while it
   runs, looks at mixer_has_voices to pause.  device 0 is the silent clock;
   device 1 is connected by the output's thread (output_start), so Init
   does not wait for SDL or the sound server; a numbered device is found
   and opened here, so that a missing one is reported at once.  The mixer
   is already set up; the output sets its channel count once the device's
   is known.  Returns a SONA_ error code. */
int32_t output_open(int32_t device, Mixer *mixer, OutputPtr *out);
/* Starts the output's own thread, once everything else has its threads:
   that thread's first act is loading SDL, and while the dynamic loader is
   busy with its libraries no other thread can be created. */
void output_start(Output *o);
/* Whether the output is running rather than paused. */
bool output_running(Output *o);

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

/* ---- engine (engine.cpp) and streams (streams.cpp) -------------------- */

struct Stream {
    uint32_t handle = 0;
    Source source;
    Voice voice;
    Session *session = nullptr; /* the API thread's reference */
    bool handed = false;        /* session given to the mixer */
    int32_t volume = kVolumeFull;
    int32_t pan = kPanCentre;
    uint32_t play_rate_hz = 0;
};

/* What one SONA_Init brings up, and SONA_Free takes down. */
struct Engine {
    Mixer mixer;
    OutputPtr output; /* null for the manual (test) output */
    bool manual = false;
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
Stream *streams_add(Engine *e, std::unique_ptr<Stream> s);
/* The one check every call makes: initialised? a live handle? */
Stream *streams_lookup(Engine *e, uint32_t handle, int32_t *error);
/* A new session for `stream`, opened and registered with the pool. */
int32_t streams_open_session(Engine *e, Stream *stream);
void streams_release_all(Engine *e);

} // namespace sona

#endif /* SONA_INTERNAL_H */
