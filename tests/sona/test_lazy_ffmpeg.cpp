// libsona loads FFmpeg only when the first stream opens, from the decoder
// module at its own place beside the library, and without that module
// creation fails cleanly until the module appears.  This program links
// neither: it loads the library by path, as the player does by name, so
// /proc/self/maps shows what the library brought in.
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
        const auto create = ENTRY(SONA_StreamCreateFile);
        const auto error = ENTRY(SONA_ErrorGetCode);
        const int32_t code = create(SONA_FALSE, file.c_str(), 0, 0, 0) ? SONA_OK : error();
        EXPECT_EQ(dlerror(), nullptr) << "the library's failed load shows in the caller's dlerror()";
        return code;
    }
};

/* A copy of the library alone in a directory, and a WAV made by ffmpeg's
   own program: Init loads no FFmpeg, the first stream would, but its
   module is not there yet. */
TEST(LazyFFmpeg, InitLoadsNoFFmpegAndWithoutItsModuleCreationFailsUntilTheModuleIsThere)
{
    const TempDir dir;
    const std::string wav = make_tone(dir, "tone.wav", {{sine(1000)}, "mono", 0.1});
    const fs::path copied = dir.file(fs::path(SONA_LIBRARY).filename());
    fs::copy_file(SONA_LIBRARY, copied);
    const Library sona(copied);
    ASSERT_TRUE(sona.init()) << dlerror();
    EXPECT_FALSE(mapped("libavformat"));
    EXPECT_EQ(sona.open(wav), SONA_ERROR_UNKNOWN);
    EXPECT_EQ(sona.open(wav), SONA_ERROR_UNKNOWN);
    const fs::path place = dir.file(fs::relative(SONA_MODULE, fs::path(SONA_LIBRARY).parent_path()));
    fs::create_directories(place.parent_path());
    fs::copy_file(SONA_MODULE, place);
    EXPECT_EQ(sona.open(wav), SONA_OK) << "installing the module later did not help";
    EXPECT_TRUE(mapped("libavformat"));
    EXPECT_EQ(sona.open(dir.file("missing.wav")), SONA_ERROR_FILEOPEN) << "the module's own answer";
}

} // namespace
