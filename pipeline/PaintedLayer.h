#pragma once
// Painted bitmaps that stay the same for many frames (a rendered card, the bar, a ticker strip),
// decoded once into the engine's working format. Compositing one is then a single pass over its
// pixels: no decode per frame, no copy, and a horizontal offset of a fraction of a pixel is one
// linear blend of two neighbours, as a bilinear translation would give.
#include "pipeline/engine/Image.h"

#include <QImage>

#include <vector>

namespace ostrela {

// `bitmap` (any format; premultiplied ARGB32 is taken as it is) with its bottom left corner at
// (x, y), y up. Empty for a null bitmap.
engine::Image paintedLayer(const QImage& bitmap, int x = 0, int y = 0);
// Pixels already in the working format (linear premultiplied RGBA floats, bottom row first, as the
// renderer's renderFloat gives them) covering `bounds`, cut to the part that is not transparent.
// Faint tails of blurs keep their precision, which eight bits of alpha would lose in the darks.
engine::Image paintedLayer(const std::vector<float>& rgba, const engine::IRect& bounds);

// `layer` moved right by dx (any real number) and composited source-over `background`. Fast for
// painted layers; other images fall back to a translation and a composite.
engine::Image placeOver(const engine::Image& layer, double dx, const engine::Image& background);

}  // namespace ostrela
