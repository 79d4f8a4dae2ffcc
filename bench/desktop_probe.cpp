// Times what a listener hears: it records the null sink's monitor and
// notes, on CLOCK_MONOTONIC, when each block of samples arrives, so that an
// action taken at a known moment can be matched with the sound it causes.
//
//   bench_desktop_probe first-sound TIMEOUT_MS PROGRAM [ARGS...]
//       starts PROGRAM and prints the time from its start to the first
//       non-silent sample on the monitor, then ends it.
//   bench_desktop_probe loopback REPS
//       times the recorder itself against a playback stream of its own.
//   bench_desktop_probe latency REPS LONG_FILE SHORT_FILE HARNESS [ARGS...]
//       starts the Form1 harness and times, REPS times each: Play's chooser
//       returning SHORT_FILE to its first sound, with the output closed
//       after a long pause and still open after a short one; and a real
//       X key event (End on the focused slider, volume 30 to 100) to the
//       louder level.
//   bench_desktop_probe first-play RUNS FILE HARNESS [ARGS...]
//       starts the Form1 harness RUNS times afresh and times its first
//       Play's chooser returning FILE, pressed as soon as the window has
//       painted, to the first sound.
//   bench_desktop_probe gaps SECONDS
//       from the first sound on, counts the silences on the monitor over
//       SECONDS, while something plays music that never falls silent.
//
// The monitor is read in blocks of kBlockFrames with a fragment of the same
// size, so a sample is seen soon after the sink takes it; "loopback" says
// how soon.  On PipeWire the recorder's fragment sets the graph's cycle
// when it is the shortest asked for: PROBE_FRAGMENT_FRAMES makes it that of
// the stream under test, and the monitor then comes a cycle at a time.
// PULSE_SERVER and DISPLAY are taken from the environment.
#include "bench_clock.h"
#include "sound_server.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <pulse/error.h>
#include <pulse/simple.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr unsigned kRateHz = 44100;
constexpr unsigned kChannels = 6;
constexpr unsigned kBlockFrames = 64; // 1.45 ms
// -60 dBFS: far above the sink's digital silence, far below any file here.
constexpr float kSoundLevel = 0.001f;

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

struct Block {
    long long ns; // when the read of this block returned
    float peak;
};

double median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double worst(const std::vector<double> &values)
{
    return values.empty() ? NAN : *std::max_element(values.begin(), values.end());
}

class Monitor {
public:
    bool open()
    {
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRateHz, kChannels};
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        const char *fragment = std::getenv("PROBE_FRAGMENT_FRAMES");
        attr.fragsize = (fragment ? std::atoi(fragment) : kBlockFrames) * kChannels * sizeof(float);
        int error = 0;
        pa_ = pa_simple_new(nullptr, "bench_desktop_probe", PA_STREAM_RECORD, "surround.monitor",
                            "monitor", &spec, nullptr, &attr, &error);
        if (!pa_) {
            std::fprintf(stderr, "cannot record surround.monitor: %s\n", pa_strerror(error));
            return false;
        }
        reader_ = std::thread([this] { read(); });
        // Timing starts once blocks flow.  An idle null sink renders in long
        // blocks (up to 2 s) until it wakes up to the small fragment asked
        // for here, so the first data may take that long.
        const long long start = monotonicNs();
        while (blockCount() < 20 && monotonicNs() - start < 5000000000LL)
            sleepMs(1);
        if (blockCount() < 20) {
            std::fprintf(stderr, "surround.monitor delivers nothing\n");
            return false;
        }
        return true;
    }

    ~Monitor()
    {
        quit_ = true;
        if (reader_.joinable())
            reader_.join();
        if (pa_)
            pa_simple_free(pa_);
    }

    // The time of the first block after sinceNs whose peak is above (or,
    // with above false, at or below) level; -1 after timeoutMs.
    long long waitFor(long long sinceNs, float level, int timeoutMs, bool above = true)
    {
        const long long deadline = monotonicNs() + timeoutMs * 1000000LL;
        std::size_t at = 0;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (; at < blocks_.size(); ++at) {
                    const Block &b = blocks_[at];
                    if (b.ns > sinceNs && (b.peak > level) == above)
                        return b.ns;
                }
            }
            if (monotonicNs() > deadline)
                return -1;
            sleepMs(1);
        }
    }

    // Waits until the monitor has been silent for quietMs on end.
    bool waitSilence(int quietMs, int timeoutMs)
    {
        const long long deadline = monotonicNs() + timeoutMs * 1000000LL;
        while (monotonicNs() < deadline) {
            const long long now = monotonicNs();
            if (lastSoundNs() < now - quietMs * 1000000LL)
                return true;
            sleepMs(5);
        }
        return false;
    }

    // Runs of silent blocks from fromNs on: how many, and the longest in ms.
    std::pair<int, double> silences(long long fromNs)
    {
        int runs = 0, run = 0, longest = 0;
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Block &b : blocks_) {
            if (b.ns < fromNs)
                continue;
            run = b.peak > kSoundLevel ? 0 : run + 1;
            runs += run == 1;
            longest = std::max(longest, run);
        }
        return {runs, longest * 1000.0 * kBlockFrames / kRateHz};
    }

    float medianPeak(long long fromNs, long long toNs)
    {
        std::vector<double> peaks;
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Block &b : blocks_)
            if (b.ns >= fromNs && b.ns <= toNs)
                peaks.push_back(b.peak);
        return static_cast<float>(median(peaks));
    }

private:
    std::size_t blockCount()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return blocks_.size();
    }

    long long lastSoundNs()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto b = blocks_.rbegin(); b != blocks_.rend(); ++b)
            if (b->peak > kSoundLevel)
                return b->ns;
        return 0;
    }

    void read()
    {
        std::vector<float> samples(kBlockFrames * kChannels);
        while (!quit_) {
            int error = 0;
            if (pa_simple_read(pa_, samples.data(), samples.size() * sizeof(float), &error) < 0) {
                std::fprintf(stderr, "monitor read failed: %s\n", pa_strerror(error));
                return;
            }
            const long long ns = monotonicNs();
            float peak = 0;
            for (float s : samples)
                peak = std::max(peak, std::fabs(s));
            std::lock_guard<std::mutex> lock(mutex_);
            blocks_.push_back({ns, peak});
        }
    }

    pa_simple *pa_ = nullptr;
    std::thread reader_;
    std::atomic<bool> quit_{false};
    std::mutex mutex_;
    std::vector<Block> blocks_;
};

std::vector<std::string> arguments(char **argv)
{
    std::vector<std::string> all;
    for (; *argv; ++argv)
        all.emplace_back(*argv);
    return all;
}

// The Form1 harness, told what to do on its stdin; it answers in lines of
// its log, each carrying its own time, so they are read at leisure.
class Harness {
public:
    explicit Harness(char **argv) : child_(arguments(argv), {}, log_.path, sound::Child::Input::Pipe) {}

    void send(const std::string &line)
    {
        if (!child_.send(line + "\n"))
            std::fprintf(stderr, "the harness is not listening\n");
    }

    // The rest of the next unread line starting with prefix, or "" after timeoutMs.
    std::string waitLine(const std::string &prefix, int timeoutMs)
    {
        const long long deadline = monotonicNs() + timeoutMs * 1000000LL;
        for (;;) {
            std::ifstream in(log_.path);
            in.seekg(read_);
            // A line counts once its newline is in; eof means it is not yet.
            for (std::string line; std::getline(in, line) && !in.eof();) {
                read_ = in.tellg();
                if (line.rfind("warn ", 0) == 0)
                    std::fprintf(stderr, "harness: %s\n", line.c_str());
                if (line.rfind(prefix, 0) == 0)
                    return line.substr(prefix.size());
            }
            if (monotonicNs() > deadline)
                return "";
            sleepMs(1);
        }
    }

private:
    struct Log {
        std::string path = "/tmp/bench-harness-XXXXXX";
        Log() { ::close(mkstemp(path.data())); }
        ~Log() { std::remove(path.c_str()); }
    } log_;
    sound::Child child_;
    std::streamoff read_ = 0;
};

int firstSound(int timeoutMs, char **program)
{
    Monitor monitor;
    if (!monitor.open())
        return 1;
    if (!monitor.waitSilence(300, 10000)) {
        std::fprintf(stderr, "the sink does not fall silent\n");
        return 1;
    }
    const long long start = monotonicNs();
    const sound::Child child(arguments(program), {}, "/dev/null"); // killed on return
    const long long heard = monitor.waitFor(start, kSoundLevel, timeoutMs);
    if (heard < 0) {
        std::fprintf(stderr, "%s made no sound within %d ms\n", program[0], timeoutMs);
        return 1;
    }
    std::printf("first_sound_ms=%.1f\n", (heard - start) / 1e6);
    return 0;
}

// What the recorder itself adds: a block of tone written to a playback
// stream kept nearly empty, timed to its arrival on the monitor, less what
// PulseAudio says was still queued ahead of it in that stream.
int loopback(int reps)
{
    Monitor monitor;
    if (!monitor.open() || !monitor.waitSilence(300, 10000))
        return 1;
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRateHz, kChannels};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = 4 * kBlockFrames * kChannels * sizeof(float);
    attr.prebuf = 0;
    attr.minreq = kBlockFrames * kChannels * sizeof(float);
    int error = 0;
    pa_simple *out = pa_simple_new(nullptr, "bench_desktop_probe", PA_STREAM_PLAYBACK, "surround",
                                   "loopback", &spec, nullptr, &attr, &error);
    if (!out) {
        std::fprintf(stderr, "cannot play to surround: %s\n", pa_strerror(error));
        return 1;
    }
    std::vector<float> silence(kBlockFrames * kChannels, 0.0f);
    std::vector<float> tone(silence.size());
    for (unsigned f = 0; f < kBlockFrames; ++f)
        for (unsigned c = 0; c < kChannels; ++c)
            tone[f * kChannels + c] = 0.5f * std::sin(2 * 3.14159265f * 440 * f / kRateHz + 1);
    std::vector<double> totalMs, recorderMs;
    for (int i = 0; i < reps; ++i) {
        // Silence first, so the stream runs at the sink's pace when the tone goes in.
        for (int b = 0; b < 200; ++b)
            pa_simple_write(out, silence.data(), silence.size() * sizeof(float), &error);
        const pa_usec_t queuedUs = pa_simple_get_latency(out, &error);
        const long long t0 = monotonicNs();
        pa_simple_write(out, tone.data(), tone.size() * sizeof(float), &error);
        for (int b = 0; b < 100; ++b)
            pa_simple_write(out, silence.data(), silence.size() * sizeof(float), &error);
        const long long heard = monitor.waitFor(t0, kSoundLevel, 2000);
        if (heard < 0)
            continue;
        totalMs.push_back((heard - t0) / 1e6);
        recorderMs.push_back((heard - t0) / 1e6 - queuedUs / 1000.0);
    }
    pa_simple_free(out);
    std::printf("loopback n=%zu median_ms=%.1f worst_ms=%.1f recorder_median_ms=%.1f "
                "recorder_worst_ms=%.1f\n",
                totalMs.size(), median(totalMs), worst(totalMs), median(recorderMs),
                worst(recorderMs));
    return 0;
}

// libXtst comes with xdotool; its header does not, so the one call needed
// is declared here and resolved at run time.
using FakeKeyEvent = int (*)(Display *, unsigned int, int, unsigned long);

int latency(int reps, const char *longFile, const char *shortFile, char **harnessArgv)
{
    void *xtst = dlopen("libXtst.so.6", RTLD_NOW);
    const auto fakeKey =
        xtst ? reinterpret_cast<FakeKeyEvent>(dlsym(xtst, "XTestFakeKeyEvent")) : nullptr;
    Display *display = XOpenDisplay(nullptr);
    if (!fakeKey || !display) {
        std::fprintf(stderr, "needs DISPLAY and libXtst.so.6\n");
        return 1;
    }
    const unsigned endKey = XKeysymToKeycode(display, XK_End);

    Monitor monitor;
    if (!monitor.open())
        return 1;
    Harness harness(harnessArgv);
    const std::string window = harness.waitLine("ready ", 20000);
    if (window.empty()) {
        std::fprintf(stderr, "the harness's window did not come up\n");
        return 1;
    }

    // Play's chooser to first sound.  After a pause of more than two seconds
    // the library has closed its output, so those runs include opening it.
    std::vector<double> closedMs, openMs;
    for (int i = 0; i < 2 * reps; ++i) {
        const bool closed = i % 2 == 0;
        monitor.waitSilence(closed ? 3000 : 300, 20000);
        harness.send(std::string("play ") + shortFile);
        const std::string chosen = harness.waitLine("chosen ", 5000);
        if (chosen.empty())
            continue;
        const long long t0 = std::atoll(chosen.c_str());
        const long long heard = monitor.waitFor(t0, kSoundLevel, 3000);
        if (heard < 0) {
            std::fprintf(stderr, "no sound after the chooser returned\n");
            continue;
        }
        (closed ? closedMs : openMs).push_back((heard - t0) / 1e6);
    }
    monitor.waitSilence(300, 20000);

    // A key that moves the slider, to the louder level.  The slider starts
    // at 30 and End takes it to 100: gain 0.027 to 1 on the library's curve.
    harness.send(std::string("play ") + longFile);
    const std::string chosen = harness.waitLine("chosen ", 5000);
    if (chosen.empty() || monitor.waitFor(std::atoll(chosen.c_str()), kSoundLevel, 3000) < 0) {
        std::fprintf(stderr, "the long file did not play\n");
        return 1;
    }
    harness.send("focus");
    XSetInputFocus(display, static_cast<Window>(std::strtoull(window.c_str(), nullptr, 10)),
                   RevertToParent, CurrentTime);
    XSync(display, False);
    std::vector<double> keyMs, sliderMs;
    // Each key comes at a random point of the window's 100 ms tick: runs a
    // whole number of ticks apart would all see the same wait for it.
    std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> phaseMs(0, 99);
    for (int i = 0; i < reps; ++i) {
        harness.send("volume 30");
        sleepMs(500 + phaseMs(random)); // the tick applies it within 100 ms, the ramp in 5
        const long long before = monotonicNs();
        const float quiet = monitor.medianPeak(before - 300000000LL, before);
        const long long t0 = monotonicNs();
        fakeKey(display, endKey, True, 0);
        fakeKey(display, endKey, False, 0);
        XFlush(display);
        const std::string moved = harness.waitLine("slider 100 ", 2000);
        sleepMs(500);
        const long long after = monotonicNs();
        const float loud = monitor.medianPeak(after - 200000000LL, after);
        if (moved.empty() || !(loud > 4 * quiet)) {
            std::fprintf(stderr, "End did not raise the level (slider %s, peak %.4f to %.4f)\n",
                         moved.empty() ? "unmoved" : "moved", quiet, loud);
            continue;
        }
        const long long heard = monitor.waitFor(t0, (quiet + loud) / 2, 0);
        if (heard < 0)
            continue;
        keyMs.push_back((heard - t0) / 1e6);
        sliderMs.push_back((std::atoll(moved.c_str()) - t0) / 1e6);
    }
    XCloseDisplay(display);

    // The process's first Play comes as soon as the window has painted
    // (the sink has never sounded, so there is no silence to wait out):
    // ahead of the library's own loading, it loads the decoder module and
    // FFmpeg, and finds the output still open from Init.  The median and
    // worst are of the rest, which only reopen the output.
    const double firstMs = closedMs.empty() ? NAN : closedMs.front();
    if (!closedMs.empty())
        closedMs.erase(closedMs.begin());
    std::printf("chooser_closed n=%zu median_ms=%.1f worst_ms=%.1f first_ms=%.1f\n",
                closedMs.size(), median(closedMs), worst(closedMs), firstMs);
    std::printf("chooser_open n=%zu median_ms=%.1f worst_ms=%.1f\n", openMs.size(),
                median(openMs), worst(openMs));
    std::printf("key_to_level n=%zu median_ms=%.1f worst_ms=%.1f key_to_slider_median_ms=%.1f\n",
                keyMs.size(), median(keyMs), worst(keyMs), median(sliderMs));
    return 0;
}

// The process's first Play, RUNS times, each in a fresh harness.  A person
// choosing a file mostly gives the library the second it waits, once its
// output is up, before it loads its decoder; this Play does not wait, so
// it loads FFmpeg itself: the slowest first Play a window can make.
int firstPlay(int runs, const char *file, char **harnessArgv)
{
    Monitor monitor;
    if (!monitor.open())
        return 1;
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        monitor.waitSilence(300, 20000);
        Harness harness(harnessArgv); // ended at the end of the run
        if (harness.waitLine("ready ", 20000).empty()) {
            std::fprintf(stderr, "the harness's window did not come up\n");
            continue;
        }
        harness.send(std::string("play ") + file);
        const std::string chosen = harness.waitLine("chosen ", 5000);
        const long long t0 = std::atoll(chosen.c_str());
        const long long heard = chosen.empty() ? -1 : monitor.waitFor(t0, kSoundLevel, 3000);
        if (heard < 0) {
            std::fprintf(stderr, "no sound after the first Play\n");
            continue;
        }
        ms.push_back((heard - t0) / 1e6);
    }
    std::printf("first_play n=%zu median_ms=%.1f worst_ms=%.1f\n", ms.size(), median(ms), worst(ms));
    return 0;
}

int gaps(int seconds)
{
    Monitor monitor;
    if (!monitor.open())
        return 1;
    const long long first = monitor.waitFor(monotonicNs(), kSoundLevel, 10000);
    if (first < 0) {
        std::fprintf(stderr, "nothing plays\n");
        return 1;
    }
    sleepMs(seconds * 1000);
    const auto [runs, longestMs] = monitor.silences(first);
    std::printf("gaps n=%d longest_ms=%.1f\n", runs, longestMs);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc >= 4 && std::strcmp(argv[1], "first-sound") == 0)
        return firstSound(std::atoi(argv[2]), argv + 3);
    if (argc == 3 && std::strcmp(argv[1], "loopback") == 0)
        return loopback(std::max(1, std::atoi(argv[2])));
    if (argc >= 6 && std::strcmp(argv[1], "latency") == 0)
        return latency(std::max(1, std::atoi(argv[2])), argv[3], argv[4], argv + 5);
    if (argc >= 5 && std::strcmp(argv[1], "first-play") == 0)
        return firstPlay(std::max(1, std::atoi(argv[2])), argv[3], argv + 4);
    if (argc == 3 && std::strcmp(argv[1], "gaps") == 0)
        return gaps(std::max(1, std::atoi(argv[2])));
    std::fprintf(stderr,
                 "usage: %s first-sound TIMEOUT_MS PROGRAM [ARGS...]\n"
                 "       %s loopback REPS\n"
                 "       %s latency REPS LONG_FILE SHORT_FILE HARNESS [ARGS...]\n"
                 "       %s first-play RUNS FILE HARNESS [ARGS...]\n"
                 "       %s gaps SECONDS\n",
                 argv[0], argv[0], argv[0], argv[0], argv[0]);
    return 2;
}
