// What every test of sound shares: scratch directories, tone files made by
// Debian's ffmpeg (so that each test says exactly what went in), a guard
// for calls that must return, and the measures sound is judged by.
#pragma once

#include "sona.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sona_test {

using namespace std::chrono_literals;

constexpr uint32_t kRate = 44100;

/* How many times slower a sanitized build runs the program: a bound on its
   own speed holds in the normal build, and is only loosened under these. */
#if defined(__SANITIZE_THREAD__)
constexpr int kSanitizedSlower = 5;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kSanitizedSlower = 2;
#else
constexpr int kSanitizedSlower = 1;
#endif

/* A directory of its own under /tmp, removed with everything in it. */
class TempDir {
public:
    TempDir() { path_ = ::mkdtemp(path_.data()); }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_ = "/tmp/sona-test-XXXXXX";
};

/* One ffmpeg expression in t per channel, for a layout such as "mono",
   "stereo" or "FL+FR+FC+LFE+BL+BR". */
struct Tone {
    std::vector<std::string> exprs;
    std::string layout = "stereo";
    double seconds = 1;
    int rate_hz = 44100;
    std::string codec = "-c:a pcm_s16le"; /* ffmpeg's options for the output */
};

inline std::string sine(double hz, double amplitude = 0.5)
{
    return std::to_string(amplitude) + "*sin(2*PI*" + std::to_string(hz) + "*t)";
}

/* ffmpeg's arguments that make the tone, bar the output file. */
inline std::string tone_arguments(const Tone &tone)
{
    std::string exprs;
    for (const std::string &e : tone.exprs)
        exprs += (exprs.empty() ? "" : "|") + e;
    return "-f lavfi -i 'aevalsrc=exprs=" + exprs + ":s=" + std::to_string(tone.rate_hz) +
           ":d=" + std::to_string(tone.seconds) + ":c=" + tone.layout + "' " + tone.codec;
}

/* Writes the tone to `path`, the extension choosing the container. */
inline bool write_tone(const std::string &path, const Tone &tone)
{
    const std::string cmd = "ffmpeg -nostdin -v error -y " + tone_arguments(tone) + " '" + path + "'";
    const int status = std::system(cmd.c_str());
    EXPECT_EQ(status, 0) << cmd;
    return status == 0;
}

inline std::string make_tone(const TempDir &dir, const std::string &name, const Tone &tone)
{
    write_tone(dir.file(name), tone);
    return dir.file(name);
}

/* The same, made once and shared by the tests that play it: in
   $SONA_TEST_TONES when set, where every process of a suite finds it (CTest
   runs each case in a process of its own), else in a directory of this
   process's.  The file is named by how it is made, so a changed tone is a
   new file, and appears whole or not at all. */
inline std::string tone_file(const std::string &name, const Tone &tone)
{
    static const TempDir own;
    const char *shared = std::getenv("SONA_TEST_TONES");
    const std::filesystem::path dir = shared ? shared : own.path();
    const std::string file = std::to_string(std::hash<std::string>{}(tone_arguments(tone))) + "-" + name;
    if (!std::filesystem::exists(dir / file)) {
        const std::filesystem::path part = dir / (".part" + std::to_string(::getpid()) + "-" + file);
        std::filesystem::create_directories(dir);
        if (write_tone(part, tone))
            std::filesystem::rename(part, dir / file);
    }
    return dir / file;
}

/* Names the rows of a parameterized test by their `name`. */
constexpr auto kRowName = [](const auto &info) { return std::string(info.param.name); };

inline std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

/* Whether a process, this one unless named, has a library of `name` mapped. */
inline bool mapped(const std::string &name, const std::string &pid = "self")
{
    const std::vector<uint8_t> maps = read_file("/proc/" + pid + "/maps");
    return std::string(maps.begin(), maps.end()).find(name) != std::string::npos;
}

inline std::string write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

/* Whether `done` comes true within `bound`. */
inline bool eventually(const std::function<bool()> &done, std::chrono::milliseconds bound = 30s)
{
    for (const auto until = std::chrono::steady_clock::now() + bound; !done(); std::this_thread::sleep_for(20ms))
        if (std::chrono::steady_clock::now() > until)
            return false;
    return true;
}

/* Runs a call on a thread of its own and gives up waiting after 10 s: a
   guard against a hang (a FIFO, a network read, a lost server), not a
   measure of speed.  Nothing when the call did not return by itself;
   `unstick` then frees it so that the process can end, and a call still
   stuck after that is left behind. */
template <typename T>
std::optional<T> guarded(std::function<T()> call, const std::function<void()> &unstick = {})
{
    auto task = std::make_shared<std::packaged_task<T()>>(std::move(call));
    std::future<T> result = task->get_future();
    std::thread caller([task] { (*task)(); });
    if (result.wait_for(10s) == std::future_status::ready)
        return caller.join(), result.get();
    if (unstick)
        unstick();
    result.wait_for(10s) == std::future_status::ready ? caller.join() : caller.detach();
    return std::nullopt;
}

/* A stream made from a path, and the error read on the same thread, where
   the library keeps it. */
using Created = std::pair<SONA_HSTREAM, int32_t>;
inline std::optional<Created> create_guarded(const std::string &path, const std::function<void()> &unstick = {})
{
    auto kept = std::make_shared<std::string>(path); /* outlives a stuck call */
    return guarded<Created>([kept] {
        const SONA_HSTREAM h = SONA_StreamCreateFile(SONA_FALSE, kept->c_str(), 0, 0, 0);
        return Created(h, SONA_ErrorGetCode());
    }, unstick);
}

inline std::vector<float> channel(const std::vector<float> &interleaved, int channels, int ch,
                                  size_t first = 0, size_t count = SIZE_MAX)
{
    std::vector<float> out;
    for (size_t i = first * channels + ch; i < interleaved.size() && out.size() < count; i += channels)
        out.push_back(interleaved[i]);
    return out;
}

inline void append(std::vector<float> &to, const std::vector<float> &more)
{
    to.insert(to.end(), more.begin(), more.end());
}

inline double rms(const std::vector<float> &x)
{
    return x.empty() ? 0 : std::sqrt(std::inner_product(x.begin(), x.end(), x.begin(), 0.0) / double(x.size()));
}

inline double max_step(const std::vector<float> &x)
{
    double m = 0;
    for (size_t i = 1; i < x.size(); ++i)
        m = std::max(m, double(std::fabs(x[i] - x[i - 1])));
    return m;
}

/* Amplitude of the component at `hz`: one bin of a DFT. */
inline double tone_amplitude(const std::vector<float> &x, double hz)
{
    const std::complex<double> turn = std::polar(1.0, -2 * M_PI * hz / kRate);
    std::complex<double> phase = 1, sum;
    for (float v : x)
        sum += double(v) * phase, phase *= turn;
    return x.empty() ? 0 : 2 * std::abs(sum) / double(x.size());
}

/* Everything but the tone at `hz`, against the whole, in dB (THD+N): far
   below 0 only for that tone, at that pitch to a fraction of a hertz over
   half a second.  Over whole periods its bin is exact. */
inline double distortion_db(const std::vector<float> &x, double hz)
{
    const double tone = tone_amplitude(x, hz) * tone_amplitude(x, hz) / 2, total = rms(x) * rms(x);
    return 10 * std::log10(std::max(total - tone, 1e-30) / total);
}

/* First and one past the last sample above -60 dB. */
inline std::pair<size_t, size_t> audible(const std::vector<float> &x)
{
    const auto loud = [](float v) { return std::fabs(v) > 1e-3; };
    const size_t first = size_t(std::find_if(x.begin(), x.end(), loud) - x.begin());
    const size_t last = x.size() - size_t(std::find_if(x.rbegin(), x.rend(), loud) - x.rbegin());
    return {std::min(first, last), last};
}

} // namespace sona_test
