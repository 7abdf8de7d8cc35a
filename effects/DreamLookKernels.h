#pragma once
// Dream Sequence's grade and lights, written once with Highway and dispatched to the best vector
// target (see pipeline/engine/SimdTargets.h).

namespace ostrela::effects::dream::kernels {

// The gamma curve of the grade: a table of steps + 2 entries over 0…1, and sixteen cubics over
// [2^-8, 1) picked by the value's exponent and top mantissa bit (c0 + c1·t + c2·t² + c3·t³);
// segments flagged in tableInstead (when `loose`) and values outside [2^-8, 1) read the table.
struct GradeCurve {
    const float* table;
    int steps;
    const float* cubic[4];  // 16 floats each
    const float* tableInstead;
    bool loose;
};
// n RGBA pixels in place: unpremultiply and encode as the tone filters do, the colour controls'
// rows (grade: three rows of r, g, b, bias), the curve, the hue rotation (three rows of three),
// decode and premultiply.
void gradeGammaHue(float* p, int n, const float* grade, const float* hue, const GradeCurve& curve);

// One row of a light screened over n pixels: t = clamp((|(dx0 + i, dy)| − r0)·inv, 0, 1), colour
// inner + (outer − inner)·t, screened onto the pixel.
void lightRow(float* o, int n, float dx0, float dy2, float r0, float inv, const float* inner, const float* outer);

}  // namespace ostrela::effects::dream::kernels
