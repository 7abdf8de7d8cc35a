#pragma once
// The Old TV and VHS looks' row kernels, written once with Highway and dispatched to the best
// vector target (see pipeline/engine/SimdTargets.h).
#include <cstddef>

namespace ostrela::effects::retro {

// Chroma bleed: red from d pixels left, green in place, blue from d pixels right; alpha
// 1 − (1 − aR)(1 − aG)(1 − aB). `row` points at the row's pixel for output column 0.
void bleedRow(float* o, const float* row, int n, int d);
// d[k] = a[k]·w0 + a[k + 4]·w over n floats: a row shifted by a fraction of a pixel.
void lerpRow(float* d, const float* a, size_t n, float w0, float w);

}  // namespace ostrela::effects::retro
