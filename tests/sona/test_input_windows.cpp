// Byte windows of a file (offset/length) and streams from memory: the
// library decodes exactly the bytes it was pointed at.  The file holds two
// MP3s back to back between junk; MP3 frames resync across a boundary, so
// a window that leaked would let the neighbour's tone in.  They carry no
// Xing header, whose frame count might stop a demuxer at the boundary and
// hide a leak; a memory block of both proves they do play on.
#include "sona_test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace sona_test;
using sona::kFL;

constexpr double kFirstHz = 1000, kSecondHz = 440;
constexpr double kFirstSeconds = 1.0, kSecondSeconds = 1.5;

class ByteWindows : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        const char *mp3 = "-c:a libmp3lame -b:a 128k -write_xing 0";
        const std::string first =
            make_tone(dir_, "first.mp3", stereo_tone(kFirstHz, kFirstSeconds, mp3));
        const std::string second =
            make_tone(dir_, "second.mp3", stereo_tone(kSecondHz, kSecondSeconds, mp3));
        ASSERT_FALSE(first.empty() || second.empty());
        first_ = read_file(first);
        second_ = read_file(second);
        const std::string junk = "not audio, only a header of some container we do not know\n";
        std::vector<uint8_t> joined;
        for (int i = 0; i < 20; ++i)
            joined.insert(joined.end(), junk.begin(), junk.end());
        first_offset_ = uint32_t(joined.size());
        joined.insert(joined.end(), first_.begin(), first_.end());
        second_offset_ = uint32_t(joined.size());
        joined.insert(joined.end(), second_.begin(), second_.end());
        for (int i = 0; i < 7; ++i)
            joined.insert(joined.end(), junk.begin(), junk.end());
        joined_size_ = uint32_t(joined.size());
        write_bytes(dir_.file("joined.bin"), joined);
        ASSERT_TRUE(sona_init_manual(kMixRateHz, kMixChannels));
    }
    void TearDown() override { SONA_Free(); }

    // Plays the stream and expects `seconds` of `frequency_hz` and none of
    // `absent_hz`.
    static void expect_tone(SONA_HSTREAM handle, double frequency_hz, double seconds,
                            double absent_hz)
    {
        ASSERT_NE(handle, 0u) << "error " << SONA_ErrorGetCode();
        const Rendered sound = render_to_end(handle);
        EXPECT_TRUE(sound.ended) << "the stream did not end";
        const auto [first, last] = sound.audible();
        ASSERT_LT(first, last) << "nothing was heard";
        EXPECT_NEAR(double(last - first) / kMixRateHz, seconds, 0.05);
        const std::vector<float> heard = sound.channel(kFL, first, last - first);
        const double present = tone_amplitude(heard, kMixRateHz, frequency_hz);
        const double absent = tone_amplitude(heard, kMixRateHz, absent_hz);
        EXPECT_GT(present, 0.4);
        EXPECT_LT(absent, 1e-3) << "the neighbour's tone leaked into the window";
    }

    TempDir dir_;
    std::vector<uint8_t> first_, second_;
    uint32_t first_offset_ = 0, second_offset_ = 0, joined_size_ = 0;
};

TEST_F(ByteWindows, WindowPlaysOnlyTheFileInIt)
{
    const std::string path = dir_.file("joined.bin");
    SCOPED_TRACE("the first file");
    expect_tone(SONA_StreamCreateFile(SONA_FALSE, path.c_str(), first_offset_,
                                      uint32_t(first_.size()), 0),
                kFirstHz, kFirstSeconds, kSecondHz);
    SCOPED_TRACE("the second file");
    expect_tone(SONA_StreamCreateFile(SONA_FALSE, path.c_str(), second_offset_,
                                      uint32_t(second_.size()), 0),
                kSecondHz, kSecondSeconds, kFirstHz);
    SCOPED_TRACE("length 0 runs to the end, where only junk follows the second file");
    expect_tone(SONA_StreamCreateFile(SONA_FALSE, path.c_str(), second_offset_, 0, 0), kSecondHz,
                kSecondSeconds, kFirstHz);
}

TEST_F(ByteWindows, WindowPastTheEndFailsWithParam)
{
    const std::string path = dir_.file("joined.bin");
    const struct {
        const char *name;
        uint32_t offset, length;
    } rows[] = {
        {"offset past the end", joined_size_ + 1, 0},
        {"length past the end", joined_size_ / 2, joined_size_},
        {"length that wraps", joined_size_ / 2, 0xFFFFFFFFu},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(SONA_StreamCreateFile(SONA_FALSE, path.c_str(), row.offset, row.length, 0), 0u)
            << row.name;
        EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_PARAM) << row.name;
    }
}

TEST_F(ByteWindows, MemoryStreamIsACopy)
{
    // The caller may free the block on return: overwrite and free it before
    // the stream plays.
    auto block = std::make_unique<std::vector<uint8_t>>(first_);
    const SONA_HSTREAM handle =
        SONA_StreamCreateFile(SONA_TRUE, block->data(), 0, uint32_t(block->size()), 0);
    std::fill(block->begin(), block->end(), uint8_t(0));
    block.reset();
    expect_tone(handle, kFirstHz, kFirstSeconds, kSecondHz);
}

TEST_F(ByteWindows, MemoryStreamOfBothFilesPlaysBoth)
{
    // The control for the window tests: joined, the two files do play on
    // one after the other, so a window that leaked would be heard.
    std::vector<uint8_t> both = first_;
    both.insert(both.end(), second_.begin(), second_.end());
    const SONA_HSTREAM handle =
        SONA_StreamCreateFile(SONA_TRUE, both.data(), 0, uint32_t(both.size()), 0);
    ASSERT_NE(handle, 0u);
    const Rendered sound = render_to_end(handle);
    EXPECT_TRUE(sound.ended) << "the stream did not end";
    const auto [first, last] = sound.audible();
    EXPECT_NEAR(double(last - first) / kMixRateHz, kFirstSeconds + kSecondSeconds, 0.1);
}

TEST_F(ByteWindows, MemoryStreamRefusesWhatIsNotAudio)
{
    const std::string text(4096, 'a');
    EXPECT_EQ(SONA_StreamCreateFile(SONA_TRUE, text.data(), 0, uint32_t(text.size()), 0), 0u);
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_FORMAT);
    EXPECT_EQ(SONA_StreamCreateFile(SONA_TRUE, text.data(), 0, 0, 0), 0u);
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_PARAM) << "an empty block";
    EXPECT_EQ(SONA_StreamCreateFile(SONA_TRUE, nullptr, 0, 16, 0), 0u);
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_PARAM) << "a NULL block";
    EXPECT_EQ(SONA_StreamCreateFile(SONA_TRUE, first_.data(), 1, uint32_t(first_.size() - 1), 0),
              0u);
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_PARAM) << "an offset into memory";
}

TEST_F(ByteWindows, MemoryStreamOfAnHlsPlaylistOpensNothing)
{
    // Memory has no directory, but a nested open could still reach the
    // working directory or the network; the allow-list refuses the format.
    const std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1.0,\n" +
                             dir_.file("first.mp3") + "\n#EXT-X-ENDLIST\n";
    EXPECT_EQ(SONA_StreamCreateFile(SONA_TRUE, text.data(), 0, uint32_t(text.size()), 0), 0u);
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_FORMAT);
}

} // namespace
