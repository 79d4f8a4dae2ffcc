// libsona.so loads FFmpeg only when the first stream opens, from the module
// beside itself, and without that module stream creation fails cleanly.
// This program links neither FFmpeg nor libsona: it dlopens libsona.so as
// the player does, so /proc/self/maps shows what libsona.so brought in.
// Each test loads FFmpeg in the end, so each runs in a process of its own.
#include "sona.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cmath>
#include <numbers>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

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

class TempDir {
public:
    TempDir()
    {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/sona-lazy-XXXXXX";
        if (char *made = ::mkdtemp(tmpl.data()))
            path_ = made;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty())
            fs::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    bool made() const { return !path_.empty(); }

private:
    std::string path_;
};

void put_le(std::ofstream &out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.put(char((value >> (8 * i)) & 0xff));
}

/* A tenth of a second of a 440 Hz mono tone, 16-bit PCM at 44.1 kHz. */
std::string write_wav(const TempDir &dir)
{
    constexpr uint32_t kRate = 44100, kFrames = kRate / 10;
    const std::string path = dir.file("tone.wav");
    std::ofstream out(path, std::ios::binary);
    out.write("RIFF", 4);
    put_le(out, 36 + kFrames * 2, 4);
    out.write("WAVEfmt ", 8);
    put_le(out, 16, 4);
    put_le(out, 1, 2); /* PCM */
    put_le(out, 1, 2); /* mono */
    put_le(out, kRate, 4);
    put_le(out, kRate * 2, 4);
    put_le(out, 2, 2);
    put_le(out, 16, 2);
    out.write("data", 4);
    put_le(out, kFrames * 2, 4);
    for (uint32_t i = 0; i < kFrames; ++i)
        put_le(out, uint32_t(int16_t(8000 * std::sin(2 * std::numbers::pi * 440.0 * i / kRate))) & 0xffff, 2);
    return out.good() ? path : std::string();
}

TEST(LazyFFmpeg, FirstStreamLoadsFFmpegAndInitDoesNot)
{
    TempDir dir;
    ASSERT_TRUE(dir.made());
    const std::string wav = write_wav(dir);
    ASSERT_FALSE(wav.empty());

    ASSERT_FALSE(mapped("libavformat")) << "the test program itself brought FFmpeg in";
    Sona sona(SONA_LIBRARY);
    ASSERT_TRUE(sona.ok()) << dlerror();
    ASSERT_TRUE(sona.init(0, 44100, 0, 0, nullptr));
    EXPECT_FALSE(mapped("libavformat"));
    EXPECT_FALSE(mapped("libsona-ffmpeg"));

    const SONA_HSTREAM stream = sona.create_file(wav);
    EXPECT_NE(stream, 0u);
    EXPECT_EQ(sona.error(), SONA_OK);
    EXPECT_TRUE(mapped("libavformat"));
    EXPECT_TRUE(mapped("libsona-ffmpeg"));
    EXPECT_TRUE(sona.play(stream, SONA_FALSE));
    // The module's own answers come through as they are.
    EXPECT_EQ(sona.create_file(dir.file("missing.wav")), 0u);
    EXPECT_EQ(sona.error(), SONA_ERROR_FILEOPEN);
    EXPECT_TRUE(sona.free());
}

TEST(LazyFFmpeg, WithoutItsModuleCreationFailsEveryTime)
{
    TempDir dir;
    ASSERT_TRUE(dir.made());
    const std::string wav = write_wav(dir);
    ASSERT_FALSE(wav.empty());
    // A copy of libsona.so alone: it must not settle for a module found
    // anywhere else, even one this process has already loaded.
    ASSERT_NE(dlopen(SONA_MODULE, RTLD_NOW | RTLD_LOCAL), nullptr) << dlerror();
    std::error_code ec;
    fs::copy_file(SONA_LIBRARY, dir.file("libsona.so"), ec);
    ASSERT_FALSE(ec) << ec.message();

    Sona sona(dir.file("libsona.so"));
    ASSERT_TRUE(sona.ok()) << dlerror();
    ASSERT_TRUE(sona.init(0, 44100, 0, 0, nullptr));
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(sona.create_file(wav), 0u);
        EXPECT_EQ(sona.error(), SONA_ERROR_UNKNOWN);
    }
    EXPECT_TRUE(sona.free());
}

TEST(LazyFFmpeg, ModuleInstalledLaterIsUsedByTheNextCreation)
{
    TempDir dir;
    ASSERT_TRUE(dir.made());
    const std::string wav = write_wav(dir);
    ASSERT_FALSE(wav.empty());
    std::error_code ec;
    fs::copy_file(SONA_LIBRARY, dir.file("libsona.so"), ec);
    ASSERT_FALSE(ec) << ec.message();

    Sona sona(dir.file("libsona.so"));
    ASSERT_TRUE(sona.ok()) << dlerror();
    ASSERT_TRUE(sona.init(0, 44100, 0, 0, nullptr));
    EXPECT_EQ(sona.create_file(wav), 0u);
    EXPECT_EQ(sona.error(), SONA_ERROR_UNKNOWN);
    fs::copy_file(SONA_MODULE, dir.file("libsona-ffmpeg.so"), ec);
    ASSERT_FALSE(ec) << ec.message();
    const SONA_HSTREAM stream = sona.create_file(wav);
    EXPECT_NE(stream, 0u);
    EXPECT_EQ(sona.error(), SONA_OK);
    EXPECT_TRUE(sona.play(stream, SONA_FALSE));
    EXPECT_TRUE(sona.free());
}

} // namespace
