/*
 * events.h - the states streams enter by themselves (ended, starved,
 * playing again), on their way from the mixer to the caller
 * (events.cpp).  The mixer pushes without a system call; a thread of the
 * library's own (the keeper, or the caller of the manual output's
 * render) signals the descriptor; the caller takes them with
 * SONA_EventNext.  Offered to the mixer, the keeper and the SONA_ calls.
 */
#ifndef SONA_MIX_EVENTS_H
#define SONA_MIX_EVENTS_H

#include "sona_internal.h"

#include <atomic>
#include <memory>

namespace sona {

struct Event {
    uint32_t handle;
    int32_t state; /* a SONA_STATE_ code */
};

/* Single producer (whichever thread renders, or the keeper while nothing
   renders), single consumer (the API thread), fixed capacity. */
struct EventQueue {
    ~EventQueue();
    static constexpr uint32_t kCapacity = 256; /* sona.h states it */
    std::unique_ptr<Event[]> slots;
    alignas(kCacheLine) std::atomic<uint32_t> tail{0}; /* stored by the producer */
    alignas(kCacheLine) std::atomic<uint32_t> head{0}; /* stored by the consumer */
    std::atomic<bool> lost{false}; /* an event found the queue full */
    int fd = -1;                   /* an eventfd, readable while events wait */
    uint32_t signalled = 0;        /* the signaller's: the tail it last signalled */
};

/* Not real-time: the slots and the descriptor.  False when either fails. */
bool events_init(EventQueue *q);
/* Real-time, the producer: drops the event (and says so later) when full. */
void events_push(EventQueue *q, Event e);
/* A library thread that is not real-time: makes the descriptor readable
   when events came since it last looked. */
void events_signal(EventQueue *q);
/* The consumer: the oldest event, or, once the queue has drained after
   an overflow, {0, -1}; false when none is left, the descriptor then
   drained. */
bool events_pop(EventQueue *q, Event *e);

} // namespace sona

#endif /* SONA_MIX_EVENTS_H */
