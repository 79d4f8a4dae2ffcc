// Every format the library promises decodes to the tone it was made from:
// right pitch, right level, right length, on the front pair only.  The
// files are made here by ffmpeg, so each row says exactly what went in.
#include "sona_test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace sona_test;
using sona::kFC;
using sona::kFL;
using sona::kFR;
using sona::kLFE;
using sona::kRL;
using sona::kRR;

struct FormatRow {
    const char *name;
    const char *file;
    const char *encoder; // ffmpeg's options after -i
    int rate_hz;
    double frequency_hz;
    double level_tolerance_db; // lossy codecs move the level a little (MP3 at 96k: -0.45 dB)
    double length_tolerance_s; // and pad or trim a few milliseconds
};

constexpr double kAmplitude = 0.5;
constexpr double kSeconds = 1.0;

const std::vector<FormatRow> &format_rows()
{
    static const std::vector<FormatRow> rows = {
        {"Wav16", "tone.wav", "-c:a pcm_s16le", 44100, 1000, 0.05, 0.005},
        {"WavFloat48k", "tone.wav", "-c:a pcm_f32le", 48000, 1200, 0.05, 0.005},
        {"Flac", "tone.flac", "-c:a flac", 44100, 440, 0.05, 0.005},
        // Frames whose resampled output is larger than one conversion block.
        {"Flac96k24bit", "tone.flac", "-c:a flac -sample_fmt s32", 96000, 3000, 0.05, 0.005},
        {"Mp3", "tone.mp3", "-c:a libmp3lame -b:a 192k", 44100, 1500, 1.0, 0.05},
        {"Mp3At22050", "tone.mp3", "-c:a libmp3lame -b:a 96k", 22050, 700, 1.0, 0.05},
        {"OggVorbis", "tone.ogg", "-c:a libvorbis -q:a 6", 44100, 880, 1.0, 0.05},
        {"Opus", "tone.opus", "-c:a libopus -b:a 128k", 48000, 1000, 1.0, 0.05},
        {"AacInM4a", "tone.m4a", "-c:a aac -b:a 192k", 44100, 660, 1.0, 0.05},
        {"Aiff", "tone.aiff", "-c:a pcm_s16be", 44100, 2000, 0.05, 0.005},
    };
    return rows;
}

class DecodesFormat : public ::testing::TestWithParam<FormatRow> {
protected:
    void SetUp() override { ASSERT_TRUE(sona_init_manual(kMixRateHz, kMixChannels)); }
    void TearDown() override { SONA_Free(); }
};

TEST_P(DecodesFormat, ToTheToneItWasMadeFrom)
{
    const FormatRow &row = GetParam();
    TempDir dir;
    Tone tone = stereo_tone(row.frequency_hz, kSeconds, row.encoder);
    tone.rate_hz = row.rate_hz;
    tone.amplitude = kAmplitude;
    const std::string path = make_tone(dir, row.file, tone);
    ASSERT_FALSE(path.empty());

    const std::optional<Created> created = create_file_with_hang_guard(path);
    ASSERT_TRUE(created) << "creation did not return";
    ASSERT_NE(created->handle, 0u) << "error " << created->error;

    const Rendered sound = render_to_end(created->handle);
    EXPECT_TRUE(sound.ended) << "the stream did not end";
    const auto [first, last] = sound.audible();
    ASSERT_LT(first, last) << "nothing was heard";
    EXPECT_NEAR(double(last - first) / kMixRateHz, kSeconds, row.length_tolerance_s);

    // Measure away from the edges, where ramps and codec priming live.
    const size_t from = first + kMixRateHz / 4, count = kMixRateHz / 2;
    for (int channel : {kFL, kFR}) {
        SCOPED_TRACE(channel == kFL ? "front left" : "front right");
        const std::vector<float> steady = sound.channel(channel, from, count);
        EXPECT_NEAR(dominant_frequency(steady, kMixRateHz), row.frequency_hz,
                    row.frequency_hz * 0.002);
        EXPECT_NEAR(decibels(rms(steady) * std::sqrt(2.0) / kAmplitude), 0.0,
                    row.level_tolerance_db);
    }
    for (int channel : {kFC, kLFE, kRL, kRR})
        EXPECT_LT(rms(sound.channel(channel)), 1e-5) << "channel " << channel;
}

INSTANTIATE_TEST_SUITE_P(Formats, DecodesFormat, ::testing::ValuesIn(format_rows()),
                         [](const ::testing::TestParamInfo<FormatRow> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
