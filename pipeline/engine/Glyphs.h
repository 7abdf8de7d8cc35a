#pragma once
// Text glyphs as a picture: each character is drawn once with the font and kept as coverage, and
// every frame that places glyphs composites the kept coverage straight into the tiles it renders.
// Placing a glyph then costs its few hundred pixels, not a frame-sized bitmap painted and decoded.
#include "pipeline/engine/Image.h"

#include <QChar>
#include <QFont>
#include <QImage>

#include <map>
#include <memory>
#include <vector>

namespace ostrela::engine {

// The coverage of one character, top row first, drawn with a margin around the text line.
struct GlyphCoverage {
    int w = 0, h = 0;
    int originX = 0;      // column of the text position's x
    int baselineRow = 0;  // row (top down) holding the baseline
    std::vector<float> coverage;
};

// Glyphs of one font at one pixel per point, drawn on first use and kept (a character set of a
// few dozen glyphs is a few kilobytes). Not shared between threads: glyphs are looked up while a
// frame's graph is built; the layers read the coverage from the render threads afterwards.
class GlyphCache {
public:
    explicit GlyphCache(QFont font);
    const GlyphCoverage& glyph(QChar c);
    int count() const { return int(glyphs_.size()); }

private:
    QFont font_;
    double ascent_ = 0, maxWidth_ = 0, height_ = 0;
    std::map<char16_t, std::unique_ptr<GlyphCoverage>> glyphs_;
};

// A transparent bitmap (at least 1 × 1) whose resolution reads as 72 dpi, so a font of n points is
// n pixels on it: pictures and text made with a painter are laid out one pixel per point.
QImage pointBitmap(int width, int height);

// One glyph on a layer: its baseline's left end, in pixels from the layer's top-left corner
// (top down), rounded to whole pixels; its colour is drawn at the glyph's coverage.
struct PlacedGlyph {
    QChar ch;
    double x = 0, baseline = 0;
    Color color;
};

// A transparent layer of extent (0, 0, width, height), its top row at the extent's top, with the
// glyphs composited in order, source over in linear light as every composite here. Glyphs that do
// not overlap get the pixels a painter drawing the text onto a transparent bitmap would give.
Image glyphLayer(const std::shared_ptr<GlyphCache>& cache, int width, int height, const std::vector<PlacedGlyph>& glyphs);

}  // namespace ostrela::engine
