// The sound output: an SDL2 device whose callback is a thin adapter around
// mixer_render, or, for device 0, a clock thread that pulls the mix at the
// device rate and drops it, so streams advance exactly as if heard.
#include "sona_internal.h"

#include <SDL2/SDL.h>

#include <chrono>
#include <cstdio>
#include <new>

namespace sona {

struct Output {
    Mixer *mixer = nullptr;
    uint32_t channels = kMixChannels;
    bool running = false;

    bool sdl_audio = false;
    SDL_AudioDeviceID device = 0;

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

int32_t open_sdl(int32_t device, uint32_t freq, Mixer *mixer, Output *o)
{
    set_default_hints();
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        return SONA_ERROR_DEVICE;
    o->sdl_audio = true;

    std::string name;
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
        name = n;
        if (SDL_GetAudioDeviceSpec(index, 0, &spec) == 0)
            device_channels = spec.channels;
    }

    SDL_AudioSpec want{};
    SDL_AudioSpec have{};
    want.freq = int(freq);
    want.format = AUDIO_F32SYS;
    want.channels = Uint8(channels_for(device_channels));
    want.samples = kDeviceFrames;
    want.callback = on_device_needs_audio;
    want.userdata = o;
    // Rate, format and channels are ours to keep: SDL converts if it must,
    // but we asked for what the device has.  The period may differ.
    o->device = SDL_OpenAudioDevice(name.empty() ? nullptr : name.c_str(), 0, &want, &have,
                                    SDL_AUDIO_ALLOW_SAMPLES_CHANGE);
    if (o->device == 0)
        return SONA_ERROR_DEVICE;
    // SDL opens paused, so the callback cannot run before the mixer is set
    // up for what was actually obtained.
    o->channels = have.channels;
    if (have.format != AUDIO_F32SYS || have.freq != int(freq) ||
        channels_for(have.channels) != have.channels)
        return SONA_ERROR_DEVICE;
    if (!mixer_init(mixer, uint32_t(have.freq), have.channels))
        return SONA_ERROR_MEMORY;
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
    if (o->device != 0)
        SDL_CloseAudioDevice(o->device); /* returns once the callback has finished */
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
    if (o->device != 0) {
        SDL_PauseAudioDevice(o->device, running ? 0 : 1);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(o->clock_mutex);
        o->clock_run = running;
    }
    o->clock_wake.notify_all();
}

} // namespace sona
