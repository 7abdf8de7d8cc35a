#pragma once
// The effect step: the table of looks, the effect objects and their dispatch, the fit to the
// output frame and the shared building blocks. Coordinates are output pixels, origin bottom
// left, y up.
#include "effects/Kernels.h"
#include "pipeline/FrameClock.h"
#include "pipeline/Settings.h"
#include "pipeline/engine/Image.h"

#include <QFont>
#include <QString>

#include <array>
#include <memory>

namespace ostrela {

// The strip the lower-third bar takes at the bottom of the frame, worked out once per frame.
struct BarReservation {
    bool barEnabled = false;
    double barReserve = 0;  // 82.8, or 118.8 with the Google Meet safe area; 0 without the bar
    double barLift = 0;     // 36 or 0
    double topInset = 0;    // 36 with the Google Meet safe area, whatever the bar
};

}  // namespace ostrela

namespace ostrela::effects {

// What one frame gives the effect: its time and what was read from the settings for it, once.
struct FrameContext {
    double t = 0;  // seconds since 2001-01-01 UTC
    VideoEffect effect = VideoEffect::none;
    BarReservation bars;
};

// One look with whatever it keeps between frames (trails, echo, prepared noise, drawn glyphs).
// Each owner (a frame composer, a test) has its own objects, so two owners never share a frame's
// state. An object is used by one thread at a time.
class Effect {
public:
    virtual ~Effect() = default;
    // The look applied to the fitted picture; the result is cropped to the picture's extent.
    virtual engine::Image render(const engine::Image& image, const FrameContext& frame) = 0;
    // Another look took over: give back what can be made again. What the look needs to resume
    // where it left off (trails, echo) is kept.
    virtual void suspend() {}
};

struct EffectInfo {
    VideoEffect effect;
    const char* rawValue;
    const char* displayName;
    const char* symbol;       // picker symbol name
    bool usesTime;
    bool usesBarReserve;
    // A new object of the look; null for "none", which passes the picture through.
    std::unique_ptr<Effect> (*create)();
};

// In declaration order, which is also the picker's order.
const std::array<EffectInfo, 16>& effectTable();
const EffectInfo& effectInfo(VideoEffect effect);

// Aspect-fills the image over (0, 0, width, height), centred. Images already exactly that size
// (whatever their origin) and empty ones come back unchanged. Edge pixels are sampled clamped, so
// the scaled picture has no darkened rim; the result keeps the scaled extent.
engine::Image fitToOutput(const engine::Image& image, double width = 1280, double height = 720);

// The effect objects of one owner, made when a look is first asked for and kept, so trails and
// echo survive switching to another look and back.
class EffectSet {
public:
    EffectSet();
    ~EffectSet();
    EffectSet(const EffectSet&) = delete;
    EffectSet& operator=(const EffectSet&) = delete;

    // The dispatch. "none" returns the image itself. A look other than the last one asked for
    // suspends that one first.
    engine::Image apply(const engine::Image& image, const FrameContext& frame);
    // The object of a look, made if needed; null for "none".
    Effect* instance(VideoEffect effect);
    // The object if it has been made, else null.
    Effect* existing(VideoEffect effect) const;
    // Forgets a look's object and all it kept: its next frame starts as the first one.
    void reset(VideoEffect effect);

private:
    std::array<std::unique_ptr<Effect>, 16> effects_;
    VideoEffect last_ = VideoEffect::none;
};

// The same through a set, for callers that have only a time and a reservation.
engine::Image applyVideoEffect(EffectSet& set, VideoEffect effect, const engine::Image& image, double t, double barReserve);

// Sixteen thin dark lines scrolling upwards over a transparent frame-sized image.
engine::Image dropoutLines(double width, double height, double t);

// Fixed resources shared by every effect object, created once on first use and never changed.
class EffectResources {
public:
    static const EffectResources& shared();

    const QString dateFormat = QStringLiteral("MM/dd/yy");
    const QString timeFormat = QStringLiteral("HH:mm:ss");
    const QString cableTimeFormat = QStringLiteral("HH:mm:ss");
    // The glyph table, in order.
    static constexpr const char kGlyphs[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!@#$%&";
    static constexpr int kGlyphCount = 42;
    // Closest installed match to Menlo-Bold: DejaVu Sans Mono Bold, same point size.
    QFont glyphFont() const;

private:
    EffectResources() = default;
};

}  // namespace ostrela::effects
