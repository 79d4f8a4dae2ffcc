/* A program of its own that embeds libsona, in plain C (so the header must
   need nothing from C++), on a machine with no sound server at all.  It
   uses FFmpeg and SDL itself, and sets their state its own way; it plays
   damaged files through libsona, which can only reach SDL's disk driver,
   and hears them in the file that driver writes.  Afterwards its state is as it
   set it: FFmpeg's log level and callback, FFmpeg's largest allocation,
   SDL's hints, and dlerror() after a load that failed on its thread (a
   libpipewire without its calls, on LD_LIBRARY_PATH).
     host SCRATCH_DIR */
#include "sona.h"

#include <SDL2/SDL.h>
#include <dlfcn.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

_Static_assert(sizeof(SONA_BOOL) == 4 && sizeof(SONA_HSTREAM) == 4 && SONA_OK == 0 &&
                   SONA_ERROR_UNKNOWN == 9 && sizeof SONA_Init(0, 0, 0, 0, 0) == 4 &&
                   sizeof SONA_ChannelGetPosition(0) == 8 && sizeof SONA_ChannelGetLength(0) == 8 &&
                   sizeof SONA_ChannelSetPosition(0, 0) == 4 && sizeof SONA_ChannelGetState(0) == 4 &&
                   sizeof SONA_ChannelGetTag(0, 0, 0, 0) == 4 && sizeof SONA_ChannelPause(0) == 4 &&
                   sizeof SONA_EventFd() == 4 && sizeof SONA_EventNext(0, 0) == 4 &&
                   sizeof *SONA_ErrorGetText(0) == 1 && SONA_STATE_STOPPED == 0 &&
                   SONA_STATE_PLAYING == 1 && SONA_STATE_PAUSED == 2 && SONA_STATE_WAITING == 3,
               "the fixed sizes are the ABI");

static const char kOwnMessage[] = "the host's own message\n";
static int own_messages, shown_messages, failures;

/* The host shows warnings and worse; anything libsona's FFmpeg says must
   rank below what it shows. */
static void host_log(void *context, int level, const char *format, va_list args)
{
    (void)context;
    if (strcmp(format, kOwnMessage) == 0) {
        ++own_messages;
    } else if (level <= AV_LOG_WARNING) {
        ++shown_messages;
        vfprintf(stderr, format, args);
    }
}

#define CHECK(condition, what)                                                                     \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "FAIL: %s\n", what);                                                   \
            ++failures;                                                                            \
        }                                                                                          \
    } while (0)

/* The loudest sample SDL's disk driver has written so far. */
static float loudest(const char *recording)
{
    float peak = 0, sample;
    FILE *in = fopen(recording, "rb");
    while (in && fread(&sample, sizeof sample, 1, in) == 1)
        peak = fmaxf(peak, fabsf(sample));
    if (in)
        fclose(in);
    return peak;
}

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    char recording[256], make[2048];
    snprintf(recording, sizeof recording, "%s/sdl.raw", argv[1]);
    /* A tone at half scale, made twice and cut, so that FFmpeg has much to
       say: of the AAC, its demuxer and the decoder it opens to probe the
       stream; of the MP3, the decoder that plays it. */
    snprintf(make, sizeof make,
             "cd '%s' && for format in mp3:900 aac:100; do "
             "ffmpeg -nostdin -v error -y -f lavfi -i 'aevalsrc=0.5*sin(2*PI*1000*t):s=44100:d=1' "
             "whole.${format%%:*} && "
             "(head -c ${format#*:} whole.${format%%:*} && tail -c +$((${format#*:} + 8)) whole.${format%%:*}) "
             "> cut.${format%%:*} || exit 1; done",
             argv[1]);
    if (system(make) != 0)
        return 2;
    /* No server anywhere: nothing but SDL's disk driver takes sound. */
    setenv("XDG_RUNTIME_DIR", argv[1], 1);
    setenv("PULSE_SERVER", "unix:/nonexistent", 1);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", recording, 1);

    av_log_set_level(AV_LOG_WARNING);
    av_log_set_callback(host_log);
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "the host's stream");

    setenv("SONA_OUTPUT", "pipewire", 1);
    CHECK(!SONA_Init(2, 44100, 0, 0, NULL) && SONA_ErrorGetCode() == SONA_ERROR_DEVICE,
          "a numbered device was found through a libpipewire without its calls");
    CHECK(dlerror() == NULL, "dlerror() tells the host of libsona's failed load");
    unsetenv("SONA_OUTPUT");

    CHECK(SONA_Init(1, 44100, 0, 0, NULL), "Init");
    const char *const cuts[] = {"cut.mp3", "cut.aac"};
    for (size_t i = 0; i < sizeof cuts / sizeof *cuts; ++i) {
        char path[512];
        snprintf(path, sizeof path, "%s/%s", argv[1], cuts[i]);
        const SONA_HSTREAM stream = SONA_StreamCreateFile(SONA_FALSE, path, 0, 0, 0);
        CHECK(stream != 0 && SONA_ChannelPlay(stream, SONA_FALSE), cuts[i]);
    }
    /* The fallback waits 2 s for a server; then SDL plays in real time. */
    const time_t give_up = time(NULL) + 20;
    while (loudest(recording) < 0.4f && time(NULL) < give_up)
        SDL_Delay(100);
    const float peak = loudest(recording);
    CHECK(peak > 0.4f, "SDL's disk driver did not record the tone");
    SONA_Free();

    CHECK(av_log_get_level() == AV_LOG_WARNING, "FFmpeg's log level is not the host's");
    av_log(NULL, AV_LOG_WARNING, kOwnMessage);
    CHECK(own_messages == 1, "FFmpeg's log callback is not the host's");
    CHECK(shown_messages == 0, "libsona's FFmpeg spoke at a level the host shows");
    void *block = av_malloc((size_t)512 << 20);
    CHECK(block != NULL, "FFmpeg refuses the host a 512 MiB block");
    av_free(block);
    const char *stream_name = SDL_GetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME);
    CHECK(stream_name && strcmp(stream_name, "the host's stream") == 0, "the host's SDL hint is gone");
    const char *const untouched[] = {SDL_HINT_APP_NAME, SDL_HINT_AUDIO_DEVICE_APP_NAME,
                                     SDL_HINT_AUDIO_DEVICE_STREAM_ROLE, SDL_HINT_NO_SIGNAL_HANDLERS};
    for (size_t i = 0; i < sizeof untouched / sizeof *untouched; ++i)
        CHECK(SDL_GetHint(untouched[i]) == NULL, untouched[i]);
    SDL_Quit();
    return failures ? 1 : 0;
}
