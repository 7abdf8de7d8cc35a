// Rows of a separable warp (each row moved across by one distance, each column down by one),
// sampled bilinearly with the taps clamped onto the source, and of one that only moves rows across. A register's pixels go through the
// same operations as a single pixel's, so a pixel's value never depends on where it falls.
#include "pipeline/engine/Kernels.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "pipeline/engine/WarpKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "pipeline/engine/simd/Math-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ostrela::engine::HWY_NAMESPACE {
namespace {
namespace hn = hwy::HWY_NAMESPACE;
using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;
using DI = hn::RebindToSigned<DF>;

// One pixel from its four taps (two of one row, two of the next): across by wx, then down by wy.
HWY_INLINE void MixPixel(const float* p00, const float* p01, const float* p10, const float* p11, float wx, float wy,
                         float* o) {
#if HWY_TARGET == HWY_SCALAR
    for (int c = 0; c < 4; ++c) {
        const float bot = (p01[c] - p00[c]) * wx + p00[c], top = (p11[c] - p10[c]) * wx + p10[c];
        o[c] = (top - bot) * wy + bot;
    }
#else
    const hn::Full128<float> d;
    const auto a0 = hn::LoadU(d, p00), a1 = hn::LoadU(d, p01), b0 = hn::LoadU(d, p10), b1 = hn::LoadU(d, p11);
    const auto vx = hn::Set(d, wx);
    const auto bot = hn::MulAdd(hn::Sub(a1, a0), vx, a0), top = hn::MulAdd(hn::Sub(b1, b0), vx, b0);
    hn::StoreU(hn::MulAdd(hn::Sub(top, bot), hn::Set(d, wy), bot), d, o);
#endif
}

// A pixel sampled at (fx, fy) with its taps clamped onto the source; beyond ±1e9 transparent.
HWY_NOINLINE void ClampedPixel(const kernels::WarpSource& s, float fx, float fy, float* q) {
    const float flx = std::floor(fx), fly = std::floor(fy);
    if (!(std::abs(flx) < 1e9f) || !(std::abs(fly) < 1e9f)) {
        std::fill(q, q + 4, 0.0f);
        return;
    }
    const size_t stride = size_t(s.w) * 4;
    const int X = int(flx), Y = int(fly);
    const int c0 = std::clamp(X, s.x, s.x + s.w - 1) - s.x, c1 = std::clamp(X + 1, s.x, s.x + s.w - 1) - s.x;
    const int y0 = std::clamp(Y, s.y, s.y + s.h - 1) - s.y, y1 = std::clamp(Y + 1, s.y, s.y + s.h - 1) - s.y;
    const float* r0 = s.data + size_t(y0) * stride;
    const float* r1 = s.data + size_t(y1) * stride;
    MixPixel(r0 + 4 * c0, r0 + 4 * c1, r1 + 4 * c0, r1 + 4 * c1, fx - flx, fy - fly, q);
}

void SeparableWarpRow(const kernels::WarpSource& s, int x0, int n, float dx, float py, const float* dyc, float* o) {
    const DF d;
    const DI di;
    const int N = int(hn::Lanes(d));
    const size_t stride = size_t(s.w) * 4;
    HWY_ALIGN int32_t off[hn::MaxLanes(d)], in[hn::MaxLanes(d)];
    HWY_ALIGN float wx[hn::MaxLanes(d)], wy[hn::MaxLanes(d)], fx[hn::MaxLanes(d)], fy[hn::MaxLanes(d)];
    HWY_ALIGN float dy[hn::MaxLanes(d)] = {};
    const VF half = hn::Set(d, 0.5f), vdx = hn::Set(d, dx), vpy = hn::Set(d, py);
    const auto lox = hn::Set(di, s.x), loy = hn::Set(di, s.y), hix = hn::Set(di, s.w - 1), hiy = hn::Set(di, s.h - 1);
    const auto w4 = hn::Set(di, s.w * 4), neg = hn::Set(di, -1);
#if HWY_TARGET != HWY_SCALAR
    const int P = N / 4;  // whole pixels a register
    // Lane l: pixel l / 4 of a register's load (its weight over its four lanes), the first pixel of
    // l's group of P, and l's place in that group as a tap offset.
    HWY_ALIGN int32_t spread[4][hn::MaxLanes(d)], lead[hn::MaxLanes(d)], step[hn::MaxLanes(d)];
    for (int l = 0; l < N; ++l) {
        for (int q = 0; q < 4; ++q) spread[q][l] = q * P + l / 4;  // a register holds four groups of P
        lead[l] = l - l % P, step[l] = 4 * (l % P);
    }
    const decltype(hn::SetTableIndices(d, spread[0])) toPixel[4] = {hn::SetTableIndices(d, spread[0]), hn::SetTableIndices(d, spread[1]),
                                        hn::SetTableIndices(d, spread[2]), hn::SetTableIndices(d, spread[3])};
    const auto toLead = hn::SetTableIndices(di, lead);
    const auto vstep = hn::Load(di, step);
    const uint64_t all = (uint64_t(1) << P) - 1;
#endif
    const auto pixel = [&](int k, float* q) HWY_ATTR {
        if (in[k]) {
            const float* p = s.data + off[k];
            MixPixel(p, p + 4, p + stride, p + stride + 4, wx[k], wy[k], q);
        } else {
            ClampedPixel(s, fx[k], fy[k], q);
        }
    };
    for (int i = 0; i < n; i += N) {
        const int m = std::min(N, n - i);
        // The register's sample positions; a tail's lanes past the row from zeros.
        VF vdy;
        if (m == N) {
            vdy = hn::LoadU(d, dyc + i);
        } else {
            std::memcpy(dy, dyc + i, size_t(m) * sizeof(float));
            vdy = hn::Load(d, dy);
        }
        const VF cx = hn::Add(hn::ConvertTo(d, hn::Iota(di, x0 + i)), half);
        const VF vfx = hn::Sub(hn::Add(cx, vdx), half), vfy = hn::Sub(hn::Add(vpy, vdy), half);
        const VF flx = hn::Floor(vfx), fly = hn::Floor(vfy);
        const auto X = hn::Sub(hn::ConvertTo(di, flx), lox), Y = hn::Sub(hn::ConvertTo(di, fly), loy);
        // Inside: 0 ≤ X < w − 1 and 0 ≤ Y < h − 1.
        const auto inside = hn::And(hn::And(hn::Gt(X, neg), hn::Lt(X, hix)), hn::And(hn::Gt(Y, neg), hn::Lt(Y, hiy)));
        hn::Store(hn::Add(hn::Mul(Y, w4), hn::ShiftLeft<2>(X)), di, off);  // the top-left tap's offset
        hn::Store(hn::VecFromMask(di, inside), di, in);
        const VF vwx = hn::Sub(vfx, flx), vwy = hn::Sub(vfy, fly);
        hn::Store(vwx, d, wx);
        hn::Store(vwy, d, wy);
        hn::Store(vfx, d, fx);
        hn::Store(vfy, d, fy);
        float* row = o + 4 * size_t(i);
        int k = 0;
#if HWY_TARGET != HWY_SCALAR
        // Where a register's pixels have their taps side by side in one pair of rows (the ripple
        // moves a row's pixels by one distance across and by a slowly changing one down): one load
        // per row and column.
        const auto offs = hn::Add(hn::Mul(Y, w4), hn::ShiftLeft<2>(X));
        const auto side = hn::And(inside, hn::Eq(offs, hn::Add(hn::TableLookupLanes(offs, toLead), vstep)));
        uint8_t bytes[8] = {};
        hn::StoreMaskBits(di, side, bytes);
        uint64_t bits;
        std::memcpy(&bits, bytes, sizeof(bits));
        for (; k + P <= m; k += P) {
            if (((bits >> k) & all) != all) {
                for (int j = k; j < k + P; ++j) pixel(j, row + 4 * j);
                continue;
            }
            const float* p = s.data + off[k];
            const VF a0 = hn::LoadU(d, p), a1 = hn::LoadU(d, p + 4);
            const VF b0 = hn::LoadU(d, p + stride), b1 = hn::LoadU(d, p + stride + 4);
            const VF vx = hn::TableLookupLanes(vwx, toPixel[k / P]), vy = hn::TableLookupLanes(vwy, toPixel[k / P]);
            const VF bot = hn::MulAdd(hn::Sub(a1, a0), vx, a0), top = hn::MulAdd(hn::Sub(b1, b0), vx, b0);
            hn::StoreU(hn::MulAdd(hn::Sub(top, bot), vy, bot), d, row + 4 * k);
        }
#endif
        for (; k < m; ++k) pixel(k, row + 4 * k);
    }
}

}  // namespace

void ShiftRow(const kernels::WarpSource& s, int x0, int n, float dx, int y, float* o) {
    const float fl = std::floor(dx);
    if (!(std::abs(fl) < 1e9f)) {
        std::fill(o, o + 4 * size_t(n), 0.0f);
        return;
    }
    const int off = int(fl);
    const float w = dx - fl;
    const float* row = s.data + size_t(std::clamp(y, s.y, s.y + s.h - 1) - s.y) * size_t(s.w) * 4 - size_t(s.x) * 4;
    const int lo = s.x, hi = s.x + s.w - 1;  // source columns that exist
    // Pixels whose two taps both exist go through the vector mix; beyond them both taps clamp
    // onto the same edge pixel, which is then the value.
    const int end = x0 + n, in0 = std::clamp(lo - off, x0, end), in1 = std::clamp(hi - off, in0, end);
    for (int x = x0; x < in0; ++x) std::memcpy(o + size_t(x - x0) * 4, row + size_t(lo) * 4, 4 * sizeof(float));
    const float* a = row + size_t(in0 + off) * 4;
    LerpFloats(a, a + 4, size_t(in1 - in0) * 4, w, o + size_t(in0 - x0) * 4);  // each pixel with its right neighbour
    for (int x = in1; x < end; ++x) std::memcpy(o + size_t(x - x0) * 4, row + size_t(hi) * 4, 4 * sizeof(float));
}

void DisplaceRow(const kernels::WarpSource& s, const float* disp, float scale, int x0, int y, int n, float* o) {
    const DF d;
    const DI di;
    const int N = int(hn::Lanes(d));
    const VF half = hn::Set(d, 0.5f), reach = hn::Set(d, scale);
    const auto lastX = hn::Set(di, s.w - 1), lastY = hn::Set(di, s.h - 1), minus1 = hn::Set(di, -1);
    const size_t stride = size_t(s.w) * 4;
    HWY_ALIGN float dt[4 * hn::MaxLanes(d)], wxs[hn::MaxLanes(d)], wys[hn::MaxLanes(d)];
    HWY_ALIGN int32_t ins[hn::MaxLanes(d)], cols[hn::MaxLanes(d)], rows[hn::MaxLanes(d)];
    for (int i = 0; i < n; i += N) {
        const int m = std::min(N, n - i);
        const float* dp = disp + 4 * i;
        if (m < N) {
            std::memset(dt, 0, sizeof dt);
            std::memcpy(dt, dp, size_t(m) * 4 * sizeof(float));
            dp = dt;
        }
        VF dr, dg, db, da;
        hn::LoadInterleaved4(d, dp, dr, dg, db, da);
        const VF dx = hn::Mul(reach, hn::Sub(Clamp01(d, dr), half));
        const VF dy = hn::Mul(reach, hn::Sub(Clamp01(d, dg), half));
        // The sample lies at the pixel's own centre moved by (dx, dy): its taps are the pixel
        // moved by the displacement's floor, its weights the displacement's fraction (exact in
        // float for displacements under 2^22 pixels).
        const VF flx = hn::Floor(dx), fly = hn::Floor(dy);
        const auto ix = hn::Add(hn::Add(hn::ConvertTo(di, flx), hn::Iota(di, 0)), hn::Set(di, x0 + i - s.x));
        const auto iy = hn::Add(hn::ConvertTo(di, fly), hn::Set(di, y - s.y));
        const auto in = hn::And(hn::And(hn::Gt(ix, minus1), hn::Gt(lastX, ix)), hn::And(hn::Gt(iy, minus1), hn::Gt(lastY, iy)));
        hn::Store(hn::VecFromMask(di, in), di, ins);
        hn::Store(ix, di, cols);
        hn::Store(iy, di, rows);
        hn::Store(hn::Sub(dx, flx), d, wxs);
        hn::Store(hn::Sub(dy, fly), d, wys);
        for (int q = 0; q < m; ++q) {
            float* out = o + 4 * (i + q);
            if (ins[q]) {
                const float* p0 = s.data + size_t(rows[q]) * stride + size_t(cols[q]) * 4;
                MixPixel(p0, p0 + 4, p0 + stride, p0 + stride + 4, wxs[q], wys[q], out);
                continue;
            }
            // Taps off the source read transparent (the same mix, so a picture read in place and
            // one read through a grown buffer agree); a displacement that is no number reads nothing.
            static const float kZero[4] = {0, 0, 0, 0};
            const float ddx = scale * (std::clamp(dp[4 * q], 0.0f, 1.0f) - 0.5f), ddy = scale * (std::clamp(dp[4 * q + 1], 0.0f, 1.0f) - 0.5f);
            const float fx = std::floor(ddx), fy = std::floor(ddy);
            if (!(std::abs(fx) < 1e9f) || !(std::abs(fy) < 1e9f)) {
                std::fill(out, out + 4, 0.0f);
                continue;
            }
            const int X = x0 + i + q + int(fx) - s.x, Y = y + int(fy) - s.y;
            const auto at = [&](int cx, int cy) {
                return cx < 0 || cy < 0 || cx >= s.w || cy >= s.h ? kZero : s.data + size_t(cy) * stride + size_t(cx) * 4;
            };
            MixPixel(at(X, Y), at(X + 1, Y), at(X, Y + 1), at(X + 1, Y + 1), ddx - fx, ddy - fy, out);
        }
    }
}

}  // namespace ostrela::engine::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::engine {
HWY_EXPORT(SeparableWarpRow);
HWY_EXPORT(ShiftRow);
HWY_EXPORT(DisplaceRow);
namespace kernels {
void displaceRow(const WarpSource& src, const float* disp, float scale, int x0, int y, int n, float* o) {
    HWY_DYNAMIC_DISPATCH(DisplaceRow)(src, disp, scale, x0, y, n, o);
}
void separableWarpRow(const WarpSource& src, int x0, int n, float dx, float py, const float* dyc, float* o) {
    HWY_DYNAMIC_DISPATCH(SeparableWarpRow)(src, x0, n, dx, py, dyc, o);
}
void shiftRow(const WarpSource& src, int x0, int n, float dx, int y, float* o) {
    HWY_DYNAMIC_DISPATCH(ShiftRow)(src, x0, n, dx, y, o);
}
}  // namespace kernels
}  // namespace ostrela::engine
#endif
