#pragma once
// Dream Sequence's lights, written once with Highway and dispatched to the best vector
// target (see pipeline/engine/SimdTargets.h).

namespace ostrela::effects::dream::kernels {

// One row of a light screened over n pixels: t = clamp((|(dx0 + i, dy)| − r0)·inv, 0, 1), colour
// inner + (outer − inner)·t, screened onto the pixel.
void lightRow(float* o, int n, float dx0, float dy2, float r0, float inv, const float* inner, const float* outer);

}  // namespace ostrela::effects::dream::kernels
