#include "effects/Effects.h"

#include "effects/ColorGradeEffects.h"
#include "effects/DreamEffect.h"
#include "effects/DrunkEffect.h"
#include "effects/FlameEffect.h"
#include "effects/MissionControlEffect.h"
#include "effects/RetroEffects.h"
#include "effects/SurveillanceEffects.h"

#include <QDateTime>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace ostrela::effects {

using engine::Image;
using engine::Rect;

const std::array<EffectInfo, 16>& effectTable() {
    static const std::array<EffectInfo, 16> table{{
        {VideoEffect::none, "none", "None", "circle.slash", false, false},
        {VideoEffect::oldTV, "oldTV", "Old TV", "tv", true, false},
        {VideoEffect::securityCam, "securityCam", "Security Cam", "video.circle", true, false},
        {VideoEffect::flame, "flame", "Flame", "flame.fill", true, false},
        {VideoEffect::vhs, "vhs", "VHS", "recordingtape", true, false},
        {VideoEffect::thermal, "thermal", "Thermal", "thermometer.medium", false, false},
        {VideoEffect::snow, "snow", "Snow", "snowflake", true, false},
        {VideoEffect::anaglyph3D, "anaglyph3D", "3D", "eyeglasses", false, false},
        {VideoEffect::nightOps, "nightOps", "NightOps", "target", false, false},
        {VideoEffect::cyberOps, "cyberOps", "CyberOps", "cloud.rain.fill", true, false},
        {VideoEffect::cableAccess, "cableAccess", "Local Cable", "antenna.radiowaves.left.and.right", true, false},
        {VideoEffect::xray, "xray", "X-Ray", "bone.fill", false, false},
        {VideoEffect::noir, "noir", "Noir", "film", false, false},
        {VideoEffect::drunkMode, "drunkMode", "Drunk Mode", "wineglass.fill", true, false},
        {VideoEffect::missionControl, "missionControl", "Mission Control", "viewfinder", true, true},
        {VideoEffect::dreamSequence, "dreamSequence", "Dream Sequence", "moon.stars.fill", true, false},
    }};
    return table;
}

const EffectInfo& effectInfo(VideoEffect effect) {
    size_t i = size_t(effect);
    return effectTable()[i < effectTable().size() ? i : 0];
}

double frameTimeFromUnix(double unixSeconds) { return unixSeconds - kReferenceDateUnixSeconds; }

double frameTimeNow() { return frameTimeFromUnix(double(QDateTime::currentMSecsSinceEpoch()) / 1000.0); }

Image fitToOutput(const Image& image, double width, double height) {
    const Rect e = image.extent();
    if (!(e.w > 0) || !(e.h > 0) || e.isInfinite()) return image;
    if (e.w == width && e.h == height) return image;
    const double s = std::max(width / e.w, height / e.h);
    const double ws = e.w * s, hs = e.h * s, xs = e.x * s, ys = e.y * s;
    engine::Affine t = engine::Affine::scale(s, s).then(
        engine::Affine::translation(-((ws - width) * 0.5 + xs), -((hs - height) * 0.5 + ys)));
    const Rect fitted = t.mapRect(e);
    return image.clampedToExtent().transformed(t).cropped(fitted);
}

Image applyVideoEffect(VideoEffect effect, const Image& image, double t, double barReserve) {
    switch (effect) {
    case VideoEffect::none:
        return image;
    case VideoEffect::thermal: return renderThermal(image);
    case VideoEffect::snow: return renderSnow(image, t);
    case VideoEffect::anaglyph3D: return renderAnaglyph3D(image);
    case VideoEffect::nightOps: return renderNightOps(image);
    case VideoEffect::cyberOps: return renderCyberOps(image, t);
    case VideoEffect::xray: return renderXray(image);
    case VideoEffect::noir: return renderNoir(image);
    case VideoEffect::oldTV: return renderOldTV(image, t);
    case VideoEffect::securityCam: return renderSecurityCam(image, t);
    case VideoEffect::vhs: return renderVHS(image, t);
    case VideoEffect::cableAccess: return renderCableAccess(image, t);
    case VideoEffect::flame: return renderFlame(image, t);
    case VideoEffect::drunkMode: return renderDrunkMode(image, t);
    case VideoEffect::missionControl: return renderMissionControl(image, t, barReserve);
    case VideoEffect::dreamSequence: return renderDreamSequence(image, t);
    }
    return image;
}

Image dropoutLines(double width, double height, double t) {
    const int wp = std::max(1, int(std::lround(std::isfinite(width) ? width : 1)));
    const int hp = std::max(1, int(std::lround(std::isfinite(height) ? height : 1)));
    QImage bitmap(wp, hp, QImage::Format_ARGB32_Premultiplied);
    if (bitmap.isNull()) return Image::empty();
    bitmap.fill(Qt::transparent);
    {
        QPainter p(&bitmap);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setPen(Qt::NoPen);
        for (int i = 0; i < 16; ++i) {
            const double x = i * 37.13;
            double y = std::fmod((std::fmod(x, 60.0) + 25.0) * t + x * 13.7, double(hp));
            if (y < 0) y += hp;
            const double thickness = std::trunc(std::fmod(x, 3.0)) + 1.0;
            const double alpha = (std::sin(x) * 0.5 + 0.5) * 0.1 + 0.05;
            // The bitmap is addressed y-up: row y from the bottom is hp − y − thickness from the top.
            p.fillRect(QRectF(0, hp - y - thickness, wp, thickness), QColor::fromRgbF(0, 0, 0, float(alpha)));
        }
    }
    return Image::fromQImage(bitmap);
}

EffectResources& EffectResources::shared() {
    static EffectResources* r = new EffectResources();  // kept for the life of the process
    return *r;
}

QFont EffectResources::glyphFont() const {
    QFont f(QStringLiteral("DejaVu Sans Mono"));
    f.setBold(true);
    f.setPointSizeF(16.2);
    return f;
}

const QStaticText& EffectResources::glyphLine(QChar glyph) {
    auto it = glyphLines_.find(glyph.unicode());
    if (it != glyphLines_.end()) return it->second;
    QStaticText text{QString(glyph)};
    text.setTextFormat(Qt::PlainText);
    text.prepare(QTransform(), glyphFont());
    return glyphLines_.emplace(glyph.unicode(), std::move(text)).first->second;
}

}  // namespace ostrela::effects
