#include "effects/SurveillanceEffects.h"

#include "effects/Effects.h"
#include "effects/RetroEffects.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Glyphs.h"
#include "pipeline/engine/Nodes.h"

#include <QDateTime>
#include <QFontMetricsF>
#include <QPainterPath>

// OpenCV 4.6 headers trip a C++20 deprecation warning of their own.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-enum-enum-conversion"
#include <opencv2/imgproc.hpp>
#pragma GCC diagnostic pop

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

namespace ostrela::effects {

using engine::Color;
using engine::Image;
using engine::Rect;
namespace filters = engine::filters;

namespace {

int roundedSize(double v) { return std::max(1, int(std::lround(std::isfinite(v) ? v : 1))); }

QDateTime frameDateTime(double t) {
    const double unix = t + kReferenceDateUnixSeconds;
    return QDateTime::fromSecsSinceEpoch(qint64(std::floor(std::isfinite(unix) ? unix : 0)));
}

// Width of a line of text in a 72-dpi font.
double textWidth(const QFont& font, const QString& text) {
    const QImage probe = engine::pointBitmap(1, 1);
    return QFontMetricsF(font, &probe).horizontalAdvance(text);
}

}  // namespace

QString securityDateText(double t) { return frameDateTime(t).toString(EffectResources::shared().dateFormat); }
QString securityTimeText(double t) { return frameDateTime(t).toString(EffectResources::shared().timeFormat); }
QString cableTimeText(double t) { return frameDateTime(t).toString(EffectResources::shared().cableTimeFormat); }

bool blinkOn(double t) { return (long long)std::floor(t) % 2 == 0; }

CameraReadoutLayout cameraReadoutLayout(double w, double h) {
    const double f = 0.052 * h;
    const double margin = 0.0125 * w;
    return {f, 1.35 * f, margin, roundedSize(h) - margin};
}

namespace {
// One readout line (text with its shadow, and for the REC line the dot) in its own small cached
// bitmap, so a new second redraws only the line that changed.
Image cameraLine(ReadoutCaches& caches, double w, double h, int line, const QString& str, bool withDot) {
    const QString key = QStringLiteral("camline %1x%2 %3 %4 %5").arg(w).arg(h).arg(line).arg(str).arg(withDot);
    return caches.lines.get(key, [&]() -> Image {
        const int wp = roundedSize(w), hp = roundedSize(h);
        const CameraReadoutLayout L = cameraReadoutLayout(w, h);
        const QFont font = draw::menloBold(L.fontSize);
        const double d = L.dotDiameter();
        const double x = withDot ? L.margin + d + 8 : L.margin;
        const double baseline = L.baseline(line);
        const int pad = int(std::ceil(0.5 * L.fontSize)) + 8;
        const int x1 = int(std::ceil(x + textWidth(font, str))) + pad;
        const int y0 = int(std::floor(baseline - 0.4 * L.fontSize)) - pad;
        const int y1 = int(std::ceil(baseline + 1.1 * L.fontSize)) + pad;
        draw::Surface s = draw::surface(wp, hp, 0, y0, x1, y1 - y0);
        if (s.image.isNull()) return Image::empty();
        if (withDot) {
            QPainter p(&s.image);
            p.setRenderHint(QPainter::Antialiasing, true);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor::fromRgbF(1.0f, 0.15f, 0.15f));
            p.drawEllipse(s.rect(L.margin, L.dotY(), d, d));
        }
        const QColor text = QColor::fromRgbF(0.8f, 0.95f, 0.85f);
        draw::withShadow(s, 1.5, -1.5, 3, 0.85, [&](QPainter& p) {
            p.setFont(font);
            p.setPen(text);
            p.drawText(s.at(x, baseline), str);
        });
        return draw::place(s, {0, 0, w, h});
    });
}
}  // namespace

Image cameraReadout(double w, double h, const QString& dateText, const QString& timeText, bool recOn) {
    ReadoutCaches caches;
    return cameraReadout(w, h, dateText, timeText, recOn, caches);
}

Image cameraReadout(double w, double h, const QString& dateText, const QString& timeText, bool recOn, ReadoutCaches& caches) {
    const QString key = QStringLiteral("cam %1x%2 %3 %4 %5").arg(w).arg(h).arg(dateText, timeText).arg(recOn);
    return caches.readouts.get(key, [&]() -> Image {
        // The lines do not overlap (their shadows reach a few pixels, the lines are 1.35 f apart),
        // so compositing them one by one is drawing them one after the other.
        Image im = cameraLine(caches, w, h, 1, QStringLiteral("CAM 01"), false);
        if (recOn) im = cameraLine(caches, w, h, 2, QStringLiteral("REC"), true).composited(im);
        im = cameraLine(caches, w, h, 3, dateText, false).composited(im);
        return cameraLine(caches, w, h, 4, timeText, false).composited(im);
    });
}

namespace {
// One piece of the station readout (line 1, the dot, or the LIVE line) in its own cached bitmap.
enum class StationPiece { title, dot, live };

Image stationPiece(ReadoutCaches& caches, double w, double h, StationPiece piece, const QString& str) {
    const QString key = QStringLiteral("station %1x%2 %3 %4").arg(w).arg(h).arg(int(piece)).arg(str);
    return caches.lines.get(key, [&]() -> Image {
        const int wp = roundedSize(w), hp = roundedSize(h);
        const double f = 0.062 * h, gap = 1.3 * f, margin = 0.0125 * w, top = hp - margin;
        const QFont font = draw::impact(f);
        const double x = piece == StationPiece::title ? margin : piece == StationPiece::dot ? margin : margin + 0.75 * f;
        const double baseline = piece == StationPiece::title ? top - gap : top - 2 * gap;
        const double width = piece == StationPiece::dot ? 0.4 * f : textWidth(font, str);
        const int pad = int(std::ceil(0.5 * f)) + 4;
        const int x0 = std::max(0, int(std::floor(x)) - pad), x1 = int(std::ceil(x + width)) + pad;
        const int y0 = int(std::floor(baseline - 0.4 * f)) - pad, y1 = int(std::ceil(baseline + 1.1 * f)) + pad;
        draw::Surface s = draw::surface(wp, hp, x0, y0, x1 - x0, y1 - y0);
        if (s.image.isNull()) return Image::empty();
        QPainter p(&s.image);
        p.setRenderHint(QPainter::Antialiasing, true);
        const QColor yellow = QColor::fromRgbF(1.0f, 0.86f, 0.0f);
        if (piece == StationPiece::dot) {
            p.setPen(Qt::NoPen);
            p.setBrush(yellow);
            p.drawEllipse(s.rect(margin, top - 2 * gap + 0.18 * f, 0.4 * f, 0.4 * f));
        } else {
            // Fill then stroke: the outline is drawn over the fill. The outline is made at a large
            // pixel size and scaled: a path has no device, so a point size would be taken at the
            // screen's resolution instead of 1 pt = 1 px.
            QFont big = font;
            big.setPixelSize(1000);
            QPainterPath unit;
            unit.addText(0, 0, big, str);
            const QPointF at = s.at(x, baseline);
            p.setBrush(yellow);
            p.setPen(QPen(Qt::black, 0.09 * f));
            p.drawPath(QTransform(f / 1000.0, 0, 0, f / 1000.0, at.x(), at.y()).map(unit));
        }
        p.end();
        return draw::place(s, {0, 0, w, h});
    });
}
}  // namespace

Image stationReadout(double w, double h, double t) {
    ReadoutCaches caches;
    return stationReadout(w, h, t, caches);
}

Image stationReadout(double w, double h, double t, ReadoutCaches& caches) {
    const QString timeText = cableTimeText(t);
    const bool dot = blinkOn(t);
    const QString key = QStringLiteral("station %1x%2 %3 %4").arg(w).arg(h).arg(timeText).arg(dot);
    return caches.readouts.get(key, [&]() -> Image {
        Image im = stationPiece(caches, w, h, StationPiece::title, QString::fromUtf8("CH 3 \u2022 LOCAL ACCESS"));
        if (dot) im = stationPiece(caches, w, h, StationPiece::dot, QString()).composited(im);
        return stationPiece(caches, w, h, StationPiece::live, QStringLiteral("LIVE ") + timeText).composited(im);
    });
}

Image renderSecurityCam(const Image& image, double t) {
    ReadoutCaches caches;
    return renderSecurityCam(image, t, caches);
}

Image renderSecurityCam(const Image& image, double t, ReadoutCaches& caches) {
    const Rect E = image.extent();
    if (image.isNull() || E.isEmpty() || E.isInfinite()) return image;
    const Rect F = layoutFrame(E);
    Image img = filters::colorControls(image, 0.15, -0.03, 1.05);
    img = filters::colorMonochrome(img, Color::fromSRGB(0.55, 0.78, 0.82), 0.6);
    img = filters::vignette(img, 1.8, 1.3);
    const Image readout = cameraReadout(F.w, F.h, securityDateText(t), securityTimeText(t), blinkOn(t), caches);
    img = readout.translated(std::floor(F.x), std::floor(F.y)).composited(img);
    return img.cropped(E);
}

// The zoom of an 8-bit picture (the fitted camera frame), resampled once on its bytes like the
// fit step does, over E and a 4-pixel margin for the blur that follows; the colour controls
// then read the bytes directly. Null when the input is not such a picture.
Image zoomedBytes(const Image& image, const Rect& E, QImage& scratch) {
    const engine::Node* node = image.node().get();
    int ox = 0, oy = 0;
    if (auto* tr = dynamic_cast<const engine::TransformNode*>(node)) {
        if (!tr->isIntegerTranslation(&ox, &oy)) return {};
        node = tr->inputPtr().get();
    }
    auto* src = dynamic_cast<const engine::SourceNode*>(node);
    if (!src || E.x != std::floor(E.x) || E.y != std::floor(E.y) || E.w != std::floor(E.w) || E.h != std::floor(E.h)) return {};
    const QImage& in = src->image();
    if (in.format() != QImage::Format_ARGB32_Premultiplied && in.format() != QImage::Format_RGB32) return {};
    const int m = 4;
    const Rect Z{E.x - m, E.y - m, E.w + 2 * m, E.h + 2 * m};
    if (scratch.size() != QSize(int(Z.w), int(Z.h))) scratch = QImage(int(Z.w), int(Z.h), QImage::Format_ARGB32_Premultiplied);
    if (scratch.isNull()) return {};
    // Destination pixel (i, j) (top-down) has its centre at P = (Z.x + i + ½, maxY(Z) − j − ½); it
    // shows Q = mid(E) + (P − mid(E)) / 1.06, which is source pixel (Q.x − ox − ½, oy + h − Q.y − ½).
    const double k = 1.0 / 1.06, mx = E.x + E.w / 2, my = E.y + E.h / 2;
    const double cu = mx + (Z.x + 0.5 - mx) * k - ox - 0.5;
    const double cv = oy + in.height() - my - (Z.y + Z.h - 0.5 - my) * k - 0.5;
    const double M[6] = {k, 0, cu, 0, k, cv};
    cv::Mat from(in.height(), in.width(), CV_8UC4, const_cast<uchar*>(in.constBits()), size_t(in.bytesPerLine()));
    cv::Mat to(scratch.height(), scratch.width(), CV_8UC4, scratch.bits(), size_t(scratch.bytesPerLine()));
    cv::warpAffine(from, to, cv::Mat(2, 3, CV_64F, const_cast<double*>(M)), to.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                   cv::BORDER_REPLICATE);
    if (in.format() == QImage::Format_RGB32)
        for (int y = 0; y < scratch.height(); ++y) {
            auto* row = reinterpret_cast<uint32_t*>(scratch.scanLine(y));
            for (int x = 0; x < scratch.width(); ++x) row[x] |= 0xFF000000u;
        }
    return Image::fromQImage(scratch).translated(Z.x, Z.y);
}

Image renderCableAccess(const Image& image, double t) {
    ReadoutCaches caches;
    return renderCableAccess(image, t, caches);
}

Image renderCableAccess(const Image& image, double t, ReadoutCaches& caches) {
    const Rect E = image.extent();
    if (image.isNull() || E.isEmpty() || E.isInfinite()) return image;
    const Rect F = layoutFrame(E);
    // Zoom 6 % about the centre of E.
    const Rect S = engine::Affine::scale(1.06, 1.06).mapRect(E);
    Image img = zoomedBytes(image, E, caches.scratch);
    if (img.isNull())
        img = image.transformed(engine::Affine::scale(1.06, 1.06)
                                    .then(engine::Affine::translation((E.x + E.w / 2) - (S.x + S.w / 2), (E.y + E.h / 2) - (S.y + S.h / 2))));
    img = filters::colorControls(img, 0.6, 0.05, 0.75);
    img = filters::vignette(img, 1.1, 1.6, S);  // the vignette of the whole zoomed picture
    img = stationReadout(F.w, F.h, t, caches).translated(std::floor(F.x), std::floor(F.y)).composited(img);
    img = img.gaussianBlur(0.9).cropped(E);
    img = compositeGrain(img, E, 0.11f, caches);
    img = shadeDropoutLines(img, F, t);
    return img.cropped(E);
}

}  // namespace ostrela::effects
