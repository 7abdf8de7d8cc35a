#include "pipeline/FrameComposer.h"

#include "effects/Effects.h"
#include "pipeline/FrameBuffer.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace ostrela {

using engine::Image;

BarReservation readBarReservation() {
    BarReservation b;
    const bool meet = settings::lowerThirdGoogleMeetSafeArea();
    // An unavailable suite reads every key as its default, which turns the bar off.
    if (settings::lowerThirdEnabled()) {
        const double m = meet ? 0.05 : 0.0;
        b.barEnabled = true;
        b.barReserve = (m + 0.115) * 720.0;
        b.barLift = m * 720.0;
    }
    b.topInset = meet ? 36.0 : 0.0;
    return b;
}

FrameComposer::FrameComposer(int threads) : renderer_(threads, 64) {}

Image FrameComposer::fitFrame(const QImage& frame, QImage* scratch) {
    if (frame.isNull() || (frame.width() == kFrameWidth && frame.height() == kFrameHeight))
        return effects::fitToOutput(Image::fromQImage(frame), kFrameWidth, kFrameHeight);
    // Camera and video pictures are 8-bit and opaque: one bilinear (area below half size)
    // resample of the bytes costs a fraction of sampling every float tile, and looks the same.
    const QImage src = (frame.format() == QImage::Format_ARGB32_Premultiplied || frame.format() == QImage::Format_RGB32)
                           ? frame
                           : frame.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const double s = std::max(double(kFrameWidth) / src.width(), double(kFrameHeight) / src.height());
    const int w = std::max(kFrameWidth, int(std::lround(src.width() * s)));
    const int h = std::max(kFrameHeight, int(std::lround(src.height() * s)));
    if (w > 4 * 4096 || h > 4 * 4096) return effects::fitToOutput(Image::fromQImage(src), kFrameWidth, kFrameHeight);
    if (scratch->size() != QSize(w, h) || scratch->format() != QImage::Format_ARGB32_Premultiplied)
        *scratch = QImage(w, h, QImage::Format_ARGB32_Premultiplied);
    // Writing detaches the scratch if last frame's graph (an effect's memory) still holds it.
    cv::Mat in(src.height(), src.width(), CV_8UC4, const_cast<uchar*>(src.constBits()), size_t(src.bytesPerLine()));
    cv::Mat out(h, w, CV_8UC4, scratch->bits(), size_t(scratch->bytesPerLine()));
    cv::resize(in, out, out.size(), 0, 0, s < 0.5 ? cv::INTER_AREA : cv::INTER_LINEAR);
    if (src.format() == QImage::Format_RGB32)
        for (int y = 0; y < h; ++y) {
            auto* row = reinterpret_cast<uint32_t*>(scratch->scanLine(y));
            for (int x = 0; x < w; ++x) row[x] |= 0xFF000000u;
        }
    // Centred like fitToOutput; whole-pixel offsets keep the placement a plain copy.
    const int dx = (w - kFrameWidth) / 2, dy = (h - kFrameHeight) / 2;
    return Image::fromQImage(*scratch).translated(-dx, -dy);
}

Image FrameComposer::compose(const QImage& cameraFrame, const QImage* videoFrame, double t) {
    const Image camera = fitFrame(cameraFrame, &cameraScratch_);
    Image base = camera;
    bool videoMode = false;
    if (videoFrame && !videoFrame->isNull()) {
        base = fitFrame(*videoFrame, &videoScratch_);
        videoMode = true;
    }
    bars_ = readBarReservation();
    effect_ = settings::videoEffect();
    Image image = effects::applyVideoEffect(effect_, base, t, bars_.barReserve);
    image = compositeCards(image, cameraFrame, videoMode);
    if (bars_.barEnabled) image = compositeBar(image, t);
    return image.cropped({0, 0, double(kFrameWidth), double(kFrameHeight)});
}

void FrameComposer::render(const QImage& cameraFrame, const QImage* videoFrame, double t, uint8_t* dst) {
    if (!dst) return;
    Image image = compose(cameraFrame, videoFrame, t);
    renderer_.render(image, {0, 0, kFrameWidth, kFrameHeight}, dst, size_t(kFrameStride));
}

Image FrameComposer::compositeCards(const Image& image, const QImage& camera, bool videoMode) {
    // Never both: the overlay belongs to camera mode, the camera card to video mode.
    if (videoMode) return cards_.composePiPCard(image, camera, bars_.barReserve, bars_.topInset);
    return cards_.composeOverlayCard(image, bars_.barReserve, bars_.topInset);
}

Image FrameComposer::compositeBar(const Image& image, double t) {
    LowerThirdBarStyle style = LowerThirdBarStyle::fromSettings();
    style.barLift = int(std::lround(bars_.barLift));
    const Image barImage = bar_.compose(style, effectiveBarText(), t);
    return barImage.composited(image);
}

}  // namespace ostrela
