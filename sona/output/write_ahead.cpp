// Writing ahead: the mix's history and deeper rings, behind the interface
// the libpulse driver uses (write_ahead.h).
#include "output/write_ahead.h"

#include "mix/mixer.h"

namespace sona {

namespace {

/* A ring that holds what was written and not yet heard as well as what
   plays: a second's frames, rounded up to a power of two, of which the
   history reaches back three quarters of a second. */
constexpr uint32_t ring_frames(uint32_t rate_hz)
{
    uint32_t frames = kPairRingFrames;
    while (frames < rate_hz)
        frames *= 2;
    return frames;
}
constexpr uint32_t reach_frames(uint32_t rate_hz)
{
    return rate_hz * 3 / 4;
}
static_assert(ring_frames(44100) == 65536,
              "SONA_ChannelSetAttributes' rate-change delay through the pulse output in sona.h");

} // namespace

bool WriteAhead::begin()
{
    const uint32_t frames = ring_frames(mixer_->rate_hz);
    // Relaxed: sizes to choose when the next stream opens.
    mixer_->pair_ring_frames.store(frames, std::memory_order_relaxed);
    mixer_->wide_ring_frames.store(frames, std::memory_order_relaxed);
    return history_keep(mixer_, reach_frames(mixer_->rate_hz));
}

void WriteAhead::end()
{
    if (!history_kept(mixer_))
        return;
    mixer_heard(mixer_, kNoPosition);
    history_forget(mixer_);
    heard_ = kNoPosition;
    mixer_->pair_ring_frames.store(kPairRingFrames, std::memory_order_relaxed);
    mixer_->wide_ring_frames.store(kRingFrames, std::memory_order_relaxed);
}

void WriteAhead::make_room()
{
    // Relaxed: a count to size by.  Voices queued after this load join a
    // render that finds too little room; their marks push out the oldest
    // until the next call makes more.
    history_fit(mixer_, mixer_->active.load(std::memory_order_relaxed));
}

WriteAhead::Pending WriteAhead::pending()
{
    // Relaxed: both are hints to look again; what they stand for is read
    // through atomics of its own.
    const uint32_t changes = mixer_->changes.load(std::memory_order_relaxed);
    starved_ = mixer_->starved.exchange(false, std::memory_order_relaxed) || starved_;
    return {changes != seen_changes_, starved_, changes};
}

void WriteAhead::done(const Pending &written)
{
    seen_changes_ = written.changes;
    starved_ = false;
}

uint64_t WriteAhead::written() const
{
    return mixer_->position;
}

uint64_t WriteAhead::rewind(uint64_t position)
{
    return history_rewind(mixer_, position);
}

void WriteAhead::heard(uint64_t position)
{
    heard_ = position;
    mixer_heard(mixer_, position);
}

void WriteAhead::lost()
{
    if (heard_ != kNoPosition)
        history_rewind(mixer_, heard_);
}

} // namespace sona
