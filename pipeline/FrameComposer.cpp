#include "pipeline/FrameComposer.h"

#include "effects/Effects.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/engine/Nodes.h"

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

FrameSettings FrameSettings::read(const std::function<QString()>& barText) {
    FrameSettings s;
    s.effect = settings::videoEffect();
    s.bars = readBarReservation();
    if (s.bars.barEnabled) {
        s.barStyle = LowerThirdBarStyle::fromSettings();
        s.barStyle.barLift = int(std::lround(s.bars.barLift));
        if (barText) s.barText = barText();
    }
    return s;
}

FrameComposer::FrameComposer(int threads) : renderer_(threads, 64) {}

namespace {
// True when rendering `image` over `r` is a plain copy of one 8-bit picture (no decode, no encode).
bool isPlainCopyNode(const engine::Node* node, engine::IRect r) {
    while (node) {
        if (auto* s = dynamic_cast<const engine::SourceNode*>(node)) return engine::pixelBounds(s->extent()).contains(r);
        if (auto* c = dynamic_cast<const engine::CropNode*>(node)) {
            if (!engine::pixelBounds(c->extent()).contains(r)) return false;
            node = c->input(0);
            continue;
        }
        if (auto* t = dynamic_cast<const engine::TransformNode*>(node)) {
            int dx, dy;
            if (!t->isIntegerTranslation(&dx, &dy)) return false;
            r.x -= dx;
            r.y -= dy;
            node = t->input(0);
            continue;
        }
        return false;
    }
    return false;
}
}  // namespace

// The pixel rectangles covering `rects` within `bounds`, none overlapping another, so a place
// where the card and the bar meet is rendered once.
static std::vector<engine::IRect> disjointRects(const std::vector<engine::Rect>& rects, const engine::IRect& bounds) {
    std::vector<engine::IRect> out;
    for (const engine::Rect& rect : rects) {
        std::vector<engine::IRect> pieces{engine::enclosingIRect(rect).intersected(bounds)};
        for (const engine::IRect& taken : out) {
            std::vector<engine::IRect> next;
            for (const engine::IRect& p : pieces) {
                const engine::IRect i = p.intersected(taken);
                if (i.isEmpty()) {
                    next.push_back(p);
                    continue;
                }
                // What is left of p around i: below, above, then left and right of it.
                const engine::IRect parts[] = {{p.x, p.y, p.w, i.y - p.y},
                                               {p.x, i.maxY(), p.w, p.maxY() - i.maxY()},
                                               {p.x, i.y, i.x - p.x, i.h},
                                               {i.maxX(), i.y, p.maxX() - i.maxX(), i.h}};
                for (const engine::IRect& q : parts)
                    if (!q.isEmpty()) next.push_back(q);
            }
            pieces = std::move(next);
        }
        for (const engine::IRect& p : pieces)
            if (!p.isEmpty()) out.push_back(p);
    }
    return out;
}

bool FrameComposer::isPlainCopy(const Image& image, const engine::IRect& r) { return isPlainCopyNode(image.node().get(), r); }

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
    return compose(cameraFrame, videoFrame, t, FrameSettings::read(barText_));
}

Image FrameComposer::compose(const QImage& cameraFrame, const QImage* videoFrame, double t, const FrameSettings& settings) {
    const Image camera = fitFrame(cameraFrame, &cameraScratch_);
    Image base = camera;
    bool videoMode = false;
    if (videoFrame && !videoFrame->isNull()) {
        base = fitFrame(*videoFrame, &videoScratch_);
        videoMode = true;
    }
    settings_ = settings;
    effects::FrameContext frame;
    frame.t = t;
    frame.effect = settings_.effect;
    frame.bars = settings_.bars;
    Image image = effects_.apply(base, frame);
    base_ = image;
    layers_.clear();
    image = compositeCards(image, cameraFrame, videoMode);
    if (!cards_.lastCardExtent().isEmpty()) layers_.push_back(cards_.lastCardExtent());
    if (settings_.bars.barEnabled) {
        image = compositeBar(image, t);
        layers_.push_back({0, 0, double(kFrameWidth), settings_.bars.barLift + bar::kHeight});
    }
    return image.cropped({0, 0, double(kFrameWidth), double(kFrameHeight)});
}

void FrameComposer::render(const QImage& cameraFrame, const QImage* videoFrame, double t, uint8_t* dst) {
    if (!dst) return;
    render(cameraFrame, videoFrame, t, dst, FrameSettings::read(barText_));
}

void FrameComposer::render(const QImage& cameraFrame, const QImage* videoFrame, double t, uint8_t* dst,
                           const FrameSettings& settings) {
    if (!dst) return;
    Image image = compose(cameraFrame, videoFrame, t, settings);
    const engine::IRect frame{0, 0, kFrameWidth, kFrameHeight};
    if (layers_.empty() || !isPlainCopy(base_, frame)) {
        renderer_.render(image, frame, dst, size_t(kFrameStride));
    } else {
        // A picture without an effect is copied byte for byte; only where a card or the bar
        // reaches does the frame go through the float pipeline. Outside those rectangles the
        // layers are transparent, so the result is the same as rendering the whole graph.
        renderer_.render(base_, frame, dst, size_t(kFrameStride));
        for (const engine::IRect& r : disjointRects(layers_, frame)) {
            const int topRow = kFrameHeight - r.maxY();
            renderer_.render(image, r, dst + size_t(topRow) * kFrameStride + size_t(r.x) * 4, size_t(kFrameStride));
        }
    }
    base_ = {};
}

Image FrameComposer::compositeCards(const Image& image, const QImage& camera, bool videoMode) {
    // Never both: the overlay belongs to camera mode, the camera card to video mode.
    if (videoMode) return cards_.composePiPCard(image, camera, settings_.bars.barReserve, settings_.bars.topInset);
    return cards_.composeOverlayCard(image, settings_.bars.barReserve, settings_.bars.topInset);
}

Image FrameComposer::compositeBar(const Image& image, double t) {
    return bar_.composeOver(image, settings_.barStyle, settings_.barText, t);
}

}  // namespace ostrela
