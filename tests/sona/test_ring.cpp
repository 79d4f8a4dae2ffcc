// The decoder-to-mixer ring: positions, wrapping, skipping, and a real
// two-thread run counting every frame written and read.
#include "sona_internal.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

using namespace sona;

namespace {

uint32_t write_values(Ring *r, uint32_t frames, uint32_t *next)
{
    RingSpan spans[2];
    const uint32_t n = ring_write_spans(r, frames, spans);
    for (const RingSpan &s : spans)
        for (uint32_t i = 0; i < s.frames * r->slots; ++i)
            s.data[i] = float((*next)++ & 0xFFFFF); /* exact in a float */
    ring_write_commit(r, n);
    return n;
}

TEST(Ring, RefusesSizesThatAreNotPowersOfTwo)
{
    Ring r;
    EXPECT_FALSE(ring_init(&r, 0, 1));
    EXPECT_FALSE(ring_init(&r, 1000, 1));
    EXPECT_FALSE(ring_init(&r, 1024, 0));
    EXPECT_TRUE(ring_init(&r, 1024, 7));
}

TEST(Ring, WrapsIntoTwoSpansAndKeepsOrder)
{
    Ring r;
    ASSERT_TRUE(ring_init(&r, 8, 2));
    uint32_t written = 0, expected = 0;
    EXPECT_EQ(write_values(&r, 6, &written), 6u);
    RingSpan spans[2];
    EXPECT_EQ(ring_read_spans(&r, 5, spans), 5u);
    ring_read_commit(&r, 5);
    expected = 10;
    EXPECT_EQ(ring_write_space(&r), 7u);
    EXPECT_EQ(write_values(&r, 100, &written), 7u); /* only what fits */
    EXPECT_EQ(ring_read_available(&r), 8u);
    EXPECT_EQ(ring_read_spans(&r, 8, spans), 8u);
    EXPECT_EQ(spans[0].frames, 3u); /* from frame 5 to the end */
    EXPECT_EQ(spans[1].frames, 5u);
    for (const RingSpan &s : spans)
        for (uint32_t i = 0; i < s.frames * 2; ++i)
            EXPECT_EQ(s.data[i], float(expected++));
}

TEST(Ring, SkipsNoFurtherThanWritten)
{
    Ring r;
    ASSERT_TRUE(ring_init(&r, 16, 1));
    uint32_t v = 0;
    write_values(&r, 10, &v);
    ring_read_skip_to(&r, 4);
    EXPECT_EQ(ring_read_available(&r), 6u);
    ring_read_skip_to(&r, 2); /* never backwards */
    EXPECT_EQ(ring_read_available(&r), 6u);
    ring_read_skip_to(&r, 1000);
    EXPECT_EQ(ring_read_available(&r), 0u);
    EXPECT_EQ(r.read_pos.load(), 10u);
}

TEST(Ring, TwoThreadsPassEveryFrameOnceInOrder)
{
    constexpr uint32_t kSlots = 3;
    constexpr uint64_t kFrames = 1u << 20;
    Ring r;
    ASSERT_TRUE(ring_init(&r, 256, kSlots));

    uint64_t produced = 0;
    std::thread producer([&] {
        std::mt19937 rng(1);
        uint32_t value = 0;
        while (produced < kFrames) {
            const uint32_t want = std::min<uint64_t>(1 + rng() % 300, kFrames - produced);
            produced += write_values(&r, want, &value);
            if (rng() % 8 == 0)
                std::this_thread::yield();
        }
    });

    uint64_t consumed = 0, mismatches = 0;
    uint32_t expected = 0;
    std::mt19937 rng(2);
    while (consumed < kFrames) {
        RingSpan spans[2];
        const uint32_t n = ring_read_spans(&r, 1 + rng() % 300, spans);
        for (const RingSpan &s : spans)
            for (uint32_t i = 0; i < s.frames * kSlots; ++i)
                mismatches += s.data[i] != float(expected++ & 0xFFFFF);
        ring_read_commit(&r, n);
        consumed += n;
        if (n == 0)
            std::this_thread::yield();
    }
    producer.join();
    EXPECT_EQ(produced, kFrames);
    EXPECT_EQ(consumed, kFrames);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(ring_read_available(&r), 0u);
}

} // namespace
