// End to end: the sound server dies while a stream plays and a new one
// starts on the same socket, as a desktop session restarts PulseAudio or
// PipeWire.  The library must not crash or hold up a caller meanwhile, and
// must find the new server by itself: the stream goes on where it was,
// without the program doing anything.
#include "sona_test_util.h"
#include "pulse_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace {

using namespace sona_test;
using Clock = std::chrono::steady_clock;
using pulse_harness::NullSink;

constexpr unsigned kRecordRateHz = 44100;

// Whether a stream of this process is connected to the server.
bool stream_on_server(const pulse_harness::Server &server)
{
    std::string listing;
    return pulse_harness::run_command({"pactl", "list", "short", "sink-inputs"},
                                      server.client_env(), listing, std::chrono::seconds(5)) == 0 &&
           !listing.empty();
}

TEST(ServerRestart, StreamGoesOnOnTheNewServerAndNoCallWaits)
{
    const NullSink sink{"surround", pulse_harness::surround_map()};
    pulse_harness::Server server;
    std::string error;
    ASSERT_TRUE(server.start({sink}, error)) << error;
    ASSERT_TRUE(server.set_default_sink(sink.name, error)) << error;
    server.export_to_this_process();
    setenv("SDL_AUDIODRIVER", "pulseaudio", 1);

    TempDir dir;
    Tone tone = stereo_tone(1000, 60, "-c:a flac");
    tone.amplitude = 0.5;
    const std::string path = make_tone(dir, "tone.flac", tone);
    ASSERT_FALSE(path.empty());

    ASSERT_TRUE(SONA_Init(1, 44100, 0, 0, nullptr)) << "error " << SONA_ErrorGetCode();
    const SONA_HSTREAM handle = SONA_StreamCreateFile(SONA_FALSE, path.c_str(), 0, 0, 0);
    ASSERT_NE(handle, 0u) << "error " << SONA_ErrorGetCode();
    {
        pulse_harness::MonitorRecorder recorder;
        ASSERT_TRUE(recorder.start(server, sink, kRecordRateHz, error)) << error;
        ASSERT_TRUE(SONA_ChannelPlay(handle, SONA_FALSE));
        ASSERT_GE(recorder.wait_for_sound(0, 0.01f, 1024, std::chrono::seconds(15)), 0)
            << server.log();
        server.crash();
    }

    // With no server, every call still answers at once and does its work:
    // the window's timer goes on calling ten times a second.  A second is
    // far beyond "at once" and far below a hang.
    const auto calls_start = Clock::now();
    for (int round = 0; round < 20; ++round) {
        const auto call_start = Clock::now();
        EXPECT_TRUE(SONA_ChannelSetAttributes(handle, -1, 80 + round % 2, -1));
        EXPECT_TRUE(SONA_ChannelSetFlags(handle, round % 2 ? SONA_SPEAKER_FRONTLEFT : 0));
        EXPECT_TRUE(SONA_ChannelPlay(handle, SONA_FALSE));
        EXPECT_LT(Clock::now() - call_start, std::chrono::seconds(1)) << "round " << round;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(SONA_ChannelSetFlags(handle, SONA_SPEAKER_REARRIGHT));
    EXPECT_TRUE(SONA_ChannelSetAttributes(handle, -1, 100, -1));
    EXPECT_LT(Clock::now() - calls_start, std::chrono::seconds(10));

    ASSERT_TRUE(server.restart(error)) << error;
    const auto back = Clock::now();
    pulse_harness::MonitorRecorder recorder;
    ASSERT_TRUE(recorder.start(server, sink, kRecordRateHz, error)) << error;
    // The stream reconnects by itself within two seconds: the library
    // retries four times a second, and each try costs a millisecond.
    bool reconnected = false;
    while (!reconnected && Clock::now() - back < std::chrono::seconds(2)) {
        reconnected = stream_on_server(server);
        if (!reconnected)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(reconnected) << "no stream on the new server\n" << server.log();
    std::cout << "reconnected "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - back).count()
              << " ms after the new server answered\n";

    // And it is heard with what was set while the server was away: the
    // rear right speaker alone.
    const long onset = recorder.wait_for_sound(0, 0.01f, 1024, std::chrono::seconds(15));
    ASSERT_GE(onset, 0) << "nothing heard from the new server\n" << server.log();
    const std::size_t first = std::size_t(onset) + kRecordRateHz / 10;
    ASSERT_TRUE(recorder.wait_for_frames(first + kRecordRateHz / 2, std::chrono::seconds(15)));
    const std::vector<float> heard = recorder.copy(first, kRecordRateHz / 2);
    const int channels = int(recorder.channels());
    ASSERT_EQ(channels, 6);
    const double rear_right = rms(channel(heard, channels, 5));
    EXPECT_GT(rear_right, 0.1);
    for (int other = 0; other < 5; ++other)
        EXPECT_LT(rms(channel(heard, channels, other)), rear_right * 1e-3) << "channel " << other;

    EXPECT_TRUE(SONA_Free());
}

} // namespace

namespace {

// A player started before the sound server (a desktop session still coming
// up) starts at once and is heard once the server is there.
TEST(ServerRestart, ServerThatComesAfterInitIsFoundByItself)
{
    const NullSink sink{"surround", pulse_harness::surround_map()};
    pulse_harness::Server server;
    std::string error;
    ASSERT_TRUE(server.start({sink}, error)) << error;
    server.export_to_this_process();
    setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
    server.crash();

    TempDir dir;
    const std::string path = make_tone(dir, "tone.flac", stereo_tone(1000, 30, "-c:a flac"));
    ASSERT_FALSE(path.empty());
    const auto init_start = Clock::now();
    ASSERT_TRUE(SONA_Init(1, 44100, 0, 0, nullptr)) << "error " << SONA_ErrorGetCode();
    EXPECT_LT(Clock::now() - init_start, std::chrono::seconds(1));
    const SONA_HSTREAM handle = SONA_StreamCreateFile(SONA_FALSE, path.c_str(), 0, 0, 0);
    ASSERT_NE(handle, 0u) << "error " << SONA_ErrorGetCode();
    ASSERT_TRUE(SONA_ChannelPlay(handle, SONA_FALSE));

    ASSERT_TRUE(server.restart(error)) << error;
    pulse_harness::MonitorRecorder recorder;
    ASSERT_TRUE(recorder.start(server, sink, kRecordRateHz, error)) << error;
    EXPECT_GE(recorder.wait_for_sound(0, 0.01f, 1024, std::chrono::seconds(15)), 0)
        << "nothing heard once the server came\n" << server.log();
    EXPECT_TRUE(SONA_Free());
}

} // namespace
