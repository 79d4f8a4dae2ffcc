/*
 * driver.h - the seam between the keeper and the drivers: each driver a
 * way to the sound server behind one small interface, so that keeper.cpp
 * states its policy once (connect on its own thread, pause and then close
 * while nothing plays, connect again after a loss, fall back in the
 * table's order), and the table of drivers.  Offered to the keeper and to
 * each driver; a driver sees the mix only through mix/render.h, and one
 * that writes ahead through output/write_ahead.h.
 *
 * Every call below is made on the keeper, or, for a numbered device, on
 * the API thread in SONA_Init before the keeper starts.  Where a driver
 * renders on a thread of its own or of its server's (SDL's callback,
 * PipeWire's data thread, the silent clock), that thread only ever calls
 * mixer_render.
 */
#ifndef SONA_OUTPUT_DRIVER_H
#define SONA_OUTPUT_DRIVER_H

#include "mix/render.h"

#include <chrono>
#include <iterator>
#include <memory>
#include <string>

namespace sona {

class WriteAhead;

using Milliseconds = std::chrono::milliseconds;
/* Nothing to look at until woken. */
inline constexpr Milliseconds kForever = std::chrono::hours(1);

enum class Opened {
    kYes,
    kNoServer,  /* the library is there, its server does not answer: try again */
    kNoLibrary, /* the client library cannot be loaded: no use trying again */
    kNoDevice,  /* there is no such numbered device */
};

class Driver {
public:
    virtual ~Driver() = default; /* closes whatever is open */

    /* Connects and opens a paused stream on `device` (1: the server's
       default sink; n >= 2: its n-th sink) at the mixer's rate.  The
       stream has the sink's own channel count where the mixer folds for
       it (else the next smaller it folds for), in explicit positions, so
       that the server never remixes; the mixer is set up for that count
       before anything is pulled. */
    virtual Opened open(int32_t device) = 0;
    virtual void close() = 0;
    virtual void run(bool running) = 0;
    /* The server or the device went away: the stream must be opened again. */
    virtual bool lost() = 0;
    /* While another driver plays (this one closed): whether this one's
       server answers now and has `device`, so that open would succeed.
       Opens no stream and touches not the mix; within kServerBound. */
    virtual bool answers(int32_t device) = 0;
    /* Waits for the driver's server, for at most `timeout`, and serves what
       it asks (its callbacks run here); returns early, the output's
       wake-up descriptor drained, when the output is woken. */
    virtual void wait(Milliseconds timeout) = 0;
    /* Whether the driver writes far ahead of what is heard (the keeper
       then begins a WriteAhead for it before it opens). */
    virtual bool writes_ahead() const { return false; }
    /* After each wait while the stream runs: what the driver does between
       its server's calls.  Returns how soon it wants to be called again. */
    virtual Milliseconds follow_mixer() { return kForever; }
};

/* What a driver is made from: the mix, the output's wake-up descriptor
   (an eventfd the API thread writes to) and, for one that writes ahead,
   the mix's write-ahead interface. */
struct DriverContext {
    Mixer *mixer;
    int wake_fd;
    WriteAhead *write_ahead;
};

/* The drivers, in the order they are tried.  The names, and a synonym
   where a driver has one, are what SONA_OUTPUT takes, in any case; sona.h
   lists them (a test holds it to this table) and the manual page is made
   from it (desktop/CMakeLists.txt reads the entries, one a line, as they
   stand).  A fallback is tried only when no other can be loaded, or none
   has answered for a while. */
struct DriverEntry {
    const char *name;
    const char *synonym; /* nullptr: none */
    std::unique_ptr<Driver> (*make)(const DriverContext &context);
    bool fallback;
};
extern const DriverEntry kDrivers[3];
/* The entry SONA_OUTPUT's value names, or nullptr when it names none. */
const DriverEntry *driver_named(const char *name);
/* Device 0's: no server, a clock of the library's own. */
std::unique_ptr<Driver> make_silent_driver(const DriverContext &context);

/* ---- shared by the drivers -------------------------------------------- */

/* The program's own name, for the desktop's mixer to show. */
std::string program_name();
/* The channel count a stream opens with for a sink of `sink_channels`:
   the sink's own where the mixer folds for it, else the next smaller it
   folds for.  Unknown (0 or less): 5.1, placed by the server. */
uint32_t channels_for(int sink_channels);
/* A timeout as a count of `Unit`s for a C call that takes an int,
   clamped: a long one must not overflow into a negative ("for ever"). */
template <class Unit, class Rep, class Period>
int timeout_count(std::chrono::duration<Rep, Period> timeout)
{
    const auto n = std::chrono::duration_cast<Unit>(timeout).count();
    return n < 0 ? 0 : n > INT32_MAX ? INT32_MAX : int(n);
}
/* Waits until the descriptor is readable or `timeout` passes, then drains it. */
void wait_for_wake(int wake_fd, Milliseconds timeout);
void drain_wake(int wake_fd);
/* A client library's calls, resolved at run time into `calls`: a struct
   of `count` function pointers in the order of `names`, each name with
   `prefix` before it.  False when the library or any call is missing.  The
   library is never unloaded: the client libraries keep per-process state
   (threads, memory pools, atfork handlers) that must not lose its code.
   Each driver calls it once, from a function-local static. */
bool load_calls(const char *soname, const char *prefix, const char *const *names, size_t count,
                void *calls, size_t calls_size);
/* For a driver's X-macro list of calls: the names load_calls takes. */
#define SONA_CALL_NAME(name) #name,

/* The bound on every wait for a server: a local server answers in a
   millisecond, a hung one must not hold the keeper. */
inline constexpr auto kServerBound = std::chrono::seconds(1);

/* The stream's name and its role in the desktop's mixer. */
inline constexpr const char *kStreamName = "Playback";

} // namespace sona

#endif /* SONA_OUTPUT_DRIVER_H */
