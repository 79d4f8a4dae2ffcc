// The sound output: an SDL2 device whose callback is a thin adapter around
// mixer_render, kept by a thread of its own that closes it while idle and
// opens it again after the sound server went away; or, for device 0, a clock
// thread that pulls the mix at the device rate and drops it, so streams
// advance exactly as if heard.
#include "sona_internal.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>

namespace sona {

struct Output {
    Mixer *mixer = nullptr;
    uint32_t channels = kMixChannels;
    bool running = false; /* what the engine asked for last */

    /* The SDL device.  SONA_Init opens it; from then on only the keeper
       thread touches SDL, so a slow close or a lost sound server never
       holds up a caller. */
    bool sdl_audio = false;
    SDL_AudioDeviceID device = 0;
    std::string device_name; /* empty: the system's default */
    std::string driver;      /* the one SDL chose at Init, kept on reconnecting */
    std::thread keeper;
    std::mutex keeper_mutex;
    std::condition_variable keeper_wake;
    bool keeper_run = false; /* under keeper_mutex */
    bool keeper_quit = false;

    std::thread clock;
    std::mutex clock_mutex;
    std::condition_variable clock_wake;
    bool clock_run = false;
    bool clock_quit = false;
    std::unique_ptr<float[]> clock_buffer;
};

namespace {

/* A period of the silent clock: about a device's, and few wake-ups. */
constexpr uint32_t kClockPeriodMs = 20;
/* Device period asked of SDL: ~23 ms at 44.1 kHz. */
constexpr Uint16 kDeviceFrames = 1024;

void SDLCALL on_device_needs_audio(void *userdata, Uint8 *stream, int len)
{
    auto *o = static_cast<Output *>(userdata);
    const uint32_t frames = uint32_t(len) / uint32_t(sizeof(float) * o->channels);
    mixer_render(o->mixer, reinterpret_cast<float *>(stream), frames);
}

void clock_main(Output *o)
{
    using Clock = std::chrono::steady_clock;
    const uint32_t frames = o->mixer->rate_hz * kClockPeriodMs / 1000;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double(frames) / o->mixer->rate_hz));
    std::unique_lock<std::mutex> lock(o->clock_mutex);
    auto next = Clock::now();
    while (!o->clock_quit) {
        if (!o->clock_run) {
            o->clock_wake.wait(lock, [o] { return o->clock_quit || o->clock_run; });
            next = Clock::now();
            continue;
        }
        lock.unlock();
        mixer_render(o->mixer, o->clock_buffer.get(), frames);
        lock.lock();
        next += period;
        if (Clock::now() - next > std::chrono::seconds(1))
            next = Clock::now(); /* suspended or starved: don't rush to catch up */
        o->clock_wake.wait_until(lock, next, [o] { return o->clock_quit || !o->clock_run; });
    }
}

int32_t open_silent(uint32_t freq, Mixer *mixer, Output *o)
{
    if (!mixer_init(mixer, freq, kMixChannels))
        return SONA_ERROR_MEMORY;
    o->channels = kMixChannels;
    o->clock_buffer.reset(
        new (std::nothrow) float[size_t(freq * kClockPeriodMs / 1000 + 1) * kMixChannels]);
    if (!o->clock_buffer)
        return SONA_ERROR_MEMORY;
    o->clock = std::thread(clock_main, o);
    return SONA_OK;
}

/* The program's own name, so the stream is recognisable in the desktop's
   mixer even when the program set no SDL hint. */
std::string program_name()
{
    std::string name = "libsona";
    if (FILE *f = std::fopen("/proc/self/comm", "re")) {
        char buf[64] = {};
        if (std::fgets(buf, sizeof buf, f)) {
            std::string s(buf);
            while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
                s.pop_back();
            if (!s.empty())
                name = s;
        }
        std::fclose(f);
    }
    return name;
}

void set_default_hints()
{
    // Default priority: a hint the host set, or an environment variable,
    // wins over ours.
    const std::string name = program_name();
    SDL_SetHintWithPriority(SDL_HINT_APP_NAME, name.c_str(), SDL_HINT_DEFAULT);
    SDL_SetHintWithPriority(SDL_HINT_AUDIO_DEVICE_APP_NAME, name.c_str(), SDL_HINT_DEFAULT);
    SDL_SetHintWithPriority(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Playback", SDL_HINT_DEFAULT);
    SDL_SetHintWithPriority(SDL_HINT_AUDIO_DEVICE_STREAM_ROLE, "Music", SDL_HINT_DEFAULT);
    // A library never takes over its host's signals: with SDL's own
    // handlers a program ignores SIGTERM and a logout cannot end it.
    SDL_SetHintWithPriority(SDL_HINT_NO_SIGNAL_HANDLERS, "1", SDL_HINT_DEFAULT);
}

/* The channel count we open with: the device's own where we have a fold
   for it, so neither SDL nor the sound server ever remixes our 5.1. */
int channels_for(int device_channels)
{
    if (device_channels <= 0)
        return kMixChannels; /* unknown: let the server place 5.1 */
    if (device_channels == 1)
        return 1;
    if (device_channels < 4)
        return 2; /* 2.1: the LFE of a 2.1 set is not worth a table */
    if (device_channels < 6)
        return 4;
    return kMixChannels;
}

SDL_AudioDeviceID open_device(Output *o)
{
    SDL_AudioSpec want{};
    SDL_AudioSpec have{};
    want.freq = int(o->mixer->rate_hz);
    want.format = AUDIO_F32SYS;
    want.channels = Uint8(o->channels);
    want.samples = kDeviceFrames;
    want.callback = on_device_needs_audio;
    want.userdata = o;
    // Rate, format and channels are the mixer's: SDL converts if a device
    // found on reconnecting differs.  Only the period may change.
    return SDL_OpenAudioDevice(o->device_name.empty() ? nullptr : o->device_name.c_str(), 0,
                               &want, &have, SDL_AUDIO_ALLOW_SAMPLES_CHANGE);
}

/* After the sound server went away SDL's connection to it is dead for good;
   only starting SDL's audio again reaches a server that came back. */
void restart_sdl_audio(Output *o)
{
    if (o->sdl_audio)
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    // The driver chosen at Init, or while the server is away SDL settles for
    // another (ALSA straight to the hardware, say) and the sound would
    // bypass the desktop's mixer from then on.
    const char *host_choice = SDL_GetHint(SDL_HINT_AUDIODRIVER);
    const std::string restore = host_choice ? host_choice : "";
    SDL_SetHint(SDL_HINT_AUDIODRIVER, o->driver.c_str());
    o->sdl_audio = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    if (restore.empty())
        SDL_ResetHint(SDL_HINT_AUDIODRIVER);
    else
        SDL_SetHint(SDL_HINT_AUDIODRIVER, restore.c_str());
}

/* A paused SDL device still wakes 43 times a second to feed silence; closed,
   it costs nothing.  Closing waits for the server (up to seconds on some),
   so it waits for a pause that is more than a gap between two tracks. */
constexpr auto kIdleClose = std::chrono::seconds(2);
/* How often a playing device is checked for having been lost, and a lost
   one tried again: a server restart is heard again within a fraction of a
   second of the server being back. */
constexpr auto kWatchInterval = std::chrono::milliseconds(100);
constexpr auto kRetryInterval = std::chrono::milliseconds(250);

/* Owns the device from Init to Free: runs and pauses it as the engine asks,
   closes it when idle, and opens it again when needed or when it was lost.
   While no device is open the mixer does not run, so what plays waits where
   it is rather than being lost. */
void keeper_main(Output *o)
{
    using Clock = std::chrono::steady_clock;
    bool unpaused = false;
    auto idle_since = Clock::now();
    std::unique_lock<std::mutex> lock(o->keeper_mutex);
    while (!o->keeper_quit) {
        const bool want = o->keeper_run;
        lock.unlock();
        if (o->device != 0 && SDL_GetAudioDeviceStatus(o->device) == SDL_AUDIO_STOPPED) {
            SDL_CloseAudioDevice(o->device); /* lost: the server went away or the device did */
            o->device = 0;
            unpaused = false;
        }
        Clock::duration wait = kWatchInterval;
        bool until_asked = false;
        if (want) {
            if (o->device == 0) {
                o->device = open_device(o);
                if (o->device == 0) {
                    restart_sdl_audio(o);
                    if (o->sdl_audio)
                        o->device = open_device(o);
                }
            }
            if (o->device != 0 && !unpaused) {
                SDL_PauseAudioDevice(o->device, 0);
                unpaused = true;
            }
            if (o->device == 0)
                wait = kRetryInterval;
        } else {
            if (unpaused) {
                SDL_PauseAudioDevice(o->device, 1);
                unpaused = false;
                idle_since = Clock::now();
            }
            const auto idle_left = kIdleClose - (Clock::now() - idle_since);
            if (o->device != 0 && idle_left <= Clock::duration::zero()) {
                SDL_CloseAudioDevice(o->device);
                o->device = 0;
            }
            if (o->device == 0)
                until_asked = true;
            else
                wait = std::min<Clock::duration>(kWatchInterval, idle_left);
        }
        lock.lock();
        const auto asked = [o, want] { return o->keeper_quit || o->keeper_run != want; };
        if (until_asked)
            o->keeper_wake.wait(lock, asked);
        else
            o->keeper_wake.wait_for(lock, wait, asked);
    }
    lock.unlock();
    if (o->device != 0)
        SDL_CloseAudioDevice(o->device); /* returns once the callback has finished */
    o->device = 0;
}

int32_t open_sdl(int32_t device, uint32_t freq, Mixer *mixer, Output *o)
{
    set_default_hints();
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        return SONA_ERROR_DEVICE;
    o->sdl_audio = true;
    if (const char *driver = SDL_GetCurrentAudioDriver())
        o->driver = driver;

    SDL_AudioSpec spec{};
    int device_channels = 0;
    if (device == 1) {
        char *default_name = nullptr;
        if (SDL_GetDefaultAudioInfo(&default_name, &spec, 0) == 0)
            device_channels = spec.channels;
        SDL_free(default_name);
    } else {
        const int index = device - 1;
        if (index >= SDL_GetNumAudioDevices(0))
            return SONA_ERROR_DEVICE;
        const char *n = SDL_GetAudioDeviceName(index, 0);
        if (!n)
            return SONA_ERROR_DEVICE;
        o->device_name = n;
        if (SDL_GetAudioDeviceSpec(index, 0, &spec) == 0)
            device_channels = spec.channels;
    }

    // The mixer is set up before the device opens: the callback uses it.
    // Opened here rather than by the keeper so that Init can say at once
    // when there is no device; SDL opens it paused.
    o->channels = uint32_t(channels_for(device_channels));
    if (!mixer_init(mixer, freq, o->channels))
        return SONA_ERROR_MEMORY;
    o->device = open_device(o);
    if (o->device == 0)
        return SONA_ERROR_DEVICE;
    o->keeper = std::thread(keeper_main, o);
    return SONA_OK;
}

} // namespace

void OutputDeleter::operator()(Output *o) const
{
    if (o->clock.joinable()) {
        {
            std::lock_guard<std::mutex> lock(o->clock_mutex);
            o->clock_quit = true;
        }
        o->clock_wake.notify_all();
        o->clock.join();
    }
    if (o->keeper.joinable()) {
        {
            std::lock_guard<std::mutex> lock(o->keeper_mutex);
            o->keeper_quit = true;
        }
        o->keeper_wake.notify_all();
        o->keeper.join(); /* closes the device */
    }
    if (o->device != 0)
        SDL_CloseAudioDevice(o->device); /* a failed Init: opened, keeper never started */
    if (o->sdl_audio)
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    delete o;
}

int32_t output_open(int32_t device, uint32_t freq, Mixer *mixer, OutputPtr *out)
{
    OutputPtr o(new (std::nothrow) Output);
    if (!o)
        return SONA_ERROR_MEMORY;
    o->mixer = mixer;
    const int32_t err = device == 0 ? open_silent(freq, mixer, o.get())
                                    : open_sdl(device, freq, mixer, o.get());
    if (err == SONA_OK)
        *out = std::move(o);
    return err;
}

bool output_running(const Output *o)
{
    return o->running;
}

void output_set_running(Output *o, bool running)
{
    if (o->running == running)
        return;
    o->running = running;
    if (!o->clock.joinable()) {
        {
            std::lock_guard<std::mutex> lock(o->keeper_mutex);
            o->keeper_run = running;
        }
        o->keeper_wake.notify_all();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(o->clock_mutex);
        o->clock_run = running;
    }
    o->clock_wake.notify_all();
}

} // namespace sona
