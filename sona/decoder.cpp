// FFmpeg behind a door we keep: we open the file ourselves and FFmpeg reads
// only through our I/O callbacks over that one descriptor (or memory block).
// It never sees a path, so it can never treat one as a URL, a protocol or a
// playlist; nested opens are refused, only audio demuxers from an allow-list
// may claim the data and only audio decoders may run on it.
#include "sona_internal.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace sona {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kIoBufferBytes = 32 * 1024;
constexpr int64_t kProbeBytes = 1 << 20;
constexpr int64_t kAnalyzeUs = 5 * AV_TIME_BASE;
constexpr auto kOpenBudget = std::chrono::seconds(5);
constexpr auto kFillBudget = std::chrono::seconds(5); /* a slow disk is not a hostile file */
constexpr int kMaxSourceChannels = 64;
/* Source rates we accept: a header claiming more (or less) is hostile or
   broken, and would make the resampler build absurd filters. */
constexpr int kMinSourceRate = 100;
constexpr int kMaxSourceRate = 768000;
/* swr output per call: bounded so a huge decoded frame is buffered inside
   swr instead of in a buffer of ours sized by the file.  We only convert
   when the ring has this much room: given less, the SoX engine emits
   nothing and would swallow frame after frame into its input buffer. */
constexpr int kConvertFrames = 1024;
static_assert(kConvertFrames <= int(kRefillFrames), "the worker must wake with room to convert");
/* Input samples fed in a row without any output: more means a broken
   stream, and feeding on would grow swr's input buffer without bound. */
constexpr int kMaxStarvedSamples = 1 << 16;
/* Consecutive undecodable packets after which a stream counts as ended. */
constexpr int kMaxBadPackets = 256;
/* The largest block FFmpeg may allocate at once.  A header can claim any
   size for a block that FFmpeg then allocates and zeroes in one go: a
   62-byte WAV whose INFO chunk claims 600 MB got 600 MB.  No audio file
   needs a block near this (the sample index of a 70-hour audiobook is the
   largest we know of), so a bigger claim fails and the file is refused. */
constexpr size_t kMaxAllocBytes = size_t(256) << 20;

/* Demuxers allowed to claim data: audio containers only.  Everything that
   can name other files or hosts (hls, dash, concat, image2, sdp, rtp, ...)
   is absent, as are video-first containers. */
constexpr std::string_view kDemuxers[] = {
    "wav",  "w64",  "flac", "mp3",  "ogg",    "mov",  "aiff", "aac",    "au",    "caf",
    "matroska", "webm", "wv", "ape", "tta",   "amr",  "ac3",  "eac3",   "dts",   "truehd",
    "mlp",  "mpc",  "mpc8", "tak",  "shn",    "voc",  "dsf",  "loas",   "asf",   "xwma",
};

bool demuxer_allowed(const char *names)
{
    // An FFmpeg demuxer name may list aliases: "mov,mp4,m4a,3gp,3g2,mj2".
    std::string_view all(names ? names : "");
    while (!all.empty()) {
        const size_t comma = all.find(',');
        const std::string_view one = all.substr(0, comma);
        if (std::find(std::begin(kDemuxers), std::end(kDemuxers), one) != std::end(kDemuxers))
            return true;
        if (comma == std::string_view::npos)
            break;
        all.remove_prefix(comma + 1);
    }
    return false;
}

std::string joined_demuxers()
{
    std::string s;
    for (std::string_view d : kDemuxers) {
        if (!s.empty())
            s += ',';
        s += d;
    }
    return s;
}

/* Every audio decoder this FFmpeg has, as a whitelist: the probing inside
   avformat_find_stream_info may open decoders, and none of them may be a
   video or subtitle decoder. */
const std::string &audio_decoders()
{
    static std::once_flag once;
    static std::string list;
    std::call_once(once, [] {
        void *it = nullptr;
        while (const AVCodec *c = av_codec_iterate(&it)) {
            if (c->type == AVMEDIA_TYPE_AUDIO && av_codec_is_decoder(c)) {
                if (!list.empty())
                    list += ',';
                list += c->name;
            }
        }
    });
    return list;
}

/* Four floats as one SSE register (GCC and Clang vector extension). */
typedef float Vec4 __attribute__((vector_size(16)));

struct FormatCloser {
    void operator()(AVFormatContext *f) const { avformat_close_input(&f); }
};
struct IoCloser {
    void operator()(AVIOContext *io) const
    {
        if (io)
            av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct CodecCloser {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct SwrCloser {
    void operator()(SwrContext *s) const { swr_free(&s); }
};
struct PacketCloser {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
struct FrameCloser {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};
struct LayoutHolder {
    AVChannelLayout layout{};
    ~LayoutHolder() { av_channel_layout_uninit(&layout); }
};

int deny_nested_open(AVFormatContext *, AVIOContext **, const char *, int, AVDictionary **)
{
    return AVERROR(EPERM);
}

} // namespace

struct Decoder {
    // Input window: [window_start, window_start + window_size) of the fd or memory.
    Fd fd;
    std::shared_ptr<const std::vector<uint8_t>> memory;
    uint64_t window_start = 0;
    uint64_t window_size = 0;
    uint64_t pos = 0;
    Clock::time_point deadline{};

    // Destroyed in reverse: the format context before the I/O it reads through.
    std::unique_ptr<AVIOContext, IoCloser> io;
    std::unique_ptr<AVFormatContext, FormatCloser> format;
    std::unique_ptr<AVCodecContext, CodecCloser> codec;
    std::unique_ptr<SwrContext, SwrCloser> swr;
    std::unique_ptr<AVPacket, PacketCloser> packet;
    std::unique_ptr<AVFrame, FrameCloser> frame;
    int stream_index = -1;

    uint32_t out_rate = 0;
    uint32_t play_rate = 0; /* 0 = the source's own */
    uint32_t source_rate = 0;

    // What swr was configured for; a frame that differs reconfigures it.
    LayoutHolder in_layout;
    int in_format = -1;
    int in_rate = 0;
    bool float_input = false;
    bool swr_stale = true;

    // Source channel -> ring slot coefficients, [slot][channel], and for a
    // front-pair ring the same folded onto FL and FR.
    int channels = 0;
    float coef[kRingSlots][kMaxSourceChannels] = {};
    float pair[kPairSlots][kMaxSourceChannels] = {};
    uint32_t ring_slots = kRingSlots;
    std::unique_ptr<float[]> planes_buf;
    float *planes[kMaxSourceChannels] = {};

    bool input_ended = false;  /* demuxer gave its last packet; decoder drained */
    bool flushing = false;     /* pulling swr's tail */
    bool finished = false;
    int bad_packets = 0;
    int starved_samples = 0;
    /* Samples of d->frame already given to swr; the rest waits for room. */
    int frame_fed = 0;
};

void DecoderDeleter::operator()(Decoder *d) const
{
    delete d;
}

namespace {

int read_window(void *opaque, uint8_t *buf, int size)
{
    auto *d = static_cast<Decoder *>(opaque);
    // FFmpeg consults the interrupt callback only in some loops; refusing
    // to read once the time is up bounds every demuxer, however the data
    // leads it on.  The stream then ends.
    if (Clock::now() > d->deadline)
        return AVERROR_EXIT;
    if (d->pos >= d->window_size)
        return AVERROR_EOF;
    const size_t want = size_t(std::min<uint64_t>(uint64_t(size), d->window_size - d->pos));
    if (d->memory) {
        std::memcpy(buf, d->memory->data() + d->window_start + d->pos, want);
        d->pos += want;
        return int(want);
    }
    for (;;) {
        const ssize_t got = ::pread(d->fd.fd, buf, want, off_t(d->window_start + d->pos));
        if (got > 0) {
            d->pos += uint64_t(got);
            return int(got);
        }
        if (got == 0)
            return AVERROR_EOF; /* the file shrank under us */
        if (errno != EINTR)
            return AVERROR(errno);
    }
}

int64_t seek_window(void *opaque, int64_t offset, int whence)
{
    auto *d = static_cast<Decoder *>(opaque);
    if (whence & AVSEEK_SIZE)
        return int64_t(d->window_size);
    int64_t base = 0;
    switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = int64_t(d->pos); break;
    case SEEK_END: base = int64_t(d->window_size); break;
    default: return AVERROR(EINVAL);
    }
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0)
        return AVERROR(EINVAL);
    const int64_t target = base + offset;
    if (uint64_t(target) > d->window_size)
        return AVERROR(EINVAL);
    d->pos = uint64_t(target);
    return target;
}

int interrupt_when_late(void *opaque)
{
    auto *d = static_cast<Decoder *>(opaque);
    return Clock::now() > d->deadline ? 1 : 0;
}

/* Where each source channel goes in the 5.1 mix.  Mono plays on both fronts
   at unity; stereo on the front pair; 5.1 keeps its centre, LFE and rears;
   wider layouts fold their extra channels onto the nearest of ours. */
void build_channel_map(Decoder *d, const AVChannelLayout &layout)
{
    const int n = layout.nb_channels;
    for (auto &row : d->coef)
        std::fill(std::begin(row), std::end(row), 0.0f);
    for (auto &row : d->pair)
        std::fill(std::begin(row), std::end(row), 0.0f);
    d->channels = n;
    constexpr float kHalfPower = 0.70710678f;
    if (n == 1) {
        d->coef[kFL][0] = d->coef[kFR][0] = d->coef[kMono][0] = 1.0f;
        d->pair[0][0] = d->pair[1][0] = 1.0f;
        return;
    }
    for (int ch = 0; ch < n; ++ch) {
        switch (av_channel_layout_channel_from_index(&layout, unsigned(ch))) {
        case AV_CHAN_FRONT_LEFT:
        case AV_CHAN_FRONT_LEFT_OF_CENTER:
        case AV_CHAN_WIDE_LEFT:
        case AV_CHAN_TOP_FRONT_LEFT:
        case AV_CHAN_STEREO_LEFT:
            d->coef[kFL][ch] = 1.0f;
            break;
        case AV_CHAN_FRONT_RIGHT:
        case AV_CHAN_FRONT_RIGHT_OF_CENTER:
        case AV_CHAN_WIDE_RIGHT:
        case AV_CHAN_TOP_FRONT_RIGHT:
        case AV_CHAN_STEREO_RIGHT:
            d->coef[kFR][ch] = 1.0f;
            break;
        case AV_CHAN_FRONT_CENTER:
        case AV_CHAN_TOP_CENTER:
        case AV_CHAN_TOP_FRONT_CENTER:
            d->coef[kFC][ch] = 1.0f;
            break;
        case AV_CHAN_LOW_FREQUENCY:
        case AV_CHAN_LOW_FREQUENCY_2:
            d->coef[kLFE][ch] = 1.0f;
            break;
        case AV_CHAN_BACK_LEFT:
        case AV_CHAN_SIDE_LEFT:
        case AV_CHAN_TOP_BACK_LEFT:
        case AV_CHAN_SURROUND_DIRECT_LEFT:
            d->coef[kRL][ch] = 1.0f;
            break;
        case AV_CHAN_BACK_RIGHT:
        case AV_CHAN_SIDE_RIGHT:
        case AV_CHAN_TOP_BACK_RIGHT:
        case AV_CHAN_SURROUND_DIRECT_RIGHT:
            d->coef[kRR][ch] = 1.0f;
            break;
        case AV_CHAN_BACK_CENTER:
        case AV_CHAN_TOP_BACK_CENTER:
            d->coef[kRL][ch] = d->coef[kRR][ch] = kHalfPower;
            break;
        default: /* unnamed channels: spread over the fronts */
            d->coef[kFL][ch] = d->coef[kFR][ch] = kHalfPower;
            break;
        }
    }
    // Mono downmix as the average of an ITU-R BS.775 stereo fold-down
    // (L = FL + .707 FC + .707 RL, R likewise, LFE dropped).
    for (int ch = 0; ch < n; ++ch) {
        d->coef[kMono][ch] = 0.5f * d->coef[kFL][ch] + 0.5f * d->coef[kFR][ch] +
                             kHalfPower * d->coef[kFC][ch] +
                             0.5f * kHalfPower * (d->coef[kRL][ch] + d->coef[kRR][ch]);
    }
    // A front-pair ring made for an earlier layout keeps a later, wider
    // one (a chained Ogg, say) audible through the stereo fold-down; for a
    // layout on the front pair alone these are the FL and FR rows as they
    // are.
    for (int ch = 0; ch < n; ++ch) {
        d->pair[0][ch] = d->coef[kFL][ch] + kHalfPower * (d->coef[kFC][ch] + d->coef[kRL][ch]);
        d->pair[1][ch] = d->coef[kFR][ch] + kHalfPower * (d->coef[kFC][ch] + d->coef[kRR][ch]);
    }
    // Where several source channels meet in one slot, scale them so that
    // full-scale input cannot exceed full scale.
    const auto limit = [n](float *row) {
        float sum = 0.0f;
        for (int ch = 0; ch < n; ++ch)
            sum += row[ch];
        if (sum > 1.0f)
            for (int ch = 0; ch < n; ++ch)
                row[ch] /= sum;
    };
    for (auto &row : d->coef)
        limit(row);
    for (auto &row : d->pair)
        limit(row);
}

/* Whether the channel map puts everything on the front pair, so that a
   ring of (FL, FR) carries the source whole. */
bool front_pair_only(const Decoder *d)
{
    if (d->channels > 2)
        return false;
    for (int slot : {kFC, kLFE, kRL, kRR})
        for (int ch = 0; ch < d->channels; ++ch)
            if (d->coef[slot][ch] != 0.0f)
                return false;
    return true;
}

bool configure_swr(Decoder *d, const AVFrame *f)
{
    d->swr.reset();
    LayoutHolder layout;
    if (f->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || f->ch_layout.nb_channels <= 0)
        av_channel_layout_default(&layout.layout, f->ch_layout.nb_channels);
    else if (av_channel_layout_copy(&layout.layout, &f->ch_layout) < 0)
        return false;
    const int n = layout.layout.nb_channels;
    if (n <= 0 || n > kMaxSourceChannels || f->sample_rate < kMinSourceRate ||
        f->sample_rate > kMaxSourceRate)
        return false;
    const int rate = d->play_rate ? int(d->play_rate) : f->sample_rate;

    SwrContext *raw = nullptr;
    if (swr_alloc_set_opts2(&raw, &layout.layout, AV_SAMPLE_FMT_FLTP, int(d->out_rate),
                            &layout.layout, AVSampleFormat(f->format), rate, 0, nullptr) < 0)
        return false;
    std::unique_ptr<SwrContext, SwrCloser> swr(raw);
    // Float all the way, and the SoX resampler at its default (20-bit)
    // precision: a 48 -> 44.1 kHz conversion stays far below -90 dB THD+N.
    av_opt_set_sample_fmt(swr.get(), "internal_sample_fmt", AV_SAMPLE_FMT_FLTP, 0);
    av_opt_set_int(swr.get(), "resampler", SWR_ENGINE_SOXR, 0);
    if (swr_init(swr.get()) < 0) {
        // A libswresample built without soxr: its own engine, long filter.
        av_opt_set_int(swr.get(), "resampler", SWR_ENGINE_SWR, 0);
        av_opt_set_int(swr.get(), "filter_size", 64, 0);
        av_opt_set_int(swr.get(), "phase_shift", 12, 0);
        av_opt_set_int(swr.get(), "linear_interp", 1, 0);
        av_opt_set_double(swr.get(), "cutoff", 0.97, 0);
        if (swr_init(swr.get()) < 0)
            return false;
    }
    if (!d->planes_buf || n != d->channels) {
        d->planes_buf.reset(new (std::nothrow) float[size_t(n) * kConvertFrames]);
        if (!d->planes_buf)
            return false;
    }
    for (int ch = 0; ch < n; ++ch)
        d->planes[ch] = d->planes_buf.get() + size_t(ch) * kConvertFrames;
    build_channel_map(d, layout.layout);

    av_channel_layout_uninit(&d->in_layout.layout);
    if (av_channel_layout_copy(&d->in_layout.layout, &f->ch_layout) < 0)
        return false;
    d->in_format = f->format;
    d->in_rate = f->sample_rate;
    d->float_input = f->format == AV_SAMPLE_FMT_FLT || f->format == AV_SAMPLE_FMT_FLTP ||
                     f->format == AV_SAMPLE_FMT_DBL || f->format == AV_SAMPLE_FMT_DBLP;
    d->swr = std::move(swr);
    d->swr_stale = false;
    return true;
}

bool frame_matches_swr(const Decoder *d, const AVFrame *f)
{
    return !d->swr_stale && d->swr && f->format == d->in_format && f->sample_rate == d->in_rate &&
           av_channel_layout_compare(&f->ch_layout, &d->in_layout.layout) == 0;
}

typedef int32_t Int4 __attribute__((vector_size(16)));

/* A float source can carry NaN, infinities or absurd values; none of them
   may reach the mix, where one stream could deafen all others.  Every
   sample is kept or zeroed by a select: a branch per sample would keep the
   loops scalar. */
inline Vec4 finite4(Vec4 x)
{
    const Vec4 limit = {16.0f, 16.0f, 16.0f, 16.0f};
    const Int4 magnitude = {0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};
    const Vec4 size = Vec4(Int4(x) & magnitude);
    return Vec4(Int4(x) & (size <= limit)); /* NaN compares false */
}

inline float finite1(float x)
{
    return std::fabs(x) <= 16.0f ? x : 0.0f;
}

/* Whether a front-pair ring takes the converted planes as they are: mono
   (on both sides) or left and right. */
bool pair_straight(const Decoder *d)
{
    if (d->channels == 1)
        return d->pair[0][0] == 1.0f && d->pair[1][0] == 1.0f;
    return d->channels == 2 && d->pair[0][0] == 1.0f && d->pair[0][1] == 0.0f &&
           d->pair[1][0] == 0.0f && d->pair[1][1] == 1.0f;
}

/* Source frames [first, first + frames) into a front-pair ring, made
   finite on the way when the source is float. */
void push_pair_straight(const Decoder *d, float *__restrict out, uint32_t first, uint32_t frames)
{
    const float *l = d->planes[0] + first;
    const float *r = d->planes[d->channels > 1 ? 1 : 0] + first;
    const bool check = d->float_input;
    // Left and right interleaved, four frames a step as two shuffles: the
    // compiler leaves the plain loop scalar.
    uint32_t i = 0;
    for (; i + 4 <= frames; i += 4, out += 4 * kPairSlots) {
        Vec4 a, b;
        std::memcpy(&a, l + i, sizeof a);
        std::memcpy(&b, r + i, sizeof b);
        if (check) {
            a = finite4(a);
            b = finite4(b);
        }
        const Vec4 lo = __builtin_shufflevector(a, b, 0, 4, 1, 5);
        const Vec4 hi = __builtin_shufflevector(a, b, 2, 6, 3, 7);
        std::memcpy(out, &lo, sizeof lo);
        std::memcpy(out + 4, &hi, sizeof hi);
    }
    for (; i < frames; ++i, out += kPairSlots) {
        out[0] = check ? finite1(l[i]) : l[i];
        out[1] = check ? finite1(r[i]) : r[i];
    }
}

/* The same through the fold onto the front pair, for a layout the ring was
   not made for; the planes are already finite. */
void push_pair_folded(const Decoder *d, float *__restrict out, uint32_t first, uint32_t frames)
{
    for (uint32_t i = 0; i < frames; ++i, out += kPairSlots) {
        float left = 0.0f, right = 0.0f;
        for (int ch = 0; ch < d->channels; ++ch) {
            left += d->pair[0][ch] * d->planes[ch][first + i];
            right += d->pair[1][ch] * d->planes[ch][first + i];
        }
        out[0] = left;
        out[1] = right;
    }
}

/* Maps `frames` converted frames into the ring, which has room for them. */
void push_frames(Decoder *d, Ring *ring, uint32_t frames)
{
    // The usual case copies and checks in one pass; the others check the
    // planes first.
    const bool straight = ring->slots == kPairSlots && pair_straight(d);
    if (d->float_input && !straight) {
        for (int ch = 0; ch < d->channels; ++ch) {
            float *__restrict p = d->planes[ch];
            uint32_t i = 0;
            for (; i + 4 <= frames; i += 4) {
                Vec4 x;
                std::memcpy(&x, p + i, sizeof x);
                x = finite4(x);
                std::memcpy(p + i, &x, sizeof x);
            }
            for (; i < frames; ++i)
                p[i] = finite1(p[i]);
        }
    }
    // Frame by frame, so each ring frame is written once, whole.  Mono and
    // stereo, nearly every file, get loops the compiler can unroll.
    RingSpan spans[2];
    ring_write_spans(ring, frames, spans);
    uint32_t done = 0;
    for (const RingSpan &span : spans) {
        float *out = span.data;
        if (straight) {
            push_pair_straight(d, out, done, span.frames);
        } else if (ring->slots == kPairSlots) {
            push_pair_folded(d, out, done, span.frames);
        } else if (d->channels <= 2) {
            // A ring frame is two four-wide vectors: a weighted sum of at
            // most two source samples (the second weight 0 for mono).
            static_assert(kRingSlots == 8, "two vectors of four make a frame");
            const float *l = d->planes[0] + done;
            const float *r = d->planes[d->channels - 1] + done;
            float kl[kRingSlots], kr[kRingSlots];
            for (int slot = 0; slot < kRingSlots; ++slot) {
                kl[slot] = d->coef[slot][0];
                kr[slot] = d->channels == 2 ? d->coef[slot][1] : 0.0f;
            }
            Vec4 kl0, kl1, kr0, kr1;
            std::memcpy(&kl0, kl, sizeof kl0);
            std::memcpy(&kl1, kl + 4, sizeof kl1);
            std::memcpy(&kr0, kr, sizeof kr0);
            std::memcpy(&kr1, kr + 4, sizeof kr1);
            // The count in a local: the ring stores could alias the span,
            // and the compiler would reload it every frame.
            const uint32_t n = span.frames;
            for (uint32_t i = 0; i < n; ++i, out += kRingSlots) {
                const Vec4 lo = kl0 * l[i] + kr0 * r[i];
                const Vec4 hi = kl1 * l[i] + kr1 * r[i];
                std::memcpy(out, &lo, sizeof lo);
                std::memcpy(out + 4, &hi, sizeof hi);
            }
        } else {
            for (uint32_t i = 0; i < span.frames; ++i, out += kRingSlots) {
                for (int slot = 0; slot < kRingSlots; ++slot) {
                    float x = 0.0f;
                    for (int ch = 0; ch < d->channels; ++ch)
                        x += d->coef[slot][ch] * d->planes[ch][done + i];
                    out[slot] = x;
                }
            }
        }
        done += span.frames;
    }
    ring_write_commit(ring, frames);
}

/* How much of the pending frame swr may take now.  Given input whose output
   does not fit in `room`, the SoX engine keeps the surplus inside, and this
   FFmpeg's SoX glue then writes through a null pointer when it is flushed:
   so never feed more than the room can take. */
int feed_size(const Decoder *d, int room)
{
    int n = d->frame->nb_samples - d->frame_fed;
    while (n > 1 && swr_get_out_samples(d->swr.get(), n) > room)
        n = (n + 1) / 2;
    return n;
}

/* The pending frame's input pointers, past what swr already took. */
void frame_input(const Decoder *d, const uint8_t *in[kMaxSourceChannels])
{
    const AVFrame *f = d->frame.get();
    const auto format = AVSampleFormat(f->format);
    const size_t skip = size_t(d->frame_fed) * size_t(av_get_bytes_per_sample(format));
    if (av_sample_fmt_is_planar(format)) {
        for (int ch = 0; ch < f->ch_layout.nb_channels; ++ch)
            in[ch] = f->extended_data[ch] + skip;
    } else {
        in[0] = f->extended_data[0] + skip * size_t(f->ch_layout.nb_channels);
    }
}

/* 1: a frame is in d->frame; 0: the data has ended. */
int next_frame(Decoder *d)
{
    for (;;) {
        const int r = avcodec_receive_frame(d->codec.get(), d->frame.get());
        if (r == 0) {
            if (d->frame->nb_samples > 0) {
                d->bad_packets = 0;
                return 1;
            }
            av_frame_unref(d->frame.get());
            continue;
        }
        if (r == AVERROR_EOF)
            return 0;
        if (r != AVERROR(EAGAIN) && ++d->bad_packets > kMaxBadPackets)
            return 0;
        if (d->input_ended)
            return 0;

        const int got = av_read_frame(d->format.get(), d->packet.get());
        if (got < 0) {
            // End of data, a read error or a demuxer that gave up: all end
            // this stream; drain what the decoder still holds.
            d->input_ended = true;
            avcodec_send_packet(d->codec.get(), nullptr);
            continue;
        }
        if (d->packet->stream_index != d->stream_index) {
            av_packet_unref(d->packet.get());
            continue;
        }
        const int sent = avcodec_send_packet(d->codec.get(), d->packet.get());
        av_packet_unref(d->packet.get());
        if (sent < 0 && sent != AVERROR(EAGAIN) && ++d->bad_packets > kMaxBadPackets)
            return 0;
    }
}

} // namespace

int32_t decoder_open(const Source &src, uint32_t out_rate, DecoderPtr *out)
{
    // FFmpeg would print about every odd file; a library keeps quiet, but
    // leaves alone a host that chose its own log level.  Here rather than
    // in SONA_Init, which must not load FFmpeg.
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        if (av_log_get_level() == AV_LOG_INFO)
            av_log_set_level(AV_LOG_QUIET);
        // Process-wide, like the log level: FFmpeg has no cap per context.
        av_max_alloc(kMaxAllocBytes);
    });

    DecoderPtr d(new (std::nothrow) Decoder);
    if (!d)
        return SONA_ERROR_MEMORY;
    d->out_rate = out_rate;
    d->deadline = Clock::now() + kOpenBudget;

    uint64_t size = 0;
    if (src.in_memory) {
        d->memory = src.memory;
        size = d->memory ? d->memory->size() : 0;
    } else {
        // O_NONBLOCK: opening a FIFO must not wait for a writer; we refuse
        // it right after anyway.  O_NOCTTY: a terminal never becomes ours.
        d->fd.fd = ::open(src.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (d->fd.fd < 0)
            return SONA_ERROR_FILEOPEN;
        struct stat st {};
        if (::fstat(d->fd.fd, &st) != 0 || !S_ISREG(st.st_mode))
            return SONA_ERROR_FILEOPEN;
        size = uint64_t(st.st_size);
    }
    if (src.offset > size || (src.length != 0 && src.length > size - src.offset))
        return SONA_ERROR_PARAM;
    d->window_start = src.offset;
    d->window_size = src.length ? src.length : size - src.offset;
    if (d->window_size == 0)
        return SONA_ERROR_FORMAT;

    auto *buffer = static_cast<unsigned char *>(av_malloc(kIoBufferBytes));
    if (!buffer)
        return SONA_ERROR_MEMORY;
    d->io.reset(avio_alloc_context(buffer, kIoBufferBytes, 0, d.get(), read_window, nullptr,
                                   seek_window));
    if (!d->io) {
        av_free(buffer);
        return SONA_ERROR_MEMORY;
    }

    AVFormatContext *fmt = avformat_alloc_context();
    if (!fmt)
        return SONA_ERROR_MEMORY;
    fmt->pb = d->io.get();
    fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    fmt->io_open = deny_nested_open;
    fmt->interrupt_callback = {interrupt_when_late, d.get()};
    fmt->probesize = kProbeBytes;
    fmt->max_analyze_duration = kAnalyzeUs;
    fmt->max_streams = 64;
    fmt->protocol_whitelist = av_strdup("none");
    fmt->format_whitelist = av_strdup(joined_demuxers().c_str());
    fmt->codec_whitelist = av_strdup(audio_decoders().c_str());
    if (!fmt->protocol_whitelist || !fmt->format_whitelist || !fmt->codec_whitelist) {
        avformat_free_context(fmt);
        return SONA_ERROR_MEMORY;
    }

    const AVInputFormat *input = nullptr;
    if (av_probe_input_buffer2(d->io.get(), &input, "", nullptr, 0, kProbeBytes) < 0 || !input ||
        !demuxer_allowed(input->name)) {
        avformat_free_context(fmt);
        return SONA_ERROR_FORMAT;
    }
    // On failure avformat_open_input frees the context itself.
    if (avformat_open_input(&fmt, "", input, nullptr) < 0)
        return SONA_ERROR_FORMAT;
    d->format.reset(fmt);
    if (avformat_find_stream_info(fmt, nullptr) < 0)
        return SONA_ERROR_FORMAT;

    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        AVStream *st = fmt->streams[i];
        if (d->stream_index < 0 && st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            d->stream_index = int(i);
        else
            st->discard = AVDISCARD_ALL;
    }
    if (d->stream_index < 0)
        return SONA_ERROR_FORMAT;
    AVStream *st = fmt->streams[d->stream_index];
    const AVCodec *codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec || codec->type != AVMEDIA_TYPE_AUDIO)
        return SONA_ERROR_FORMAT;
    d->codec.reset(avcodec_alloc_context3(codec));
    if (!d->codec)
        return SONA_ERROR_MEMORY;
    if (avcodec_parameters_to_context(d->codec.get(), st->codecpar) < 0)
        return SONA_ERROR_FORMAT;
    d->codec->pkt_timebase = st->time_base;
    d->codec->thread_count = 1; /* the pool is our parallelism */
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "codec_whitelist", codec->name, 0);
    const int opened = avcodec_open2(d->codec.get(), codec, &opts);
    av_dict_free(&opts);
    if (opened < 0)
        return SONA_ERROR_FORMAT;
    if (d->codec->sample_rate < kMinSourceRate || d->codec->sample_rate > kMaxSourceRate ||
        d->codec->ch_layout.nb_channels <= 0 ||
        d->codec->ch_layout.nb_channels > kMaxSourceChannels)
        return SONA_ERROR_FORMAT;
    d->source_rate = uint32_t(d->codec->sample_rate);
    {
        LayoutHolder layout;
        if (d->codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&layout.layout, d->codec->ch_layout.nb_channels);
        else if (av_channel_layout_copy(&layout.layout, &d->codec->ch_layout) < 0)
            return SONA_ERROR_MEMORY;
        build_channel_map(d.get(), layout.layout);
        d->ring_slots = front_pair_only(d.get()) ? kPairSlots : kRingSlots;
    }

    d->packet.reset(av_packet_alloc());
    d->frame.reset(av_frame_alloc());
    if (!d->packet || !d->frame)
        return SONA_ERROR_MEMORY;
    *out = std::move(d);
    return SONA_OK;
}

uint32_t decoder_source_rate(const Decoder *d)
{
    return d->source_rate;
}

uint32_t decoder_ring_slots(const Decoder *d)
{
    return d->ring_slots;
}

void decoder_set_play_rate(Decoder *d, uint32_t play_rate_hz)
{
    if (d->play_rate != play_rate_hz) {
        d->play_rate = play_rate_hz;
        d->swr_stale = true; /* rebuilt, at the new ratio, with the next frame */
    }
}

bool decoder_rewind(Decoder *d)
{
    d->deadline = Clock::now() + kFillBudget;
    AVStream *st = d->format->streams[d->stream_index];
    const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    if (av_seek_frame(d->format.get(), d->stream_index, start, AVSEEK_FLAG_BACKWARD) < 0)
        return false;
    avcodec_flush_buffers(d->codec.get());
    av_frame_unref(d->frame.get());
    d->frame_fed = 0;
    d->swr_stale = true;
    d->input_ended = d->flushing = d->finished = false;
    d->bad_packets = d->starved_samples = 0;
    return true;
}

DecodeResult decoder_fill(Decoder *d, Ring *ring)
{
    d->deadline = Clock::now() + kFillBudget;
    while (!d->finished) {
        if (ring_write_space(ring) < uint32_t(kConvertFrames))
            return DecodeResult::kFull;
        const int want = kConvertFrames;
        auto **planes = reinterpret_cast<uint8_t **>(d->planes);

        if (d->swr && !d->swr_stale) {
            // Output swr still holds from earlier input: ask with zero
            // samples of input.  Every channel pointer must be non-null, or
            // the SoX engine takes it for the end of the input and flushes.
            static const float dummy[1] = {};
            const uint8_t *none[kMaxSourceChannels];
            std::fill(std::begin(none), std::end(none), reinterpret_cast<const uint8_t *>(dummy));
            const int got = d->flushing ? swr_convert(d->swr.get(), planes, want, nullptr, 0)
                                        : swr_convert(d->swr.get(), planes, want, none, 0);
            if (got > 0) {
                d->starved_samples = 0;
                push_frames(d, ring, uint32_t(got));
                continue;
            }
            if (got < 0 || d->flushing) {
                d->finished = true;
                break;
            }
        }
        if (d->frame_fed == 0 && next_frame(d) == 0) {
            if (d->swr && !d->swr_stale) {
                d->flushing = true; /* pull the resampler's tail */
                continue;
            }
            d->finished = true;
            break;
        }
        if (!frame_matches_swr(d, d->frame.get()) && !configure_swr(d, d->frame.get())) {
            av_frame_unref(d->frame.get());
            d->frame_fed = 0;
            d->finished = true;
            break;
        }
        const int fed = feed_size(d, want);
        const uint8_t *in[kMaxSourceChannels];
        frame_input(d, in);
        const int got = swr_convert(d->swr.get(), planes, want, in, fed);
        d->frame_fed += fed;
        if (d->frame_fed >= d->frame->nb_samples) {
            av_frame_unref(d->frame.get());
            d->frame_fed = 0;
        }
        if (got < 0 || (got == 0 && (d->starved_samples += fed) > kMaxStarvedSamples)) {
            d->finished = true;
            break;
        }
        if (got > 0) {
            d->starved_samples = 0;
            push_frames(d, ring, uint32_t(got));
        }
    }
    return DecodeResult::kEnded;
}

} // namespace sona

namespace {

int32_t table_open(const sona::Source &src, uint32_t out_rate, sona::Decoder **out)
{
    sona::DecoderPtr d;
    const int32_t err = sona::decoder_open(src, out_rate, &d);
    *out = d.release();
    return err;
}

void table_close(sona::Decoder *d)
{
    delete d;
}

constexpr sona::DecoderTable kTable = {
    sona::kDecoderTableVersion, sizeof(sona::DecoderTable),
    table_open,                 sona::decoder_source_rate,
    sona::decoder_ring_slots,   sona::decoder_set_play_rate, sona::decoder_rewind,
    sona::decoder_fill,         table_close,
};

} // namespace

/* libsona-ffmpeg.so's one export (its version script hides the rest); in
   the static core it is merely unused. */
extern "C" __attribute__((visibility("default"))) const sona::DecoderTable *
sona_ffmpeg_decoder_v1(void)
{
    return &kTable;
}
