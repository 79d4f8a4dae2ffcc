// What the input and end-to-end tests need beyond sona_test_util.h: a hang
// guard for calls that must return, rendering a stream to its own end, and
// the level of one given frequency (to prove a tone is absent).
#pragma once

#include "sona_test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sona_io {

using namespace std::chrono_literals;

constexpr uint32_t kMixRateHz = 44100;
constexpr uint32_t kMixChannels = sona::kMixChannels;

inline void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

struct Created {
    SONA_HSTREAM handle = 0;
    int32_t error = SONA_ERROR_UNKNOWN;
};

// Runs SONA_StreamCreateFile on a thread of its own and gives up waiting
// after `bound`: a guard against a hang (a FIFO, a network read), not a
// measure of speed.  `unstick` runs when the bound passes, to free the
// stuck call (e.g. by opening the FIFO's other end) so the process can end.
// The error code is read on the creating thread, where the library keeps it.
// `file` must outlive the call even when the guard gives up on it.
inline std::optional<Created> create_with_hang_guard(SONA_BOOL mem, const void *file,
                                                     uint32_t offset, uint32_t length,
                                                     std::chrono::milliseconds bound = 10s,
                                                     const std::function<void()> &unstick = {})
{
    auto promise = std::make_shared<std::promise<Created>>();
    std::future<Created> result = promise->get_future();
    std::thread caller([promise, mem, file, offset, length] {
        Created created;
        created.handle = SONA_StreamCreateFile(mem, file, offset, length, 0);
        created.error = SONA_ErrorGetCode();
        promise->set_value(created);
    });
    if (result.wait_for(bound) == std::future_status::ready) {
        caller.join();
        return result.get();
    }
    if (unstick)
        unstick();
    if (result.wait_for(10s) == std::future_status::ready)
        caller.join();
    else
        caller.detach(); // still stuck: the test fails and the process ends
    return std::nullopt;
}

inline std::optional<Created> create_file_with_hang_guard(const std::string &path,
                                                          uint32_t offset = 0, uint32_t length = 0)
{
    // Kept for the process's life in case the guard gives up on the call.
    static std::vector<std::shared_ptr<std::string>> kept;
    kept.push_back(std::make_shared<std::string>(path));
    return create_with_hang_guard(SONA_FALSE, kept.back()->c_str(), offset, length);
}

// The mix of one stream from its start to its end, interleaved 5.1.
struct Rendered {
    std::vector<float> samples;
    bool ended = false; // the stream left the mix by itself

    size_t frames() const { return samples.size() / kMixChannels; }
    std::vector<float> channel(int ch, size_t first = 0, size_t count = SIZE_MAX) const
    {
        std::vector<float> all = sona_test::channel(samples, int(kMixChannels), ch, first);
        if (count < all.size())
            all.resize(count);
        return all;
    }
    // First and one past the last frame above `threshold` on any channel.
    std::pair<size_t, size_t> audible(double threshold = 1e-4) const
    {
        const auto [first, last] = sona_test::audible_span(samples, threshold);
        return {first / kMixChannels, (last + kMixChannels - 1) / kMixChannels};
    }
};

// Plays `handle` and renders (through sona_test's gap-free render) until it
// has left the mix or `limit_s` of mix has been rendered.
inline Rendered render_to_end(SONA_HSTREAM handle, double limit_s = 30)
{
    Rendered out;
    if (!SONA_ChannelPlay(handle, SONA_FALSE)) {
        ADD_FAILURE() << "SONA_ChannelPlay failed with " << SONA_ErrorGetCode();
        return out;
    }
    constexpr uint32_t kBlock = 4096;
    while (out.frames() < size_t(limit_s * kMixRateHz)) {
        const std::vector<float> block = sona_test::render(kBlock, kMixChannels);
        out.samples.insert(out.samples.end(), block.begin(), block.end());
        if (sona_playing_count() == 0) {
            out.ended = true;
            break;
        }
    }
    return out;
}

// Amplitude of the `frequency_hz` component of `x` (a single-bin DFT; over
// a long stretch the leak from other frequencies is negligible).
inline double tone_amplitude(const std::vector<float> &x, double rate_hz, double frequency_hz)
{
    const double step = 2 * M_PI * frequency_hz / rate_hz;
    double re = 0, im = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        re += x[i] * std::cos(step * double(i));
        im -= x[i] * std::sin(step * double(i));
    }
    return x.empty() ? 0 : 2 * std::hypot(re, im) / double(x.size());
}

inline double decibels(double ratio)
{
    return 20 * std::log10(std::max(ratio, 1e-12));
}

} // namespace sona_io
