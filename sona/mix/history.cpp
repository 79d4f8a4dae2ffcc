// The mix's history (history.h says what it is for).  What is rendered
// again from a mark follows on what was heard there, ramps included, so
// nothing clicks.  A voice that left the mix may come back with a rewind
// until its end has been heard (mixer.cpp's endings), and rings are let go
// of only as far as the oldest mark still needs them.
//
// Real-time code (see the contract in sona_internal.h), and the mixer's
// alone: it runs on whichever thread renders.
#include "mix/mixer.h"

#include <algorithm>
#include <bit>
#include <new>

namespace sona {

namespace {

/* Voices the arena has room for at every mark until history_fit makes
   more: beyond as many voices the reach would shrink, the oldest marks
   making room for the newest. */
constexpr uint32_t kArenaVoicesPerMark = 4;

MixMark &mark_at(MixHistory &h, uint32_t k)
{
    return h.marks[(h.mark_first + k) % h.mark_capacity];
}

VoiceMark &arena_at(MixHistory &h, uint32_t i)
{
    return h.arena[i % h.arena_capacity];
}

void drop_oldest_mark(MixHistory &h)
{
    const MixMark &oldest = mark_at(h, 0);
    h.arena_first = (oldest.first + oldest.count) % h.arena_capacity;
    h.arena_used -= oldest.count;
    h.mark_first = (h.mark_first + 1) % h.mark_capacity;
    --h.mark_count;
}

/* Marks from the k-th on go: the mix is rendered again from there. */
void drop_marks_from(MixHistory &h, uint32_t k)
{
    while (h.mark_count > k) {
        const MixMark &newest = mark_at(h, h.mark_count - 1);
        h.arena_used -= newest.count;
        --h.mark_count;
    }
}

/* The voices of mark `mk` as they were, then those that joined after it,
   and those that have ended since, which start again at the mark. */
void restore_voices(Mixer *m, const MixMark &mk)
{
    MixHistory &h = m->history;
    const uint32_t stamp = ++h.stamp;
    Ending *later = h.later.get(); /* only voice and session are used */
    uint32_t later_count = 0;
    for (uint32_t i = 0; i < mk.count; ++i)
        arena_at(h, mk.first + i).voice->mark_stamp = stamp;
    for (uint32_t i = 0; i < m->voice_count; ++i)
        if (m->voices[i]->mark_stamp != stamp)
            later[later_count++] = {m->voices[i], m->voices[i]->session, 0, false};
    uint32_t kept = 0;
    for (uint32_t i = 0; i < m->ending_count; ++i) {
        const Ending &e = m->endings[i];
        if (e.position <= mk.position)
            m->endings[kept++] = e;
        else if (e.voice->mark_stamp != stamp)
            later[later_count++] = e;
    }
    m->ending_count = kept;
    m->voice_count = 0;
    for (uint32_t i = 0; i < mk.count; ++i) {
        const VoiceMark &vm = arena_at(h, mk.first + i);
        Voice *v = vm.voice;
        v->session = vm.session;
        v->gains = vm.gains;
        v->spot = vm.spot;
        v->priming = vm.priming;
        v->reanchor = true; /* mid-run: the clock goes on from where it is */
        ring_read_rewind(&vm.session->ring, vm.read_pos);
        m->voices[m->voice_count++] = v;
    }
    for (uint32_t i = 0; i < later_count; ++i)
        history_rejoin(m, later[i].voice, later[i].session);
}

/* Lets go of each ring as far as the oldest mark still needs it. */
void let_go_of_rings(Mixer *m)
{
    MixHistory &h = m->history;
    if (h.mark_count == 0) {
        // No mark needs anything read: the usual case, every chunk, for an
        // output that plays at once.
        for (uint32_t i = 0; i < m->voice_count; ++i) {
            Ring *ring = &m->voices[i]->session->ring;
            ring_let_go(ring, ring->read_pos.load(std::memory_order_relaxed));
        }
        return;
    }
    const uint32_t stamp = ++h.stamp;
    const MixMark &oldest = mark_at(h, 0);
    for (uint32_t i = 0; i < oldest.count; ++i) {
        const VoiceMark &vm = arena_at(h, oldest.first + i);
        vm.voice->mark_stamp = stamp;
        ring_let_go(&vm.session->ring, vm.read_pos);
    }
    // A voice that joined after the oldest mark needs its ring from where
    // it joined.
    for (uint32_t i = 0; i < m->voice_count; ++i) {
        Voice *v = m->voices[i];
        if (v->mark_stamp != stamp)
            ring_let_go(&v->session->ring, v->joined_read_pos);
    }
}

} // namespace

bool history_keep(Mixer *m, uint32_t reach_frames)
{
    MixHistory &h = m->history;
    if (history_kept(m))
        return true;
    h.mark_capacity = reach_frames / kMixChunkFrames + 2;
    h.arena_capacity = h.mark_capacity * kArenaVoicesPerMark;
    // Left uninitialised: only what is used is ever touched.
    h.marks.reset(new (std::nothrow) MixMark[h.mark_capacity]);
    h.arena.reset(new (std::nothrow) VoiceMark[h.arena_capacity]);
    h.later.reset(new (std::nothrow) Ending[2 * kMaxVoices]);
    if (!h.marks || !h.arena || !h.later)
        h.mark_capacity = h.arena_capacity = 0;
    return history_kept(m);
}

bool history_fit(Mixer *m, uint32_t voices)
{
    MixHistory &h = m->history;
    const uint64_t capacity = uint64_t(h.mark_capacity) * std::bit_ceil(std::max(voices, kArenaVoicesPerMark));
    if (!history_kept(m) || capacity <= h.arena_capacity)
        return true;
    std::unique_ptr<VoiceMark[]> arena(capacity > UINT32_MAX ? nullptr : new (std::nothrow) VoiceMark[capacity]);
    if (!arena)
        return false;
    // The marks, oldest first, packed from the start.
    uint32_t used = 0;
    for (uint32_t k = 0; k < h.mark_count; ++k) {
        MixMark &mk = mark_at(h, k);
        for (uint32_t i = 0; i < mk.count; ++i)
            arena[used + i] = arena_at(h, mk.first + i);
        mk.first = used;
        used += mk.count;
    }
    h.arena = std::move(arena);
    h.arena_capacity = uint32_t(capacity);
    h.arena_first = 0;
    h.arena_used = used;
    return true;
}

bool history_kept(const Mixer *m)
{
    return m->history.mark_capacity > 0;
}

void history_forget(Mixer *m)
{
    // The stamp counts on: a voice may still carry one from before.
    const uint32_t stamp = m->history.stamp;
    m->history = MixHistory{};
    m->history.stamp = stamp;
}

void history_mark(Mixer *m)
{
    MixHistory &h = m->history;
    if (m->voice_count > h.arena_capacity)
        return;
    while (h.mark_count > 0 && (h.mark_count == h.mark_capacity ||
                                h.arena_used + m->voice_count > h.arena_capacity))
        drop_oldest_mark(h);
    const uint32_t first = (h.arena_first + h.arena_used) % h.arena_capacity;
    for (uint32_t i = 0; i < m->voice_count; ++i) {
        const Voice *v = m->voices[i];
        arena_at(h, first + i) = {m->voices[i], v->session,
                                  v->session->ring.read_pos.load(std::memory_order_relaxed),
                                  v->gains, v->spot, v->priming};
    }
    h.arena_used += m->voice_count;
    mark_at(h, h.mark_count++) = {m->position, first, m->voice_count};
}

uint64_t history_rewind(Mixer *m, uint64_t position)
{
    MixHistory &h = m->history;
    uint32_t k = 0;
    while (k < h.mark_count && mark_at(h, k).position < position)
        ++k;
    if (k == h.mark_count)
        return kNoPosition;
    const MixMark mk = mark_at(h, k);
    m->position = mk.position;
    restore_voices(m, mk);
    drop_marks_from(h, k + 1); /* rendering marks on from this one */
    return mk.position;
}

void history_heard(Mixer *m, uint64_t position)
{
    MixHistory &h = m->history;
    while (h.mark_count > 0 && mark_at(h, 0).position < position)
        drop_oldest_mark(h);
    let_go_of_rings(m);
}

void history_rejoin(Mixer *m, Voice *v, Session *s)
{
    v->session = s;
    v->gains = GainRamp{};
    v->priming = true;
    v->joined_at = m->position;
    ring_read_rewind(&s->ring, v->joined_read_pos);
    v->spot.floor = spot_frame(v->spot, s->ring.read_pos.load(std::memory_order_relaxed));
    v->reanchor = true;
    m->voices[m->voice_count++] = v;
}

} // namespace sona
