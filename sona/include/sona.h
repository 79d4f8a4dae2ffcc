/*
 * sona.h - the public interface of libsona, a small audio library.
 *
 * libsona plays audio files of any common format (decoded by FFmpeg) on a
 * 5.1 mix that goes to the system's sound server (PipeWire or PulseAudio,
 * else whatever SDL2 reaches; see SONA_Init).  Each stream
 * can be sent to one speaker of the 5.1 set, have its volume and balance
 * changed, be paused, sought and started again; every change is ramped so
 * nothing clicks.  A stream tells its state, the frame heard, its length
 * and its tags, and an event descriptor tells when one ends.
 *
 * Conventions for every call below:
 *   - Results: SONA_BOOL calls return nonzero on success and 0 (FALSE) on
 *     failure; SONA_StreamCreateFile returns 0 on failure.  After any call,
 *     SONA_ErrorGetCode() tells the calling thread why the last call failed,
 *     or SONA_OK when it succeeded.
 *   - Nothing here prints, aborts or raises: bad input is an error code.
 *   - What the process shares stays the program's: FFmpeg's log level, log
 *     callback and allocation limit, SDL's hints (but for those named
 *     under SONA_Init, while SDL reads them) and dlerror().  The library's
 *     own FFmpeg contexts log below any level a program can show.
 *   - Every call is harmless before SONA_Init, after SONA_Free, and on
 *     handle 0, a stale or a forged handle (FALSE with SONA_ERROR_INIT or
 *     SONA_ERROR_HANDLE).
 *   - Waiting: every call returns at once but these four, which may wait:
 *       SONA_Init with a numbered device (n >= 2), while the library
 *         finds and opens it: as long as the sound server takes to answer
 *         (at most a second for each way to it that is tried);
 *       SONA_StreamCreateFile, which opens and probes the data: its reads
 *         stop after 5 s on a slow or hostile file; the first creation
 *         also loads FFmpeg;
 *       SONA_ChannelPlay on a stream that played to its end, which opens
 *         and probes its file again, as creation does;
 *       SONA_Free, which waits for each decode thread to finish the file
 *         it is reading (its reads stop after 5 s) and for the output to
 *         close its device, which the sound server may hold up for
 *         seconds.
 *   - Lifetime: a stream's record (its handle, settings and source, and
 *     for a stream made from memory the copy of those bytes) lasts until
 *     SONA_Free; no call frees one stream.  What a stream plays with (its
 *     decoder, open file and buffers) is given back when it ends.
 *   - Thread safety: the calls may be made from any thread, but from one
 *     thread at a time; the library serialises nothing for its caller.
 *   - Integers are 32 bits wide, booleans are SONA_BOOL, and a stream is
 *     named by a SONA_HSTREAM that is never 0 and never equal to the handle
 *     of an earlier stream.
 */
#ifndef SONA_H
#define SONA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(SONA_BUILDING_LIBRARY)
#define SONA_API __attribute__((visibility("default")))
#else
#define SONA_API
#endif

typedef int32_t SONA_BOOL;     /* 0 is false, anything else true */
typedef uint32_t SONA_HSTREAM; /* 0 names no stream */

#define SONA_FALSE 0
#define SONA_TRUE 1

/* Error codes, as SONA_ErrorGetCode reports them. */
enum {
    SONA_OK = 0,            /* the last call succeeded */
    SONA_ERROR_INIT = 1,    /* SONA_Init has not succeeded, or SONA_Free ran */
    SONA_ERROR_ALREADY = 2, /* SONA_Init was called twice without SONA_Free */
    SONA_ERROR_DEVICE = 3,  /* no such output device, or it cannot be opened */
    SONA_ERROR_HANDLE = 4,  /* the handle names no live stream */
    SONA_ERROR_FILEOPEN = 5, /* the file is missing, unreadable or not a regular file */
    SONA_ERROR_FORMAT = 6,  /* the data holds no audio that can be decoded */
    SONA_ERROR_PARAM = 7,   /* an argument is out of its range */
    SONA_ERROR_MEMORY = 8,  /* out of memory */
    SONA_ERROR_UNKNOWN = 9  /* anything else */
};

/*
 * Speaker words for SONA_ChannelSetFlags, these five and no others.  Bits
 * 28..31 name the side (1 left or middle, 2 right), bits 24..27 the row
 * (1 front, 2 rear, 3 centre); the low 24 bits are 0.
 */
#define SONA_SPEAKER_FRONTLEFT 0x11000000u
#define SONA_SPEAKER_FRONTRIGHT 0x21000000u
#define SONA_SPEAKER_REARLEFT 0x12000000u
#define SONA_SPEAKER_REARRIGHT 0x22000000u
#define SONA_SPEAKER_CENTER 0x13000000u

/*
 * SONA_Init - open the sound output.
 *
 * device: 0 = no sound (the mixer still runs in real time, nothing is
 *         heard); 1 = the system's default output; n >= 2 = the n-th entry,
 *         counting from 1, of the system's list of output devices (the
 *         sound server's sinks in the order `pactl list sinks` shows).
 * freq:   the output rate in Hz, 8000..192000 (44100 is usual).
 * flags:  none are defined yet; must be 0.
 * win:    a window handle on other systems; ignored.
 * clsid:  a device class on other systems; ignored, may be NULL.
 *
 * The output is 5.1; on a device with fewer speakers the library folds the
 * mix down itself (ITU-R BS.775 coefficients) rather than leaving it to the
 * sound server.  Moved to another device by the desktop (by the user in its
 * sound settings, or with a new default), the pipewire and pulse outputs
 * below follow within a second, folded for that device, and stay there.
 * The device is closed while nothing is audible and opened again when
 * something is.
 *
 * The default output (device 1) is connected on the library's own thread:
 * Init returns without waiting for the sound server.  If there is no
 * sound server or device yet, streams that play wait where they are until
 * one appears.  The same happens when the sound server goes away while
 * playing: the library reconnects by itself, trying four times a second,
 * and the streams go on.  A numbered device (n >= 2) is looked up before
 * Init returns.
 *
 * The ways to the sound server, tried in this order, each loaded only when
 * it is first tried, so that a system without one still runs:
 *   pipewire  libpipewire-0.3, where a PipeWire server runs (as on Debian
 *          12's desktops).  The server calls the library once a graph
 *          cycle (1024 frames) and the mix for that cycle is made then, so
 *          a change is heard within about two cycles;
 *   pulse  libpulse, to PulseAudio or to PipeWire's pipewire-pulse.  The
 *          server holds a deep buffer (400 ms; 212 ms through PipeWire) and
 *          the library wakes a few times a second to top it up; whatever
 *          changes what is heard is mixed again from just past what the
 *          server plays and written over what it holds, so a change is
 *          heard within tens of milliseconds all the same;
 *   sdl    SDL2, for a system whose sound reaches no server the above
 *          speak to: tried only when none of them can be loaded, or none
 *          has answered for two seconds since the first failed to.  While
 *          SDL plays, the others are asked twice a second; within two
 *          seconds of one answering again the library goes back to it,
 *          and the streams go on from where SDL left them.  While SDL's
 *          audio starts and a device opens, the library sets those of
 *          SDL's hints that the program has not: SDL_HINT_APP_NAME and
 *          SDL_HINT_AUDIO_DEVICE_APP_NAME to the program's name,
 *          SDL_HINT_AUDIO_DEVICE_STREAM_NAME to "Playback",
 *          SDL_HINT_AUDIO_DEVICE_STREAM_ROLE to "Music", and
 *          SDL_HINT_NO_SIGNAL_HANDLERS to "1", so that SDL takes none of the
 *          program's signals; then it clears them again.
 * The environment variable SONA_OUTPUT names one of them to use alone, in
 * any case: pipewire, pulse (or pulseaudio), sdl.  Unset or empty, they are
 * tried in that order; any other value makes Init fail with
 * SONA_ERROR_PARAM, whatever the device.  Device 0 needs none: a clock of
 * the library's own pulls the mix.
 *
 * Returns TRUE, or FALSE with SONA_ERROR_ALREADY (a second Init without
 * Free), SONA_ERROR_PARAM (bad freq or flags, or SONA_OUTPUT names no
 * output above), SONA_ERROR_DEVICE (no such numbered device, or it could
 * not be opened) or SONA_ERROR_MEMORY.  A failed Init leaves nothing open.
 */
SONA_API SONA_BOOL SONA_Init(int32_t device, uint32_t freq, uint32_t flags, uint32_t win,
                             const void *clsid);

/*
 * SONA_StreamCreateFile - open a file (or a block of memory) as a stream.
 *
 * mem:    FALSE: file is a NUL-terminated path, taken as bytes and never
 *         transcoded.  TRUE: file points at `length` bytes of encoded audio,
 *         which are copied; the caller may free them on return.  The
 *         copy lasts as long as the stream's record, until SONA_Free.
 * offset: with a path, the first byte of the file that belongs to the audio;
 *         with memory, must be 0.
 * length: with a path, the number of bytes from offset (0 = to the end);
 *         with memory, the size of the block (must not be 0).
 * flags:  none are defined yet; must be 0.
 *
 * The first audio stream of the data is decoded, resampled to the output
 * rate and played on the front pair in its own layout (see SetFlags).  Only
 * regular files are opened; a FIFO, socket, directory or device is refused
 * at once.  The data may never name another file or a network address: the
 * library reads the one file it opened and nothing else.  The new stream is
 * stopped, at volume 100 and pan 64, until SONA_ChannelPlay; it keeps its
 * file open until it has played to its end.
 *
 * The decoder, and FFmpeg with it, is not loaded by SONA_Init, so that a
 * program can open its output before its window shows without waiting
 * for FFmpeg's libraries.  With a sound output (device >= 1) the library
 * loads it on its own thread a second after the output first connects, so
 * that the first creation does not wait either (an idle program holds
 * some 19 MiB more for it); with device 0, or sooner, the first creation
 * loads it.  It is the module libsona-ffmpeg.so, which must sit in the
 * same directory as libsona.so.  When it is missing or cannot be
 * loaded, creation fails with SONA_ERROR_UNKNOWN and nothing else changes;
 * each later creation tries to load it again.
 *
 * Returns the new stream's handle, or 0 with SONA_ERROR_INIT,
 * SONA_ERROR_PARAM (NULL file, bad flags, a window past the end),
 * SONA_ERROR_FILEOPEN, SONA_ERROR_FORMAT, SONA_ERROR_MEMORY or
 * SONA_ERROR_UNKNOWN (the decoder module could not be loaded).
 */
SONA_API SONA_HSTREAM SONA_StreamCreateFile(SONA_BOOL mem, const void *file, uint32_t offset,
                                            uint32_t length, uint32_t flags);

/*
 * SONA_ChannelPlay - start or resume a stream.
 *
 * restart: FALSE resumes where the stream stopped (a stream that played to
 *          its end starts again from the beginning); TRUE always starts from
 *          the beginning.
 *
 * A stream that reaches its end stops by itself and gives back its decoder
 * and file; it keeps its handle, settings and routing and can be played
 * again, which opens and probes its file anew (see Waiting above).
 *
 * Returns TRUE, or FALSE with SONA_ERROR_INIT, SONA_ERROR_HANDLE,
 * SONA_ERROR_FILEOPEN / SONA_ERROR_FORMAT when an ended stream's file can no
 * longer be read, or SONA_ERROR_MEMORY when 1024 streams already sound.
 */
SONA_API SONA_BOOL SONA_ChannelPlay(uint32_t handle, SONA_BOOL restart);

/*
 * SONA_ChannelSetFlags - send a stream to one speaker, or back to the front.
 *
 * flags: one of the SONA_SPEAKER_ words: the stream is mixed down to mono
 *        and plays on that speaker alone.  0: the stream's own layout on the
 *        front pair, as before any routing (a 5.1 source keeps its centre,
 *        LFE and rear channels).  Any other value fails and changes nothing.
 *
 * Returns TRUE, or FALSE with SONA_ERROR_INIT, SONA_ERROR_HANDLE or
 * SONA_ERROR_PARAM.
 */
SONA_API SONA_BOOL SONA_ChannelSetFlags(uint32_t handle, uint32_t flags);

/*
 * SONA_ChannelSetAttributes - set a stream's rate, volume and balance.
 *
 * freq:   0 = the stream's own rate; 100..192000 = play at that rate (pitch
 *         and speed change together); -1 = leave as it is.  A stream not
 *         yet started plays at the new rate from its first frame; a playing
 *         one changes once what it has already decoded has played: at most
 *         16384 frames at the output rate for a mono or stereo source,
 *         8192 for a wider one (0.37 s and 0.19 s at 44100 Hz); through
 *         the pulse output, which keeps more decoded ahead, at most the
 *         smallest power of two at or above the rate (65536 frames, 1.5 s,
 *         at 44100 Hz).
 * volume: 0..100 on the perceptual curve of desktop mixers, gain =
 *         (volume/100)^3: 0 is silent, 100 is unity and nothing is louder;
 *         -1 = leave.
 * pan:    0..128, the balance between the front pair: 0 = left only, 64 =
 *         both sides at unity, 128 = right only; -1 = leave.  It has no
 *         effect while the stream is sent to one speaker.
 *
 * All values are checked before any is applied: one out of range fails the
 * call with SONA_ERROR_PARAM and changes nothing.  Changes are ramped over
 * about 5 ms; setting a value the stream already has changes nothing.
 *
 * Returns TRUE, or FALSE with SONA_ERROR_INIT, SONA_ERROR_HANDLE or
 * SONA_ERROR_PARAM.
 */
SONA_API SONA_BOOL SONA_ChannelSetAttributes(uint32_t handle, int32_t freq, int32_t volume,
                                             int32_t pan);

/*
 * SONA_Free - close the output and release every stream and thread.
 *
 * Every handle given out before is stale from then on, and every stream's
 * record is freed.  SONA_Init may be called again afterwards.  May wait
 * (see Waiting above).
 *
 * Returns TRUE, or FALSE with SONA_ERROR_INIT when there was nothing to
 * free (a second Free, or Free before Init), which does no harm.
 */
SONA_API SONA_BOOL SONA_Free(void);

/*
 * SONA_ErrorGetCode - why the calling thread's last call failed.
 *
 * Returns one of the SONA_OK / SONA_ERROR_ codes.  May be called at any
 * time, from any thread; it reports that thread's own last call.
 */
SONA_API int32_t SONA_ErrorGetCode(void);

/*
 * SONA_ErrorGetText - a code in words.
 *
 * Returns a static English sentence for each SONA_OK / SONA_ERROR_ code
 * (for SONA_ERROR_FORMAT, "the file holds no audio that can be decoded"),
 * and "unknown error" for any other number.  The text is never freed and
 * never changes.  Sets no error; may be called at any time, from any
 * thread, before Init and after Free.
 */
SONA_API const char *SONA_ErrorGetText(int32_t code);

/* A stream's state, as SONA_ChannelGetState and SONA_EventNext give it. */
enum {
    SONA_STATE_STOPPED = 0, /* never played, played to its end, or the library was freed */
    SONA_STATE_PLAYING = 1,
    SONA_STATE_PAUSED = 2,
    SONA_STATE_WAITING = 3  /* playing, but starved of decoded audio or
                               waiting for a sound server */
};

/*
 * SONA_ChannelPause - hold a playing stream where it is.
 *
 * The stream ramps out, as every change is ramped, and keeps its place;
 * the silence is heard within 50 ms, whatever the server already holds.
 * SONA_ChannelPlay(handle, FALSE) resumes from the frame where it paused,
 * ramped in; SONA_ChannelPlay(handle, TRUE) starts it from the beginning.
 * A stream that is not playing (stopped or already paused) is left as it
 * is.  While nothing is audible, the output closes after its idle time,
 * as when nothing plays.
 *
 * Returns TRUE, or FALSE with SONA_ERROR_INIT or SONA_ERROR_HANDLE.
 * Returns at once.
 */
SONA_API SONA_BOOL SONA_ChannelPause(SONA_HSTREAM handle);

/*
 * SONA_ChannelGetState - whether a stream plays.
 *
 * Returns SONA_STATE_STOPPED, _PLAYING, _PAUSED or _WAITING, or -1 with
 * SONA_ERROR_INIT or SONA_ERROR_HANDLE.  Returns at once.
 */
SONA_API int32_t SONA_ChannelGetState(SONA_HSTREAM handle);

/*
 * SONA_ChannelGetPosition - the frame of the stream being heard now.
 *
 * Frames are counted at the output rate given to SONA_Init from the
 * stream's first frame, at the rate it plays at.  The position is what
 * leaves the speakers now, as the sound server tells it (not what was
 * decoded or mixed ahead of it).  A paused or stopped stream reads where
 * it rests: where it paused, where a seek put it, 0 before it first
 * played, and its length once it has played to its end.
 *
 * Returns the frame, or -1 with SONA_ERROR_INIT or SONA_ERROR_HANDLE.
 * Returns at once.
 */
SONA_API int64_t SONA_ChannelGetPosition(SONA_HSTREAM handle);

/*
 * SONA_ChannelGetLength - how long a stream is, in frames at the output
 * rate.
 *
 * The duration the container states, else what decoding found; for a
 * window of a file (SONA_StreamCreateFile's offset and length), that of
 * the window.  A stream played at another rate (SetAttributes' freq) is
 * longer or shorter to match.
 *
 * Returns the length, or -1: with SONA_OK when it is not known (yet),
 * with SONA_ERROR_INIT or SONA_ERROR_HANDLE on error.  Returns at once.
 */
SONA_API int64_t SONA_ChannelGetLength(SONA_HSTREAM handle);

/*
 * SONA_ChannelSetPosition - seek.
 *
 * frame: 0 .. the stream's length, in frames at the output rate.
 *
 * A playing stream is heard at the new place within 100 ms, ramped out
 * and in at the seam.  A paused or stopped stream moves there and starts
 * from there when played (SONA_ChannelPlay with FALSE).  The landing is
 * exact: within 5 ms of the frame asked for, in every format.
 *
 * Returns TRUE, or FALSE with SONA_ERROR_INIT, SONA_ERROR_HANDLE or
 * SONA_ERROR_PARAM (a frame below 0 or past the end), which changes
 * nothing.  Returns at once: the decoder seeks on its own thread.
 */
SONA_API SONA_BOOL SONA_ChannelSetPosition(SONA_HSTREAM handle, int64_t frame);

/*
 * SONA_ChannelGetTag - what the file says of itself.
 *
 * key:  "title", "artist", "album", "date", "genre" or "track".
 * buf:  receives the value as UTF-8 (ID3v1 and other Latin-1 text
 *       converted), cut to size - 1 bytes and always NUL-terminated when
 *       size > 0; may be NULL when size is 0.
 *
 * Tags are read from the container and the stream when the stream is
 * created: ID3v2 and ID3v1, Vorbis comments, MP4 atoms, RIFF INFO and
 * the like.
 *
 * Returns the value's full length in bytes, without the NUL, as snprintf
 * does; or -1: with SONA_OK when the file has no such tag, with
 * SONA_ERROR_PARAM for a NULL or unknown key (or a NULL buf with a size),
 * or with SONA_ERROR_INIT or SONA_ERROR_HANDLE.  Returns at once.
 */
SONA_API int32_t SONA_ChannelGetTag(SONA_HSTREAM handle, const char *key, char *buf,
                                    uint32_t size);

/*
 * SONA_EventFd - a descriptor that is readable while events wait.
 *
 * For poll(), select(), QSocketNotifier or a GSource: when it is
 * readable, take the events with SONA_EventNext until it returns FALSE.
 * Do not read, write or close it: it is the library's, valid from
 * SONA_Init until SONA_Free.  The library signals it from a thread of
 * its own; no callback of the caller's ever runs on a library thread.
 *
 * Returns the descriptor, or -1 with SONA_ERROR_INIT.  Returns at once.
 */
SONA_API int32_t SONA_EventFd(void);

/*
 * SONA_EventNext - take the oldest event.
 *
 * An event is a state a stream entered by itself: SONA_STATE_STOPPED
 * when it has played to its end (within 50 ms of its last audible
 * block), SONA_STATE_WAITING when it starves or its server went away,
 * SONA_STATE_PLAYING when it plays again after a wait.  Calls of the
 * caller's own (Play, Pause, SetPosition) make no events.  The queue
 * holds 256 events; when more came, the newest are dropped and one event
 * with handle 0 and state -1 says so: ask each stream's state.
 *
 * handle, state: receive the stream and its new state; either may be
 * NULL.
 *
 * Returns TRUE with an event, FALSE with SONA_OK when none is left, or
 * FALSE with SONA_ERROR_INIT.  Returns at once.
 */
SONA_API SONA_BOOL SONA_EventNext(SONA_HSTREAM *handle, int32_t *state);

#ifdef __cplusplus
}
#endif

#endif /* SONA_H */
