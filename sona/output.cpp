// The sound output: an SDL2 device whose callback is a thin adapter around
// mixer_render, or, for device 0, a clock thread that pulls the mix at the
// device rate and drops it, so streams advance exactly as if heard.
//
// Either way the output follows the mixer's own state: it runs while the
// mixer has voices, told by the mixer's listener when one is queued and
// looking for itself, while it runs, whether any is left.
//
// A thread of the output's own keeps the SDL device from Init to Free: it
// connects, runs and pauses the device, closes it while nothing plays and
// opens it again when something does, or when the sound server went away
// and came back.  SDL itself is loaded by that thread too, so that a
// program does not wait for SDL2 and its libraries to load before its
// window shows.
#include "sona_internal.h"

#include <SDL2/SDL.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>
#include <string>
#include <thread>

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

    /* The output's thread: the silent clock, or the keeper of the device. */
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    bool running = false; /* under mutex: the mixer had voices when last looked at */
    bool quit = false;    /* under mutex */

    /* The silent clock (device 0). */
    bool silent = false;
    std::unique_ptr<float[]> clock_buffer;

    /* The SDL device: the keeper's alone once it runs. */
    const Sdl *sdl = nullptr;
    bool sdl_audio = false; /* SDL's audio started (and so to be quit) */
    bool channels_known = false;
    SDL_AudioDeviceID device = 0;
    std::string device_name; /* empty: the system's default */
    std::string driver;      /* the one SDL chose first, kept on reconnecting */
};

namespace {

/* A period of the silent clock: about a device's, and few wake-ups. */
constexpr uint32_t kClockPeriodMs = 20;
/* A clock that fell this far behind (suspended, starved) starts afresh
   rather than rushing to catch up. */
constexpr auto kClockGiveUp = std::chrono::seconds(1);
/* Device period asked of SDL: ~23 ms at 44.1 kHz. */
constexpr Uint16 kDeviceFrames = 1024;

/* With the mutex held: run while the mixer has voices.  Whoever queues a
   voice counts it first and then calls on_voice_queued, which takes the
   mutex, so of two looks the later one sees the voice. */
void follow_mixer(Output *o)
{
    o->running = mixer_has_voices(o->mixer);
}

/* The mixer's listener, on the API thread. */
void on_voice_queued(void *context)
{
    auto *o = static_cast<Output *>(context);
    {
        std::lock_guard<std::mutex> lock(o->mutex);
        if (o->running)
            return;
        follow_mixer(o);
    }
    o->wake.notify_all();
}

void SDLCALL on_device_needs_audio(void *userdata, Uint8 *stream, int len)
{
    auto *o = static_cast<Output *>(userdata);
    const uint32_t frames = uint32_t(len) / uint32_t(sizeof(float) * o->channels);
    mixer_render(o->mixer, reinterpret_cast<float *>(stream), frames);
}

/* Pulls the mix at the device rate and drops it, while the mixer has
   voices. */
void clock_main(Output *o)
{
    using Clock = std::chrono::steady_clock;
    const uint32_t rate = o->mixer->rate_hz;
    const uint32_t frames = rate * kClockPeriodMs / 1000;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double(frames) / rate));
    std::unique_lock<std::mutex> lock(o->mutex);
    auto next = Clock::now();
    while (!o->quit) {
        if (!o->running) {
            o->wake.wait(lock, [o] { return o->quit || o->running; });
            next = Clock::now();
            continue;
        }
        lock.unlock();
        mixer_render(o->mixer, o->clock_buffer.get(), frames);
        lock.lock();
        follow_mixer(o);
        next += period;
        if (Clock::now() - next > kClockGiveUp)
            next = Clock::now();
        o->wake.wait_until(lock, next, [o] { return o->quit; });
    }
}

int32_t open_silent(Output *o)
{
    const uint32_t freq = o->mixer->rate_hz;
    o->silent = true;
    o->channels = mixer_out_channels(o->mixer);
    o->clock_buffer.reset(
        new (std::nothrow) float[size_t(freq * kClockPeriodMs / 1000 + 1) * o->channels]);
    return o->clock_buffer ? SONA_OK : SONA_ERROR_MEMORY;
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

/* The channel count we open with: the device's own where the mixer has a
   fold for it, else the next smaller that it has, so neither SDL nor the
   sound server ever remixes our 5.1.  Unknown: 5.1, and the server places
   it. */
uint32_t channels_for(int device_channels)
{
    if (device_channels <= 0)
        return kMixChannels;
    Fold fold;
    uint32_t n = std::min<uint32_t>(uint32_t(device_channels), kMixChannels);
    while (n > 1 && !fold_for_channels(n, &fold))
        --n;
    return n;
}

/* SDL's audio, with the driver chosen the first time: while the server is
   away SDL settles for another (ALSA straight to the hardware, say) and
   the sound would bypass the desktop's mixer from then on. */
bool init_sdl_audio(Output *o)
{
    const Sdl *sdl = o->sdl;
    if (o->driver.empty()) {
        const bool started = sdl->InitSubSystem(SDL_INIT_AUDIO) == 0;
        if (started)
            if (const char *driver = sdl->GetCurrentAudioDriver())
                o->driver = driver;
        return started;
    }
    const char *host_choice = sdl->GetHint(SDL_HINT_AUDIODRIVER);
    const std::string restore = host_choice ? host_choice : "";
    sdl->SetHint(SDL_HINT_AUDIODRIVER, o->driver.c_str());
    const bool started = sdl->InitSubSystem(SDL_INIT_AUDIO) == 0;
    if (restore.empty())
        sdl->ResetHint(SDL_HINT_AUDIODRIVER);
    else
        sdl->SetHint(SDL_HINT_AUDIODRIVER, restore.c_str());
    return started;
}

/* The default device's channel count, once; the mixer is set up for it
   before any device opens, so nothing mixes meanwhile. */
void learn_default_channels(Output *o)
{
    if (o->channels_known)
        return;
    SDL_AudioSpec spec{};
    char *default_name = nullptr;
    int device_channels = 0;
    if (o->device_name.empty() && o->sdl->GetDefaultAudioInfo(&default_name, &spec, 0) == 0)
        device_channels = spec.channels;
    o->sdl->free(default_name);
    o->channels = channels_for(device_channels);
    mixer_set_out_channels(o->mixer, o->channels);
    o->channels_known = true;
}

/* Starts SDL's audio, or starts it again: after the sound server went away
   SDL's connection to it is dead for good, and only a new start reaches a
   server that came back. */
bool start_sdl_audio(Output *o)
{
    if (!o->sdl) {
        o->sdl = sdl();
        if (!o->sdl)
            return false;
        set_default_hints(o->sdl);
    }
    if (o->sdl_audio) {
        o->sdl->QuitSubSystem(SDL_INIT_AUDIO);
        o->sdl_audio = false;
    }
    o->sdl_audio = init_sdl_audio(o);
    if (o->sdl_audio)
        learn_default_channels(o);
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

/* A paused SDL device still wakes once a period to feed silence; closed,
   it costs nothing.  Closing waits for the server (up to seconds on some),
   so it waits for a pause that is more than a gap between two tracks. */
constexpr auto kIdleClose = std::chrono::seconds(2);
/* How often a playing device is checked for having been lost, and for the
   mixer having run out of voices; and how often a lost one is tried again:
   a server restart is heard again within a fraction of a second of the
   server being back. */
constexpr auto kWatchInterval = std::chrono::milliseconds(100);
constexpr auto kRetryInterval = std::chrono::milliseconds(250);

using KeeperClock = std::chrono::steady_clock;

/* The keeper's own state between its looks at the device. */
struct Keeper {
    bool unpaused = false;
    KeeperClock::time_point idle_since = KeeperClock::now();
    KeeperClock::duration wait{}; /* until the next look ... */
    bool until_asked = false;     /* ... or until the mixer has voices again */
};

void close_device(Output *o)
{
    if (o->device != 0)
        o->sdl->CloseAudioDevice(o->device); /* returns once the callback has finished */
    o->device = 0;
}

/* Runs the device while the mixer has voices (`want`), pauses it while it
   has none and closes it after kIdleClose; a device the server lost is
   closed and opened again.  While no device is open the mixer does not
   run, so what plays waits where it is rather than being lost. */
void keeper_look(Output *o, bool want, Keeper *k)
{
    if (o->device != 0 && o->sdl->GetAudioDeviceStatus(o->device) == SDL_AUDIO_STOPPED) {
        close_device(o); /* lost: the server went away or the device did */
        k->unpaused = false;
    }
    k->wait = kWatchInterval;
    k->until_asked = false;
    if (want) {
        if (ensure_open(o) && !k->unpaused) {
            o->sdl->PauseAudioDevice(o->device, 0);
            k->unpaused = true;
        }
        if (o->device == 0)
            k->wait = kRetryInterval;
        return;
    }
    if (k->unpaused) {
        o->sdl->PauseAudioDevice(o->device, 1);
        k->unpaused = false;
        k->idle_since = KeeperClock::now();
    }
    const auto idle_left = kIdleClose - (KeeperClock::now() - k->idle_since);
    if (idle_left <= KeeperClock::duration::zero())
        close_device(o);
    if (o->device == 0)
        k->until_asked = true;
    else
        k->wait = std::min<KeeperClock::duration>(kWatchInterval, idle_left);
}

/* Keeps the SDL device from Init to Free. */
void keeper_main(Output *o)
{
    // Ready before the first stream is asked to play, if a device is there.
    ensure_open(o);
    Keeper k;
    std::unique_lock<std::mutex> lock(o->mutex);
    while (!o->quit) {
        follow_mixer(o);
        const bool want = o->running;
        lock.unlock();
        keeper_look(o, want, &k);
        lock.lock();
        const auto asked = [o, want] { return o->quit || o->running != want; };
        if (k.until_asked)
            o->wake.wait(lock, asked);
        else
            o->wake.wait_for(lock, k.wait, asked);
    }
    lock.unlock();
    close_device(o);
    if (o->sdl_audio)
        o->sdl->QuitSubSystem(SDL_INIT_AUDIO);
    o->sdl_audio = false;
}

/* The default device is connected by the keeper, so Init does not wait for
   SDL or the sound server; a server that is not there yet is found when it
   comes, as after a restart.  A device chosen by number must exist, which
   only SDL can say: Init finds it first. */
int32_t open_sdl(int32_t device, Output *o)
{
    if (device == 1)
        return SONA_OK;
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
        o->channels = channels_for(spec.channels);
        mixer_set_out_channels(o->mixer, o->channels);
    }
    o->device = open_device(o);
    return o->device != 0 ? SONA_OK : SONA_ERROR_DEVICE;
}

} // namespace

void OutputDeleter::operator()(Output *o) const
{
    if (o->thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(o->mutex);
            o->quit = true;
        }
        o->wake.notify_all();
        o->thread.join(); /* the keeper closes the device and quits SDL's audio */
    }
    // A numbered device that failed in Init: no keeper ever ran.
    if (o->device != 0)
        o->sdl->CloseAudioDevice(o->device);
    if (o->sdl_audio)
        o->sdl->QuitSubSystem(SDL_INIT_AUDIO);
    delete o;
}

int32_t output_open(int32_t device, Mixer *mixer, OutputPtr *out)
{
    OutputPtr o(new (std::nothrow) Output);
    if (!o)
        return SONA_ERROR_MEMORY;
    o->mixer = mixer;
    const int32_t err = device == 0 ? open_silent(o.get()) : open_sdl(device, o.get());
    if (err != SONA_OK)
        return err;
    mixer->listener = {on_voice_queued, o.get()};
    *out = std::move(o);
    return SONA_OK;
}

void output_start(Output *o)
{
    o->thread = std::thread(o->silent ? clock_main : keeper_main, o);
}

bool output_running(Output *o)
{
    std::lock_guard<std::mutex> lock(o->mutex);
    return o->running;
}

} // namespace sona
