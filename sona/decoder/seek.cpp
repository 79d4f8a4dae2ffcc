// Exact seeks.  A demuxer seeks to a packet, and only to one at or before
// the time asked for: an index entry, an Ogg page, a frame boundary.  So we
// ask it for a point well before the frame wanted, decode from there, drop
// the decoded frames that end a little before it, and then the part of the
// resampler's output that comes before it.
//
// Places are samples of the source counted from its first audible one,
// the terms in which a decode from the start counts them.  FFmpeg gives
// that sample the stream's start_time, having dropped an encoder's priming
// (LAME's delay, AAC's edit list, Opus's pre-skip) and moved the timestamp
// by as much; so after a seek a timestamp gives the place, and from there
// on the decoded frames are counted, which no timestamp that rounds or
// wanders can upset.  Not the first timestamps, though: the packets read
// from where the demuxer landed are timed by its guess, which can be wrong.
// Its index records each packet at the position it starts at, and several
// packets start in one Ogg page: a seek between two of them goes to the
// page and times its first packet as the later one.  And the packets of
// the last page carry no times of their own.  From the next position on,
// the times are the page's granule positions and exact.
#include "decoder/ffmpeg.h"

#include <algorithm>

namespace sona {

namespace {

/* Decoded before the frame wanted, and dropped: the packets of the
   position the demuxer lands on, and a frame or two more, on which lossy
   codecs build (MP3's bit reservoir, the overlap of the MDCT codecs); Opus
   asks for 80 ms (its seek_preroll). */
constexpr int64_t kPrerollMs = 100;
/* Input fed to the resampler ahead of the frame wanted, so that what it
   makes while its filter fills from silence is dropped too. */
constexpr int64_t kResamplerLeadMs = 10;
/* When the demuxer lands after the point asked for (or on an Ogg page that
   holds it), it is asked again for a point this many times further back,
   and the last time for the start. */
constexpr int64_t kBackOffFactor = 10;
constexpr int kSeekTries = 4;
/* A point before the first audible sample: the start, priming and all. */
constexpr int64_t kBeforeTheStart = -1;

int64_t origin_ts(const AVStream *st)
{
    return st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
}

AVStream *our_stream(const Decoder *d)
{
    return d->format->streams[d->stream_index];
}

AVRational sample_base(const Decoder *d)
{
    return AVRational{1, d->source_rate};
}

/* Source samples per output frame, as a ratio: the rate the source plays
   at, over the output's. */
int64_t play_rate(const Decoder *d)
{
    return d->play_rate ? int64_t(d->play_rate) : int64_t(d->source_rate);
}

/* Forgets what was decoded and not yet resampled, and the resampler. */
void forget_decoded(Decoder *d)
{
    avcodec_flush_buffers(d->codec.get());
    av_frame_unref(d->frame.get());
    d->frame_fed = 0;
    d->swr_stale = true; /* rebuilt, empty, for the first frame fed */
    d->input_ended = d->flushing = d->finished = false;
    d->bad_packets = d->starved_samples = 0;
}

int64_t preroll_samples(const Decoder *d)
{
    return std::max(d->source_rate * kPrerollMs / 1000,
                    int64_t(our_stream(d)->codecpar->seek_preroll));
}

/* The earliest packet the demuxer has indexed, if any, else `otherwise`. */
int64_t earliest_ts(AVStream *st, int64_t otherwise)
{
    if (avformat_index_get_entries_count(st) == 0)
        return otherwise;
    return std::min(origin_ts(st), avformat_index_get_entry(st, 0)->timestamp);
}

bool seek_to(Decoder *d, int64_t ts)
{
    return av_seek_frame(d->format.get(), d->stream_index, ts, AVSEEK_FLAG_BACKWARD) >= 0;
}

/* The demuxer at a packet at or before `sample`, nothing decoded.  Before
   the first audible sample lie the encoder's priming packets, which the
   codec needs to have decoded: a MOV edit list times them before the
   start, MP3 after it, and a demuxer that seeks by its index (MP3's)
   refuses a time before its first entry, though the failed try indexes
   the first packet.  So a point before the start is asked for as no
   earlier than the first packet indexed, and then as that packet, or the
   start; where every demuxer's times are exact. */
bool seek_demuxer(Decoder *d, int64_t sample)
{
    AVStream *st = our_stream(d);
    const int64_t ts = origin_ts(st) + av_rescale_q(sample, sample_base(d), st->time_base);
    const bool sought = sample >= 0 ? seek_to(d, ts)
                                    : seek_to(d, std::max(ts, earliest_ts(st, ts))) ||
                                          seek_to(d, earliest_ts(st, origin_ts(st)));
    if (!sought)
        return false;
    forget_decoded(d);
    d->next_sample = kPlaceUnknown;
    d->doubt_landing = sample >= 0;
    d->landing_pos = kPlaceUnknown;
    return true;
}

/* Whether the frame's time is in doubt: it comes from the position a
   demuxer seek landed on, shared by no other packet that could tell. */
bool in_doubt(Decoder *d, const AVFrame *f)
{
    if (!d->doubt_landing)
        return false;
    if (d->landing_pos == kPlaceUnknown)
        d->landing_pos = f->pkt_pos;
    if (f->pkt_pos >= 0 && f->pkt_pos == d->landing_pos)
        return true;
    d->doubt_landing = false;
    return false;
}

enum class Landing { kThere, kPast, kEnded };

/* Decodes on to the frame that holds source sample `first` and leaves it
   pending.  kPast when the first frame with a known place begins after
   `first` (left pending all the same), or when the data ends with the
   place still in doubt. */
Landing land(Decoder *d, int64_t first)
{
    while (next_frame(d)) {
        const int64_t at = d->frame_sample;
        if (at != kPlaceUnknown && at > first)
            return Landing::kPast;
        if (at != kPlaceUnknown && first - at < d->frame->nb_samples)
            return Landing::kThere;
        av_frame_unref(d->frame.get());
    }
    return d->doubt_landing ? Landing::kPast : Landing::kEnded;
}

/* Lands on `first`, asking the demuxer for points further and further back
   while it lands after it, or fails (FFmpeg's FLAC demuxer fails at times
   to seek near the end); false if it cannot seek even to the start. */
bool seek_and_land(Decoder *d, int64_t first, Landing *landing)
{
    int64_t back = preroll_samples(d);
    for (int attempt = 1;; ++attempt, back *= kBackOffFactor) {
        const int64_t from = attempt < kSeekTries ? first - back : kBeforeTheStart;
        if (!seek_demuxer(d, from)) {
            if (from < 0)
                return false;
            continue;
        }
        *landing = land(d, first);
        // Before the start, a point further back is the same point.
        if (*landing != Landing::kPast || from < 0)
            return true;
    }
}

} // namespace

void note_frame_place(Decoder *d)
{
    const AVFrame *f = d->frame.get();
    if (d->next_sample == kPlaceUnknown && f->best_effort_timestamp != AV_NOPTS_VALUE &&
        !in_doubt(d, f))
        d->next_sample = av_rescale_q(f->best_effort_timestamp - origin_ts(our_stream(d)),
                                      our_stream(d)->time_base, sample_base(d));
    d->frame_sample = d->next_sample;
    if (d->next_sample != kPlaceUnknown)
        d->next_sample += f->nb_samples;
    d->untouched = false;
}

bool decoder_seek(Decoder *d, uint64_t frame)
{
    d->deadline = DecoderClock::now() + kFillBudget;
    const auto wanted = int64_t(std::min<uint64_t>(frame, INT64_MAX));
    const int64_t target = av_rescale(wanted, play_rate(d), d->out_rate);
    const int64_t first =
        std::max<int64_t>(target - d->source_rate * kResamplerLeadMs / 1000, 0);
    // A decoder that has decoded nothing yet is at the start, from where
    // decoding on and dropping gets anywhere: near the start it need not
    // seek, and where its demuxer cannot seek it need not either (a
    // demuxer that does not seek at all has not moved).  Any other decoder
    // whose demuxer cannot seek has to be opened again.
    Landing landing = Landing::kEnded;
    if (d->untouched && first < preroll_samples(d)) {
        landing = land(d, first);
    } else if (!seek_and_land(d, first, &landing)) {
        if (!d->untouched)
            return false;
        landing = land(d, first);
    }
    d->out_skip = 0;
    if (landing != Landing::kEnded) {
        // The pending frame is fed whole; the output frame its first sample
        // becomes, since the resampler's output is aligned with its input.
        const int64_t heard_from = av_rescale(d->frame_sample, d->out_rate, play_rate(d));
        d->out_skip = uint64_t(std::max<int64_t>(wanted - heard_from, 0));
    }
    return true;
}

} // namespace sona
