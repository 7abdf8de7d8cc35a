#include "effects/SurveillanceEffects.h"

#include "effects/Effects.h"
#include "effects/RetroEffects.h"
#include "pipeline/engine/Filters.h"

#include <QDateTime>
#include <QFontMetricsF>
#include <QPainterPath>

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

// The two readouts change once a second; a frame reuses the bitmap of its second.
class ReadoutCache {
public:
    template <typename Make>
    Image get(const QString& key, Make make) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& e : entries_)
            if (e.first == key) return e.second;
        Image im = make();
        if (entries_.size() >= 4) entries_.erase(entries_.begin());
        entries_.emplace_back(key, im);
        return im;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<QString, Image>> entries_;
};

ReadoutCache& readoutCache() {
    static ReadoutCache* c = new ReadoutCache();  // kept for the life of the process
    return *c;
}

// Width of a line of text in a 72-dpi font.
double textWidth(const QFont& font, const QString& text) {
    QImage probe(1, 1, QImage::Format_ARGB32_Premultiplied);
    probe.setDotsPerMeterX(2835);
    probe.setDotsPerMeterY(2835);
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

Image cameraReadout(double w, double h, const QString& dateText, const QString& timeText, bool recOn) {
    const QString key = QStringLiteral("cam %1x%2 %3 %4 %5").arg(w).arg(h).arg(dateText, timeText).arg(recOn);
    return readoutCache().get(key, [&]() -> Image {
        const int wp = roundedSize(w), hp = roundedSize(h);
        const CameraReadoutLayout L = cameraReadoutLayout(w, h);
        const QFont font = draw::menloBold(L.fontSize);
        const double d = L.dotDiameter();
        double width = std::max({textWidth(font, QStringLiteral("CAM 01")), d + 8 + textWidth(font, QStringLiteral("REC")),
                                 textWidth(font, dateText), textWidth(font, timeText)});
        const int pad = int(std::ceil(0.5 * L.fontSize)) + 8;
        const int x1 = int(std::ceil(L.margin + width)) + pad;
        const int y0 = int(std::floor(L.baseline(4) - 0.4 * L.fontSize)) - pad;
        draw::Surface s = draw::surface(wp, hp, 0, y0, x1, hp - y0);
        const QColor text = QColor::fromRgbF(0.8f, 0.95f, 0.85f);
        auto line = [&](double x, double baseline, const QString& str) {
            draw::withShadow(s, 1.5, -1.5, 3, 0.85, [&](QPainter& p) {
                p.setFont(font);
                p.setPen(text);
                p.drawText(s.at(x, baseline), str);
            });
        };
        line(L.margin, L.baseline(1), QStringLiteral("CAM 01"));
        if (recOn) {
            if (!s.image.isNull()) {
                QPainter p(&s.image);
                p.setRenderHint(QPainter::Antialiasing, true);
                p.setPen(Qt::NoPen);
                p.setBrush(QColor::fromRgbF(1.0f, 0.15f, 0.15f));
                p.drawEllipse(s.rect(L.margin, L.dotY(), d, d));
            }
            line(L.margin + d + 8, L.baseline(2), QStringLiteral("REC"));
        }
        line(L.margin, L.baseline(3), dateText);
        line(L.margin, L.baseline(4), timeText);
        return draw::place(s, {0, 0, w, h});
    });
}

Image stationReadout(double w, double h, double t) {
    const QString timeText = cableTimeText(t);
    const bool dot = blinkOn(t);
    const QString key = QStringLiteral("station %1x%2 %3 %4").arg(w).arg(h).arg(timeText).arg(dot);
    return readoutCache().get(key, [&]() -> Image {
        const int wp = roundedSize(w), hp = roundedSize(h);
        const double f = 0.062 * h, gap = 1.3 * f, margin = 0.0125 * w, top = hp - margin;
        const QFont font = draw::impact(f);
        const QString line1 = QString::fromUtf8("CH 3 \u2022 LOCAL ACCESS");
        const QString line2 = QStringLiteral("LIVE ") + timeText;
        const double width = std::max(textWidth(font, line1), 0.75 * f + textWidth(font, line2));
        const int pad = int(std::ceil(0.5 * f)) + 4;
        const int x1 = int(std::ceil(margin + width)) + pad;
        const int y0 = int(std::floor(top - 2 * gap - 0.4 * f)) - pad;
        draw::Surface s = draw::surface(wp, hp, 0, y0, x1, hp - y0);
        if (s.image.isNull()) return Image::empty();
        {
            QPainter p(&s.image);
            p.setRenderHint(QPainter::Antialiasing, true);
            const QColor yellow = QColor::fromRgbF(1.0f, 0.86f, 0.0f);
            // Fill then stroke: the outline is drawn over the fill.
            auto outlined = [&](double x, double baseline, const QString& str) {
                QPainterPath path;
                path.addText(s.at(x, baseline), font, str);
                p.setBrush(yellow);
                p.setPen(QPen(Qt::black, 0.09 * f));
                p.drawPath(path);
            };
            outlined(margin, top - gap, line1);
            if (dot) {
                p.setPen(Qt::NoPen);
                p.setBrush(yellow);
                p.drawEllipse(s.rect(margin, top - 2 * gap + 0.18 * f, 0.4 * f, 0.4 * f));
            }
            outlined(margin + 0.75 * f, top - 2 * gap, line2);
        }
        return draw::place(s, {0, 0, w, h});
    });
}

Image renderSecurityCam(const Image& image, double t) {
    const Rect E = image.extent();
    if (image.isNull() || E.isEmpty() || E.isInfinite()) return image;
    const Rect F = layoutFrame(E);
    Image img = filters::colorControls(image, 0.15, -0.03, 1.05);
    img = filters::colorMonochrome(img, Color::fromSRGB(0.55, 0.78, 0.82), 0.6);
    img = filters::vignette(img, 1.8, 1.3);
    const Image readout = cameraReadout(F.w, F.h, securityDateText(t), securityTimeText(t), blinkOn(t));
    img = readout.translated(std::floor(F.x), std::floor(F.y)).composited(img);
    return img.cropped(E);
}

Image renderCableAccess(const Image& image, double t) {
    const Rect E = image.extent();
    if (image.isNull() || E.isEmpty() || E.isInfinite()) return image;
    const Rect F = layoutFrame(E);
    // Zoom 6 % about the centre of E.
    const Rect S = engine::Affine::scale(1.06, 1.06).mapRect(E);
    Image img = image.transformed(engine::Affine::scale(1.06, 1.06)
                                      .then(engine::Affine::translation((E.x + E.w / 2) - (S.x + S.w / 2), (E.y + E.h / 2) - (S.y + S.h / 2))));
    img = filters::colorControls(img, 0.6, 0.05, 0.75);
    img = filters::vignette(img, 1.1, 1.6);
    img = stationReadout(F.w, F.h, t).translated(std::floor(F.x), std::floor(F.y)).composited(img);
    img = img.gaussianBlur(0.9).cropped(E);
    img = compositeGrain(img, E, 0.11f);
    img = shadeDropoutLines(img, F, t);
    return img.cropped(E);
}

}  // namespace ostrela::effects
