// Bad and hostile input: every call returns (a FIFO or a network read must
// not hang it), fails with the code the header names or plays what is
// really there, and reads nothing but the one file it was given.
#include "pulse_harness.h"
#include "sona_test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace sona_test;
using sona::kFL;

std::string stereo_tone(const TempDir &dir, const std::string &name, double hz, double seconds,
                        const std::string &encoder = "-c:a pcm_s16le")
{
    return make_tone(dir, name, sona_test::stereo_tone(hz, seconds, encoder));
}

constexpr const char *kMp3 = "-c:a libmp3lame -b:a 128k";

class BadInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        ASSERT_TRUE(sona_init_manual(kMixRateHz, kMixChannels));
    }
    void TearDown() override { SONA_Free(); }

    // Expects creation to return within the guard and fail with `error`.
    void expect_refused(const std::string &path, int32_t error)
    {
        const std::optional<Created> created = create_file_with_hang_guard(path);
        ASSERT_TRUE(created) << path << ": creation did not return";
        EXPECT_EQ(created->handle, 0u) << path;
        EXPECT_EQ(created->error, error) << path;
    }

    // Plays `path` to its end; `handle` is 0 when creation failed with
    // `error`.  Creation that did not return fails the test.
    struct Outcome {
        SONA_HSTREAM handle = 0;
        int32_t error = SONA_OK;
        Rendered sound;
    };
    static Outcome play_file(const std::string &path, double limit_s = 10)
    {
        Outcome out;
        const std::optional<Created> created = create_file_with_hang_guard(path);
        EXPECT_TRUE(created) << path << ": creation did not return";
        if (!created)
            return out;
        out.handle = created->handle;
        out.error = created->error;
        if (out.handle)
            out.sound = render_to_end(out.handle, limit_s);
        return out;
    }

    // Expects `path` to open and play a tone of `frequency_hz` for about
    // `seconds`.
    static void expect_plays(const std::string &path, double frequency_hz, double seconds)
    {
        const Outcome o = play_file(path, 30);
        ASSERT_NE(o.handle, 0u) << "error " << o.error;
        EXPECT_TRUE(o.sound.ended) << "the stream did not end";
        const auto [first, last] = o.sound.audible();
        ASSERT_LT(first, last) << "nothing was heard";
        EXPECT_NEAR(double(last - first) / kMixRateHz, seconds, 0.01);
        EXPECT_NEAR(dominant_frequency(o.sound.channel(kFL, first, last - first), kMixRateHz),
                    frequency_hz, frequency_hz * 0.002);
    }

    // An MP3 of a 1 kHz tone, its bytes changed by `damage`, as dir_/name.
    std::string damaged_mp3(const std::string &name, double seconds, const char *encoder,
                            const std::function<void(std::vector<uint8_t> &)> &damage)
    {
        const std::string whole = stereo_tone(dir_, "whole.mp3", 1000, seconds, encoder);
        EXPECT_FALSE(whole.empty());
        std::vector<uint8_t> bytes = read_file(whole);
        damage(bytes);
        write_bytes(dir_.file(name), bytes);
        return dir_.file(name);
    }

    TempDir dir_;
};

TEST_F(BadInput, ThingsThatAreNotAudioFilesFailWithTheirCode)
{
    std::vector<uint8_t> text;
    for (int line = 0; line < 200; ++line)
        for (char c : std::string("These are the words of a shopping list, not a song.\n"))
            text.push_back(uint8_t(c));
    write_bytes(dir_.file("list.mp3"), text);
    write_bytes(dir_.file("empty.mp3"), {});
    expect_refused(dir_.file("no-such-file.mp3"), SONA_ERROR_FILEOPEN);
    expect_refused(dir_.file("empty.mp3"), SONA_ERROR_FORMAT);
    expect_refused(dir_.file("list.mp3"), SONA_ERROR_FORMAT);
    expect_refused(dir_.path(), SONA_ERROR_FILEOPEN);
    expect_refused("/dev/zero", SONA_ERROR_FILEOPEN); // read as a file it would never end
}

TEST_F(BadInput, UnixSocketFailsWithFileOpen)
{
    const std::string path = dir_.file("socket.mp3");
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::copy(path.begin(), path.end(), address.sun_path);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    expect_refused(path, SONA_ERROR_FILEOPEN);
    close(listener);
}

TEST_F(BadInput, FifoFailsWithFileOpenAtOnce)
{
    // A blocking open or read of a FIFO with no writer waits forever; the
    // guard gives up after a generous bound and then opens the writing end
    // so that a stuck library call can end.
    const std::string path = dir_.file("pipe.mp3");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    auto kept = std::make_shared<std::string>(path);
    const std::optional<Created> created =
        create_with_hang_guard(SONA_FALSE, kept->c_str(), 0, 0, 10s, [kept] {
            const int writer = open(kept->c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (writer >= 0)
                close(writer);
        });
    ASSERT_TRUE(created) << "creation on a FIFO did not return within 10 s";
    EXPECT_EQ(created->handle, 0u);
    EXPECT_EQ(created->error, SONA_ERROR_FILEOPEN);
}

TEST_F(BadInput, TruncatedMp3PlaysWhatIsThereOrFailsWithFormat)
{
    const Outcome o = play_file(
        damaged_mp3("cut.mp3", 2.0, kMp3, [](auto &b) { b.resize(b.size() * 2 / 5); }));
    if (o.handle == 0) {
        EXPECT_EQ(o.error, SONA_ERROR_FORMAT);
        return;
    }
    const auto [first, last] = o.sound.audible();
    ASSERT_LT(first, last) << "a stream was made but nothing was heard";
    EXPECT_TRUE(o.sound.ended) << "the stream did not end";
    EXPECT_NEAR(double(last - first) / kMixRateHz, 0.8, 0.1);
    EXPECT_NEAR(dominant_frequency(o.sound.channel(kFL, first, kMixRateHz / 2), kMixRateHz),
                1000, 2);
}

TEST_F(BadInput, Mp3CutInsideItsFirstFrameEndsQuietly)
{
    const Outcome o = play_file(
        damaged_mp3("stub.mp3", 1.0, "-c:a libmp3lame", [](auto &b) { b.resize(100); }), 3.0);
    if (o.handle == 0) {
        EXPECT_EQ(o.error, SONA_ERROR_FORMAT);
        return;
    }
    EXPECT_TRUE(o.sound.ended) << "the stream did not end";
    const auto [first, last] = o.sound.audible();
    EXPECT_LE(last - first, kMixRateHz / 10) << "a 100-byte file played for long";
}

TEST_F(BadInput, WavClaimingFourGigabytesPlaysWhatIsThereAndEnds)
{
    const std::string path = dir_.file("liar.wav");
    write_bytes(path, wav_bytes(2, 44100, 0xFFFFFFF0u, sine_samples(1000, 0.5, 2)));
    const Outcome o = play_file(path);
    ASSERT_NE(o.handle, 0u) << "error " << o.error;
    EXPECT_TRUE(o.sound.ended) << "the stream did not end";
    const auto [first, last] = o.sound.audible();
    EXPECT_NEAR(double(last - first) / kMixRateHz, 0.5, 0.01);
}

TEST_F(BadInput, WavWithAbsurdHeaderFieldsFailsWithFormat)
{
    struct Row {
        const char *name;
        uint16_t channels;
        uint32_t rate_hz;
    };
    const Row rows[] = {
        {"no channels", 0, 44100},
        {"65535 channels", 65535, 44100},
        {"a rate of 0 Hz", 2, 0},
        {"a rate of 1 Hz", 2, 1},
        {"a rate of 4 GHz", 2, 4000000000u},
    };
    const std::vector<int16_t> samples = sine_samples(1000, 0.1, 2);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        write_bytes(dir_.file("absurd.wav"),
                    wav_bytes(row.channels, row.rate_hz, uint32_t(samples.size() * 2), samples));
        expect_refused(dir_.file("absurd.wav"), SONA_ERROR_FORMAT);
    }
}

TEST_F(BadInput, Mp3WithGarbageInTheMiddlePlaysOnAndEnds)
{
    const Outcome o = play_file(damaged_mp3("damaged.mp3", 2.0, kMp3, [](auto &bytes) {
        uint32_t state = 12345; // a fixed pattern, so a failure can be reproduced
        for (size_t i = bytes.size() * 2 / 5; i < bytes.size() * 3 / 5; ++i) {
            state = state * 1664525u + 1013904223u;
            bytes[i] = uint8_t(state >> 24);
        }
    }));
    ASSERT_NE(o.handle, 0u) << "the header is intact; error " << o.error;
    const Rendered &sound = o.sound;
    EXPECT_TRUE(sound.ended) << "the stream did not end";
    const auto [first, last] = sound.audible();
    // What decodes of the damage may be noise, but never more than the file.
    EXPECT_LE(double(last - first) / kMixRateHz, 2.1);
    EXPECT_GE(double(last - first) / kMixRateHz, 1.5) << "the end after the damage was lost";
    // Nothing beyond full scale reaches the mix.
    EXPECT_LE(peak(sound.samples), 1.0);
}

// ---------------------------------------------------------------------------
// Names are bytes, and a name is never a URL.

TEST_F(BadInput, NameWithBytesThatAreNotUtf8Plays)
{
    const std::string path = dir_.file("tone-\xff\xfe\x80-latin1-caf\xe9.wav");
    const std::string plain = stereo_tone(dir_, "plain.wav", 1000, 0.5);
    ASSERT_FALSE(plain.empty());
    ASSERT_EQ(rename(plain.c_str(), path.c_str()), 0);
    expect_plays(path, 1000, 0.5);
}

// Counts the opens of each file in a directory, by name, from the moment
// it is made: the kernel reports every open, so a count of zero proves a
// file was never read, whoever tried.
class OpenCounter {
public:
    explicit OpenCounter(const std::string &dir)
    {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0)
            inotify_add_watch(fd_, dir.c_str(), IN_OPEN | IN_ACCESS);
    }
    ~OpenCounter()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Opens and reads seen so far, per file name.
    std::map<std::string, int> take()
    {
        alignas(inotify_event) char buffer[sizeof(inotify_event) + NAME_MAX + 1];
        ssize_t got;
        while ((got = read(fd_, buffer, sizeof buffer)) > 0) {
            for (char *at = buffer; at < buffer + got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(at);
                if (event->len > 0)
                    ++counts_[event->name];
                at += sizeof(inotify_event) + event->len;
            }
        }
        return counts_;
    }

private:
    int fd_ = -1;
    std::map<std::string, int> counts_;
};

// A TCP listener on loopback that counts the connections made to it.
class LoopbackListener {
public:
    LoopbackListener()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
            listen(fd_, 16) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &size) != 0)
            return;
        port_ = ntohs(address.sin_port);
    }
    ~LoopbackListener()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int port() const { return port_; }
    int fd() const { return fd_; }
    std::string url(const std::string &path) const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
    }
    // The kernel completes a TCP handshake before accept, so a connection
    // that was made and dropped at once is still counted here.
    int connections()
    {
        int accepted;
        while ((accepted = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
            close(accepted);
            ++connections_;
        }
        return connections_;
    }
    // Ends the listener so that a library call stuck on it fails.
    void shut()
    {
        if (fd_ >= 0)
            shutdown(fd_, SHUT_RDWR);
    }

private:
    int fd_ = -1;
    int port_ = 0;
    int connections_ = 0;
};

TEST_F(BadInput, NameThatLooksLikeAConcatUrlIsJustAFile)
{
    // Opened as a URL, "concat:x|y" would play x then y; as the file name it
    // is, it plays its own 1 kHz tone and x and y are never opened.  The
    // name is relative, as a URL's would be, so the test works in the
    // scratch directory.
    ASSERT_FALSE(stereo_tone(dir_, "x", 440, 0.5, "-f mp3").empty());
    ASSERT_FALSE(stereo_tone(dir_, "y", 440, 0.5, "-f mp3").empty());
    // ffmpeg itself would take the name as a URL, so the tone is renamed.
    const std::string plain = stereo_tone(dir_, "plain.wav", 1000, 0.75);
    ASSERT_FALSE(plain.empty());
    ASSERT_EQ(rename(plain.c_str(), dir_.file("concat:x|y").c_str()), 0);
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    OpenCounter opens(dir_.path());
    ASSERT_TRUE(opens.ok());
    expect_plays("concat:x|y", 1000, 0.75);
    std::filesystem::current_path(before);
    const std::map<std::string, int> seen = opens.take();
    EXPECT_EQ(seen.count("x"), 0u);
    EXPECT_EQ(seen.count("y"), 0u);
    EXPECT_EQ(seen.count("concat:x|y"), 1u);
}

struct NestedRow {
    const char *name;
    const char *file;
    const char *demuxer; // FFmpeg's, for the control that follows the script
    // The script's text: {L} stands for a real local audio file, {U} for a
    // URL on the loopback listener.
    const char *script;
};

#define HLS_HEAD "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n"
const NestedRow kNestedRows[] = {
    {"HlsPlaylistNamingALocalFile", "list.m3u8", "hls",
     HLS_HEAD "#EXTINF:1.0,\n{L}\n#EXT-X-ENDLIST\n"},
    {"HlsPlaylistNamingALoopbackUrl", "list.m3u8", "hls",
     HLS_HEAD "#EXTINF:1.0,\n{U}\n#EXT-X-ENDLIST\n"},
    {"HlsPlaylistNamedLikeAnMp3", "list.mp3", "hls",
     "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1.0,\n{U}\n#EXTINF:1.0,\n{L}\n#EXT-X-ENDLIST\n"},
    {"FfconcatNamingALocalFile", "list.ffconcat", "concat", "ffconcat version 1.0\nfile '{L}'\n"},
    {"FfconcatNamingALoopbackUrl", "list.ffconcat", "concat", "ffconcat version 1.0\nfile '{U}'\n"},
    {"FfconcatNamedLikeAWav", "list.wav", "concat",
     "ffconcat version 1.0\nfile '{U}'\nfile '{L}'\n"},
};
#undef HLS_HEAD

// The script names a real audio file and a loopback URL, so following
// either reference would succeed if the library allowed it.
class NestedReference : public BadInput, public ::testing::WithParamInterface<NestedRow> {
protected:
    void SetUp() override
    {
        BadInput::SetUp();
        const std::string local = stereo_tone(dir_, "segment.ts", 1000, 1.0, "-c:a mp2 -f mpegts");
        ASSERT_FALSE(local.empty());
        ASSERT_GT(listener_.port(), 0);
        script_ = dir_.file(GetParam().file);
        std::string text = GetParam().script;
        const std::pair<const char *, std::string> marks[] = {{"{L}", local},
                                                              {"{U}", listener_.url("segment.ts")}};
        for (const auto &[mark, with] : marks)
            for (size_t at; (at = text.find(mark)) != std::string::npos;)
                text.replace(at, 3, with);
        write_bytes(script_, std::vector<uint8_t>(text.begin(), text.end()));
        opens_.emplace(dir_.path()); // from here on, every open counts
        ASSERT_TRUE(opens_->ok());
    }

    LoopbackListener listener_;
    std::string script_;
    std::optional<OpenCounter> opens_;
};

TEST_P(NestedReference, IsRefusedWithoutOpeningOrConnectingAnything)
{
    auto kept = std::make_shared<std::string>(script_);
    const std::optional<Created> created = create_with_hang_guard(
        SONA_FALSE, kept->c_str(), 0, 0, 10s, [this] { listener_.shut(); });
    ASSERT_TRUE(created) << "creation did not return within 10 s";
    EXPECT_EQ(created->handle, 0u);
    EXPECT_EQ(created->error, SONA_ERROR_FORMAT);
    EXPECT_EQ(listener_.connections(), 0) << "the library connected to " << listener_.url("");
    EXPECT_EQ(opens_->take().count("segment.ts"), 0u)
        << "the library opened the file the script names";
}

// The control for the test above: Debian's ffprobe, told to follow such
// scripts, does open the local file or connect to the listener, so the
// counters there would have caught the library doing it.
TEST_P(NestedReference, ProofCatchesAReaderThatFollowsTheScript)
{
    // Connections are closed as soon as they come, so ffprobe stops waiting
    // for an answer and ends.
    std::atomic<bool> done{false};
    std::thread closer([&] {
        while (!done) {
            pollfd waiting{listener_.fd(), POLLIN, 0};
            if (poll(&waiting, 1, 20) > 0)
                listener_.connections();
        }
    });
    std::string output;
    pulse_harness::run_command({"ffprobe", "-v", "error", "-protocol_whitelist",
                                "file,http,tcp,hls,crypto", "-safe", "0", "-allowed_extensions",
                                "ALL", "-f", GetParam().demuxer, script_},
                               {}, output, 60s);
    done = true;
    closer.join();
    EXPECT_TRUE(listener_.connections() > 0 || opens_->take().count("segment.ts") > 0)
        << "ffprobe followed neither reference, so the proof proves nothing: " << output;
}

INSTANTIATE_TEST_SUITE_P(Scripts, NestedReference, ::testing::ValuesIn(kNestedRows),
                         [](const ::testing::TestParamInfo<NestedRow> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
