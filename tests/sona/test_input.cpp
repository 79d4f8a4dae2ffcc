// What the library accepts and what it refuses: every format it promises,
// byte windows and memory, names that are only bytes, damaged and hostile
// files.  Every creation returns (a FIFO or a network read must not hang
// it), and nothing but the one file named is ever read.
#include "render.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <climits>
#include <random>

using namespace sona_test;
using namespace sona;

namespace {

class Input : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sona_init_manual(kRate, 6)); }
    void TearDown() override { SONA_Free(); }

    /* Plays `path` to its end and expects `seconds` of a 1 kHz tone. */
    static void expect_tone(const std::string &path, double seconds, double within = 0.01)
    {
        const std::optional<Created> made = create_guarded(path);
        ASSERT_TRUE(made) << path << ": creation did not return";
        ASSERT_NE(made->handle, 0u) << path << ": error " << made->error;
        const Played played = play_to_end(made->handle);
        EXPECT_TRUE(played.ended);
        const std::vector<float> fl = played.front_left();
        const auto [first, last] = audible(fl);
        EXPECT_NEAR(double(last - first) / kRate, seconds, within);
        EXPECT_NEAR(pitch({fl.begin() + long(first), fl.begin() + long(last)}, 1000), 1000, 1);
    }
    TempDir dir_;
};

/* ---- formats ----------------------------------------------------------- */

struct FormatRow {
    const char *name, *file, *codec;
    int rate_hz;
    double hz, level_db, length_s; /* what lossy codecs may move */
};
const FormatRow kFormats[] = {
    {"Wav16", "t.wav", "-c:a pcm_s16le", 44100, 1000, 0.05, 0.005},
    {"WavFloat48k", "t.wav", "-c:a pcm_f32le", 48000, 1200, 0.05, 0.005},
    {"Flac", "t.flac", "-c:a flac", 44100, 440, 0.05, 0.005},
    // Frames whose resampled output is larger than one conversion block.
    {"Flac96k24bit", "t.flac", "-c:a flac -sample_fmt s32", 96000, 3000, 0.05, 0.005},
    {"Mp3", "t.mp3", "-c:a libmp3lame -b:a 192k", 44100, 1500, 1, 0.05},
    {"Mp3At22050", "t.mp3", "-c:a libmp3lame -b:a 96k", 22050, 700, 1, 0.05},
    {"OggVorbis", "t.ogg", "-c:a libvorbis -q:a 6", 44100, 880, 1, 0.05},
    {"Opus", "t.opus", "-c:a libopus -b:a 128k", 48000, 1000, 1, 0.05},
    {"AacInM4a", "t.m4a", "-c:a aac -b:a 192k", 44100, 660, 1, 0.05},
    {"Aiff", "t.aiff", "-c:a pcm_s16be", 44100, 2000, 0.05, 0.005},
};

class Formats : public Input, public ::testing::WithParamInterface<FormatRow> {};

TEST_P(Formats, DecodeToTheToneTheyWereMadeFrom)
{
    const FormatRow &row = GetParam();
    const std::string path =
        make_tone(dir_, row.file, {{sine(row.hz), sine(row.hz)}, "stereo", 1, row.rate_hz, row.codec});
    const std::optional<Created> made = create_guarded(path);
    ASSERT_TRUE(made && made->handle) << (made ? made->error : -1);
    const Played played = play_to_end(made->handle);
    EXPECT_TRUE(played.ended);
    const auto [first, last] = audible(played.front_left());
    EXPECT_NEAR(double(last - first) / kRate, 1.0, row.length_s);
    for (int c = 0; c < 6; ++c) {
        const std::vector<float> steady = channel(played.mix, 6, c, first + kRate / 4, kRate / 2);
        if (c == kFL || c == kFR) {
            EXPECT_NEAR(pitch(steady, row.hz), row.hz, row.hz * 0.002) << "channel " << c;
            EXPECT_NEAR(decibels(rms(steady) * M_SQRT2 / 0.5), 0, row.level_db) << "channel " << c;
        } else {
            EXPECT_LT(rms(steady), 1e-5) << "channel " << c;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Formats, ::testing::ValuesIn(kFormats),
                         [](const auto &info) { return std::string(info.param.name); });

/* ---- refused ----------------------------------------------------------- */

struct RefusedRow {
    const char *name;
    std::function<std::string(const TempDir &)> make; /* the path to open */
    int32_t error;
};

std::string bytes_file(const TempDir &dir, const std::string &bytes)
{
    write_file(dir.file("f.mp3"), bytes);
    return dir.file("f.mp3");
}

const RefusedRow kRefused[] = {
    {"Missing", [](const TempDir &d) { return d.file("none.mp3"); }, SONA_ERROR_FILEOPEN},
    {"Directory", [](const TempDir &d) { return d.path(); }, SONA_ERROR_FILEOPEN},
    {"DevZero", [](const TempDir &) { return std::string("/dev/zero"); }, SONA_ERROR_FILEOPEN},
    {"Fifo", [](const TempDir &d) { mkfifo(d.file("p").c_str(), 0600); return d.file("p"); },
     SONA_ERROR_FILEOPEN},
    {"UnixSocket",
     [](const TempDir &d) {
         sockaddr_un address{AF_UNIX, {}};
         const std::string path = d.file("s");
         path.copy(address.sun_path, sizeof address.sun_path - 1);
         const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
         bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
         listen(fd, 1); /* left open until the process ends */
         return path;
     },
     SONA_ERROR_FILEOPEN},
    {"Empty", [](const TempDir &d) { return bytes_file(d, ""); }, SONA_ERROR_FORMAT},
    {"Text", [](const TempDir &d) { return bytes_file(d, std::string(8000, 'a')); },
     SONA_ERROR_FORMAT},
    {"WavOfNoChannels", [](const TempDir &d) { return bytes_file(d, wav_bytes(0, 44100, 8820, 0.1)); },
     SONA_ERROR_FORMAT},
    {"WavOf65535Channels",
     [](const TempDir &d) { return bytes_file(d, wav_bytes(65535, 44100, 8820, 0.1)); },
     SONA_ERROR_FORMAT},
    {"WavAt1Hz", [](const TempDir &d) { return bytes_file(d, wav_bytes(2, 1, 8820, 0.1)); },
     SONA_ERROR_FORMAT},
    {"WavAt4GHz",
     [](const TempDir &d) { return bytes_file(d, wav_bytes(2, 4000000000u, 8820, 0.1)); },
     SONA_ERROR_FORMAT},
};

class Refused : public Input, public ::testing::WithParamInterface<RefusedRow> {};

TEST_P(Refused, AtOnceWithItsCode)
{
    const std::string path = GetParam().make(dir_);
    // A stuck open of a FIFO ends when a writer comes.
    const std::optional<Created> made = create_guarded(path, [path] {
        if (const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0)
            close(fd);
    });
    ASSERT_TRUE(made) << "creation did not return";
    EXPECT_EQ(made->handle, 0u);
    EXPECT_EQ(made->error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Rows, Refused, ::testing::ValuesIn(kRefused),
                         [](const auto &info) { return std::string(info.param.name); });

/* ---- what plays: lying headers, cut files, names that are only bytes ---- */

/* dir/ddd.../eee/t.wav, 4,000 bytes long: a name may have 255 at most. */
std::string long_path(const TempDir &dir)
{
    std::string path = dir.path();
    while (path.size() < 3700)
        std::filesystem::create_directory(path += "/" + std::string(200, 'd'));
    std::filesystem::create_directory(path += "/" + std::string(4000 - path.size() - 7, 'e'));
    return path + "/t.wav";
}

/* A copy of a half-second 1 kHz tone at `path`. */
std::string tone_at(const std::string &path)
{
    std::filesystem::copy_file(tone_file("t.wav", {{sine(1000)}, "mono", 0.5}), path);
    return path;
}

struct PlaysRow {
    const char *name;
    std::function<std::string(const TempDir &)> make; /* run in the scratch directory */
    double seconds, within;
};
const PlaysRow kPlays[] = {
    {"WavClaiming4GB",
     [](const TempDir &d) {
         write_file(d.file("liar.wav"), wav_bytes(2, 44100, 0xFFFFFFF0u, 0.5));
         return d.file("liar.wav");
     },
     0.5, 0.01},
    {"Mp3CutAt40Percent",
     [](const TempDir &d) {
         const std::vector<uint8_t> mp3 =
             read_file(tone_file("t.mp3", {{sine(1000)}, "mono", 2, 44100, "-c:a libmp3lame"}));
         write_file(d.file("cut.mp3"), std::string(mp3.begin(), mp3.begin() + long(mp3.size() * 2 / 5)));
         return d.file("cut.mp3");
     },
     0.8, 0.1},
    {"NameNotUtf8", [](const TempDir &d) { return tone_at(d.file("\xff\xfe caf\xe9 \"'\n.wav")); },
     0.5, 0.01},
    {"PathOf4000Bytes", [](const TempDir &d) { return tone_at(long_path(d)); }, 0.5, 0.01},
    // Relative, as a URL would be: as one it would play x then y; as the
    // file it is, its own tone.
    {"NameLikeAConcatUrl",
     [](const TempDir &d) {
         tone_at(d.file("x"));
         tone_at(d.file("y"));
         return tone_at("concat:x|y");
     },
     0.5, 0.01},
};

class Plays : public Input, public ::testing::WithParamInterface<PlaysRow> {};

TEST_P(Plays, WhatIsThereAndEnds)
{
    const std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    expect_tone(GetParam().make(dir_), GetParam().seconds, GetParam().within);
    std::filesystem::current_path(home);
}

INSTANTIATE_TEST_SUITE_P(Rows, Plays, ::testing::ValuesIn(kPlays),
                         [](const auto &info) { return std::string(info.param.name); });

/* ---- scripts that name other files or hosts ---------------------------- */

/* Counts opens of each file in a directory, by name, as the kernel reports
   them, and connections to a loopback port, made or merely attempted. */
struct Witnesses {
    int notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int port = 0;
    explicit Witnesses(const std::string &dir)
    {
        inotify_add_watch(notify, dir.c_str(), IN_OPEN);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        bind(listener, reinterpret_cast<sockaddr *>(&address), size);
        listen(listener, 16);
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size);
        port = ntohs(address.sin_port);
    }
    ~Witnesses()
    {
        close(notify);
        close(listener);
    }
    int opens(const std::string &name) const
    {
        alignas(inotify_event) char buffer[sizeof(inotify_event) + NAME_MAX + 1];
        int count = 0;
        for (ssize_t got; (got = read(notify, buffer, sizeof buffer)) > 0;)
            for (char *at = buffer; at < buffer + got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(at);
                count += event->len > 0 && name == event->name;
                at += sizeof(inotify_event) + event->len;
            }
        return count;
    }
    /* The kernel completes the handshake before accept: a connection made
       and dropped at once still counts. */
    int connections() const
    {
        int count = 0;
        for (int fd; (fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ++count)
            close(fd);
        return count;
    }
};

struct ScriptRow {
    const char *name, *file, *text; /* {L}: a real local file, {U}: a loopback URL */
};
#define HLS "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1.0,\n"
const ScriptRow kScripts[] = {
    {"HlsNamingALocalFile", "list.m3u8", HLS "{L}\n#EXT-X-ENDLIST\n"},
    {"HlsNamingAUrl", "list.m3u8", HLS "{U}\n#EXT-X-ENDLIST\n"},
    {"HlsNamedLikeAnMp3", "list.mp3", HLS "{U}\n#EXTINF:1.0,\n{L}\n#EXT-X-ENDLIST\n"},
    {"FfconcatNamingALocalFile", "list.ffconcat", "ffconcat version 1.0\nfile '{L}'\n"},
    {"FfconcatNamedLikeAWav", "list.wav", "ffconcat version 1.0\nfile '{U}'\nfile '{L}'\n"},
};
#undef HLS

class Scripts : public Input, public ::testing::WithParamInterface<ScriptRow> {};

TEST_P(Scripts, AreRefusedWithoutOpeningOrConnectingAnything)
{
    const std::string local = make_tone(dir_, "seg.ts", {{sine(1000)}, "mono", 1, 44100, "-c:a mp2 -f mpegts"});
    Witnesses witnesses(dir_.path());
    std::string text = GetParam().text;
    const std::string url = "http://127.0.0.1:" + std::to_string(witnesses.port) + "/seg.ts";
    for (size_t at; (at = text.find("{L}")) != std::string::npos;)
        text.replace(at, 3, local);
    for (size_t at; (at = text.find("{U}")) != std::string::npos;)
        text.replace(at, 3, url);
    write_file(dir_.file(GetParam().file), text);
    const std::optional<Created> made = create_guarded(dir_.file(GetParam().file));
    ASSERT_TRUE(made) << "creation did not return";
    EXPECT_EQ(made->handle, 0u);
    EXPECT_EQ(made->error, SONA_ERROR_FORMAT);
    EXPECT_EQ(witnesses.opens("seg.ts"), 0) << "the library opened the file the script names";
    EXPECT_EQ(witnesses.connections(), 0) << "the library connected to " << url;
    // As memory too: no directory, but a nested open could still reach out.
    EXPECT_EQ(SONA_StreamCreateFile(SONA_TRUE, text.data(), 0, uint32_t(text.size()), 0), 0u);
    EXPECT_EQ(witnesses.opens("seg.ts") + witnesses.connections(), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, Scripts, ::testing::ValuesIn(kScripts),
                         [](const auto &info) { return std::string(info.param.name); });

/* ---- byte windows and memory ------------------------------------------- */

// Two MP3s back to back between junk, without the Xing header whose frame
// count might stop a demuxer at the boundary: a window that leaked would
// let the neighbour's tone in, as a memory block of both shows it does.
TEST_F(Input, AWindowOrAMemoryBlockPlaysExactlyItsBytes)
{
    const char *mp3 = "-c:a libmp3lame -write_xing 0";
    const std::vector<uint8_t> one = read_file(make_tone(dir_, "1.mp3", {{sine(1000)}, "mono", 1, 44100, mp3}));
    const std::vector<uint8_t> two = read_file(make_tone(dir_, "2.mp3", {{sine(440)}, "mono", 1.5, 44100, mp3}));
    const std::string junk(1000, 'j');
    const std::string both = std::string(one.begin(), one.end()) + std::string(two.begin(), two.end());
    write_file(dir_.file("joined"), junk + both + junk);
    const std::string joined = dir_.file("joined");
    const uint32_t size = uint32_t(2 * junk.size() + both.size());
    const struct {
        SONA_HSTREAM handle;
        double seconds, hz, absent_hz;
    } rows[] = {
        {SONA_StreamCreateFile(0, joined.c_str(), 1000, uint32_t(one.size()), 0), 1, 1000, 440},
        {SONA_StreamCreateFile(0, joined.c_str(), uint32_t(1000 + one.size()), uint32_t(two.size()), 0), 1.5, 440, 1000},
        {SONA_StreamCreateFile(1, both.data(), 0, uint32_t(one.size()), 0), 1, 1000, 440},
        {SONA_StreamCreateFile(1, both.data(), 0, uint32_t(both.size()), 0), 2.5, 440, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.hz);
        ASSERT_NE(row.handle, 0u);
        const std::vector<float> fl = play_to_end(row.handle).front_left();
        const auto [first, last] = audible(fl);
        EXPECT_NEAR(double(last - first) / kRate, row.seconds, 0.1);
        const std::vector<float> heard(fl.begin() + long(first), fl.begin() + long(last));
        EXPECT_GT(tone_amplitude(heard, row.hz), 0.15);
        if (row.absent_hz) {
            EXPECT_LT(tone_amplitude(heard, row.absent_hz), 1e-3) << "a neighbour leaked in";
        }
    }
    const struct {
        SONA_BOOL mem;
        const void *data;
        uint32_t offset, length;
    } bad[] = {{0, joined.c_str(), size + 1, 0}, {0, joined.c_str(), size / 2, size},
               {0, joined.c_str(), size / 2, 0xFFFFFFFFu}, {1, both.data(), 0, 0},
               {1, nullptr, 0, 16}, {1, both.data(), 1, 100}};
    for (const auto &row : bad) {
        EXPECT_EQ(SONA_StreamCreateFile(row.mem, row.data, row.offset, row.length, 0), 0u);
        EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_PARAM) << row.offset << " " << row.length;
    }
}

TEST_F(Input, AMemoryStreamIsACopy)
{
    const std::vector<uint8_t> tone = read_file(make_tone(dir_, "t.flac", {{sine(1000)}, "mono", 1, 44100, "-c:a flac"}));
    auto block = std::make_unique<std::vector<uint8_t>>(tone);
    const SONA_HSTREAM h = SONA_StreamCreateFile(SONA_TRUE, block->data(), 0, uint32_t(block->size()), 0);
    std::fill(block->begin(), block->end(), 0);
    block.reset();
    const std::vector<float> fl = play_to_end(h).front_left();
    const auto [first, last] = audible(fl);
    EXPECT_NEAR(double(last - first) / kRate, 1, 0.01);
}

} // namespace
