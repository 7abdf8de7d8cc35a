#pragma once
// The effect step: the table of looks, the dispatch, the fit to the output frame and the shared
// building blocks. Coordinates are output pixels, origin bottom left, y up.
#include "effects/Kernels.h"
#include "pipeline/Settings.h"
#include "pipeline/engine/Image.h"

#include <QFont>
#include <QStaticText>
#include <QString>

#include <array>
#include <map>
#include <memory>

namespace ostrela::effects {

struct EffectInfo {
    VideoEffect effect;
    const char* rawValue;
    const char* displayName;
    const char* symbol;       // picker symbol name
    bool usesTime;
    bool usesBarReserve;
};

// In declaration order, which is also the picker's order.
const std::array<EffectInfo, 16>& effectTable();
const EffectInfo& effectInfo(VideoEffect effect);

// Seconds since 2001-01-01 00:00:00 UTC, the clock every animation is a function of.
inline constexpr double kReferenceDateUnixSeconds = 978307200.0;
double frameTimeNow();
double frameTimeFromUnix(double unixSeconds);

// Aspect-fills the image over (0, 0, width, height), centred. Images already exactly that size
// (whatever their origin) and empty ones come back unchanged. Edge pixels are sampled clamped, so
// the scaled picture has no darkened rim; the result keeps the scaled extent.
engine::Image fitToOutput(const engine::Image& image, double width = 1280, double height = 720);

// The dispatch. "none" returns the image itself; looks not built yet return it unchanged too.
engine::Image applyVideoEffect(VideoEffect effect, const engine::Image& image, double t, double barReserve);

// Sixteen thin dark lines scrolling upwards over a transparent frame-sized image.
engine::Image dropoutLines(double width, double height, double t);

// Process-wide resources, created once on first use and kept.
class EffectResources {
public:
    static EffectResources& shared();

    const QString dateFormat = QStringLiteral("MM/dd/yy");
    const QString timeFormat = QStringLiteral("HH:mm:ss");
    const QString cableTimeFormat = QStringLiteral("HH:mm:ss");
    // The glyph table, in order.
    static constexpr const char kGlyphs[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!@#$%&";
    static constexpr int kGlyphCount = 42;
    // Closest installed match to Menlo-Bold: DejaVu Sans Mono Bold, same point size.
    QFont glyphFont() const;
    // Prepared single-line layout of one glyph; filled lazily, never evicted. Not thread-safe:
    // effect steps run one at a time.
    const QStaticText& glyphLine(QChar glyph);
    int cachedGlyphCount() const { return int(glyphLines_.size()); }

private:
    EffectResources() = default;
    std::map<char16_t, QStaticText> glyphLines_;
};

}  // namespace ostrela::effects
