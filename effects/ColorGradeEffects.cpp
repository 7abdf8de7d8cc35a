#include "effects/ColorGradeEffects.h"

#include "effects/Effects.h"
#include "effects/Kernels.h"
#include "pipeline/engine/Schedule.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Renderer.h"


#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

namespace ostrela::effects {

using engine::Color;
using engine::Image;
using engine::IRect;
using engine::Rect;
namespace filters = engine::filters;

namespace {

using Row = std::array<double, 4>;
constexpr Row kZeroRow{0, 0, 0, 0};
constexpr Row kIdR{1, 0, 0, 0}, kIdG{0, 1, 0, 0}, kIdB{0, 0, 1, 0}, kIdA{0, 0, 0, 1};

Image colorMatrix(const Image& in, const Row& r, const Row& g, const Row& b, const Row& a = kIdA) {
    return filters::colorMatrixWithBias(in, r, g, b, a, kZeroRow);
}

// The generator's colour channels taken as an opaque picture. Its fourth channel is an
// independent random value too; left as alpha, the tone step would divide by it and about half
// of all pixels would pass the flake threshold instead of the brightest few.
class OpaqueOp final : public engine::PixelOp {
public:
    void apply(float* p, int n) const override {
        for (int i = 0; i < n; ++i) p[4 * i + 3] = 1.0f;
    }
};

// The colour-free chains of the five looks, up to their first step that is not per pixel. Each
// starts by taking the colour out, so over camera pixels the engine reads it through a table of
// the luminance.
Image nightOpsTone(const Image& in) {
    return colorMatrix(filters::colorControls(in, 0.0, -0.05, 2.2), kIdR, kZeroRow, kZeroRow);
}
Image xrayTone(const Image& in) {
    Image out = filters::colorControls(in, 0.0, 0.0, 1.1);
    out = filters::colorInvert(out);
    out = filters::colorControls(out, 1.0, 0.03, 1.5);
    return filters::falseColor(out, Color::fromSRGB(0.01, 0.02, 0.07), Color::fromSRGB(0.78, 0.93, 1.0));
}
Image noirMono(const Image& in) { return filters::colorControls(in, 0.0, 0.02, 1.6); }
Image anaglyphLeft(const Image& in) {
    return colorMatrix(filters::colorControls(in, 0.0, 0.0, 1.1), kIdR, kZeroRow, kZeroRow);
}
Image anaglyphRight(const Image& in) {
    return colorMatrix(filters::colorControls(in, 0.0, 0.0, 1.1), kZeroRow, kIdG, kIdB);
}
Image cyberOpsGrade(const Image& in) {
    return filters::colorMonochrome(filters::colorControls(in, 0.0, -0.25, 1.1), Color::fromSRGB(0.05, 0.25, 0.08), 0.9);
}

// Snow's grade: colour controls at saturation 0.92, then a diagonal colour matrix.
Image snowGrade(const Image& in) {
    return colorMatrix(filters::colorControls(in, 0.92, 0.0, 1.0), {0.97, 0, 0, 0}, {0, 0.99, 0, 0}, {0, 0, 1.06, 0});
}

Image noirDarkEdges(const Image& edges) { return filters::colorControls(edges, 1.0, -0.4, 1.0); }
Image noirFalseColor(const Image& in) {
    return filters::falseColor(in, Color::fromSRGB(0.02, 0.02, 0.03), Color::fromSRGB(0.92, 0.93, 0.95));
}

}  // namespace

// ---- Thermal, NightOps, X-Ray, Noir, 3D ----

Image renderThermal(const Image& image) {
    const Rect e = image.extent();
    // Blurred with its edge pixels repeated outward: blurring the bare picture would fade its
    // border to transparent and the palette would draw a bright outline around the frame.
    const Image clamped = image.clampedToExtent();
    const Image blurred = clamped.softBlur(2.5).cropped(e);
    // The heat palette is compiled into the program, so it is never missing and the fallback to
    // the untouched input never applies. It is a resource made once (its table with it).
    static const engine::PixelOpPtr palette = std::make_shared<ThermalMapOp>();
    const Image mapped = blurred.pixelOp(palette);
    return filters::vignette(mapped, 1.4, 1.5).cropped(e);
}

Image renderNightOps(const Image& image) {
    const Rect e = image.extent();
    // Colour controls (saturation 0, contrast 2.2, brightness −0.05), then only red kept.
    Image out = nightOpsTone(image);
    out = filters::vignette(out, 1.6, 1.3);
    return out.cropped(e);
}

Image renderXray(const Image& image) {
    const Rect e = image.extent();
    // Grey, invert, contrast, navy-to-ice false colour.
    Image out = xrayTone(image);
    out = filters::bloom(out, 3.0, 0.28);
    out = filters::vignette(out, 1.2, 1.5);
    return out.cropped(e);
}

Image renderNoir(const Image& image) {
    const Rect e = image.extent();
    const Image mono = noirMono(image);
    const Image edges = filters::edges(mono, 2.0);
    Image out = noirFalseColor(filters::screenBlend(noirDarkEdges(edges), mono));
    // The chain's pixels once per frame for the bloom's several readers.
    out = filters::bloom(engine::computedOnce(out), 4.0, 0.35);
    out = filters::vignette(out, 1.1, 1.6);
    return out.cropped(e);
}

Image renderAnaglyph3D(const Image& image) {
    const Rect e = image.extent();
    // Each eye is the grey picture (saturation 0, contrast 1.1) through its own colour matrix.
    const Image left = anaglyphLeft(image).translated(-10, 0);
    const Image right = anaglyphRight(image).translated(10, 0);
    return filters::screenBlend(left, right).cropped(e);
}

// ---- Snow ----

SnowOffsets snowOffsets(double t, double width) {
    return {std::sin(0.6 * t) * 0.01 * width, -std::fmod(95.0 * t, 10000.0),
            std::sin(0.35 * t + 5531.0) * 0.035 * width, -(std::fmod(45.0 * t, 10000.0) + 5531.0)};
}

namespace {

// One flake layer's threshold: the noise read opaque, colour controls (contrast, brightness),
// then stretched so the brightest noise value becomes white. The threshold leaves the brightest
// values only a few thousandths above black (9 − 8.9946 at most), which would not show.
Image flakeTone(const Image& noise, double contrast, double brightness) {
    Image layer = noise.pixelOp(std::make_shared<OpaqueOp>());
    layer = filters::colorControls(layer, 1.0, brightness, contrast);
    const double gain = 1.0 / (0.5 * contrast + 0.5 + brightness);
    return filters::colorControls(layer, 1.0, 0.5 * gain - 0.5, gain);
}

// One layer: the noise moved, cropped to E, thresholded, blurred and cropped. The thresholded
// noise is a fixed pattern that only moves by whole pixels, and keeps about one value in 1700:
// it is kept from frame to frame in `kept`, and the blur spreads its few surviving pixels.
Image flakeLayer(const Rect& e, int dx, int dy, double contrast, double brightness, double sigma,
                 const std::shared_ptr<engine::KeptPattern>& kept) {
    const Image noise = filters::randomNoise();
    if (noise.isNull()) return Image::empty();
    const Image pattern = engine::keptPattern(flakeTone(noise, contrast, brightness), kept);
    return pattern.translated(dx, dy).cropped(e).gaussianBlur(sigma).cropped(e);
}

// False colour (transparent black to ice white) and 60 % alpha, the flakes' colouring.
Image colourFlakes(const Image& flakes) {
    Image out = filters::falseColor(flakes, Color::fromSRGB(0, 0, 0, 0), Color::fromSRGB(0.9, 0.95, 1.0, 1.0));
    return colorMatrix(out, kIdR, kIdG, kIdB, {0, 0, 0, 0.6});
}

}  // namespace

// The two thresholded noise patterns seen so far, block by block as the layers scroll over them.
struct SnowSpecks {
    std::shared_ptr<engine::KeptPattern> fine = engine::keptPatternStore(), large = engine::keptPatternStore();
};

Snow::Snow() = default;
Snow::~Snow() = default;
void Snow::suspend() { specks_.reset(); }

Image Snow::render(const Image& image, const FrameContext& frame) {
    if (!specks_) specks_ = std::make_unique<SnowSpecks>();
    return renderSnow(image, frame.t, *specks_);
}

Image renderSnow(const Image& image, double t) {
    SnowSpecks specks;
    return renderSnow(image, t, specks);
}

Image renderSnow(const Image& image, double t, SnowSpecks& specks) {
    const Rect e = image.extent();
    const Image graded = snowGrade(image);

    // The layers move by whole pixels: a fractional shift would average neighbouring noise
    // values, and an average of two or four of them almost never reaches the threshold, so the
    // flakes would come and go with the fraction of the offset from frame to frame.
    const SnowOffsets o = snowOffsets(t, e.w);
    const int ax = int(std::lround(o.ax)), ay = int(std::lround(o.ay));
    const int bx = int(std::lround(o.bx)), by = int(std::lround(o.by));
    const Image fine = flakeLayer(e, ax, ay, 9.0, -4.994599999999999, 0.4, specks.fine);
    const Image large = flakeLayer(e, bx, by, 8.0, -4.4988, 1.2, specks.large);
    const Image flakes = colourFlakes(filters::screenBlend(large, fine));
    return filters::screenBlend(flakes, graded).cropped(e);
}

// ---- CyberOps and its glyph rain ----

GlyphRainLayout glyphRainLayout(double width, double height, double t) {
    GlyphRainLayout l;
    l.width = std::max(1, int(std::lround(std::isfinite(width) ? width : 1)));
    l.height = std::max(1, int(std::lround(std::isfinite(height) ? height : 1)));
    l.columns = std::max(1, int(std::trunc(width / kGlyphPitch)));
    const double hp = l.height;
    const double cycle = hp + 252.0;
    const double step = std::floor(4.0 * t);
    l.glyphs.reserve(size_t(l.columns) * 4);
    for (int c = 0; c < l.columns; ++c) {
        const double a = c * 12.9898;
        const double speed = std::fmod(a, 140.0) + 80.0;
        const double head = std::fmod(std::fmod(a, 1000.0) + speed * t, cycle) - 252.0;
        const double phase = c * 7.31;
        // The leading glyph (r = 0) is the lowest and leads the fall; the trail fades above it.
        // The 14 cells stay where they were (head is the top of the highest), so the column
        // still enters at the top and leaves at the bottom whole.
        for (int r = 0; r < kGlyphTrail; ++r) {
            const double top = (kGlyphTrail - 1 - r) * kGlyphPitch + head;
            if (!(top >= 0 && top < hp)) continue;
            GlyphPlacement g;
            g.column = c;
            g.trail = r;
            g.x = c * kGlyphPitch;
            g.top = top;
            g.baselineY = hp - top - kGlyphPitch;
            if (r == 0) {
                g.green = 1.0f;
                g.alpha = 1.0f;
            } else {
                const double f = 1.0 - r / 14.0;
                g.green = float(f * 0.5);
                g.alpha = float(f * f);
            }
            g.glyph = int(std::trunc(std::abs(std::fmod(r * 3.7 + phase + step, 42.0))));
            g.glyph = std::clamp(g.glyph, 0, EffectResources::kGlyphCount - 1);
            l.glyphs.push_back(g);
        }
    }
    return l;
}

std::shared_ptr<engine::GlyphCache> glyphCache() {
    return std::make_shared<engine::GlyphCache>(EffectResources::shared().glyphFont());
}

Image glyphRain(double width, double height, double t) { return glyphRain(width, height, t, glyphCache()); }

Image glyphRain(double width, double height, double t, const std::shared_ptr<engine::GlyphCache>& glyphs) {
    const GlyphRainLayout l = glyphRainLayout(width, height, t);
    std::vector<engine::PlacedGlyph> placed;
    placed.reserve(l.glyphs.size());
    for (const GlyphPlacement& g : l.glyphs)
        // The layout's y runs up from the bottom; the layer's runs down from the top.
        placed.push_back({QChar(EffectResources::kGlyphs[g.glyph]), g.x, l.height - g.baselineY,
                          Color::fromSRGB(0.1 * g.green, g.green, 0.15 * g.green, g.alpha)});
    return engine::glyphLayer(glyphs, l.width, l.height, placed);
}

CyberOps::CyberOps() : glyphs_(glyphCache()) {}
CyberOps::~CyberOps() = default;

int CyberOps::preparedGlyphs() const { return glyphs_->count(); }

Image CyberOps::render(const Image& image, const FrameContext& frame) {
    const double t = frame.t;
    const Rect e = image.extent();
    const Image graded = cyberOpsGrade(image);
    const Image rain = glyphRain(e.w, e.h, t, glyphs_);
    return filters::screenBlend(rain, graded).cropped(e);
}

Image renderCyberOps(const Image& image, double t) {
    CyberOps look;
    return look.render(image, FrameContext{t, VideoEffect::none, {}});
}

}  // namespace ostrela::effects
