// End to end: a real file through the real libsona.so, SDL2 and a private
// PulseAudio server, recorded from the null sink's monitor.  Each speaker
// word must reach that speaker and no other; on a stereo sink the library
// folds the 5.1 mix down itself with the ITU-R BS.775 coefficients.
//
// Each sink layout runs in its own process (see the CTest entries), so the
// server and SDL's view of the default sink start fresh for each.
#include "sona_test_util.h"
#include "pulse_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace sona_test;
using pulse_harness::NullSink;

constexpr unsigned kRecordRateHz = 44100;
constexpr double kToneHz = 1000, kAmplitude = 0.5;
// Long enough to outlast the null sink's stall before it plays and still
// leave a second to measure; the stream is freed once measured.
constexpr double kToneSeconds = 8;

// One speaker word and the level each recorded channel should have,
// relative to the loudest one (0 = silent).
struct RouteRow {
    const char *name;
    uint32_t flags;
    std::vector<double> relative;
};

class EndToEnd : public ::testing::Test {
protected:
    static void start(const NullSink &sink)
    {
        server_ = new pulse_harness::Server;
        std::string error;
        ASSERT_TRUE(server_->start({sink}, error)) << error;
        ASSERT_TRUE(server_->set_default_sink(sink.name, error)) << error;
        server_->export_to_this_process();
        // The library must take the sound server, not whatever SDL would
        // fall back to.
        setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
        tone_dir_ = new TempDir;
        // Stereo: routing to one speaker first mixes the source to mono.
        Tone tone = stereo_tone(kToneHz, kToneSeconds, "-c:a flac");
        tone.amplitude = kAmplitude;
        ASSERT_FALSE(make_tone(*tone_dir_, "tone.flac", tone).empty());
    }
    static void TearDownTestSuite()
    {
        SONA_Free();
        delete tone_dir_;
        tone_dir_ = nullptr;
        delete server_; // stops the server and removes its directory
        server_ = nullptr;
    }

    // Plays the tone on device 1 with `flags` and returns the steady level
    // of each recorded channel over a second of sound.
    std::vector<double> play_and_measure(const NullSink &sink, uint32_t flags)
    {
        std::vector<double> levels;
        pulse_harness::MonitorRecorder recorder;
        std::string error;
        EXPECT_TRUE(recorder.start(*server_, sink, kRecordRateHz, error)) << error;
        if (!error.empty())
            return levels;

        EXPECT_TRUE(SONA_Init(1, 44100, 0, 0, nullptr)) << "error " << SONA_ErrorGetCode();
        const std::string path = tone_dir_->file("tone.flac");
        const SONA_HSTREAM handle = SONA_StreamCreateFile(SONA_FALSE, path.c_str(), 0, 0, 0);
        EXPECT_NE(handle, 0u) << "error " << SONA_ErrorGetCode();
        EXPECT_TRUE(SONA_ChannelSetFlags(handle, flags));
        // Wait for sound only from here: whatever the monitor held before
        // belongs to an earlier row.
        const std::size_t from = recorder.frames();
        EXPECT_TRUE(SONA_ChannelPlay(handle, SONA_FALSE));

        const long onset = recorder.wait_for_sound(from, 0.01f, 1024, std::chrono::seconds(15));
        if (onset >= 0) {
            // Past the 5 ms start ramp and any partly filled first block.
            const std::size_t first = std::size_t(onset) + kRecordRateHz / 10;
            const std::size_t count = kRecordRateHz;
            if (recorder.wait_for_frames(first + count, std::chrono::seconds(15))) {
                const std::vector<float> recorded = recorder.copy(first, count);
                for (unsigned channel = 0; channel < recorder.channels(); ++channel)
                    levels.push_back(steady_level(
                        sona_test::channel(recorded, int(recorder.channels()), int(channel))));
            } else {
                ADD_FAILURE() << "the sound stopped reaching the monitor";
            }
        } else {
            ADD_FAILURE() << "nothing reached the monitor within 15 s\n" << server_->log();
        }
        SONA_Free();
        recorder.stop();
        return levels;
    }

    // The median of the RMS of 1024-frame blocks: a null sink may stall
    // and leave a gap in the recording, which must not read as a quieter
    // speaker.
    static double steady_level(const std::vector<float> &samples)
    {
        constexpr std::size_t kBlock = 1024;
        std::vector<double> blocks;
        for (std::size_t at = 0; at + kBlock <= samples.size(); at += kBlock)
            blocks.push_back(rms(std::vector<float>(
                samples.begin() + std::ptrdiff_t(at), samples.begin() + std::ptrdiff_t(at + kBlock))));
        if (blocks.empty())
            return 0;
        std::nth_element(blocks.begin(), blocks.begin() + std::ptrdiff_t(blocks.size() / 2),
                         blocks.end());
        return blocks[blocks.size() / 2];
    }

    static void expect_levels(const std::vector<double> &levels, const std::vector<double> &relative,
                              double reference_rms)
    {
        ASSERT_EQ(levels.size(), relative.size());
        for (std::size_t channel = 0; channel < levels.size(); ++channel) {
            SCOPED_TRACE("channel " + std::to_string(channel));
            if (relative[channel] == 0) {
                // Near silence: 60 dB below the tone.
                EXPECT_LT(levels[channel], reference_rms * 1e-3);
            } else {
                EXPECT_NEAR(decibels(levels[channel] / reference_rms),
                            decibels(relative[channel]), 0.5);
            }
        }
    }

    static pulse_harness::Server *server_;
    static TempDir *tone_dir_;
};

pulse_harness::Server *EndToEnd::server_ = nullptr;
TempDir *EndToEnd::tone_dir_ = nullptr;

// ---------------------------------------------------------------------------

const NullSink kSurround{"surround", pulse_harness::surround_map()};

class OnSurroundSink : public EndToEnd {
protected:
    static void SetUpTestSuite() { start(kSurround); }
};

TEST_F(OnSurroundSink, EachSpeakerWordReachesItsSpeakerOnly)
{
    // Channels as recorded: FL, FR, FC, LFE, RL, RR.
    const RouteRow rows[] = {
        {"front left", SONA_SPEAKER_FRONTLEFT, {1, 0, 0, 0, 0, 0}},
        {"front right", SONA_SPEAKER_FRONTRIGHT, {0, 1, 0, 0, 0, 0}},
        {"centre", SONA_SPEAKER_CENTER, {0, 0, 1, 0, 0, 0}},
        {"rear left", SONA_SPEAKER_REARLEFT, {0, 0, 0, 0, 1, 0}},
        {"rear right", SONA_SPEAKER_REARRIGHT, {0, 0, 0, 0, 0, 1}},
        {"own layout", 0, {1, 1, 0, 0, 0, 0}},
    };
    for (const RouteRow &row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<double> levels = play_and_measure(kSurround, row.flags);
        ASSERT_EQ(levels.size(), 6u);
        double loudest = 0;
        for (double level : levels)
            loudest = std::max(loudest, level);
        // A tone of the source's level, on the speaker it was sent to.
        EXPECT_GT(loudest, kAmplitude / std::sqrt(2.0) * 0.5);
        expect_levels(levels, row.relative, loudest);
    }
}

// What a desktop's mixer shows for the stream: the program's name, not
// SDL's placeholder, and a stream name.
TEST_F(OnSurroundSink, StreamIsNamedForTheDesktopMixer)
{
    pulse_harness::MonitorRecorder recorder;
    std::string error;
    ASSERT_TRUE(recorder.start(*server_, kSurround, kRecordRateHz, error)) << error;
    ASSERT_TRUE(SONA_Init(1, 44100, 0, 0, nullptr)) << "error " << SONA_ErrorGetCode();
    const std::string path = tone_dir_->file("tone.flac");
    const SONA_HSTREAM handle = SONA_StreamCreateFile(SONA_FALSE, path.c_str(), 0, 0, 0);
    ASSERT_NE(handle, 0u);
    ASSERT_TRUE(SONA_ChannelPlay(handle, SONA_FALSE));
    // Once it is heard, the stream is surely on the server.
    ASSERT_GE(recorder.wait_for_sound(0, 0.01f, 1024, std::chrono::seconds(15)), 0);

    std::string listing;
    ASSERT_EQ(pulse_harness::run_command({"pactl", "list", "sink-inputs"}, server_->client_env(),
                                         listing, std::chrono::seconds(10)),
              0)
        << listing;
    SONA_Free();
    std::ifstream comm("/proc/self/comm");
    std::string program;
    std::getline(comm, program);
    EXPECT_NE(listing.find("application.name = \"" + program + "\""), std::string::npos)
        << listing;
    EXPECT_NE(listing.find("media.name = \"Playback\""), std::string::npos) << listing;
}

// ---------------------------------------------------------------------------

const NullSink kStereo{"stereo", pulse_harness::stereo_map()};

class OnStereoSink : public EndToEnd {
protected:
    static void SetUpTestSuite() { start(kStereo); }
};

TEST_F(OnStereoSink, LibraryFoldsTheFiveSpeakersDownToTwo)
{
    // L = FL + 0.707 FC + 0.707 RL, R likewise, relative to a front speaker
    // sent straight through; whatever overall scale keeps the sum from
    // clipping applies to every row alike.
    const double k = std::sqrt(0.5);
    const RouteRow rows[] = {
        {"front left", SONA_SPEAKER_FRONTLEFT, {1, 0}},
        {"front right", SONA_SPEAKER_FRONTRIGHT, {0, 1}},
        {"centre", SONA_SPEAKER_CENTER, {k, k}},
        {"rear left", SONA_SPEAKER_REARLEFT, {k, 0}},
        {"rear right", SONA_SPEAKER_REARRIGHT, {0, k}},
    };
    double reference = 0;
    for (const RouteRow &row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<double> levels = play_and_measure(kStereo, row.flags);
        ASSERT_EQ(levels.size(), 2u);
        if (reference == 0) {
            reference = levels[0];
            ASSERT_GT(reference, 0.01) << "front left was not heard on the left";
        }
        expect_levels(levels, row.relative, reference);
    }
}

} // namespace
