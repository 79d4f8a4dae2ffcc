// The output's drivers: each a way to the sound server behind one small
// interface, so that output.cpp states its policy once: connect on the
// output's own thread, pause and then close while nothing plays, connect
// again after a loss, and, for a driver that writes far ahead of what is
// heard, write again over what is queued whenever something heard changes.
//
// Every call below is made on the output's own thread (the keeper), or,
// for a numbered device, on the API thread in SONA_Init before the keeper
// starts.  Where a driver renders on a thread of its server's (SDL's
// callback), that thread only ever calls mixer_render.
#pragma once

#include "sona_internal.h"

#include <chrono>
#include <iterator>
#include <memory>
#include <string>

namespace sona {

enum class Opened {
    kYes,
    kNoServer,  /* the library is there, its server does not answer: try again */
    kNoLibrary, /* the client library cannot be loaded: no use trying again */
    kNoDevice,  /* there is no such numbered device */
};

class Driver {
public:
    virtual ~Driver() = default; /* closes whatever is open */
    virtual const char *name() const = 0;

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
    /* Serves the driver's events, for at most `timeout`; returns early, its
       wake-up descriptor drained, when the output is woken. */
    virtual void wait(std::chrono::milliseconds timeout) = 0;

    /* A deep-buffered driver writes far ahead of what is heard, and writes
       again over it from a mixer position on (having rewound the mixer
       there, mixer_rewind).  `exact` asks the server where it plays; else
       an estimate from what the driver last learnt, never behind it by
       more than the server's own buffer.  Positions are the mixer's. */
    virtual bool deep() const { return false; }
    virtual bool heard_position(bool exact, uint64_t *position)
    {
        (void)exact;
        (void)position;
        return false;
    }
    /* How far past the heard position a rewrite must start, so that no
       part of it is already on its way out. */
    virtual uint32_t rewrite_margin_frames() const { return 0; }
    virtual void rewrite_from(uint64_t position) { (void)position; }
};

/* The drivers, each over the mixer and the output's wake-up descriptor
   (an eventfd the API thread writes to). */
std::unique_ptr<Driver> make_silent_driver(Mixer *m, int wake_fd);
std::unique_ptr<Driver> make_sdl_driver(Mixer *m, int wake_fd);
std::unique_ptr<Driver> make_pipewire_driver(Mixer *m, int wake_fd);
std::unique_ptr<Driver> make_pulse_driver(Mixer *m, int wake_fd);

/* ---- shared by the drivers -------------------------------------------- */

/* The program's own name, for the desktop's mixer to show. */
std::string program_name();
/* The channel count a stream opens with for a sink of `sink_channels`:
   the sink's own where the mixer folds for it, else the next smaller it
   folds for.  Unknown (0 or less): 5.1, placed by the server. */
uint32_t channels_for(int sink_channels);
/* Waits until the descriptor is readable or `timeout` passes, then drains it. */
void wait_for_wake(int wake_fd, std::chrono::milliseconds timeout);
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
