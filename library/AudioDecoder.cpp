#include "library/AudioDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace ostrela {

struct AudioDecoder::Impl {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwrContext* swr = nullptr;
    int streamIndex = -1;
    int rate = 0;
    int channels = 0;
    double timeBase = 0;
    bool drained = false;
    // Converted samples not handed out yet, and the time of the first of them.
    std::vector<float> pending;
    size_t pendingOffset = 0;  // in floats
    double pendingStart = 0;
    // Samples before this time are dropped (exact seeks); negative when not seeking.
    double skipBefore = -1;
    double nextPosition = 0;

    ~Impl() { close(); }
    void close() {
        swr_free(&swr);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
        streamIndex = -1;
        pending.clear();
        pendingOffset = 0;
    }

    double frameSeconds(const AVFrame* f) const {
        int64_t pts = f->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) pts = f->pts;
        if (pts == AV_NOPTS_VALUE) return nextPosition;
        double t = pts * timeBase;
        const AVStream* s = format->streams[streamIndex];
        if (s->start_time != AV_NOPTS_VALUE) t -= s->start_time * timeBase;
        return t;
    }

    // Decodes one more frame into `pending`; false at the end or on an error.
    bool decodeMore() {
        for (;;) {
            int r = avcodec_receive_frame(codec, frame);
            if (r == 0) {
                const double start = frameSeconds(frame);
                const int outMax = swr_get_out_samples(swr, frame->nb_samples);
                std::vector<float> out(size_t(std::max(outMax, 0)) * size_t(channels));
                uint8_t* outPlanes[1] = {reinterpret_cast<uint8_t*>(out.data())};
                const int got = swr_convert(swr, outPlanes, outMax, const_cast<const uint8_t**>(frame->extended_data),
                                            frame->nb_samples);
                av_frame_unref(frame);
                if (got <= 0) continue;
                out.resize(size_t(got) * size_t(channels));
                size_t drop = 0;
                if (skipBefore >= 0) {
                    const double lead = (skipBefore - start) * rate;
                    if (lead >= got) continue;
                    if (lead > 0) drop = size_t(std::lround(lead)) * size_t(channels);
                    skipBefore = -1;
                }
                pending.assign(out.begin() + long(drop), out.end());
                pendingOffset = 0;
                pendingStart = start + double(drop / size_t(channels)) / rate;
                return true;
            }
            if (r == AVERROR_EOF) return false;
            if (r != AVERROR(EAGAIN)) return false;
            if (drained) return false;
            r = av_read_frame(format, packet);
            if (r < 0) {
                drained = true;
                avcodec_send_packet(codec, nullptr);
                continue;
            }
            if (packet->stream_index == streamIndex) avcodec_send_packet(codec, packet);
            av_packet_unref(packet);
        }
    }
};

AudioDecoder::AudioDecoder() : d(std::make_unique<Impl>()) {}
AudioDecoder::~AudioDecoder() = default;

bool AudioDecoder::open(const QString& path, int sampleRate, int channels, QString* error) {
    d->close();
    auto fail = [&](const char* why) {
        if (error) *error = QString::fromUtf8(why);
        d->close();
        return false;
    };
    if (sampleRate <= 0 || channels <= 0 || channels > 8) return fail("unsupported output format");
    const QByteArray file = path.toUtf8();
    if (avformat_open_input(&d->format, file.constData(), nullptr, nullptr) < 0) return fail("the file cannot be read");
    if (avformat_find_stream_info(d->format, nullptr) < 0) return fail("the file cannot be read");
    const AVCodec* decoder = nullptr;
    d->streamIndex = av_find_best_stream(d->format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (d->streamIndex < 0 || !decoder) return fail("the file has no sound");
    AVStream* stream = d->format->streams[d->streamIndex];
    d->codec = avcodec_alloc_context3(decoder);
    if (!d->codec || avcodec_parameters_to_context(d->codec, stream->codecpar) < 0) return fail("the sound cannot be decoded");
    if (avcodec_open2(d->codec, decoder, nullptr) < 0) return fail("the sound cannot be decoded");
    d->timeBase = av_q2d(stream->time_base);

    AVChannelLayout outLayout;
    av_channel_layout_default(&outLayout, channels);
    AVChannelLayout inLayout;
    if (d->codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || d->codec->ch_layout.nb_channels == 0)
        av_channel_layout_default(&inLayout, std::max(d->codec->ch_layout.nb_channels, 1));
    else
        av_channel_layout_copy(&inLayout, &d->codec->ch_layout);
    const int r = swr_alloc_set_opts2(&d->swr, &outLayout, AV_SAMPLE_FMT_FLT, sampleRate, &inLayout,
                                      d->codec->sample_fmt, d->codec->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&outLayout);
    if (r < 0 || swr_init(d->swr) < 0) return fail("the sound cannot be converted");
    d->packet = av_packet_alloc();
    d->frame = av_frame_alloc();
    d->rate = sampleRate;
    d->channels = channels;
    d->drained = false;
    d->nextPosition = 0;
    return true;
}

bool AudioDecoder::isOpen() const { return d->codec != nullptr; }
int AudioDecoder::sampleRate() const { return d->rate; }
int AudioDecoder::channels() const { return d->channels; }
double AudioDecoder::position() const { return d->nextPosition; }

bool AudioDecoder::seek(double seconds) {
    if (!isOpen()) return false;
    if (!(seconds >= 0)) seconds = 0;
    const AVStream* s = d->format->streams[d->streamIndex];
    int64_t target = int64_t(seconds / d->timeBase);
    if (s->start_time != AV_NOPTS_VALUE) target += s->start_time;
    if (av_seek_frame(d->format, d->streamIndex, target, AVSEEK_FLAG_BACKWARD) < 0) return false;
    avcodec_flush_buffers(d->codec);
    // Drop whatever the resampler still holds from before the seek.
    swr_init(d->swr);
    d->drained = false;
    d->pending.clear();
    d->pendingOffset = 0;
    d->skipBefore = seconds;
    d->nextPosition = seconds;
    return true;
}

int AudioDecoder::read(float* out, int frames) {
    if (!isOpen() || frames <= 0) return 0;
    int written = 0;
    while (written < frames) {
        if (d->pendingOffset >= d->pending.size()) {
            if (!d->decodeMore()) break;
        }
        const size_t available = (d->pending.size() - d->pendingOffset) / size_t(d->channels);
        const size_t take = std::min(available, size_t(frames - written));
        std::memcpy(out + size_t(written) * size_t(d->channels), d->pending.data() + d->pendingOffset,
                    take * size_t(d->channels) * sizeof(float));
        d->pendingOffset += take * size_t(d->channels);
        written += int(take);
        d->nextPosition = d->pendingStart + double(d->pendingOffset / size_t(d->channels)) / d->rate;
    }
    return written;
}

}  // namespace ostrela
