#pragma once
// Painted bitmaps that stay the same for many frames (a rendered card, the bar, a ticker strip),
// decoded once into the engine's working format. Compositing one is then a single pass over its
// pixels: no decode per frame, no copy, and a horizontal offset of a fraction of a pixel is one
// linear blend of two neighbours, as a bilinear translation would give.
#include "pipeline/engine/Image.h"

#include <QImage>

namespace ostrela {

// `bitmap` (any format; premultiplied ARGB32 is taken as it is) with its bottom left corner at
// (x, y), y up. Empty for a null bitmap.
engine::Image paintedLayer(const QImage& bitmap, int x = 0, int y = 0);

// `layer` moved right by dx (any real number) and composited source-over `background`. Fast for
// painted layers; other images fall back to a translation and a composite.
engine::Image placeOver(const engine::Image& layer, double dx, const engine::Image& background);

}  // namespace ostrela
