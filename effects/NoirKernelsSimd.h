#pragma once
// Noir's line rows, written once with Highway and dispatched to the best vector target (see
// pipeline/engine/SimdTargets.h).

namespace ostrela::effects::noir::kernels {

// Encoded premultiplied grey (the red channel) of n RGBA pixels: the value unpremultiplied as the
// tone filters do it (kept where it exceeds alpha, zero where alpha is), encoded, times alpha.
void encodeGrey(const float* src, int n, float* enc);
// The Sobel magnitude of three rows (below, middle, above; n + 2 values each), times k, clamped.
void sobelRow(const float* m0, const float* m1, const float* m2, int n, float k, float* mag);
// Opaque pixels: the edge table at mag (steps + 2 entries, linear between), screened over the
// picture's grey (`centre`, RGBA), then the finish table (RGBA, finishSteps + 2 entries) at the
// square root of that.
void finishOpaqueRow(const float* mag, const float* centre, int n, const float* edge, int steps, const float* finish,
                     int finishSteps, float* o);

// The glow g at `scale` screened over the picture b, colour times the vignette's factor
// (1 + kv·(dx2[i] + dy2))^±2, alpha within 1e-5 of one made one; n pixels into o.
void glowFinishRow(const float* g, const float* b, int n, float scale, float kv, const float* dx2, float dy2, bool darken,
                   float* o);

}  // namespace ostrela::effects::noir::kernels
