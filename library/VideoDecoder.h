#pragma once
// Reads the picture of a video file with FFmpeg: frames come out upright (the stream's display
// rotation applied), converted once to 32-bit BGRA: QImage::Format_RGB32 (alpha 255) for opaque
// streams, Format_ARGB32 (straight alpha) for the few that carry alpha.
#include <QImage>
#include <QString>

#include <memory>
#include <optional>

namespace ostrela {

struct DecodedFrame {
    QImage image;           // BGRA, opaque
    double seconds = 0;     // presentation time from the start of the stream
    double durationSeconds = 0;
};

class VideoDecoder {
public:
    VideoDecoder();
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Opens the file's best video stream. False with `error` set when there is none.
    bool open(const QString& path, QString* error = nullptr);
    bool isOpen() const;

    // Container duration in seconds, or 0 when unknown.
    double duration() const;
    // Nominal frame interval, 1/30 s when the stream does not say.
    double frameInterval() const;
    // Output size after rotation and the optional bound.
    QSize outputSize() const;
    // Scales frames down (aspect kept) so they fit in `bound`; an empty size means no bound.
    void setMaximumSize(QSize bound);

    // Decodes the next frame; nullopt at the end or on a decoding error.
    std::optional<DecodedFrame> nextFrame();
    // Positions so that the next frame is the one shown at `seconds` (frame-exact).
    bool seek(double seconds);
    // Frame on screen at `seconds`, searching from the nearest key frame; the last frame when the
    // request lies past the end.
    std::optional<DecodedFrame> frameAt(double seconds);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// JPEG still for the library: the frame at min(25 % of the duration, 5 s) (1 s when the duration
// is unknown, never before 0.1 s), at most 640×640, quality 85. Empty when no frame can be had.
QByteArray generatePosterData(const QString& videoPath);

}  // namespace ostrela
