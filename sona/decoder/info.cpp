// What a source says of itself, noted once it is open: its duration and its
// tags.  FFmpeg reads every kind of tag into one dictionary per container
// and per stream.  It converts the text of ID3v2 and MP4 to UTF-8, and
// Vorbis comments are UTF-8 already, but ID3v1, RIFF INFO and AIFF's text
// chunks come through as the bytes in the file: Latin-1 as often as not
// (ID3v1 is Latin-1 by definition).
#include "decoder/ffmpeg.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

namespace sona {

namespace {

/* Length of the well-formed UTF-8 sequence that starts `s`, or 0. */
size_t utf8_sequence(std::string_view s)
{
    const auto lead = static_cast<unsigned char>(s[0]);
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, code = lead & 0x1Fu;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, code = lead & 0x0Fu;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, code = lead & 0x07u;
    if (length == 0 || s.size() < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(s[i]);
        if ((next & 0xC0u) != 0x80u)
            return 0;
        code = code << 6 | (next & 0x3Fu);
    }
    // Overlong forms, UTF-16's surrogates and code points past U+10FFFF
    // are not UTF-8 either.
    constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < kLeast[length] || surrogate || code > 0x10FFFF ? 0 : length;
}

bool is_utf8(std::string_view s)
{
    while (!s.empty()) {
        const size_t n = utf8_sequence(s);
        if (n == 0)
            return false;
        s.remove_prefix(n);
    }
    return true;
}

/* Tag text as UTF-8: as it stands when it is UTF-8, else read as Latin-1,
   whose bytes are the first 256 code points.  Non-ASCII Latin-1 text
   almost never reads as UTF-8 by chance ("Ã©" would), so the test tells
   the two apart. */
std::string as_utf8(std::string_view text)
{
    if (is_utf8(text))
        return std::string(text);
    std::string out;
    out.reserve(text.size() * 2);
    for (const char byte : text) {
        const auto c = static_cast<unsigned char>(byte);
        if (c < 0x80) {
            out += byte;
        } else {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

/* The container's duration, else the stream's; -1 when neither says. */
int64_t source_duration_us(const Decoder *d)
{
    const AVFormatContext *fmt = d->format.get();
    const AVStream *st = fmt->streams[d->stream_index];
    if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0)
        return fmt->duration;
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
        return av_rescale_q(st->duration, st->time_base, AVRational{1, AV_TIME_BASE});
    return -1;
}

} // namespace

int32_t note_description(Decoder *d)
{
    d->duration_us = source_duration_us(d);
    d->source_rate = d->codec->sample_rate;
    // The container's tags first (ID3, RIFF INFO, MP4 atoms); an Ogg
    // stream keeps its Vorbis comments on the stream.  Keys match in any
    // case, as Vorbis comments are written in capitals.
    const AVDictionary *where[] = {d->format->metadata,
                                   d->format->streams[d->stream_index]->metadata};
    try {
        for (int k = 0; k < kTagCount; ++k) {
            for (const AVDictionary *dict : where) {
                const AVDictionaryEntry *e = av_dict_get(dict, kTagKeys[k], nullptr, 0);
                if (e && e->value) {
                    d->tags[k] = as_utf8(e->value);
                    d->has_tag[k] = true;
                    break;
                }
            }
        }
    } catch (const std::bad_alloc &) {
        return SONA_ERROR_MEMORY;
    }
    return SONA_OK;
}

void decoder_info(const Decoder *d, DecoderInfo *info)
{
    info->duration_us = d->duration_us;
    info->source_rate_hz = uint32_t(d->source_rate);
}

int32_t decoder_tag(const Decoder *d, const char *key, char *buf, uint32_t size)
{
    const auto *k = std::find_if(std::begin(kTagKeys), std::end(kTagKeys), [key](const char *name) {
        return key && std::strcmp(name, key) == 0;
    });
    const long index = k - std::begin(kTagKeys);
    if (k == std::end(kTagKeys) || !d->has_tag[index])
        return -1;
    const std::string &value = d->tags[index];
    if (size > 0) {
        const size_t n = std::min<size_t>(value.size(), size - 1);
        std::memcpy(buf, value.data(), n);
        buf[n] = '\0';
    }
    return int32_t(std::min<size_t>(value.size(), INT32_MAX));
}

} // namespace sona
