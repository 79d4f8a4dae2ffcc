// Faults a player meets in use, on the render path: the file changed under
// a playing stream, a file of gigabytes, and names no shell would like.
// Each must leave the process alive, the mix sane and other streams
// playing as before.
#include "sona_test_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace sona_test;
using sona::kFL;
using sona::kRR;

bool sane(const std::vector<float> &mix)
{
    for (float x : mix)
        if (!std::isfinite(x) || std::fabs(x) > 1.0f)
            return false;
    return true;
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        ASSERT_TRUE(sona_init_manual(kMixRateHz, kMixChannels));
    }
    void TearDown() override { SONA_Free(); }

    TempDir dir_;
};

// ---------------------------------------------------------------------------
// The file changes while it plays.  The stream has read a little ahead;
// what it reads next comes from whatever the file has become.

enum class Then {
    kPlaysToTheEnd, // the open descriptor keeps the old file
    kEndsEarly,     // the data it had not read is gone
    kEndsSomehow,   // new bytes: played as they decode, but the stream ends
};

struct FileFault {
    const char *name;
    const char *file;
    const char *codec;
    std::function<void(const std::string &path, const TempDir &dir)> fault;
    Then then;
};

void truncate_to(const std::string &path, double fraction)
{
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    ASSERT_EQ(truncate(path.c_str(), off_t(double(st.st_size) * fraction)), 0);
}

// Overwrites everything past the first 4 KiB with noise, keeping the size.
void scribble(const std::string &path, const TempDir &)
{
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    std::vector<uint8_t> noise(size_t(st.st_size) - 4096);
    std::mt19937 rng(5);
    for (uint8_t &b : noise)
        b = uint8_t(rng());
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pwrite(fd, noise.data(), noise.size(), 4096), ssize_t(noise.size()));
    close(fd);
}

// Another recording written over the same name: in place (the same inode,
// cut and refilled) or by rename (a new inode), as editors do either.
void rewrite_in_place(const std::string &path, const TempDir &dir)
{
    const std::string other = make_tone(dir, "other.wav", stereo_tone(300, 1));
    const std::vector<uint8_t> bytes = read_file(other);
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fd);
}

void rename_over(const std::string &path, const TempDir &dir)
{
    const std::string other = make_tone(dir, "other.flac", stereo_tone(300, 1, "-c:a flac"));
    ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
}

constexpr const char *kMp3 = "-c:a libmp3lame -b:a 128k";

const FileFault kFileFaults[] = {
    {"DeletedWav", "v.wav", "-c:a pcm_s16le",
     [](const std::string &p, const TempDir &) { ASSERT_EQ(unlink(p.c_str()), 0); },
     Then::kPlaysToTheEnd},
    {"DeletedMp3", "v.mp3", kMp3,
     [](const std::string &p, const TempDir &) { ASSERT_EQ(unlink(p.c_str()), 0); },
     Then::kPlaysToTheEnd},
    {"ReplacedByRenameFlac", "v.flac", "-c:a flac", rename_over, Then::kPlaysToTheEnd},
    {"TruncatedToHalfWav", "v.wav", "-c:a pcm_s16le",
     [](const std::string &p, const TempDir &) { truncate_to(p, 0.5); }, Then::kEndsEarly},
    // Big enough that the half cut off is more than the stream reads ahead.
    {"TruncatedToHalfMp3", "v.mp3", "-c:a libmp3lame -b:a 320k",
     [](const std::string &p, const TempDir &) { truncate_to(p, 0.5); }, Then::kEndsEarly},
    {"TruncatedToNothingFlac", "v.flac", "-c:a flac",
     [](const std::string &p, const TempDir &) { truncate_to(p, 0); }, Then::kEndsEarly},
    {"OverwrittenWithNoiseWav", "v.wav", "-c:a pcm_s16le", scribble, Then::kEndsSomehow},
    {"OverwrittenWithNoiseMp3", "v.mp3", kMp3, scribble, Then::kEndsSomehow},
    {"RewrittenInPlaceM4a", "v.m4a", "-c:a aac", rewrite_in_place, Then::kEndsSomehow},
    {"RewrittenInPlaceWav", "v.wav", "-c:a pcm_s16le", rewrite_in_place, Then::kEndsSomehow},
};

class FileChangesWhilePlaying : public Faults, public ::testing::WithParamInterface<FileFault> {};

TEST_P(FileChangesWhilePlaying, OtherStreamsPlayOnAndTheMixStaysSane)
{
    const FileFault &row = GetParam();
    constexpr double kVictimSeconds = 4, kFaultAtSeconds = 0.5, kLimitSeconds = 6;
    const std::string victim = make_tone(dir_, row.file, stereo_tone(1000, kVictimSeconds, row.codec));
    Tone by = stereo_tone(440, 10, "-c:a flac");
    by.layout = "mono";
    const std::string bystander = make_tone(dir_, "bystander.flac", by);
    ASSERT_FALSE(victim.empty());
    ASSERT_FALSE(bystander.empty());

    const SONA_HSTREAM v = SONA_StreamCreateFile(SONA_FALSE, victim.c_str(), 0, 0, 0);
    const SONA_HSTREAM b = SONA_StreamCreateFile(SONA_FALSE, bystander.c_str(), 0, 0, 0);
    ASSERT_NE(v, 0u);
    ASSERT_NE(b, 0u);
    ASSERT_TRUE(SONA_ChannelSetFlags(b, SONA_SPEAKER_REARRIGHT));
    ASSERT_TRUE(SONA_ChannelPlay(v, SONA_FALSE));
    ASSERT_TRUE(SONA_ChannelPlay(b, SONA_FALSE));

    std::vector<float> mix = render(uint32_t(kFaultAtSeconds * kMixRateHz), kMixChannels);
    row.fault(victim, dir_);
    if (HasFatalFailure())
        return;
    bool victim_ended = false;
    while (mix.size() < size_t(kLimitSeconds * kMixRateHz) * kMixChannels) {
        const std::vector<float> block = render(4096, kMixChannels);
        mix.insert(mix.end(), block.begin(), block.end());
        victim_ended = victim_ended || sona_playing_count() < 2;
    }

    EXPECT_TRUE(sane(mix)) << "a sample beyond full scale or not a number";
    // The bystander, second by second, as if nothing had happened.
    const std::vector<float> rear = channel(mix, kMixChannels, kRR);
    for (size_t at = kMixRateHz / 10; at + kMixRateHz / 2 <= rear.size(); at += kMixRateHz / 2) {
        const std::vector<float> piece(rear.begin() + long(at), rear.begin() + long(at + kMixRateHz / 2));
        EXPECT_NEAR(decibels(tone_amplitude(piece, kMixRateHz, 440) / 0.5), 0, 0.5)
            << "the other stream changed at " << double(at) / kMixRateHz << " s";
    }

    const std::vector<float> front = channel(mix, kMixChannels, kFL);
    const auto [first, last] = audible_span(front, 1e-4);
    const double heard_s = double(last - first) / kMixRateHz;
    switch (row.then) {
    case Then::kPlaysToTheEnd:
        EXPECT_TRUE(victim_ended);
        EXPECT_NEAR(heard_s, kVictimSeconds, 0.05);
        EXPECT_NEAR(dominant_frequency(std::vector<float>(front.begin() + long(first),
                                                          front.begin() + long(last)),
                                       kMixRateHz),
                    1000, 2);
        break;
    case Then::kEndsEarly:
        EXPECT_TRUE(victim_ended);
        EXPECT_LT(heard_s, kVictimSeconds - 0.5) << "it played data that was no longer there";
        break;
    case Then::kEndsSomehow:
        EXPECT_TRUE(victim_ended) << "still playing after " << kLimitSeconds << " s";
        break;
    }
    // The changed file's stream still answers, whatever its file became.
    EXPECT_TRUE(SONA_ChannelSetAttributes(v, -1, 50, -1));
}

INSTANTIATE_TEST_SUITE_P(Rows, FileChangesWhilePlaying, ::testing::ValuesIn(kFileFaults),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Files of gigabytes: a second of tone, then a sparse hole of silence that
// costs no disk.  The stream must open at once, stream, and not hold the
// file in memory.

struct BigWav {
    const char *name;
    uint64_t file_bytes;
    uint32_t claimed_data_bytes;
    std::chrono::seconds open_bound; /* a hang guard, not a speed target */
};

const BigWav kBigWavs[] = {
    {"TwoGibibytes", 2ull << 30, uint32_t((2ull << 30) - 44), 4s},
    // Past what the header's 32 bits can say: it claims the most it can.
    // FFmpeg's WAV reader then walks the gigabyte beyond the data, eight
    // bytes at a time, looking for more chunks; the decoder's five-second
    // budget for opening is what ends the walk.
    {"FiveGibibytesClaimingFour", 5ull << 30, UINT32_MAX - 36, 15s},
};

class HugeFile : public Faults, public ::testing::WithParamInterface<BigWav> {};

TEST_P(HugeFile, OpensAtOnceStreamsAndStaysSmall)
{
    const BigWav &row = GetParam();
    const std::string path = dir_.file("huge.wav");
    write_bytes(path, wav_bytes(2, 44100, row.claimed_data_bytes, sine_samples(1000, 1, 2)));
    ASSERT_EQ(truncate(path.c_str(), off_t(row.file_bytes)), 0);
    const size_t rss_before = resident_bytes();

    const std::optional<Created> created =
        create_with_hang_guard(SONA_FALSE, path.c_str(), 0, 0, row.open_bound);
    ASSERT_TRUE(created) << "opening did not return within " << row.open_bound.count() << " s";
    ASSERT_NE(created->handle, 0u) << "error " << created->error;
    ASSERT_TRUE(SONA_ChannelPlay(created->handle, SONA_FALSE));
    const std::vector<float> first = render(3 * kMixRateHz, kMixChannels);
    const std::vector<float> tone = channel(first, kMixChannels, kFL, kMixRateHz / 10);
    EXPECT_NEAR(tone_amplitude(std::vector<float>(tone.begin(), tone.begin() + kMixRateHz / 2),
                               kMixRateHz, 1000),
                0.5, 0.01);
    EXPECT_LT(rms(channel(first, kMixChannels, kFL, 2 * kMixRateHz)), 1e-6) << "the hole is silent";
    EXPECT_EQ(sona_playing_count(), 1u) << "the stream stopped inside the file";

    // Back to the beginning: the tone again.
    ASSERT_TRUE(SONA_ChannelPlay(created->handle, SONA_TRUE));
    const std::vector<float> again = render(kMixRateHz / 2, kMixChannels);
    EXPECT_NEAR(tone_amplitude(channel(again, kMixChannels, kFL, kMixRateHz / 10), kMixRateHz, 1000),
                0.5, 0.01);

    const size_t rss_after = resident_bytes();
    EXPECT_LT(rss_after > rss_before ? rss_after - rss_before : 0, size_t(64) << 20)
        << "the stream holds much of the file in memory";
}

INSTANTIATE_TEST_SUITE_P(Rows, HugeFile, ::testing::ValuesIn(kBigWavs),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Names are bytes: spaces, quotes, line breaks, bytes that are not UTF-8,
// and a path of 4,000 bytes through nested directories.

struct OddName {
    const char *name;
    std::string (*path)(const TempDir &dir);
};

const OddName kOddNames[] = {
    {"Spaces", [](const TempDir &d) { return d.file("  a tone  with spaces .wav"); }},
    {"Quotes", [](const TempDir &d) { return d.file("it's \"quoted\" `twice` $(not run).wav"); }},
    {"LineBreaks", [](const TempDir &d) { return d.file("line\nbreak\r\ttab.wav"); }},
    {"NotUtf8", [](const TempDir &d) { return d.file("\xff\xfe\x80 caf\xe9.wav"); }},
    {"FourThousandBytes", four_thousand_byte_path},
};

class OddNames : public Faults, public ::testing::WithParamInterface<OddName> {};

TEST_P(OddNames, PlayLikeAnyOther)
{
    const std::string path = GetParam().path(dir_);
    ASSERT_FALSE(path.empty());
    const std::string plain = make_tone(dir_, "plain.wav", stereo_tone(1000, 0.5));
    ASSERT_EQ(rename(plain.c_str(), path.c_str()), 0);

    const std::optional<Created> created = create_file_with_hang_guard(path);
    ASSERT_TRUE(created) << "opening did not return";
    ASSERT_NE(created->handle, 0u) << "error " << created->error;
    const Rendered sound = render_to_end(created->handle, 5);
    EXPECT_TRUE(sound.ended);
    const auto [first, last] = sound.audible();
    EXPECT_NEAR(double(last - first) / kMixRateHz, 0.5, 0.01);
    EXPECT_NEAR(dominant_frequency(sound.channel(kFL, first, last - first), kMixRateHz), 1000, 2);
}

INSTANTIATE_TEST_SUITE_P(Rows, OddNames, ::testing::ValuesIn(kOddNames),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
