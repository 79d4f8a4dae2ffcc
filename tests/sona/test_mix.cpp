// What reaches each output channel, through the function the device
// callback uses: speaker words, source layouts and fold-downs, volume and
// balance, ramps, streams mixed and mixed again, and rates.
#include "render.h"

using namespace sona_test;
using namespace sona;

namespace {

/* Each source channel carries its own multiple of 100 Hz, so that over a
   window of whole 10 ms periods every channel's share of every output
   channel can be read apart without leakage. */
struct Source {
    const char *layout;
    std::vector<double> hz;
};
const Source kMonoSource{"mono", {1000}}, kStereoSource{"stereo", {500, 1500}},
    kSurroundSource{"FL+FR+FC+LFE+BL+BR", {300, 500, 700, 900, 1100, 1300}};

std::string source_file(const Source &s)
{
    Tone tone{{}, s.layout, 2};
    for (double hz : s.hz)
        tone.exprs.push_back(sine(hz, 0.3));
    return tone_file(std::string(s.layout) + ".wav", tone);
}

/* A full-scale 100 Hz sine, on which a step shows most, and the largest
   step it may take with a ramp's on top. */
std::string full_sine()
{
    return tone_file("full100.wav", {{"sin(2*PI*100*t)"}, "mono", 2, 44100, "-c:a pcm_f32le"});
}
const double kRampedSineStep = 2 * M_PI * 100 / kRate + 1.0 / (kRate * kRampMs / 1000.0) + 1e-4;

class Mix : public ::testing::Test {
protected:
    void TearDown() override { SONA_Free(); }
    static SONA_HSTREAM create(uint32_t out_channels, const std::string &path)
    {
        EXPECT_TRUE(sona_init_manual(kRate, out_channels));
        return SONA_StreamCreateFile(SONA_FALSE, path.c_str(), 0, 0, 0);
    }
    static SONA_HSTREAM play(uint32_t out_channels, const std::string &path)
    {
        const SONA_HSTREAM h = create(out_channels, path);
        EXPECT_TRUE(SONA_ChannelPlay(h, SONA_FALSE)) << path;
        return h;
    }
    TempDir dir_;
};

constexpr double a = 0.41421356; /* 1 / (1 + 2 * 0.7071): full scale stays full scale */
constexpr double q = 0.58578644; /* 1 / (1 + 0.7071), the quad fold */
constexpr double h = 0.70710678;

struct SpeakerRow {
    const char *name;
    const Source *source;
    uint32_t out_channels, word;
    int32_t pan;
    /* [output channel][source channel], missing ones silent */
    std::vector<std::vector<double>> gain;
    int32_t volume = 100;
};

const SpeakerRow kSpeakerRows[] = {
    {"MonoOnBothFronts", &kMonoSource, 6, 0, 64, {{1}, {1}}},
    {"StereoOnTheFrontPair", &kStereoSource, 6, 0, 64, {{1, 0}, {0, 1}}},
    {"SurroundOnAllSix", &kSurroundSource, 6, 0, 64,
     {{1}, {0, 1}, {0, 0, 1}, {0, 0, 0, 1}, {0, 0, 0, 0, 1}, {0, 0, 0, 0, 0, 1}}},
    {"FrontLeftWord", &kMonoSource, 6, SONA_SPEAKER_FRONTLEFT, 64, {{1}}},
    {"FrontRightWord", &kMonoSource, 6, SONA_SPEAKER_FRONTRIGHT, 64, {{}, {1}}},
    {"CentreWord", &kMonoSource, 6, SONA_SPEAKER_CENTER, 64, {{}, {}, {1}}},
    {"RearLeftWord", &kMonoSource, 6, SONA_SPEAKER_REARLEFT, 64, {{}, {}, {}, {}, {1}}},
    {"RearRightWord", &kMonoSource, 6, SONA_SPEAKER_REARRIGHT, 64, {{}, {}, {}, {}, {}, {1}}},
    {"PanIgnoredWhileRouted", &kMonoSource, 6, SONA_SPEAKER_FRONTLEFT, 128, {{1}}},
    {"RoutedStereoIsItsMonoDownmix", &kStereoSource, 6, SONA_SPEAKER_REARRIGHT, 64,
     {{}, {}, {}, {}, {}, {0.5, 0.5}}},
    // The mono downmix of 5.1 is the average of the stereo fold-down.
    {"RoutedSurroundIsItsMonoDownmix", &kSurroundSource, 6, SONA_SPEAKER_CENTER, 64,
     {{}, {}, {a / 2, a / 2, a * h, 0, a * h / 2, a * h / 2}}},
    {"SurroundFoldedToStereo", &kSurroundSource, 2, 0, 64,
     {{a, 0, a * h, 0, a * h, 0}, {0, a, a * h, 0, 0, a * h}}},
    {"RoutedMonoFoldedToStereo", &kMonoSource, 2, SONA_SPEAKER_REARLEFT, 64, {{a * h}}},
    {"SurroundFoldedToQuad", &kSurroundSource, 4, 0, 64,
     {{q, 0, q * h}, {0, q, q * h}, {0, 0, 0, 0, q}, {0, 0, 0, 0, 0, q}}},
    {"SurroundFoldedToMono", &kSurroundSource, 1, 0, 64,
     {{a / 2, a / 2, a * h, 0, a * h / 2, a * h / 2}}},
    // Volume is cubic; balance lowers the far side alone.
    {"Silent", &kMonoSource, 6, 0, 64, {}, 0},
    {"Volume50", &kMonoSource, 6, 0, 64, {{0.125}, {0.125}}, 50},
    {"PanHardLeft", &kMonoSource, 6, 0, 0, {{1}}},
    {"PanQuarterLeft", &kMonoSource, 6, 0, 32, {{1}, {0.5}}},
    {"PanQuarterRight", &kMonoSource, 6, 0, 96, {{0.5}, {1}}},
    {"PanHardRight", &kMonoSource, 6, 0, 128, {{}, {1}}},
};

class Speakers : public Mix, public ::testing::WithParamInterface<SpeakerRow> {};

TEST_P(Speakers, EachSourceChannelReachesItsOutputsWithItsGain)
{
    const SpeakerRow &row = GetParam();
    const SONA_HSTREAM s = play(row.out_channels, source_file(*row.source));
    ASSERT_TRUE(SONA_ChannelSetFlags(s, row.word));
    ASSERT_TRUE(SONA_ChannelSetAttributes(s, -1, row.volume, row.pan));
    const std::vector<float> mix = render(kRate / 2, row.out_channels);
    for (uint32_t o = 0; o < row.out_channels; ++o) {
        const std::vector<float> out = channel(mix, int(row.out_channels), int(o), kRate / 4);
        const std::vector<double> want = o < row.gain.size() ? row.gain[o] : std::vector<double>{};
        for (size_t c = 0; c < row.source->hz.size(); ++c)
            EXPECT_NEAR(tone_amplitude(out, row.source->hz[c]) / 0.3, c < want.size() ? want[c] : 0, 2e-3)
                << "output " << o << ", source channel " << c;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Speakers, ::testing::ValuesIn(kSpeakerRows), kRowName);

struct RampRow {
    const char *name;
    std::function<void(SONA_HSTREAM)> before, change, then; /* then: 60 frames after */
};

void volume(SONA_HSTREAM s, int v) { SONA_ChannelSetAttributes(s, -1, v, -1); }
void route(SONA_HSTREAM s, uint32_t word) { SONA_ChannelSetFlags(s, word); }

const RampRow kRampRows[] = {
    {"Start", nullptr, [](SONA_HSTREAM) {}, nullptr},
    {"VolumeDown", nullptr, [](SONA_HSTREAM s) { volume(s, 0); }, nullptr},
    {"VolumeUp", [](SONA_HSTREAM s) { volume(s, 40); }, [](SONA_HSTREAM s) { volume(s, 100); }, nullptr},
    {"PanHardLeft", nullptr, [](SONA_HSTREAM s) { SONA_ChannelSetAttributes(s, -1, -1, 0); }, nullptr},
    {"ToCentre", nullptr, [](SONA_HSTREAM s) { route(s, SONA_SPEAKER_CENTER); }, nullptr},
    {"BetweenSpeakers", [](SONA_HSTREAM s) { route(s, SONA_SPEAKER_FRONTLEFT); },
     [](SONA_HSTREAM s) { route(s, SONA_SPEAKER_REARRIGHT); }, nullptr},
    {"BackToOwnLayout", [](SONA_HSTREAM s) { route(s, SONA_SPEAKER_REARLEFT); },
     [](SONA_HSTREAM s) { route(s, 0); }, nullptr},
    {"Restart", nullptr, [](SONA_HSTREAM s) { SONA_ChannelPlay(s, SONA_TRUE); }, nullptr},
    {"ReversedMidRamp", nullptr, [](SONA_HSTREAM s) { volume(s, 0); },
     [](SONA_HSTREAM s) { volume(s, 100); }},
};

class Ramps : public Mix, public ::testing::WithParamInterface<RampRow> {};

TEST_P(Ramps, NoSampleStepsFurtherThanTheSineAndTheRampTogether)
{
    const SONA_HSTREAM s = create(6, full_sine());
    if (GetParam().before)
        GetParam().before(s);
    ASSERT_TRUE(SONA_ChannelPlay(s, SONA_FALSE));
    // A quarter period past ten: the change meets the sine at its peak,
    // where a jump would be largest.
    std::vector<float> mix = render(4410 + 110);
    const auto levels = [](const std::vector<float> &x) {
        return std::pair(rms(channel(x, 6, kFL, 2000)), rms(channel(x, 6, kFC, 2000)));
    };
    const auto before = levels(mix);
    GetParam().change(s);
    std::vector<float> after = render(60); /* part of the way */
    if (GetParam().then)
        GetParam().then(s);
    append(after, render(4350));
    append(mix, after);
    for (int c = 0; c < 6; ++c)
        EXPECT_LE(max_step(channel(mix, 6, c)), kRampedSineStep) << "channel " << c;
    EXPECT_GT(rms(mix), 0.1) << "nothing played";
    EXPECT_TRUE(GetParam().before || GetParam().name == std::string("Start") || before != levels(after))
        << "the change was not applied";
}

INSTANTIATE_TEST_SUITE_P(Changes, Ramps, ::testing::ValuesIn(kRampRows), kRowName);

TEST_F(Mix, RenderedAgainFromAChunkTheMixFollowsOnWhatWasHeard)
{
    const SONA_HSTREAM long_one = create(6, full_sine());
    ASSERT_TRUE(sona_manual_keep_history());
    const SONA_HSTREAM short_one =
        SONA_StreamCreateFile(SONA_FALSE, tone_file("short.wav", {{sine(1000)}, "mono", 0.1}).c_str(), 0, 0, 0);
    ASSERT_TRUE(SONA_ChannelSetFlags(short_one, SONA_SPEAKER_REARRIGHT));
    ASSERT_TRUE(SONA_ChannelPlay(long_one, SONA_FALSE) && SONA_ChannelPlay(short_one, SONA_FALSE));
    const std::vector<float> first = render(8192); /* the short one ends within */
    EXPECT_NEAR(tone_amplitude(channel(first, 6, kFL, 441, 4410), 100), 1, 1e-3) << "streams add up";
    EXPECT_NEAR(tone_amplitude(channel(first, 6, kRR, 441, 2205), 1000), 0.5, 1e-3);

    // Nothing changed: rendered again, it is what it was, the end included.
    const uint64_t at = sona_manual_rewind(3000);
    ASSERT_EQ(at % kMixChunkFrames, 0u);
    ASSERT_TRUE(at >= 3000 && at < 3000 + kMixChunkFrames) << at;
    EXPECT_TRUE(render(8192 - uint32_t(at)) == std::vector<float>(first.begin() + long(at) * 6, first.end()));

    // Turned off from a later chunk: from what was heard there, ramped.
    ASSERT_TRUE(SONA_ChannelSetAttributes(long_one, -1, 0, -1));
    const uint64_t at2 = sona_manual_rewind(5000);
    std::vector<float> heard(first.begin(), first.begin() + long(at2) * 6);
    const std::vector<float> after = render(4096);
    append(heard, after);
    EXPECT_LE(max_step(channel(heard, 6, kFL)), kRampedSineStep);
    EXPECT_LT(rms(channel(after, 6, kFL, 1000)), 1e-6);

    // The short one's end is final only once heard.
    EXPECT_EQ(sona_playing_count(), 2u);
    sona_manual_retire(at2 + 4096);
    EXPECT_EQ(sona_playing_count(), 1u);
}

struct ReachRow {
    const char *name;
    uint32_t voices;
};
const ReachRow kReachRows[] = {{"OneVoice", 1}, {"SixtyFourVoices", 64}, {"SixHundredVoices", 600}};

class Reach : public Mix, public ::testing::WithParamInterface<ReachRow> {};

// However many voices play, the mix goes back to any chunk of the last
// third of a second, every voice as it was there.
TEST_P(Reach, TheMixGoesBackAsFarWhateverTheVoices)
{
    const std::string tone = tone_file("third.wav", {{sine(1000)}, "mono", 0.35});
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    std::vector<SONA_HSTREAM> streams;
    for (uint32_t i = 0; i < GetParam().voices; ++i) {
        streams.push_back(SONA_StreamCreateFile(SONA_FALSE, tone.c_str(), 0, 0, 0));
        ASSERT_TRUE(SONA_ChannelSetAttributes(streams.back(), -1, 10, int32_t(i % 129)));
    }
    ASSERT_TRUE(sona_manual_keep_history());
    for (SONA_HSTREAM h : streams)
        ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    const std::vector<float> first = render(60 * kMixChunkFrames);
    EXPECT_EQ(sona_manual_rewind(kMixChunkFrames), kMixChunkFrames);
    EXPECT_TRUE(render(4096) == std::vector<float>(first.begin() + kMixChunkFrames * 6,
                                                   first.begin() + (kMixChunkFrames + 4096) * 6))
        << "rendered again, the mix is not what it was";
}

INSTANTIATE_TEST_SUITE_P(Rows, Reach, ::testing::ValuesIn(kReachRows), kRowName);

// A 48 kHz file on a 44.1 kHz mix: at half its rate an octave down and
// twice as long, then at its own rate at its own pitch.
TEST_F(Mix, A48kHzFilePlaysAtTheRateAskedAndBackAtItsOwnPitch)
{
    const SONA_HSTREAM h = create(6, make_tone(dir_, "48k.wav", {{sine(1000)}, "mono", 1, 48000}));
    ASSERT_TRUE(SONA_ChannelSetAttributes(h, 24000, -1, -1)); /* half speed: an octave down */
    std::vector<float> fl = channel(play_to_end(h).mix, 6, kFL);
    const auto [first, last] = audible(fl);
    EXPECT_NEAR(double(last - first), 2.0 * kRate, 0.004 * kRate);
    EXPECT_LT(distortion_db({fl.begin() + kRate / 2, fl.begin() + kRate}, 500), -40);

    ASSERT_TRUE(SONA_ChannelSetAttributes(h, 0, -1, -1));
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_TRUE));
    EXPECT_LT(distortion_db(channel(render(kRate / 2), 6, kFL, kRate / 10), 1000), -40);
}

} // namespace
