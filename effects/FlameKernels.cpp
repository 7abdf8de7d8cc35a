// Flame's row kernels. Each works on planes of as many pixels as a register holds; a row's tail
// goes through the same vector code in a padded block, so a pixel's value never depends on where
// in a row or tile it falls. The tone steps are the engine's (Math-inl.h): the same unpremultiply
// rule and sRGB curves as the filters of the plain chain.
#include "effects/FlameKernels.h"

#include "pipeline/engine/Filters.h"

#include <algorithm>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "effects/FlameKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "pipeline/engine/simd/Math-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ostrela::effects::flamek::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace ostrela::engine::HWY_NAMESPACE;
using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;
using DI = hn::RebindToSigned<DF>;
constexpr size_t kMaxPixels = hn::MaxLanes(DF());

using engine::filters::kLumB;
using engine::filters::kLumG;
using engine::filters::kLumR;

// The tone's curve on one unpremultiplied channel, as the tone run evaluates it.
HWY_INLINE VF curve(DF d, VF u, const Tone& t) {
    return SrgbDecode(d, hn::MulAdd(hn::Set(d, t.contrast), SrgbEncode(d, u), hn::Set(d, t.bias)));
}

// Luminance of encoded colour.
HWY_INLINE VF luma(DF d, VF r, VF g, VF b) {
    return hn::MulAdd(hn::Set(d, kLumB), SrgbEncode(d, b),
                      hn::MulAdd(hn::Set(d, kLumG), SrgbEncode(d, g), hn::Mul(hn::Set(d, kLumR), SrgbEncode(d, r))));
}

// t + u − t·u
HWY_INLINE VF screen(VF t, VF u) { return hn::NegMulAdd(t, u, hn::Add(t, u)); }

// One pixel's bilinear read from p0 (its row below) and the row rowStep floats above, with the
// move's weights: the rows mixed first, then the columns.
HWY_INLINE void bilinearPixel(const float* p0, size_t rowStep, float wx, float wy, float* out) {
    const hn::CappedTag<float, 4> d4;
    const size_t N4 = hn::Lanes(d4);
    const auto vx = hn::Set(d4, wx), vy = hn::Set(d4, wy);
    for (size_t c = 0; c < 4; c += N4) {
        const auto lo0 = hn::LoadU(d4, p0 + c), lo1 = hn::LoadU(d4, p0 + 4 + c);
        const auto hi0 = hn::LoadU(d4, p0 + rowStep + c), hi1 = hn::LoadU(d4, p0 + rowStep + 4 + c);
        const auto v0 = hn::MulAdd(hn::Sub(hi0, lo0), vy, lo0), v1 = hn::MulAdd(hn::Sub(hi1, lo1), vy, lo1);
        hn::StoreU(hn::MulAdd(hn::Sub(v1, v0), vx, v0), d4, out + c);
    }
}

void FireTailRow(const float* S, const engine::IRect& sb, const float* cp, const float* kp, int x0, int y, int n,
                 const FireColours& fc, float* op) {
    const DF d;
    const DI di;
    const int N = int(hn::Lanes(d));
    const VF half = hn::Set(d, 0.5f), reach = hn::Set(d, fc.reach);
    const VF cm = hn::Set(d, fc.coreTone.contrast), cb = hn::Set(d, fc.coreTone.bias);
    const auto lastX = hn::Set(di, sb.w - 1), lastY = hn::Set(di, sb.h - 1), minus1 = hn::Set(di, -1);
    const auto stride = hn::Set(di, sb.w);
    const size_t rowStep = size_t(sb.w) * 4;
    VF kc[3], ko[3], kco[3];
    for (int c = 0; c < 3; ++c) {
        kc[c] = hn::Set(d, fc.core[c]);
        ko[c] = hn::Set(d, fc.outer[c]);
        kco[c] = hn::Set(d, fc.core[c] * fc.outer[c]);
    }
    HWY_ALIGN float ct[4 * kMaxPixels], kt[kMaxPixels], px[4 * kMaxPixels], ot[4 * kMaxPixels];
    HWY_ALIGN float wxs[kMaxPixels], wys[kMaxPixels], dxs[kMaxPixels], dys[kMaxPixels];
    HWY_ALIGN int32_t offs[kMaxPixels], ins[kMaxPixels];
    for (int i = 0; i < n; i += N) {
        const int m = std::min(N, n - i);
        const float* c = cp + 4 * i;
        const float* k = kp + i;
        if (m < N) {
            std::memset(ct, 0, sizeof ct);
            std::memset(kt, 0, sizeof kt);
            std::memcpy(ct, c, size_t(m) * 4 * sizeof(float));
            std::memcpy(kt, k, size_t(m) * sizeof(float));
            c = ct, k = kt;
        }
        VF cr, cg, cbl, ca;
        hn::LoadInterleaved4(d, c, cr, cg, cbl, ca);
        const VF dx = hn::Mul(reach, hn::Sub(Clamp01(d, cr), half));
        const VF dy = hn::Mul(reach, hn::Sub(Clamp01(d, cg), half));
        const VF flx = hn::Floor(dx), fly = hn::Floor(dy);
        // Whole pixels plus a displacement under 15 px: the floor and the weights are exact in float.
        const auto ix = hn::Add(hn::Add(hn::ConvertTo(di, flx), hn::Iota(di, 0)), hn::Set(di, x0 + i - sb.x));
        const auto iy = hn::Add(hn::ConvertTo(di, fly), hn::Set(di, y - sb.y));
        const auto in = hn::And(hn::And(hn::Gt(ix, minus1), hn::Gt(lastX, ix)), hn::And(hn::Gt(iy, minus1), hn::Gt(lastY, iy)));
        hn::Store(hn::VecFromMask(di, in), di, ins);
        hn::Store(hn::ShiftLeft<2>(hn::Add(hn::Mul(iy, stride), ix)), di, offs);
        hn::Store(hn::Sub(dx, flx), d, wxs);
        hn::Store(hn::Sub(dy, fly), d, wys);
        hn::Store(dx, d, dxs);
        hn::Store(dy, d, dys);
        for (int q = 0; q < N; ++q) {
            if (ins[q]) {
                bilinearPixel(S + offs[q], rowStep, wxs[q], wys[q], px + 4 * q);
            } else if (q < m) {
                engine::detail::sampleBilinear(S, sb, double(x0 + i + q) + 0.5 + dxs[q], double(y) + 0.5 + dys[q], px + 4 * q);
            } else {
                px[4 * q] = px[4 * q + 1] = px[4 * q + 2] = px[4 * q + 3] = 0.0f;
            }
        }
        VF r, g, b, a;
        hn::LoadInterleaved4(d, px, r, g, b, a);
        Unpremultiply(d, r, g, b, a);
        const VF L = luma(d, r, g, b);
        const VF oc = Clamp01(d, hn::Mul(a, Clamp01(d, hn::MulAdd(cm, L, cb))));
        const VF oo = Clamp01(d, hn::Mul(a, Clamp01(d, L)));
        const VF both = hn::Mul(oc, oo);
        const VF w = hn::LoadU(d, k);
        VF f[3];
        for (int ch = 0; ch < 3; ++ch) f[ch] = hn::Mul(w, hn::NegMulAdd(kco[ch], both, hn::MulAdd(kc[ch], oc, hn::Mul(ko[ch], oo))));
        const VF fa = hn::Mul(w, hn::Sub(hn::Add(oc, oo), both));
        if (m == N) {
            hn::StoreInterleaved4(f[0], f[1], f[2], fa, d, op + 4 * i);
        } else {
            hn::StoreInterleaved4(f[0], f[1], f[2], fa, d, ot);
            std::memcpy(op + 4 * i, ot, size_t(m) * 4 * sizeof(float));
        }
    }
}

void EmberToneRow(const float* h0, const float* h1, float wy, int n, const EmberTone& et, float* t, size_t sw) {
    const DF d;
    const int N = int(hn::Lanes(d));
    const VF vy = hn::Set(d, wy), lo = hn::Set(d, et.u0), hi = hn::Set(d, et.u1), top = hn::Set(d, et.top);
    // Zero up to u0, full from u1; the curve itself only where some lane needs it (rarely: the
    // embers' tone is steep).
    const auto tone = [&](VF u) {
        const auto mid = hn::And(hn::Gt(u, lo), hn::Lt(u, hi));
        const VF flat = hn::IfThenElseZero(hn::Ge(u, hi), top);
        if (hn::AllFalse(d, mid)) return flat;
        return hn::IfThenElse(mid, curve(d, u, et.tone), flat);
    };
    const auto block = [&](const float* p0, const float* p1, float* q0, float* q1, float* q2, float* q3) {
        VF lr, lg, lb, la, hr, hg, hb, ha;
        hn::LoadInterleaved4(d, p0, lr, lg, lb, la);
        hn::LoadInterleaved4(d, p1, hr, hg, hb, ha);
        VF r = hn::MulAdd(hn::Sub(hr, lr), vy, lr), g = hn::MulAdd(hn::Sub(hg, lg), vy, lg);
        VF b = hn::MulAdd(hn::Sub(hb, lb), vy, lb), a = hn::MulAdd(hn::Sub(ha, la), vy, la);
        Unpremultiply(d, r, g, b, a);
        a = Clamp01(d, a);
        hn::StoreU(hn::Mul(tone(r), a), d, q0);
        hn::StoreU(hn::Mul(tone(g), a), d, q1);
        hn::StoreU(hn::Mul(tone(b), a), d, q2);
        hn::StoreU(a, d, q3);
    };
    int i = 0;
    for (; i + N <= n; i += N) block(h0 + 4 * i, h1 + 4 * i, t + i, t + sw + i, t + 2 * sw + i, t + 3 * sw + i);
    if (i < n) {
        HWY_ALIGN float p[2][4 * kMaxPixels] = {}, q[4][kMaxPixels];
        const size_t m = size_t(n - i);
        std::memcpy(p[0], h0 + 4 * i, m * 4 * sizeof(float));
        std::memcpy(p[1], h1 + 4 * i, m * 4 * sizeof(float));
        block(p[0], p[1], q[0], q[1], q[2], q[3]);
        for (size_t c = 0; c < 4; ++c) std::memcpy(t + c * sw + i, q[c], m * sizeof(float));
    }
}

void EmberBlurDown(const float* const* rows, const float* w, int R, size_t floats, float* v) {
    const DF d;
    const size_t N = hn::Lanes(d);
    const auto taps = [&](size_t i, const float* const* rp, float* out) {
        VF s = hn::Mul(hn::Set(d, w[0]), hn::LoadU(d, rp[R] + i));
        for (int k = 1; k <= R; ++k) s = hn::MulAdd(hn::Set(d, w[k]), hn::Add(hn::LoadU(d, rp[R + k] + i), hn::LoadU(d, rp[R - k] + i)), s);
        hn::StoreU(s, d, out);
    };
    size_t i = 0;
    for (; i + N <= floats; i += N) taps(i, rows, v + i);
    if (i < floats) {
        constexpr int kMaxRows = 17;
        HWY_ALIGN float t[kMaxRows][kMaxPixels] = {}, out[kMaxPixels];
        const float* tp[kMaxRows] = {};
        const int rows2 = std::min(2 * R + 1, kMaxRows);
        for (int k = 0; k < rows2; ++k) {
            std::memcpy(t[k], rows[k] + i, (floats - i) * sizeof(float));
            tp[k] = t[k];
        }
        taps(0, tp, out);
        std::memcpy(v + i, out, (floats - i) * sizeof(float));
    }
}

void EmberColourRow(const float* V, size_t sw, const float* w, int R, int n, const float* ember, float k, float* o) {
    const DF d;
    const int N = int(hn::Lanes(d));
    const VF lr = hn::Set(d, kLumR), lg = hn::Set(d, kLumG), lb = hn::Set(d, kLumB);
    const VF e0 = hn::Set(d, ember[0] * k), e1 = hn::Set(d, ember[1] * k), e2 = hn::Set(d, ember[2] * k), e3 = hn::Set(d, ember[3] * k);
    HWY_ALIGN float ot[4 * kMaxPixels];
    for (int i = 0; i < n; i += N) {
        VF ch[4];
        for (int c = 0; c < 4; ++c) {
            const float* cc = V + c * sw + i + R;
            VF s = hn::Mul(hn::Set(d, w[0]), hn::LoadU(d, cc));
            for (int q = 1; q <= R; ++q) s = hn::MulAdd(hn::Set(d, w[q]), hn::Add(hn::LoadU(d, cc - q), hn::LoadU(d, cc + q)), s);
            ch[c] = s;
        }
        Unpremultiply(d, ch[0], ch[1], ch[2], ch[3]);
        const VF L = Clamp01(d, hn::MulAdd(lr, SrgbEncode(d, ch[0]), hn::MulAdd(lg, SrgbEncode(d, ch[1]), hn::Mul(lb, SrgbEncode(d, ch[2])))));
        const VF oa = Clamp01(d, hn::Mul(ch[3], L));
        // Lanes past n read the next plane or the padding: computed, never stored.
        const int m = std::min(N, n - i);
        float* dst = m == N ? o + 4 * i : ot;
        hn::StoreInterleaved4(hn::Mul(e0, oa), hn::Mul(e1, oa), hn::Mul(e2, oa), hn::Mul(e3, oa), d, dst);
        if (m < N) std::memcpy(o + 4 * i, ot, size_t(m) * 4 * sizeof(float));
    }
}

}  // namespace ostrela::effects::flamek::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::effects::flamek {
HWY_EXPORT(FireTailRow);
HWY_EXPORT(EmberToneRow);
HWY_EXPORT(EmberBlurDown);
HWY_EXPORT(EmberColourRow);

void fireTailRow(const float* S, const engine::IRect& sb, const float* cp, const float* kp, int x0, int y, int n,
                 const FireColours& fc, float* o) {
    HWY_DYNAMIC_DISPATCH(FireTailRow)(S, sb, cp, kp, x0, y, n, fc, o);
}
void emberToneRow(const float* h0, const float* h1, float wy, int n, const EmberTone& tone, float* t, size_t sw) {
    HWY_DYNAMIC_DISPATCH(EmberToneRow)(h0, h1, wy, n, tone, t, sw);
}
void emberBlurDown(const float* const* rows, const float* w, int R, size_t floats, float* v) {
    HWY_DYNAMIC_DISPATCH(EmberBlurDown)(rows, w, R, floats, v);
}
void emberColourRow(const float* V, size_t sw, const float* w, int R, int n, const float* ember, float k, float* o) {
    HWY_DYNAMIC_DISPATCH(EmberColourRow)(V, sw, w, R, n, ember, k, o);
}
}  // namespace ostrela::effects::flamek
#endif
