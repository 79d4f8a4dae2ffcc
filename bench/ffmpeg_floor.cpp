// The floor under libsona's decoding: FFmpeg's own decode and resample
// loop on one file, to planar float at 44100 Hz, with nothing else around
// it.  libsona cannot decode faster than this, so its throughput is
// reported as a ratio to it.  The resampler is set up as the library sets
// its own (the SoX engine with float inside, for its -90 dB THD+N), so the
// ratio shows what the library adds, not a choice of quality.
//
// Usage: bench_ffmpeg_floor FILE [REPEATS]
// Prints one line: file, seconds of audio, best wall seconds, best CPU
// seconds, and the speed as a multiple of real time.
#include "bench_clock.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}


#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kRateHz = 44100;

// One buffer cut into `channels` planes of `frames` floats.
uint8_t **plane_pointers(std::vector<float> &buffer, int frames, int channels)
{
    static uint8_t *planes[64];
    buffer.resize(std::size_t(frames) * std::size_t(channels));
    for (int channel = 0; channel < channels && channel < 64; ++channel)
        planes[channel] = reinterpret_cast<uint8_t *>(buffer.data() + std::size_t(channel) * frames);
    return planes;
}

// Decodes the whole file once; returns the frames produced at 44100 Hz,
// or -1 on error.
long decode_once(const char *path)
{
    AVFormatContext *format = nullptr;
    if (avformat_open_input(&format, path, nullptr, nullptr) < 0)
        return -1;
    long produced = -1;
    AVCodecContext *codec = nullptr;
    SwrContext *swr = nullptr;
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    std::vector<float> out;
    const AVCodec *decoder = nullptr;
    int index;
    if (avformat_find_stream_info(format, nullptr) < 0)
        goto done;
    index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (index < 0)
        goto done;
    codec = avcodec_alloc_context3(decoder);
    avcodec_parameters_to_context(codec, format->streams[index]->codecpar);
    if (avcodec_open2(codec, decoder, nullptr) < 0)
        goto done;
    if (swr_alloc_set_opts2(&swr, &codec->ch_layout, AV_SAMPLE_FMT_FLTP, kRateHz,
                            &codec->ch_layout, codec->sample_fmt, codec->sample_rate, 0,
                            nullptr) < 0)
        goto done;
    av_opt_set_sample_fmt(swr, "internal_sample_fmt", AV_SAMPLE_FMT_FLTP, 0);
    av_opt_set_int(swr, "resampler", SWR_ENGINE_SOXR, 0);
    if (swr_init(swr) < 0)
        goto done;
    produced = 0;
    for (bool draining = false;;) {
        if (!draining) {
            const int read = av_read_frame(format, packet);
            if (read < 0) {
                avcodec_send_packet(codec, nullptr);
                draining = true;
            } else {
                if (packet->stream_index == index)
                    avcodec_send_packet(codec, packet);
                av_packet_unref(packet);
            }
        }
        int received;
        while ((received = avcodec_receive_frame(codec, frame)) == 0) {
            const int room = swr_get_out_samples(swr, frame->nb_samples);
            uint8_t **planes = plane_pointers(out, room, codec->ch_layout.nb_channels);
            const int got = swr_convert(swr, planes, room,
                                        const_cast<const uint8_t **>(frame->extended_data),
                                        frame->nb_samples);
            if (got > 0)
                produced += got;
            av_frame_unref(frame);
        }
        if (received == AVERROR_EOF)
            break;
    }
    {
        const int room = std::max(swr_get_out_samples(swr, 0), 1);
        uint8_t **planes = plane_pointers(out, room, codec->ch_layout.nb_channels);
        const int got = swr_convert(swr, planes, room, nullptr, 0);
        if (got > 0)
            produced += got;
    }
done:
    av_frame_free(&frame);
    av_packet_free(&packet);
    swr_free(&swr);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    return produced;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [REPEATS]\n", argv[0]);
        return 2;
    }
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    av_log_set_level(AV_LOG_ERROR);
    double best_wall = 1e30, best_cpu = 1e30;
    long frames = 0;
    for (int run = 0; run < repeats; ++run) {
        const double cpu_before = cpu_seconds();
        const auto wall_before = std::chrono::steady_clock::now();
        frames = decode_once(argv[1]);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                          wall_before)
                                .count();
        const double cpu = cpu_seconds() - cpu_before;
        if (frames < 0) {
            std::fprintf(stderr, "%s: cannot decode\n", argv[1]);
            return 1;
        }
        best_wall = std::min(best_wall, wall);
        best_cpu = std::min(best_cpu, cpu);
    }
    const double audio_seconds = double(frames) / kRateHz;
    std::printf("%s audio_s=%.3f wall_s=%.4f cpu_s=%.4f speed=%.1fx\n", argv[1], audio_seconds,
                best_wall, best_cpu, audio_seconds / best_wall);
    return 0;
}
