// Flame's ember kernels. Each works on planes of as many pixels as a register holds; a row's tail
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
constexpr size_t kMaxPixels = hn::MaxLanes(DF());

using engine::filters::kLumB;
using engine::filters::kLumG;
using engine::filters::kLumR;

// The tone's curve on one unpremultiplied channel, as the tone run evaluates it.
HWY_INLINE VF curve(DF d, VF u, const Tone& t) {
    return SrgbDecode(d, hn::MulAdd(hn::Set(d, t.contrast), SrgbEncode(d, u), hn::Set(d, t.bias)));
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
HWY_EXPORT(EmberToneRow);
HWY_EXPORT(EmberBlurDown);
HWY_EXPORT(EmberColourRow);

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
