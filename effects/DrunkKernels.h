#pragma once
// Drunk Mode's accumulating pass, written once with Highway and dispatched to the best vector
// target (see pipeline/engine/SimdTargets.h).

namespace ostrela::effects::drunk::kernels {

// One row of n pixels: the ghost at 55 % over the graded row gp, then up to three trails (rows
// trails[q], faded by alphas[q]) over that, each source-over. The ghost is read bilinearly from
// its blur's rows b0 and b1 (b0 one pixel longer than the row) by weights wx and wy; straight
// from b0 when b1 is null; not at all when b0 is null too. `stream` writes whole registers
// around the cache where o allows it; call flushStreams() after the last such row.
void accumulateRow(const float* gp, const float* b0, const float* b1, float wx, float wy, const float* const* trails,
                   const float* alphas, int nTrails, bool stream, int n, float* o);
void flushStreams();

}  // namespace ostrela::effects::drunk::kernels
