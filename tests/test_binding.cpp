// The binding's failure paths.  Each suite runs in its own process (see
// CMakeLists.txt), because a loaded library stays loaded.
#include "modSona.h"

#include <gtest/gtest.h>

namespace {

template <class Call> modSona::LoadError expectLoadError(Call call)
{
    try {
        call();
    } catch (const modSona::LoadError &error) {
        return error;
    }
    ADD_FAILURE() << "no LoadError was thrown";
    return modSona::LoadError("", "", "");
}

TEST(LibraryMissing, FirstCallNamesTheLibraryAndTheLoaderReason)
{
    const auto error = expectLoadError([] { modSona::SONA_Init(1, 44100, 0, 0, nullptr); });
    EXPECT_EQ(error.library(), "libsona.so.1");
    EXPECT_EQ(error.entry(), "");
    EXPECT_NE(error.reason().find("No such file"), std::string::npos) << error.reason();
    EXPECT_NE(std::string(error.what()).find("libsona.so.1"), std::string::npos);
}

TEST(LibraryMissing, EveryLaterCallFailsTheSameWay)
{
    for (int i = 0; i < 3; ++i) {
        const auto error = expectLoadError([] { modSona::SONA_Free(); });
        EXPECT_EQ(error.library(), "libsona.so.1");
        EXPECT_NE(error.reason().find("No such file"), std::string::npos);
    }
    expectLoadError([] { modSona::SONA_ChannelSetAttributes(0, 0, 30, 64); });
}

TEST(EntryMissing, OtherEntriesWorkAndTheMissingOneIsNamed)
{
    EXPECT_NE(modSona::SONA_Init(1, 44100, 0, 0, nullptr), 0);
    const modSona::StreamHandle stream = modSona::SONA_StreamCreateFile(0, "a.wav", 0, 0, 0);
    EXPECT_NE(stream, 0u);
    for (int i = 0; i < 2; ++i) {
        const auto error = expectLoadError([&] { modSona::SONA_ChannelPlay(stream, 0); });
        EXPECT_EQ(error.entry(), "SONA_ChannelPlay");
        EXPECT_EQ(error.library(), "libsona.so.1");
        EXPECT_NE(error.reason().find("SONA_ChannelPlay"), std::string::npos) << error.reason();
        EXPECT_NE(std::string(error.what()).find("SONA_ChannelPlay"), std::string::npos);
    }
    // The binding still works for the entries that exist.
    EXPECT_NE(modSona::SONA_ChannelSetFlags(stream, 0x13000000), 0);
}

} // namespace
