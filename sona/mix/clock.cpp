// Where streams are heard (clock.h), over sequence locks.
#include "mix/clock.h"
#include "mix/render.h"

#include <algorithm>
#include <chrono>

namespace sona {


void clock_publish(StreamClock *c, const ClockReading &r)
{
    seq_write(c->seq, [&] {
        c->out.store(r.out, std::memory_order_release);
        c->frame.store(r.frame, std::memory_order_release);
        c->floor.store(r.floor, std::memory_order_release);
        c->limit.store(r.limit, std::memory_order_release);
        c->pass.store(r.pass, std::memory_order_release);
    });
}

ClockReading clock_read(const StreamClock *c)
{
    ClockReading r;
    seq_read(c->seq, [&] {
        r.out = c->out.load(std::memory_order_acquire);
        r.frame = c->frame.load(std::memory_order_acquire);
        r.floor = c->floor.load(std::memory_order_acquire);
        r.limit = c->limit.load(std::memory_order_acquire);
        r.pass = c->pass.load(std::memory_order_acquire);
    });
    return r;
}

uint64_t clock_frame_at(const ClockReading &r, uint64_t heard)
{
    // Before `out` only within the run: a rewind republishes mid-run.
    const uint64_t frame = heard >= r.out ? r.frame + (heard - r.out)
                                          : r.frame - std::min(r.frame, r.out - heard);
    return std::clamp(frame, r.floor, std::max(r.floor, r.limit));
}

void heard_publish(HeardClock *c, uint64_t position, int64_t at_ns)
{
    seq_write(c->seq, [&] {
        c->position.store(position, std::memory_order_release);
        c->at_ns.store(at_ns, std::memory_order_release);
    });
}

uint64_t heard_now(const HeardClock *c, uint64_t rendered, uint32_t rate_hz)
{
    uint64_t position = 0;
    int64_t at_ns = 0;
    seq_read(c->seq, [&] {
        position = c->position.load(std::memory_order_acquire);
        at_ns = c->at_ns.load(std::memory_order_acquire);
    });
    if (at_ns == 0)
        return rendered;
    // At most an hour on: an output told nothing for longer is not running.
    const int64_t ran_ns = std::clamp<int64_t>(steady_now_ns() - at_ns, 0, 3600 * int64_t(1000000000));
    const uint64_t ran = uint64_t(ran_ns) * rate_hz / 1000000000u;
    return std::min(position + ran, std::max(position, rendered));
}

int64_t steady_now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace sona
