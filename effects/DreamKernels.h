#pragma once
// Dream Sequence's per-pixel steps in wider forms that give the filters' own pixels.
#include "pipeline/engine/Image.h"

#include <array>
#include <memory>
#include <vector>

namespace ostrela::effects::dream {

// filters::gammaAdjust's step (straight values to `power`, in linear light), two pixels at a
// time where the processor has eight-wide arithmetic; the same polynomials, the same results.
engine::PixelOpPtr wideGammaOp(float power);

// The gamma step as one curve of the clamped encoded value (decode → power → encode), baked for
// one power: a table, and a cubic fitted per segment. Making one takes a few milliseconds, so a
// look keeps its own from frame to frame.
class GradeCurve;
std::shared_ptr<const GradeCurve> bakeGradeCurve(double power);

// Steps 2–4 in one pass, a register of pixels at a time: the colour controls (saturation,
// brightness, contrast on encoded values), the gamma power on linear values (the curve) and the
// hue rotation on encoded values.
engine::PixelOpPtr gradeGammaHueOp(double saturation, double brightness, double contrast,
                                   std::shared_ptr<const GradeCurve> curve, double hueAngle);
// The same with a curve baked for this op alone.
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
