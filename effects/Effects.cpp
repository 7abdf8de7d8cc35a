#include "effects/Effects.h"

#include "effects/ColorGradeEffects.h"
#include "effects/DreamEffect.h"
#include "effects/DrunkEffect.h"
#include "effects/FlameEffect.h"
#include "pipeline/engine/Schedule.h"
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

namespace {

// A look that keeps nothing between frames.
template <Image (*Render)(const Image&, const FrameContext&)>
class StatelessEffect final : public Effect {
public:
    Image render(const Image& image, const FrameContext& frame) override { return Render(image, frame); }
};

template <Image (*Render)(const Image&, const FrameContext&)>
std::unique_ptr<Effect> makeStateless() {
    return std::make_unique<StatelessEffect<Render>>();
}

template <class Look>
std::unique_ptr<Effect> make() {
    return std::make_unique<Look>();
}

Image thermal(const Image& i, const FrameContext&) { return renderThermal(i); }
Image anaglyph3D(const Image& i, const FrameContext&) { return renderAnaglyph3D(i); }
Image nightOps(const Image& i, const FrameContext&) { return renderNightOps(i); }
Image xray(const Image& i, const FrameContext&) { return renderXray(i); }
Image noir(const Image& i, const FrameContext&) { return renderNoir(i); }
Image missionControl(const Image& i, const FrameContext& f) { return renderMissionControl(i, f.t, f.bars.barReserve); }

}  // namespace

const std::array<EffectInfo, 16>& effectTable() {
    static const std::array<EffectInfo, 16> table{{
        {VideoEffect::none, "none", "None", "circle.slash", false, false, nullptr},
        {VideoEffect::oldTV, "oldTV", "Old TV", "tv", true, false, make<ReadoutLook<renderOldTV>>},
        {VideoEffect::securityCam, "securityCam", "Security Cam", "video.circle", true, false, make<ReadoutLook<renderSecurityCam>>},
        {VideoEffect::flame, "flame", "Flame", "flame.fill", true, false, make<Flame>},
        {VideoEffect::vhs, "vhs", "VHS", "recordingtape", true, false, make<ReadoutLook<renderVHS>>},
        {VideoEffect::thermal, "thermal", "Thermal", "thermometer.medium", false, false, makeStateless<thermal>},
        {VideoEffect::snow, "snow", "Snow", "snowflake", true, false, make<Snow>},
        {VideoEffect::anaglyph3D, "anaglyph3D", "3D", "eyeglasses", false, false, makeStateless<anaglyph3D>},
        {VideoEffect::nightOps, "nightOps", "NightOps", "target", false, false, makeStateless<nightOps>},
        {VideoEffect::cyberOps, "cyberOps", "CyberOps", "cloud.rain.fill", true, false, make<CyberOps>},
        {VideoEffect::cableAccess, "cableAccess", "Local Cable", "antenna.radiowaves.left.and.right", true, false,
         make<ReadoutLook<renderCableAccess>>},
        {VideoEffect::xray, "xray", "X-Ray", "bone.fill", false, false, makeStateless<xray>},
        {VideoEffect::noir, "noir", "Noir", "film", false, false, makeStateless<noir>},
        {VideoEffect::drunkMode, "drunkMode", "Drunk Mode", "wineglass.fill", true, false, make<DrunkMode>},
        {VideoEffect::missionControl, "missionControl", "Mission Control", "viewfinder", true, true,
         makeStateless<missionControl>},
        {VideoEffect::dreamSequence, "dreamSequence", "Dream Sequence", "moon.stars.fill", true, false, make<DreamSequence>},
    }};
    return table;
}

const EffectInfo& effectInfo(VideoEffect effect) {
    size_t i = size_t(effect);
    return effectTable()[i < effectTable().size() ? i : 0];
}

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

EffectSet::EffectSet() = default;
EffectSet::~EffectSet() = default;

Effect* EffectSet::existing(VideoEffect effect) const {
    const size_t i = size_t(effect);
    return i < effects_.size() ? effects_[i].get() : nullptr;
}

Effect* EffectSet::instance(VideoEffect effect) {
    const size_t i = size_t(effect);
    if (i >= effects_.size()) return nullptr;
    if (!effects_[i]) {
        const EffectInfo& info = effectTable()[i];
        if (info.create) effects_[i] = info.create();
    }
    return effects_[i].get();
}

void EffectSet::reset(VideoEffect effect) {
    const size_t i = size_t(effect);
    if (i < effects_.size()) effects_[i].reset();
}

Image EffectSet::apply(const Image& image, const FrameContext& frame) {
    if (frame.effect != last_) {
        if (Effect* previous = existing(last_)) previous->suspend();
        // What the previous look's frames left in the shared pools goes back too.
        engine::releaseIdlePixels();
        engine::releaseIdleBands();
        engine::returnFreePages();
        last_ = frame.effect;
    }
    Effect* effect = instance(frame.effect);
    return effect ? effect->render(image, frame) : image;
}

Image applyVideoEffect(EffectSet& set, VideoEffect effect, const Image& image, double t, double barReserve) {
    FrameContext frame;
    frame.t = t;
    frame.effect = effect;
    frame.bars.barReserve = barReserve;
    frame.bars.barEnabled = barReserve > 0;
    return set.apply(image, frame);
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

const EffectResources& EffectResources::shared() {
    static const EffectResources* r = new EffectResources();  // kept for the life of the process
    return *r;
}

QFont EffectResources::glyphFont() const {
    QFont f(QStringLiteral("DejaVu Sans Mono"));
    f.setBold(true);
    f.setPointSizeF(16.2);
    return f;
}

}  // namespace ostrela::effects
