// Per-pixel kernels of the standard filters (tone runs, gamma, vignette, noise), written once for
// every vector target. Pixels are RGBA floats; each kernel works on planes of as many pixels as a
// register holds, and a row's tail goes through the same code in a padded block, so a pixel's
// result never depends on where in a row or tile it falls.
#include "pipeline/engine/Kernels.h"
#include "pipeline/engine/Filters.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "pipeline/engine/FilterKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "pipeline/engine/simd/Math-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ostrela::engine::HWY_NAMESPACE {
namespace {

using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;
constexpr size_t kMaxPixels = hn::MaxLanes(DF());

using filters::kLumB;
using filters::kLumG;
using filters::kLumR;

HWY_INLINE VF matrixRow(DF d, const float* m, VF r, VF g, VF b, VF a) {
    VF v = hn::MulAdd(hn::Set(d, m[0]), r, hn::Set(d, m[4]));
    v = hn::MulAdd(hn::Set(d, m[1]), g, v);
    v = hn::MulAdd(hn::Set(d, m[2]), b, v);
    return hn::MulAdd(hn::Set(d, m[3]), a, v);
}

}  // namespace

namespace {
// Premultiplied linear planes as the tone stages take them: unpremultiplied and encoded. False
// (nothing encoded) where every pixel lies in the run's foot: the run then gives no colour there,
// and alpha clamped, which the planes now hold.
HWY_INLINE bool EncodePlanes(DF d, const kernels::ToneParams* prep, int ns, VF& r, VF& g, VF& b, VF& a) {
    Unpremultiply(d, r, g, b, a);
    if (ns == 1 && prep[0].foot) {
        const auto in = hn::And(hn::And(hn::Le(r, hn::Set(d, prep[0].footBelow[0])), hn::Le(g, hn::Set(d, prep[0].footBelow[1]))),
                                hn::Le(b, hn::Set(d, prep[0].footBelow[2])));
        if (hn::AllTrue(d, in)) {
            r = g = b = hn::Zero(d);
            a = Clamp01(d, a);
            return false;
        }
    }
    r = SrgbEncode(d, r);
    g = SrgbEncode(d, g);
    b = SrgbEncode(d, b);
    return true;
}

// The stages on unpremultiplied encoded planes, then decode and premultiply.
HWY_INLINE void ToneStages(DF d, const kernels::ToneParams* prep, int ns, const float* gain, VF& r, VF& g, VF& b, VF& a) {
    const VF zero = hn::Zero(d), one = hn::Set(d, 1.0f);
    for (int s = 0; s < ns; ++s) {
        const kernels::ToneParams& st = prep[s];
        if (st.diagonal) {
            r = hn::MulAdd(hn::Set(d, st.m[0]), r, hn::Set(d, st.m[4]));
            g = hn::MulAdd(hn::Set(d, st.m[6]), g, hn::Set(d, st.m[9]));
            b = hn::MulAdd(hn::Set(d, st.m[12]), b, hn::Set(d, st.m[14]));
            continue;
        }
        if (st.isMatrix) {
            const VF nr = matrixRow(d, st.m, r, g, b, a), ng = matrixRow(d, st.m + 5, r, g, b, a);
            const VF nb = matrixRow(d, st.m + 10, r, g, b, a);
            r = nr;
            g = ng;
            b = nb;
            continue;
        }
        VF L = hn::Mul(hn::Set(d, kLumR), r);
        L = hn::MulAdd(hn::Set(d, kLumG), g, L);
        L = Clamp01(d, hn::MulAdd(hn::Set(d, kLumB), b, L));
        const VF am = hn::MulAdd(hn::Set(d, st.d[3]), L, hn::Set(d, st.c0[3]));
        if (st.flat) {
            a = Clamp01(d, hn::Mul(a, am));
            r = hn::Mul(hn::Set(d, st.flatColour[0]), a);
            g = hn::Mul(hn::Set(d, st.flatColour[1]), a);
            b = hn::Mul(hn::Set(d, st.flatColour[2]), a);
            if (gain) {
                r = hn::Mul(r, hn::Set(d, gain[0]));
                g = hn::Mul(g, hn::Set(d, gain[1]));
                b = hn::Mul(b, hn::Set(d, gain[2]));
            }
            return;
        }
        const VF inv = hn::IfThenElseZero(hn::Gt(am, zero), hn::Div(one, hn::Max(am, hn::Set(d, 1e-30f))));
        r = hn::Mul(hn::MulAdd(hn::Set(d, st.d[0]), L, hn::Set(d, st.c0[0])), inv);
        g = hn::Mul(hn::MulAdd(hn::Set(d, st.d[1]), L, hn::Set(d, st.c0[1])), inv);
        b = hn::Mul(hn::MulAdd(hn::Set(d, st.d[2]), L, hn::Set(d, st.c0[2])), inv);
        a = hn::Mul(a, am);
    }
    a = Clamp01(d, a);
    r = hn::Mul(SrgbDecode(d, r), a);
    g = hn::Mul(SrgbDecode(d, g), a);
    b = hn::Mul(SrgbDecode(d, b), a);
    if (gain) {
        r = hn::Mul(r, hn::Set(d, gain[0]));
        g = hn::Mul(g, hn::Set(d, gain[1]));
        b = hn::Mul(b, hn::Set(d, gain[2]));
    }
}
}  // namespace

void ToneRun(float* p, int n, const kernels::ToneParams* prep, int ns, bool encoded, const float* gain) {
    const DF d;
    PixelBlocks(p, n, [&](float* q, int) {
        VF r, g, b, a;
        hn::LoadInterleaved4(d, q, r, g, b, a);
        if (encoded || EncodePlanes(d, prep, ns, r, g, b, a)) ToneStages(d, prep, ns, gain, r, g, b, a);
        hn::StoreInterleaved4(r, g, b, a, d, q);
    });
}

void ToneRunMixed(const float* lo, const float* hi, float wx, float wy, int n, const kernels::ToneParams* prep, int ns,
                  const float* gain, float* out) {
    const DF d;
    const int N = int(hn::Lanes(d));
    const VF vx = hn::Set(d, wx), vy = hn::Set(d, wy);
    // Float by float as mixRows mixes: down, then (for a move across) each pixel with the next;
    // on the interleaved floats, taken apart into planes once mixed.
    const auto block = [&](const float* pa, const float* pb, float* q) {
        HWY_ALIGN float mixed[4 * kMaxPixels];
        for (int k = 0; k < 4; ++k) {
            const VF a0 = hn::LoadU(d, pa + k * N);
            VF v = hn::MulAdd(hn::Sub(hn::LoadU(d, pb + k * N), a0), vy, a0);
            if (wx != 0.0f) {
                const VF a1 = hn::LoadU(d, pa + 4 + k * N);
                const VF v1 = hn::MulAdd(hn::Sub(hn::LoadU(d, pb + 4 + k * N), a1), vy, a1);
                v = hn::MulAdd(hn::Sub(v1, v), vx, v);
            }
            hn::Store(v, d, mixed + k * N);
        }
        VF r, g, b, a;
        hn::LoadInterleaved4(d, mixed, r, g, b, a);
        if (EncodePlanes(d, prep, ns, r, g, b, a)) ToneStages(d, prep, ns, gain, r, g, b, a);
        hn::StoreInterleaved4(r, g, b, a, d, q);
    };
    int i = 0;
    for (; i + N <= n; i += N) block(lo + 4 * i, hi + 4 * i, out + 4 * i);
    if (i < n) {
        const int take = n - i + (wx != 0.0f ? 1 : 0);
        HWY_ALIGN float ta[4 * (kMaxPixels + 1)] = {}, tb[4 * (kMaxPixels + 1)] = {}, to[4 * kMaxPixels];
        std::memcpy(ta, lo + 4 * i, size_t(take) * 4 * sizeof(float));
        std::memcpy(tb, hi + 4 * i, size_t(take) * 4 * sizeof(float));
        block(ta, tb, to);
        std::memcpy(out + 4 * i, to, size_t(n - i) * 4 * sizeof(float));
    }
}

void ToneRunBytes(const uint8_t* bgra, int n, const kernels::ToneParams* prep, int ns, const float* gain, float* out) {
    const DF d;
    const hn::RebindToSigned<DF> di;
    const hn::RebindToUnsigned<DF> du;
    const int N = int(hn::Lanes(d));
    const auto low = hn::Set(du, 0xFFu);
    const VF k = hn::Set(d, 1.0f / 255.0f), c255 = hn::Set(d, 255.0f), zero = hn::Zero(d);
    const auto toFloat = [&](hn::Vec<decltype(du)> v) { return hn::ConvertTo(d, hn::BitCast(di, v)); };
    const auto block = [&](const uint8_t* s, float* q) {
        const auto v = hn::LoadU(du, reinterpret_cast<const uint32_t*>(s));
        VF b = toFloat(hn::And(v, low));
        VF g = toFloat(hn::And(hn::ShiftRight<8>(v), low));
        VF r = toFloat(hn::And(hn::ShiftRight<16>(v), low));
        VF a = toFloat(hn::ShiftRight<24>(v));
        if (!hn::AllFalse(d, hn::Lt(a, c255))) {
            // The decoder's rounded unpremultiply, min(255, ⌊(255 c + ⌊a/2⌋) / a⌋), exact in
            // float; transparent pixels zero.
            const auto live = hn::Gt(a, zero);
            const auto opaque = hn::Ge(a, c255);
            const VF halfA = hn::Floor(hn::Mul(a, hn::Set(d, 0.5f)));
            const VF safe = hn::Max(a, hn::Set(d, 1.0f));
            const auto un = [&](VF c) {
                const VF qv = hn::Floor(hn::Div(hn::MulAdd(c, c255, halfA), safe));
                return hn::IfThenElse(opaque, c, hn::IfThenElseZero(live, hn::Min(qv, c255)));
            };
            r = un(r), g = un(g), b = un(b);
        }
        r = hn::Mul(r, k), g = hn::Mul(g, k), b = hn::Mul(b, k), a = hn::Mul(a, k);
        ToneStages(d, prep, ns, gain, r, g, b, a);
        hn::StoreInterleaved4(r, g, b, a, d, q);
    };
    int i = 0;
    for (; i + N <= n; i += N) block(bgra + 4 * i, out + 4 * i);
    if (i < n) {
        HWY_ALIGN uint8_t src[4 * kMaxPixels] = {};
        HWY_ALIGN float tail[4 * kMaxPixels] = {};
        std::memcpy(src, bgra + 4 * i, size_t(n - i) * 4);
        block(src, tail);
        std::memcpy(out + 4 * i, tail, size_t(n - i) * 4 * sizeof(float));
    }
}

void GammaRow(float* p, int n, float power) {
    const DF d;
    PixelBlocks(p, n, [&](float* q, int) {
        VF r, g, b, a;
        hn::LoadInterleaved4(d, q, r, g, b, a);
        const VF zero = hn::Zero(d), pw = hn::Set(d, power);
        const auto live = hn::Gt(a, zero);
        // Opaque (or brighter) pixels as they are; a channel above its alpha taken as it stands.
        const auto opaque = hn::Ge(a, hn::Set(d, 1.0f));
        const VF inv = hn::Div(hn::Set(d, 1.0f), hn::IfThenElse(live, a, hn::Set(d, 1.0f)));
        auto raise = [&](VF c) {
            const VF un = hn::Max(hn::IfThenElse(hn::Or(opaque, hn::Gt(c, a)), c, hn::Mul(c, inv)), zero);
            return hn::IfThenElseZero(live, hn::Mul(Pow(d, un, pw), a));
        };
        r = raise(r);
        g = raise(g);
        b = raise(b);
        a = hn::IfThenElseZero(live, a);
        hn::StoreInterleaved4(r, g, b, a, d, q);
    });
}

void VignetteRow(float* o, const float* dx2, int n, float dy2, float k, bool darken) {
    const DF d;
    const int N = int(hn::Lanes(d));
    const VF one = hn::Set(d, 1.0f), vk = hn::Set(d, k), vdy2 = hn::Set(d, dy2);
    auto shade = [&](float* q, VF x2) {
        const VF f0 = hn::MulAdd(vk, hn::Add(x2, vdy2), one);
        const VF ff = hn::Mul(f0, f0);
        const VF f = darken ? hn::Div(one, ff) : ff;
        VF r, g, b, a;
        hn::LoadInterleaved4(d, q, r, g, b, a);
        hn::StoreInterleaved4(hn::Mul(r, f), hn::Mul(g, f), hn::Mul(b, f), a, d, q);
    };
    int i = 0;
    for (; i + N <= n; i += N) shade(o + 4 * i, hn::LoadU(d, dx2 + i));
    if (i < n) {
        HWY_ALIGN float tail[4 * kMaxPixels] = {};
        HWY_ALIGN float x2[kMaxPixels] = {};
        std::memcpy(tail, o + 4 * i, size_t(n - i) * 4 * sizeof(float));
        std::memcpy(x2, dx2 + i, size_t(n - i) * sizeof(float));
        shade(tail, hn::Load(d, x2));
        std::memcpy(o + 4 * i, tail, size_t(n - i) * 4 * sizeof(float));
    }
}

void RadialGradientRow(float* o, int n, float dx0, float dy2, float r0, float inv, const float* c0, const float* dc) {
    const DF d;
    const VF vdy2 = hn::Set(d, dy2), vr0 = hn::Set(d, r0), vinv = hn::Set(d, inv), one = hn::Set(d, 1.0f);
    const VF lane = hn::Iota(d, 0.0f);
    PixelBlocks(o, n, [&](float* q, int i) {
        const VF dx = hn::Add(hn::Set(d, dx0 + float(i)), lane);
        const VF dist = hn::Sqrt(hn::MulAdd(dx, dx, vdy2));
        // No span between the radii: a hard edge at r0.
        const VF t = inv != 0.0f ? Clamp01(d, hn::Mul(hn::Sub(dist, vr0), vinv))
                                 : hn::IfThenZeroElse(hn::Lt(dist, vr0), one);
        hn::StoreInterleaved4(hn::MulAdd(hn::Set(d, dc[0]), t, hn::Set(d, c0[0])),
                              hn::MulAdd(hn::Set(d, dc[1]), t, hn::Set(d, c0[1])),
                              hn::MulAdd(hn::Set(d, dc[2]), t, hn::Set(d, c0[2])),
                              hn::MulAdd(hn::Set(d, dc[3]), t, hn::Set(d, c0[3])), d, q);
    });
}

void NoiseRow(int x0, int y, int n, float* out) {
    const hn::ScalableTag<uint64_t> d64;
    const hn::Rebind<uint32_t, decltype(d64)> du;
    const hn::Rebind<int32_t, decltype(d64)> di;
    const hn::Rebind<float, decltype(d64)> df;
    const int N = int(hn::Lanes(d64));
    const auto golden = hn::Set(d64, 0x9E3779B97F4A7C15ull);
    const auto yy = hn::Set(d64, uint64_t(uint32_t(y)));
    auto channel = [&](decltype(golden) key, uint64_t c) {
        const auto h = hn::ShiftRight<8>(hn::And(NoiseBits(d64, key, c), hn::Set(d64, 0xFFFFFFFFull)));
        return hn::Mul(hn::ConvertTo(df, hn::BitCast(di, hn::TruncateTo(du, h))), hn::Set(df, 1.0f / 16777216.0f));
    };
    HWY_ALIGN uint64_t xs[hn::MaxLanes(d64)];
    auto block = [&](int i, float* o) {
        for (int l = 0; l < N; ++l) xs[l] = uint64_t(uint32_t(x0 + i + l)) << 32;
        const auto key = Mul64(d64, hn::Or(hn::Load(d64, xs), yy), golden);
        hn::StoreInterleaved4(channel(key, 0), channel(key, 1), channel(key, 2), channel(key, 3), df, o);
    };
    int i = 0;
    for (; i + N <= n; i += N) block(i, out + 4 * i);
    if (i < n) {
        HWY_ALIGN float tail[4 * hn::MaxLanes(d64)];
        block(i, tail);
        std::memcpy(out + 4 * i, tail, size_t(n - i) * 4 * sizeof(float));
    }
}

// One of the sRGB curves over n values; the tail through a padded block, as every value alone.
template <class Curve>
void CurveRow(const float* in, int n, float* out, Curve curve) {
    const DF d;
    const int N = int(hn::Lanes(d));
    int i = 0;
    for (; i + N <= n; i += N) hn::StoreU(curve(d, hn::LoadU(d, in + i)), d, out + i);
    if (i < n) {
        HWY_ALIGN float t[kMaxPixels] = {};
        std::memcpy(t, in + i, size_t(n - i) * sizeof(float));
        hn::Store(curve(d, hn::Load(d, t)), d, t);
        std::memcpy(out + i, t, size_t(n - i) * sizeof(float));
    }
}
void EncodeSrgbToneRow(const float* in, int n, float* out) {
    CurveRow(in, n, out, [](DF d, VF v) { return SrgbEncode(d, v); });
}
void DecodeSrgbToneRow(const float* in, int n, float* out) {
    CurveRow(in, n, out, [](DF d, VF v) { return SrgbDecode(d, v); });
}

float EncodeSrgbTone(float x) {
    const hn::CappedTag<float, 1> d;
    return hn::GetLane(SrgbEncode(d, hn::Set(d, x)));
}
float DecodeSrgbTone(float x) {
    const hn::CappedTag<float, 1> d;
    return hn::GetLane(SrgbDecode(d, hn::Set(d, x)));
}

}  // namespace ostrela::engine::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::engine {
HWY_EXPORT(ToneRun);
HWY_EXPORT(ToneRunBytes);
HWY_EXPORT(ToneRunMixed);
HWY_EXPORT(GammaRow);
HWY_EXPORT(VignetteRow);
HWY_EXPORT(NoiseRow);
HWY_EXPORT(RadialGradientRow);
HWY_EXPORT(EncodeSrgbToneRow);
HWY_EXPORT(DecodeSrgbToneRow);

namespace kernels {
void toneRun(float* p, int n, const ToneParams* stages, int ns, bool encoded, const float* gain) {
    HWY_DYNAMIC_DISPATCH(ToneRun)(p, n, stages, ns, encoded, gain);
}
void toneRunBytes(const uint8_t* bgra, int n, const ToneParams* stages, int ns, const float* gain, float* out) {
    HWY_DYNAMIC_DISPATCH(ToneRunBytes)(bgra, n, stages, ns, gain, out);
}
void toneRunMixed(const float* lo, const float* hi, float wx, float wy, int n, const ToneParams* stages, int ns, const float* gain,
                  float* out) {
    HWY_DYNAMIC_DISPATCH(ToneRunMixed)(lo, hi, wx, wy, n, stages, ns, gain, out);
}
void findFoot(ToneParams& st) {
    st.foot = false;
    if (!st.diagonal) return;
    for (int c = 0; c < 3; ++c) {
        const float gain = st.m[c * 6], bias = st.m[c == 0 ? 4 : c == 1 ? 9 : 14];
        if (!(gain > 0.0f) || !(bias < 0.0f)) return;
        // Where the encoded value's line crosses zero, a little lower, and lower still until the
        // run's own curve (on the target in use) gives zero there.
        const auto coloured = [&](float v) { return std::fma(gain, encodeSrgbTone(v), bias) > 0.0f; };
        float u = decodeSrgbTone(std::min(-bias / gain, 1.0f)) * (1.0f - 1e-4f);
        for (int i = 0; i < 64 && u > 0.0f && coloured(u); ++i) u *= 1.0f - 1e-4f;
        if (!(u > 0.0f) || coloured(u)) return;
        st.footBelow[c] = u;
    }
    st.foot = true;
}
void gammaRow(float* p, int n, float power) { HWY_DYNAMIC_DISPATCH(GammaRow)(p, n, power); }
void vignetteRow(float* o, const float* dx2, int n, float dy2, float k, bool darken) {
    HWY_DYNAMIC_DISPATCH(VignetteRow)(o, dx2, n, dy2, k, darken);
}
void noiseRow(int x0, int y, int n, float* out) { HWY_DYNAMIC_DISPATCH(NoiseRow)(x0, y, n, out); }
void radialGradientRow(float* o, int n, float dx0, float dy2, float r0, float inv, const float* c0, const float* dc) {
    HWY_DYNAMIC_DISPATCH(RadialGradientRow)(o, n, dx0, dy2, r0, inv, c0, dc);
}
void encodeSrgbToneRow(const float* in, int n, float* out) { HWY_DYNAMIC_DISPATCH(EncodeSrgbToneRow)(in, n, out); }
void decodeSrgbToneRow(const float* in, int n, float* out) { HWY_DYNAMIC_DISPATCH(DecodeSrgbToneRow)(in, n, out); }
// Single values through the baseline build: the same curve to within a rounding of the fused steps.
float encodeSrgbTone(float linear) { return HWY_STATIC_DISPATCH(EncodeSrgbTone)(linear); }
float decodeSrgbTone(float encoded) { return HWY_STATIC_DISPATCH(DecodeSrgbTone)(encoded); }
}  // namespace kernels
}  // namespace ostrela::engine
#endif
