// The decode pool: a few threads that keep every session's ring topped up,
// carry out restarts and rate changes, and release sessions the mixer has
// finished with.  A session is worked on by one thread at a time (its busy
// flag, under the pool mutex); the mutex also orders a session's producer
// side across the threads that take turns at it.
//
// What there is to do lives mostly in atomics that others change without
// the mutex (a restart asked, a rate, a stream counted active, a ring
// drained), so a worker cannot wait on them as its condition.  Its
// condition is the count of kicks instead, raised under the mutex by
// whoever changed something: a worker that read the count before it
// looked, and finds it raised when it is about to sleep, looks again.
#include "pool.h"

#include "mix/mixer.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace sona {

struct Pool {
    const Mixer *mixer = nullptr;
    bool manual = false;
    std::mutex mutex;
    std::condition_variable wake;    /* workers sleep here */
    std::condition_variable settled; /* pool_wait_idle sleeps here */
    std::vector<Session *> sessions;
    std::vector<std::thread> threads;
    size_t next = 0; /* round robin, so no session starves */
    uint64_t kicks = 0; /* raised with each kick; guarded by the mutex, as is all above */
    bool quit = false;
};

namespace {

/* While something plays, rings drain by themselves and nobody tells us
   (the mixer may not make system calls), so worker 0 sets itself an alarm
   for when the emptiest ring would be down to kLowFrames.  A wake-up costs
   more than the decoding it does (the decoder's tables have gone cold), so
   a look comes as late as is safe. */
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr auto kShortestLook = std::chrono::milliseconds(10);
/* Also how late an ended session is released. */
constexpr auto kLongestLook = std::chrono::milliseconds(250);

enum class Work { kNone, kRelease, kDecode };

Work work_for(const Session *s)
{
    if (session_ended(s))
        return Work::kRelease;
    uint32_t restarts = 0;
    uint64_t frame = 0;
    if (session_restart_asked(s, &restarts, &frame))
        return Work::kDecode;
    // Relaxed: a self-contained value, stored before the kick that woke us.
    if (s->play_rate_hz.load(std::memory_order_relaxed) != s->applied_rate_hz)
        return Work::kDecode;
    if (!s->decoder_done && ring_write_space(&s->ring) >= kRefillFrames)
        return Work::kDecode;
    return Work::kNone;
}

/* A session no worker holds, nor the mixer reads: its ring grows to the
   sizes' frames for its layout. */
void fit_ring(Session *s, RingSizes sizes)
{
    ring_grow(&s->ring, s->ring.slots == kPairSlots ? sizes.pair_frames : sizes.wide_frames);
}

void release_session(Session *s)
{
    s->decoder.reset(); /* closes the file */
    ring_free(&s->ring);
    session_unref(s);
}

/* Serves a restart: to `frame`, at the rate the session plays at.  A
   source that cannot seek from where it is is opened again, and a fresh
   decoder always gets there. */
void serve_restart(Session *s, uint32_t restarts, uint64_t frame)
{
    if (s->decoder && !decoder_seek(s->decoder.get(), frame))
        s->decoder.reset();
    if (!s->decoder) {
        DecoderPtr fresh;
        if (decoder_open(s->source, s->out_rate, &fresh) == SONA_OK) {
            decoder_set_play_rate(fresh.get(), s->applied_rate_hz);
            if (decoder_seek(fresh.get(), frame))
                s->decoder = std::move(fresh);
        }
    }
    s->decoder_done = !s->decoder;
    session_restart_served(s, restarts, frame, s->decoder_done);
}

/* Runs with s->busy set and the pool mutex not held.  A new rate first,
   so that a restart asked with it seeks at that rate. */
void decode(Session *s)
{
    const uint32_t rate = s->play_rate_hz.load(std::memory_order_relaxed);
    if (rate != s->applied_rate_hz) {
        if (s->decoder)
            decoder_set_play_rate(s->decoder.get(), rate);
        s->applied_rate_hz = rate;
    }
    uint32_t restarts = 0;
    uint64_t frame = 0;
    if (session_restart_asked(s, &restarts, &frame))
        serve_restart(s, restarts, frame);
    if (!s->decoder_done && decoder_fill(s->decoder.get(), &s->ring) == DecodeResult::kEnded) {
        s->decoder_done = true;
        session_data_ended(s);
    }
}

/* One unit of work, if there is any; true if something was done. */
bool run_one(Pool *p, std::unique_lock<std::mutex> &lock)
{
    const size_t n = p->sessions.size();
    for (size_t k = 0; k < n; ++k) {
        const size_t i = (p->next + k) % n;
        Session *s = p->sessions[i];
        if (s->busy)
            continue;
        const Work w = work_for(s);
        if (w == Work::kNone)
            continue;
        p->next = i + 1;
        if (w == Work::kRelease) {
            p->sessions[i] = p->sessions.back();
            p->sessions.pop_back();
            lock.unlock();
            release_session(s);
        } else {
            s->busy = true;
            lock.unlock();
            decode(s);
        }
        lock.lock();
        if (w == Work::kDecode)
            s->busy = false;
        return true;
    }
    return false;
}

bool pool_has_work(const Pool *p)
{
    for (const Session *s : p->sessions)
        if (s->busy || work_for(s) != Work::kNone)
            return true;
    return false;
}

size_t sessions_wanting_work(const Pool *p)
{
    size_t n = 0;
    for (const Session *s : p->sessions)
        n += !s->busy && work_for(s) != Work::kNone;
    return n;
}

/* Runs with the pool mutex held.  A session another worker holds is
   looked at again soon: only worker 0 keeps the time, so the one that
   holds it, once done, goes to sleep without a look to come, and what it
   left (the new place of a seek, decoded as far as the stale frames left
   room) must not wait for the longest look. */
std::chrono::microseconds next_look(const Pool *p)
{
    const uint32_t rate = p->mixer->rate_hz;
    // A manual output drains as fast as its caller renders: no clock to go by.
    if (p->manual || rate == 0)
        return kPollInterval;
    uint64_t frames = UINT64_MAX;
    for (const Session *s : p->sessions) {
        if (s->busy) {
            frames = 0;
            continue;
        }
        // Relaxed: the last worker on it let go under our mutex, and the
        // mixer's position only goes into an estimate.
        // What a seek or a restart made stale is no reserve: the mixer
        // drops it once faded out, and only then is there room to decode
        // the new place into, of which there may be little so far.
        const uint64_t fresh = std::max(s->ring.read_pos.load(std::memory_order_relaxed),
                                        s->discard_from.load(std::memory_order_relaxed));
        const uint64_t written = s->ring.write_pos.load(std::memory_order_relaxed);
        const uint64_t held = written > fresh ? written - fresh : 0;
        // A session whose data is all in its ring needs a look when it has
        // played out, to be released.
        const uint64_t low = s->decoder_done ? 0 : ring_low_frames(s->ring.capacity_frames);
        frames = std::min(frames, held > low ? held - low : 0);
    }
    const auto until = std::chrono::microseconds(
        std::min<uint64_t>(frames, UINT64_MAX / 1000000) * 1000000 / rate);
    return std::clamp<std::chrono::microseconds>(until, kShortestLook, kLongestLook);
}

/* Runs with the pool mutex held: whatever waits wakes and looks again. */
void kick_locked(Pool *p)
{
    ++p->kicks;
    p->wake.notify_all();
}

/* Worker 0 polls while something plays; the others sleep until there is
   more than one session to work on, so an idle or light load wakes one
   thread per poll, not all of them. */
void worker_main(Pool *p, unsigned index)
{
    std::unique_lock<std::mutex> lock(p->mutex);
    while (!p->quit) {
        if (sessions_wanting_work(p) > 1) { /* share the pass */
            ++p->kicks;
            p->wake.notify_one();
        }
        // The count first, then what it guards: a kick after this read is
        // seen below however the pass went.  A kick made before it raised
        // `active` before it took the mutex we hold, so the load sees that.
        const uint64_t kicks = p->kicks;
        // Acquire pairs with the mixer's release when a voice leaves, so
        // if nothing plays now, every ended bit is visible to this pass and
        // no finished session is left unreleased.
        const bool playing = p->mixer->active.load(std::memory_order_acquire) > 0;
        bool did = false;
        while (!p->quit && run_one(p, lock))
            did = true;
        p->settled.notify_all();
        const auto kicked = [p, kicks] { return p->quit || p->kicks != kicks; };
        if (did || kicked())
            continue;
        if (playing && index == 0)
            p->wake.wait_for(lock, next_look(p), kicked);
        else
            p->wake.wait(lock, kicked);
    }
}

} // namespace

void pool_stop(Pool *p)
{
    {
        std::lock_guard<std::mutex> lock(p->mutex);
        p->quit = true;
        p->wake.notify_all();
    }
    for (std::thread &t : p->threads)
        t.join();
    p->threads.clear();
}

void PoolDeleter::operator()(Pool *p) const
{
    pool_stop(p);
    for (Session *s : p->sessions)
        release_session(s);
    delete p;
}

PoolPtr pool_start(const Mixer *mixer, bool manual, unsigned threads)
{
    PoolPtr p(new Pool);
    p->mixer = mixer;
    p->manual = manual;
    for (unsigned i = 0; i < threads; ++i)
        p->threads.emplace_back(worker_main, p.get(), i);
    return p;
}

void pool_add(Pool *p, Session *s)
{
    std::lock_guard<std::mutex> lock(p->mutex);
    // Not yet the mixer's: its ring grows now if the output asked for
    // more since the session was opened, and the pool did not see it.
    fit_ring(s, mixer_ring_sizes(p->mixer));
    p->sessions.push_back(s);
    ++p->kicks;
    p->wake.notify_one(); /* one session: one worker */
}

void pool_kick(Pool *p)
{
    std::lock_guard<std::mutex> lock(p->mutex);
    kick_locked(p);
}

void pool_fit_rings(Pool *p, RingSizes sizes)
{
    std::unique_lock<std::mutex> lock(p->mutex);
    // A worker takes a session only under the mutex: once none holds one,
    // none will while we hold it.
    const auto none_busy = [p] {
        return std::none_of(p->sessions.begin(), p->sessions.end(), [](const Session *s) { return s->busy; });
    };
    while (!none_busy())
        p->settled.wait_for(lock, kPollInterval);
    for (Session *s : p->sessions)
        fit_ring(s, sizes);
    kick_locked(p); /* the room is there to fill now, before the driver writes ahead */
}

void pool_wait_idle(Pool *p)
{
    std::unique_lock<std::mutex> lock(p->mutex);
    // Rather than wake a worker and sleep until it is done, do the work
    // here: the caller wants it done now, and a hand-over per ring costs
    // two context switches.  Sessions a worker holds are waited for.
    while (!p->quit) {
        if (run_one(p, lock))
            continue;
        if (!pool_has_work(p))
            break;
        // The timeout only re-checks: the mixer changes what there is to
        // do (draining rings, ending sessions) without telling us.
        p->settled.wait_for(lock, kPollInterval);
    }
    p->settled.notify_all();
}

} // namespace sona
