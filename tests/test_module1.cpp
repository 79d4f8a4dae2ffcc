// Module1 against the recording fake, through the real binding: the exact
// calls it makes, with their arguments, in order.
#include "Module1.h"
#include "fake_sona.h"

#include <QString>
#include <gtest/gtest.h>

#include <limits>

namespace {

class Module1Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_sona::reset();
        Module1::CurrentStream = 0;
        Module1::SpeakerFlags = 0;
        Module1::CreateError = 0;
    }
};

std::string flagsCall(uint32_t handle, const char *word)
{
    return "SONA_ChannelSetFlags(" + std::to_string(handle) + ", " + word + ")\n";
}

TEST_F(Module1Test, StartOutputOpensDefaultDeviceAt44100)
{
    Module1::StartOutput();
    EXPECT_EQ(fake_sona::calls(), "SONA_Init(1, 44100, 0, 0, null)\n");
}

struct RouteCase {
    int x, y;
    const char *word;
};

class RouteTable : public Module1Test, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(RouteTable, PointChoosesSpeakerWord)
{
    const RouteCase c = GetParam();
    Module1::RouteSpeakers(static_cast<int16_t>(c.x), static_cast<int16_t>(c.y));
    EXPECT_EQ(fake_sona::calls(), flagsCall(0, c.word));
}

constexpr int16_t Min16 = std::numeric_limits<int16_t>::min();
constexpr int16_t Max16 = std::numeric_limits<int16_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Quadrants, RouteTable,
    ::testing::Values(RouteCase{500, 200, "0x22000000"}, RouteCase{100, 100, "0x12000000"},
                      RouteCase{100, 500, "0x11000000"}, RouteCase{700, 500, "0x21000000"},
                      RouteCase{400, 300, "0x13000000"}, RouteCase{-5, -5, "0x12000000"},
                      RouteCase{399, 299, "0x12000000"}, RouteCase{401, 301, "0x21000000"},
                      RouteCase{399, 301, "0x11000000"}, RouteCase{401, 299, "0x22000000"},
                      RouteCase{Min16, Min16, "0x12000000"}, RouteCase{Max16, Max16, "0x21000000"},
                      RouteCase{Min16, Max16, "0x11000000"}, RouteCase{Max16, Min16, "0x22000000"},
                      // On a dividing line with nothing chosen before: 0 goes out.
                      RouteCase{400, 100, "0x00000000"}, RouteCase{100, 300, "0x00000000"},
                      RouteCase{400, Max16, "0x00000000"}, RouteCase{Min16, 300, "0x00000000"}));

TEST_F(Module1Test, DividingLineKeepsThePreviousWord)
{
    Module1::RouteSpeakers(700, 500);
    Module1::RouteSpeakers(400, 100);
    Module1::RouteSpeakers(250, 300);
    Module1::RouteSpeakers(400, 300);
    Module1::RouteSpeakers(400, -1);
    EXPECT_EQ(fake_sona::calls(), flagsCall(0, "0x21000000") + flagsCall(0, "0x21000000") +
                                      flagsCall(0, "0x21000000") + flagsCall(0, "0x13000000") +
                                      flagsCall(0, "0x13000000"));
    EXPECT_EQ(Module1::SpeakerFlags, Module1::SpeakerCentre);
}

TEST_F(Module1Test, VolumePassesThroughWithOwnRateAndCentredPan)
{
    Module1::SetVolume(30);
    Module1::SetVolume(0);
    Module1::SetVolume(100);
    EXPECT_EQ(fake_sona::calls(), "SONA_ChannelSetAttributes(0, 0, 30, 64)\n"
                                  "SONA_ChannelSetAttributes(0, 0, 0, 64)\n"
                                  "SONA_ChannelSetAttributes(0, 0, 100, 64)\n");
}

TEST_F(Module1Test, PlayCreatesThenStartsAndLaterCallsFollowTheNewestStream)
{
    Module1::PlayFile(QStringLiteral("/music/one.flac"));
    Module1::PlayFile(QStringLiteral("/music/two.ogg"));
    Module1::SetVolume(55);
    Module1::RouteSpeakers(100, 100);
    EXPECT_EQ(Module1::CurrentStream, 2u);
    EXPECT_EQ(fake_sona::calls(),
              "SONA_StreamCreateFile(0, \"/music/one.flac\", 0, 0, 0) -> 1\n"
              "SONA_ChannelPlay(1, 0)\n"
              "SONA_StreamCreateFile(0, \"/music/two.ogg\", 0, 0, 0) -> 2\n"
              "SONA_ChannelPlay(2, 0)\n"
              "SONA_ChannelSetAttributes(2, 0, 55, 64)\n"
              "SONA_ChannelSetFlags(2, 0x12000000)\n");
}

TEST_F(Module1Test, FailedCreationReplacesTheHandleWithZeroAndStillPlays)
{
    Module1::PlayFile(QStringLiteral("/music/one.flac"));
    fake_sona::failNext("SONA_StreamCreateFile", modSona::ErrorFormat);
    Module1::PlayFile(QStringLiteral("/music/notes.txt"));
    Module1::SetVolume(30);
    EXPECT_EQ(Module1::CurrentStream, 0u);
    EXPECT_EQ(fake_sona::calls(),
              "SONA_StreamCreateFile(0, \"/music/one.flac\", 0, 0, 0) -> 1\n"
              "SONA_ChannelPlay(1, 0)\n"
              "SONA_StreamCreateFile(0, \"/music/notes.txt\", 0, 0, 0) -> 0\n"
              "SONA_ChannelPlay(0, 0)\n"
              "SONA_ChannelSetAttributes(0, 0, 30, 64)\n");
}

TEST_F(Module1Test, CreationErrorSurvivesThePlayOnHandleZero)
{
    fake_sona::failNext("SONA_StreamCreateFile", modSona::ErrorFileOpen);
    fake_sona::failNext("SONA_ChannelPlay", modSona::ErrorHandle);
    Module1::PlayFile(QStringLiteral("/music/gone.mp3"));
    EXPECT_EQ(Module1::CreateError, modSona::ErrorFileOpen);

    Module1::PlayFile(QStringLiteral("/music/one.flac"));
    EXPECT_EQ(Module1::CreateError, modSona::ErrorOk);
    EXPECT_EQ(Module1::CurrentStream, 1u);
}

TEST_F(Module1Test, PathGoesOutAsUtf8BytesAndAnEmptyPathUnchecked)
{
    Module1::PlayFile(QString::fromUtf8("/m\xc3\xbasica/\xe6\x97\xa5 1.mp3"));
    Module1::PlayFile(QString());
    EXPECT_EQ(fake_sona::calls(),
              "SONA_StreamCreateFile(0, \"/m\\xc3\\xbasica/\\xe6\\x97\\xa5 1.mp3\", 0, 0, 0) -> 1\n"
              "SONA_ChannelPlay(1, 0)\n"
              "SONA_StreamCreateFile(0, \"\", 0, 0, 0) -> 2\n"
              "SONA_ChannelPlay(2, 0)\n");
}

} // namespace
