// Single-producer single-consumer ring of float frames.
//
// Each side stores only its own positions and loads the other's.  A side
// loads the other's position with acquire so that the data the other side
// wrote (or finished with) before its release store is visible before we
// touch the frames; it stores its own with release so that its work on the
// frames happens-before the other side sees the new position.  Loading one's
// own position needs no ordering: only this thread ever stores it.  The
// producer's bound is keep_pos, not read_pos: the consumer may go back and
// read again whatever it has not let go of.
#include "ring.h"

#include <algorithm>
#include <new>

namespace sona {

bool ring_init(Ring *ring, uint32_t capacity_frames, uint32_t slots)
{
    if (capacity_frames == 0 || (capacity_frames & (capacity_frames - 1)) != 0 || slots == 0)
        return false;
    ring_free(ring);
    ring->data = new (std::nothrow) float[size_t(capacity_frames) * slots];
    if (!ring->data)
        return false;
    ring->capacity_frames = capacity_frames;
    ring->slots = slots;
    ring->write_pos.store(0, std::memory_order_relaxed);
    ring->read_pos.store(0, std::memory_order_relaxed);
    ring->keep_pos.store(0, std::memory_order_relaxed);
    return true;
}

void ring_free(Ring *ring)
{
    delete[] ring->data;
    ring->data = nullptr;
}

bool ring_grow(Ring *ring, uint32_t capacity_frames)
{
    if (capacity_frames <= ring->capacity_frames)
        return true;
    if ((capacity_frames & (capacity_frames - 1)) != 0)
        return false;
    float *data = new (std::nothrow) float[size_t(capacity_frames) * ring->slots];
    if (!data)
        return false;
    // Relaxed: neither side runs.  Each frame kept goes where its
    // position falls in the larger ring.
    const uint64_t written = ring->write_pos.load(std::memory_order_relaxed);
    const uint32_t old_mask = ring->capacity_frames - 1, new_mask = capacity_frames - 1;
    for (uint64_t pos = ring->keep_pos.load(std::memory_order_relaxed); pos < written;) {
        const uint32_t from = uint32_t(pos & old_mask), to = uint32_t(pos & new_mask);
        const uint32_t n = uint32_t(std::min<uint64_t>(
            {written - pos, ring->capacity_frames - from, capacity_frames - to}));
        std::copy_n(ring->data + size_t(from) * ring->slots, size_t(n) * ring->slots,
                    data + size_t(to) * ring->slots);
        pos += n;
    }
    delete[] ring->data;
    ring->data = data;
    ring->capacity_frames = capacity_frames;
    return true;
}

static uint32_t ring_spans_at(const Ring *ring, uint64_t pos, uint32_t frames, RingSpan spans[2])
{
    const uint32_t mask = ring->capacity_frames - 1;
    const uint32_t start = uint32_t(pos & mask);
    const uint32_t first = std::min(frames, ring->capacity_frames - start);
    spans[0] = {ring->data + size_t(start) * ring->slots, first};
    spans[1] = {ring->data, frames - first};
    return frames;
}

uint32_t ring_write_space(const Ring *ring)
{
    const uint64_t w = ring->write_pos.load(std::memory_order_relaxed);
    const uint64_t kept = ring->keep_pos.load(std::memory_order_acquire);
    return ring->capacity_frames - uint32_t(w - kept);
}

uint32_t ring_write_spans(Ring *ring, uint32_t frames, RingSpan spans[2])
{
    frames = std::min(frames, ring_write_space(ring));
    return ring_spans_at(ring, ring->write_pos.load(std::memory_order_relaxed), frames, spans);
}

void ring_write_commit(Ring *ring, uint32_t frames)
{
    const uint64_t w = ring->write_pos.load(std::memory_order_relaxed);
    ring->write_pos.store(w + frames, std::memory_order_release);
}

uint32_t ring_read_available(const Ring *ring)
{
    const uint64_t w = ring->write_pos.load(std::memory_order_acquire);
    const uint64_t r = ring->read_pos.load(std::memory_order_relaxed);
    return uint32_t(w - r);
}

uint32_t ring_read_spans(const Ring *ring, uint32_t frames, RingSpan spans[2])
{
    frames = std::min(frames, ring_read_available(ring));
    return ring_spans_at(ring, ring->read_pos.load(std::memory_order_relaxed), frames, spans);
}

void ring_read_commit(Ring *ring, uint32_t frames)
{
    const uint64_t r = ring->read_pos.load(std::memory_order_relaxed);
    ring->read_pos.store(r + frames, std::memory_order_release);
}

void ring_read_skip_to(Ring *ring, uint64_t pos)
{
    const uint64_t w = ring->write_pos.load(std::memory_order_acquire);
    const uint64_t r = ring->read_pos.load(std::memory_order_relaxed);
    if (pos > w)
        pos = w;
    if (pos > r)
        ring->read_pos.store(pos, std::memory_order_release);
}

void ring_read_rewind(Ring *ring, uint64_t pos)
{
    const uint64_t kept = ring->keep_pos.load(std::memory_order_relaxed);
    ring->read_pos.store(pos > kept ? pos : kept, std::memory_order_release);
}

void ring_let_go(Ring *ring, uint64_t pos)
{
    const uint64_t r = ring->read_pos.load(std::memory_order_relaxed);
    const uint64_t kept = ring->keep_pos.load(std::memory_order_relaxed);
    if (pos > r)
        pos = r;
    if (pos > kept)
        ring->keep_pos.store(pos, std::memory_order_release);
}

} // namespace sona
