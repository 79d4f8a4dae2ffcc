// What the library promises of time itself, on the clock: run alone, and
// only in the normal build (a sanitizer slows the decoding that must keep
// up).
#include "render.h"

using namespace sona_test;

namespace {

// Device 0 keeps real time: a second of sound ends a second after Play.
// Timed: CMakeLists.txt runs it alone, in the normal build.
TEST(RealTime, TheSilentDevicePlaysASecondInASecond)
{
    const TempDir dir;
    ASSERT_TRUE(SONA_Init(0, kRate, 0, 0, nullptr));
    const SONA_HSTREAM h = SONA_StreamCreateFile(
        SONA_FALSE, make_tone(dir, "second.wav", {{sine(1000)}, "mono", 1}).c_str(), 0, 0, 0);
    ASSERT_NE(h, 0u);
    sona_wait_decoded();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    std::chrono::duration<double> played{};
    while (sona_playing_count() > 0 && played < 5s) {
        std::this_thread::sleep_for(1ms);
        played = std::chrono::steady_clock::now() - start;
    }
    EXPECT_NEAR(played.count(), 1.0, 0.05);
    SONA_Free();
}

} // namespace
