#include "ui/PreviewPainter.h"

#include "ui/EffectPreviewOverlays.h"
#include "pipeline/FrameClock.h"
#include "ui/Resources.h"

#include <QDateTime>
#include <QFont>
#include <QImageReader>
#include <QLinearGradient>
#include <QRadialGradient>

#include <cmath>
#include <map>

namespace ostrela::preview {

namespace {

QImage grayscale(const QImage& src) {
    QImage out = src.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < out.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            const int g = qGray(row[x]);
            row[x] = qRgba(g, g, g, qAlpha(row[x]));
        }
    }
    return out;
}

// Maps luminance through a colour ramp (false colour, tints).
QImage ramp(const QImage& src, const QColor* stops, int count, bool invert = false) {
    QImage out = src.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QRgb lut[256];
    for (int i = 0; i < 256; ++i) {
        const double v = (invert ? 255 - i : i) / 255.0 * (count - 1);
        const int a = std::min(int(v), count - 2);
        const double f = v - a;
        const QColor& c0 = stops[a];
        const QColor& c1 = stops[a + 1];
        lut[i] = qRgb(int(c0.red() + (c1.red() - c0.red()) * f), int(c0.green() + (c1.green() - c0.green()) * f),
                      int(c0.blue() + (c1.blue() - c0.blue()) * f));
    }
    for (int y = 0; y < out.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) row[x] = lut[qGray(row[x])];
    }
    return out;
}

QImage contrast(const QImage& src, double k, double lift = 0) {
    QImage out = src.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    uchar lut[256];
    for (int i = 0; i < 256; ++i) lut[i] = uchar(std::clamp((i / 255.0 - 0.5) * k + 0.5 + lift, 0.0, 1.0) * 255);
    for (int y = 0; y < out.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x)
            row[x] = qRgb(lut[qRed(row[x])], lut[qGreen(row[x])], lut[qBlue(row[x])]);
    }
    return out;
}

QImage anaglyph(const QImage& src) {
    const QImage g = grayscale(src);
    QImage out(g.size(), QImage::Format_ARGB32_Premultiplied);
    const int shift = std::max(2, g.width() / 90);
    for (int y = 0; y < g.height(); ++y) {
        const auto* in = reinterpret_cast<const QRgb*>(g.constScanLine(y));
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < g.width(); ++x) {
            const int r = qRed(in[std::min(g.width() - 1, x + shift)]);
            const int c = qRed(in[std::max(0, x - shift)]);
            row[x] = qRgb(r, c, c);
        }
    }
    return out;
}

QImage softGlow(const QImage& src) {
    // A blur from scaling down and up, screened over the picture.
    const QImage small = src.scaled(std::max(1, src.width() / 12), std::max(1, src.height() / 12), Qt::IgnoreAspectRatio,
                                    Qt::SmoothTransformation);
    const QImage blurred = small.scaled(src.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage out = src.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter p(&out);
    p.setCompositionMode(QPainter::CompositionMode_Screen);
    p.setOpacity(0.7);
    p.drawImage(0, 0, blurred);
    p.setCompositionMode(QPainter::CompositionMode_SoftLight);
    p.setOpacity(0.5);
    p.fillRect(out.rect(), QColor(255, 190, 230));
    return out;
}

void vignette(QPainter& p, const QRectF& r, double strength) {
    QRadialGradient g(r.center(), std::hypot(r.width(), r.height()) / 2);
    g.setColorAt(0.55, QColor(0, 0, 0, 0));
    g.setColorAt(1.0, QColor(0, 0, 0, int(255 * strength)));
    p.fillRect(r, g);
}

QFont monoFont(double px) {
    QFont f(QStringLiteral("DejaVu Sans Mono"));
    f.setBold(true);
    f.setPixelSize(std::max(8, int(px)));
    return f;
}

QDateTime timeFromFrameTime(double t) { return dateTimeFromFrameTime(t); }

}  // namespace

QImage mockBackground(QSize size) {
    static QSize cachedSize;
    static QImage cached;
    if (size.isEmpty()) return {};
    if (size == cachedSize && !cached.isNull()) return cached;
    initUiResources();
    QImageReader reader(QStringLiteral(":/assets/MockZoomBackground.svg"));
    // Aspect fill, as the engine fits the camera.
    const double scale = std::max(size.width() / 1280.0, size.height() / 720.0);
    const QSize scaled(int(std::ceil(1280 * scale)), int(std::ceil(720 * scale)));
    reader.setScaledSize(scaled);
    QImage img = reader.read();
    if (img.isNull()) {
        img = QImage(size, QImage::Format_ARGB32_Premultiplied);
        img.fill(QColor(0x55, 0x5B, 0x66));
    } else {
        img = img.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                  .copy((scaled.width() - size.width()) / 2, (scaled.height() - size.height()) / 2, size.width(), size.height());
    }
    cachedSize = size;
    cached = img;
    return img;
}

QImage treatedBackground(VideoEffect effect, QSize size) {
    static std::map<std::pair<int, std::pair<int, int>>, QImage> cache;
    const auto key = std::make_pair(int(effect), std::make_pair(size.width(), size.height()));
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    if (cache.size() > 32) cache.clear();
    const QImage base = mockBackground(size);
    if (base.isNull()) return base;
    QImage out;
    switch (effect) {
    case VideoEffect::none:
    case VideoEffect::drunkMode:
    case VideoEffect::missionControl: out = base; break;
    case VideoEffect::oldTV: {
        const QColor s[] = {QColor(20, 16, 10), QColor(150, 130, 100), QColor(240, 228, 200)};
        out = ramp(contrast(base, 1.2), s, 3);
        break;
    }
    case VideoEffect::securityCam: {
        const QColor s[] = {QColor(8, 14, 10), QColor(110, 130, 115), QColor(225, 235, 225)};
        out = ramp(base, s, 3);
        break;
    }
    case VideoEffect::flame: {
        out = contrast(base, 1.1);
        QPainter p(&out);
        QLinearGradient g(0, out.height(), 0, out.height() * 0.4);
        g.setColorAt(0, QColor(255, 120, 20, 170));
        g.setColorAt(1, QColor(255, 80, 0, 0));
        p.fillRect(out.rect(), g);
        break;
    }
    case VideoEffect::vhs: {
        out = contrast(base, 0.9, 0.03);
        QPainter p(&out);
        p.setCompositionMode(QPainter::CompositionMode_SoftLight);
        p.fillRect(out.rect(), QColor(120, 60, 160, 90));
        break;
    }
    case VideoEffect::thermal: {
        const QColor s[] = {QColor(10, 0, 60), QColor(120, 0, 160), QColor(230, 40, 40), QColor(255, 190, 0),
                            QColor(255, 255, 220)};
        out = ramp(base, s, 5);
        break;
    }
    case VideoEffect::snow: {
        out = contrast(base, 0.95, 0.05);
        QPainter p(&out);
        p.fillRect(out.rect(), QColor(190, 215, 255, 70));
        break;
    }
    case VideoEffect::anaglyph3D: out = anaglyph(base); break;
    case VideoEffect::nightOps: {
        const QColor s[] = {QColor(0, 10, 0), QColor(40, 160, 40), QColor(200, 255, 190)};
        out = ramp(contrast(base, 1.3, 0.1), s, 3);
        break;
    }
    case VideoEffect::cyberOps: {
        const QColor s[] = {QColor(0, 10, 25), QColor(0, 120, 150), QColor(140, 250, 255)};
        out = ramp(base, s, 3);
        break;
    }
    case VideoEffect::cableAccess: out = contrast(base, 1.25, 0.02); break;
    case VideoEffect::xray: {
        const QColor s[] = {QColor(5, 10, 25), QColor(110, 150, 200), QColor(235, 245, 255)};
        out = ramp(base, s, 3, true);
        break;
    }
    case VideoEffect::noir: out = contrast(grayscale(base), 1.5); break;
    case VideoEffect::dreamSequence: out = softGlow(base); break;
    }
    cache[key] = out;
    return out;
}

bool isAnimated(VideoEffect effect) { return effect != VideoEffect::none; }

void paintImitation(QPainter& p, const QRectF& r, VideoEffect effect, double t) {
    p.save();
    p.setClipRect(r);
    const double w = r.width(), h = r.height();
    const double u = h / 360.0;  // one unit at a 640×360 preview
    switch (effect) {
    case VideoEffect::oldTV: {
        for (double y = r.top(); y < r.bottom(); y += 3 * u) p.fillRect(QRectF(r.left(), y, w, u), QColor(0, 0, 0, 60));
        const double flicker = 0.06 + 0.05 * std::sin(t * 37.0);
        p.fillRect(r, QColor(255, 255, 255, int(255 * flicker)));
        const double rollY = r.top() + std::fmod(t * 0.25 * h, h);
        p.fillRect(QRectF(r.left(), rollY, w, 10 * u), QColor(255, 255, 255, 25));
        vignette(p, r, 0.75);
        break;
    }
    case VideoEffect::securityCam: {
        p.setFont(monoFont(14 * u));
        p.setPen(Qt::white);
        const QDateTime now = timeFromFrameTime(t);
        p.drawText(QRectF(r.left() + 10 * u, r.top() + 8 * u, w, 20 * u), Qt::AlignLeft,
                   QStringLiteral("CAM 01  ") + now.toString(QStringLiteral("MM/dd/yy HH:mm:ss")));
        if (std::fmod(t, 1.0) < 0.6) {
            p.setBrush(QColor(230, 30, 30));
            p.setPen(Qt::NoPen);
            p.drawEllipse(QPointF(r.right() - 60 * u, r.top() + 16 * u), 5 * u, 5 * u);
            p.setPen(Qt::white);
            p.drawText(QPointF(r.right() - 50 * u, r.top() + 21 * u), QStringLiteral("REC"));
        }
        for (double y = r.top(); y < r.bottom(); y += 2 * u) p.fillRect(QRectF(r.left(), y, w, 0.6 * u), QColor(0, 0, 0, 35));
        vignette(p, r, 0.5);
        break;
    }
    case VideoEffect::flame: {
        for (int i = 0; i < 5; ++i) {
            const double x = r.left() + w * (0.1 + 0.2 * i) + std::sin(t * 2.0 + i) * 12 * u;
            const double fh = h * (0.22 + 0.06 * std::sin(t * 3.1 + i * 1.7));
            QRadialGradient g(QPointF(x, r.bottom()), fh);
            g.setColorAt(0, QColor(255, 220, 120, 170));
            g.setColorAt(0.5, QColor(255, 110, 20, 110));
            g.setColorAt(1, QColor(255, 60, 0, 0));
            p.fillRect(r, g);
        }
        break;
    }
    case VideoEffect::vhs: {
        const double band = r.top() + std::fmod(t * 0.18 * h, h * 1.2) - 0.1 * h;
        p.fillRect(QRectF(r.left(), band, w, 14 * u), QColor(255, 255, 255, 40));
        for (int i = 0; i < 4; ++i) {
            const double y = band + (i * 5 + 2) * u;
            p.fillRect(QRectF(r.left() + std::sin(t * 20 + i) * 8 * u, y, w, 1.2 * u), QColor(0, 255, 255, 50));
        }
        p.setFont(monoFont(16 * u));
        p.setPen(Qt::white);
        p.drawText(QPointF(r.left() + 14 * u, r.top() + 28 * u), QStringLiteral("PLAY \u25B6"));
        const QDateTime now = timeFromFrameTime(t);
        p.drawText(QPointF(r.left() + 14 * u, r.bottom() - 14 * u), now.toString(QStringLiteral("hh:mm AP  MMM dd yyyy")).toUpper());
        break;
    }
    case VideoEffect::thermal: {
        p.setFont(monoFont(11 * u));
        p.setPen(Qt::white);
        const double temp = 98.2 + std::sin(t * 0.7) * 0.8;
        p.drawText(QPointF(r.left() + 10 * u, r.top() + 20 * u), QStringLiteral("%1°F").arg(temp, 0, 'f', 1));
        QLinearGradient g(r.right() - 18 * u, r.top() + 30 * u, r.right() - 18 * u, r.bottom() - 30 * u);
        g.setColorAt(0, QColor(255, 255, 220));
        g.setColorAt(0.4, QColor(230, 40, 40));
        g.setColorAt(1, QColor(10, 0, 60));
        p.fillRect(QRectF(r.right() - 22 * u, r.top() + 30 * u, 8 * u, h - 60 * u), g);
        break;
    }
    case VideoEffect::snow: break;  // the flakes are the overlay
    case VideoEffect::anaglyph3D: {
        p.setFont(monoFont(12 * u));
        p.setPen(QColor(255, 255, 255, 160));
        p.drawText(QPointF(r.left() + 10 * u, r.bottom() - 10 * u), QStringLiteral("3D"));
        break;
    }
    case VideoEffect::nightOps: {
        QImage noise(64, 36, QImage::Format_ARGB32_Premultiplied);
        uint32_t seed = uint32_t(std::fmod(t * 24, 1e6)) * 2654435761u + 1;
        for (int y = 0; y < noise.height(); ++y) {
            auto* row = reinterpret_cast<QRgb*>(noise.scanLine(y));
            for (int x = 0; x < noise.width(); ++x) {
                seed = seed * 1664525u + 1013904223u;
                const int a = int(seed >> 26);
                row[x] = qPremultiply(qRgba(120, 255, 120, a));
            }
        }
        p.drawImage(r, noise);
        p.setPen(QPen(QColor(150, 255, 150, 200), 1.2 * u));
        const QPointF c = r.center();
        p.drawEllipse(c, 30 * u, 30 * u);
        p.drawLine(QPointF(c.x() - 45 * u, c.y()), QPointF(c.x() + 45 * u, c.y()));
        p.drawLine(QPointF(c.x(), c.y() - 45 * u), QPointF(c.x(), c.y() + 45 * u));
        vignette(p, r, 0.85);
        break;
    }
    case VideoEffect::cyberOps: {
        p.setPen(QPen(QColor(0, 255, 255, 60), 0.8 * u));
        const double off = std::fmod(t * 20 * u, 24 * u);
        for (double x = r.left() - off; x < r.right(); x += 24 * u) p.drawLine(QPointF(x, r.top()), QPointF(x, r.bottom()));
        for (double y = r.top() + off; y < r.bottom(); y += 24 * u) p.drawLine(QPointF(r.left(), y), QPointF(r.right(), y));
        p.setPen(QPen(QColor(0, 255, 255, 220), 2 * u));
        const QRectF face(r.center().x() - 60 * u, r.center().y() - 80 * u, 120 * u, 130 * u);
        const double l = 18 * u;
        for (auto [corner, dx, dy] : {std::tuple{face.topLeft(), 1, 1}, {face.topRight(), -1, 1},
                                      {face.bottomLeft(), 1, -1}, {face.bottomRight(), -1, -1}}) {
            p.drawLine(corner, corner + QPointF(dx * l, 0));
            p.drawLine(corner, corner + QPointF(0, dy * l));
        }
        p.setFont(monoFont(10 * u));
        p.drawText(QPointF(face.left(), face.bottom() + 14 * u),
                   QStringLiteral("ID MATCH %1%").arg(90 + int(std::fmod(t * 3, 10))));
        break;
    }
    case VideoEffect::cableAccess: {
        const QRectF bar(r.left(), r.top() + 10 * u, w * 0.55, 22 * u);
        p.fillRect(bar, QColor(20, 40, 140, 220));
        p.setFont(monoFont(13 * u));
        p.setPen(QColor(255, 230, 80));
        p.drawText(bar.adjusted(8 * u, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("LOCAL ACCESS CH. 3"));
        p.setPen(Qt::white);
        p.drawText(QRectF(r.right() - 110 * u, r.top() + 10 * u, 100 * u, 22 * u), Qt::AlignRight | Qt::AlignVCenter,
                   timeFromFrameTime(t).toString(QStringLiteral("HH:mm:ss")));
        break;
    }
    case VideoEffect::xray: {
        const double y = r.top() + (0.5 + 0.5 * std::sin(t * 1.4)) * h;
        QLinearGradient g(0, y - 20 * u, 0, y + 20 * u);
        g.setColorAt(0, QColor(150, 220, 255, 0));
        g.setColorAt(0.5, QColor(150, 220, 255, 110));
        g.setColorAt(1, QColor(150, 220, 255, 0));
        p.fillRect(QRectF(r.left(), y - 20 * u, w, 40 * u), g);
        break;
    }
    case VideoEffect::noir: {
        vignette(p, r, 0.8);
        QImage grain(80, 45, QImage::Format_ARGB32_Premultiplied);
        uint32_t seed = uint32_t(std::fmod(t * 24, 1e6)) * 2246822519u + 7;
        for (int yy = 0; yy < grain.height(); ++yy) {
            auto* row = reinterpret_cast<QRgb*>(grain.scanLine(yy));
            for (int x = 0; x < grain.width(); ++x) {
                seed = seed * 1664525u + 1013904223u;
                row[x] = qPremultiply(qRgba(255, 255, 255, int(seed >> 27)));
            }
        }
        p.drawImage(r, grain);
        break;
    }
    case VideoEffect::drunkMode: {
        // A swaying, doubled picture drawn over the plain one.
        const QImage base = mockBackground(r.size().toSize());
        p.setOpacity(0.45);
        p.translate(r.center());
        p.rotate(std::sin(t * 1.3) * 4.0);
        p.translate(-r.center() + QPointF(std::sin(t * 0.9) * 14 * u, std::cos(t * 1.1) * 6 * u));
        p.drawImage(r.topLeft(), base);
        break;
    }
    case VideoEffect::missionControl: {
        p.fillRect(QRectF(r.left(), r.top(), w, 26 * u), QColor(0, 0, 0, 150));
        p.setFont(monoFont(12 * u));
        p.setPen(QColor(120, 255, 160));
        const long long secs = (long long)std::floor(std::fmod(t, 86400.0));
        p.drawText(QRectF(r.left() + 10 * u, r.top(), w / 2, 26 * u), Qt::AlignVCenter | Qt::AlignLeft,
                   QString::asprintf("T+%02lld:%02lld:%02lld", (secs / 3600) % 24, (secs / 60) % 60, secs % 60));
        p.drawText(QRectF(r.left(), r.top(), w - 10 * u, 26 * u), Qt::AlignVCenter | Qt::AlignRight,
                   QStringLiteral("ALT %1 KM  VEL %2 KM/S")
                       .arg(408 + std::sin(t * 0.2) * 2, 0, 'f', 1)
                       .arg(7.66 + std::sin(t * 0.5) * 0.01, 0, 'f', 2));
        p.setPen(QPen(QColor(120, 255, 160, 160), 1 * u));
        const double cx = r.left() + 40 * u, cy = r.bottom() - 40 * u;
        p.drawEllipse(QPointF(cx, cy), 26 * u, 26 * u);
        p.drawLine(QPointF(cx, cy), QPointF(cx + std::cos(t * 2) * 26 * u, cy + std::sin(t * 2) * 26 * u));
        break;
    }
    case VideoEffect::dreamSequence: {
        QRadialGradient g(QPointF(r.center().x() + std::sin(t * 0.6) * 40 * u, r.center().y()), w * 0.7);
        g.setColorAt(0, QColor(255, 255, 255, 0));
        g.setColorAt(1, QColor(255, 240, 250, int(110 + 40 * std::sin(t * 1.2))));
        p.fillRect(r, g);
        break;
    }
    case VideoEffect::none: break;
    }
    p.restore();
}

void paintOverlays(QPainter& p, const QRectF& r, VideoEffect effect, double t) {
    if (effect != VideoEffect::snow && effect != VideoEffect::flame) return;
    p.save();
    p.translate(r.topLeft());
    p.setClipRect(QRectF(QPointF(0, 0), r.size()));
    if (effect == VideoEffect::snow) SnowflakesOverlay(t).paint(p, r.size());
    else FlameEmbersOverlay(t).paint(p, r.size());
    p.restore();
}

}  // namespace ostrela::preview
