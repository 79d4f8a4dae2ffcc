// The fuzz target's body: hands the bytes to libsona as a block of memory
// and pulls a few periods of the mix, the way the device would.  Shared
// with tests/sona/test_fuzz_replay.cpp, so that every input the fuzzer
// ever broke the library with runs the same way in the GCC builds.
//
// Needs the static core's test entries (testing.h).
#pragma once

#include "sona_internal.h"
#include "testing.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace sona_fuzz {

enum class Fed {
    kRefused, // creation failed with an error the header documents
    kPlayed,  // a stream was made and its mix was pulled
    kBroken,  // a promise broken: an undocumented error or a bad sample
};

constexpr uint32_t kPeriodFrames = 1024;
constexpr int kPeriods = 4;

inline bool mix_is_sane(const float *out, size_t samples)
{
    for (size_t i = 0; i < samples; ++i)
        if (!std::isfinite(out[i]) || std::fabs(out[i]) > 1.0f)
            return false;
    return true;
}

// Opens the manual output, feeds the data through creation, routing, play,
// a rate change and a restart, and frees everything again, so that each
// input starts from nothing.
inline Fed feed(const uint8_t *data, size_t size)
{
    if (size == 0 || size > UINT32_MAX)
        return Fed::kRefused;
    if (!sona_init_manual(44100, 6))
        return Fed::kBroken;
    Fed result = Fed::kPlayed;
    const SONA_HSTREAM h = SONA_StreamCreateFile(SONA_TRUE, data, 0, uint32_t(size), 0);
    if (!h) {
        const int32_t error = SONA_ErrorGetCode();
        result = error == SONA_ERROR_FORMAT || error == SONA_ERROR_MEMORY ? Fed::kRefused
                                                                         : Fed::kBroken;
        SONA_Free();
        return result;
    }
    static float out[kPeriodFrames * sona::kMixChannels];
    auto pull = [&](int periods) {
        for (int i = 0; i < periods && result == Fed::kPlayed; ++i) {
            sona_wait_decoded();
            if (sona_render(out, kPeriodFrames) != kPeriodFrames ||
                !mix_is_sane(out, kPeriodFrames * sona::kMixChannels))
                result = Fed::kBroken;
        }
    };
    // The first byte picks a route, so the mono downmix gets its share.
    constexpr uint32_t kRoutes[] = {0, SONA_SPEAKER_FRONTLEFT, SONA_SPEAKER_REARRIGHT,
                                    SONA_SPEAKER_CENTER};
    if (!SONA_ChannelSetFlags(h, kRoutes[data[0] % 4]) || !SONA_ChannelPlay(h, SONA_FALSE))
        result = Fed::kBroken;
    pull(kPeriods);
    if (!SONA_ChannelSetAttributes(h, 30000, 80, 20) || !SONA_ChannelPlay(h, SONA_TRUE))
        result = Fed::kBroken;
    pull(kPeriods / 2);
    SONA_Free();
    return result;
}

} // namespace sona_fuzz
