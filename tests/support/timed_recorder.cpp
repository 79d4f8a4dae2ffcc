// The monitor is recorded through libpulse (PulseAudio, or PipeWire's
// pipewire-pulse), in this process.  When the recorded frames were played
// is a matter of the server's clock, which each server tells its own way;
// the moment the recorder receives a frame will not do: a PulseAudio null
// sink renders up to its latency ahead of what it plays and hands that to
// its monitor at once, and PipeWire's monitor brings a cycle's frames
// once the cycle has been played.
//
//   - PulseAudio: the monitor stream's own clock.  pa_stream_get_time on a
//     stream recording a monitor is the recorded frame the sink plays
//     now, the sink's latency taken off; each fragment that comes is one
//     account of it.  Fragments of 5 ms: the accounts of a second agree
//     within 0.2 ms (all but the odd one in twenty), though they drift
//     by a millisecond or two over a run; at 25 ms they stray by up to
//     9 ms, at 50 by 10, at 200 by 40.  The sink then renders only 5 ms
//     ahead: a rewrite is taken back from the stream's queue, hardly from
//     the sink's own buffer.
//   - PipeWire: pipewire-pulse's account of a monitor strays by 15 to 40
//     ms at a cycle of 1024 frames, and is 18 to 41 ms off the graph's
//     clock.  So the recorder plays clicks of its own through a PipeWire
//     stream: the first frame a stream gives in a cycle is presented at
//     the cycle's time plus the delay the stream reports, what it has
//     queued and what its resampler holds (pw_stream_get_time_n), and
//     where each click is recorded says when that recorded frame was
//     played.  The clicks agree within 0.05 ms; on a loaded machine they
//     now and then step by a cycle (the graph fell behind, or the
//     recorder lost a cycle), and those after the step agree among
//     themselves.
//     Fragments of 25 ms: smaller ones shrink the graph's cycle (5 ms
//     runs it at 256 frames), and every change would be heard sooner than
//     on a desktop.
#include "timed_recorder.h"
#include "test_support.h"

#include <pipewire/pipewire.h>
#include <pulse/pulseaudio.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_set>

namespace sound {

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kRate = 44100;
constexpr double kFrameMs = 1000.0 / kRate;

/* The accounts that count around a moment. */
constexpr double kNearMs = 500;

double median(std::vector<double> v)
{
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

/* Plays a one-frame click on the sink's last channel every fourth graph
   cycle, and notes when the server says each is presented. */
class Clicker {
public:
    Clicker(const Sink &sink)
    {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("clicker", nullptr);
        pw_thread_loop_lock(loop_);
        pw_thread_loop_start(loop_);
        // A cycle as the library asks for, so that the graph runs as it
        // would for the library alone.
        pw_properties *props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                                 PW_KEY_TARGET_OBJECT, sink.name.c_str(), PW_KEY_NODE_LATENCY,
                                                 "1024/44100", PW_KEY_STREAM_DONT_REMIX, "true", nullptr);
        static const pw_stream_events kEvents = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.process = [](void *d) { static_cast<Clicker *>(d)->process(); };
            return e;
        }();
        stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "clicker", props, &kEvents, this);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = kRate;
        info.channels = 1;
        info.position[0] = sink.channels == 6 ? SPA_AUDIO_CHANNEL_RR : SPA_AUDIO_CHANNEL_FR;
        uint8_t buffer[1024];
        spa_pod_builder builder;
        spa_pod_builder_init(&builder, buffer, sizeof buffer);
        const spa_pod *format = spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
        const auto flags = pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                           PW_STREAM_FLAG_RT_PROCESS);
        if (!stream_ || pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, &format, 1) < 0)
            error_ = "the clicker's stream did not connect";
        pw_thread_loop_unlock(loop_);
    }
    ~Clicker()
    {
        pw_thread_loop_lock(loop_);
        if (stream_)
            pw_stream_destroy(stream_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        pw_thread_loop_destroy(loop_);
        pw_deinit();
    }

    const std::string &error() const { return error_; }

    /* Accounts from the clicks presented from `since_ms` on, each found
       on `last`, the recorded channel, by its loudness. */
    std::vector<TimeBase::Account> accounts(const std::vector<float> &last, double since_ms) const
    {
        const size_t count = count_.load(std::memory_order_acquire);
        std::vector<TimeBase::Account> out;
        for (size_t i = 0; i < last.size(); ++i) {
            const long k = std::lround((last[i] - kFirstLoudness) / kLoudnessStep);
            if (last[i] > kFirstLoudness / 2 && k >= 0 && size_t(k) < count &&
                std::fabs(last[i] - loudness(size_t(k))) < kLoudnessStep / 4 && clicks_[k].presented_ms >= since_ms)
                out.push_back({clicks_[k].presented_ms, clicks_[k].presented_ms - double(i) * kFrameMs});
        }
        return out;
    }

private:
    struct Click {
        uint64_t frame; /* of the clicker's stream */
        double presented_ms;
    };
    /* Each click is told by its loudness, in float32 (which the sinks
       keep) far apart; there are so many as to last six minutes. */
    static constexpr size_t kClicks = 4096;
    static constexpr float kFirstLoudness = 0.5f, kLoudnessStep = 1e-4f;
    static float loudness(size_t k) { return kFirstLoudness + float(k) * kLoudnessStep; }

    /* On PipeWire's real-time thread: no lock, no allocation. */
    void process()
    {
        pw_buffer *b = pw_stream_dequeue_buffer(stream_);
        if (!b)
            return;
        spa_data &data = b->buffer->datas[0];
        uint32_t frames = data.data ? data.maxsize / sizeof(float) : 0;
        if (b->requested)
            frames = std::min(frames, uint32_t(b->requested));
        pw_time t{};
        const bool timed = pw_stream_get_time_n(stream_, &t, sizeof t) == 0 && t.rate.denom != 0 && t.now > 0;
        auto *out = static_cast<float *>(data.data);
        std::fill(out, out + frames, 0.0f);
        const size_t n = count_.load(std::memory_order_relaxed);
        if (timed && frames > 0 && cycles_++ % 4 == 0 && n < kClicks) {
            out[0] = loudness(n);
            const double delay_ms = double(t.delay) * 1000.0 * t.rate.num / t.rate.denom;
            // After the delay to the device, what is queued before this
            // buffer (`queued` is in bytes, of mono floats) and what the
            // resampler holds.
            const double waiting = double(t.queued) / sizeof(float) + double(t.buffered);
            clicks_[n] = {written_, double(t.now) / 1e6 + delay_ms + waiting * kFrameMs};
            count_.store(n + 1, std::memory_order_release); /* the click is written first */
        }
        written_ += frames;
        data.chunk->offset = 0;
        data.chunk->stride = sizeof(float);
        data.chunk->size = frames * uint32_t(sizeof(float));
        pw_stream_queue_buffer(stream_, b);
    }

    pw_thread_loop *loop_ = nullptr;
    pw_stream *stream_ = nullptr;
    std::string error_;
    uint64_t written_ = 0;
    uint32_t cycles_ = 0;
    std::unique_ptr<Click[]> clicks_{new Click[kClicks]};
    std::atomic<size_t> count_{0};
};

} // namespace

double now_ms()
{
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

TimeBase::TimeBase(std::vector<Account> accounts) : accounts_(std::move(accounts))
{
    std::sort(accounts_.begin(), accounts_.end(), [](const Account &a, const Account &b) { return a.at_ms < b.at_ms; });
    std::vector<double> strays;
    for (const Account &a : accounts_)
        strays.push_back(std::fabs(a.origin_ms - origin_near(a.at_ms)));
    std::sort(strays.begin(), strays.end());
    spread_ms_ = strays.empty() ? 0 : strays[strays.size() - 1 - strays.size() / 20];
}

double TimeBase::origin_near(double ms) const
{
    const auto by_time = [](const Account &a, double t) { return a.at_ms < t; };
    auto first = std::lower_bound(accounts_.begin(), accounts_.end(), ms - kNearMs, by_time);
    auto last = std::lower_bound(accounts_.begin(), accounts_.end(), ms + kNearMs, by_time);
    if (first == last) /* none that near: the nearest */
        first = last = std::min(last, accounts_.end() - 1), ++last;
    std::vector<double> origins;
    for (auto a = first; a != last; ++a)
        origins.push_back(a->origin_ms);
    return median(origins);
}

double TimeBase::played_ms(double frame) const
{
    // Where the frame falls by the accounts of all the run, then by those
    // around then.
    const double about = accounts_[accounts_.size() / 2].origin_ms + frame * kFrameMs;
    return origin_near(about) + frame * kFrameMs;
}

double TimeBase::frame_at(double ms) const
{
    return (ms - origin_near(ms)) / kFrameMs;
}

struct TimedRecorder::State {
    int channels = 0;
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    pa_stream *stream = nullptr;
    std::unique_ptr<Clicker> clicker;
    std::string error;
    mutable std::mutex mutex;
    std::vector<float> samples;
    std::vector<TimeBase::Account> accounts; /* the monitor's own */

    /* On the loop's thread, as each fragment comes. */
    void take()
    {
        const double at = now_ms();
        const void *data = nullptr;
        size_t bytes = 0;
        std::lock_guard<std::mutex> lock(mutex);
        while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
            const size_t n = bytes / sizeof(float);
            if (data)
                samples.insert(samples.end(), static_cast<const float *>(data), static_cast<const float *>(data) + n);
            else
                samples.resize(samples.size() + n, 0.0f); /* a hole, in its place */
            pa_stream_drop(stream);
        }
        pa_usec_t played = 0;
        if (!clicker && pa_stream_get_time(stream, &played) == 0)
            accounts.push_back({at, at - double(played) / 1000.0});
    }
};

TimedRecorder::TimedRecorder(Kind kind, const Sink &sink) : state_(std::make_unique<State>())
{
    State &s = *state_;
    s.channels = sink.channels;
    if (kind == Kind::PipeWire)
        s.clicker = std::make_unique<Clicker>(sink);
    s.loop = pa_threaded_mainloop_new();
    s.context = pa_context_new(pa_threaded_mainloop_get_api(s.loop), "timed recorder");
    pa_context_set_state_callback(
        s.context, [](pa_context *, void *d) { pa_threaded_mainloop_signal(static_cast<State *>(d)->loop, 0); },
        &s);
    pa_threaded_mainloop_lock(s.loop);
    pa_threaded_mainloop_start(s.loop);
    pa_context_connect(s.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    while (PA_CONTEXT_IS_GOOD(pa_context_get_state(s.context)) &&
           pa_context_get_state(s.context) != PA_CONTEXT_READY)
        pa_threaded_mainloop_wait(s.loop);
    if (pa_context_get_state(s.context) == PA_CONTEXT_READY) {
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, uint8_t(sink.channels)};
        pa_channel_map map;
        pa_channel_map_parse(&map, sink.channels == 6
                                       ? "front-left,front-right,front-center,lfe,rear-left,rear-right"
                                       : "front-left,front-right");
        s.stream = pa_stream_new(s.context, "timed recorder", &spec, &map);
        pa_stream_set_read_callback(
            s.stream, [](pa_stream *, size_t, void *d) { static_cast<State *>(d)->take(); }, &s);
        pa_buffer_attr attr{};
        attr.maxlength = uint32_t(-1);
        attr.fragsize = uint32_t(pa_usec_to_bytes(pa_usec_t(kind == Kind::PipeWire ? 25000 : 5000), &spec));
        const auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                             PA_STREAM_AUTO_TIMING_UPDATE);
        if (pa_stream_connect_record(s.stream, (sink.name + ".monitor").c_str(), &attr, flags) < 0)
            s.error = "cannot record: " + std::string(pa_strerror(pa_context_errno(s.context)));
    } else {
        s.error = "cannot connect: " + std::string(pa_strerror(pa_context_errno(s.context)));
    }
    pa_threaded_mainloop_unlock(s.loop);
    if (s.clicker && s.error.empty())
        s.error = s.clicker->error();
}

TimedRecorder::~TimedRecorder()
{
    State &s = *state_;
    pa_threaded_mainloop_stop(s.loop);
    if (s.stream) {
        pa_stream_disconnect(s.stream);
        pa_stream_unref(s.stream);
    }
    pa_context_disconnect(s.context);
    pa_context_unref(s.context);
    pa_threaded_mainloop_free(s.loop);
}

bool TimedRecorder::ok(std::string *why) const
{
    sona_test::eventually([this] { return frames() > 0 || !state_->error.empty(); }, std::chrono::seconds(10));
    *why = state_->error;
    return why->empty() && frames() > 0;
}

size_t TimedRecorder::frames() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->samples.size() / size_t(state_->channels);
}

std::vector<float> TimedRecorder::copy(size_t first, size_t count) const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    const size_t have = state_->samples.size() / size_t(state_->channels);
    first = std::min(first, have);
    count = std::min(count, have - first);
    const auto from = state_->samples.begin() + long(first * size_t(state_->channels));
    return std::vector<float>(from, from + long(count * size_t(state_->channels)));
}

std::vector<float> TimedRecorder::channel(int ch) const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<float> out;
    out.reserve(state_->samples.size() / size_t(state_->channels));
    for (size_t i = size_t(ch); i < state_->samples.size(); i += size_t(state_->channels))
        out.push_back(state_->samples[i]);
    return out;
}

TimeBase TimedRecorder::time_base(double since_ms) const
{
    if (state_->clicker)
        return TimeBase(state_->clicker->accounts(channel(state_->channels - 1), since_ms));
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<TimeBase::Account> accounts;
    for (const TimeBase::Account &a : state_->accounts)
        if (a.at_ms >= since_ms)
            accounts.push_back(a);
    return TimeBase(accounts);
}

} // namespace sound
