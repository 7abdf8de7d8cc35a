#pragma once
// The colour-grade looks: Thermal, NightOps, X-Ray, Noir, 3D, Snow and CyberOps. Each is a fixed
// chain of standard filters over the fitted picture (extent E), cropped back to E; Snow adds two
// layers of falling noise flakes and CyberOps a drawn glyph rain.
//
// Where the chains are mended:
//  - Thermal blurs the picture with its edge pixels repeated outward; the bare picture's border
//    would blur into transparency and come out of the palette as a bright outline.
//  - Snow reads the noise's colour channels as an opaque picture, moves it by whole pixels and
//    stretches the thresholded values to full white. Taken literally, the threshold leaves at
//    most 0.0054 above black, a fractional move averages noise values below the threshold, and
//    the noise's random fourth channel as alpha lets half of all pixels through: no flakes at
//    all, or a veil.
//  - Glyph overlays are drawn at one pixel per point, so the 16.2-point glyphs fit the 18-pixel
//    pitch as on the original's bitmap contexts.
#include "effects/Effects.h"
#include "pipeline/engine/Glyphs.h"
#include "pipeline/engine/Image.h"

#include <memory>

#include <vector>

namespace ostrela::effects {

engine::Image renderThermal(const engine::Image& image);
engine::Image renderNightOps(const engine::Image& image);
engine::Image renderXray(const engine::Image& image);
engine::Image renderNoir(const engine::Image& image);
engine::Image renderAnaglyph3D(const engine::Image& image);
struct SnowSpecks;

// Snow keeps the specks it has found in the scrolling noise while it runs; they are let go when
// another look takes over.
class Snow final : public Effect {
public:
    Snow();
    ~Snow() override;
    engine::Image render(const engine::Image& image, const FrameContext& frame) override;
    void suspend() override;
    bool holdsSpecks() const { return specks_ != nullptr; }

private:
    std::unique_ptr<SnowSpecks> specks_;
};

// CyberOps keeps the glyphs it has drawn (42 at most, a few kilobytes).
class CyberOps final : public Effect {
public:
    CyberOps();
    ~CyberOps() override;
    engine::Image render(const engine::Image& image, const FrameContext& frame) override;
    int preparedGlyphs() const;

private:
    std::shared_ptr<engine::GlyphCache> glyphs_;
};

// One frame of each with nothing kept (the same picture, prepared from scratch).
engine::Image renderSnow(const engine::Image& image, double t);
engine::Image renderSnow(const engine::Image& image, double t, SnowSpecks& specks);
engine::Image renderCyberOps(const engine::Image& image, double t);

// Where Snow's two noise layers sit at time t over a picture `width` wide.
struct SnowOffsets {
    double ax, ay;  // fine flakes (layer A)
    double bx, by;  // large flakes (layer B)
};
SnowOffsets snowOffsets(double t, double width);

// One glyph of the rain. Bitmap coordinates, origin at the bottom left of the Wp × Hp overlay.
struct GlyphPlacement {
    int column = 0;
    int trail = 0;        // 0: the leading glyph, lowest on screen; larger ones lie above it
    double x = 0;         // text position, left edge
    double top = 0;       // measured downwards from the top edge
    double baselineY = 0; // text position, y up: Hp − top − 18
    int glyph = 0;        // index into the glyph table
    float green = 0;      // colour (0.1·g, g, 0.15·g) in sRGB components …
    float alpha = 0;      // … at this alpha
};

struct GlyphRainLayout {
    int width = 1, height = 1;  // Wp, Hp
    int columns = 1;
    std::vector<GlyphPlacement> glyphs;  // only the visible ones, column by column
};

inline constexpr double kGlyphPitch = 18;
inline constexpr int kGlyphTrail = 14;

GlyphRainLayout glyphRainLayout(double width, double height, double t);

// The rain as an image of extent (0, 0, Wp, Hp): the visible glyphs of the layout, each drawn
// once into `glyphs` and kept.
std::shared_ptr<engine::GlyphCache> glyphCache();
engine::Image glyphRain(double width, double height, double t);
engine::Image glyphRain(double width, double height, double t, const std::shared_ptr<engine::GlyphCache>& glyphs);

}  // namespace ostrela::effects
