// The manual output: the mix pulled through the very function the device
// callback uses, with no device and no clock.
#pragma once

#include "sona_internal.h"
#include "testing.h"
#include "test_support.h"

namespace sona_test {

/* `frames` frames of the mix, in pieces the decode pool has always filled
   ahead of, so what is rendered never depends on how fast the workers were. */
inline std::vector<float> render(uint32_t frames, uint32_t channels = sona::kMixChannels)
{
    constexpr uint32_t kPiece = 4096; /* below a ring less its refill margin */
    std::vector<float> out(size_t(frames) * channels);
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(kPiece, frames - done);
        sona_wait_decoded();
        EXPECT_EQ(sona_render(out.data() + size_t(done) * channels, n), n);
        done += n;
    }
    return out;
}

/* Plays `h` and renders 5.1 until it leaves the mix, or `limit_s`. */
struct Played {
    std::vector<float> mix;
    bool ended = false;
};
inline Played play_to_end(SONA_HSTREAM h, double limit_s = 10)
{
    Played out;
    EXPECT_TRUE(SONA_ChannelPlay(h, SONA_FALSE)) << "error " << SONA_ErrorGetCode();
    while (!out.ended && out.mix.size() < size_t(limit_s * kRate) * sona::kMixChannels) {
        append(out.mix, render(4096));
        out.ended = sona_playing_count() == 0;
    }
    return out;
}

} // namespace sona_test
