// The sound output: a thread of its own, the keeper, holds a driver from
// Init to Free and decides everything about it, whichever driver it is:
//
//   - It connects on its own thread, so that Init waits for no server, and
//     keeps trying while no server answers: one that comes late, or comes
//     back after a restart, is found four times a second.  The native
//     drivers come first; SDL, which would settle for the hardware behind
//     a server's back, only when none can be loaded, or none has answered
//     for a while.
//   - It follows the mixer: runs while the mixer has voices, pauses when it
//     has none and closes the stream after a while, so that an idle player
//     costs nothing.
//   - For a driver that writes far ahead of what is heard, it has the
//     queued audio written again, from just past what is heard, whenever
//     something heard changes (the mixer's listener wakes it), and lets the
//     mixer forget what has been heard.
//   - Once connected, it loads the decoder ahead of the first stream.
#include "output.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace sona {

struct Output {
    Mixer *mixer = nullptr;
    int32_t device = 1;
    int wake_fd = -1;
    /* The drivers to try, in order; the last may be a fallback. */
    std::vector<std::unique_ptr<Driver>> drivers;
    bool last_is_fallback = false;
    Driver *open = nullptr; /* the one with a stream open, if any */
    std::thread keeper;
    std::atomic<bool> quit{false};
    std::atomic<bool> running{false}; /* for sona_output_running */
};

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

/* A paused stream still costs the server; closed, it costs nothing.
   Closing waits for the server, so it waits for a pause that is more than
   a gap between two tracks. */
constexpr auto kIdleClose = std::chrono::seconds(2);
/* How often a running stream is checked for having been lost, and how
   often a lost one is tried again. */
constexpr milliseconds kWatchInterval(100);
constexpr milliseconds kRetryInterval(250);
/* How long the native drivers' servers may stay silent before SDL may
   take the device: a desktop session's server is up well within this. */
constexpr auto kFallbackAfter = std::chrono::seconds(2);
/* While a voice waits for decoded audio, how soon the queue is written
   again to bring its start forward. */
constexpr milliseconds kStarvedRetry(10);
/* The decoder module, FFmpeg with it, takes tens of milliseconds to load,
   which the first stream would wait for.  Once the output has connected
   and the program has had the time to put its window up, the keeper loads
   it. */
constexpr auto kPreloadDecoderAfter = std::chrono::seconds(1);
/* Idle and closed: nothing to look at until the mixer has voices. */
constexpr milliseconds kForever(3600 * 1000);

/* The keeper's own state between its looks. */
struct Keeper {
    bool running = false;
    Clock::time_point idle_since = Clock::now();
    Clock::time_point failing_since{}; /* {} while no attempt has failed */
    Clock::time_point next_try{};
    uint32_t seen_changes = 0;
    milliseconds wait = kWatchInterval;
    Clock::time_point preload_at = Clock::time_point::max(); /* max once done */
};

milliseconds until(Clock::time_point t)
{
    return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(t - Clock::now()));
}

/* The listener, on the API thread: a write to an eventfd never blocks. */
void on_changed(void *context)
{
    const uint64_t one = 1;
    (void)!::write(static_cast<Output *>(context)->wake_fd, &one, sizeof one);
}

void close_stream(Output *o, Keeper *k)
{
    o->open->close();
    o->open = nullptr;
    k->running = false;
}

/* A driver that writes ahead fills the server's buffer as it opens: the
   mixer keeps its history from before then, and the streams made from now
   on get rings to match. */
void prepare_mixer_for(Output *o, Driver *d)
{
    if (!d->deep())
        return;
    mixer_keep_history(o->mixer, history_reach_frames(o->mixer->rate_hz));
    o->mixer->writes_ahead.store(true, std::memory_order_relaxed);
}

/* A driver has opened; one that does not write ahead needs no history. */
void opened(Output *o, Driver *d)
{
    o->open = d;
    if (d->deep())
        return;
    mixer_forget_history(o->mixer);
    o->mixer->writes_ahead.store(false, std::memory_order_relaxed);
}

/* Tries the drivers in order; the fallback only when no native one can be
   loaded or none has answered for kFallbackAfter. */
void try_open(Output *o, Keeper *k)
{
    const auto now = Clock::now();
    if (now < k->next_try) {
        k->wait = until(k->next_try);
        return;
    }
    bool native_library = false;
    for (size_t i = 0; i < o->drivers.size(); ++i) {
        const bool fallback = o->last_is_fallback && i + 1 == o->drivers.size();
        if (fallback && native_library && k->failing_since != Clock::time_point{} &&
            now - k->failing_since < kFallbackAfter)
            break;
        prepare_mixer_for(o, o->drivers[i].get());
        const Opened result = o->drivers[i]->open(o->device);
        if (result == Opened::kYes) {
            opened(o, o->drivers[i].get());
            k->failing_since = {};
            return;
        }
        native_library = native_library || (!fallback && result != Opened::kNoLibrary);
    }
    if (k->failing_since == Clock::time_point{})
        k->failing_since = now;
    k->next_try = now + kRetryInterval;
    k->wait = kRetryInterval;
}

/* Runs the stream while the mixer has voices, pauses it while it has none
   and closes it after kIdleClose; a lost one is opened again.  While no
   stream is open the mixer does not run, so what plays waits where it is
   rather than being lost. */
void look(Output *o, Keeper *k)
{
    const bool want = mixer_has_voices(o->mixer);
    if (o->open && o->open->lost())
        close_stream(o, k); /* the server went away, or the device did */
    k->wait = kWatchInterval;
    if (want) {
        if (!o->open)
            try_open(o, k);
        if (o->open && !k->running) {
            o->open->run(true);
            k->running = true;
        }
    } else {
        if (k->running) {
            o->open->run(false);
            k->running = false;
            k->idle_since = Clock::now();
        }
        if (o->open && Clock::now() - k->idle_since >= kIdleClose)
            close_stream(o, k);
        k->wait = o->open ? std::min(kWatchInterval, until(k->idle_since + kIdleClose)) : kForever;
    }
    o->running.store(k->running, std::memory_order_relaxed);
}

/* For a driver that writes ahead: what has been heard is forgotten, and
   after a change, or while a voice waits for its data, the queue is
   written again from just past what is heard. */
void follow_mixer(Output *o, Keeper *k)
{
    Driver *d = o->open;
    if (!d || !d->deep() || !k->running)
        return;
    Mixer *m = o->mixer;
    // Relaxed: both are hints to look again; what they stand for is read
    // through atomics of its own.
    const uint32_t changes = m->changes.load(std::memory_order_relaxed);
    const bool starved = m->starved.exchange(false, std::memory_order_relaxed);
    const bool rewrite = changes != k->seen_changes || starved;
    k->seen_changes = changes;
    uint64_t heard = 0;
    if (!d->heard_position(rewrite, &heard))
        return;
    mixer_retire(m, heard);
    if (rewrite)
        d->rewrite_from(heard + d->rewrite_margin_frames());
    if (starved)
        k->wait = std::min(k->wait, kStarvedRetry);
}

/* Once the output is connected: the decoder, ahead of the first stream. */
void preload_decoder(Output *o, Keeper *k)
{
    if (!o->open || k->preload_at == Clock::time_point::max())
        return;
    if (Clock::now() < k->preload_at) {
        k->wait = std::min(k->wait, until(k->preload_at));
        return;
    }
    decoder_preload();
    k->preload_at = Clock::time_point::max();
}

void keeper_main(Output *o)
{
    Keeper k;
    // Ready before the first stream is asked to play, if a server is there.
    if (!o->open && o->device == 1)
        try_open(o, &k);
    if (o->device != 0)
        k.preload_at = Clock::now() + kPreloadDecoderAfter;
    while (!o->quit.load(std::memory_order_acquire)) {
        look(o, &k);
        follow_mixer(o, &k);
        preload_decoder(o, &k);
        if (o->open)
            o->open->wait(k.wait);
        else
            wait_for_wake(o->wake_fd, k.wait);
    }
    if (o->open)
        close_stream(o, &k);
}

/* SONA_OUTPUT names one driver to use alone; unset, every driver in order:
   PipeWire's own API where a PipeWire server answers, else libpulse (for
   PulseAudio), else SDL. */
void add_drivers(Output *o)
{
    Mixer *m = o->mixer;
    const char *forced = std::getenv("SONA_OUTPUT");
    const std::string only = forced ? forced : "";
    if (only.empty() || only == "pipewire")
        o->drivers.push_back(make_pipewire_driver(m, o->wake_fd));
    if (only.empty() || only == "pulse")
        o->drivers.push_back(make_pulse_driver(m, o->wake_fd));
    if (only.empty() || only == "sdl")
        o->drivers.push_back(make_sdl_driver(m, o->wake_fd));
    o->last_is_fallback = only.empty();
}

/* A numbered device must exist, which only a server can say: Init finds
   it first, with the first driver that opens it. */
int32_t open_numbered(Output *o)
{
    for (auto &d : o->drivers) {
        prepare_mixer_for(o, d.get());
        const Opened result = d->open(o->device);
        if (result == Opened::kYes) {
            opened(o, d.get());
            return SONA_OK;
        }
        if (result == Opened::kNoDevice)
            break;
    }
    return SONA_ERROR_DEVICE;
}

} // namespace

std::string program_name()
{
    std::string name;
    if (FILE *f = std::fopen("/proc/self/comm", "re")) {
        char buf[64] = {};
        if (std::fgets(buf, sizeof buf, f))
            name = buf;
        std::fclose(f);
    }
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
        name.pop_back();
    return name.empty() ? "libsona" : name;
}

uint32_t channels_for(int sink_channels)
{
    if (sink_channels <= 0)
        return kMixChannels;
    Fold fold;
    uint32_t n = std::min<uint32_t>(uint32_t(sink_channels), kMixChannels);
    while (n > 1 && !fold_for_channels(n, &fold))
        --n;
    return n;
}

void wait_for_wake(int wake_fd, std::chrono::milliseconds timeout)
{
    pollfd readable{wake_fd, POLLIN, 0};
    if (::poll(&readable, 1, int(std::min<milliseconds::rep>(timeout.count(), INT32_MAX))) > 0)
        drain_wake(wake_fd);
}

void drain_wake(int wake_fd)
{
    uint64_t count;
    (void)!::read(wake_fd, &count, sizeof count);
}

bool load_calls(const char *soname, const char *prefix, const char *const *names, size_t count,
                void *calls, size_t calls_size)
{
    if (calls_size != count * sizeof(void (*)()))
        return false;
    void *lib = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    for (size_t i = 0; lib && i < count; ++i) {
        void *call = dlsym(lib, (std::string(prefix) + names[i]).c_str());
        if (!call)
            return false;
        std::memcpy(static_cast<char *>(calls) + i * sizeof call, &call, sizeof call);
    }
    return lib != nullptr;
}

void OutputDeleter::operator()(Output *o) const
{
    if (o->keeper.joinable()) {
        o->quit.store(true, std::memory_order_release);
        on_changed(o);
        o->keeper.join(); /* closes the stream */
    } else if (o->open) {
        o->open->close(); /* a numbered device that Init opened */
    }
    o->drivers.clear();
    if (o->wake_fd >= 0)
        ::close(o->wake_fd);
    delete o;
}

int32_t output_open(int32_t device, Mixer *mixer, OutputPtr *out)
{
    OutputPtr o(new (std::nothrow) Output);
    if (!o)
        return SONA_ERROR_MEMORY;
    o->mixer = mixer;
    o->device = device;
    o->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (o->wake_fd < 0)
        return SONA_ERROR_MEMORY;
    if (device == 0) {
        o->drivers.push_back(make_silent_driver(mixer, o->wake_fd));
        opened(o.get(), o->drivers.front().get());
    } else {
        add_drivers(o.get());
        // Until a driver has opened, rings are sized for one that writes
        // ahead: the native driver comes first.
        mixer->writes_ahead.store(true, std::memory_order_relaxed);
        if (device >= 2 && open_numbered(o.get()) != SONA_OK)
            return SONA_ERROR_DEVICE;
    }
    mixer->listener = {on_changed, o.get()};
    *out = std::move(o);
    return SONA_OK;
}

void output_start(Output *o)
{
    o->keeper = std::thread(keeper_main, o);
}

bool output_running(Output *o)
{
    return o->running.load(std::memory_order_relaxed);
}

} // namespace sona
