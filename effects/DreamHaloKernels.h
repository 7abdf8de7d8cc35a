#pragma once
// Dream Sequence's halo rows, written once with Highway and dispatched to the best vector target.
// Each does a prefix of its row whose length is a multiple of the register's pixels and returns it;
// the caller finishes the row one pixel at a time with the same operations in the same order (the
// kernels are compiled without fused multiply-adds), so a pixel's value never depends on which
// part did it.

namespace ostrela::effects::dream::kernels {

// o = a + g·(1 − a.alpha) with a = o·k: the glow at k over the picture g.
int overRow(float* o, const float* g, int n, float k);
// row = a + x − a·x with a = row·k: the halo at k screened onto x.
int screenRow(float* row, const float* x, int n, float k);
// o = f + c·(1 − f.alpha) with f = p·k: the previous frame at k over the row c.
int echoRow(const float* c, const float* p, int n, float k, float* o);
// The fringe over pixels x0 … x0 + n − 1 whose taps lie inside `row` (pixels from column bx on):
// red from (x + rb, x + rb + 1) mixed by rw, blue from (x + lb, x + lb + 1) by lw, no green, the
// two alphas screened; the result screened over the row's own pixel.
int fringeRow(const float* row, int bx, int x0, int n, int rb, int lb, float rw, float lw, float* o);

}  // namespace ostrela::effects::dream::kernels
