// Shared helpers for libsona's tests: tone files made at test time with
// Debian's ffmpeg, the manual render path, a hang guard for calls that must
// return, and measurements of what was rendered.  Programs that do not link
// sona_core may include it as long as they call none of the render helpers.
#pragma once

#include "sona_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sona_test {

using namespace std::chrono_literals;

constexpr uint32_t kMixRateHz = 44100;
constexpr uint32_t kMixChannels = sona::kMixChannels;

/* A directory of its own under $TMPDIR, removed with everything in it. */
class TempDir {
public:
    TempDir()
    {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/sona-test-XXXXXX";
        if (char *made = ::mkdtemp(tmpl.data()))
            path_ = made;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

/* dir/ddd.../eee/tone.wav, exactly 4,000 bytes long (a name may have 255 at
   most, so it takes nested directories), or "" if they cannot be made. */
inline std::string four_thousand_byte_path(const TempDir &dir)
{
    constexpr size_t kLength = 4000;
    const std::string leaf = "/tone.wav";
    std::string path = dir.path();
    while (path.size() + 1 + 200 + leaf.size() < kLength) {
        path += "/" + std::string(200, 'd');
        if (::mkdir(path.c_str(), 0700) != 0)
            return "";
    }
    path += "/" + std::string(kLength - path.size() - leaf.size() - 1, 'e');
    if (::mkdir(path.c_str(), 0700) != 0)
        return "";
    return path + leaf;
}

/* A test tone: one sine per channel (frequency 0 = a silent channel). */
struct Tone {
    std::string codec_args = "-c:a pcm_s16le"; /* what follows -i in ffmpeg */
    int rate_hz = 44100;
    std::string layout = "mono"; /* an ffmpeg layout: mono, stereo or FL+FR+FC+LFE+BL+BR */
    std::vector<double> freqs_hz = {1000.0}; /* per channel; the last repeats */
    double seconds = 1.0;
    double amplitude = 0.5; /* peak, full scale = 1 */
    /* Instead of sines: one ffmpeg aevalsrc expression per channel, in t. */
    std::vector<std::string> exprs;
};

inline Tone stereo_tone(double hz, double seconds, const std::string &codec_args = "-c:a pcm_s16le")
{
    Tone tone;
    tone.codec_args = codec_args;
    tone.layout = "stereo";
    tone.freqs_hz = {hz};
    tone.seconds = seconds;
    return tone;
}

/* mono, stereo or a list of channels joined by '+' */
inline int layout_channels(const std::string &layout)
{
    if (layout == "mono")
        return 1;
    if (layout == "stereo")
        return 2;
    return int(std::count(layout.begin(), layout.end(), '+')) + 1;
}

/* Writes `tone` to dir/name (the extension picks the container) and returns
   the path, or "" after reporting a failure. */
inline std::string make_tone(const TempDir &dir, const std::string &name, const Tone &tone)
{
    const int channels = layout_channels(tone.layout);
    std::ostringstream exprs;
    for (int ch = 0; ch < channels; ++ch) {
        if (ch)
            exprs << '|';
        if (!tone.exprs.empty()) {
            exprs << tone.exprs[std::min<size_t>(size_t(ch), tone.exprs.size() - 1)];
            continue;
        }
        const double f = tone.freqs_hz[std::min<size_t>(size_t(ch), tone.freqs_hz.size() - 1)];
        if (f == 0.0)
            exprs << '0';
        else
            exprs << tone.amplitude << "*sin(2*PI*" << f << "*t)";
    }
    const std::string path = dir.file(name);
    std::ostringstream cmd;
    cmd << "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i 'aevalsrc=exprs="
        << exprs.str() << ":s=" << tone.rate_hz << ":d=" << tone.seconds << ":c=" << tone.layout
        << "' " << tone.codec_args << " '" << path << "'";
    if (std::system(cmd.str().c_str()) != 0) {
        ADD_FAILURE() << "could not make " << name << ": " << cmd.str();
        return "";
    }
    return path;
}

inline std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

/* A 16-bit PCM WAV file written by hand, so its header can lie. */
inline std::vector<uint8_t> wav_bytes(uint16_t channels, uint32_t rate_hz,
                                      uint32_t claimed_data_bytes,
                                      const std::vector<int16_t> &samples)
{
    std::vector<uint8_t> out;
    auto put = [&out](uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out.push_back(uint8_t(value >> (8 * i)));
    };
    auto tag = [&out](const char *four) {
        for (int i = 0; i < 4; ++i)
            out.push_back(uint8_t(four[i]));
    };
    tag("RIFF");
    put(36 + claimed_data_bytes, 4);
    tag("WAVE");
    tag("fmt ");
    put(16, 4);
    put(1, 2); /* PCM */
    put(channels, 2);
    put(rate_hz, 4);
    put(rate_hz * channels * 2u, 4);
    put(channels * 2u, 2);
    put(16, 2);
    tag("data");
    put(claimed_data_bytes, 4);
    for (int16_t sample : samples)
        put(uint16_t(sample), 2);
    return out;
}

/* A sine at 44.1 kHz, half scale, the same on each of `channels`. */
inline std::vector<int16_t> sine_samples(double hz, double seconds, int channels)
{
    std::vector<int16_t> samples;
    for (int i = 0; i < int(seconds * 44100); ++i)
        samples.insert(samples.end(), size_t(channels),
                       int16_t(16384 * std::sin(2 * M_PI * hz * i / 44100)));
    return samples;
}

/* ---- creating streams ---------------------------------------------------- */

struct Created {
    SONA_HSTREAM handle = 0;
    int32_t error = SONA_ERROR_UNKNOWN;
};

/* Runs SONA_StreamCreateFile on a thread of its own and gives up waiting
   after `bound`: a guard against a hang (a FIFO, a network read), not a
   measure of speed.  `unstick` then frees the stuck call so the process can
   end.  The error code is read on the creating thread, where the library
   keeps it.  `file` must outlive the call even when the guard gives up. */
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
        caller.detach(); /* still stuck: the test fails and the process ends */
    return std::nullopt;
}

inline std::optional<Created> create_file_with_hang_guard(const std::string &path)
{
    /* Kept for the process's life in case the guard gives up on the call. */
    static std::vector<std::shared_ptr<std::string>> kept;
    kept.push_back(std::make_shared<std::string>(path));
    return create_with_hang_guard(SONA_FALSE, kept.back()->c_str(), 0, 0);
}

/* ---- rendering ---------------------------------------------------------- */

/* Pulls `frames` frames through the manual output in pieces the decode
   pool has always filled ahead of, so what is rendered never depends on how
   fast the workers were. */
inline std::vector<float> render(uint32_t frames, uint32_t channels)
{
    constexpr uint32_t kPiece = 4096; /* below a ring less its refill margin */
    std::vector<float> out(size_t(frames) * channels);
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(kPiece, frames - done);
        sona_wait_decoded();
        EXPECT_EQ(sona_render(out.data() + size_t(done) * channels, n), n);
        done += n;
    }
    return out;
}

/* ---- analysis ----------------------------------------------------------- */

inline std::vector<float> channel(const std::vector<float> &interleaved, int channels, int ch,
                                  size_t skip_frames = 0)
{
    std::vector<float> out;
    for (size_t i = skip_frames * size_t(channels) + size_t(ch); i < interleaved.size();
         i += size_t(channels))
        out.push_back(interleaved[i]);
    return out;
}

inline double rms(const std::vector<float> &x)
{
    double sum = 0.0;
    for (float v : x)
        sum += double(v) * v;
    return x.empty() ? 0.0 : std::sqrt(sum / double(x.size()));
}

inline double peak(const std::vector<float> &x)
{
    double p = 0.0;
    for (float v : x)
        p = std::max(p, double(std::fabs(v)));
    return p;
}

/* The largest difference between neighbouring samples. */
inline double max_step(const std::vector<float> &x)
{
    double m = 0.0;
    for (size_t i = 1; i < x.size(); ++i)
        m = std::max(m, double(std::fabs(x[i] - x[i - 1])));
    return m;
}

inline void fft(std::vector<std::complex<double>> &a)
{
    const size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const double ang = -2.0 * M_PI / double(len);
        const std::complex<double> wl(std::cos(ang), std::sin(ang));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w(1.0);
            for (size_t k = 0; k < len / 2; ++k, w *= wl) {
                const auto u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
}

/* Frequency of the strongest component: Hann-windowed FFT of the largest
   power-of-two stretch, refined by a parabola through the peak bins. */
inline double dominant_frequency(const std::vector<float> &x, double rate_hz)
{
    size_t n = 1;
    while (n * 2 <= x.size())
        n *= 2;
    if (n < 64)
        return 0.0;
    std::vector<std::complex<double>> a(n);
    for (size_t i = 0; i < n; ++i)
        a[i] = x[i] * (0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / double(n - 1)));
    fft(a);
    size_t best = 1;
    for (size_t k = 1; k < n / 2; ++k)
        if (std::abs(a[k]) > std::abs(a[best]))
            best = k;
    double shift = 0.0;
    if (best > 1 && best + 1 < n / 2) {
        const double l = std::log(std::abs(a[best - 1]) + 1e-30);
        const double c = std::log(std::abs(a[best]) + 1e-30);
        const double r = std::log(std::abs(a[best + 1]) + 1e-30);
        shift = 0.5 * (l - r) / (l - 2.0 * c + r);
    }
    return (double(best) + shift) * rate_hz / double(n);
}

/* Energy left after removing the best-fitting sine of frequency f (with
   offset), as a fraction of the signal's energy. */
inline double residual_fraction(const std::vector<float> &x, double rate_hz, double f)
{
    const double w = 2.0 * M_PI * f / rate_hz;
    double m[3][3] = {}, b[3] = {}, total = 0.0;
    for (size_t i = 0; i < x.size(); ++i) {
        const double basis[3] = {std::cos(w * double(i)), std::sin(w * double(i)), 1.0};
        for (int r = 0; r < 3; ++r) {
            b[r] += basis[r] * x[i];
            for (int c = 0; c < 3; ++c)
                m[r][c] += basis[r] * basis[c];
        }
        total += double(x[i]) * x[i];
    }
    // Solve the 3x3 normal equations by Cramer's rule.
    auto det = [](double a[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
               a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    const double d = det(m);
    double coef[3];
    for (int k = 0; k < 3; ++k) {
        double t[3][3];
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                t[r][c] = c == k ? b[r] : m[r][c];
        coef[k] = det(t) / d;
    }
    double resid = 0.0;
    for (size_t i = 0; i < x.size(); ++i) {
        const double fit = coef[0] * std::cos(w * double(i)) + coef[1] * std::sin(w * double(i)) +
                           coef[2];
        resid += (x[i] - fit) * (x[i] - fit);
    }
    return total > 0.0 ? resid / total : 1.0;
}

/* THD+N in dB: everything but the fundamental (found near f_guess_hz),
   relative to the whole signal. */
inline double thd_n_db(const std::vector<float> &x, double rate_hz, double f_guess_hz)
{
    double lo = f_guess_hz - 1.0, hi = f_guess_hz + 1.0;
    const double g = (std::sqrt(5.0) - 1.0) / 2.0;
    for (int i = 0; i < 60; ++i) {
        const double a = hi - g * (hi - lo), b = lo + g * (hi - lo);
        if (residual_fraction(x, rate_hz, a) < residual_fraction(x, rate_hz, b))
            hi = b;
        else
            lo = a;
    }
    return 10.0 * std::log10(residual_fraction(x, rate_hz, 0.5 * (lo + hi)) + 1e-300);
}

/* Index of the first and one past the last sample above `threshold`. */
inline std::pair<size_t, size_t> audible_span(const std::vector<float> &x, double threshold)
{
    size_t first = x.size(), last = 0;
    for (size_t i = 0; i < x.size(); ++i) {
        if (std::fabs(x[i]) > threshold) {
            first = std::min(first, i);
            last = i + 1;
        }
    }
    return {first == x.size() ? 0 : first, last};
}

/* The mix of one stream from its start to its end, interleaved 5.1. */
struct Rendered {
    std::vector<float> samples;
    bool ended = false; /* the stream left the mix by itself */

    size_t frames() const { return samples.size() / kMixChannels; }
    std::vector<float> channel(int ch, size_t first = 0, size_t count = SIZE_MAX) const
    {
        std::vector<float> all = sona_test::channel(samples, int(kMixChannels), ch, first);
        if (count < all.size())
            all.resize(count);
        return all;
    }
    /* First and one past the last frame above `threshold` on any channel. */
    std::pair<size_t, size_t> audible(double threshold = 1e-4) const
    {
        const auto [first, last] = audible_span(samples, threshold);
        return {first / kMixChannels, (last + kMixChannels - 1) / kMixChannels};
    }
};

/* Plays `handle` and renders until it has left the mix or `limit_s` of mix
   has been rendered. */
inline Rendered render_to_end(SONA_HSTREAM handle, double limit_s = 30)
{
    Rendered out;
    if (!SONA_ChannelPlay(handle, SONA_FALSE)) {
        ADD_FAILURE() << "SONA_ChannelPlay failed with " << SONA_ErrorGetCode();
        return out;
    }
    while (out.frames() < size_t(limit_s * kMixRateHz)) {
        const std::vector<float> block = render(4096, kMixChannels);
        out.samples.insert(out.samples.end(), block.begin(), block.end());
        if (sona_playing_count() == 0) {
            out.ended = true;
            break;
        }
    }
    return out;
}

/* Amplitude of the `frequency_hz` component of `x` (a single-bin DFT; over
   a long stretch the leak from other frequencies is negligible). */
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

/* Entries of a /proc directory: open files, threads. */
inline size_t entry_count(const char *dir)
{
    const std::filesystem::directory_iterator it(dir);
    return size_t(std::distance(begin(it), end(it)));
}

inline size_t open_fd_count()
{
    return entry_count("/proc/self/fd");
}

inline size_t resident_bytes()
{
    long pages_total = 0, pages_resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2)
            pages_resident = 0;
        std::fclose(f);
    }
    return size_t(pages_resident) * size_t(::sysconf(_SC_PAGESIZE));
}

} // namespace sona_test
