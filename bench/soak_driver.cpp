// Soak driver: starts and ends streams at random through the real
// libsona.so for as long as it is told, so that scripts/soak.sh can watch
// its memory and descriptors from outside, under valgrind or AddressSanitizer.
//
//   sona_soak SECONDS DEVICE SEED FILE...
//
// Every call's result is checked against what the library promises; a
// broken promise is printed and counted, and the exit status is the count
// (capped at 100), so a clean run is status 0.  Streams end three ways: by
// playing to their end, by a restart, and all at once by SONA_Free, which
// the driver calls every so often (and whenever it holds many handles,
// since the library keeps a stream's handle until Free).
#include "sona.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

int g_errors = 0;

void broken(const char *what, uint32_t handle)
{
    ++g_errors;
    std::fprintf(stderr, "soak: %s failed (handle %u, error %d)\n", what, unsigned(handle),
                 int(SONA_ErrorGetCode()));
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

constexpr uint32_t kSpeakers[] = {0, SONA_SPEAKER_FRONTLEFT, SONA_SPEAKER_FRONTRIGHT,
                                  SONA_SPEAKER_REARLEFT, SONA_SPEAKER_REARRIGHT,
                                  SONA_SPEAKER_CENTER};
// Above this many handles the driver frees everything and starts again.
constexpr size_t kMaxHandles = 200;

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s SECONDS DEVICE SEED FILE...\n", argv[0]);
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    const int32_t device = std::atoi(argv[2]);
    std::mt19937 rng(uint32_t(std::strtoul(argv[3], nullptr, 10)));
    std::vector<std::string> paths(argv + 4, argv + argc);
    std::vector<std::vector<uint8_t>> blobs;
    for (const std::string &p : paths) {
        blobs.push_back(read_file(p));
        if (blobs.back().empty()) {
            std::fprintf(stderr, "soak: cannot read %s\n", p.c_str());
            return 2;
        }
    }
    auto pick = [&rng](size_t n) { return size_t(std::uniform_int_distribution<size_t>(0, n - 1)(rng)); };

    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(seconds));
    auto next_free = Clock::now() + std::chrono::seconds(20 + pick(40));
    unsigned long created = 0, plays = 0, frees = 0;
    std::vector<SONA_HSTREAM> handles;

    if (!SONA_Init(device, 44100, 0, 0, nullptr)) {
        broken("SONA_Init", 0);
        return 1;
    }
    while (Clock::now() < end && g_errors < 100) {
        const size_t action = pick(100);
        if (action < 30 || handles.empty()) {
            const size_t f = pick(paths.size());
            const bool mem = pick(2) == 0;
            const SONA_HSTREAM h =
                mem ? SONA_StreamCreateFile(SONA_TRUE, blobs[f].data(), 0, uint32_t(blobs[f].size()), 0)
                    : SONA_StreamCreateFile(SONA_FALSE, paths[f].c_str(), 0, 0, 0);
            if (!h) {
                broken(mem ? "SONA_StreamCreateFile (memory)" : "SONA_StreamCreateFile (path)", 0);
                continue;
            }
            ++created;
            handles.push_back(h);
            if (!SONA_ChannelSetAttributes(h, -1, int32_t(pick(101)), int32_t(pick(129))))
                broken("SONA_ChannelSetAttributes", h);
            if (!SONA_ChannelPlay(h, SONA_FALSE))
                broken("SONA_ChannelPlay", h);
            ++plays;
        } else if (action < 55) {
            const SONA_HSTREAM h = handles[pick(handles.size())];
            if (!SONA_ChannelPlay(h, pick(2) ? SONA_TRUE : SONA_FALSE))
                broken("SONA_ChannelPlay (again)", h);
            ++plays;
        } else if (action < 75) {
            const SONA_HSTREAM h = handles[pick(handles.size())];
            if (!SONA_ChannelSetFlags(h, kSpeakers[pick(std::size(kSpeakers))]))
                broken("SONA_ChannelSetFlags", h);
        } else if (action < 95) {
            const SONA_HSTREAM h = handles[pick(handles.size())];
            // Now and then a rate change, which makes the worker rebuild
            // the resampler of a playing stream.
            const int32_t freq = pick(10) == 0 ? int32_t(22050 + pick(44100)) : -1;
            if (!SONA_ChannelSetAttributes(h, freq, int32_t(pick(101)), int32_t(pick(129))))
                broken("SONA_ChannelSetAttributes", h);
        } else {
            // A forged handle must be refused, not crash.
            if (SONA_ChannelPlay(handles.back() + 1000000u, SONA_FALSE) ||
                SONA_ErrorGetCode() != SONA_ERROR_HANDLE)
                broken("refusing a forged handle", handles.back() + 1000000u);
        }
        if (Clock::now() >= next_free || handles.size() >= kMaxHandles) {
            if (!SONA_Free())
                broken("SONA_Free", 0);
            if (!SONA_Init(device, 44100, 0, 0, nullptr)) {
                broken("SONA_Init", 0);
                break;
            }
            handles.clear();
            ++frees;
            next_free = Clock::now() + std::chrono::seconds(20 + pick(40));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(60)));
    }
    if (!SONA_Free())
        broken("SONA_Free", 0);
    std::printf("soak: %lu streams created, %lu plays, %lu frees, %d errors\n", created, plays,
                frees, g_errors);
    return g_errors > 100 ? 100 : g_errors;
}
