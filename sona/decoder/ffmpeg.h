/*
 * ffmpeg.h - the FFmpeg decoder's state, shared by its files and by no
 * other part: open.cpp opens the source behind our own descriptor,
 * info.cpp notes what it says of itself, channel_map.cpp places a
 * layout's channels, fill.cpp decodes, resamples and packs, seek.cpp
 * lands on a frame.  Only these and module.cpp see FFmpeg.
 */
#ifndef SONA_DECODER_FFMPEG_H
#define SONA_DECODER_FFMPEG_H

#include "decoder/decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <chrono>
#include <iterator>
#include <string>

#include <unistd.h>

namespace sona {

using DecoderClock = std::chrono::steady_clock;

/* Channels a source may have: more is hostile or broken. */
constexpr int kMaxSourceChannels = 64;
/* swr output per call: bounded so a huge decoded frame is buffered inside
   swr instead of in a buffer of ours sized by the file.  We only convert
   when the ring has this much room: given less, the SoX engine emits
   nothing and would swallow frame after frame into its input buffer. */
constexpr int kConvertFrames = 1024;
static_assert(kConvertFrames <= int(kRefillFrames), "the worker must wake with room to convert");
/* Source rates we accept: a header claiming more (or less) is hostile or
   broken, and would make the resampler build absurd filters. */
constexpr int kMinSourceRate = 100;
constexpr int kMaxSourceRate = 768000;
/* Added to the level of every message of the FFmpeg contexts we make: even
   a fatal one then ranks past AV_LOG_TRACE, so no log level shows it.  The
   process's level and callback are the host's, never ours to set. */
constexpr int kQuietLogOffset = AV_LOG_TRACE;
static_assert(AV_LOG_FATAL + kQuietLogOffset > AV_LOG_TRACE, "a message of ours would show");
/* How long one open, or one fill, may read: a slow disk is not a hostile
   file, and neither may hold a thread for ever.  sona.h states these. */
constexpr auto kOpenBudget = std::chrono::seconds(5);
constexpr auto kFillBudget = std::chrono::seconds(5);

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

/* Source channel -> ring slot gains, [slot][channel], and for a front-pair
   ring the same folded onto FL and FR. */
struct ChannelMap {
    int channels = 0;
    float slot[kRingSlots][kMaxSourceChannels] = {};
    float pair[kPairSlots][kMaxSourceChannels] = {};
};

/* Where each channel of `layout` plays in the mix (channel_map.cpp).  Mono
   plays on both fronts at unity; stereo on the front pair; 5.1 keeps its
   centre, LFE and rears; wider layouts fold their extra channels onto the
   nearest of ours.  No slot takes more than full scale from full-scale
   input. */
ChannelMap channel_map_for(const AVChannelLayout &layout);
/* Whether the map puts everything on the front pair, so that a ring of
   (FL, FR) carries the source whole. */
bool channel_map_front_pair_only(const ChannelMap &map);
/* The layout a stream or frame declares, or the default for its channel
   count when it declares none.  False when it cannot be copied. */
bool layout_or_default(const AVChannelLayout &declared, LayoutHolder *out);

/* The tags decoder_tag answers with, in this order. */
constexpr const char *kTagKeys[] = {"title", "artist", "album", "date", "genre", "track"};
constexpr int kTagCount = int(std::size(kTagKeys));

/* A place in the source that is not known: priming makes places before
   the first audible sample negative, so -1 is a place. */
constexpr int64_t kPlaceUnknown = INT64_MIN;

struct Decoder {
    // Input window: [window_start, window_start + window_size) of the fd or memory.
    Fd fd;
    const uint8_t *memory = nullptr; /* or null for a file */
    uint64_t window_start = 0;
    uint64_t window_size = 0;
    uint64_t pos = 0;
    DecoderClock::time_point deadline{};

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

    // What swr was configured for; a frame that differs reconfigures it.
    LayoutHolder in_layout;
    int in_format = -1;
    int in_rate = 0;
    bool float_input = false;
    bool swr_stale = true;

    ChannelMap map;
    uint32_t ring_slots = kRingSlots;
    std::unique_ptr<float[]> planes_buf;
    float *planes[kMaxSourceChannels] = {};

    // What the source says of itself, noted once opened (info.cpp), so
    // that reading it never races a fill or a seek on another thread.
    int64_t duration_us = -1;
    int source_rate = 0;         /* the stream's, in which places count */
    std::string tags[kTagCount]; /* UTF-8 */
    bool has_tag[kTagCount] = {};

    // Places in the source, counted in samples at source_rate from its
    // first audible one (seek.cpp); kPlaceUnknown after a demuxer seek,
    // until a frame with a timestamp that can be trusted arrives.
    int64_t frame_sample = kPlaceUnknown; /* d->frame's first sample */
    int64_t next_sample = 0;              /* the next frame's */
    bool untouched = true;                /* nothing decoded since opening */
    /* After a demuxer seek, the times of the packets read from where it
       landed are in doubt (seek.cpp), until one comes from elsewhere. */
    bool doubt_landing = false;
    int64_t landing_pos = kPlaceUnknown; /* where they come from, once seen */
    /* Converted frames a seek still drops: what the resampler made of the
       input fed ahead of the frame asked for. */
    uint64_t out_skip = 0;

    bool input_ended = false; /* demuxer gave its last packet; decoder drained */
    bool flushing = false;    /* pulling swr's tail */
    bool finished = false;
    int bad_packets = 0;
    int starved_samples = 0;
    /* Samples of d->frame already given to swr; the rest waits for room. */
    int frame_fed = 0;
};

/* Notes the duration and tags (info.cpp): the last step of opening. */
int32_t note_description(Decoder *d);
/* Decodes the next frame of our stream into d->frame and notes its place
   (fill.cpp).  True when a frame is there; false once the data has ended. */
bool next_frame(Decoder *d);
/* Notes where the frame just decoded lies (seek.cpp). */
void note_frame_place(Decoder *d);

} // namespace sona

#endif /* SONA_DECODER_FFMPEG_H */
