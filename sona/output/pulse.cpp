// The native driver: libpulse, for PulseAudio and for PipeWire's
// pipewire-pulse.  libpulse is loaded by the keeper when the driver is
// first tried, and runs on the keeper's thread alone: its main loop is
// iterated in wait(), and its write callback renders the mix there.
//
// The server holds a deep buffer, and the keeper is woken only when much of
// it is free: a few times a second, where a short buffer costs the client
// and the server hundreds of wake-ups.  What must change what is heard
// (a stream starts or ends, a volume, balance or route moves) is mixed
// again from just past what the server plays and written over what was
// queued; the server, which has rendered some of it into the sink already,
// takes that back.  Through pipewire-pulse the read pointer runs up to a
// graph cycle ahead of what is heard and cannot be taken back, so a
// rewrite clears a cycle more, and the shape there asks for a short cycle
// (see kPipeWireShape).
#include "output/driver.h"
#include "output/write_ahead.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>
#include <sys/time.h>

#include <cstring>
#include <string>

namespace sona {

namespace {

/* The libpulse calls the driver makes, resolved at run time. */
#define SONA_PULSE_CALLS(X)                                                                        \
    X(mainloop_new)                                                                                \
    X(mainloop_free)                                                                               \
    X(mainloop_get_api)                                                                            \
    X(mainloop_prepare)                                                                            \
    X(mainloop_poll)                                                                               \
    X(mainloop_dispatch)                                                                           \
    X(proplist_new)                                                                                \
    X(proplist_free)                                                                               \
    X(proplist_sets)                                                                               \
    X(context_new_with_proplist)                                                                   \
    X(context_connect)                                                                             \
    X(context_disconnect)                                                                          \
    X(context_unref)                                                                               \
    X(context_get_state)                                                                           \
    X(context_get_server_info)                                                                     \
    X(context_get_sink_info_by_name)                                                               \
    X(context_get_sink_info_list)                                                                  \
    X(operation_get_state)                                                                         \
    X(operation_unref)                                                                             \
    X(stream_new_with_proplist)                                                                    \
    X(stream_set_write_callback)                                                                   \
    X(stream_connect_playback)                                                                     \
    X(stream_disconnect)                                                                           \
    X(stream_unref)                                                                                \
    X(stream_get_state)                                                                            \
    X(stream_begin_write)                                                                          \
    X(stream_write)                                                                                \
    X(stream_cork)                                                                                 \
    X(stream_update_timing_info)                                                                   \
    X(stream_get_timing_info)                                                                      \
    X(stream_get_buffer_attr)                                                                      \
    X(stream_set_moved_callback)                                                                   \
    X(stream_get_device_name)

struct Pulse {
#define SONA_PULSE_MEMBER(name) decltype(&::pa_##name) name = nullptr;
    SONA_PULSE_CALLS(SONA_PULSE_MEMBER)
#undef SONA_PULSE_MEMBER
};

const Pulse *pulse()
{
    static constexpr const char *kNames[] = {SONA_PULSE_CALLS(SONA_CALL_NAME)};
    static Pulse calls;
    static const bool loaded =
        load_calls("libpulse.so.0", "pa_", kNames, std::size(kNames), &calls, sizeof calls);
    return loaded ? &calls : nullptr;
}

/* How deep the server's buffer is, and how far past what it plays a
   rewrite begins.  On PulseAudio the server keeps tlength - 2 * minreq as
   the sink's own buffer, which a rewrite reaches into: that must not fall
   small, or the sink wakes thousands of times a second. */
struct Shape {
    uint32_t target_ms, request_ms, margin_ms;
    bool on_pipewire; /* through pipewire-pulse: a graph cycle on top of the margin */
};
constexpr Shape kPulseAudioShape{400, 100, 25, false};
/* pipewire-pulse asks the graph for a cycle of tlength - 2 * minreq: 12 ms
   here, 529 frames at 44.1 kHz, so the graph runs at 512 frames (or less,
   for another client).  A change waits out up to a cycle already read and
   the cycle a rewrite clears: two cycles, and the 5 ms ramp.  At the 1024
   frames that 24 ms asked for, a pause was heard after up to 59 ms; at
   512, after up to 35 (tests/sona/test_e2e_realtime.cpp).  The graph then
   wakes twice as often: the price of the 50 ms that sona.h promises. */
constexpr Shape kPipeWireShape{212, 100, 2, true};
/* The graph cycle a rewrite through pipewire-pulse clears: the one the
   shape asks for, once the read index has shown the graph runs at it
   (whole cycles are read at a time); until then, and where the graph's
   minimum cycle is raised (Debian raises it to 1024 frames in virtual
   machines), the larger one. */
constexpr uint32_t kAskedCycleFrames = 512, kRaisedCycleFrames = 1024;

/* While a voice waits for decoded audio, how soon the queue is written
   again to bring its start forward; and how soon a rewrite is tried again
   when the server did not say in time where it plays. */
constexpr Milliseconds kStarvedRetry(10);
/* A stream that has never run stays corked, written again from its first
   frame this often, while a voice waits for its first decoded frames
   (they come a millisecond or two after a Play); for at most as long as
   a start a rewrite margin late would take, so that a slow voice holds
   the others back no longer than that. */
constexpr Milliseconds kFirstFramesRetry(2);
constexpr auto kFirstFramesWait = std::chrono::milliseconds(40);
constexpr Milliseconds kQueryRetry(10);
/* A position the server gave longer ago than this, by its own clock, when
   it is read (the process was stopped, or not scheduled, meanwhile) is
   asked again: the stream may have run dry in between.  On a machine so
   loaded that every answer comes late, the third is taken as it is. */
constexpr auto kAnswerStale = std::chrono::milliseconds(50);
constexpr uint32_t kStaleAnswersTaken = 3;
/* The most a rewrite's margin grows for lateness, as a share of the
   buffer: a stall of the process, however long, must not push the margin
   past what is queued, where no rewrite could be made any more, nor keep
   changes waiting for long once it is over. */
constexpr uint32_t kLateShareOfTarget = 4;
/* An estimate of where the server plays older than this is refreshed. */
constexpr auto kEstimateFor = std::chrono::seconds(1);
/* A rewrite goes to the server in pieces of this many frames at most, so
   that its first, the one that must arrive before the server reaches it,
   is on its way at once rather than after all the rest is mixed. */
constexpr uint64_t kRewritePieceFrames = 1024;

pa_channel_map map_for(uint32_t channels)
{
    static constexpr pa_channel_position_t kOrder[][kMixChannels] = {
        {PA_CHANNEL_POSITION_MONO},
        {PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT},
        {},
        {PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT,
         PA_CHANNEL_POSITION_REAR_LEFT, PA_CHANNEL_POSITION_REAR_RIGHT},
        {},
        {PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT,
         PA_CHANNEL_POSITION_FRONT_CENTER, PA_CHANNEL_POSITION_LFE,
         PA_CHANNEL_POSITION_REAR_LEFT, PA_CHANNEL_POSITION_REAR_RIGHT},
    };
    pa_channel_map map{};
    map.channels = uint8_t(channels);
    std::copy(kOrder[channels - 1], kOrder[channels - 1] + channels, map.map);
    return map;
}

/* What the server says of itself and of the sink to play on. */
struct SinkFound {
    bool done = false;
    bool on_pipewire = false;
    std::string default_sink;
    std::string name; /* empty until found */
    int channels = 0;
    uint32_t skip = 0; /* sinks to pass over before the one wanted */
    bool is_default() const { return name == default_sink; }
};

class PulseDriver : public Driver {
public:
    explicit PulseDriver(const DriverContext &context)
        : mixer_(context.mixer), wake_fd_(context.wake_fd), written_(*context.write_ahead)
    {
    }
    ~PulseDriver() override
    {
        close();
        if (wake_event_)
            api_->io_free(wake_event_);
        if (loop_)
            pa_->mainloop_free(loop_);
    }

    Opened open(int32_t device) override
    {
        SinkFound sink;
        const Opened reached = reach(device, &sink);
        if (reached != Opened::kYes)
            return reached;
        shape_ = sink.on_pipewire ? kPipeWireShape : kPulseAudioShape;
        cycle_frames_ = kRaisedCycleFrames;
        mixer_set_out_channels(mixer_, channels_for(sink.channels));
        // The default sink is followed, wherever it goes; any other is
        // named, the one moved to included.
        if (!open_stream(device == 1 && sink.is_default() ? nullptr : sink.name.c_str())) {
            close();
            return Opened::kNoServer;
        }
        return Opened::kYes;
    }

    bool answers(int32_t device) override
    {
        SinkFound sink;
        const bool reached = reach(device, &sink) == Opened::kYes;
        close();
        return reached;
    }

    void close() override
    {
        if (stream_) {
            pa_->stream_disconnect(stream_);
            pa_->stream_unref(stream_);
        }
        if (context_) {
            pa_->context_disconnect(context_);
            pa_->context_unref(context_);
        }
        stream_ = nullptr;
        context_ = nullptr;
    }

    void run(bool running) override
    {
        // Through pipewire-pulse a corked stream leaves the graph, whose
        // cycle would then change under every other stream at each pause
        // and each resume: it plays silence until the keeper closes it.
        if (shape_.on_pipewire && !running)
            return;
        holding_ = running && !ran_;
        if (holding_) {
            holding_since_ = Clock::now();
            if (!write_first_frames())
                return; /* follow_mixer uncorks it once they are fed */
        }
        cork(!running);
    }

    bool lost() override
    {
        return pa_->context_get_state(context_) != PA_CONTEXT_READY ||
               pa_->stream_get_state(stream_) != PA_STREAM_READY || !stays_where_moved();
    }

    void wait(Milliseconds timeout) override
    {
        if (pa_->mainloop_prepare(loop_, timeout_count<std::chrono::microseconds>(timeout)) >= 0 &&
            pa_->mainloop_poll(loop_) >= 0)
            pa_->mainloop_dispatch(loop_);
    }

    bool writes_ahead() const override { return true; }

    /* What has been heard is forgotten, and after a change, or while a
       voice waits for its data, the queue is written again from just past
       what is heard. */
    Milliseconds follow_mixer() override
    {
        if (holding_) {
            if (!write_first_frames() && Clock::now() - holding_since_ < kFirstFramesWait)
                return kFirstFramesRetry;
            cork(false);
        }
        const WriteAhead::Pending pending = written_.pending();
        uint64_t heard = 0;
        if (!heard_position(pending.any(), &heard))
            return pending.any() ? kQueryRetry : kForever;
        written_.heard(heard);
        if (pending.any()) {
            rewrite_from(heard + rewrite_margin_frames());
            written_.done(pending);
        }
        return pending.starved ? kStarvedRetry : kForever;
    }

private:
    using Clock = std::chrono::steady_clock;

    /* Where the server plays, in the mixer's positions: `exact` asks the
       server; else an estimate from what the driver last learnt, never
       behind it by more than the server's own buffer. */
    bool heard_position(bool exact, uint64_t *position)
    {
        if (exact || !playing_ || estimate_from_ == kNoPosition ||
            Clock::now() - estimated_at_ > kEstimateFor)
            if (!learn_heard_position())
                return false;
        // Since the server last told: the clock has run on, if it had
        // started (a sink that wakes from idle can hold a stream back for
        // a second or two).
        const auto ran = playing_ ? std::chrono::duration<double>(Clock::now() - estimated_at_).count() : 0;
        *position = std::min(estimate_from_ + uint64_t(ran * mixer_rate_hz(mixer_)), written_.written());
        mixer_playing_at(mixer_, *position, steady_now_ns());
        return true;
    }

    void cork(bool corked)
    {
        holding_ = false;
        ran_ = ran_ || !corked;
        if (pa_operation *op = pa_->stream_cork(stream_, corked ? 1 : 0, nullptr, nullptr))
            pa_->operation_unref(op);
        estimate_from_ = kNoPosition; /* the clock stood still while corked */
    }

    /* A stream that has never run has had nothing taken from it: it will
       play from its first frame, which the driver knows without asking.
       While it stays corked the queue is written again from there, so that
       the first sound plays as soon as it runs rather than a rewrite
       margin later.  True when every voice had frames to play; what changed
       meanwhile stays pending for follow_mixer, once it runs. */
    bool write_first_frames()
    {
        written_.done(written_.pending()); /* all of it is in what is written now */
        estimate_from_ = base_;
        estimated_at_ = Clock::now();
        playing_ = false;
        rewrite_from(base_);
        return !written_.pending().starved;
    }

    /* The server moved the stream to another sink (the user did, in the
       desktop's sound settings, or the default sink changed): the stream
       stays where it was moved, and where that sink has other channels,
       it is made again for them there, the mix folded for it. */
    bool stays_where_moved()
    {
        if (!moved_)
            return true;
        moved_ = false;
        SinkFound sink;
        const char *name = pa_->stream_get_device_name(stream_);
        if (!name || !finish(pa_->context_get_server_info(context_, on_server_info, &sink)) ||
            !find_sink_named(name, &sink))
            return true; /* as it is, if the server cannot say */
        moved_to_ = sink.is_default() ? "" : sink.name; /* to the default: it follows the default */
        return channels_for(sink.channels) == mixer_out_channels(mixer_);
    }

    /* How far past the heard position a rewrite must start, so that no
       part of it is already on its way out. */
    uint32_t rewrite_margin_frames() const
    {
        return mixer_rate_hz(mixer_) * shape_.margin_ms / 1000 + (shape_.on_pipewire ? cycle_frames_ : 0) +
               late_frames_;
    }

    /* Writes again over what was queued, from a mixer position on. */
    void rewrite_from(uint64_t position)
    {
        const uint64_t end = written_.written();
        const uint64_t from = written_.rewind(position);
        if (from != kNoPosition) /* never before base_: what is heard is past it */
            write_frames(end - from, true, int64_t(from - base_) * int64_t(frame_bytes()));
    }

    size_t frame_bytes() const { return sizeof(float) * mixer_out_channels(mixer_); }

    /* Connected, with the device's sink found; else closed, and why not. */
    Opened reach(int32_t device, SinkFound *sink)
    {
        if (!start_loop())
            return Opened::kNoLibrary;
        if (connect() && find_sink(device, sink))
            return Opened::kYes;
        close();
        return device >= 2 && sink->done ? Opened::kNoDevice : Opened::kNoServer;
    }

    /* The main loop, with the output's wake-up descriptor on it. */
    bool start_loop()
    {
        if (loop_)
            return true;
        pa_ = pulse();
        if (!pa_ || !(loop_ = pa_->mainloop_new()))
            return false;
        api_ = pa_->mainloop_get_api(loop_);
        wake_event_ = api_->io_new(
            api_, wake_fd_, PA_IO_EVENT_INPUT,
            [](pa_mainloop_api *, pa_io_event *, int fd, pa_io_event_flags_t, void *) {
                drain_wake(fd);
            },
            nullptr);
        return true;
    }

    /* Iterates the main loop until `done` holds, within kServerBound. */
    template <class Done> bool iterate_until(Done done)
    {
        const auto bound = Clock::now() + kServerBound;
        while (!done()) {
            const auto left = bound - Clock::now();
            if (left.count() <= 0 || pa_->mainloop_prepare(loop_, timeout_count<std::chrono::microseconds>(left)) < 0 ||
                pa_->mainloop_poll(loop_) < 0 || pa_->mainloop_dispatch(loop_) < 0)
                return false;
        }
        return true;
    }

    bool finish(pa_operation *op)
    {
        if (!op)
            return false;
        const bool done = iterate_until([&] { return pa_->operation_get_state(op) != PA_OPERATION_RUNNING; });
        pa_->operation_unref(op);
        return done;
    }

    bool connect()
    {
        pa_proplist *props = pa_->proplist_new();
        pa_->proplist_sets(props, PA_PROP_APPLICATION_NAME, program_name().c_str());
        context_ = pa_->context_new_with_proplist(api_, program_name().c_str(), props);
        pa_->proplist_free(props);
        if (!context_ || pa_->context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return false;
        return iterate_until([this] {
                   const pa_context_state_t s = pa_->context_get_state(context_);
                   return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
               }) &&
               pa_->context_get_state(context_) == PA_CONTEXT_READY;
    }

    /* The default sink (device 1), unless the stream was moved to one
       that is still there, or the n-th in the server's order. */
    bool find_sink(int32_t device, SinkFound *sink)
    {
        if (!finish(pa_->context_get_server_info(context_, on_server_info, sink)))
            return false;
        if (device == 1 && !moved_to_.empty() && find_sink_named(moved_to_, sink))
            return true;
        sink->skip = device >= 2 ? uint32_t(device - 1) : 0;
        pa_operation *op = device == 1
                               ? pa_->context_get_sink_info_by_name(context_, sink->default_sink.c_str(),
                                                                    on_sink_info, sink)
                               : pa_->context_get_sink_info_list(context_, on_sink_info, sink);
        sink->done = finish(op);
        // A default sink that is not there yet (a server still starting)
        // is tried again; a numbered one that is not there is no device.
        return sink->done && !sink->name.empty();
    }

    bool find_sink_named(const std::string &name, SinkFound *sink)
    {
        sink->name.clear();
        sink->skip = 0;
        return finish(pa_->context_get_sink_info_by_name(context_, name.c_str(), on_sink_info, sink)) &&
               !sink->name.empty();
    }

    static void on_server_info(pa_context *, const pa_server_info *i, void *d)
    {
        auto *s = static_cast<SinkFound *>(d);
        s->on_pipewire = i->server_name && std::strstr(i->server_name, "on PipeWire");
        s->default_sink = i->default_sink_name ? i->default_sink_name : "";
    }

    static void on_sink_info(pa_context *, const pa_sink_info *i, int eol, void *d)
    {
        auto *s = static_cast<SinkFound *>(d);
        if (eol || !i || !s->name.empty() || s->skip-- > 0)
            return;
        s->name = i->name;
        s->channels = i->sample_spec.channels;
    }

    bool open_stream(const char *sink_name)
    {
        const uint32_t channels = mixer_out_channels(mixer_);
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, mixer_rate_hz(mixer_), uint8_t(channels)};
        const pa_channel_map map = map_for(channels);
        const auto bytes = [&](uint32_t ms) { return uint32_t(uint64_t(mixer_rate_hz(mixer_)) * ms / 1000 * frame_bytes()); };
        const pa_buffer_attr attr{uint32_t(-1), bytes(shape_.target_ms), uint32_t(-1),
                                  bytes(shape_.request_ms), uint32_t(-1)};
        pa_proplist *props = pa_->proplist_new();
        pa_->proplist_sets(props, PA_PROP_MEDIA_ROLE, "music");
        pa_->proplist_sets(props, PA_PROP_APPLICATION_NAME, program_name().c_str());
        stream_ = pa_->stream_new_with_proplist(context_, kStreamName, &spec, &map, props);
        pa_->proplist_free(props);
        if (!stream_)
            return false;
        pa_->stream_set_write_callback(
            stream_,
            [](pa_stream *, size_t nbytes, void *d) {
                auto *self = static_cast<PulseDriver *>(d);
                self->write_frames(nbytes / self->frame_bytes(), false, 0);
            },
            this);
        moved_ = false;
        pa_->stream_set_moved_callback(
            stream_, [](pa_stream *, void *d) { static_cast<PulseDriver *>(d)->moved_ = true; }, this);
        // Corked until something plays; the server never remixes.
        const auto flags = pa_stream_flags_t(PA_STREAM_START_CORKED | PA_STREAM_NO_REMIX_CHANNELS);
        base_ = written_.written();
        ran_ = holding_ = false;
        estimate_from_ = kNoPosition;
        if (pa_->stream_connect_playback(stream_, sink_name, &attr, flags, nullptr, nullptr) < 0)
            return false;
        return iterate_until([this] {
                   const pa_stream_state_t s = pa_->stream_get_state(stream_);
                   return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
               }) &&
               pa_->stream_get_state(stream_) == PA_STREAM_READY;
    }

    /* Renders `frames` frames into the server's own memory and writes them,
       after the last write, or `over` what was queued from `offset` bytes
       past the stream's start on. */
    void write_frames(uint64_t frames, bool over, int64_t offset)
    {
        pa_seek_mode_t mode = over ? PA_SEEK_ABSOLUTE : PA_SEEK_RELATIVE;
        int64_t seek = over ? offset : 0;
        written_.make_room();
        while (frames > 0) {
            void *data = nullptr;
            size_t bytes = size_t(over ? std::min(frames, kRewritePieceFrames) : frames) * frame_bytes();
            if (pa_->stream_begin_write(stream_, &data, &bytes) < 0 || bytes < frame_bytes())
                return;
            const uint32_t n = uint32_t(bytes / frame_bytes());
            mixer_render(mixer_, static_cast<float *>(data), n);
            if (pa_->stream_write(stream_, data, size_t(n) * frame_bytes(), nullptr, seek, mode) < 0)
                return;
            if (over && mode == PA_SEEK_ABSOLUTE)
                note_lateness();
            frames -= n;
            seek = 0;
            mode = PA_SEEK_RELATIVE;
        }
    }

    /* How long the first piece of a rewrite took to leave, from the moment
       the server said where it plays: on a loaded machine (or under a
       sanitizer) that can outrun the margin, and the seam would fall in
       what is already heard.  The margin grows to twice the worst of late
       and shrinks back with each answer of the server's
       (learn_heard_position).  Later than a share of the buffer is a
       stall (the process was stopped, or not run), not a pace a margin
       could keep up with: it is let be. */
    void note_lateness()
    {
        const double late = 2 * std::chrono::duration<double>(Clock::now() - estimated_at_).count() *
                            mixer_rate_hz(mixer_);
        const double most = double(mixer_rate_hz(mixer_)) * shape_.target_ms / 1000 / kLateShareOfTarget;
        if (late <= most)
            late_frames_ = std::max(late_frames_, uint32_t(late));
    }

    /* Asks the server where it plays: its read index, less what lies in
       the sink, plus what it has read while the answer travelled. */
    bool learn_heard_position()
    {
        bool done = false;
        pa_operation *op = pa_->stream_update_timing_info(
            stream_, [](pa_stream *, int, void *d) { *static_cast<bool *>(d) = true; }, &done);
        if (!finish(op) || !done)
            return false;
        const pa_timing_info *t = pa_->stream_get_timing_info(stream_);
        if (!t || t->read_index_corrupt)
            return false;
        // How old the answer is, on the clock libpulse stamps it with.
        timeval now{};
        ::gettimeofday(&now, nullptr);
        const auto age = std::chrono::seconds(now.tv_sec - t->timestamp.tv_sec) +
                         std::chrono::microseconds(now.tv_usec - t->timestamp.tv_usec);
        late_frames_ -= late_frames_ / 4;
        stale_answers_ = age > kAnswerStale ? stale_answers_ + 1 : 0;
        if (stale_answers_ % kStaleAnswersTaken != 0)
            return false;
        const double rate = mixer_rate_hz(mixer_);
        const double frames = double(t->read_index) / double(frame_bytes()) +
                              (double(t->transport_usec) - double(t->sink_usec)) * rate / 1e6;
        estimate_from_ = base_ + uint64_t(std::max(frames, 0.0));
        const uint64_t read = t->read_index > 0 ? uint64_t(t->read_index) / frame_bytes() : 0;
        if (read % kRaisedCycleFrames != 0 && read % (kAskedCycleFrames / 2) == 0)
            cycle_frames_ = kAskedCycleFrames;
        estimated_at_ = Clock::now() - std::chrono::duration_cast<Clock::duration>(std::max(age, age.zero()));
        playing_ = t->playing != 0;
        return true;
    }

    Mixer *mixer_;
    int wake_fd_;
    WriteAhead &written_;
    const Pulse *pa_ = nullptr;
    pa_mainloop *loop_ = nullptr;
    pa_mainloop_api *api_ = nullptr;
    pa_io_event *wake_event_ = nullptr;
    pa_context *context_ = nullptr;
    pa_stream *stream_ = nullptr;
    Shape shape_ = kPulseAudioShape;
    uint32_t cycle_frames_ = kRaisedCycleFrames;
    uint64_t base_ = 0; /* the mixer's position at the stream's first byte */
    uint64_t estimate_from_ = kNoPosition;
    Clock::time_point estimated_at_{};
    bool playing_ = false; /* as the server last said */
    uint32_t late_frames_ = 0;
    bool ran_ = false;     /* uncorked since the stream opened */
    bool holding_ = false; /* asked to run, corked until its voices are fed */
    Clock::time_point holding_since_{};
    uint32_t stale_answers_ = 0; /* in a row */
    bool moved_ = false;     /* the server moved the stream, not yet looked at */
    std::string moved_to_;   /* the sink the stream was last moved to, unless the default */
};

} // namespace

std::unique_ptr<Driver> make_pulse_driver(const DriverContext &context)
{
    return std::make_unique<PulseDriver>(context);
}

} // namespace sona
