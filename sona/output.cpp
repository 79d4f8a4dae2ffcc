// The sound output: an SDL2 device whose callback is a thin adapter around
// mixer_render, or, for device 0, a clock thread that pulls the mix at the
// device rate and drops it, so streams advance exactly as if heard.
//
// A thread of the output's own keeps the SDL device from Init to Free: it
// connects, runs and pauses the device as asked, closes it while nothing
// plays and opens it again when something does, or when the sound server
// went away and came back.  SDL itself is loaded by that thread too: SDL2
// and the ~40 libraries it brings cost several milliseconds that a program
// would otherwise pay before its window shows.
#include "sona_internal.h"

#include <SDL2/SDL.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>

namespace sona {

namespace {

/* The SDL calls the output makes, resolved from libSDL2 at run time. */
#define SONA_SDL_CALLS(X)                                                                          \
    X(SetHintWithPriority)                                                                         \
    X(SetHint)                                                                                     \
    X(GetHint)                                                                                     \
    X(ResetHint)                                                                                   \
    X(InitSubSystem)                                                                               \
    X(QuitSubSystem)                                                                               \
    X(GetCurrentAudioDriver)                                                                       \
    X(GetDefaultAudioInfo)                                                                         \
    X(free)                                                                                        \
    X(GetNumAudioDevices)                                                                          \
    X(GetAudioDeviceName)                                                                          \
    X(GetAudioDeviceSpec)                                                                          \
    X(OpenAudioDevice)                                                                             \
    X(CloseAudioDevice)                                                                            \
    X(PauseAudioDevice)                                                                            \
    X(GetAudioDeviceStatus)

struct Sdl {
#define SONA_SDL_MEMBER(name) decltype(&::SDL_##name) name = nullptr;
    SONA_SDL_CALLS(SONA_SDL_MEMBER)
#undef SONA_SDL_MEMBER
};

/* The SONAME, as a program linked against SDL2 would record it. */
constexpr const char *kSdlLibrary = "libSDL2-2.0.so.0";

/* Loaded once per process and never unloaded: SDL keeps threads and
   handlers of its own that must not lose their code. */
const Sdl *sdl()
{
    static const Sdl *const loaded = [] () -> const Sdl * {
        void *lib = dlopen(kSdlLibrary, RTLD_NOW | RTLD_LOCAL);
        if (!lib)
            return nullptr;
        static Sdl calls;
        bool complete = true;
#define SONA_SDL_RESOLVE(name)                                                                     \
    calls.name = reinterpret_cast<decltype(calls.name)>(dlsym(lib, "SDL_" #name));                 \
    complete = complete && calls.name != nullptr;
        SONA_SDL_CALLS(SONA_SDL_RESOLVE)
#undef SONA_SDL_RESOLVE
        return complete ? &calls : nullptr;
    }();
    return loaded;
}

} // namespace

struct Output {
    Mixer *mixer = nullptr;
    uint32_t channels = kMixChannels;
    bool running = false; /* what the engine asked for last */

    /* The SDL device: the keeper's alone once it runs. */
    const Sdl *sdl = nullptr;
    bool sdl_audio = false;  /* SDL's audio started (and so to be quit) */
    bool channels_known = false;
    SDL_AudioDeviceID device = 0;
    std::string device_name; /* empty: the system's default */
    std::string driver;      /* the one SDL chose first, kept on reconnecting */
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

void set_default_hints(const Sdl *sdl)
{
    // Default priority: a hint the host set, or an environment variable,
    // wins over ours.
    const std::string name = program_name();
    sdl->SetHintWithPriority(SDL_HINT_APP_NAME, name.c_str(), SDL_HINT_DEFAULT);
    sdl->SetHintWithPriority(SDL_HINT_AUDIO_DEVICE_APP_NAME, name.c_str(), SDL_HINT_DEFAULT);
    sdl->SetHintWithPriority(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Playback", SDL_HINT_DEFAULT);
    sdl->SetHintWithPriority(SDL_HINT_AUDIO_DEVICE_STREAM_ROLE, "Music", SDL_HINT_DEFAULT);
    // A library never takes over its host's signals: with SDL's own
    // handlers a program ignores SIGTERM and a logout cannot end it.
    sdl->SetHintWithPriority(SDL_HINT_NO_SIGNAL_HANDLERS, "1", SDL_HINT_DEFAULT);
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

/* Starts SDL's audio, or starts it again: after the sound server went away
   SDL's connection to it is dead for good, and only a new start reaches a
   server that came back.  The first start also learns the default device's
   channel count and sets the mixer up for it; nothing mixes before that. */
bool start_sdl_audio(Output *o)
{
    if (!o->sdl) {
        o->sdl = sdl();
        if (!o->sdl)
            return false;
        set_default_hints(o->sdl);
    }
    const Sdl *sdl = o->sdl;
    if (o->sdl_audio) {
        sdl->QuitSubSystem(SDL_INIT_AUDIO);
        o->sdl_audio = false;
    }
    if (o->driver.empty()) {
        o->sdl_audio = sdl->InitSubSystem(SDL_INIT_AUDIO) == 0;
        if (o->sdl_audio)
            if (const char *driver = sdl->GetCurrentAudioDriver())
                o->driver = driver;
    } else {
        // The driver chosen first, or while the server is away SDL settles
        // for another (ALSA straight to the hardware, say) and the sound
        // would bypass the desktop's mixer from then on.
        const char *host_choice = sdl->GetHint(SDL_HINT_AUDIODRIVER);
        const std::string restore = host_choice ? host_choice : "";
        sdl->SetHint(SDL_HINT_AUDIODRIVER, o->driver.c_str());
        o->sdl_audio = sdl->InitSubSystem(SDL_INIT_AUDIO) == 0;
        if (restore.empty())
            sdl->ResetHint(SDL_HINT_AUDIODRIVER);
        else
            sdl->SetHint(SDL_HINT_AUDIODRIVER, restore.c_str());
    }
    if (o->sdl_audio && !o->channels_known) {
        SDL_AudioSpec spec{};
        char *default_name = nullptr;
        int device_channels = 0;
        if (o->device_name.empty() && sdl->GetDefaultAudioInfo(&default_name, &spec, 0) == 0)
            device_channels = spec.channels;
        sdl->free(default_name);
        o->channels = uint32_t(channels_for(device_channels));
        mixer_set_out_channels(o->mixer, o->channels); /* no device open: nothing mixes */
        o->channels_known = true;
    }
    return o->sdl_audio;
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
    return o->sdl->OpenAudioDevice(o->device_name.empty() ? nullptr : o->device_name.c_str(), 0,
                                   &want, &have, SDL_AUDIO_ALLOW_SAMPLES_CHANGE);
}

/* Opens the device, starting SDL's audio (again) when it is not started or
   its connection is dead.  True when a device is open. */
bool ensure_open(Output *o)
{
    if (o->device != 0)
        return true;
    if (o->sdl_audio)
        o->device = open_device(o);
    if (o->device == 0 && start_sdl_audio(o))
        o->device = open_device(o);
    return o->device != 0;
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

/* While no device is open the mixer does not run, so what plays waits where
   it is rather than being lost. */
void keeper_main(Output *o)
{
    using Clock = std::chrono::steady_clock;
    // Ready before the first stream is asked to play, if a device is there.
    ensure_open(o);
    bool unpaused = false;
    auto idle_since = Clock::now();
    std::unique_lock<std::mutex> lock(o->keeper_mutex);
    while (!o->keeper_quit) {
        const bool want = o->keeper_run;
        lock.unlock();
        if (o->device != 0 && o->sdl->GetAudioDeviceStatus(o->device) == SDL_AUDIO_STOPPED) {
            o->sdl->CloseAudioDevice(o->device); /* lost: the server went away or the device did */
            o->device = 0;
            unpaused = false;
        }
        Clock::duration wait = kWatchInterval;
        bool until_asked = false;
        if (want) {
            if (ensure_open(o) && !unpaused) {
                o->sdl->PauseAudioDevice(o->device, 0);
                unpaused = true;
            }
            if (o->device == 0)
                wait = kRetryInterval;
        } else {
            if (unpaused) {
                o->sdl->PauseAudioDevice(o->device, 1);
                unpaused = false;
                idle_since = Clock::now();
            }
            const auto idle_left = kIdleClose - (Clock::now() - idle_since);
            if (o->device != 0 && idle_left <= Clock::duration::zero()) {
                o->sdl->CloseAudioDevice(o->device);
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
        o->sdl->CloseAudioDevice(o->device); /* returns once the callback has finished */
    o->device = 0;
    if (o->sdl_audio)
        o->sdl->QuitSubSystem(SDL_INIT_AUDIO);
    o->sdl_audio = false;
}

/* The default device is connected by the keeper, so Init does not wait for
   SDL or the sound server; a server that is not there yet is found when it
   comes, as after a restart.  A device chosen by number must exist, which
   only SDL can say: Init finds it first. */
int32_t open_sdl(int32_t device, uint32_t freq, Mixer *mixer, Output *o)
{
    if (!mixer_init(mixer, freq, kMixChannels))
        return SONA_ERROR_MEMORY;
    if (device != 1) {
        if (!start_sdl_audio(o))
            return SONA_ERROR_DEVICE;
        const Sdl *sdl = o->sdl;
        const int index = device - 1;
        if (index >= sdl->GetNumAudioDevices(0))
            return SONA_ERROR_DEVICE;
        const char *name = sdl->GetAudioDeviceName(index, 0);
        if (!name)
            return SONA_ERROR_DEVICE;
        o->device_name = name;
        SDL_AudioSpec spec{};
        if (sdl->GetAudioDeviceSpec(index, 0, &spec) == 0) {
            o->channels = uint32_t(channels_for(spec.channels));
            mixer_set_out_channels(mixer, o->channels);
        }
        o->device = open_device(o);
        if (o->device == 0)
            return SONA_ERROR_DEVICE;
    }
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
        o->keeper.join(); /* closes the device and quits SDL's audio */
    }
    // A numbered device that failed in Init: no keeper ever ran.
    if (o->device != 0)
        o->sdl->CloseAudioDevice(o->device);
    if (o->sdl_audio)
        o->sdl->QuitSubSystem(SDL_INIT_AUDIO);
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

void output_start(Output *o)
{
    if (!o->clock.joinable())
        o->keeper = std::thread(keeper_main, o);
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
