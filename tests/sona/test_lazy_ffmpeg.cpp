// libsona.so loads FFmpeg only when the first stream opens, from the module
// beside itself, and without that module stream creation fails cleanly.
// This program links neither FFmpeg nor libsona: it dlopens libsona.so as
// the player does, so /proc/self/maps shows what libsona.so brought in.
// Each test loads FFmpeg in the end, so each runs in a process of its own.
#include "sona_test_util.h"

#include <dlfcn.h>

namespace {

namespace fs = std::filesystem;
using namespace sona_test;

/* The calls this test makes, from one loaded copy of libsona.so. */
struct Sona {
    void *handle = nullptr;
    SONA_BOOL (*init)(int32_t, uint32_t, uint32_t, uint32_t, const void *) = nullptr;
    SONA_HSTREAM (*create)(SONA_BOOL, const void *, uint32_t, uint32_t, uint32_t) = nullptr;
    SONA_BOOL (*play)(uint32_t, SONA_BOOL) = nullptr;
    SONA_BOOL (*free)(void) = nullptr;
    int32_t (*error)(void) = nullptr;

    explicit Sona(const std::string &path)
    {
        // Never closed: a test process may keep what it loaded.
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return;
        init = reinterpret_cast<decltype(init)>(dlsym(handle, "SONA_Init"));
        create = reinterpret_cast<decltype(create)>(dlsym(handle, "SONA_StreamCreateFile"));
        play = reinterpret_cast<decltype(play)>(dlsym(handle, "SONA_ChannelPlay"));
        free = reinterpret_cast<decltype(free)>(dlsym(handle, "SONA_Free"));
        error = reinterpret_cast<decltype(error)>(dlsym(handle, "SONA_ErrorGetCode"));
    }
    bool ok() const { return handle && init && create && play && free && error; }
    SONA_HSTREAM create_file(const std::string &file) const
    {
        return create(SONA_FALSE, file.c_str(), 0, 0, 0);
    }
};

bool mapped(const std::string &name)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find(name) != std::string::npos)
            return true;
    return false;
}

/* A short mono WAV written by hand (ffmpeg's libraries stay out of this
   process), and a copy of libsona.so alone in the same directory. */
class LazyFFmpeg : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        const std::vector<int16_t> samples = sine_samples(440, 0.1, 1);
        write_bytes(wav_, wav_bytes(1, 44100, uint32_t(samples.size() * 2), samples));
        std::error_code ec;
        fs::copy_file(SONA_LIBRARY, dir_.file("libsona.so"), ec);
        ASSERT_FALSE(ec) << ec.message();
    }

    TempDir dir_;
    const std::string wav_ = dir_.file("tone.wav");
};

TEST_F(LazyFFmpeg, FirstStreamLoadsFFmpegAndInitDoesNot)
{
    ASSERT_FALSE(mapped("libavformat")) << "the test program itself brought FFmpeg in";
    Sona sona(SONA_LIBRARY);
    ASSERT_TRUE(sona.ok()) << dlerror();
    ASSERT_TRUE(sona.init(0, 44100, 0, 0, nullptr));
    EXPECT_FALSE(mapped("libavformat"));
    EXPECT_FALSE(mapped("libsona-ffmpeg"));

    const SONA_HSTREAM stream = sona.create_file(wav_);
    EXPECT_NE(stream, 0u);
    EXPECT_EQ(sona.error(), SONA_OK);
    EXPECT_TRUE(mapped("libavformat"));
    EXPECT_TRUE(mapped("libsona-ffmpeg"));
    EXPECT_TRUE(sona.play(stream, SONA_FALSE));
    // The module's own answers come through as they are.
    EXPECT_EQ(sona.create_file(dir_.file("missing.wav")), 0u);
    EXPECT_EQ(sona.error(), SONA_ERROR_FILEOPEN);
    EXPECT_TRUE(sona.free());
}

TEST_F(LazyFFmpeg, WithoutItsModuleCreationFailsEveryTime)
{
    // It must not settle for a module found anywhere else, even one this
    // process has already loaded.
    ASSERT_NE(dlopen(SONA_MODULE, RTLD_NOW | RTLD_LOCAL), nullptr) << dlerror();
    Sona sona(dir_.file("libsona.so"));
    ASSERT_TRUE(sona.ok()) << dlerror();
    ASSERT_TRUE(sona.init(0, 44100, 0, 0, nullptr));
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(sona.create_file(wav_), 0u);
        EXPECT_EQ(sona.error(), SONA_ERROR_UNKNOWN);
    }
    EXPECT_TRUE(sona.free());
}

TEST_F(LazyFFmpeg, ModuleInstalledLaterIsUsedByTheNextCreation)
{
    Sona sona(dir_.file("libsona.so"));
    ASSERT_TRUE(sona.ok()) << dlerror();
    ASSERT_TRUE(sona.init(0, 44100, 0, 0, nullptr));
    EXPECT_EQ(sona.create_file(wav_), 0u);
    EXPECT_EQ(sona.error(), SONA_ERROR_UNKNOWN);
    std::error_code ec;
    fs::create_directory(dir_.file("sona"), ec);
    fs::copy_file(SONA_MODULE, dir_.file("sona/libsona-ffmpeg.so"), ec);
    ASSERT_FALSE(ec) << ec.message();
    const SONA_HSTREAM stream = sona.create_file(wav_);
    EXPECT_NE(stream, 0u);
    EXPECT_EQ(sona.error(), SONA_OK);
    EXPECT_TRUE(sona.play(stream, SONA_FALSE));
    EXPECT_TRUE(sona.free());
}

} // namespace
