// The SDL2 driver: the fallback for a system whose sound reaches no server
// that the native drivers speak to.  SDL's callback, on SDL's own thread,
// is a thin adapter around mixer_render.  SDL itself is loaded by the
// keeper when it is first tried, so that a program does not wait for SDL2
// and its libraries to load before its window shows.
#include "output/driver.h"

#include <SDL2/SDL.h>

#include <string>

namespace sona {

namespace {

/* The SDL calls the driver makes, resolved from libSDL2 at run time. */
#define SONA_SDL_CALLS(X)                                                                          \
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
/* Device period asked of SDL: ~12 ms at 44.1 kHz.  SDL writes nothing
   that could be taken back, so a change (a pause) is heard up to two
   periods later, and the server's cycle: at 1024 frames a pause was heard
   after up to 51 ms, past the 50 that sona.h promises; at 512, after up
   to 28 (tests/sona/test_e2e_realtime.cpp), for twice the wake-ups. */
constexpr Uint16 kDeviceFrames = 512;

const Sdl *sdl()
{
    static constexpr const char *kNames[] = {SONA_SDL_CALLS(SONA_CALL_NAME)};
    static Sdl calls;
    static const bool loaded =
        load_calls(kSdlLibrary, "SDL_", kNames, std::size(kNames), &calls, sizeof calls);
    return loaded ? &calls : nullptr;
}

/* SDL's hints are the host's.  Ours are set only where the host (or its
   environment) has set none, and only while SDL reads them, as its audio
   starts and a device opens: a host that starts SDL itself afterwards
   finds SDL's defaults, its signal handlers above all.  sona.h lists them. */
class OurHints {
public:
    explicit OurHints(const Sdl *sdl) : sdl_(sdl)
    {
        const std::string name = program_name();
        set(SDL_HINT_APP_NAME, name.c_str());
        set(SDL_HINT_AUDIO_DEVICE_APP_NAME, name.c_str());
        set(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, kStreamName);
        set(SDL_HINT_AUDIO_DEVICE_STREAM_ROLE, "Music");
        // A library never takes over its host's signals: with SDL's own
        // handlers a program ignores SIGTERM and a logout cannot end it.
        set(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    }
    ~OurHints()
    {
        for (size_t i = 0; i < count_; ++i)
            sdl_->ResetHint(ours_[i]);
    }
    OurHints(const OurHints &) = delete;
    OurHints &operator=(const OurHints &) = delete;

private:
    void set(const char *hint, const char *value)
    {
        if (!sdl_->GetHint(hint) && sdl_->SetHint(hint, value))
            ours_[count_++] = hint;
    }

    const Sdl *sdl_;
    const char *ours_[5] = {}; /* room for each hint above */
    size_t count_ = 0;
};

/* On SDL's audio thread: the device plays the period before this one
   while this one is mixed. */
void SDLCALL on_device_needs_audio(void *userdata, Uint8 *stream, int len)
{
    auto *m = static_cast<Mixer *>(userdata);
    const uint32_t frames = uint32_t(len) / uint32_t(sizeof(float) * mixer_out_channels(m));
    const uint64_t next = mixer_rendered(m);
    mixer_playing_at(m, next > frames ? next - frames : 0, steady_now_ns());
    mixer_render(m, reinterpret_cast<float *>(stream), frames);
}

class SdlDriver : public Driver {
public:
    explicit SdlDriver(const DriverContext &context) : mixer_(context.mixer), wake_fd_(context.wake_fd) {}
    ~SdlDriver() override
    {
        close();
        if (audio_)
            sdl_->QuitSubSystem(SDL_INIT_AUDIO);
    }

    Opened open(int32_t device) override
    {
        if (!sdl_ && !(sdl_ = sdl()))
            return Opened::kNoLibrary;
        const OurHints hints(sdl_);
        // After the server went away SDL's connection to it is dead for
        // good: only a new start of SDL's audio reaches a server that came
        // back.
        if (!start_audio())
            return Opened::kNoServer;
        if (device >= 2 && !find_numbered(device))
            return Opened::kNoDevice;
        if (device == 1)
            learn_default_channels();
        device_ = open_device();
        return device_ != 0 ? Opened::kYes : Opened::kNoServer;
    }

    void close() override
    {
        if (device_ != 0)
            sdl_->CloseAudioDevice(device_); /* returns once the callback has finished */
        device_ = 0;
    }

    void run(bool running) override { sdl_->PauseAudioDevice(device_, running ? 0 : 1); }
    bool lost() override { return sdl_->GetAudioDeviceStatus(device_) == SDL_AUDIO_STOPPED; }
    /* The fallback: nothing comes after it to hand over to. */
    bool answers(int32_t) override { return false; }
    /* SDL serves its device on a thread of its own: there is nothing to serve. */
    void wait(Milliseconds timeout) override { wait_for_wake(wake_fd_, timeout); }

private:
    /* SDL's audio, with the driver SDL chose the first time: while the
       server is away SDL settles for another (ALSA straight to the
       hardware, say) and the sound would bypass the desktop's mixer. */
    bool start_audio()
    {
        if (audio_)
            sdl_->QuitSubSystem(SDL_INIT_AUDIO);
        audio_ = false;
        if (chosen_.empty()) {
            audio_ = sdl_->InitSubSystem(SDL_INIT_AUDIO) == 0;
            if (const char *driver = audio_ ? sdl_->GetCurrentAudioDriver() : nullptr)
                chosen_ = driver;
            return audio_;
        }
        const char *host_choice = sdl_->GetHint(SDL_HINT_AUDIODRIVER);
        const std::string restore = host_choice ? host_choice : "";
        sdl_->SetHint(SDL_HINT_AUDIODRIVER, chosen_.c_str());
        audio_ = sdl_->InitSubSystem(SDL_INIT_AUDIO) == 0;
        if (restore.empty())
            sdl_->ResetHint(SDL_HINT_AUDIODRIVER);
        else
            sdl_->SetHint(SDL_HINT_AUDIODRIVER, restore.c_str());
        return audio_;
    }

    /* The default device's channel count; the mixer is set up for it
       before the device opens, so nothing mixes meanwhile. */
    void learn_default_channels()
    {
        SDL_AudioSpec spec{};
        char *default_name = nullptr;
        int channels = 0;
        if (sdl_->GetDefaultAudioInfo(&default_name, &spec, 0) == 0)
            channels = spec.channels;
        sdl_->free(default_name);
        mixer_set_out_channels(mixer_, channels_for(channels));
    }

    bool find_numbered(int32_t device)
    {
        const int index = device - 1;
        const char *name = index < sdl_->GetNumAudioDevices(0)
                               ? sdl_->GetAudioDeviceName(index, 0)
                               : nullptr;
        if (!name)
            return false;
        device_name_ = name;
        SDL_AudioSpec spec{};
        if (sdl_->GetAudioDeviceSpec(index, 0, &spec) == 0)
            mixer_set_out_channels(mixer_, channels_for(spec.channels));
        return true;
    }

    SDL_AudioDeviceID open_device()
    {
        SDL_AudioSpec want{};
        SDL_AudioSpec have{};
        want.freq = int(mixer_rate_hz(mixer_));
        want.format = AUDIO_F32SYS;
        want.channels = Uint8(mixer_out_channels(mixer_));
        want.samples = kDeviceFrames;
        want.callback = on_device_needs_audio;
        want.userdata = mixer_;
        // Rate, format and channels are the mixer's: SDL converts if a
        // device found on reconnecting differs.  Only the period may change.
        return sdl_->OpenAudioDevice(device_name_.empty() ? nullptr : device_name_.c_str(), 0,
                                     &want, &have, SDL_AUDIO_ALLOW_SAMPLES_CHANGE);
    }

    Mixer *mixer_;
    int wake_fd_;
    const Sdl *sdl_ = nullptr;
    bool audio_ = false;  /* SDL's audio started, and so to be quit */
    std::string chosen_;  /* the SDL driver chosen first */
    std::string device_name_; /* empty: the default */
    SDL_AudioDeviceID device_ = 0;
};

} // namespace

std::unique_ptr<Driver> make_sdl_driver(const DriverContext &context)
{
    return std::make_unique<SdlDriver>(context);
}

} // namespace sona
