// The PipeWire driver: a stream of PipeWire's own, for the desktops that run
// it.  Through pipewire-pulse no buffer shape gives both few wake-ups and a
// change heard soon: that server reads a graph cycle or two ahead of what is
// heard and cannot take it back.  Here the graph calls the stream once a
// cycle, on PipeWire's real-time thread, and the stream mixes that cycle
// there and then: a change is heard within about two cycles, and nothing
// wakes in between.
//
// libpipewire is loaded by the keeper when the driver is first tried.  Its
// loop runs on the keeper's thread, iterated in wait(); every PipeWire
// object lives there, and the stream's process callback, which only ever
// calls mixer_render, is all that runs elsewhere.
#include "output/driver.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/iter.h>
#include <spa/utils/json.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace sona {

namespace {

/* The libpipewire calls the driver makes, resolved at run time.  The rest
   of the API it uses is inline in the headers, over the objects' own
   method tables. */
#define SONA_PIPEWIRE_CALLS(X)                                                                     \
    X(init)                                                                                        \
    X(deinit)                                                                                      \
    X(loop_new)                                                                                    \
    X(loop_destroy)                                                                                \
    X(context_new)                                                                                 \
    X(context_destroy)                                                                             \
    X(context_connect)                                                                             \
    X(core_disconnect)                                                                             \
    X(properties_new)                                                                              \
    X(properties_setf)                                                                             \
    X(proxy_destroy)                                                                               \
    X(stream_new)                                                                                  \
    X(stream_add_listener)                                                                         \
    X(stream_connect)                                                                              \
    X(stream_destroy)                                                                              \
    X(stream_set_active)                                                                           \
    X(stream_get_node_id)                                                                          \
    X(stream_dequeue_buffer)                                                                       \
    X(stream_queue_buffer)                                                                         \
    X(stream_get_time_n)

struct PipeWire {
#define SONA_PIPEWIRE_MEMBER(name) decltype(&::pw_##name) name = nullptr;
    SONA_PIPEWIRE_CALLS(SONA_PIPEWIRE_MEMBER)
#undef SONA_PIPEWIRE_MEMBER
};

/* libpipewire's per-process state is counted: each driver's pw_init has
   its pw_deinit. */
const PipeWire *pipewire()
{
    static constexpr const char *kNames[] = {SONA_PIPEWIRE_CALLS(SONA_CALL_NAME)};
    static PipeWire calls;
    static const bool loaded =
        load_calls("libpipewire-0.3.so.0", "pw_", kNames, std::size(kNames), &calls, sizeof calls);
    return loaded ? &calls : nullptr;
}

/* The graph cycle the stream asks for, in frames at the graph's rate: the
   trade of wake-ups against how soon a change is heard, measured in
   bench/README.md.  A change waits at most a cycle to be mixed and one more
   to be heard. */
constexpr uint32_t kCycleFrames = 1024;

void set_positions(uint32_t channels, uint32_t *position)
{
    static constexpr uint32_t kOrder[][kMixChannels] = {
        {SPA_AUDIO_CHANNEL_MONO},
        {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR},
        {},
        {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_RL, SPA_AUDIO_CHANNEL_RR},
        {},
        {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_LFE,
         SPA_AUDIO_CHANNEL_RL, SPA_AUDIO_CHANNEL_RR},
    };
    std::copy(kOrder[channels - 1], kOrder[channels - 1] + channels, position);
}

/* The "name" of a JSON object such as {"name":"alsa_output.pci-0000"}. */
std::string json_name(const char *json)
{
    spa_json object, member;
    spa_json_init(&object, json, std::strlen(json));
    if (spa_json_enter_object(&object, &member) <= 0)
        return "";
    char key[64], name[512];
    const char *skipped;
    while (spa_json_get_string(&member, key, sizeof key) > 0) {
        if (std::strcmp(key, "name") == 0)
            return spa_json_get_string(&member, name, sizeof name) > 0 ? name : "";
        if (spa_json_next(&member, &skipped) <= 0)
            break;
    }
    return "";
}

/* Whether there is a socket where libpipewire's native protocol looks for
   the server: PIPEWIRE_REMOTE, else pipewire-0, in the first runtime
   directory that is set.  Without one no server can answer, and the client
   is not started: it would load its configuration and modules, and say so
   on stderr where they are missing, only to learn that. */
bool server_socket_exists()
{
    const char *remote = std::getenv("PIPEWIRE_REMOTE");
    const std::string name = remote && *remote ? remote : "pipewire-0";
    if (name.front() == '/')
        return ::access(name.c_str(), F_OK) == 0;
    for (const char *variable : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR", "USERPROFILE"})
        if (const char *dir = std::getenv(variable))
            return ::access((std::string(dir) + "/" + name).c_str(), F_OK) == 0;
    return false;
}

/* An audio sink as the registry announced it, bound to learn its channels. */
struct Sink {
    uint32_t id = 0;
    uint64_t serial = 0; /* grows with each object made, never reused */
    std::string name;
    int channels = 0; /* 0 until its formats have come */
    pw_proxy *proxy = nullptr;
    spa_hook listener{};
};

class PipeWireDriver : public Driver {
public:
    explicit PipeWireDriver(const DriverContext &context)
        : mixer_(context.mixer), wake_fd_(context.wake_fd)
    {
    }
    ~PipeWireDriver() override
    {
        if (!loop_)
            return;
        {
            Entered in(loop_);
            disconnect();
            if (wake_source_)
                pw_loop_destroy_source(loop_, wake_source_);
            if (context_)
                pw_->context_destroy(context_);
        }
        pw_->loop_destroy(loop_);
        pw_->deinit();
    }

    Opened open(int32_t device) override
    {
        if (!(pw_ = pipewire()))
            return Opened::kNoLibrary;
        if (!server_socket_exists())
            return Opened::kNoServer;
        if (!start_loop())
            return Opened::kNoLibrary;
        Entered in(loop_);
        const Sink *sink = nullptr;
        const Opened reached = reach(device, &sink);
        if (reached != Opened::kYes)
            return reached;
        mixer_set_out_channels(mixer_, channels_for(sink->channels));
        if (!open_stream(device, *sink)) {
            disconnect();
            return Opened::kNoServer;
        }
        return Opened::kYes;
    }

    bool answers(int32_t device) override
    {
        if (!(pw_ = pipewire()) || !server_socket_exists() || !start_loop())
            return false;
        Entered in(loop_);
        const Sink *sink = nullptr;
        const bool reached = reach(device, &sink) == Opened::kYes;
        disconnect();
        return reached;
    }

    void close() override
    {
        if (!loop_)
            return;
        Entered in(loop_);
        disconnect();
    }

    void run(bool running) override
    {
        Entered in(loop_);
        pw_->stream_set_active(stream_, running);
    }

    bool lost() override { return lost_; }

    void wait(Milliseconds timeout) override
    {
        Entered in(loop_);
        pw_loop_iterate(loop_, timeout_count<Milliseconds>(timeout));
    }

private:
    using Clock = std::chrono::steady_clock;

    /* PipeWire's loops are entered by the thread that runs them, around
       its use of them. */
    struct Entered {
        explicit Entered(pw_loop *loop) : loop(loop) { pw_loop_enter(loop); }
        ~Entered() { pw_loop_leave(loop); }
        pw_loop *loop;
    };

    /* In the loop: connected, with the device's sink found; else
       disconnected, and why not. */
    Opened reach(int32_t device, const Sink **sink)
    {
        const bool listed = connect() && list_sinks();
        *sink = listed ? sink_for(device) : nullptr;
        if (*sink)
            return Opened::kYes;
        disconnect();
        return device >= 2 && listed ? Opened::kNoDevice : Opened::kNoServer;
    }

    /* Everything but the loop and the context, listeners first so that
       nothing calls back into what is going. */
    void disconnect()
    {
        if (stream_) {
            spa_hook_remove(&stream_listener_);
            pw_->stream_destroy(stream_); /* returns once the callback has finished */
        }
        for (const auto &sink : sinks_) {
            spa_hook_remove(&sink->listener);
            pw_->proxy_destroy(sink->proxy);
        }
        if (metadata_) {
            spa_hook_remove(&metadata_listener_);
            pw_->proxy_destroy(metadata_);
        }
        if (registry_) {
            spa_hook_remove(&registry_listener_);
            pw_->proxy_destroy(reinterpret_cast<pw_proxy *>(registry_));
        }
        if (core_) {
            spa_hook_remove(&core_listener_);
            pw_->core_disconnect(core_);
        }
        stream_ = nullptr;
        node_id_ = SPA_ID_INVALID;
        sinks_.clear();
        metadata_ = nullptr;
        registry_ = nullptr;
        core_ = nullptr;
        lost_ = false;
    }

    /* The loop, with the output's wake-up descriptor on it, and the
       context, which loads the client's modules: made once, kept until
       the driver goes. */
    bool start_loop()
    {
        if (loop_)
            return context_ != nullptr;
        pw_->init(nullptr, nullptr);
        loop_ = pw_->loop_new(nullptr);
        if (!loop_) {
            pw_->deinit();
            return false;
        }
        Entered in(loop_);
        wake_source_ = pw_loop_add_io(
            loop_, wake_fd_, SPA_IO_IN, false, [](void *, int fd, uint32_t) { drain_wake(fd); }, nullptr);
        // The client's configuration with the module that makes the
        // stream's thread real-time (through RTKit on a desktop): a cycle
        // it misses is a gap heard.
        pw_properties *props = pw_->properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr);
        context_ = pw_->context_new(loop_, props, 0); /* takes props */
        return context_ != nullptr;
    }

    /* Iterates the loop until `done` holds, within kServerBound. */
    template <class Done> bool iterate_until(Done done)
    {
        const auto bound = Clock::now() + kServerBound;
        while (!done() && !lost_) {
            const auto left = std::chrono::ceil<Milliseconds>(bound - Clock::now());
            if (left.count() <= 0 || pw_loop_iterate(loop_, timeout_count<Milliseconds>(left)) < 0)
                return false;
        }
        return !lost_;
    }

    /* A round trip: everything asked before it has been answered. */
    bool sync()
    {
        synced_ = false;
        sync_seq_ = pw_core_sync(core_, PW_ID_CORE, sync_seq_);
        return iterate_until([this] { return synced_; });
    }

    bool connect()
    {
        pw_properties *props = pw_->properties_new(PW_KEY_APP_NAME, program_name().c_str(), nullptr);
        core_ = pw_->context_connect(context_, props, 0); /* takes props */
        if (!core_)
            return false; /* no server: at once */
        static const pw_core_events kCoreEvents = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.info = [](void *d, const pw_core_info *info) {
                const char *rate = info->props ? spa_dict_lookup(info->props, "default.clock.rate") : nullptr;
                static_cast<PipeWireDriver *>(d)->graph_rate_hz_ = rate ? uint32_t(std::atoi(rate)) : 0;
            };
            e.done = [](void *d, uint32_t id, int seq) {
                auto *self = static_cast<PipeWireDriver *>(d);
                self->synced_ = self->synced_ || (id == PW_ID_CORE && seq == self->sync_seq_);
            };
            e.error = [](void *d, uint32_t id, int, int res, const char *) {
                auto *self = static_cast<PipeWireDriver *>(d);
                self->lost_ = self->lost_ || (id == PW_ID_CORE && res == -EPIPE); /* the server went */
            };
            return e;
        }();
        spa_zero(core_listener_);
        pw_core_add_listener(core_, &core_listener_, &kCoreEvents, this);
        return true;
    }

    /* The audio sinks, each with its channel count, and the default one's
       name.  The registry announces every object, the sinks are bound and
       asked for their formats, and the "default" metadata, bound, tells
       its keys: a round trip for the announcements and one for the
       answers. */
    bool list_sinks()
    {
        static const pw_registry_events kRegistryEvents = [] {
            pw_registry_events e{};
            e.version = PW_VERSION_REGISTRY_EVENTS;
            e.global = [](void *d, uint32_t id, uint32_t, const char *type, uint32_t, const spa_dict *props) {
                static_cast<PipeWireDriver *>(d)->on_global(id, type, props);
            };
            return e;
        }();
        registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
        if (!registry_)
            return false;
        spa_zero(registry_listener_);
        pw_registry_add_listener(registry_, &registry_listener_, &kRegistryEvents, this);
        return sync() && sync();
    }

    void on_global(uint32_t id, const char *type, const spa_dict *props)
    {
        const auto is = [&](const char *key, const char *value) {
            const char *found = props ? spa_dict_lookup(props, key) : nullptr;
            return found && std::strcmp(found, value) == 0;
        };
        if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 && is(PW_KEY_METADATA_NAME, "default") &&
            !metadata_) {
            static const pw_metadata_events kMetadataEvents = [] {
                pw_metadata_events e{};
                e.version = PW_VERSION_METADATA_EVENTS;
                e.property = [](void *d, uint32_t subject, const char *key, const char *, const char *value) {
                    if (subject == PW_ID_CORE && key && std::strcmp(key, "default.audio.sink") == 0)
                        static_cast<PipeWireDriver *>(d)->on_default_sink(value ? json_name(value) : "");
                    return 0;
                };
                return e;
            }();
            metadata_ =
                static_cast<pw_proxy *>(pw_registry_bind(registry_, id, type, PW_VERSION_METADATA, 0));
            spa_zero(metadata_listener_);
            if (metadata_)
                pw_metadata_add_listener(reinterpret_cast<pw_metadata *>(metadata_), &metadata_listener_,
                                         &kMetadataEvents, this);
            return;
        }
        if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
            const char *from = props ? spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE) : nullptr;
            const char *to = props ? spa_dict_lookup(props, PW_KEY_LINK_INPUT_NODE) : nullptr;
            if (from && to && node_id_ != SPA_ID_INVALID && std::strtoul(from, nullptr, 10) == node_id_)
                on_linked(uint32_t(std::strtoul(to, nullptr, 10)));
            return;
        }
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0 || !is(PW_KEY_MEDIA_CLASS, "Audio/Sink"))
            return;
        const char *serial = spa_dict_lookup(props, PW_KEY_OBJECT_SERIAL);
        static const pw_node_events kNodeEvents = [] {
            pw_node_events e{};
            e.version = PW_VERSION_NODE_EVENTS;
            e.param = [](void *d, int, uint32_t id, uint32_t, uint32_t, const spa_pod *param) {
                auto *sink = static_cast<Sink *>(d);
                const spa_pod_prop *channels =
                    param && id == SPA_PARAM_EnumFormat
                        ? spa_pod_find_prop(param, nullptr, SPA_FORMAT_AUDIO_channels)
                        : nullptr;
                uint32_t values = 0, choice = 0;
                int32_t n = 0;
                // A range's first value is its default.
                if (channels && sink->channels == 0 &&
                    spa_pod_get_int(spa_pod_get_values(&channels->value, &values, &choice), &n) == 0)
                    sink->channels = n;
            };
            return e;
        }();
        auto sink = std::make_unique<Sink>();
        const char *name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
        sink->id = id;
        sink->serial = serial ? std::strtoull(serial, nullptr, 10) : id;
        sink->name = name ? name : "";
        sink->proxy = static_cast<pw_proxy *>(pw_registry_bind(registry_, id, type, PW_VERSION_NODE, 0));
        if (!sink->proxy)
            return;
        auto *node = reinterpret_cast<pw_node *>(sink->proxy);
        pw_node_add_listener(node, &sink->listener, &kNodeEvents, sink.get());
        pw_node_enum_params(node, 0, SPA_PARAM_EnumFormat, 0, UINT32_MAX, nullptr);
        sinks_.push_back(std::move(sink));
    }

    /* The stream follows the default sink, which may have another layout:
       once it moves, the stream is made again for the new one. */
    void on_default_sink(std::string name)
    {
        lost_ = lost_ || (stream_ && following_default_ && !name.empty() && name != stream_sink_);
        default_sink_ = std::move(name);
    }

    /* The server linked the stream to a sink (the user moved it, in the
       desktop's sound settings, with pw-metadata or with pactl through
       pipewire-pulse; or it followed the default): it stays there, and
       where that sink has other channels it is made again for them there,
       the mix folded for it.  Moved to the default, it follows the
       default from then on. */
    void on_linked(uint32_t sink_id)
    {
        for (const auto &sink : sinks_) {
            if (sink->id != sink_id || sink->name == stream_sink_)
                continue;
            following_default_ = sink->name == default_sink_;
            moved_to_ = following_default_ ? "" : sink->name;
            if (sink->channels > 0 && channels_for(sink->channels) != mixer_out_channels(mixer_))
                lost_ = true;
            else
                stream_sink_ = sink->name;
            return;
        }
    }

    /* The default sink (device 1), unless the stream was moved to one
       that is still there; or the n-th in the order of object serials,
       which is the order in which the server made them and that of its
       list (pipewire-pulse's indices are the serials). */
    const Sink *sink_for(int32_t device)
    {
        std::sort(sinks_.begin(), sinks_.end(),
                  [](const auto &a, const auto &b) { return a->serial < b->serial; });
        if (device >= 2)
            return size_t(device) <= sinks_.size() ? sinks_[size_t(device) - 1].get() : nullptr;
        const Sink *fallback = nullptr;
        for (const auto &sink : sinks_) {
            if (!moved_to_.empty() && sink->name == moved_to_)
                return sink.get();
            if (sink->name == default_sink_)
                fallback = sink.get();
        }
        // A default not there yet (a server still starting) is tried again.
        return fallback;
    }

    /* Opens the stream inactive, in the mixer's rate and channels, placed
       explicitly and never remixed; where the graph runs at another rate
       the stream's own converter adapts it. */
    bool open_stream(int32_t device, const Sink &sink)
    {
        pw_properties *props = pw_->properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
            PW_KEY_APP_NAME, program_name().c_str(), PW_KEY_MEDIA_NAME, kStreamName,
            PW_KEY_STREAM_DONT_REMIX, "true", nullptr);
        const uint32_t graph_rate_hz = graph_rate_hz_ ? graph_rate_hz_ : mixer_rate_hz(mixer_);
        pw_->properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", kCycleFrames, graph_rate_hz);
        // Once moved, the stream stays where it was moved, the default or not.
        following_default_ = device == 1 && moved_to_.empty();
        if (!following_default_)
            pw_->properties_setf(props, PW_KEY_TARGET_OBJECT, "%" PRIu64, sink.serial);
        stream_sink_ = sink.name;
        stream_ = pw_->stream_new(core_, program_name().c_str(), props); /* takes props */
        if (!stream_)
            return false;
        static const pw_stream_events kStreamEvents = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = [](void *d, pw_stream_state, pw_stream_state state, const char *) {
                auto *self = static_cast<PipeWireDriver *>(d);
                self->state_ = state;
                self->lost_ =
                    self->lost_ || state == PW_STREAM_STATE_UNCONNECTED || state == PW_STREAM_STATE_ERROR;
            };
            e.process = on_process;
            return e;
        }();
        spa_zero(stream_listener_);
        state_ = PW_STREAM_STATE_CONNECTING;
        pw_->stream_add_listener(stream_, &stream_listener_, &kStreamEvents, this);

        frame_bytes_ = uint32_t(sizeof(float)) * mixer_out_channels(mixer_);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = mixer_rate_hz(mixer_);
        info.channels = mixer_out_channels(mixer_);
        set_positions(info.channels, info.position);
        uint8_t buffer[1024];
        spa_pod_builder builder;
        spa_pod_builder_init(&builder, buffer, sizeof buffer);
        const spa_pod *format = spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
        const auto flags = pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_INACTIVE |
                                           PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
        if (pw_->stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, &format, 1) < 0)
            return false;
        if (!iterate_until([this] { return state_ != PW_STREAM_STATE_CONNECTING; }) ||
            state_ != PW_STREAM_STATE_PAUSED)
            return false;
        node_id_ = pw_->stream_get_node_id(stream_);
        return true;
    }

    /* On PipeWire's real-time thread, once a graph cycle: mixes the cycle
       into the stream's buffer.  Nothing here locks, allocates or logs. */
    static void on_process(void *d)
    {
        auto *self = static_cast<PipeWireDriver *>(d);
        pw_buffer *b = self->pw_->stream_dequeue_buffer(self->stream_);
        if (!b)
            return;
        spa_data &data = b->buffer->datas[0];
        uint32_t frames = data.data ? data.maxsize / self->frame_bytes_ : 0;
        if (b->requested)
            frames = std::min(frames, uint32_t(b->requested));
        self->tell_heard();
        if (frames)
            mixer_render(self->mixer_, static_cast<float *>(data.data), frames);
        data.chunk->offset = 0;
        data.chunk->stride = int32_t(self->frame_bytes_);
        data.chunk->size = frames * self->frame_bytes_;
        self->pw_->stream_queue_buffer(self->stream_, b);
    }

    /* On the data thread: what the graph plays now is what the mixer
       renders next, less what waits before the device. */
    void tell_heard()
    {
        pw_time t{};
        if (pw_->stream_get_time_n(stream_, &t, sizeof t) < 0 || t.rate.denom == 0 || t.now <= 0)
            return;
        const uint64_t delay = t.delay > 0 ? uint64_t(t.delay) : 0;
        const uint64_t waiting = delay * t.rate.num * mixer_rate_hz(mixer_) / t.rate.denom + t.buffered;
        const uint64_t next = mixer_rendered(mixer_);
        mixer_playing_at(mixer_, next > waiting ? next - waiting : 0, t.now);
    }

    Mixer *mixer_;
    int wake_fd_;
    const PipeWire *pw_ = nullptr;
    pw_loop *loop_ = nullptr;
    spa_source *wake_source_ = nullptr;
    pw_context *context_ = nullptr;
    pw_core *core_ = nullptr;
    spa_hook core_listener_{};
    pw_registry *registry_ = nullptr;
    spa_hook registry_listener_{};
    pw_proxy *metadata_ = nullptr;
    spa_hook metadata_listener_{};
    std::vector<std::unique_ptr<Sink>> sinks_;
    std::string default_sink_;
    uint32_t graph_rate_hz_ = 0; /* 0 until the server has told */
    int sync_seq_ = 0;
    bool synced_ = false;
    pw_stream *stream_ = nullptr;
    spa_hook stream_listener_{};
    pw_stream_state state_ = PW_STREAM_STATE_UNCONNECTED;
    bool following_default_ = false;
    std::string stream_sink_; /* the sink the stream was made for */
    std::string moved_to_;    /* the sink the stream was last moved to */
    uint32_t node_id_ = SPA_ID_INVALID; /* the stream's, once connected */
    uint32_t frame_bytes_ = 0;
    bool lost_ = false;
};

} // namespace

std::unique_ptr<Driver> make_pipewire_driver(const DriverContext &context)
{
    return std::make_unique<PipeWireDriver>(context);
}

} // namespace sona
