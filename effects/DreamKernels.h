#pragma once
// Dream Sequence's per-pixel steps in wider forms that give the filters' own pixels.
#include "pipeline/engine/Image.h"

#include <array>
#include <vector>

namespace ostrela::effects::dream {

// filters::gammaAdjust's step (straight values to `power`, in linear light), two pixels at a
// time where the processor has eight-wide arithmetic; the same polynomials, the same results.
engine::PixelOpPtr wideGammaOp(float power);

// Steps 2–4 in one pass, eight pixels at a time (sixteen with 512-bit registers): the colour controls (saturation, brightness,
// contrast on encoded values), the gamma power on linear values and the hue rotation on encoded
// values. Between the two encoded steps the gamma is one curve of the clamped encoded value,
// decode → power → encode, read from a table. Null where the processor lacks AVX2 and FMA.
engine::PixelOpPtr gradeGammaHueOp(double saturation, double brightness, double contrast, double power,
                                   double hueAngle);

// A radial light as filters::radialGradient draws it (colours premultiplied linear), with a
// transparent outer colour so nothing beyond radius r1 is touched.
struct Light {
    double cx, cy, r0, r1;
    std::array<float, 4> inner, outer;
};
// `under` with each light screened over it in one pass; each light only over its bounding square.
engine::Image screenLights(const engine::Image& under, std::vector<Light> lights, const engine::Rect& extent);

}  // namespace ostrela::effects::dream
