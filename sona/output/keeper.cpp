// The sound output: a thread of its own, the keeper, holds a driver from
// Init to Free and decides everything about it, whichever driver it is:
//
//   - It connects on its own thread, so that Init waits for no server, and
//     keeps trying while no server answers: one that comes late, or comes
//     back after a restart, is found four times a second.  The drivers are
//     tried in the table's order (driver.h); a fallback only when no other
//     can be loaded, or none has answered for a while since the first
//     failed to.  While a fallback plays, the others are asked whether
//     their server answers again, and the first that does takes over.
//   - It follows the mixer: runs while the mixer has voices, pauses when it
//     has none and closes the stream after a while, so that an idle player
//     costs nothing.
//   - For a driver that writes far ahead of what is heard, it begins the
//     mix's write-ahead before the driver opens, and ends it when one that
//     plays at once opens; the driver does the rest (follow_mixer).
//   - Once connected, it loads the decoder ahead of the first stream.
#include "output/output.h"

#include "decoder/decoder.h"
#include "mix/mixer.h"
#include "output/driver.h"
#include "output/write_ahead.h"
#include "pool.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

namespace sona {

struct Output {
    explicit Output(Mixer *m) : mixer(m), write_ahead(m) {}

    Mixer *mixer;
    Pool *pool = nullptr; /* none until the keeper starts */
    WriteAhead write_ahead;
    int32_t device = 1;
    int wake_fd = -1;
    /* The drivers to try, in order, each with whether it is a fallback. */
    std::vector<std::pair<std::unique_ptr<Driver>, bool>> drivers;
    Driver *open = nullptr; /* the one with a stream open, if any */
    std::thread keeper;
    std::atomic<bool> quit{false};
    std::atomic<bool> running{false}; /* for sona_output_running */
};

namespace {

using Clock = std::chrono::steady_clock;

/* A paused stream still costs the server; closed, it costs nothing.
   Closing waits for the server, so it waits for a pause that is more than
   a gap between two tracks. */
constexpr auto kIdleClose = std::chrono::seconds(2);
/* How often a running stream is checked for having been lost, and how
   often a lost one is tried again. */
constexpr Milliseconds kWatchInterval(100);
constexpr Milliseconds kRetryInterval(250);
/* How long the other drivers' servers may stay silent before a fallback
   may take the device: a desktop session's server is up well within this,
   and so is one that restarts. */
constexpr auto kFallbackAfter = std::chrono::seconds(2);
/* While a fallback plays, how often the others are asked whether their
   server is back: so that it takes over within kFallbackAfter of its
   return, its connecting and the switch included. */
constexpr Milliseconds kProbeInterval(500);
constexpr auto kProbeBackoff = std::chrono::seconds(10);
/* The decoder module, FFmpeg with it, takes tens of milliseconds to load,
   which the first stream would wait for.  Once the output has connected
   and the program has had the time to put its window up, the keeper loads
   it. */
constexpr auto kPreloadDecoderAfter = std::chrono::seconds(1);

/* The keeper's own state between its looks. */
struct Keeper {
    bool running = false;
    bool on_fallback = false; /* the open driver is a fallback */
    Clock::time_point idle_since = Clock::now();
    /* Since the first failure of a driver that is not a fallback; {} once
       one opens.  A fallback that opens leaves it, so that when the
       fallback goes, it may come back at once. */
    Clock::time_point failing_since{};
    Clock::time_point next_try{};
    Clock::time_point next_probe{}; /* while on the fallback */
    Milliseconds wait = kWatchInterval;
    Clock::time_point preload_at = Clock::time_point::max(); /* max once done */
};

Milliseconds until(Clock::time_point t)
{
    return std::max(Milliseconds(0), std::chrono::duration_cast<Milliseconds>(t - Clock::now()));
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

/* The stream was lost with what its server held: a driver that wrote
   ahead goes back to what was heard, for the next stream to take up, and
   every voice waits, heard nowhere, until one does. */
void lose_stream(Output *o, Keeper *k)
{
    if (o->open->writes_ahead())
        o->write_ahead.lost();
    close_stream(o, k);
    mixer_output_lost(o->mixer);
}

/* A driver that writes ahead fills the server's buffer as it opens: the
   mix keeps its history from before then, and the rings of streams made
   for another driver grow to hold what it writes ahead.  One that plays
   at once needs none of it. */
Opened open_driver(Output *o, Driver *d)
{
    if (d->writes_ahead() && o->write_ahead.begin() && o->pool)
        pool_fit_rings(o->pool, mixer_ring_sizes(o->mixer));
    const Opened result = d->open(o->device);
    if (result == Opened::kYes) {
        o->open = d;
        if (!d->writes_ahead())
            o->write_ahead.end();
    }
    return result;
}

/* Tries the drivers in order; a fallback only when no other can be
   loaded or none has answered for kFallbackAfter since the first failed. */
void try_open(Output *o, Keeper *k)
{
    const auto now = Clock::now();
    if (now < k->next_try) {
        k->wait = until(k->next_try);
        return;
    }
    bool other_library = false;
    for (auto &[driver, fallback] : o->drivers) {
        if (fallback && other_library && now - k->failing_since < kFallbackAfter)
            break;
        const Opened result = open_driver(o, driver.get());
        if (result == Opened::kYes) {
            k->on_fallback = fallback;
            k->next_probe = now + kProbeInterval;
            if (!fallback)
                k->failing_since = {};
            return;
        }
        if (!fallback && k->failing_since == Clock::time_point{})
            k->failing_since = now;
        other_library = other_library || (!fallback && result != Opened::kNoLibrary);
    }
    k->next_try = now + kRetryInterval;
    k->wait = kRetryInterval;
}

/* When the first stream whose data is all decoded is heard ending: its
   event is due then, and a look a little after finds it. */
Milliseconds until_next_end(const Mixer *m)
{
    constexpr Milliseconds kAfter(5);
    const uint64_t end = m->next_end.load(std::memory_order_relaxed);
    if (end == kNoPosition)
        return kForever;
    const uint64_t heard = mixer_heard_now(m);
    const uint64_t frames = end > heard ? end - heard : 0;
    return Milliseconds(frames * 1000 / m->rate_hz) + kAfter;
}

/* While a fallback plays: whether a driver before it has its server back.
   Then the fallback goes, and try_open opens that one, the streams going
   on from where the fallback left them. */
bool native_is_back(Output *o, Keeper *k)
{
    const auto now = Clock::now();
    if (now < k->next_probe) {
        k->wait = std::min(k->wait, until(k->next_probe));
        return false;
    }
    k->next_probe = now + kProbeInterval;
    k->wait = std::min(k->wait, kProbeInterval);
    for (auto &[driver, fallback] : o->drivers)
        if (!fallback && driver->answers(o->device))
            return true;
    return false;
}

/* Runs the stream while the mixer has voices, pauses it while it has none
   and closes it after kIdleClose; a lost one is opened again.  While no
   stream is open the mixer does not run, so what plays waits where it is
   rather than being lost. */
void look(Output *o, Keeper *k)
{
    const bool want = mixer_has_voices(o->mixer);
    if (o->open && o->open->lost())
        lose_stream(o, k); /* the server went away, or the device did */
    k->wait = kWatchInterval;
    if (want) {
        if (o->open && k->on_fallback && native_is_back(o, k)) {
            close_stream(o, k);
            k->next_try = {};
            try_open(o, k);
            // A server that answers but takes no stream must not cost a
            // gap every probe.
            if (k->on_fallback)
                k->next_probe = Clock::now() + kProbeBackoff;
        }
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
    if (o->open && k->running)
        k->wait = std::min(k->wait, std::min(o->open->follow_mixer(), until_next_end(o->mixer)));
    o->running.store(k->running, std::memory_order_relaxed);
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
        events_signal(&o->mixer->events);
        preload_decoder(o, &k);
        if (o->open)
            o->open->wait(k.wait);
        else
            wait_for_wake(o->wake_fd, k.wait);
    }
    if (o->open)
        close_stream(o, &k);
}

/* SONA_OUTPUT names one driver to use alone (*only); unset or empty,
   every driver in the table's order (*only null).  False when it names
   none: a mistyped name must not leave the program silent without a word. */
bool forced_driver(const DriverEntry **only)
{
    const char *forced = std::getenv("SONA_OUTPUT");
    *only = forced && *forced ? driver_named(forced) : nullptr;
    return !forced || !*forced || *only;
}

void add_drivers(Output *o, const DriverEntry *only)
{
    const DriverContext context{o->mixer, o->wake_fd, &o->write_ahead};
    for (const DriverEntry &entry : kDrivers)
        if (!only || only == &entry)
            o->drivers.emplace_back(entry.make(context), !only && entry.fallback);
}

/* A numbered device must exist, which only a server can say: Init finds
   it first, with the first driver that opens it. */
int32_t open_numbered(Output *o)
{
    for (auto &[driver, fallback] : o->drivers) {
        const Opened result = open_driver(o, driver.get());
        if (result == Opened::kYes)
            return SONA_OK;
        if (result == Opened::kNoDevice)
            break;
    }
    return SONA_ERROR_DEVICE;
}

} // namespace

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
    const DriverEntry *only = nullptr;
    if (!forced_driver(&only))
        return SONA_ERROR_PARAM;
    OutputPtr o(new (std::nothrow) Output(mixer));
    if (!o)
        return SONA_ERROR_MEMORY;
    o->device = device;
    o->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (o->wake_fd < 0)
        return SONA_ERROR_MEMORY;
    if (device == 0) {
        o->drivers.emplace_back(make_silent_driver({mixer, o->wake_fd, nullptr}), false);
        open_driver(o.get(), o->drivers.front().first.get());
    } else {
        add_drivers(o.get(), only);
        // Until a driver has opened, rings are made for one that writes
        // ahead: should it be the one, streams made meanwhile fit it.
        o->write_ahead.begin();
        if (device >= 2 && open_numbered(o.get()) != SONA_OK)
            return SONA_ERROR_DEVICE;
    }
    mixer->listener = {on_changed, o.get()};
    *out = std::move(o);
    return SONA_OK;
}

void output_start(Output *o, Pool *pool)
{
    o->pool = pool;
    o->keeper = std::thread(keeper_main, o);
}

bool output_running(Output *o)
{
    return o->running.load(std::memory_order_relaxed);
}

} // namespace sona
