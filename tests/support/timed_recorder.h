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

/* When recorded frames were played, on the steady clock
   (std::chrono::steady_clock, CLOCK_MONOTONIC), in ms, from the server's
   accounts: each says that at about `at_ms` recorded frame f was played
   at origin_ms + f / rate.  Only the accounts of the second around a
   moment count for it, so that a cycle the recorder lost (a monitor that
   overran, on a loaded machine) moves only what comes after it. */
/* Now on the clock TimeBase counts in. */
double now_ms();

class TimeBase {
public:
    struct Account {
        double at_ms, origin_ms;
    };
    explicit TimeBase(std::vector<Account> accounts);
    size_t accounts() const { return accounts_.size(); }
    /* How far single accounts stray from those around them: all but the
       one in twenty that strays most, as a recorder held up for a moment
       (a busy machine) takes the fragments that came meanwhile late, and
       the median of those around a moment does not follow them. */
    double spread_ms() const { return spread_ms_; }
    double played_ms(double frame) const;
    /* The recorded frame played at `ms`. */
    double frame_at(double ms) const;

private:
    double origin_near(double ms) const;

    std::vector<Account> accounts_; /* by time */
    double spread_ms_ = 0;
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
