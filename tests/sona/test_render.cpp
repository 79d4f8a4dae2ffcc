// What reaches each output channel, through the very function the device
// callback uses: routing, source layouts, fold-down, volume, balance, ramps,
// several streams, resampling.
#include "sona_test_util.h"

#include <functional>
#include <memory>

using namespace sona_test;

namespace {

constexpr uint32_t kRate = 44100;
constexpr double kAmp = 0.5;
const double kToneRms = kAmp / std::sqrt(2.0);
/* Frames to leave out after a change: the 5 ms ramp and some margin. */
constexpr size_t kSettle = 441;

enum Ch { FL, FR, FC, LFE, RL, RR };
const char *kChName[] = {"FL", "FR", "FC", "LFE", "RL", "RR"};

struct Files {
    TempDir dir; /* removed when the test program exits */
    std::string mono_1k, mono_440, stereo, surround, full_scale_100, rate48k;
    std::string only_on[6]; /* a 5.1 file with a tone on one channel */
};
/* Made once per process; the directory goes with the process. */
const Files &files()
{
    static const std::unique_ptr<Files> made([] {
        auto *f = new Files;
        f->mono_1k = make_tone(f->dir, "mono_1k.wav", {});
        Tone t440;
        t440.freqs_hz = {440};
        f->mono_440 = make_tone(f->dir, "mono_440.wav", t440);
        Tone st = stereo_tone(500, 1.0);
        st.freqs_hz = {500, 1500};
        f->stereo = make_tone(f->dir, "stereo.wav", st);
        Tone sur;
        sur.layout = "FL+FR+FC+LFE+BL+BR";
        sur.freqs_hz = {300, 500, 700, 90, 1100, 1300};
        sur.amplitude = 0.3;
        f->surround = make_tone(f->dir, "surround.wav", sur);
        for (int ch = 0; ch < 6; ++ch) {
            Tone one = sur;
            one.freqs_hz.assign(6, 0.0);
            one.freqs_hz[size_t(ch)] = 1000;
            one.amplitude = kAmp;
            f->only_on[ch] = make_tone(f->dir, std::string("only_") + kChName[ch] + ".wav", one);
        }
        Tone full;
        full.codec_args = "-c:a pcm_f32le";
        full.freqs_hz = {100};
        full.amplitude = 1.0;
        full.seconds = 2.0;
        f->full_scale_100 = make_tone(f->dir, "full_100.wav", full);
        Tone r48;
        r48.codec_args = "-c:a pcm_f32le";
        r48.rate_hz = 48000;
        f->rate48k = make_tone(f->dir, "tone48k.wav", r48);
        return f;
    }());
    return *made;
}

class Render : public ::testing::Test {
protected:
    void SetUp() override { start(6); }
    void TearDown() override { SONA_Free(); }

    void start(uint32_t channels)
    {
        SONA_Free();
        channels_ = channels;
        ASSERT_TRUE(sona_init_manual(kRate, channels));
    }

    SONA_HSTREAM play(const std::string &path)
    {
        const SONA_HSTREAM h = SONA_StreamCreateFile(SONA_FALSE, path.c_str(), 0, 0, 0);
        EXPECT_NE(h, 0u) << path << " error " << SONA_ErrorGetCode();
        EXPECT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
        return h;
    }

    std::vector<float> pull(double seconds) { return render(uint32_t(seconds * kRate), channels_); }

    /* RMS per output channel over `seconds`, after the ramp settled. */
    std::vector<double> levels(double seconds)
    {
        const auto buf = pull(seconds);
        std::vector<double> out;
        for (uint32_t c = 0; c < channels_; ++c)
            out.push_back(rms(channel(buf, int(channels_), int(c), kSettle)));
        return out;
    }

    uint32_t channels_ = 6;
};

/* ---- routing ------------------------------------------------------------ */

struct RouteCase {
    uint32_t word;
    Ch speaker;
};
class RoutesSpeakerWord : public Render, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(RoutesSpeakerWord, ToItsChannelOnly)
{
    const SONA_HSTREAM h = play(files().mono_1k);
    ASSERT_TRUE(SONA_ChannelSetFlags(h, GetParam().word));
    const auto level = levels(0.3);
    for (int c = 0; c < 6; ++c) {
        if (c == GetParam().speaker)
            EXPECT_NEAR(level[size_t(c)], kToneRms, kToneRms * 0.01) << kChName[c];
        else
            EXPECT_LT(level[size_t(c)], 1e-6) << kChName[c];
    }
}

INSTANTIATE_TEST_SUITE_P(Words, RoutesSpeakerWord,
                         ::testing::Values(RouteCase{SONA_SPEAKER_FRONTLEFT, FL},
                                           RouteCase{SONA_SPEAKER_FRONTRIGHT, FR},
                                           RouteCase{SONA_SPEAKER_REARLEFT, RL},
                                           RouteCase{SONA_SPEAKER_REARRIGHT, RR},
                                           RouteCase{SONA_SPEAKER_CENTER, FC}));

TEST_F(Render, RoutedStereoPlaysItsMonoDownmix)
{
    const SONA_HSTREAM h = play(files().stereo);
    ASSERT_TRUE(SONA_ChannelSetFlags(h, SONA_SPEAKER_REARRIGHT));
    const auto buf = pull(0.3);
    const auto rr = channel(buf, 6, RR, kSettle);
    // (L + R) / 2 of two uncorrelated tones of equal level.
    EXPECT_NEAR(rms(rr), kToneRms / std::sqrt(2.0), 0.01 * kToneRms);
    EXPECT_LT(rms(channel(buf, 6, FL, kSettle)), 1e-6);
    EXPECT_LT(rms(channel(buf, 6, FR, kSettle)), 1e-6);
}

TEST_F(Render, FlagsZeroReturnsToTheOwnLayout)
{
    const SONA_HSTREAM h = play(files().stereo);
    ASSERT_TRUE(SONA_ChannelSetFlags(h, SONA_SPEAKER_CENTER));
    pull(0.05);
    ASSERT_TRUE(SONA_ChannelSetFlags(h, 0));
    const auto buf = pull(0.3);
    EXPECT_NEAR(dominant_frequency(channel(buf, 6, FL, kSettle), kRate), 500, 2);
    EXPECT_NEAR(dominant_frequency(channel(buf, 6, FR, kSettle), kRate), 1500, 2);
    EXPECT_LT(rms(channel(buf, 6, FC, kSettle)), 1e-6);
}

/* ---- default layout of each kind of source ------------------------------ */

struct LayoutCase {
    const char *name;
    std::string Files::*file;
    double freq[6]; /* expected per output channel, 0 = silent */
};
class PlaysSourceLayout : public Render, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(PlaysSourceLayout, OnItsOwnChannels)
{
    play(files().*GetParam().file);
    const auto buf = pull(0.4);
    for (int c = 0; c < 6; ++c) {
        const auto x = channel(buf, 6, c, kSettle);
        const double f = GetParam().freq[c];
        if (f == 0) {
            EXPECT_LT(rms(x), 1e-6) << kChName[c];
        } else {
            EXPECT_GT(rms(x), 0.1) << kChName[c];
            EXPECT_NEAR(dominant_frequency(x, kRate), f, 2.0) << kChName[c];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, PlaysSourceLayout,
    ::testing::Values(LayoutCase{"MonoOnBothFronts", &Files::mono_1k, {1000, 1000, 0, 0, 0, 0}},
                      LayoutCase{"StereoOnTheFrontPair", &Files::stereo, {500, 1500, 0, 0, 0, 0}},
                      LayoutCase{"SurroundOnAllSix",
                                 &Files::surround,
                                 {300, 500, 700, 90, 1100, 1300}}),
    [](const auto &info) { return std::string(info.param.name); });

/* ---- fold-down to fewer speakers --------------------------------------- */

struct FoldCase {
    Ch source;
    double left, right; /* gain from that source channel */
};
class FoldsToStereo : public Render, public ::testing::WithParamInterface<FoldCase> {};

TEST_P(FoldsToStereo, WithItuCoefficients)
{
    start(2);
    play(files().only_on[GetParam().source]);
    const auto level = levels(0.3);
    const double a = 1.0 / (1.0 + std::sqrt(2.0)); /* keeps full scale within full scale */
    EXPECT_NEAR(level[0] / kToneRms, a * GetParam().left, 0.005) << "left";
    EXPECT_NEAR(level[1] / kToneRms, a * GetParam().right, 0.005) << "right";
}

INSTANTIATE_TEST_SUITE_P(Channels, FoldsToStereo,
                         ::testing::Values(FoldCase{FL, 1, 0}, FoldCase{FR, 0, 1},
                                           FoldCase{FC, M_SQRT1_2, M_SQRT1_2},
                                           FoldCase{LFE, 0, 0}, FoldCase{RL, M_SQRT1_2, 0},
                                           FoldCase{RR, 0, M_SQRT1_2}),
                         [](const auto &info) { return std::string(kChName[info.param.source]); });

/* Other speaker counts: mono is the average of the stereo fold, quad keeps
   the rears and folds only the centre. */
struct OtherFoldCase {
    const char *name;
    uint32_t channels;
    Ch source;
    double gains[4]; /* per output channel */
};
class FoldsToOtherCounts : public Render, public ::testing::WithParamInterface<OtherFoldCase> {};

TEST_P(FoldsToOtherCounts, WithTheSameCoefficients)
{
    const OtherFoldCase &c = GetParam();
    start(c.channels);
    play(files().only_on[c.source]);
    const auto level = levels(0.3);
    for (uint32_t o = 0; o < c.channels; ++o)
        EXPECT_NEAR(level[o] / kToneRms, c.gains[o], 0.005) << "output " << o;
}

constexpr double kA = 0.41421356; /* 1 / (1 + 2 * 0.7071) */
constexpr double kQ = 0.58578644; /* 1 / (1 + 0.7071) */
INSTANTIATE_TEST_SUITE_P(
    Counts, FoldsToOtherCounts,
    ::testing::Values(OtherFoldCase{"MonoFromFrontLeft", 1, FL, {0.5 * kA}},
                      OtherFoldCase{"MonoFromCentre", 1, FC, {M_SQRT1_2 * kA}},
                      OtherFoldCase{"MonoFromRearRight", 1, RR, {0.5 * M_SQRT1_2 * kA}},
                      OtherFoldCase{"MonoWithoutLfe", 1, LFE, {0}},
                      OtherFoldCase{"QuadFromFrontRight", 4, FR, {0, kQ, 0, 0}},
                      OtherFoldCase{"QuadFromCentre", 4, FC, {M_SQRT1_2 * kQ, M_SQRT1_2 * kQ, 0, 0}},
                      OtherFoldCase{"QuadFromRearLeft", 4, RL, {0, 0, kQ, 0}},
                      OtherFoldCase{"QuadWithoutLfe", 4, LFE, {0, 0, 0, 0}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Render, FoldedFullScaleSurroundNeverClips)
{
    start(2);
    // Every channel at full scale, in phase: the worst case for the fold.
    Tone t;
    t.layout = "FL+FR+FC+LFE+BL+BR";
    t.codec_args = "-c:a pcm_f32le";
    t.amplitude = 1.0;
    t.seconds = 0.3;
    play(make_tone(files().dir, "full_surround.wav", t));
    const auto buf = pull(0.3);
    EXPECT_LE(peak(buf), 1.0 + 1e-6);
    EXPECT_GT(peak(buf), 0.99);
}

/* ---- volume and balance -------------------------------------------------- */

struct VolumeCase {
    int32_t volume;
    double gain;
};
class Volume : public Render, public ::testing::WithParamInterface<VolumeCase> {};

TEST_P(Volume, FollowsTheCubicCurve)
{
    const SONA_HSTREAM h = play(files().mono_1k);
    ASSERT_TRUE(SONA_ChannelSetAttributes(h, -1, GetParam().volume, -1));
    const auto level = levels(0.2);
    EXPECT_NEAR(level[FL] / kToneRms, GetParam().gain, 1e-4);
    EXPECT_NEAR(level[FR] / kToneRms, GetParam().gain, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(Levels, Volume,
                         ::testing::Values(VolumeCase{0, 0.0}, VolumeCase{30, 0.027},
                                           VolumeCase{50, 0.125},
                                           VolumeCase{100, 1.0} /* mono at unity on both fronts */));

struct PanCase {
    int32_t pan;
    double left, right;
};
class Pan : public Render, public ::testing::WithParamInterface<PanCase> {};

TEST_P(Pan, BalancesTheFrontPair)
{
    const SONA_HSTREAM h = play(files().mono_1k);
    ASSERT_TRUE(SONA_ChannelSetAttributes(h, -1, -1, GetParam().pan));
    const auto level = levels(0.2);
    EXPECT_NEAR(level[FL] / kToneRms, GetParam().left, 1e-4);
    EXPECT_NEAR(level[FR] / kToneRms, GetParam().right, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(Positions, Pan,
                         ::testing::Values(PanCase{0, 1, 0}, PanCase{32, 1, 0.5},
                                           PanCase{64, 1, 1}, PanCase{96, 0.5, 1},
                                           PanCase{128, 0, 1}));

TEST_F(Render, PanDoesNothingWhileRoutedToOneSpeaker)
{
    const SONA_HSTREAM h = play(files().mono_1k);
    ASSERT_TRUE(SONA_ChannelSetFlags(h, SONA_SPEAKER_FRONTLEFT));
    ASSERT_TRUE(SONA_ChannelSetAttributes(h, -1, -1, 128));
    const auto level = levels(0.2);
    EXPECT_NEAR(level[FL], kToneRms, 0.01 * kToneRms);
    EXPECT_LT(level[FR], 1e-6);
}

/* ---- ramps -------------------------------------------------------------- */

struct RampCase {
    const char *name;
    std::function<void(SONA_HSTREAM)> before; /* applied before playing */
    std::function<void(SONA_HSTREAM)> change; /* applied mid-tone */
};
class Ramps : public Render, public ::testing::WithParamInterface<RampCase> {};

TEST_P(Ramps, NoSampleJumpsBeyondTheRamp)
{
    const SONA_HSTREAM h = SONA_StreamCreateFile(SONA_FALSE, files().full_scale_100.c_str(), 0, 0, 0);
    ASSERT_NE(h, 0u);
    if (GetParam().before)
        GetParam().before(h);
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    auto buf = pull(0.1);
    GetParam().change(h);
    const auto after = pull(0.1);
    buf.insert(buf.end(), after.begin(), after.end());

    // A full-scale 100 Hz sine moves at most 2*pi*100/44100 per sample; the
    // ramp may add at most full scale over its 5 ms.
    const double sine_step = 2.0 * M_PI * 100.0 / kRate;
    const double ramp_step = 1.0 / (kRate * sona::kRampMs / 1000.0);
    for (int c = 0; c < 6; ++c)
        EXPECT_LE(max_step(channel(buf, 6, c)), sine_step + ramp_step + 1e-4) << kChName[c];
    // And something did change: no step is a failure to apply.
    EXPECT_GT(peak(buf), 0.9);
}

void set_volume(SONA_HSTREAM h, int v) { SONA_ChannelSetAttributes(h, -1, v, -1); }

INSTANTIATE_TEST_SUITE_P(
    Changes, Ramps,
    ::testing::Values(
        RampCase{"Start", nullptr, [](SONA_HSTREAM) {}},
        RampCase{"VolumeDown", nullptr, [](SONA_HSTREAM h) { set_volume(h, 0); }},
        RampCase{"VolumeUp", [](SONA_HSTREAM h) { set_volume(h, 40); },
                 [](SONA_HSTREAM h) { set_volume(h, 100); }},
        RampCase{"PanHardLeft", nullptr,
                 [](SONA_HSTREAM h) { SONA_ChannelSetAttributes(h, -1, -1, 0); }},
        RampCase{"RouteToCentre", nullptr,
                 [](SONA_HSTREAM h) { SONA_ChannelSetFlags(h, SONA_SPEAKER_CENTER); }},
        RampCase{"RouteBetweenSpeakers",
                 [](SONA_HSTREAM h) { SONA_ChannelSetFlags(h, SONA_SPEAKER_FRONTLEFT); },
                 [](SONA_HSTREAM h) { SONA_ChannelSetFlags(h, SONA_SPEAKER_REARRIGHT); }},
        RampCase{"RouteBackToOwnLayout",
                 [](SONA_HSTREAM h) { SONA_ChannelSetFlags(h, SONA_SPEAKER_REARLEFT); },
                 [](SONA_HSTREAM h) { SONA_ChannelSetFlags(h, 0); }},
        RampCase{"Restart", nullptr, [](SONA_HSTREAM h) { SONA_ChannelPlay(h, SONA_TRUE); }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Render, ChangeInTheMiddleOfARampStartsFromWhereItIs)
{
    const SONA_HSTREAM h = play(files().full_scale_100);
    pull(0.05);
    set_volume(h, 0);
    render(60, 6); /* part of the way down */
    set_volume(h, 100);
    auto buf = render(2000, 6);
    const double ramp_step = 1.0 / (kRate * sona::kRampMs / 1000.0);
    EXPECT_LE(max_step(channel(buf, 6, FL)), 2.0 * M_PI * 100.0 / kRate + ramp_step + 1e-4);
}

TEST_F(Render, RepeatingTheSameValueRestartsNothing)
{
    const SONA_HSTREAM h = play(files().mono_1k);
    ASSERT_TRUE(SONA_ChannelSetAttributes(h, 0, 30, 64));
    pull(0.05);
    // The program sends the slider's value every 100 ms: the level must be
    // steady at once, not ramp again from somewhere else.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(SONA_ChannelSetAttributes(h, 0, 30, 64));
        const auto x = channel(pull(0.02), 6, FL);
        EXPECT_NEAR(rms(x) / kToneRms, 0.027, 2e-4);
    }
}

/* ---- several streams ---------------------------------------------------- */

TEST_F(Render, TwoStreamsMixAndOnlyTheLaterFollowsItsChanges)
{
    play(files().mono_440);
    const SONA_HSTREAM later = play(files().mono_1k);
    auto level = levels(0.2);
    EXPECT_NEAR(level[FL], std::sqrt(2.0) * kToneRms, 0.02 * kToneRms); /* powers add */

    ASSERT_TRUE(SONA_ChannelSetFlags(later, SONA_SPEAKER_REARRIGHT));
    auto buf = pull(0.3);
    const auto fl = channel(buf, 6, FL, kSettle);
    const auto rr = channel(buf, 6, RR, kSettle);
    EXPECT_NEAR(rms(fl), kToneRms, 0.01 * kToneRms);
    EXPECT_NEAR(dominant_frequency(fl, kRate), 440, 2);
    EXPECT_NEAR(rms(rr), kToneRms, 0.01 * kToneRms);
    EXPECT_NEAR(dominant_frequency(rr, kRate), 1000, 2);

    ASSERT_TRUE(SONA_ChannelSetAttributes(later, 0, 0, 64));
    level = levels(0.2);
    EXPECT_LT(level[RR], 1e-6);
    EXPECT_NEAR(level[FL], kToneRms, 0.01 * kToneRms);
}

// A stream alone takes a shorter road to the output than one among others;
// both must sound the same, on a 5.1 and on a stereo device, balanced and
// turned down, odd frame counts included.
TEST_F(Render, AStreamAloneSoundsAsItDoesAmongOthers)
{
    for (const uint32_t channels : {6u, 2u}) {
        SCOPED_TRACE(std::to_string(channels) + " channels");
        std::vector<float> heard[2];
        for (const bool alone : {true, false}) {
            start(channels);
            const SONA_HSTREAM h = play(files().stereo);
            ASSERT_TRUE(SONA_ChannelSetAttributes(h, -1, 70, 40));
            if (!alone) { /* a silent companion takes the other road */
                ASSERT_TRUE(SONA_ChannelSetAttributes(play(files().mono_1k), -1, 0, -1));
            }
            std::vector<float> &buf = heard[alone ? 0 : 1];
            for (const uint32_t frames : {1001u, 3u, 4096u, 257u}) {
                const std::vector<float> piece = render(frames, channels);
                buf.insert(buf.end(), piece.begin(), piece.end());
            }
        }
        ASSERT_EQ(heard[0].size(), heard[1].size());
        double worst = 0;
        for (size_t i = 0; i < heard[0].size(); ++i)
            worst = std::max(worst, double(std::fabs(heard[0][i] - heard[1][i])));
        EXPECT_LT(worst, 1e-6);
        EXPECT_GT(rms(heard[0]), 0.02); /* and it was not silence twice */
    }
}

/* ---- rates -------------------------------------------------------------- */

TEST_F(Render, PlaysA48kHzFileAtItsOwnPitchAndLength)
{
    play(files().rate48k);
    const auto fl = channel(pull(1.5), 6, FL);
    const auto [first, last] = audible_span(fl, 1e-3);
    EXPECT_NEAR(double(last - first), double(kRate), 0.002 * kRate);
    const std::vector<float> middle(fl.begin() + kRate / 4, fl.begin() + 3 * kRate / 4);
    EXPECT_NEAR(dominant_frequency(middle, kRate), 1000.0, 0.5);
}

TEST_F(Render, ResamplingKeepsThdPlusNoiseBelowMinus90dB)
{
    play(files().rate48k);
    const auto fl = channel(pull(1.0), 6, FL);
    const std::vector<float> middle(fl.begin() + kRate / 4, fl.begin() + 3 * kRate / 4);
    const double thd = thd_n_db(middle, kRate, 1000.0);
    RecordProperty("thd_n_db", std::to_string(thd));
    std::printf("THD+N of a 1 kHz tone, 48 -> 44.1 kHz: %.1f dB\n", thd);
    EXPECT_LE(thd, -90.0);
}

/* The decode pool tops the ring up after every piece the mixer takes, so
   small pieces mean the resampler is asked for small amounts of output. */
class ResamplesInPieces : public Render, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ResamplesInPieces, StereoAt48kHzKeepsPitchAndLength)
{
    Tone t = stereo_tone(1000, 0.5, "-c:a pcm_f32le");
    t.rate_hz = 48000;
    play(make_tone(files().dir, "stereo48k_" + std::to_string(GetParam()) + ".wav", t));
    const uint32_t total = kRate; /* a second: the tone and the silence after it */
    std::vector<float> buf(size_t(total) * 6);
    for (uint32_t done = 0; done < total; done += GetParam()) {
        const uint32_t n = std::min(GetParam(), total - done);
        sona_wait_decoded();
        ASSERT_EQ(sona_render(buf.data() + size_t(done) * 6, n), n);
    }
    for (int c : {FL, FR}) {
        const auto x = channel(buf, 6, c);
        const auto [first, last] = audible_span(x, 1e-3);
        EXPECT_NEAR(double(last - first), 0.5 * kRate, 0.002 * kRate) << kChName[c];
        EXPECT_NEAR(dominant_frequency({x.begin() + kRate / 10, x.begin() + kRate * 4 / 10}, kRate),
                    1000, 1) << kChName[c];
    }
    EXPECT_EQ(sona_playing_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ResamplesInPieces, ::testing::Values(25u, 333u, 1024u, 4096u));

TEST_F(Render, PlaysAtTheRateAskedAndBackAtItsOwn)
{
    const SONA_HSTREAM h = SONA_StreamCreateFile(SONA_FALSE, files().rate48k.c_str(), 0, 0, 0);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(SONA_ChannelSetAttributes(h, 24000, -1, -1)); /* half speed: an octave down */
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    auto fl = channel(pull(2.5), 6, FL);
    auto span = audible_span(fl, 1e-3);
    EXPECT_NEAR(double(span.second - span.first), 2.0 * kRate, 0.004 * kRate);
    EXPECT_NEAR(dominant_frequency({fl.begin() + kRate / 2, fl.begin() + kRate}, kRate), 500, 1);

    ASSERT_TRUE(SONA_ChannelSetAttributes(h, 0, -1, -1));
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_TRUE));
    fl = channel(pull(0.5), 6, FL);
    EXPECT_NEAR(dominant_frequency({fl.begin() + kRate / 10, fl.end()}, kRate), 1000, 1);
}

} // namespace
