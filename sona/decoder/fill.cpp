// Decoding, resampling and packing: packets to frames, frames through the
// resampler to float planes at the output rate, planes through the channel
// map into the ring.  Runs on a decode worker, never in the mix.
#include "decoder/ffmpeg.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace sona {

namespace {

/* Input samples fed in a row without any output: more means a broken
   stream, and feeding on would grow swr's input buffer without bound. */
constexpr int kMaxStarvedSamples = 1 << 16;
/* Consecutive undecodable packets after which a stream counts as ended. */
constexpr int kMaxBadPackets = 256;
/* The largest magnitude a float source may carry into the mix; beyond it a
   sample is taken for garbage and silenced. */
constexpr float kFiniteLimit = 16.0f;
/* libswresample's own engine, for a build without soxr: a long filter. */
constexpr int kFallbackFilterSize = 64;
constexpr int kFallbackPhaseShift = 12;
constexpr double kFallbackCutoff = 0.97;

typedef int32_t Int4 __attribute__((vector_size(16)));

/* A float source can carry NaN, infinities or absurd values; none of them
   may reach the mix, where one stream could deafen all others.  Every
   sample is kept or zeroed by a select: a branch per sample would keep the
   loops scalar. */
inline Vec4 finite4(Vec4 x)
{
    const Vec4 limit = vec4_splat(kFiniteLimit);
    const Int4 magnitude = {0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};
    const Vec4 size = Vec4(Int4(x) & magnitude);
    return Vec4(Int4(x) & (size <= limit)); /* NaN compares false */
}

inline float finite1(float x)
{
    return std::fabs(x) <= kFiniteLimit ? x : 0.0f;
}

/* A resampler from the frame's format and `layout` at `in_rate` to float
   planes at the output rate. */
std::unique_ptr<SwrContext, SwrCloser> make_swr(AVChannelLayout &layout, const AVFrame *f,
                                                int in_rate, uint32_t out_rate)
{
    SwrContext *raw = nullptr;
    if (swr_alloc_set_opts2(&raw, &layout, AV_SAMPLE_FMT_FLTP, int(out_rate), &layout,
                            AVSampleFormat(f->format), in_rate, kQuietLogOffset, nullptr) < 0)
        return nullptr;
    std::unique_ptr<SwrContext, SwrCloser> swr(raw);
    // Float all the way, and the SoX resampler at its default (20-bit)
    // precision: a 48 -> 44.1 kHz conversion stays far below -90 dB THD+N.
    av_opt_set_sample_fmt(swr.get(), "internal_sample_fmt", AV_SAMPLE_FMT_FLTP, 0);
    av_opt_set_int(swr.get(), "resampler", SWR_ENGINE_SOXR, 0);
    if (swr_init(swr.get()) >= 0)
        return swr;
    av_opt_set_int(swr.get(), "resampler", SWR_ENGINE_SWR, 0);
    av_opt_set_int(swr.get(), "filter_size", kFallbackFilterSize, 0);
    av_opt_set_int(swr.get(), "phase_shift", kFallbackPhaseShift, 0);
    av_opt_set_int(swr.get(), "linear_interp", 1, 0);
    av_opt_set_double(swr.get(), "cutoff", kFallbackCutoff, 0);
    if (swr_init(swr.get()) < 0)
        return nullptr;
    return swr;
}

/* A resampler, planes and channel map for the frame's format, rate and
   layout at the current play rate. */
bool configure_swr(Decoder *d, const AVFrame *f)
{
    d->swr.reset();
    LayoutHolder layout;
    if (!layout_or_default(f->ch_layout, &layout))
        return false;
    const int n = layout.layout.nb_channels;
    if (n <= 0 || n > kMaxSourceChannels || f->sample_rate < kMinSourceRate ||
        f->sample_rate > kMaxSourceRate)
        return false;
    const int rate = d->play_rate ? int(d->play_rate) : f->sample_rate;
    auto swr = make_swr(layout.layout, f, rate, d->out_rate);
    if (!swr)
        return false;
    if (!d->planes_buf || n != d->map.channels) {
        d->planes_buf.reset(new (std::nothrow) float[size_t(n) * kConvertFrames]);
        if (!d->planes_buf)
            return false;
    }
    for (int ch = 0; ch < n; ++ch)
        d->planes[ch] = d->planes_buf.get() + size_t(ch) * kConvertFrames;
    d->map = channel_map_for(layout.layout);

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

/* Whether a front-pair ring takes the converted planes as they are: mono
   (on both sides) or left and right. */
bool pair_straight(const ChannelMap &m)
{
    if (m.channels == 1)
        return m.pair[0][0] == 1.0f && m.pair[1][0] == 1.0f;
    return m.channels == 2 && m.pair[0][0] == 1.0f && m.pair[0][1] == 0.0f &&
           m.pair[1][0] == 0.0f && m.pair[1][1] == 1.0f;
}

/* Source frames [first, first + frames) into a front-pair ring, made
   finite on the way when the source is float. */
void push_pair_straight(const Decoder *d, float *__restrict out, uint32_t first, uint32_t frames)
{
    const float *l = d->planes[0] + first;
    const float *r = d->planes[d->map.channels > 1 ? 1 : 0] + first;
    const bool check = d->float_input;
    // Left and right interleaved, four frames a step as two shuffles: the
    // compiler leaves the plain loop scalar.
    uint32_t i = 0;
    for (; i + 4 <= frames; i += 4, out += 4 * kPairSlots) {
        Vec4 a = vec4_load(l + i);
        Vec4 b = vec4_load(r + i);
        if (check) {
            a = finite4(a);
            b = finite4(b);
        }
        vec4_store(out, __builtin_shufflevector(a, b, 0, 4, 1, 5));
        vec4_store(out + 4, __builtin_shufflevector(a, b, 2, 6, 3, 7));
    }
    for (; i < frames; ++i, out += kPairSlots) {
        out[0] = check ? finite1(l[i]) : l[i];
        out[1] = check ? finite1(r[i]) : r[i];
    }
}

/* Any other packing: each ring slot a weighted sum of the source channels,
   through `rows` (the map's pair rows or slot rows); the planes are
   already finite. */
template <int kSlots>
void push_mapped(const Decoder *d, const float (&rows)[kSlots][kMaxSourceChannels],
                 float *__restrict out, uint32_t first, uint32_t frames)
{
    for (uint32_t i = 0; i < frames; ++i, out += kSlots) {
        for (int slot = 0; slot < kSlots; ++slot) {
            float x = 0.0f;
            for (int ch = 0; ch < d->map.channels; ++ch)
                x += rows[slot][ch] * d->planes[ch][first + i];
            out[slot] = x;
        }
    }
}

void make_planes_finite(Decoder *d, uint32_t first, uint32_t frames)
{
    for (int ch = 0; ch < d->map.channels; ++ch) {
        float *__restrict p = d->planes[ch] + first;
        uint32_t i = 0;
        for (; i + 4 <= frames; i += 4)
            vec4_store(p + i, finite4(vec4_load(p + i)));
        for (; i < frames; ++i)
            p[i] = finite1(p[i]);
    }
}

/* Maps converted frames [first, first + frames) into the ring, which has
   room for them.  Frame by frame, so each ring frame is written once,
   whole. */
void push_frames(Decoder *d, Ring *ring, uint32_t first, uint32_t frames)
{
    // The usual case copies and checks in one pass; the others check the
    // planes first.
    const bool pair = ring->slots == kPairSlots;
    const bool straight = pair && pair_straight(d->map);
    if (d->float_input && !straight)
        make_planes_finite(d, first, frames);
    RingSpan spans[2];
    ring_write_spans(ring, frames, spans);
    uint32_t done = first;
    for (const RingSpan &span : spans) {
        if (straight)
            push_pair_straight(d, span.data, done, span.frames);
        else if (pair)
            push_mapped(d, d->map.pair, span.data, done, span.frames);
        else
            push_mapped(d, d->map.slot, span.data, done, span.frames);
        done += span.frames;
    }
    ring_write_commit(ring, frames);
}

/* `frames` converted frames into the ring, less those a seek still drops. */
void take_converted(Decoder *d, Ring *ring, uint32_t frames)
{
    const auto dropped = uint32_t(std::min<uint64_t>(d->out_skip, frames));
    d->out_skip -= dropped;
    if (frames > dropped)
        push_frames(d, ring, dropped, frames - dropped);
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

/* Gives the decoder the next packet of our stream; false once the input
   has ended or too many packets in a row were bad. */
bool send_next_packet(Decoder *d)
{
    const int got = av_read_frame(d->format.get(), d->packet.get());
    if (got < 0) {
        // End of data, a read error or a demuxer that gave up: all end
        // this stream; drain what the decoder still holds.
        d->input_ended = true;
        avcodec_send_packet(d->codec.get(), nullptr);
        return true;
    }
    if (d->packet->stream_index != d->stream_index) {
        av_packet_unref(d->packet.get());
        return true;
    }
    const int sent = avcodec_send_packet(d->codec.get(), d->packet.get());
    av_packet_unref(d->packet.get());
    return !(sent < 0 && sent != AVERROR(EAGAIN) && ++d->bad_packets > kMaxBadPackets);
}

} // namespace

bool next_frame(Decoder *d)
{
    for (;;) {
        const int r = avcodec_receive_frame(d->codec.get(), d->frame.get());
        if (r == 0) {
            if (d->frame->nb_samples > 0) {
                d->bad_packets = 0;
                note_frame_place(d);
                return true;
            }
            av_frame_unref(d->frame.get());
            continue;
        }
        if (r == AVERROR_EOF)
            return false;
        if (r != AVERROR(EAGAIN) && ++d->bad_packets > kMaxBadPackets)
            return false;
        if (d->input_ended || !send_next_packet(d))
            return false;
    }
}

namespace {

enum class Drained { kPushed, kEmpty, kFinished };

/* Output swr still holds from earlier input, or its tail once flushing. */
Drained drain_swr(Decoder *d, Ring *ring)
{
    if (!d->swr || d->swr_stale)
        return Drained::kEmpty;
    auto **planes = reinterpret_cast<uint8_t **>(d->planes);
    // Asked with zero samples of input, every channel pointer must be
    // non-null, or the SoX engine takes it for the end of the input and
    // flushes.
    static const float dummy[1] = {};
    const uint8_t *none[kMaxSourceChannels];
    std::fill(std::begin(none), std::end(none), reinterpret_cast<const uint8_t *>(dummy));
    const int got = d->flushing ? swr_convert(d->swr.get(), planes, kConvertFrames, nullptr, 0)
                                : swr_convert(d->swr.get(), planes, kConvertFrames, none, 0);
    if (got > 0) {
        d->starved_samples = 0;
        take_converted(d, ring, uint32_t(got));
        return Drained::kPushed;
    }
    return got < 0 || d->flushing ? Drained::kFinished : Drained::kEmpty;
}

/* Feeds swr from the pending frame, or the next one; false once the data
   has ended, or is broken. */
bool feed_swr(Decoder *d, Ring *ring)
{
    // A seek leaves a frame pending with nothing of it fed yet.
    if (d->frame->nb_samples == 0 && !next_frame(d)) {
        d->flushing = d->swr && !d->swr_stale; /* pull the resampler's tail */
        return d->flushing;
    }
    if (!frame_matches_swr(d, d->frame.get()) && !configure_swr(d, d->frame.get())) {
        av_frame_unref(d->frame.get());
        d->frame_fed = 0;
        return false;
    }
    const int fed = feed_size(d, kConvertFrames);
    const uint8_t *in[kMaxSourceChannels];
    frame_input(d, in);
    const int got = swr_convert(d->swr.get(), reinterpret_cast<uint8_t **>(d->planes),
                                kConvertFrames, in, fed);
    d->frame_fed += fed;
    if (d->frame_fed >= d->frame->nb_samples) {
        av_frame_unref(d->frame.get());
        d->frame_fed = 0;
    }
    if (got < 0 || (got == 0 && (d->starved_samples += fed) > kMaxStarvedSamples))
        return false;
    if (got > 0) {
        d->starved_samples = 0;
        take_converted(d, ring, uint32_t(got));
    }
    return true;
}

} // namespace

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

DecodeResult decoder_fill(Decoder *d, Ring *ring)
{
    d->deadline = DecoderClock::now() + kFillBudget;
    while (!d->finished) {
        if (ring_write_space(ring) < uint32_t(kConvertFrames))
            return DecodeResult::kFull;
        const Drained drained = drain_swr(d, ring);
        if (drained == Drained::kPushed)
            continue;
        if (drained == Drained::kFinished || !feed_swr(d, ring))
            d->finished = true;
    }
    return DecodeResult::kEnded;
}

} // namespace sona
