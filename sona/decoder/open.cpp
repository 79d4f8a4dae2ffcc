// FFmpeg behind a door we keep: we open the file ourselves and FFmpeg reads
// only through our I/O callbacks over that one descriptor (or memory block).
// It never sees a path, so it can never treat one as a URL, a protocol or a
// playlist; nested opens are refused, only audio demuxers from an allow-list
// may claim the data and only audio decoders may run on it.
#include "decoder/ffmpeg.h"

extern "C" {
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <type_traits>

namespace sona {

namespace {

constexpr int kIoBufferBytes = 32 * 1024;
constexpr int64_t kProbeBytes = 1 << 20;
constexpr int64_t kAnalyzeUs = 5 * AV_TIME_BASE;
/* Streams a container may declare before it is refused. */
constexpr unsigned kMaxContainerStreams = 64;

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

int deny_nested_open(AVFormatContext *, AVIOContext **, const char *, int, AVDictionary **)
{
    return AVERROR(EPERM);
}

int read_window(void *opaque, uint8_t *buf, int size)
{
    auto *d = static_cast<Decoder *>(opaque);
    // FFmpeg consults the interrupt callback only in some loops; refusing
    // to read once the time is up bounds every demuxer, however the data
    // leads it on.  The stream then ends.
    if (DecoderClock::now() > d->deadline)
        return AVERROR_EXIT;
    if (d->pos >= d->window_size)
        return AVERROR_EOF;
    const size_t want = size_t(std::min<uint64_t>(uint64_t(size), d->window_size - d->pos));
    if (d->memory) {
        std::memcpy(buf, d->memory + d->window_start + d->pos, want);
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

/* Whether `size` bytes of the window at `at` were read into `buf`, as
   FFmpeg reads them: never past the open's deadline. */
bool peek_window(Decoder *d, uint64_t at, uint8_t *buf, int size)
{
    const uint64_t pos = d->pos;
    d->pos = at;
    int got = 0;
    for (int n; got < size && (n = read_window(d, buf + got, size - got)) > 0;)
        got += n;
    d->pos = pos;
    return got == size;
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
    return DecoderClock::now() > d->deadline ? 1 : 0;
}

/* The regular file at `path`, open for reading, and its size; -1 for
   anything else.  It is judged before anything opens it: an O_PATH open
   opens nothing, so a FIFO's writer, a tape or a watchdog never learns of
   it.  Then exactly what was judged is opened: through that descriptor,
   or, where /proc is not mounted, by the path again, if that still names
   the same file. */
int open_regular(const char *path, uint64_t *size)
{
    Fd judged;
    judged.fd = ::open(path, O_PATH | O_CLOEXEC);
    struct stat st {};
    if (judged.fd < 0 || ::fstat(judged.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    char itself[32];
    std::snprintf(itself, sizeof itself, "/proc/self/fd/%d", judged.fd);
    int fd = ::open(itself, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOENT)
        fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat opened {};
    if (fd >= 0 && (::fstat(fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino)) {
        ::close(fd);
        return -1;
    }
    *size = uint64_t(st.st_size);
    return fd;
}

uint64_t riff_number(const uint8_t *bytes, int count, bool big_endian)
{
    uint64_t n = 0;
    for (int i = 0; i < count; ++i)
        n |= uint64_t(bytes[big_endian ? count - 1 - i : i]) << (8 * i);
    return n;
}

/* FFmpeg's WAV demuxer allocates, and zeroes, what each entry of a LIST
   INFO chunk claims, bounded by the LIST's own claim and not by the bytes
   there are: a few bytes could buy gigabytes.  Every other claim it
   weighs against the input's size, which is the window's.  So we walk the
   chunks as it does, and the window ends where a LIST claims more than is
   left: FFmpeg never reads the lie, and a file cut short inside its
   closing tags still plays. */
void end_window_at_lying_list(Decoder *d)
{
    uint8_t head[12];
    if (!peek_window(d, 0, head, sizeof head) || std::memcmp(head + 8, "WAVE", 4) != 0)
        return;
    const bool big_endian = std::memcmp(head, "RIFX", 4) == 0;
    const bool wide = std::memcmp(head, "RF64", 4) == 0 || std::memcmp(head, "BW64", 4) == 0;
    if (!big_endian && !wide && std::memcmp(head, "RIFF", 4) != 0)
        return;
    // A wide file's data size is in its ds64 chunk, which comes first.
    uint8_t ds64[24] = {};
    if (wide && (!peek_window(d, 12, ds64, sizeof ds64) || std::memcmp(ds64, "ds64", 4) != 0))
        return; /* FFmpeg refuses it */
    const uint64_t wide_data_size = riff_number(ds64 + 16, 8, false);
    for (uint64_t at = 12;;) {
        uint8_t chunk[8];
        if (!peek_window(d, at, chunk, sizeof chunk))
            return;
        const uint64_t body = at + sizeof chunk;
        uint64_t size = riff_number(chunk + 4, 4, big_endian);
        if (std::memcmp(chunk, "LIST", 4) == 0 || std::memcmp(chunk, "list", 4) == 0) {
            if (size > d->window_size - body) {
                d->window_size = at;
                return;
            }
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (wide)
                size = wide_data_size;
            else if (size == 0 || size == UINT32_MAX)
                return; /* FFmpeg looks no further */
        }
        if (size >= d->window_size - body)
            return;
        at = body + size + (size & 1); /* chunks start on even bytes */
    }
}

/* FFmpeg's MP4 demuxer sizes a sample table by the count of entries the
   table claims, not by the bytes the table holds: a 2 KB file could buy
   gigabytes (a stsz of 54 million sizes bought 216 MB).  Each table's
   count must fit in its own atom, and no atom may claim more than its
   parent holds; else the file is refused before FFmpeg reads it. */
struct Mp4Table {
    char type[5];
    uint32_t count_at;    /* the entry count's offset in the atom's body */
    uint32_t entry_bytes; /* 0: the stz2's own field size, in bits */
};
constexpr Mp4Table kMp4Tables[] = {
    {"stsz", 8, 4}, {"stz2", 8, 0}, {"stco", 4, 4}, {"co64", 4, 8}, {"stts", 4, 8},
    {"stsc", 4, 12}, {"ctts", 4, 8}, {"stss", 4, 4}, {"stps", 4, 4},
};
/* Atoms made of atoms, and the bytes before their first child; every
   item of an ilst is one too. */
constexpr std::pair<const char *, uint32_t> kMp4Boxes[] = {
    {"moov", 0}, {"trak", 0}, {"mdia", 0}, {"minf", 0}, {"stbl", 0}, {"edts", 0},
    {"udta", 0}, {"meta", 4}, {"ilst", 0}, {"moof", 0}, {"traf", 0}, {"mvex", 0},
};
constexpr int kMp4Depth = 8;

bool mp4_table_fits(Decoder *d, const uint8_t *type, uint64_t body, uint64_t size)
{
    for (const Mp4Table &t : kMp4Tables) {
        if (std::memcmp(type, t.type, 4) != 0)
            continue;
        uint8_t field[12];
        if (size < t.count_at + 4 || !peek_window(d, body, field, int(t.count_at + 4)))
            return false;
        const uint64_t count = riff_number(field + t.count_at, 4, true);
        if (t.type == std::string_view("stsz") && riff_number(field + 4, 4, true) != 0)
            return true; /* one size for all: nothing is allocated */
        const uint64_t bits = t.entry_bytes ? 8 * t.entry_bytes : field[7];
        return count * bits <= 8 * (size - t.count_at - 4);
    }
    return true;
}

/* The bytes before a box's first child, or -1 for an atom that is no box. */
int64_t mp4_box_skip(const uint8_t *type)
{
    for (const auto &[box, skip] : kMp4Boxes)
        if (std::memcmp(type, box, 4) == 0)
            return skip;
    return -1;
}

/* The atoms of [from, end), and of the boxes among them. */
bool mp4_atoms_fit(Decoder *d, uint64_t from, uint64_t end, int depth, bool items)
{
    for (uint64_t at = from; at + 8 <= end;) {
        uint8_t head[16];
        if (!peek_window(d, at, head, 8))
            return true; /* FFmpeg stops where the bytes do */
        uint64_t size = riff_number(head, 4, true), body = at + 8;
        if (size == 1 && peek_window(d, at, head, 16))
            size = riff_number(head + 8, 8, true), body = at + 16;
        else if (size == 0)
            size = end - at; /* to the end */
        if (size < body - at)
            return true; /* FFmpeg stops here */
        const bool last_media = depth == 0 && std::memcmp(head + 4, "mdat", 4) == 0;
        if (size > end - at)
            return last_media; /* a file cut short in its media still plays */
        const uint64_t payload = size - (body - at);
        if (!mp4_table_fits(d, head + 4, body, payload))
            return false;
        const int64_t skip = items ? 0 : mp4_box_skip(head + 4);
        if (skip >= 0 && depth < kMp4Depth && payload >= uint64_t(skip) &&
            !mp4_atoms_fit(d, body + uint64_t(skip), at + size, depth + 1, std::memcmp(head + 4, "ilst", 4) == 0))
            return false;
        at += size;
    }
    return true;
}

/* An MP4 or QuickTime file: one that opens as FFmpeg's demuxer finds them,
   with a file type, or a QuickTime movie's first atom. */
bool mp4_claims_fit(Decoder *d)
{
    uint8_t head[8];
    if (!peek_window(d, 0, head, sizeof head))
        return true;
    for (const char *first : {"ftyp", "moov", "mdat", "wide", "free", "skip"})
        if (std::memcmp(head + 4, first, 4) == 0)
            return mp4_atoms_fit(d, 0, d->window_size, 0, false);
    return true;
}

/* The window of the file or memory block that holds the audio. */
int32_t open_window(const DecoderSource &src, Decoder *d)
{
    uint64_t size = 0;
    if (!src.path) {
        d->memory = src.memory;
        size = src.memory_size;
    } else if ((d->fd.fd = open_regular(src.path, &size)) < 0) {
        return SONA_ERROR_FILEOPEN;
    }
    if (src.offset > size || (src.length != 0 && src.length > size - src.offset))
        return SONA_ERROR_PARAM;
    d->window_start = src.offset;
    d->window_size = src.length ? src.length : size - src.offset;
    end_window_at_lying_list(d);
    return d->window_size == 0 || !mp4_claims_fit(d) ? SONA_ERROR_FORMAT : SONA_OK;
}

int32_t open_io(Decoder *d)
{
    auto *buffer = static_cast<unsigned char *>(av_malloc(kIoBufferBytes));
    if (!buffer)
        return SONA_ERROR_MEMORY;
    d->io.reset(
        avio_alloc_context(buffer, kIoBufferBytes, 0, d, read_window, nullptr, seek_window));
    if (!d->io) {
        av_free(buffer);
        return SONA_ERROR_MEMORY;
    }
    return SONA_OK;
}

/* FFmpeg gives a format context no log level offset, though its class may
   say where one is kept: a copy of the class that points at a field no
   demuxer reads lets ours keep quiet as our other contexts do. */
const AVClass *quiet_format_class()
{
    static_assert(std::is_same_v<decltype(AVFormatContext::max_chunk_size), int>);
    static const AVClass quiet = [] {
        AVClass c = *avformat_get_class();
        c.log_level_offset_offset = int(offsetof(AVFormatContext, max_chunk_size));
        return c;
    }();
    return &quiet;
}

/* A format context that reads only through our I/O, opens nothing more,
   runs only allowed demuxers and audio decoders, and keeps quiet. */
AVFormatContext *sandboxed_format(Decoder *d)
{
    AVFormatContext *fmt = avformat_alloc_context();
    if (!fmt)
        return nullptr;
    fmt->av_class = quiet_format_class();
    fmt->max_chunk_size = kQuietLogOffset; /* a muxer's field: see quiet_format_class */
    fmt->pb = d->io.get();
    fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    fmt->io_open = deny_nested_open;
    fmt->interrupt_callback = {interrupt_when_late, d};
    fmt->probesize = kProbeBytes;
    fmt->max_analyze_duration = kAnalyzeUs;
    fmt->max_streams = kMaxContainerStreams;
    fmt->protocol_whitelist = av_strdup("none");
    fmt->format_whitelist = av_strdup(joined_demuxers().c_str());
    fmt->codec_whitelist = av_strdup(audio_decoders().c_str());
    if (!fmt->protocol_whitelist || !fmt->format_whitelist || !fmt->codec_whitelist) {
        avformat_free_context(fmt);
        return nullptr;
    }
    return fmt;
}

int32_t open_format(Decoder *d)
{
    AVFormatContext *fmt = sandboxed_format(d);
    if (!fmt)
        return SONA_ERROR_MEMORY;
    const AVInputFormat *input = nullptr;
    if (av_probe_input_buffer2(d->io.get(), &input, "", fmt, 0, kProbeBytes) < 0 || !input ||
        !demuxer_allowed(input->name)) {
        avformat_free_context(fmt);
        return SONA_ERROR_FORMAT;
    }
    // On failure avformat_open_input frees the context itself.
    if (avformat_open_input(&fmt, "", input, nullptr) < 0)
        return SONA_ERROR_FORMAT;
    d->format.reset(fmt);
    // The decoders FFmpeg opens to learn about the streams keep quiet too.
    AVDictionary *quiet[kMaxContainerStreams] = {};
    const unsigned streams = std::min(fmt->nb_streams, kMaxContainerStreams);
    for (unsigned i = 0; i < streams; ++i)
        av_dict_set_int(&quiet[i], "log_level_offset", kQuietLogOffset, 0);
    const int found = avformat_find_stream_info(fmt, quiet);
    for (AVDictionary *&options : quiet)
        av_dict_free(&options);
    return found < 0 ? SONA_ERROR_FORMAT : SONA_OK;
}

/* The first audio stream, the others discarded. */
AVStream *pick_stream(Decoder *d)
{
    AVFormatContext *fmt = d->format.get();
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        AVStream *st = fmt->streams[i];
        if (d->stream_index < 0 && st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            d->stream_index = int(i);
        else
            st->discard = AVDISCARD_ALL;
    }
    return d->stream_index < 0 ? nullptr : fmt->streams[d->stream_index];
}

int32_t open_codec(Decoder *d)
{
    AVStream *st = pick_stream(d);
    if (!st)
        return SONA_ERROR_FORMAT;
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
    d->codec->log_level_offset = kQuietLogOffset;
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "codec_whitelist", codec->name, 0);
    const int opened = avcodec_open2(d->codec.get(), codec, &opts);
    av_dict_free(&opts);
    if (opened < 0)
        return SONA_ERROR_FORMAT;
    const AVCodecContext *c = d->codec.get();
    if (c->sample_rate < kMinSourceRate || c->sample_rate > kMaxSourceRate ||
        c->ch_layout.nb_channels <= 0 || c->ch_layout.nb_channels > kMaxSourceChannels)
        return SONA_ERROR_FORMAT;
    return SONA_OK;
}

/* The ring's layout, from the stream's declared channels. */
int32_t choose_ring(Decoder *d)
{
    LayoutHolder layout;
    if (!layout_or_default(d->codec->ch_layout, &layout))
        return SONA_ERROR_MEMORY;
    d->map = channel_map_for(layout.layout);
    d->ring_slots = channel_map_front_pair_only(d->map) ? kPairSlots : kRingSlots;
    d->packet.reset(av_packet_alloc());
    d->frame.reset(av_frame_alloc());
    return d->packet && d->frame ? SONA_OK : SONA_ERROR_MEMORY;
}

} // namespace

void DecoderDeleter::operator()(Decoder *d) const
{
    delete d;
}

int32_t decoder_open(const DecoderSource &src, uint32_t out_rate, DecoderPtr *out)
{
    DecoderPtr d(new (std::nothrow) Decoder);
    if (!d)
        return SONA_ERROR_MEMORY;
    d->out_rate = out_rate;
    d->deadline = DecoderClock::now() + kOpenBudget;
    int32_t err = open_window(src, d.get());
    for (int32_t (*step)(Decoder *) :
         {open_io, open_format, open_codec, choose_ring, note_description})
        if (err == SONA_OK)
            err = step(d.get());
    if (err != SONA_OK)
        return err;
    *out = std::move(d);
    return SONA_OK;
}

} // namespace sona
