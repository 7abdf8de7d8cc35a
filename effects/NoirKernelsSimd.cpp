// Noir's line rows. Compiled without contraction into fused multiply-adds, so the in-kernel
// remainders, done one value at a time in the same order, round as the vector parts do.
#pragma GCC optimize("fp-contract=off")

#include "effects/NoirKernelsSimd.h"

#include <cstddef>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "effects/NoirKernelsSimd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "pipeline/engine/simd/Math-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ostrela::effects::noir::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace ostrela::engine::HWY_NAMESPACE;
using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;
constexpr size_t kMaxPixels = hn::MaxLanes(DF());

void EncodeGrey(const float* src, int n, float* enc) {
    const DF d;
    const int N = int(hn::Lanes(d));
    const auto block = [&](const float* p, float* e) {
        VF v, g, b, a;
        hn::LoadInterleaved4(d, p, v, g, b, a);
        const VF one = hn::Set(d, 1.0f), zero = hn::Zero(d);
        const VF un = hn::IfThenElse(hn::Or(hn::Gt(v, a), hn::Ge(a, one)), v, hn::Div(v, hn::Max(a, hn::Set(d, 1e-30f))));
        hn::StoreU(hn::IfThenElseZero(hn::Gt(a, zero), hn::Mul(SrgbEncode(d, un), Clamp01(d, a))), d, e);
    };
    int i = 0;
    for (; i + N <= n; i += N) block(src + 4 * i, enc + i);
    if (i < n) {
        HWY_ALIGN float tail[4 * kMaxPixels] = {}, out[kMaxPixels];
        std::memcpy(tail, src + 4 * i, size_t(n - i) * 4 * sizeof(float));
        block(tail, out);
        std::memcpy(enc + i, out, size_t(n - i) * sizeof(float));
    }
}

void SobelRow(const float* m0, const float* m1, const float* m2, int n, float k, float* mag) {
    const DF d;
    const int N = int(hn::Lanes(d));
    const VF two = hn::Set(d, 2.0f), vk = hn::Set(d, k);
    int x = 0;
    for (; x + N <= n; x += N) {
        const VF bl = hn::LoadU(d, m0 + x), bc = hn::LoadU(d, m0 + x + 1), br = hn::LoadU(d, m0 + x + 2);
        const VF ml = hn::LoadU(d, m1 + x), mr = hn::LoadU(d, m1 + x + 2);
        const VF tl = hn::LoadU(d, m2 + x), tc = hn::LoadU(d, m2 + x + 1), tr = hn::LoadU(d, m2 + x + 2);
        const VF gx = hn::Add(hn::Sub(br, bl), hn::Add(hn::Mul(two, hn::Sub(mr, ml)), hn::Sub(tr, tl)));
        const VF gy = hn::Add(hn::Sub(tl, bl), hn::Add(hn::Mul(two, hn::Sub(tc, bc)), hn::Sub(tr, br)));
        hn::StoreU(Clamp01(d, hn::Mul(vk, hn::Sqrt(hn::Add(hn::Mul(gx, gx), hn::Mul(gy, gy))))), d, mag + x);
    }
    for (; x < n; ++x) {
        const float gx = (m0[x + 2] - m0[x]) + (2.0f * (m1[x + 2] - m1[x]) + (m2[x + 2] - m2[x]));
        const float gy = (m2[x] - m0[x]) + (2.0f * (m2[x + 1] - m0[x + 1]) + (m2[x + 2] - m0[x + 2]));
        const float v = k * __builtin_sqrtf(gx * gx + gy * gy);
        mag[x] = v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
    }
}

void FinishOpaqueRow(const float* mag, const float* centre, int n, const float* edge, int steps, const float* finish,
                     int finishSteps, float* o) {
    const DF d;
    const hn::RebindToSigned<DF> di;
    const hn::CappedTag<float, 4> d4;  // one pixel
    const int N = int(hn::Lanes(d));
    const VF se = hn::Set(d, float(steps)), sf = hn::Set(d, float(finishSteps));
    const auto block = [&](const float* mg, const float* c, float* out, int count) {
        const VF pe = hn::Mul(hn::LoadU(d, mg), se);
        const auto ie = hn::ConvertTo(di, pe);  // truncates
        const VF fe = hn::Sub(pe, hn::ConvertTo(d, ie));
        const VF e0 = hn::GatherIndex(d, edge, ie), e1 = hn::GatherIndex(d, edge + 1, ie);
        const VF dv = hn::Add(e0, hn::Mul(hn::Sub(e1, e0), fe));
        VF m, g, b, a;
        hn::LoadInterleaved4(d, c, m, g, b, a);
        const VF sc = Clamp01(d, hn::Sub(hn::Add(dv, m), hn::Mul(dv, m)));
        const VF pf = hn::Mul(hn::Sqrt(sc), sf);
        const auto jf = hn::ConvertTo(di, pf);
        HWY_ALIGN int32_t at[kMaxPixels];
        HWY_ALIGN float w[kMaxPixels];
        hn::Store(jf, di, at);
        hn::Store(hn::Sub(pf, hn::ConvertTo(d, jf)), d, w);
        // Each pixel's four channels between two entries of the finish table.
        for (int q = 0; q < count; ++q)
            for (size_t ch = 0; ch < 4; ch += hn::Lanes(d4)) {
                const auto lo = hn::LoadU(d4, finish + 4 * at[q] + ch), hi = hn::LoadU(d4, finish + 4 * at[q] + 4 + ch);
                hn::StoreU(hn::Add(lo, hn::Mul(hn::Sub(hi, lo), hn::Set(d4, w[q]))), d4, out + 4 * q + ch);
            }
    };
    int i = 0;
    for (; i + N <= n; i += N) block(mag + i, centre + 4 * i, o + 4 * i, N);
    if (i < n) {
        HWY_ALIGN float mt[kMaxPixels] = {}, ct[4 * kMaxPixels] = {};
        std::memcpy(mt, mag + i, size_t(n - i) * sizeof(float));
        std::memcpy(ct, centre + 4 * i, size_t(n - i) * 4 * sizeof(float));
        block(mt, ct, o + 4 * i, n - i);
    }
}

void GlowFinishRow(const float* g, const float* b, int n, float scale, float kv, const float* dx2, float dy2, bool darken,
                   float* o) {
    const DF d;
    const int N = int(hn::Lanes(d));
    const VF k = hn::Set(d, scale), vk = hn::Set(d, kv), vdy2 = hn::Set(d, dy2), one = hn::Set(d, 1.0f);
    const auto block = [&](const float* gp, const float* bp, const float* xp, float* op) {
        VF ar, ag, ab, aa, br, bg, bb, ba;
        hn::LoadInterleaved4(d, gp, ar, ag, ab, aa);
        hn::LoadInterleaved4(d, bp, br, bg, bb, ba);
        const auto screen = [&](VF a, VF c) {
            a = hn::Mul(a, k);
            return hn::Sub(hn::Add(a, c), hn::Mul(a, c));
        };
        const VF f0 = hn::Add(one, hn::Mul(vk, hn::Add(hn::LoadU(d, xp), vdy2)));
        const VF f2 = hn::Mul(f0, f0);
        const VF f = darken ? hn::Div(one, f2) : f2;
        const VF ca = screen(aa, ba);
        // The reduced-grid blur sums its weights to a hair under one; alphas that close to one are
        // one (the written byte is 255 either way), which keeps the final write on its opaque path.
        hn::StoreInterleaved4(hn::Mul(screen(ar, br), f), hn::Mul(screen(ag, bg), f), hn::Mul(screen(ab, bb), f),
                              hn::IfThenElse(hn::Gt(ca, hn::Set(d, 0.99999f)), one, ca), d, op);
    };
    int i = 0;
    for (; i + N <= n; i += N) block(g + 4 * i, b + 4 * i, dx2 + i, o + 4 * i);
    if (i < n) {
        HWY_ALIGN float gt[4 * kMaxPixels] = {}, bt[4 * kMaxPixels] = {}, xt[kMaxPixels] = {}, ot[4 * kMaxPixels];
        std::memcpy(gt, g + 4 * i, size_t(n - i) * 4 * sizeof(float));
        std::memcpy(bt, b + 4 * i, size_t(n - i) * 4 * sizeof(float));
        std::memcpy(xt, dx2 + i, size_t(n - i) * sizeof(float));
        block(gt, bt, xt, ot);
        std::memcpy(o + 4 * i, ot, size_t(n - i) * 4 * sizeof(float));
    }
}

}  // namespace ostrela::effects::noir::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::effects::noir::kernels {
HWY_EXPORT(EncodeGrey);
HWY_EXPORT(SobelRow);
HWY_EXPORT(FinishOpaqueRow);
HWY_EXPORT(GlowFinishRow);
void glowFinishRow(const float* g, const float* b, int n, float scale, float kv, const float* dx2, float dy2, bool darken,
                   float* o) {
    HWY_DYNAMIC_DISPATCH(GlowFinishRow)(g, b, n, scale, kv, dx2, dy2, darken, o);
}
void encodeGrey(const float* src, int n, float* enc) { HWY_DYNAMIC_DISPATCH(EncodeGrey)(src, n, enc); }
void sobelRow(const float* m0, const float* m1, const float* m2, int n, float k, float* mag) {
    HWY_DYNAMIC_DISPATCH(SobelRow)(m0, m1, m2, n, k, mag);
}
void finishOpaqueRow(const float* mag, const float* centre, int n, const float* edge, int steps, const float* finish,
                     int finishSteps, float* o) {
    HWY_DYNAMIC_DISPATCH(FinishOpaqueRow)(mag, centre, n, edge, steps, finish, finishSteps, o);
}
}  // namespace ostrela::effects::noir::kernels
#endif
