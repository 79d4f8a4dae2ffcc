// The PulseAudio harness itself: what a plain client plays on one channel
// of the 5.1 null sink comes back on that channel of the recorded monitor.
// When this fails, the end-to-end tests of the library prove nothing.
#include "pulse_harness.h"
#include "sona_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using pulse_harness::NullSink;

constexpr unsigned kRateHz = 44100;

TEST(PulseHarness, PlainClientOnRearLeftIsRecordedOnRearLeftOnly)
{
    const NullSink surround{"surround", pulse_harness::surround_map()};
    pulse_harness::Server server;
    std::string error;
    ASSERT_TRUE(server.start({surround}, error)) << error;
    ASSERT_TRUE(server.set_default_sink(surround.name, error)) << error;

    pulse_harness::MonitorRecorder recorder;
    ASSERT_TRUE(recorder.start(server, surround, kRateHz, error)) << error;

    // Three seconds: long enough to outlast the null sink's first stall.
    const std::string raw_path = server.dir() + "/rear-left.raw";
    {
        std::ofstream raw(raw_path, std::ios::binary);
        for (unsigned frame = 0; frame < 3 * kRateHz; ++frame) {
            const float value = 0.5f * float(std::sin(2 * M_PI * 1000.0 * frame / kRateHz));
            const float row[6] = {0, 0, 0, 0, value, 0};
            raw.write(reinterpret_cast<const char *>(row), sizeof row);
        }
    }
    pulse_harness::Child player;
    ASSERT_TRUE(player.start({"pacat", "--raw", "--format=float32le", "--rate=44100",
                              "--channels=6",
                              "--channel-map=front-left,front-right,front-center,lfe,rear-left,"
                              "rear-right",
                              raw_path},
                             server.client_env(), false, server.dir() + "/pacat.log", error))
        << error;

    const long onset = recorder.wait_for_sound(0, 0.01f, 1024, 10s);
    ASSERT_GE(onset, 0) << "nothing reached the monitor within 10 s\n" << server.log();
    // Skip the first block, where the tone may start part-way.
    const std::size_t first = std::size_t(onset) + 2048;
    ASSERT_TRUE(recorder.wait_for_frames(first + kRateHz / 2, 10s));
    const std::vector<float> samples = recorder.copy(first, kRateHz / 2);
    for (unsigned channel = 0; channel < 6; ++channel) {
        const double rms = sona_test::rms(sona_test::channel(samples, 6, int(channel)));
        if (channel == 4)
            EXPECT_NEAR(rms, 0.5 / std::sqrt(2.0), 0.01) << "channel " << channel;
        else
            EXPECT_LT(rms, 1e-4) << "channel " << channel;
    }
}

} // namespace
