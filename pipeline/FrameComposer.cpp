#include "pipeline/FrameComposer.h"

#include "effects/Effects.h"
#include "pipeline/FrameBuffer.h"

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

Image FrameComposer::compose(const QImage& cameraFrame, const QImage* videoFrame, double t) {
    const Image camera = effects::fitToOutput(Image::fromQImage(cameraFrame), kFrameWidth, kFrameHeight);
    Image base = camera;
    bool videoMode = false;
    if (videoFrame && !videoFrame->isNull()) {
        base = effects::fitToOutput(Image::fromQImage(*videoFrame), kFrameWidth, kFrameHeight);
        videoMode = true;
    }
    bars_ = readBarReservation();
    effect_ = settings::videoEffect();
    Image image = effects::applyVideoEffect(effect_, base, t, bars_.barReserve);
    image = compositeCards(image, camera, videoMode);
    if (bars_.barEnabled) image = compositeBar(image, t);
    return image.cropped({0, 0, double(kFrameWidth), double(kFrameHeight)});
}

void FrameComposer::render(const QImage& cameraFrame, const QImage* videoFrame, double t, uint8_t* dst) {
    if (!dst) return;
    Image image = compose(cameraFrame, videoFrame, t);
    renderer_.render(image, {0, 0, kFrameWidth, kFrameHeight}, dst, size_t(kFrameStride));
}

Image FrameComposer::compositeCards(const Image& image, const Image& camera, bool videoMode) {
    // Camera mode: the floating image card goes here (bars_.barReserve, bars_.topInset).
    // Video mode: the camera picture-in-picture made from `camera`, when enabled.
    (void)camera;
    (void)videoMode;
    return image;
}

Image FrameComposer::compositeBar(const Image& image, double t) {
    // The lower-third bar, drawn for this frame with bars_.barLift and composited at (0, 0).
    (void)t;
    return image;
}

}  // namespace ostrela
