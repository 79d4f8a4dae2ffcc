// What the library accepts and what it refuses: every format it promises,
// what each says of itself and where a seek lands in it, byte windows and
// memory, names that are only bytes, lying and hostile files, and what the
// fuzzer once found, replayed through its own body (fuzz/feed.h).  Every
// creation returns (a FIFO or a network read must not hang it), and
// nothing but the one file named is ever read.
#include "../../fuzz/feed.h"
#include "decoder/decoder.h"
#include "render.h"
#include "sound_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <climits>
#include <regex>

using namespace sona_test;
using namespace sona;

namespace {

class Input : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sona_init_manual(kRate, 6)); }
    void TearDown() override { SONA_Free(); }

    /* Plays `handle` to its end: `seconds` of a tone at `hz`, at half scale
       on both fronts and nothing elsewhere; lossy codecs may move the
       level by `level_db`. */
    static void expect_tone(SONA_HSTREAM handle, double seconds, double within = 0.01,
                            double hz = 1000, double level_db = 1)
    {
        ASSERT_NE(handle, 0u) << SONA_ErrorGetCode();
        const Played played = play_to_end(handle);
        EXPECT_TRUE(played.ended);
        const auto [first, last] = audible(channel(played.mix, 6, kFL));
        EXPECT_NEAR(double(last - first) / kRate, seconds, within);
        for (int c = 0; c < 6; ++c) {
            const std::vector<float> steady = channel(played.mix, 6, c, first + 2000, kRate / 4);
            if (c == kFL || c == kFR) {
                EXPECT_LT(distortion_db(steady, hz), -20) << "channel " << c;
                EXPECT_NEAR(20 * std::log10(rms(steady) * M_SQRT2 / 0.5), 0, level_db) << "channel " << c;
            } else {
                EXPECT_LT(rms(steady), 1e-5) << "channel " << c;
            }
        }
    }
    static void expect_tone(const std::string &path, double seconds, double within = 0.01)
    {
        const std::optional<Created> made = create_guarded(path);
        ASSERT_TRUE(made) << path << ": creation did not return";
        expect_tone(made->first, seconds, within);
    }
    TempDir dir_;
};

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
    expect_tone(SONA_StreamCreateFile(SONA_FALSE, path.c_str(), 0, 0, 0), 1, row.length_s, row.hz, row.level_db);
}

/* Tags in every file of the table, as `ffmpeg -metadata` writes them. */
const std::pair<const char *, const char *> kTags[] = {
    {"title", "Süße “Grüße” 日本"}, {"artist", "Björk"}, {"album", "Ça ira"},
    {"date", "2021"},               {"genre", "Jazz"},   {"track", "3"},
};

/* Noise below 2 kHz, which lossy codecs keep and whose every stretch is
   unlike every other, made once per row, with kTags. */
std::string tagged_noise(const FormatRow &row)
{
    static TempDir dir;
    std::string tags;
    for (const auto &[key, value] : kTags)
        tags += std::string(" -metadata '") + key + "=" + value + "'";
    const std::string path = dir.file(std::string(row.name) + "." + row.file);
    const std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i 'anoisesrc=d=2.5:a=0.5:r=" +
                            std::to_string(row.rate_hz) + ",lowpass=2000,lowpass=2000' -ac 2 " +
                            row.codec + tags + " '" + path + "'";
    if (!std::filesystem::exists(path)) {
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    return path;
}

/* What ffprobe says of a file: "duration" and the tags by lower-case key,
   the container's (printed last) over the stream's. */
std::map<std::string, std::string> ffprobe(const std::string &path)
{
    std::string out;
    EXPECT_TRUE(sound::capture("ffprobe -v error -of default=nw=1 -select_streams a:0 "
                               "-show_entries format=duration:format_tags:stream_tags '" + path + "'", &out))
        << out;
    std::map<std::string, std::string> said;
    std::istringstream lines(out);
    for (std::string entry; std::getline(lines, entry);) {
        const size_t eq = entry.find('=');
        std::string key = entry.substr(0, eq);
        std::transform(key.begin(), key.end(), key.begin(), ::tolower);
        said[key.rfind("tag:", 0) == 0 ? key.substr(4) : key] = entry.substr(eq + 1);
    }
    return said;
}

DecoderPtr open_decoder(const std::string &path, uint32_t play_rate_hz = 0)
{
    DecoderPtr d;
    EXPECT_EQ(decoder_open({path.c_str(), nullptr, 0, 0, 0}, kRate, &d), SONA_OK) << path;
    if (d)
        decoder_set_play_rate(d.get(), play_rate_hz);
    return d;
}

/* The front left channel of what `d` decodes from where it is on, up to
   `frames` frames. */
std::vector<float> decode_left(Decoder *d, size_t frames = SIZE_MAX)
{
    Ring ring;
    std::vector<float> out;
    if (!d || !ring_init(&ring, 1 << 14, decoder_ring_slots(d)))
        return out;
    for (bool ended = false; !ended && out.size() < frames;) {
        ended = decoder_fill(d, &ring) == DecodeResult::kEnded;
        RingSpan spans[2];
        const uint32_t n = ring_read_spans(&ring, ring_read_available(&ring), spans);
        for (const RingSpan &span : spans)
            for (uint32_t i = 0; i < span.frames; ++i)
                out.push_back(span.data[size_t(i) * ring.slots]);
        ring_read_commit(&ring, n);
        ring_let_go(&ring, ring.read_pos.load());
    }
    ring_free(&ring);
    out.resize(std::min(out.size(), frames));
    return out;
}

/* Where `piece` is most like `whole`, within 20 ms of `at`: the lag in
   frames, and the normalised correlation there. */
std::pair<long, double> best_match(const std::vector<float> &whole, size_t at, const std::vector<float> &piece)
{
    constexpr long kSearch = kRate / 50;
    std::pair<long, double> best{0, -1};
    for (long lag = -kSearch; lag <= kSearch; ++lag) {
        const long from = long(at) + lag;
        if (from < 0 || size_t(from) + piece.size() > whole.size())
            continue;
        double xy = 0, xx = 0, yy = 0;
        for (size_t i = 0; i < piece.size(); ++i) {
            const double x = piece[i], y = whole[size_t(from) + i];
            xy += x * y, xx += x * x, yy += y * y;
        }
        if (const double c = xy / std::sqrt(xx * yy + 1e-30); c > best.second)
            best = {lag, c};
    }
    return best;
}

TEST_P(Formats, SayTheirLengthAndTagsAsFfprobeDoes)
{
    const std::string path = tagged_noise(GetParam());
    std::map<std::string, std::string> said = ffprobe(path);
    const DecoderPtr d = open_decoder(path);
    ASSERT_TRUE(d);
    DecoderInfo info{};
    decoder_info(d.get(), &info);
    EXPECT_EQ(info.source_rate_hz, uint32_t(GetParam().rate_hz));
    EXPECT_NEAR(double(info.duration_us) / 1e6, std::stod(said["duration"]), 0.010);
    EXPECT_EQ(said["title"], kTags[0].second) << "every format of the table carries a title";
    for (const auto &[key, written] : kTags) {
        char value[256] = "untouched";
        const int32_t length = decoder_tag(d.get(), key, value, sizeof value);
        if (said.count(key)) {
            EXPECT_EQ(std::string(value, size_t(std::max(length, 0))), said[key]) << key;
        } else {
            EXPECT_EQ(length, -1) << key << " is " << value;
        }
    }
}

// From a fresh decoder, on and back from where it is, and at a play rate
// of its own; at frames that fall between the codec's packets.
TEST_P(Formats, SeekToTheFrameAskedFor)
{
    const std::string path = tagged_noise(GetParam());
    for (const uint32_t play_rate : {0, GetParam().rate_hz * 5 / 4}) {
        const std::vector<float> whole = decode_left(open_decoder(path, play_rate).get());
        const DecoderPtr d = open_decoder(path, play_rate);
        for (const uint64_t frame : {kRate * 3 / 2 + 7, kRate / 3 + 1001, kRate * 9 / 5, 0u, kRate - 1}) {
            ASSERT_TRUE(decoder_seek(d.get(), frame)) << frame;
            const auto [lag, likeness] = best_match(whole, frame, decode_left(d.get(), 2048));
            EXPECT_GT(likeness, 0.9) << "at " << frame << ", play rate " << play_rate;
            EXPECT_LE(std::abs(lag), long(kRate / 200)) << "at " << frame << ", play rate " << play_rate;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Formats, ::testing::ValuesIn(kFormats), kRowName);

// ID3v1 is Latin-1, and much RIFF INFO is; FFmpeg passes both on as the
// bytes in the file.  They come back as UTF-8, cut as snprintf cuts.
TEST_F(Input, Latin1TagsComeBackAsUtf8)
{
    const auto field = [](const std::string &text, size_t size) { return text + std::string(size - text.size(), '\0'); };
    const std::vector<uint8_t> mp3 =
        read_file(make_tone(dir_, "plain.mp3", {{sine(440)}, "mono", 0.5, 44100, "-c:a libmp3lame -id3v2_version 0"}));
    const std::string id3v1 = "TAG" + field("Caf\xe9 \xd8resund", 30) + field("Bj\xf6rk", 30) +
                              field("\xc9t\xe9", 30) + "1999" + field("", 28) + '\0' + '\7' + '\x08';
    const DecoderPtr v1 = open_decoder(write_file(dir_.file("v1.mp3"), std::string(mp3.begin(), mp3.end()) + id3v1));
    const DecoderPtr riff = open_decoder(
        make_tone(dir_, "info.wav", {{sine(440)}, "mono", 0.5, 44100, "-c:a pcm_s16le -metadata title=Caf\xe9"}));
    ASSERT_TRUE(v1 && riff);
    const struct {
        const Decoder *from;
        const char *key, *value;
    } rows[] = {
        {v1.get(), "title", "Café Øresund"}, {v1.get(), "artist", "Björk"}, {v1.get(), "album", "Été"},
        {v1.get(), "date", "1999"},          {v1.get(), "track", "7"},      {v1.get(), "genre", "Jazz"},
        {riff.get(), "title", "Café"},
    };
    for (const auto &row : rows) {
        char value[64] = {};
        EXPECT_EQ(decoder_tag(row.from, row.key, value, sizeof value), int32_t(strlen(row.value)));
        EXPECT_STREQ(value, row.value) << row.key;
    }
    char cut[5] = "xxxx";
    EXPECT_EQ(decoder_tag(v1.get(), "title", cut, sizeof cut), 14);
    EXPECT_STREQ(cut, "Caf\xc3");
    EXPECT_EQ(decoder_tag(v1.get(), "title", nullptr, 0), 14);
    EXPECT_EQ(decoder_tag(v1.get(), "comment", cut, sizeof cut), -1) << "not a key of ours";
}

struct RefusedRow {
    const char *name;
    std::function<std::string(const TempDir &)> make; /* the path to open */
    int32_t error;
};

/* A file of these bytes, named like an MP3. */
std::function<std::string(const TempDir &)> bytes(const std::string &content)
{
    return [content](const TempDir &d) { return write_file(d.file("f.mp3"), content); };
}

/* A 16-bit mono WAV whose 44-byte header lies about one field: the
   channels at byte 22, the rate at 24, the data's size at 40. */
std::string lying_wav(const TempDir &dir, size_t at, uint32_t value, double seconds = 0.1)
{
    const std::vector<uint8_t> plain = read_file(make_tone(
        dir, "plain.wav", {{sine(1000)}, "mono", seconds, 44100, "-c:a pcm_s16le -fflags +bitexact -flags:a +bitexact"}));
    std::string lie(plain.begin(), plain.end());
    for (size_t i = 0; i < (at == 22 ? 2 : 4); ++i)
        lie[at + i] = char(value >> (8 * i));
    return write_file(dir.file("lie.wav"), lie);
}

const RefusedRow kRefused[] = {
    {"Missing", [](const TempDir &d) { return d.file("none.mp3"); }, SONA_ERROR_FILEOPEN},
    {"Directory", [](const TempDir &d) { return d.path(); }, SONA_ERROR_FILEOPEN},
    {"DevZero", [](const TempDir &) { return std::string("/dev/zero"); }, SONA_ERROR_FILEOPEN},
    {"FifoWithAWriterWaiting", [](const TempDir &d) { return mkfifo(d.file("p").c_str(), 0600), d.file("p"); },
     SONA_ERROR_FILEOPEN},
    {"UnixSocket",
     [](const TempDir &d) {
         sockaddr_un address{AF_UNIX, {}};
         d.file("s").copy(address.sun_path, sizeof address.sun_path - 1);
         const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0); /* open until the end */
         bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
         listen(fd, 1);
         return d.file("s");
     },
     SONA_ERROR_FILEOPEN},
    {"Empty", bytes(""), SONA_ERROR_FORMAT},
    {"Text", bytes(std::string(8000, 'a')), SONA_ERROR_FORMAT},
    {"WavOfNoChannels", [](const TempDir &d) { return lying_wav(d, 22, 0); }, SONA_ERROR_FORMAT},
    {"WavOf65535Channels", [](const TempDir &d) { return lying_wav(d, 22, 65535); }, SONA_ERROR_FORMAT},
    {"WavAt1Hz", [](const TempDir &d) { return lying_wav(d, 24, 1); }, SONA_ERROR_FORMAT},
    {"WavAt4GHz", [](const TempDir &d) { return lying_wav(d, 24, 4000000000u); }, SONA_ERROR_FORMAT},
};

class Refused : public Input, public ::testing::WithParamInterface<RefusedRow> {};

/* A writer blocked in opening a FIFO, until a reader opens it: as the
   library would, were it to open the FIFO only to refuse it. */
class FifoWriter {
public:
    explicit FifoWriter(const std::string &path) : path_(path)
    {
        opened_ = std::async(std::launch::async, [this] {
            tid_ = gettid();
            return open(path_.c_str(), O_WRONLY | O_CLOEXEC);
        });
        EXPECT_TRUE(eventually([this] {
            const std::vector<uint8_t> in = read_file("/proc/self/task/" + std::to_string(tid_) + "/wchan");
            return std::string(in.begin(), in.end()) == "wait_for_partner";
        })) << "the writer never waited";
    }
    ~FifoWriter()
    {
        close(open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        close(opened_.get());
    }
    /* Still blocked, with time for a released one to have woken. */
    bool waiting() { return opened_.wait_for(100ms) == std::future_status::timeout; }

private:
    std::string path_;
    std::atomic<pid_t> tid_{0};
    std::future<int> opened_;
};

TEST_P(Refused, AtOnceWithItsCode)
{
    const std::string path = GetParam().make(dir_);
    struct stat st {};
    std::optional<FifoWriter> writer;
    if (stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
        writer.emplace(path);
    // A stuck open of a FIFO ends when a writer comes.
    const std::optional<Created> made = create_guarded(path, [path] {
        if (const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0)
            close(fd);
    });
    ASSERT_TRUE(made) << "creation did not return by itself";
    EXPECT_EQ(*made, Created(0, GetParam().error));
    EXPECT_TRUE(!writer || writer->waiting()) << "the library opened the FIFO, and let its writer through";
}

INSTANTIATE_TEST_SUITE_P(Rows, Refused, ::testing::ValuesIn(kRefused), kRowName);

TEST_F(Input, WhatIsThereIsPlayedWhateverTheHeaderOrTheNameSays)
{
    expect_tone(lying_wav(dir_, 40, 0xFFFFFFF0u, 0.5), 0.5); /* claims 4 GB */
    // Closing tags cut short, their LIST claiming 600 MB.
    const std::vector<uint8_t> wav = read_file(lying_wav(dir_, 40, 44100, 0.5));
    expect_tone(write_file(dir_.file("tags.wav"), std::string(wav.begin(), wav.end()) +
                                                      std::string("LIST\0\0\xc0\x23INFOISFT\xf4\xff\xbf\x23Lavf", 24)),
                0.5);
    const std::vector<uint8_t> mp3 =
        read_file(tone_file("t.mp3", {{sine(1000)}, "mono", 2, 44100, "-c:a libmp3lame"}));
    expect_tone(write_file(dir_.file("cut.mp3"), std::string(mp3.begin(), mp3.begin() + long(mp3.size() * 2 / 5))),
                0.8, 0.1);

    const std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    const std::string half_second = tone_file("t.wav", {{sine(1000)}, "mono", 0.5});
    // Relative, as a URL would be: as one it would play x then y, a second.
    for (const std::string name : {"x", "y", "concat:x|y", "\xff\xfe caf\xe9 \"'\n.wav"})
        std::filesystem::copy_file(half_second, name);
    expect_tone("concat:x|y", 0.5);
    expect_tone("\xff\xfe caf\xe9 \"'\n.wav", 0.5);
    std::filesystem::current_path(home);
}

/* Counts opens of a file in a directory, as the kernel reports them, and
   connections to a loopback port, made or merely attempted. */
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
const ScriptRow kScripts[] = {
    {"HlsNamingALocalFile", "list.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1.0,\n{L}\n#EXT-X-ENDLIST\n"},
    {"HlsNamedLikeAnMp3", "list.mp3", "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:1.0,\n{U}\n#EXTINF:1.0,\n{L}\n"},
    {"FfconcatNamingALocalFile", "list.ffconcat", "ffconcat version 1.0\nfile '{L}'\n"},
    {"FfconcatNamedLikeAWav", "list.wav", "ffconcat version 1.0\nfile '{U}'\nfile '{L}'\n"},
};

class Scripts : public Input, public ::testing::WithParamInterface<ScriptRow> {};

TEST_P(Scripts, AreRefusedWithoutOpeningOrConnectingAnything)
{
    const std::string local = make_tone(dir_, "seg.ts", {{sine(1000)}, "mono", 1, 44100, "-c:a mp2 -f mpegts"});
    Witnesses witnesses(dir_.path());
    const std::string url = "http://127.0.0.1:" + std::to_string(witnesses.port) + "/seg.ts";
    std::string text = std::regex_replace(GetParam().text, std::regex(R"(\{L\})"), local);
    text = std::regex_replace(text, std::regex(R"(\{U\})"), url);
    const std::optional<Created> made = create_guarded(write_file(dir_.file(GetParam().file), text));
    ASSERT_TRUE(made) << "creation did not return";
    EXPECT_EQ(*made, Created(0, SONA_ERROR_FORMAT));
    // As memory too: no directory, but a nested open could still reach out.
    EXPECT_EQ(SONA_StreamCreateFile(SONA_TRUE, text.data(), 0, uint32_t(text.size()), 0), 0u);
    EXPECT_EQ(witnesses.opens("seg.ts"), 0) << "the library opened the file the script names";
    EXPECT_EQ(witnesses.connections(), 0) << "the library connected to the URL the script names";
}

INSTANTIATE_TEST_SUITE_P(Rows, Scripts, ::testing::ValuesIn(kScripts), kRowName);

// Two MP3s back to back between junk, without the Xing header whose frame
// count might stop a demuxer at the boundary: a window that leaked would
// let the neighbour's tone in, as a memory block of both shows it does.
TEST_F(Input, AWindowOrAMemoryCopyPlaysExactlyItsBytes)
{
    const char *mp3 = "-c:a libmp3lame -write_xing 0";
    const std::vector<uint8_t> one = read_file(make_tone(dir_, "1.mp3", {{sine(1000)}, "mono", 1, 44100, mp3}));
    const std::vector<uint8_t> two = read_file(make_tone(dir_, "2.mp3", {{sine(440)}, "mono", 1.5, 44100, mp3}));
    auto both = std::make_unique<std::string>(std::string(one.begin(), one.end()) + std::string(two.begin(), two.end()));
    write_file(dir_.file("joined"), std::string(1000, 'j') + *both);
    const std::string joined = dir_.file("joined");
    expect_tone(SONA_StreamCreateFile(0, joined.c_str(), 1000, uint32_t(one.size()), 0), 1, 0.05);
    const SONA_HSTREAM copy = SONA_StreamCreateFile(1, both->data(), 0, uint32_t(both->size()), 0);
    both.reset(); /* the caller may free the block on return */
    expect_tone(copy, 2.5, 0.1); /* both, one after the other */
    const uint32_t size = uint32_t(1000 + one.size() + two.size());
    for (const auto &[offset, length] : {std::pair{size + 1, 0u}, {size / 2, size}, {size / 2, 0xFFFFFFFFu}}) {
        EXPECT_EQ(SONA_StreamCreateFile(SONA_FALSE, joined.c_str(), offset, length, 0), 0u);
        EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_PARAM) << offset << ", " << length;
    }
}

// Under every build's sanitizers.  What a header claims is judged by the
// most the process holds resident while the input runs: the kernel's
// high-water mark, brought down to the present before each input, so that
// an earlier test's peak cannot hide it.
TEST(FuzzInputs, EachIsRefusedOrPlayedWithASaneMixAndNoHugeAllocation)
{
    const auto peak_resident_kib = [] {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmHWM:", 0) == 0)
                return std::stol(line.substr(6));
        return 0L;
    };
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(SONA_FUZZ_INPUTS)) {
        const std::vector<uint8_t> bytes = read_file(entry.path());
        ASSERT_TRUE(std::ofstream("/proc/self/clear_refs") << "5") << "the peak cannot be reset";
        const long before = peak_resident_kib();
        EXPECT_NE(sona_fuzz::feed(bytes.data(), bytes.size()), sona_fuzz::Fed::kBroken)
            << entry.path().filename();
        // A few bytes must not buy tens of megabytes by what a header claims.
        EXPECT_LT(peak_resident_kib() - before, 64L << 10) << entry.path().filename();
        ++count;
    }
    EXPECT_GT(count, 0);
}

} // namespace
