// The contract of every call: harmless and exact about why on bad handles,
// before Init and after Free; argument checks that change nothing; restarts;
// the silent device; and many streams without reuse or leaks.
#include "sona_test_util.h"

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <thread>

using namespace sona_test;

namespace {

constexpr uint32_t kRate = 44100;

struct Files {
    TempDir dir;
    std::string tone, short_tone, two_part;
};
const Files &files()
{
    static const std::unique_ptr<Files> made([] {
        auto *f = new Files;
        f->tone = make_tone(f->dir, "tone.wav", {});
        Tone s;
        s.seconds = 0.05;
        f->short_tone = make_tone(f->dir, "short.wav", s);
        Tone two;
        two.exprs = {R"(0.5*sin(2*PI*if(lt(t\,0.5)\,500\,1500)*t))"}; /* commas escaped for lavfi */
        f->two_part = make_tone(f->dir, "two_part.wav", two);
        return f;
    }());
    return *made;
}

/* Not a timing test: the bound only keeps a broken clock from hanging. */
void wait_until(const std::function<bool()> &done)
{
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

SONA_HSTREAM create(const std::string &path)
{
    return SONA_StreamCreateFile(SONA_FALSE, path.c_str(), 0, 0, 0);
}

class Api : public ::testing::Test {
protected:
    void TearDown() override { SONA_Free(); }

    /* Renders until the mix is empty; false if it never empties. */
    static bool play_out(uint32_t max_seconds = 5)
    {
        for (uint32_t i = 0; i < max_seconds * kRate / 4096 && sona_playing_count() > 0; ++i)
            render(4096, 6);
        return sona_playing_count() == 0;
    }
};

/* ---- calls that must fail harmlessly ------------------------------------ */

struct Call {
    const char *name;
    std::function<int64_t(SONA_HSTREAM)> run; /* the call's result, widened */
};

const Call kChannelCalls[] = {
    {"ChannelPlay", [](SONA_HSTREAM h) { return int64_t(SONA_ChannelPlay(h, SONA_FALSE)); }},
    {"ChannelRestart", [](SONA_HSTREAM h) { return int64_t(SONA_ChannelPlay(h, SONA_TRUE)); }},
    {"ChannelSetFlags",
     [](SONA_HSTREAM h) { return int64_t(SONA_ChannelSetFlags(h, SONA_SPEAKER_CENTER)); }},
    {"ChannelSetFlagsZero", [](SONA_HSTREAM h) { return int64_t(SONA_ChannelSetFlags(h, 0)); }},
    {"ChannelSetAttributes",
     [](SONA_HSTREAM h) { return int64_t(SONA_ChannelSetAttributes(h, 0, 30, 64)); }},
};

void expect_all_fail(SONA_HSTREAM h, int32_t code)
{
    for (const Call &c : kChannelCalls) {
        EXPECT_EQ(c.run(h), 0) << c.name << " on " << h;
        EXPECT_EQ(SONA_ErrorGetCode(), code) << c.name << " on " << h;
    }
}

TEST_F(Api, EveryCallBeforeInitFailsWithInit)
{
    expect_all_fail(0, SONA_ERROR_INIT);
    expect_all_fail(1, SONA_ERROR_INIT);
    EXPECT_EQ(create(files().tone), 0u);
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_INIT);
    EXPECT_FALSE(SONA_Free());
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_INIT);
}

TEST_F(Api, EveryCallAfterFreeFailsWithInitAndFreeAgainIsHarmless)
{
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    const SONA_HSTREAM h = create(files().tone);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    ASSERT_TRUE(SONA_Free());
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_OK);
    expect_all_fail(h, SONA_ERROR_INIT);
    EXPECT_FALSE(SONA_Free());
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_INIT);
}

TEST_F(Api, HandleZeroForgedAndUnissuedHandlesFailWithHandle)
{
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    const SONA_HSTREAM h = create(files().tone);
    ASSERT_NE(h, 0u);
    for (SONA_HSTREAM bad : {SONA_HSTREAM(0), h + 1, h - 1, SONA_HSTREAM(0xFFFFFFFFu),
                             SONA_HSTREAM(0x80000000u), h ^ 0x00F00000u})
        expect_all_fail(bad, SONA_ERROR_HANDLE);
    EXPECT_TRUE(SONA_ChannelPlay(h, SONA_FALSE)); /* the real one is untouched */
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_OK);
}

TEST_F(Api, HandlesFromAnEarlierInitAreStaleAndNeverReissued)
{
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    const SONA_HSTREAM old = create(files().tone);
    ASSERT_NE(old, 0u);
    ASSERT_TRUE(SONA_Free());
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    expect_all_fail(old, SONA_ERROR_HANDLE);
    const SONA_HSTREAM fresh = create(files().tone);
    ASSERT_NE(fresh, 0u);
    EXPECT_NE(fresh, old);
    expect_all_fail(old, SONA_ERROR_HANDLE);
}

/* ---- Init ------------------------------------------------------------- */

struct InitCase {
    const char *name;
    int32_t device;
    uint32_t freq, flags;
    int32_t code;
};
class InitArguments : public Api, public ::testing::WithParamInterface<InitCase> {};

TEST_P(InitArguments, AreRefusedWithTheirCode)
{
    const InitCase &c = GetParam();
    EXPECT_FALSE(SONA_Init(c.device, c.freq, c.flags, 0, nullptr));
    EXPECT_EQ(SONA_ErrorGetCode(), c.code);
    EXPECT_EQ(create(files().tone), 0u); /* still not initialised */
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_INIT);
}

INSTANTIATE_TEST_SUITE_P(
    Bad, InitArguments,
    ::testing::Values(InitCase{"UnknownFlags", 0, kRate, 1, SONA_ERROR_PARAM},
                      InitCase{"RateTooLow", 0, 7999, 0, SONA_ERROR_PARAM},
                      InitCase{"RateTooHigh", 0, 192001, 0, SONA_ERROR_PARAM},
                      InitCase{"RateZero", 1, 0, 0, SONA_ERROR_PARAM},
                      InitCase{"NegativeDevice", -1, kRate, 0, SONA_ERROR_DEVICE},
                      InitCase{"NoSuchDevice", 5000, kRate, 0, SONA_ERROR_DEVICE}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Api, SecondInitFailsWithAlreadyAndKeepsTheFirst)
{
    ASSERT_TRUE(SONA_Init(0, kRate, 0, 0, nullptr));
    const SONA_HSTREAM h = create(files().tone);
    ASSERT_NE(h, 0u);
    EXPECT_FALSE(SONA_Init(0, kRate, 0, 0, nullptr));
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_ALREADY);
    EXPECT_FALSE(sona_init_manual(kRate, 6));
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_ALREADY);
    EXPECT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
}

TEST_F(Api, SilentDevicePlaysStreamsInRealTimeToTheirEnd)
{
    ASSERT_TRUE(SONA_Init(0, kRate, 0, 0, nullptr));
    const SONA_HSTREAM h = create(files().short_tone);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    wait_until([] { return sona_playing_count() == 0; });
    EXPECT_EQ(sona_playing_count(), 0u);
    EXPECT_TRUE(SONA_ChannelPlay(h, SONA_FALSE)); /* and it plays again */
    EXPECT_EQ(sona_playing_count(), 1u);
}

TEST_F(Api, TheOutputPausesWhileNothingPlays)
{
    ASSERT_TRUE(SONA_Init(0, kRate, 0, 0, nullptr));
    EXPECT_FALSE(sona_output_running()); /* an idle player costs nothing */
    const SONA_HSTREAM h = create(files().short_tone);
    ASSERT_NE(h, 0u);
    EXPECT_FALSE(sona_output_running()); /* created is not playing */
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    EXPECT_TRUE(sona_output_running());
    wait_until([] { return !sona_output_running(); });
    EXPECT_FALSE(sona_output_running());
    EXPECT_EQ(sona_playing_count(), 0u);
}

TEST_F(Api, ControlCallsRaceTheMixerAndTheWorkersHarmlessly)
{
    // The silent device mixes on its own thread while this one restarts,
    // routes and turns streams as fast as it can: short streams end and
    // restart under the calls, so the restart-versus-end race is run for
    // real (and checked by ThreadSanitizer in that build).
    ASSERT_TRUE(SONA_Init(0, kRate, 0, 0, nullptr));
    std::vector<SONA_HSTREAM> streams;
    for (int i = 0; i < 6; ++i) {
        streams.push_back(create(i % 2 ? files().short_tone : files().tone));
        ASSERT_NE(streams.back(), 0u);
    }
    const uint32_t words[] = {0, SONA_SPEAKER_FRONTLEFT, SONA_SPEAKER_FRONTRIGHT,
                              SONA_SPEAKER_REARLEFT, SONA_SPEAKER_REARRIGHT, SONA_SPEAKER_CENTER};
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    for (int i = 0; i < 3000; ++i) {
        const SONA_HSTREAM h = streams[next() % streams.size()];
        switch (next() % 4) {
        case 0: EXPECT_TRUE(SONA_ChannelPlay(h, SONA_BOOL(next() % 2))); break;
        case 1: EXPECT_TRUE(SONA_ChannelSetFlags(h, words[next() % 6])); break;
        case 2: EXPECT_TRUE(SONA_ChannelSetAttributes(h, -1, int32_t(next() % 101), int32_t(next() % 129))); break;
        default: EXPECT_TRUE(SONA_ChannelSetAttributes(h, next() % 2 ? 0 : 22050, -1, -1)); break;
        }
        if (i % 64 == 0)
            std::this_thread::yield();
    }
    EXPECT_TRUE(SONA_Free());
}

TEST_F(Api, FreeEndsEveryThreadAndClosesEveryFile)
{
    const size_t threads = entry_count("/proc/self/task"), fds = open_fd_count();
    for (int32_t device : {0, -1 /* manual */}) {
        ASSERT_TRUE(device == 0 ? SONA_Init(0, kRate, 0, 0, nullptr) : sona_init_manual(kRate, 6));
        for (int i = 0; i < 3; ++i) {
            const SONA_HSTREAM h = create(files().tone);
            ASSERT_NE(h, 0u);
            ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
        }
        EXPECT_GT(entry_count("/proc/self/task"), threads);
        ASSERT_TRUE(SONA_Free());
        EXPECT_EQ(entry_count("/proc/self/task"), threads);
        EXPECT_EQ(open_fd_count(), fds);
    }
}

/* ---- stream creation ---------------------------------------------------- */

/* Files that are not audio, byte windows and memory blocks are the input
   tests' business. */
TEST_F(Api, BadCreationArgumentsAreRefusedWithParam)
{
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    const char *tone = files().tone.c_str();
    const struct {
        const char *name;
        SONA_BOOL mem;
        const char *file;
        uint32_t offset, length, flags;
    } rows[] = {
        {"null path", SONA_FALSE, nullptr, 0, 0, 0},
        {"unknown flags", SONA_FALSE, tone, 0, 0, 4},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(SONA_StreamCreateFile(r.mem, r.file, r.offset, r.length, r.flags), 0u) << r.name;
        EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_PARAM) << r.name;
    }
}

/* ---- argument checks change nothing ------------------------------------- */

struct AttrCase {
    const char *name;
    int32_t freq, volume, pan;
};
class BadAttributes : public Api, public ::testing::WithParamInterface<AttrCase> {};

TEST_P(BadAttributes, ChangeNothing)
{
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    const SONA_HSTREAM h = create(files().tone);
    ASSERT_TRUE(SONA_ChannelSetAttributes(h, 0, 30, 64));
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    render(2048, 6);
    const AttrCase &c = GetParam();
    EXPECT_FALSE(SONA_ChannelSetAttributes(h, c.freq, c.volume, c.pan));
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_PARAM);
    const auto buf = render(8192, 6);
    const double unity = 0.5 / std::sqrt(2.0);
    EXPECT_NEAR(rms(channel(buf, 6, 0)) / unity, 0.027, 2e-4);
    EXPECT_NEAR(rms(channel(buf, 6, 1)) / unity, 0.027, 2e-4);
    EXPECT_NEAR(dominant_frequency(channel(buf, 6, 0), kRate), 1000, 2);
}

INSTANTIATE_TEST_SUITE_P(
    OutOfRange, BadAttributes,
    ::testing::Values(AttrCase{"VolumeAbove100", -1, 101, 0}, AttrCase{"VolumeBelowLeave", 0, -2, 0},
                      AttrCase{"PanAbove128", 22050, 100, 129},
                      AttrCase{"PanBelowLeave", 22050, 100, -2},
                      AttrCase{"RateBelow100", 99, 100, 0}, AttrCase{"RateAboveMax", 192001, 100, 0},
                      AttrCase{"RateBelowLeave", -2, 100, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Api, UnknownSpeakerWordsChangeNothing)
{
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    const SONA_HSTREAM h = create(files().tone);
    ASSERT_TRUE(SONA_ChannelSetFlags(h, SONA_SPEAKER_REARLEFT));
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    for (uint32_t bad : {1u, 0x31000000u, 0x11000001u, 0x33000000u, 0xFFFFFFFFu,
                         SONA_SPEAKER_FRONTLEFT | SONA_SPEAKER_REARRIGHT}) {
        EXPECT_FALSE(SONA_ChannelSetFlags(h, bad)) << std::hex << bad;
        EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_PARAM);
    }
    const auto buf = render(8192, 6);
    EXPECT_GT(rms(channel(buf, 6, 4)), 0.3);
    EXPECT_LT(rms(channel(buf, 6, 0)), 1e-6);
}

/* ---- restarts ------------------------------------------------------------ */

TEST_F(Api, RestartWhilePlayingGoesBackToTheBeginning)
{
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    const SONA_HSTREAM h = create(files().two_part);
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    render(uint32_t(0.7 * kRate), 6);
    auto fl = channel(render(4096, 6), 6, 0);
    EXPECT_NEAR(dominant_frequency(fl, kRate), 1500, 3);
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_TRUE));
    render(2048, 6); /* the fade out and in */
    fl = channel(render(8192, 6), 6, 0);
    EXPECT_NEAR(dominant_frequency(fl, kRate), 500, 3);
}

TEST_F(Api, AStreamThatEndedPlaysAgainWithItsSettings)
{
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    const SONA_HSTREAM h = create(files().short_tone);
    ASSERT_TRUE(SONA_ChannelSetFlags(h, SONA_SPEAKER_CENTER));
    for (SONA_BOOL restart : {SONA_FALSE, SONA_TRUE, SONA_FALSE}) {
        ASSERT_TRUE(SONA_ChannelPlay(h, restart));
        const auto buf = render(4096, 6);
        EXPECT_GT(rms(channel(buf, 6, 2)), 0.1);
        EXPECT_LT(rms(channel(buf, 6, 0)), 1e-6);
        ASSERT_TRUE(play_out());
    }
}

TEST_F(Api, AnEndedStreamWhoseFileIsGoneFailsToRestartButKeepsItsHandle)
{
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    const std::string copy = files().dir.file("going.wav");
    std::filesystem::copy_file(files().short_tone, copy);
    const SONA_HSTREAM h = create(copy);
    ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
    ASSERT_TRUE(play_out());
    std::filesystem::remove(copy);
    EXPECT_FALSE(SONA_ChannelPlay(h, SONA_FALSE));
    EXPECT_EQ(SONA_ErrorGetCode(), SONA_ERROR_FILEOPEN);
    EXPECT_TRUE(SONA_ChannelSetAttributes(h, 0, 50, 64));
}

/* ---- many streams ------------------------------------------------------- */

TEST_F(Api, TenThousandStreamsComeAndGoWithoutReuseOrLeaks)
{
    ASSERT_TRUE(sona_init_manual(kRate, 6));
    constexpr int kWarmup = 200, kCycles = 10000;
    std::set<SONA_HSTREAM> seen;
    size_t fds = 0, rss = 0;
    for (int i = 0; i < kWarmup + kCycles; ++i) {
        if (i == kWarmup) {
            sona_wait_decoded();
            fds = open_fd_count();
            rss = resident_bytes();
        }
        const SONA_HSTREAM h = create(files().short_tone);
        ASSERT_NE(h, 0u) << "cycle " << i << " error " << SONA_ErrorGetCode();
        ASSERT_TRUE(seen.insert(h).second) << "handle " << h << " came twice";
        ASSERT_TRUE(SONA_ChannelPlay(h, SONA_FALSE));
        render(4096, 6); /* 0.05 s of tone: ends within this */
        ASSERT_EQ(sona_playing_count(), 0u) << "cycle " << i;
    }
    sona_wait_decoded(); /* the pool has released every ended session */
    EXPECT_EQ(open_fd_count(), fds);
    const double growth_per_stream = (double(resident_bytes()) - double(rss)) / kCycles;
    RecordProperty("rss_bytes_per_ended_stream", std::to_string(growth_per_stream));
    std::printf("resident growth per ended stream: %.0f bytes\n", growth_per_stream);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizers hold freed memory back on purpose; there the leak checker
    // is the judge instead.
    EXPECT_LT(growth_per_stream, 4096.0);
#endif
}

} // namespace
