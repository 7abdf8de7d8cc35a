#pragma once
// Noir's line drawing in one pass over its grey picture.
#include "pipeline/engine/Image.h"

namespace ostrela::effects::noir {

// For a picture whose red, green and blue are equal: the picture's Sobel edges (as
// filters::edges(grey, intensity) computes them) toned by `edgeTone`, screened over the picture,
// then toned by `finish`. The edges are found from one channel instead of four, and the picture
// is read once per tile for both the edges and the screen.
engine::Image linesOverGrey(const engine::Image& grey, double intensity, engine::PixelOpPtr edgeTone,
                            engine::PixelOpPtr finish);

// filters::vignette(filters::bloom(picture, radius, intensity), vignette, vignetteRadius) with
// alphas within 1e-5 of one made one, in one pass; a computedOnce picture is read from its bands.
engine::Image bloomAndVignette(const engine::Image& picture, double radius, double intensity, double vignette,
                               double vignetteRadius);

}  // namespace ostrela::effects::noir
