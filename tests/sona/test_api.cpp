// The contract of the calls: harmless and exact about why on bad handles,
// before Init and after Free; arguments checked before anything changes;
// restarts, pauses and seeks, each resting and going on where it says;
// events; files let go at the end; the output chosen by name; the silent
// device, resting when idle; a Free that leaves nothing behind.
#include "output/driver.h"
#include "render.h"

#include <poll.h>

#include <random>
#include <regex>
#include <set>

using namespace sona_test;
using namespace sona;

namespace {

/* Every call that names a stream, its result widened, and what it gives
   on failure. */
const std::pair<std::function<int64_t(SONA_HSTREAM)>, int64_t> kChannelCalls[] = {
    {[](SONA_HSTREAM h) { return SONA_ChannelPlay(h, SONA_FALSE); }, 0},
    {[](SONA_HSTREAM h) { return SONA_ChannelPlay(h, SONA_TRUE); }, 0},
    {[](SONA_HSTREAM h) { return SONA_ChannelPause(h); }, 0},
    {[](SONA_HSTREAM h) { return SONA_ChannelSetFlags(h, SONA_SPEAKER_CENTER); }, 0},
    {[](SONA_HSTREAM h) { return SONA_ChannelSetAttributes(h, 0, 30, 64); }, 0},
    {[](SONA_HSTREAM h) { return SONA_ChannelSetPosition(h, 0); }, 0},
    {[](SONA_HSTREAM h) { return SONA_ChannelGetState(h); }, -1},
    {[](SONA_HSTREAM h) { return SONA_ChannelGetPosition(h); }, -1},
    {[](SONA_HSTREAM h) { return SONA_ChannelGetLength(h); }, -1},
    {[](SONA_HSTREAM h) { char b[8]; return SONA_ChannelGetTag(h, "title", b, sizeof b); }, -1},
};

void expect_refused(SONA_HSTREAM h, int32_t code)
{
    for (size_t i = 0; i < std::size(kChannelCalls); ++i) {
        EXPECT_EQ(kChannelCalls[i].first(h), kChannelCalls[i].second) << "call " << i << " on handle " << h;
        EXPECT_EQ(SONA_ErrorGetCode(), code) << "call " << i << " on handle " << h;
    }
    SONA_HSTREAM from = 7;
    if (code == SONA_ERROR_INIT) {
        EXPECT_EQ(SONA_EventFd(), -1);
        EXPECT_FALSE(SONA_EventNext(&from, nullptr));
        EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_INIT);
    }
}

class Api : public ::testing::Test {
protected:
    void TearDown() override { SONA_Free(); }
    SONA_HSTREAM create(const std::string &path = "")
    {
        const std::string file = path.empty() ? tone_ : path;
        return SONA_StreamCreateFile(SONA_FALSE, file.c_str(), 0, 0, 0);
    }
    /* Renders until the mix is empty; false if it never empties. */
    static bool play_out()
    {
        for (int i = 0; i < 100 && sona_playing_count() > 0; ++i)
            render(4096);
        return sona_playing_count() == 0;
    }
    TempDir dir_;
    const std::string tone_ = make_tone(dir_, "tone.wav", {{sine(1000)}, "mono", 0.05});
};

struct InitRow {
    int32_t device;
    uint32_t freq, flags;
    int32_t code;
};
/* Bad Inits, each refused with its code and leaving nothing open. */
const InitRow kInitRows[] = {
    {0, kRate, 1, SONA_ERROR_PARAM},      {0, 7999, 0, SONA_ERROR_PARAM},
    {0, 192001, 0, SONA_ERROR_PARAM},     {1, 0, 0, SONA_ERROR_PARAM},
    {-1, kRate, 0, SONA_ERROR_DEVICE},    {5000, kRate, 0, SONA_ERROR_DEVICE},
};

TEST_F(Api, EveryCallIsHarmlessAndSaysWhyOnAHandleItCannotUse)
{
    expect_refused(1, SONA_ERROR_INIT); /* before Init */
    for (const InitRow &row : kInitRows) {
        EXPECT_FALSE(SONA_Init(row.device, row.freq, row.flags, 0, nullptr));
        EXPECT_EQ(SONA_ErrorGetCode(), row.code) << "device " << row.device << " at " << row.freq;
    }
    EXPECT_EQ(create(), 0u);
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_INIT);
    EXPECT_FALSE(SONA_Free());
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_INIT);

    ASSERT_TRUE(sona_init_manual(kRate, 6));
    const SONA_HSTREAM h = create();
    ASSERT_NE(h, 0u);
    EXPECT_FALSE(SONA_Init(0, kRate, 0, 0, nullptr));
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_ALREADY);
    for (SONA_HSTREAM forged : {0u, h + 1, h - 1, 0xFFFFFFFFu, 0x80000000u, h ^ 0x00F00000u})
        expect_refused(forged, SONA_ERROR_HANDLE);
    EXPECT_TRUE(SONA_ChannelPlay(h, SONA_FALSE)); /* the real one is untouched */
    std::thread([] { SONA_ChannelPlay(0, SONA_FALSE); }).join();
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_OK) << "another thread's error showed on this one";

    ASSERT_TRUE(SONA_Free());
    expect_refused(h, SONA_ERROR_INIT); /* after Free */
    EXPECT_FALSE(SONA_Free());

    ASSERT_TRUE(sona_init_manual(kRate, 6));
    expect_refused(h, SONA_ERROR_HANDLE); /* from an earlier Init */
    // Each handle new, and the table of them moved only as it doubles:
    // creating a stream costs the same however many there are.  A full mix
    // refuses one more voice.
    constexpr uint32_t kFullMix = 1024; /* sona.h */
    const std::vector<uint8_t> wav = read_file(tone_);
    std::set<uint32_t> capacities;
    SONA_HSTREAM last = h;
    uint32_t played = 0;
    for (uint32_t i = 0; i <= kFullMix; ++i) {
        const SONA_HSTREAM next = SONA_StreamCreateFile(SONA_TRUE, wav.data(), 0, uint32_t(wav.size()), 0);
        ASSERT_GT(next, last) << "a handle was given out again";
        capacities.insert(sona_stream_capacity());
        played += SONA_ChannelPlay(next, SONA_FALSE) ? 1 : 0;
        last = next;
    }
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_MEMORY);
    EXPECT_EQ(played, kFullMix);
    EXPECT_LE(capacities.size(), 12u) << "the table moved with every few creations";

    // Every code in words, and any other number as one.
    std::set<std::string> texts;
    for (int32_t code = SONA_OK; code <= SONA_ERROR_UNKNOWN; ++code)
        texts.insert(SONA_ErrorGetText(code));
    EXPECT_EQ(texts.size(), size_t(SONA_ERROR_UNKNOWN + 1));
    EXPECT_EQ(SONA_ErrorGetText(SONA_ERROR_FORMAT), std::string("the file holds no audio that can be decoded"));
    for (int32_t other : {-1, SONA_ERROR_UNKNOWN + 1, INT32_MIN})
        EXPECT_EQ(SONA_ErrorGetText(other), std::string("unknown error")) << other;
}

/* Each bad call fails with SONA_ERROR_PARAM and leaves the stream as it
   was: at volume 30, on the rear left speaker, at its own rate.  Rate,
   volume and pan, then speaker words. */
const int32_t kBadAttributes[][3] = {{-1, 101, 0}, {0, -2, 0},       {22050, 100, 129}, {22050, 100, -2},
                                     {99, 100, 0},  {192001, 100, 0}, {-2, 100, 0}};
const uint32_t kBadWords[] = {0x31000000u, SONA_SPEAKER_FRONTLEFT | 1, 0x33000000u,
                              SONA_SPEAKER_FRONTLEFT | SONA_SPEAKER_REARRIGHT};

TEST_F(Api, ValuesOutOfRangeAreRefusedAndChangeNothing)
{
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    const SONA_HSTREAM h = create(make_tone(dir_, "long.wav", {{sine(1000)}, "mono", 30}));
    ASSERT_TRUE(SONA_ChannelSetAttributes(h, 0, 30, 64));
    ASSERT_TRUE(SONA_ChannelSetFlags(h, SONA_SPEAKER_REARLEFT));
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    const auto refused_and_unchanged = [](SONA_BOOL result, const std::string &row) {
        EXPECT_FALSE(result) << row;
        EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_PARAM) << row;
        const std::vector<float> mix = render(4410);
        EXPECT_NEAR(tone_amplitude(channel(mix, 6, kRL, 2205), 1000) / 0.5, 0.027, 2e-4) << row;
        EXPECT_LT(rms(channel(mix, 6, kFL, 2205)), 1e-6) << row;
    };
    for (const auto &[rate, volume, pan] : kBadAttributes)
        refused_and_unchanged(SONA_ChannelSetAttributes(h, rate, volume, pan),
                              "rate " + std::to_string(rate) + ", volume " + std::to_string(volume) + ", pan " +
                                  std::to_string(pan));
    for (uint32_t word : kBadWords)
        refused_and_unchanged(SONA_ChannelSetFlags(h, word), "word " + std::to_string(word));
    EXPECT_EQ(SONA_StreamCreateFile(SONA_FALSE, nullptr, 0, 0, 0), 0u);
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_PARAM);
    EXPECT_EQ(SONA_StreamCreateFile(SONA_FALSE, tone_.c_str(), 0, 0, 4), 0u);
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_PARAM);
}

/* Whether this process holds `path` open. */
bool held_open(const std::string &path)
{
    std::error_code gone;
    for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd"))
        if (std::filesystem::read_symlink(fd.path(), gone) == path)
            return true;
    return false;
}

size_t entries(const char *dir)
{
    return size_t(std::distance(std::filesystem::directory_iterator(dir), {}));
}

/* sona.h's comments as running text: no comment leaders, single spaces. */
std::string header_text()
{
    const std::vector<uint8_t> bytes = read_file(SONA_HEADER);
    return std::regex_replace(std::string(bytes.begin(), bytes.end()), std::regex(R"(\s*\n\s*\*?\s*|\s+)"), " ");
}

// SONA_OUTPUT takes the names of the table of drivers and their synonyms,
// in any case, on any device; anything else fails Init and leaves nothing
// open.  sona.h lists exactly the table's names.
TEST_F(Api, TheOutputIsChosenByTheTablesNamesInAnyCaseAndNoOtherName)
{
    // Nothing to reach: no server answers, and SDL has only its dummy.
    // The rest of this process plays on device 0 or the manual output.
    setenv("PULSE_SERVER", "unix:/nonexistent", 1);
    setenv("PIPEWIRE_REMOTE", "/nonexistent", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    const auto upper = [](std::string s) {
        for (char &c : s)
            c = char(std::toupper(static_cast<unsigned char>(c)));
        return s;
    };
    std::string listed;
    for (const DriverEntry &d : kDrivers) {
        listed += (listed.empty() ? "" : ", ") + std::string(d.name) +
                  (d.synonym ? " (or " + std::string(d.synonym) + ")" : "");
        for (const char *name : {d.name, d.synonym}) {
            if (!name)
                continue;
            for (const std::string &spelt : {std::string(name), upper(name)}) {
                setenv("SONA_OUTPUT", spelt.c_str(), 1);
                EXPECT_TRUE(SONA_Init(1, kRate, 0, 0, nullptr)) << spelt << ": error " << SONA_ErrorGetCode();
                EXPECT_TRUE(SONA_Free()) << spelt;
            }
        }
    }
    const size_t threads = entries("/proc/self/task"), files = entries("/proc/self/fd");
    for (const char *name : {"alsa", "pulse ", "pipe", "sdl2", "pulse,sdl"}) {
        setenv("SONA_OUTPUT", name, 1);
        for (int32_t device : {1, 0}) {
            EXPECT_FALSE(SONA_Init(device, kRate, 0, 0, nullptr)) << "'" << name << "' on device " << device;
            EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_PARAM) << "'" << name << "' on device " << device;
        }
        EXPECT_FALSE(SONA_Free()) << "'" << name << "' left the library up";
    }
    unsetenv("SONA_OUTPUT");
    EXPECT_EQ(entries("/proc/self/task"), threads);
    EXPECT_EQ(entries("/proc/self/fd"), files);
    EXPECT_NE(header_text().find("SONA_OUTPUT names one of them to use alone, in any case: " + listed + "."),
              std::string::npos)
        << "sona.h does not list exactly: " << listed;
}

// A tone at 500 Hz for half a second, then at 1500 Hz: each play after a
// restart, or after the end, begins at 500 Hz, with the stream's settings.
// The file is held open while the stream plays and let go when it ends.
TEST_F(Api, RestartsAndPlaysAfterTheEndBeginAgainUntilTheFileIsGone)
{
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    const std::string two = make_tone(dir_, "two.wav", {{R"(0.5*sin(2*PI*if(lt(t\,0.5)\,500\,1500)*t))"}, "mono", 1});
    const SONA_HSTREAM h = create(two);
    ASSERT_TRUE(SONA_ChannelSetFlags(h, SONA_SPEAKER_CENTER));
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    EXPECT_LT(distortion_db(channel(render(uint32_t(0.7 * kRate)), 6, kFC, kRate * 6 / 10), 1500), -20);
    for (SONA_BOOL restart : {SONA_TRUE, SONA_TRUE, SONA_FALSE}) { /* playing, then ended twice */
        ASSERT_TRUE(SONA_ChannelPlay(h, restart));
        const std::vector<float> mix = render(kRate / 4);
        EXPECT_LT(distortion_db(channel(mix, 6, kFC, 4096), 500), -20); /* past the fade */
        EXPECT_LT(rms(channel(mix, 6, kFL)), 1e-6);
        EXPECT_TRUE(held_open(two));
        ASSERT_TRUE(play_out());
        sona_wait_decoded();
        EXPECT_FALSE(held_open(two)) << "an ended stream still holds its file";
    }
    std::filesystem::remove(two);
    EXPECT_FALSE(SONA_ChannelPlay(h, SONA_FALSE));
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_FILEOPEN);
    EXPECT_TRUE(SONA_ChannelSetAttributes(h, 0, 50, 64)) << "the handle was lost";
}

/* A ramp from -0.9 to 0.9 over two seconds: every sample says which frame
   it is, to a frame and a half. */
constexpr double kRampFrames = 2.0 * kRate;
double frame_of(float sample)
{
    return (sample + 0.9) / 1.8 * kRampFrames;
}

/* The frame the front left says is playing `at` frames into `mix`. */
double heard_frame(const std::vector<float> &mix, size_t at)
{
    return frame_of(mix[at * 6 + kFL]);
}

/* Where the output first sounds again after it fell silent from `from` on. */
size_t sounds_again(const std::vector<float> &mix, size_t from)
{
    const std::vector<float> fl = channel(mix, 6, kFL);
    while (from < fl.size() && fl[from] != 0.0f)
        ++from;
    while (from < fl.size() && fl[from] == 0.0f)
        ++from;
    return from;
}

// On the manual output what is rendered is heard: a paused stream rests
// where it faded out and goes on from there, a seek lands where it asks in
// every state, and an end rests at the length, says so on the event
// descriptor, and plays again from a place set after it.
TEST_F(Api, PausesAndSeeksRestWhereTheySayAndGoOnFromThere)
{
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    const SONA_HSTREAM h = create(make_tone(dir_, "ramp.wav", {{"-0.9+0.9*t"}, "mono", 2, 44100, "-c:a pcm_f32le"}));
    EXPECT_EQ(SONA_ChannelGetState(h), SONA_STATE_STOPPED);
    EXPECT_EQ(SONA_ChannelGetLength(h), int64_t(kRampFrames));
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    std::vector<float> mix = render(10000);
    EXPECT_EQ(SONA_ChannelGetState(h), SONA_STATE_PLAYING);
    EXPECT_NEAR(SONA_ChannelGetPosition(h), 10000, 1);
    EXPECT_NEAR(heard_frame(mix, 9999), 9999, 2);

    ASSERT_TRUE(SONA_ChannelPause(h));
    EXPECT_EQ(SONA_ChannelGetState(h), SONA_STATE_PAUSED);
    mix = render(4410);
    EXPECT_LT(rms(channel(mix, 6, kFL, kMixChunkFrames)), 1e-6) << "the pause is not silent";
    const int64_t rest = SONA_ChannelGetPosition(h);
    EXPECT_NEAR(double(rest), 10000 + kMixChunkFrames, kMixChunkFrames);
    render(4410);
    EXPECT_EQ(SONA_ChannelGetPosition(h), rest) << "a paused stream moved";
    EXPECT_EQ(sona_playing_count(), 0u) << "a pause holds the output";
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    mix = render(4410);
    EXPECT_NEAR(heard_frame(mix, 300), double(rest) + 300, 44) << "resumed elsewhere";
    EXPECT_NEAR(SONA_ChannelGetPosition(h), rest + 4410, 1);

    // A seek while playing, while paused, and past either end.
    ASSERT_TRUE(SONA_ChannelSetPosition(h, 60000));
    EXPECT_EQ(SONA_ChannelGetPosition(h), 60000);
    mix = render(4410);
    size_t at = sounds_again(mix, 0);
    EXPECT_NEAR(heard_frame(mix, at + 300), 60300, 220) << "the seek landed elsewhere";
    ASSERT_TRUE(SONA_ChannelPause(h));
    render(1024);
    ASSERT_TRUE(SONA_ChannelSetPosition(h, 30000));
    EXPECT_EQ(SONA_ChannelGetState(h), SONA_STATE_PAUSED);
    EXPECT_EQ(SONA_ChannelGetPosition(h), 30000);
    for (int64_t beyond : {int64_t(kRampFrames) + 1, int64_t(-1)}) {
        EXPECT_FALSE(SONA_ChannelSetPosition(h, beyond));
        EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_PARAM);
    }
    EXPECT_EQ(SONA_ChannelGetPosition(h), 30000);
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    mix = render(4410);
    EXPECT_NEAR(heard_frame(mix, sounds_again(mix, 0) + 300), 30300, 220);

    // The end: an event, resting at the length, and a place set after it.
    ASSERT_TRUE(SONA_ChannelSetPosition(h, int64_t(kRampFrames) - 4096));
    for (int i = 0; i < 10 && SONA_ChannelGetState(h) != SONA_STATE_STOPPED; ++i)
        render(4096);
    EXPECT_EQ(SONA_ChannelGetState(h), SONA_STATE_STOPPED);
    EXPECT_EQ(SONA_ChannelGetPosition(h), int64_t(kRampFrames));
    pollfd readable{SONA_EventFd(), POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 0), 1) << "the end was not signalled";
    SONA_HSTREAM which = 0;
    int32_t state = -1;
    ASSERT_TRUE(SONA_EventNext(&which, &state));
    EXPECT_EQ(which, h);
    EXPECT_EQ(state, SONA_STATE_STOPPED);
    EXPECT_FALSE(SONA_EventNext(&which, &state));
    EXPECT_EQ(poll(&readable, 1, 0), 0) << "readable with no event left";
    ASSERT_TRUE(SONA_ChannelSetPosition(h, 44100));
    EXPECT_EQ(SONA_ChannelGetPosition(h), 44100);
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    mix = render(4410);
    EXPECT_NEAR(heard_frame(mix, 300), 44400, 220);
}

// More ends than the queue holds: the oldest are kept, and one event with
// no stream says the rest were lost.
TEST_F(Api, EventsPastTheQueueAreReportedLost)
{
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    const std::string tiny = make_tone(dir_, "tiny.wav", {{sine(1000)}, "mono", 0.01});
    std::vector<SONA_HSTREAM> streams;
    for (int i = 0; i < 300; ++i) {
        streams.push_back(create(tiny));
        ASSERT_TRUE(SONA_ChannelPlay(streams.back(), SONA_FALSE));
    }
    ASSERT_TRUE(play_out());
    SONA_HSTREAM which = 0;
    int32_t state = 0;
    std::vector<SONA_HSTREAM> ended;
    while (SONA_EventNext(&which, &state) && which != 0) {
        EXPECT_EQ(state, SONA_STATE_STOPPED);
        ended.push_back(which);
    }
    EXPECT_EQ(ended.size(), 256u);
    EXPECT_EQ(which, 0u) << "the loss went unreported";
    EXPECT_EQ(state, -1);
    EXPECT_FALSE(SONA_EventNext(&which, &state));
    for (SONA_HSTREAM h : streams)
        EXPECT_EQ(SONA_ChannelGetState(h), SONA_STATE_STOPPED);
}

TEST_F(Api, ControlCallsRaceTheMixerAndTheWorkersAndFreeLeavesNothingBehind)
{
    // The silent device mixes on its own thread while this one restarts,
    // routes and turns streams as fast as it can; short streams end under
    // the calls, so restart races end for real, and plays begin while the
    // decode workers go to sleep (ThreadSanitizer judges).
    // ThreadSanitizer's runtime starts a thread of its own with the
    // process's first other thread: one comes and goes before the count.
    std::thread([] {}).join();
    const size_t threads = entries("/proc/self/task"), files = entries("/proc/self/fd");
    ASSERT_TRUE(SONA_Init(0, kRate, 0, 0, nullptr));
    const std::string longer = make_tone(dir_, "long.wav", {{sine(1000)}, "mono", 1});
    std::vector<SONA_HSTREAM> streams;
    for (int i = 0; i < 6; ++i)
        streams.push_back(create(i % 2 ? tone_ : longer));
    const SONA_HSTREAM fed = create(longer);
    EXPECT_FALSE(sona_output_running()) << "created is not playing";
    const uint32_t words[] = {0, SONA_SPEAKER_FRONTLEFT, SONA_SPEAKER_REARRIGHT, SONA_SPEAKER_CENTER};
    std::mt19937 next(12345);
    for (int i = 0; i < 6000; ++i) {
        const SONA_HSTREAM h = streams[next() % streams.size()];
        switch (next() % 5) {
        case 0:
        case 1: EXPECT_TRUE(SONA_ChannelPlay(h, SONA_BOOL(next() % 2))); break;
        case 2: EXPECT_TRUE(SONA_ChannelSetFlags(h, words[next() % 4])); break;
        case 3: EXPECT_TRUE(SONA_ChannelSetAttributes(h, -1, int32_t(next() % 101), int32_t(next() % 129))); break;
        default: EXPECT_TRUE(SONA_ChannelSetAttributes(h, next() % 2 ? 0 : 22050, -1, -1)); break;
        }
        if (i % 64 == 0)
            std::this_thread::yield();
    }
    // Once all is quiet the decode workers sleep with nothing to poll for,
    // and nothing the mixer does wakes them: the Play that starts a stream
    // longer than its ring (0.37 s) must, or the stream starves and never
    // ends.
    ASSERT_TRUE(eventually([] { return !sona_output_running(); })) << "all played out, the clock rests";
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(SONA_ChannelPlay(fed, SONA_FALSE));
    EXPECT_TRUE(eventually([] { return sona_playing_count() == 0; }, 5s)) << "starved";
    EXPECT_TRUE(eventually([] { return !sona_output_running(); })) << "all played out, the clock rests";
    EXPECT_TRUE(SONA_Free());
    EXPECT_EQ(entries("/proc/self/task"), threads);
    EXPECT_EQ(entries("/proc/self/fd"), files);
}

} // namespace
