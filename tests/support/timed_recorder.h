// A recorder of a sink's monitor that also knows when the sink played each
// frame it recorded, by the server's own clock: for tests that time what
// is heard against the moment a call was made.  timed_recorder.cpp says
// how, and how well.
#pragma once

#include "sound_server.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sound {

/* When recorded frames were played: frame f at origin_ms + f / rate, on
   the steady clock (std::chrono::steady_clock, CLOCK_MONOTONIC), in ms. */
struct TimeBase {
    double origin_ms = 0;
    /* How far the server's single accounts stray from origin_ms (the
       largest of the central 98 %), and how many there were. */
    double spread_ms = 0;
    size_t accounts = 0;
    double played_ms(double frame) const;
    /* The recorded frame played at `ms`. */
    double frame_at(double ms) const;
};

/* Records a sink's monitor in this process, as interleaved float32 at
   44.1 kHz, from the moment it is made.  On PipeWire it also plays a
   click on the sink's last channel (rear right on 5.1) every fourth graph
   cycle, which what is recorded on that channel then holds: a test must
   leave that channel alone.  The server is the one this process uses
   (Server::use_in_this_process). */
class TimedRecorder {
public:
    TimedRecorder(Kind kind, const Sink &sink);
    ~TimedRecorder();
    TimedRecorder(const TimedRecorder &) = delete;
    TimedRecorder &operator=(const TimedRecorder &) = delete;

    /* True once the first samples are in, within 10 s; else why not. */
    bool ok(std::string *why) const;
    size_t frames() const;
    std::vector<float> copy(size_t first, size_t count) const;
    /* One channel of everything recorded so far. */
    std::vector<float> channel(int ch) const;
    /* When the frames recorded so far were played, by the server's
       accounts from `since_ms` on (the steady clock's, as TimeBase's);
       nothing (accounts 0) while it has not said. */
    TimeBase time_base(double since_ms) const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace sound
