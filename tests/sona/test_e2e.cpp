// End to end: a real file through the real libsona.so to a private sound
// server, judged by what its null sink's monitor recorded.  Every case runs
// on every server; each runs in a process of its own (see CMakeLists.txt),
// so the server and the library start fresh for each.
#include "sound_server.h"
#include "test_support.h"

#include <random>

using namespace sona_test;
using sound::Kind;
using sound::Sink;
using Clock = std::chrono::steady_clock;

namespace {

const Sink kSurround{"surround", 6}, kStereo{"stereo", 2};
constexpr double kToneRms = 0.5 / M_SQRT2;

const char *const kServer = std::getenv("SONA_TEST_SERVER");
const bool kOnPipeWire = kServer && kServer == std::string("PipeWire");

class EndToEnd : public ::testing::Test {
protected:
    /* A server with `sinks`, the first the default and recorded. */
    void start(const std::vector<Sink> &sinks)
    {
        server_ = std::make_unique<sound::Server>(kOnPipeWire ? Kind::PipeWire : Kind::PulseAudio, sinks);
        ASSERT_TRUE(server_->ok()) << server_->error();
        server_->use_in_this_process();
        recorder_ = std::make_unique<sound::Recorder>(*server_, sinks[0]);
        ASSERT_TRUE(recorder_->ok()) << server_->log();
    }
    void TearDown() override { SONA_Free(); }

    /* Inits the device and plays a long stereo tone. */
    SONA_HSTREAM play_tone(double hz = 1000, int32_t device = 1)
    {
        EXPECT_TRUE(SONA_Init(device, kRate, 0, 0, nullptr)) << SONA_ErrorGetCode();
        const std::string path =
            make_tone(dir_, "tone.flac", {{sine(hz), sine(hz)}, "stereo", 60, 44100, "-c:a flac"});
        const SONA_HSTREAM h = SONA_StreamCreateFile(SONA_FALSE, path.c_str(), 0, 0, 0);
        EXPECT_NE(h, 0u) << SONA_ErrorGetCode();
        EXPECT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
        return h;
    }

    TempDir dir_;
    std::unique_ptr<sound::Server> server_;
    std::unique_ptr<sound::Recorder> recorder_;
};

struct RouteRow {
    uint32_t word;
    std::vector<double> surround, stereo; /* each channel's level, relative to the tone */
};
constexpr double a = 0.41421356, h = 0.70710678; /* the stereo fold's scale, and -3 dB */
const RouteRow kRoutes[] = {
    {SONA_SPEAKER_FRONTLEFT, {1, 0, 0, 0, 0, 0}, {a, 0}},
    {SONA_SPEAKER_FRONTRIGHT, {0, 1, 0, 0, 0, 0}, {0, a}},
    {SONA_SPEAKER_CENTER, {0, 0, 1, 0, 0, 0}, {a * h, a * h}},
    {SONA_SPEAKER_REARLEFT, {0, 0, 0, 0, 1, 0}, {a * h, 0}},
    {SONA_SPEAKER_REARRIGHT, {0, 0, 0, 0, 0, 1}, {0, a * h}},
    {0, {1, 1, 0, 0, 0, 0}, {a, a}},
};

// Device 1 is the default sink, 5.1 here.  Device n is the n-th sink of
// the server's list: the second of two, a stereo one, to which the library
// folds down itself.  Past the list's end there is none.
TEST_F(EndToEnd, EachSpeakerWordIsHeardOnItsSpeakerAndFoldedOnANumberedStereoSink)
{
    start({kSurround, kStereo});
    const SONA_HSTREAM h = play_tone();
    for (const RouteRow &row : kRoutes) {
        ASSERT_TRUE(SONA_ChannelSetFlags(h, row.word));
        recorder_->expect_heard(row.surround, "word " + std::to_string(row.word));
    }
    // The desktop's mixer shows the stream by the program's name, and its
    // role as PulseAudio spells it (SDL, the fallback, spells it its way).
    const char *forced = std::getenv("SONA_OUTPUT");
    const std::string driver = forced ? forced : "";
    std::string inputs;
    ASSERT_TRUE(server_->pactl("list sink-inputs", &inputs)) << server_->error();
    for (const char *property : {"application.name = \"test_e2e\"", "media.name = \"Playback\""})
        EXPECT_NE(inputs.find(property), std::string::npos) << property << " in " << inputs;
    EXPECT_TRUE(driver == "sdl" || inputs.find("media.role = \"music\"") != std::string::npos) << inputs;
    // On PipeWire the stream is PipeWire's own unless a driver is forced.
    const bool native = inputs.find("client.api = \"pipewire-pulse\"") == std::string::npos;
    EXPECT_TRUE(!kOnPipeWire || native == driver.empty()) << inputs;

    ASSERT_TRUE(SONA_Free());
    EXPECT_FALSE(SONA_Init(3, kRate, 0, 0, nullptr));
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_DEVICE);
    recorder_ = std::make_unique<sound::Recorder>(*server_, kStereo);
    const SONA_HSTREAM folded = play_tone(1000, 2);
    for (const RouteRow &row : kRoutes) {
        ASSERT_TRUE(SONA_ChannelSetFlags(folded, row.word));
        recorder_->expect_heard(row.stereo, "word " + std::to_string(row.word) + " on the stereo sink");
    }
}

/* The first 5 ms block from `from` on in which front left is at `level`
   of the tone within a decibel, in milliseconds after `from`. */
double heard_after_ms(const sound::Recorder &recorder, size_t from, double level)
{
    constexpr size_t kBlock = kRate / 200;
    for (auto until = Clock::now() + 5s; Clock::now() < until; std::this_thread::sleep_for(10ms)) {
        const std::vector<float> fl = channel(recorder.copy(from, SIZE_MAX), 6, 0);
        for (size_t at = 0; at + kBlock <= fl.size(); at += kBlock)
            if (std::fabs(20 * std::log10(rms({fl.begin() + long(at), fl.begin() + long(at + kBlock)}) /
                                          kToneRms / level)) < 1)
                return 1000.0 * double(at) / kRate;
    }
    return 1e9;
}

// The server holds far more than a change may wait for: a change is heard
// promptly only because what was queued is written again.  Ten changes are
// timed, seventy more follow within three seconds; through all of them no
// sample steps further than the tone and a ramp together (a seam in the
// wrong place would), and the tone never falls silent.
TEST_F(EndToEnd, ChangesAreHeardPromptlyAndNeitherClickNorDropOut)
{
    start({kSurround});
    const SONA_HSTREAM h = play_tone(100);
    recorder_->expect_heard({1, 1, 0, 0, 0, 0}, "before the changes");
    const size_t from = recorder_->frames();
    double worst = 0;
    for (int i = 0; i < 10; ++i) {
        const size_t at = recorder_->frames();
        ASSERT_TRUE(SONA_ChannelSetAttributes(h, -1, i % 2 ? 100 : 50, -1));
        worst = std::max(worst, heard_after_ms(*recorder_, at, i % 2 ? 1 : 0.125));
        std::this_thread::sleep_for(100ms);
    }
    std::printf("the slowest of ten changes was heard after %.0f ms\n", worst);
    EXPECT_LT(worst, 150);
    const uint32_t words[] = {SONA_SPEAKER_FRONTLEFT, SONA_SPEAKER_REARRIGHT, SONA_SPEAKER_CENTER,
                              SONA_SPEAKER_REARLEFT, 0};
    std::mt19937 next(7);
    for (int i = 0; i < 70; ++i) {
        if (i % 7 == 3 || i % 7 == 6)
            ASSERT_TRUE(SONA_ChannelSetFlags(h, words[(i / 3) % 5]));
        else
            ASSERT_TRUE(SONA_ChannelSetAttributes(h, -1, 40 + int(next() % 61), -1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + next() % 40));
    }
    std::this_thread::sleep_for(500ms);
    const std::vector<float> mix = recorder_->copy(from, recorder_->frames() - from);
    const double sine_step = 2 * M_PI * 100 / kRate * 0.5, ramp_step = 0.5 / (kRate * 0.005);
    for (int c = 0; c < 6; ++c)
        EXPECT_LT(max_step(channel(mix, 6, c)), sine_step + ramp_step + 0.002) << "channel " << c;
    constexpr size_t kBlock = kRate / 200;
    for (size_t at = 0; at + kBlock <= mix.size() / 6; at += kBlock) {
        const std::vector<float> block(mix.begin() + long(at * 6), mix.begin() + long((at + kBlock) * 6));
        ASSERT_GT(rms(block), 0.005) << "a dropout at " << 1000.0 * double(at) / kRate << " ms";
    }
}

// A server that is not there at Init, then one that dies under a playing
// stream: each is found once it comes, and meanwhile no call waits.
TEST_F(EndToEnd, AServerThatComesLateOrRestartsIsFoundAndNoCallWaits)
{
    start({kSurround});
    recorder_.reset();
    server_->crash();
    const SONA_HSTREAM h = play_tone();
    ASSERT_TRUE(server_->restart()) << server_->error();
    recorder_ = std::make_unique<sound::Recorder>(*server_, kSurround);
    recorder_->expect_heard({1, 1, 0, 0, 0, 0}, "once the server came");
    recorder_.reset();
    server_->crash();
    // Meanwhile every call answers at once: the window's timer goes on
    // calling ten times a second.
    const std::optional<bool> answered = guarded<bool>([h] {
        bool ok = true;
        for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(50ms))
            ok = ok && SONA_ChannelSetAttributes(h, -1, 80 + i % 2, -1) &&
                 SONA_ChannelSetFlags(h, i % 2 ? SONA_SPEAKER_FRONTLEFT : 0) &&
                 SONA_ChannelPlay(h, SONA_FALSE);
        return ok && SONA_ChannelSetFlags(h, SONA_SPEAKER_REARRIGHT) &&
               SONA_ChannelSetAttributes(h, -1, 100, -1);
    });
    ASSERT_TRUE(answered) << "a call waited for the server";
    EXPECT_TRUE(*answered);
    ASSERT_TRUE(server_->restart()) << server_->error();
    recorder_ = std::make_unique<sound::Recorder>(*server_, kSurround);
    recorder_->expect_heard({0, 0, 0, 0, 0, 1}, "after the restart, as set while the server was away");
}

} // namespace
