#include "library/VideoDecoder.h"

#include <QBuffer>
#include <QTransform>

#include <cmath>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace ostrela {

struct VideoDecoder::Impl {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* held = nullptr;  // last frame dropped by an exact seek, shown if the stream ends first
    SwsContext* sws = nullptr;
    int streamIndex = -1;
    double timeBase = 0;
    double rotation = 0;  // clockwise degrees to turn the decoded picture upright
    QSize bound;
    bool drained = false;
    double skipBefore = -1;  // frames ending before this time are dropped (exact seeks)

    ~Impl() { close(); }
    void close() {
        sws_freeContext(sws);
        sws = nullptr;
        av_frame_free(&frame);
        av_frame_free(&held);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
        streamIndex = -1;
    }

    QSize decodedTargetSize(int w, int h) const {
        QSize rotated = (std::lround(std::abs(rotation)) % 180 == 90) ? QSize(h, w) : QSize(w, h);
        if (!bound.isEmpty() && (rotated.width() > bound.width() || rotated.height() > bound.height()))
            rotated = rotated.scaled(bound, Qt::KeepAspectRatio);
        rotated = rotated.expandedTo(QSize(1, 1));
        return (std::lround(std::abs(rotation)) % 180 == 90) ? QSize(rotated.height(), rotated.width()) : rotated;
    }

    double frameSeconds(const AVFrame* f) const {
        int64_t pts = f->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE) pts = f->pts;
        if (pts == AV_NOPTS_VALUE) return 0;
        double t = pts * timeBase;
        const AVStream* s = format->streams[streamIndex];
        if (s->start_time != AV_NOPTS_VALUE) t -= s->start_time * timeBase;
        return t;
    }

    // Next decoded AVFrame into `frame`; false at the end.
    bool decodeOne() {
        for (;;) {
            int r = avcodec_receive_frame(codec, frame);
            if (r == 0) return true;
            if (r == AVERROR_EOF) return false;
            if (r != AVERROR(EAGAIN)) return false;
            if (drained) return false;
            for (;;) {
                r = av_read_frame(format, packet);
                if (r < 0) {
                    drained = true;
                    avcodec_send_packet(codec, nullptr);
                    break;
                }
                if (packet->stream_index != streamIndex) {
                    av_packet_unref(packet);
                    continue;
                }
                r = avcodec_send_packet(codec, packet);
                av_packet_unref(packet);
                break;  // a bad packet is skipped; the decoder resynchronises
            }
        }
    }

    QImage convert(const AVFrame* f) {
        const QSize target = decodedTargetSize(f->width, f->height);
        sws = sws_getCachedContext(sws, f->width, f->height, static_cast<AVPixelFormat>(f->format), target.width(),
                                   target.height(), AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!sws) return {};
        // Opaque pictures (nearly every video) come out with alpha 255, which the compositor
        // takes as they are; only a stream with alpha is straight and needs premultiplying.
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
        const bool alpha = desc && (desc->flags & AV_PIX_FMT_FLAG_ALPHA);
        QImage image(target, alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        if (image.isNull()) return {};
        uint8_t* dst[4] = {image.bits(), nullptr, nullptr, nullptr};
        int dstStride[4] = {static_cast<int>(image.bytesPerLine()), 0, 0, 0};
        sws_scale(sws, f->data, f->linesize, 0, f->height, dst, dstStride);
        const int quarterTurns = static_cast<int>(std::lround(rotation / 90.0)) & 3;
        if (quarterTurns != 0) image = image.transformed(QTransform().rotate(90.0 * quarterTurns));
        return image;
    }
};

VideoDecoder::VideoDecoder() : d(std::make_unique<Impl>()) {}
VideoDecoder::~VideoDecoder() = default;

bool VideoDecoder::open(const QString& path, QString* error) {
    // Damaged files are expected input; their complaints are not for the terminal.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_FATAL); });
    d->close();
    auto fail = [&](const QString& message) {
        if (error) *error = message;
        d->close();
        return false;
    };
    const QByteArray local = path.toLocal8Bit();
    if (avformat_open_input(&d->format, local.constData(), nullptr, nullptr) < 0)
        return fail(QStringLiteral("The file could not be opened as a video"));
    if (avformat_find_stream_info(d->format, nullptr) < 0) return fail(QStringLiteral("The video could not be read"));
    const AVCodec* decoder = nullptr;
    d->streamIndex = av_find_best_stream(d->format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (d->streamIndex < 0 || !decoder) return fail(QStringLiteral("The file has no video picture"));
    AVStream* stream = d->format->streams[d->streamIndex];
    if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) return fail(QStringLiteral("The file has no video picture"));
    d->codec = avcodec_alloc_context3(decoder);
    if (!d->codec || avcodec_parameters_to_context(d->codec, stream->codecpar) < 0)
        return fail(QStringLiteral("The video could not be read"));
    // Every frame-decoding thread holds its own reference pictures. The renderer keeps both cores
    // busy anyway, so one thread decodes up to 1080p; larger videos get a second one to keep up.
    d->codec->thread_count = int64_t(d->codec->width) * d->codec->height > 1920 * 1088 ? 2 : 1;
    if (avcodec_open2(d->codec, decoder, nullptr) < 0) return fail(QStringLiteral("The video's format is not supported"));
    d->timeBase = av_q2d(stream->time_base);
    d->rotation = 0;
    if (const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr)) {
        const double r = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
        // FFmpeg reports counter-clockwise degrees; the picture is turned clockwise by the same amount.
        if (std::isfinite(r)) d->rotation = -r;
    }
    d->packet = av_packet_alloc();
    d->frame = av_frame_alloc();
    d->held = av_frame_alloc();
    d->drained = false;
    d->skipBefore = -1;
    if (!d->packet || !d->frame || !d->held) return fail(QStringLiteral("Out of memory"));
    return true;
}

bool VideoDecoder::isOpen() const { return d->streamIndex >= 0; }

double VideoDecoder::duration() const {
    if (!isOpen()) return 0;
    if (d->format->duration != AV_NOPTS_VALUE && d->format->duration > 0)
        return d->format->duration / static_cast<double>(AV_TIME_BASE);
    const AVStream* s = d->format->streams[d->streamIndex];
    if (s->duration != AV_NOPTS_VALUE && s->duration > 0) return s->duration * d->timeBase;
    return 0;
}

double VideoDecoder::frameInterval() const {
    if (!isOpen()) return 1.0 / 30;
    const AVStream* s = d->format->streams[d->streamIndex];
    AVRational rate = s->avg_frame_rate.num > 0 ? s->avg_frame_rate : s->r_frame_rate;
    if (rate.num > 0 && rate.den > 0) return av_q2d(av_inv_q(rate));
    return 1.0 / 30;
}

QSize VideoDecoder::outputSize() const {
    if (!isOpen()) return {};
    QSize decoded = d->decodedTargetSize(d->codec->width, d->codec->height);
    return (std::lround(std::abs(d->rotation)) % 180 == 90) ? decoded.transposed() : decoded;
}

void VideoDecoder::setMaximumSize(QSize bound) { d->bound = bound; }

std::optional<DecodedFrame> VideoDecoder::nextFrame() {
    if (!isOpen()) return std::nullopt;
    const double interval = frameInterval();
    auto deliver = [&](AVFrame* f, double t, double length) -> std::optional<DecodedFrame> {
        DecodedFrame out;
        out.image = d->convert(f);
        out.seconds = t;
        out.durationSeconds = length;
        av_frame_unref(f);
        if (out.image.isNull()) return std::nullopt;
        return out;
    };
    while (d->decodeOne()) {
        const double t = d->frameSeconds(d->frame);
        double length = d->frame->pkt_duration > 0 ? d->frame->pkt_duration * d->timeBase : interval;
        if (d->skipBefore >= 0 && t + length <= d->skipBefore + 1e-6) {
            av_frame_unref(d->held);
            av_frame_move_ref(d->held, d->frame);
            continue;
        }
        d->skipBefore = -1;
        av_frame_unref(d->held);
        return deliver(d->frame, t, length);
    }
    // A seek at or past the end shows the last frame.
    if (d->skipBefore >= 0 && d->held->buf[0]) {
        d->skipBefore = -1;
        const double t = d->frameSeconds(d->held);
        const double length = d->held->pkt_duration > 0 ? d->held->pkt_duration * d->timeBase : interval;
        return deliver(d->held, t, length);
    }
    return std::nullopt;
}

bool VideoDecoder::seek(double seconds) {
    if (!isOpen()) return false;
    if (seconds < 0) seconds = 0;
    const AVStream* s = d->format->streams[d->streamIndex];
    int64_t target = static_cast<int64_t>(std::floor(seconds / d->timeBase));
    if (s->start_time != AV_NOPTS_VALUE) target += s->start_time;
    if (av_seek_frame(d->format, d->streamIndex, target, AVSEEK_FLAG_BACKWARD) < 0) {
        // Some streams only seek by byte or not at all: start over from the beginning.
        if (avformat_seek_file(d->format, d->streamIndex, INT64_MIN, 0, 0, 0) < 0) return false;
    }
    avcodec_flush_buffers(d->codec);
    av_frame_unref(d->held);
    d->drained = false;
    d->skipBefore = seconds;
    return true;
}

std::optional<DecodedFrame> VideoDecoder::frameAt(double seconds) {
    if (!seek(seconds)) return std::nullopt;
    const double wanted = d->skipBefore;
    d->skipBefore = -1;
    std::optional<DecodedFrame> best;
    while (auto f = nextFrame()) {
        if (f->seconds <= wanted + 1e-6 || !best) {
            const bool covers = f->seconds + f->durationSeconds > wanted + 1e-6;
            best = std::move(f);
            if (covers) break;
            continue;
        }
        break;
    }
    return best;
}

QByteArray generatePosterData(const QString& videoPath) {
    VideoDecoder decoder;
    if (!decoder.open(videoPath)) return {};
    decoder.setMaximumSize(QSize(640, 640));
    const double d = decoder.duration();
    double t = (std::isfinite(d) && d > 0) ? std::min(d * 0.25, 5.0) : 1.0;
    if (t <= 0.1) t = 0.1;
    auto frame = decoder.frameAt(t);
    if (!frame || frame->image.isNull()) return {};
    // Accept what a still generator would: up to 1 s before and 3 s after the request.
    if (frame->seconds < t - 1.0 - frame->durationSeconds || frame->seconds > t + 3.0) return {};
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!frame->image.convertToFormat(QImage::Format_RGB32).save(&buffer, "JPG", 85)) return {};
    return bytes;
}

}  // namespace ostrela
