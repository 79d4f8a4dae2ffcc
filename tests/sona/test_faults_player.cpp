// Faults met through the program's own playback routines: Module1 over the
// real libsona.so (loaded by name, as the program does) on a private
// PulseAudio server whose 5.1 null sink is recorded.  A user who presses
// Play two hundred times, or picks a file with an awkward name, must get
// every stream played and a program that stays the same size.
#include "Module1.h"
#include "modSona.h"
#include "pulse_harness.h"
#include "sona_test_util.h"

#include <QString>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <string>
#include <vector>

namespace {

using namespace sona_test;
using namespace std::chrono_literals;

constexpr unsigned kRecordRateHz = 44100;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

// Memory the process holds.  The burst below has up to 200 streams at once,
// each with its ring and decoder: what the allocator keeps of them for reuse
// once they are freed is not growth.  So malloc hands it back first; under a
// sanitizer, whose allocator never shrinks the resident set, the live
// allocations are counted instead.
size_t held_bytes()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    malloc_trim(0);
    return resident_bytes();
#endif
}

class Player : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const pulse_harness::NullSink sink{"surround", pulse_harness::surround_map()};
        server_ = new pulse_harness::Server;
        recorder_ = new pulse_harness::MonitorRecorder;
        std::string error;
        ASSERT_TRUE(server_->start({sink}, error)) << error;
        ASSERT_TRUE(server_->set_default_sink(sink.name, error)) << error;
        server_->export_to_this_process();
        setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
        ASSERT_TRUE(recorder_->start(*server_, sink, kRecordRateHz, error)) << error;
        Module1::StartOutput();
    }
    static void TearDownTestSuite()
    {
        modSona::SONA_Free();
        delete recorder_;
        delete server_;
        recorder_ = nullptr;
        server_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(server_, nullptr);
        ASSERT_FALSE(dir_.path().empty());
    }

    // RMS of the front left speaker over recorded frames [first, first + count).
    static double level(size_t first, size_t count)
    {
        return rms(channel(recorder_->copy(first, count), 6, sona::kFL));
    }

    // Waits until the newest tenth of a second is silent; false on timeout.
    static bool wait_for_silence(std::chrono::seconds bound)
    {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < deadline) {
            const size_t now = recorder_->frames();
            recorder_->wait_for_frames(now + kRecordRateHz / 10, 2s);
            const size_t frames = recorder_->frames();
            if (frames >= kRecordRateHz / 10 && level(frames - kRecordRateHz / 10, kRecordRateHz / 10) < 1e-5)
                return true;
        }
        return false;
    }

    static pulse_harness::Server *server_;
    static pulse_harness::MonitorRecorder *recorder_;
    TempDir dir_;
};

pulse_harness::Server *Player::server_ = nullptr;
pulse_harness::MonitorRecorder *Player::recorder_ = nullptr;

// The file is a constant level rather than a tone: overlapping streams then
// add up sample for sample, and the area under the recording counts the
// streams that were heard, each for its whole length.
TEST_F(Player, TwoHundredPressesOfPlayAreEachHeardAndMemoryStaysBounded)
{
    constexpr int kPresses = 200;
    constexpr double kLevel = 0.002, kSeconds = 0.5;
    Tone constant;
    constant.codec_args = "-c:a pcm_f32le";
    constant.layout = "stereo";
    constant.exprs = {std::to_string(kLevel)};
    constant.seconds = kSeconds;
    const std::string file = make_tone(dir_, "level.wav", constant);
    ASSERT_FALSE(file.empty());
    ASSERT_TRUE(wait_for_silence(30s));

    const size_t from = recorder_->frames();
    size_t held_warm = 0;
    modSona::StreamHandle previous = 0;
    for (int press = 0; press < kPresses; ++press) {
        Module1::PlayFile(QString::fromStdString(file));
        // The play call comes last in PlayFile: its error is the press's.
        const int32_t error = modSona::SONA_ErrorGetCode();
        ASSERT_GT(Module1::CurrentStream, previous) << "press " << press;
        ASSERT_EQ(Module1::CreateError, 0) << "press " << press;
        ASSERT_EQ(error, SONA_OK) << "press " << press;
        previous = Module1::CurrentStream;
        if (press == 19) // past loading FFmpeg and the first allocations
            held_warm = held_bytes();
    }
    ASSERT_GE(recorder_->wait_for_sound(from, 1e-3f, 1024, 30s), 0) << "nothing was heard";
    ASSERT_TRUE(wait_for_silence(120s)) << "the streams did not all end";

    const std::vector<float> heard = channel(recorder_->copy(from, recorder_->frames() - from), 6,
                                             sona::kFL);
    double area = 0;
    for (float x : heard)
        area += x;
    // Each stream ramps in over kRampMs, so a whole one is heard as a
    // little less than kLevel for kSeconds; one stream missing is 1/200 of
    // the area.  So is an underrun of about 10 ms while a hundred streams
    // overlap: the sound server drops what arrives late.  The sanitizer
    // builds run the mix several times slower and may underrun that long on
    // two cores.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr double kTolerance = 8;
#else
    constexpr double kTolerance = 1;
#endif
    const double whole = kPresses * (1 - 0.5 * sona::kRampMs / 1000.0 / kSeconds);
    const double streams = area / (kLevel * kSeconds * kRecordRateHz);
    EXPECT_NEAR(streams, whole, kTolerance) << "streams heard in full (or an underrun)";
    std::printf("heard %.2f streams' worth of %d\n", streams, kPresses);

    // Each ended stream keeps only its handle's small record until Free.
    const size_t held_end = held_bytes();
    EXPECT_LT(held_end > held_warm ? held_end - held_warm : 0, size_t(16) << 20)
        << "memory held grew from " << held_warm / 1024 << " KiB to " << held_end / 1024
        << " KiB";
}

struct PickedName {
    const char *name;
    std::string (*path)(const TempDir &dir);
};

const PickedName kPickedNames[] = {
    {"Spaces", [](const TempDir &d) { return d.file("  a tone  with spaces .wav"); }},
    {"Quotes", [](const TempDir &d) { return d.file("it's \"quoted\" `twice` $(not run).wav"); }},
    {"LineBreaks", [](const TempDir &d) { return d.file("line\nbreak\r\ttab.wav"); }},
    {"BeyondAscii", [](const TempDir &d) { return d.file("café ♫ 音楽 🎵.wav"); }},
    {"FourThousandBytes", four_thousand_byte_path},
};

class PickedNames : public Player, public ::testing::WithParamInterface<PickedName> {};

TEST_P(PickedNames, PlayThroughPlayFile)
{
    const std::string path = GetParam().path(dir_);
    ASSERT_FALSE(path.empty());
    const std::string plain = make_tone(dir_, "plain.wav", stereo_tone(1000, 0.5));
    ASSERT_EQ(rename(plain.c_str(), path.c_str()), 0);
    ASSERT_TRUE(wait_for_silence(30s));

    const size_t from = recorder_->frames();
    Module1::PlayFile(QString::fromUtf8(path.c_str()));
    ASSERT_NE(Module1::CurrentStream, 0u) << "error " << Module1::CreateError;
    const long onset = recorder_->wait_for_sound(from, 0.05f, 1024, 30s);
    ASSERT_GE(onset, 0) << "nothing was heard";
    ASSERT_TRUE(recorder_->wait_for_frames(size_t(onset) + kRecordRateHz / 4, 30s));
    const std::vector<float> tone =
        channel(recorder_->copy(size_t(onset) + 1024, kRecordRateHz / 8), 6, sona::kFL);
    EXPECT_NEAR(dominant_frequency(tone, kRecordRateHz), 1000, 10);
}

INSTANTIATE_TEST_SUITE_P(Rows, PickedNames, ::testing::ValuesIn(kPickedNames),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
