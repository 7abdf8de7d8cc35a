#pragma once
// The VHS look's row kernel, written once with Highway and dispatched to the best
// vector target (see pipeline/engine/SimdTargets.h).

namespace ostrela::effects::retro {

// Chroma bleed: red from d pixels left, green in place, blue from d pixels right; alpha
// 1 − (1 − aR)(1 − aG)(1 − aB). `row` points at the row's pixel for output column 0.
void bleedRow(float* o, const float* row, int n, int d);

}  // namespace ostrela::effects::retro
