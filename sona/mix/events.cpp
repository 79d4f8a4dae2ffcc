// The event queue between the mixer and the caller (events.h).
#include "mix/events.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <new>

namespace sona {

namespace {

void raise(int fd)
{
    const uint64_t one = 1;
    (void)!::write(fd, &one, sizeof one);
}

} // namespace

bool events_init(EventQueue *q)
{
    q->slots.reset(new (std::nothrow) Event[EventQueue::kCapacity]);
    q->fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return q->slots && q->fd >= 0;
}

EventQueue::~EventQueue()
{
    if (fd >= 0)
        ::close(fd);
}

void events_push(EventQueue *q, Event e)
{
    const uint32_t tail = q->tail.load(std::memory_order_relaxed);
    // Acquire: the consumer is done with the slot before we reuse it.
    if (tail - q->head.load(std::memory_order_acquire) >= EventQueue::kCapacity) {
        q->lost.store(true, std::memory_order_relaxed); /* published by the tail below */
        return;
    }
    q->slots[tail % EventQueue::kCapacity] = e;
    // Release: the slot is written before the consumer sees it.
    q->tail.store(tail + 1, std::memory_order_release);
}

void events_signal(EventQueue *q)
{
    // Acquire: only a count to compare; the consumer reads the slots
    // through its own acquire.
    const uint32_t tail = q->tail.load(std::memory_order_acquire);
    const bool lost = q->lost.load(std::memory_order_relaxed);
    if (tail == q->signalled && !lost)
        return;
    q->signalled = tail;
    raise(q->fd);
}

bool events_pop(EventQueue *q, Event *e)
{
    const uint32_t head = q->head.load(std::memory_order_relaxed);
    if (head != q->tail.load(std::memory_order_acquire)) {
        *e = q->slots[head % EventQueue::kCapacity];
        q->head.store(head + 1, std::memory_order_release);
        return true;
    }
    if (q->lost.exchange(false, std::memory_order_relaxed)) {
        *e = {0, -1};
        return true;
    }
    // Drained: the descriptor goes quiet, unless an event came meanwhile,
    // which the signaller may already have counted as signalled.
    uint64_t count;
    (void)!::read(q->fd, &count, sizeof count);
    if (head != q->tail.load(std::memory_order_acquire))
        raise(q->fd);
    return false;
}

} // namespace sona
