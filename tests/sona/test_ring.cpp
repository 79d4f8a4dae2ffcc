// The decoder-to-mixer ring: wrapping and skipping, and two threads passing
// every frame once, in order.
#include "sona_internal.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

using namespace sona;

namespace {

/* Writes up to `frames` frames of counting values; returns how many fit. */
uint32_t write_counting(Ring *r, uint32_t frames, uint32_t *next)
{
    RingSpan spans[2];
    const uint32_t n = ring_write_spans(r, frames, spans);
    for (const RingSpan &s : spans)
        for (uint32_t i = 0; i < s.frames * r->slots; ++i)
            s.data[i] = float((*next)++ & 0xFFFFF); /* exact in a float */
    ring_write_commit(r, n);
    return n;
}

TEST(Ring, WrapsKeepsWhatIsReadUntilLetGoAndReadsItAgain)
{
    Ring r;
    EXPECT_FALSE(ring_init(&r, 1000, 2)) << "not a power of two";
    ASSERT_TRUE(ring_init(&r, 8, 2));
    uint32_t written = 0;
    EXPECT_EQ(write_counting(&r, 6, &written), 6u);
    ring_read_skip_to(&r, 5);
    ring_read_skip_to(&r, 2); /* never backwards */
    EXPECT_EQ(write_counting(&r, 100, &written), 2u) << "wrote over what was read, not let go";
    ring_let_go(&r, 1000); /* never past what was read */
    EXPECT_EQ(write_counting(&r, 100, &written), 5u);
    RingSpan spans[2];
    EXPECT_EQ(ring_read_spans(&r, 100, spans), 8u);
    EXPECT_EQ(spans[0].frames, 3u); /* from frame 5 to the end of the buffer */
    EXPECT_EQ(spans[1].frames, 5u);
    EXPECT_EQ(spans[0].data[0], 10.0f);
    EXPECT_EQ(spans[1].data[0], 16.0f);
    ring_read_commit(&r, 8);
    ring_read_rewind(&r, 1); /* not before what was let go */
    EXPECT_EQ(ring_read_spans(&r, 1, spans), 1u);
    EXPECT_EQ(spans[0].data[0], 10.0f) << "did not read again from where it was let go";
}

TEST(Ring, TwoThreadsPassEveryFrameOnceInOrder)
{
    constexpr uint64_t kFrames = 1u << 20;
    Ring r;
    ASSERT_TRUE(ring_init(&r, 256, 3));
    std::thread producer([&r] {
        std::mt19937 rng(1);
        uint32_t value = 0;
        for (uint64_t done = 0; done < kFrames;)
            done += write_counting(&r, uint32_t(std::min<uint64_t>(1 + rng() % 300, kFrames - done)), &value);
    });
    uint64_t consumed = 0, mismatches = 0;
    uint32_t expected = 0;
    std::mt19937 rng(2);
    while (consumed < kFrames) {
        RingSpan spans[2];
        const uint32_t n = ring_read_spans(&r, 1 + rng() % 300, spans);
        for (const RingSpan &s : spans)
            for (uint32_t i = 0; i < s.frames * 3; ++i)
                mismatches += s.data[i] != float(expected++ & 0xFFFFF);
        ring_read_commit(&r, n);
        ring_let_go(&r, r.read_pos.load());
        consumed += n;
    }
    producer.join();
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(ring_read_available(&r), 0u);
}

} // namespace
