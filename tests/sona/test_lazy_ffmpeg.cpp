// libsona loads FFmpeg only when the first stream opens, from the decoder
// module at its own place beside the library, and without that module
// creation fails cleanly until the module appears.  This program links
// neither: it loads the library by path, as the player does by name, so
// /proc/self/maps shows what the library brought in.  Each case loads
// FFmpeg in the end, so each runs in a process of its own.
#include "test_support.h"

#include <dlfcn.h>

namespace {

namespace fs = std::filesystem;
using namespace sona_test;

/* One loaded copy of the library; the calls' types are the header's own,
   so a drifted signature does not compile. */
#define ENTRY(name) reinterpret_cast<decltype(&name)>(dlsym(handle, #name))
struct Library {
    void *handle;
    explicit Library(const std::string &path) : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~Library() { handle ? void(ENTRY(SONA_Free)()) : void(); } /* no thread outlives the test */
    bool init() const { return handle && ENTRY(SONA_Init)(0, 44100, 0, 0, nullptr); }
    int32_t open(const std::string &file) const
    {
        return ENTRY(SONA_StreamCreateFile)(SONA_FALSE, file.c_str(), 0, 0, 0) ? SONA_OK
                                                                              : ENTRY(SONA_ErrorGetCode)();
    }
};

bool mapped(const std::string &name)
{
    const std::vector<uint8_t> maps = read_file("/proc/self/maps");
    return std::string(maps.begin(), maps.end()).find(name) != std::string::npos;
}

class LazyFFmpeg : public ::testing::Test {
protected:
    /* A copy of the library alone in a directory, and a WAV written by
       hand so that ffmpeg's libraries stay out of this process. */
    void SetUp() override { fs::copy_file(SONA_LIBRARY, copied_library()); }
    std::string copied_library() const { return dir_.file(fs::path(SONA_LIBRARY).filename()); }
    TempDir dir_;
    const std::string wav_ = write_file(dir_.file("tone.wav"), wav_bytes(1, 44100, 8820, 0.1));
};

TEST_F(LazyFFmpeg, FirstStreamLoadsFFmpegAndInitDoesNot)
{
    const Library sona(SONA_LIBRARY);
    ASSERT_TRUE(sona.init()) << dlerror();
    EXPECT_FALSE(mapped("libavformat"));
    EXPECT_EQ(sona.open(wav_), SONA_OK);
    EXPECT_TRUE(mapped("libavformat"));
    EXPECT_EQ(sona.open(dir_.file("missing.wav")), SONA_ERROR_FILEOPEN) << "the module's own answer";
}

TEST_F(LazyFFmpeg, WithoutItsModuleCreationFailsUntilTheModuleIsThere)
{
    const Library sona(copied_library());
    ASSERT_TRUE(sona.init()) << dlerror();
    EXPECT_EQ(sona.open(wav_), SONA_ERROR_UNKNOWN);
    EXPECT_EQ(sona.open(wav_), SONA_ERROR_UNKNOWN);
    const fs::path place = dir_.file(fs::relative(SONA_MODULE, fs::path(SONA_LIBRARY).parent_path()));
    fs::create_directories(place.parent_path());
    fs::copy_file(SONA_MODULE, place);
    EXPECT_EQ(sona.open(wav_), SONA_OK) << "installing the module later did not help";
}

} // namespace
