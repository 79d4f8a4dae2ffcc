// libsona's own figures, one measure per invocation so that each starts
// from a fresh process (RSS and CPU counters are per process):
//
//   bench_sona throughput FILE [REPEATS]
//       One stream decoded, resampled and mixed as fast as the render entry
//       can pull it; prints the best wall and CPU time.
//   bench_sona cpu STREAMS FILE SECONDS
//       STREAMS copies of FILE playing at once on the no-sound device (the
//       mixer runs in real time); prints CPU time per second of audio.
//   bench_sona rss STREAMS FILE SHORT_FILE
//       RSS growth per playing stream of FILE, then per ended stream of
//       SHORT_FILE (many created, played to their end and left).
//   bench_sona period STREAMS FILE [PERIOD_FRAMES]
//       Time of one mixer period with every stream's buffer already full.
#include "bench_clock.h"
#include "sona.h"
#include "sona_internal.h"
#include "testing.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kRateHz = 44100;
constexpr uint32_t kChannels = 6;
constexpr uint32_t kBlockFrames = sona::kRingFrames - sona::kRefillFrames;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long rss_kib()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "bench_sona: %s (error %d)\n", what, int(SONA_ErrorGetCode()));
    std::exit(1);
}

SONA_HSTREAM open_and_play(const char *path)
{
    const SONA_HSTREAM handle = SONA_StreamCreateFile(SONA_FALSE, path, 0, 0, 0);
    if (handle == 0)
        fail("cannot open the file");
    if (!SONA_ChannelPlay(handle, SONA_FALSE))
        fail("cannot play the stream");
    return handle;
}

// Renders until every stream has left the mix.  Before each block the
// decoders fill every ring (the render entry never waits for them, as the
// device callback must not).  A ring counts as full once less than a refill
// is free, so a block is a ring less one refill: it never starves.
// Returns the frames rendered.
long render_to_end(std::vector<float> &block)
{
    long frames = 0;
    do {
        sona_wait_decoded();
        frames += sona_render(block.data(), kBlockFrames);
    } while (sona_playing_count() > 0);
    return frames;
}

// Waits, bounded, until no stream is left in the mix.
bool wait_all_ended(std::chrono::seconds bound)
{
    const auto deadline = Clock::now() + bound;
    while (sona_playing_count() > 0) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return sona_wait_decoded() != SONA_FALSE;
}

int throughput(const char *path, int repeats)
{
    double best_wall = 1e30, best_cpu = 1e30;
    long frames = 0;
    std::vector<float> block(std::size_t(kBlockFrames) * kChannels);
    for (int run = 0; run < repeats; ++run) {
        if (!sona_init_manual(kRateHz, kChannels))
            fail("cannot start the mixer");
        const double cpu_before = cpu_seconds();
        const auto wall_before = Clock::now();
        open_and_play(path);
        frames = render_to_end(block);
        const double wall = seconds_since(wall_before);
        const double cpu = cpu_seconds() - cpu_before;
        best_wall = std::min(best_wall, wall);
        best_cpu = std::min(best_cpu, cpu);
        SONA_Free();
    }
    const double audio_seconds = double(frames) / kRateHz;
    std::printf("%s audio_s=%.3f wall_s=%.4f cpu_s=%.4f speed=%.1fx\n", path, audio_seconds,
                best_wall, best_cpu, audio_seconds / best_wall);
    return 0;
}

int cpu(int streams, const char *path, double seconds)
{
    if (!SONA_Init(0, kRateHz, 0, 0, nullptr))
        fail("cannot open the no-sound device");
    for (int i = 0; i < streams; ++i)
        open_and_play(path);
    // Let every stream's buffer fill first: the steady state is measured.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpu_before = cpu_seconds();
    const auto wall_before = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall = seconds_since(wall_before);
    const double used = cpu_seconds() - cpu_before;
    SONA_Free();
    std::printf("streams=%d wall_s=%.2f cpu_s=%.3f cpu_per_audio_s=%.4f core_percent=%.2f "
                "per_stream_percent=%.3f\n",
                streams, wall, used, used / wall, 100 * used / wall, 100 * used / wall / streams);
    return 0;
}

int rss(int streams, const char *path, const char *short_path)
{
    if (!SONA_Init(0, kRateHz, 0, 0, nullptr))
        fail("cannot open the no-sound device");
    // One stream played to its end first, so that FFmpeg's codec tables and
    // the worker pool are in place before the baseline.
    open_and_play(short_path);
    if (!wait_all_ended(std::chrono::seconds(10)))
        fail("the warm-up stream did not end");
    const long before = rss_kib();
    for (int i = 0; i < streams; ++i)
        open_and_play(path);
    sona_wait_decoded(); // every ring full: the stream's whole footprint
    const long playing = rss_kib();
    SONA_Free();

    // Ended streams: created and played in batches, each batch left to end.
    if (!SONA_Init(0, kRateHz, 0, 0, nullptr))
        fail("cannot open the no-sound device");
    const int ended_total = 1024, batch = 64;
    // A first batch so that the handle table and the allocator's arenas
    // have grown to a batch's size before the baseline.
    for (int i = 0; i < batch; ++i)
        open_and_play(short_path);
    if (!wait_all_ended(std::chrono::seconds(30)))
        fail("the first batch did not end");
    const long ended_before = rss_kib();
    for (int done = 0; done < ended_total; done += batch) {
        for (int i = 0; i < batch; ++i)
            open_and_play(short_path);
        if (!wait_all_ended(std::chrono::seconds(30)))
            fail("a batch did not end");
    }
    const long ended_after = rss_kib();
    SONA_Free();
    std::printf("playing_streams=%d rss_growth_kib=%ld per_playing_stream_kib=%.1f\n", streams,
                playing - before, double(playing - before) / streams);
    std::printf("ended_streams=%d rss_growth_kib=%ld per_ended_stream_kib=%.2f\n", ended_total,
                ended_after - ended_before, double(ended_after - ended_before) / ended_total);
    return 0;
}

int period(int streams, const char *path, uint32_t period_frames)
{
    if (!sona_init_manual(kRateHz, kChannels))
        fail("cannot start the mixer");
    for (int i = 0; i < streams; ++i)
        open_and_play(path);
    std::vector<float> block(std::size_t(period_frames) * kChannels);
    std::vector<double> times;
    for (int run = 0; run < 200; ++run) {
        // Only the mix is timed: every ring is topped up first.
        sona_wait_decoded();
        const auto start = Clock::now();
        sona_render(block.data(), period_frames);
        const double taken = seconds_since(start);
        if (run >= 10) // the first periods also fault in the mixer's memory
            times.push_back(taken);
    }
    SONA_Free();
    std::sort(times.begin(), times.end());
    const double period_s = double(period_frames) / kRateHz;
    const double median = times[times.size() / 2], worst = times.back();
    const double p99 = times[times.size() * 99 / 100];
    std::printf("streams=%d period_frames=%u period_us=%.0f median_us=%.1f p99_us=%.1f "
                "max_us=%.1f median_percent=%.3f p99_percent=%.3f max_percent=%.3f\n",
                streams, period_frames, period_s * 1e6, median * 1e6, p99 * 1e6, worst * 1e6,
                100 * median / period_s, 100 * p99 / period_s, 100 * worst / period_s);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "throughput" && argc >= 3)
        return throughput(argv[2], argc > 3 ? std::atoi(argv[3]) : 5);
    if (mode == "cpu" && argc >= 5)
        return cpu(std::atoi(argv[2]), argv[3], std::atof(argv[4]));
    if (mode == "rss" && argc >= 5)
        return rss(std::atoi(argv[2]), argv[3], argv[4]);
    if (mode == "period" && argc >= 4)
        return period(std::atoi(argv[2]), argv[3],
                      argc > 4 ? uint32_t(std::atoi(argv[4])) : 1024u);
    std::fprintf(stderr,
                 "usage: %s throughput FILE [REPEATS] | cpu STREAMS FILE SECONDS |\n"
                 "       rss STREAMS FILE SHORT_FILE | period STREAMS FILE [PERIOD_FRAMES]\n",
                 argv[0]);
    return 2;
}
