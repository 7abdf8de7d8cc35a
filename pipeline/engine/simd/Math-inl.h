// The engine's vector maths, written once for every Highway target: the sRGB curves, log2, exp2,
// pow, the tone filters' unpremultiply and the noise hash. Kernels include this from inside their
// own foreach_target pass, so each target gets its own copy; every lane is computed alone, so a
// result never depends on the vector width or where in a row a pixel falls.

// Per-target include guard.
#if defined(OSTRELA_ENGINE_SIMD_MATH_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef OSTRELA_ENGINE_SIMD_MATH_INL_H_
#undef OSTRELA_ENGINE_SIMD_MATH_INL_H_
#else
#define OSTRELA_ENGINE_SIMD_MATH_INL_H_
#endif

#include <hwy/highway.h>

#include <cstring>

HWY_BEFORE_NAMESPACE();
namespace ostrela::engine::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <class D, class V = hn::VFromD<D>>
HWY_INLINE V Clamp01(D d, V v) {
    // Max first: NaN goes to 0.
    return hn::Min(hn::Max(v, hn::Zero(d)), hn::Set(d, 1.0f));
}

// x^¼ for x in 0…1.
template <class D, class V = hn::VFromD<D>>
HWY_INLINE V FourthRoot(D, V x) {
    return hn::Sqrt(hn::Sqrt(x));
}

// The reciprocal square root estimate with one Newton step (relative error ~1e-7 after it).
template <class D, class V = hn::VFromD<D>>
HWY_INLINE V RefinedRsqrt(D d, V x) {
    const V y = hn::ApproximateReciprocalSqrt(x);
    return hn::Mul(y, hn::NegMulAdd(hn::Mul(hn::Set(d, 0.5f), x), hn::Mul(y, y), hn::Set(d, 1.5f)));
}

// x^¼ on the multiply-add units instead of the divider, which the frame write also needs for its
// division by alpha. Lanes below 1e-20 give values the callers' toe select discards.
template <class D, class V = hn::VFromD<D>>
HWY_INLINE V FourthRootFast(D d, V x) {
    return RefinedRsqrt(d, RefinedRsqrt(d, hn::Max(x, hn::Set(d, 1e-20f))));
}

// sRGB encode as the tone filters evaluate it, input clamped to 0…1. Above the linear toe a
// degree-5 polynomial in x^¼ (max error 4e-5).
template <class D, class V = hn::VFromD<D>>
HWY_INLINE V SrgbEncode(D d, V x) {
    x = Clamp01(d, x);
    const V t = FourthRoot(d, x);
    V p = hn::Set(d, 7.885579970e-02f);
    p = hn::MulAdd(p, t, hn::Set(d, -3.293718701e-01f));
    p = hn::MulAdd(p, t, hn::Set(d, 1.117347004e+00f));
    p = hn::MulAdd(p, t, hn::Set(d, 1.980407774e-01f));
    p = hn::MulAdd(p, t, hn::Set(d, -6.484378023e-02f));
    const V toe = hn::Mul(x, hn::Set(d, 12.92f));
    return hn::IfThenElse(hn::Lt(x, hn::Set(d, 0.0031308f)), toe, p);
}

// sRGB decode, input clamped to 0…1. Above the toe a degree-4 polynomial (max error 1.2e-4).
template <class D, class V = hn::VFromD<D>>
HWY_INLINE V SrgbDecode(D d, V s) {
    s = Clamp01(d, s);
    V p = hn::Set(d, -8.564527276e-02f);
    p = hn::MulAdd(p, s, hn::Set(d, 4.667377888e-01f));
    p = hn::MulAdd(p, s, hn::Set(d, 5.962257185e-01f));
    p = hn::MulAdd(p, s, hn::Set(d, 2.122565121e-02f));
    p = hn::MulAdd(p, s, hn::Set(d, 1.382283144e-03f));
    const V toe = hn::Mul(s, hn::Set(d, 1.0f / 12.92f));
    return hn::IfThenElse(hn::Lt(s, hn::Set(d, 0.04045f)), toe, p);
}

// log2 for x > 0 (relative error ~2e-6 in the mantissa polynomial).
template <class D, class V = hn::VFromD<D>>
HWY_INLINE V Log2(D d, V x) {
    const hn::RebindToSigned<D> di;
    const auto bits = hn::BitCast(di, x);
    const V e = hn::ConvertTo(d, hn::Sub(hn::ShiftRight<23>(bits), hn::Set(di, 127)));
    const V m = hn::BitCast(d, hn::Or(hn::And(bits, hn::Set(di, 0x007FFFFF)), hn::Set(di, 0x3F800000)));
    const V t = hn::Sub(m, hn::Set(d, 1.0f));
    V p = hn::Set(d, 2.049034609e-02f);
    p = hn::MulAdd(p, t, hn::Set(d, -9.606624941e-02f));
    p = hn::MulAdd(p, t, hn::Set(d, 2.155885327e-01f));
    p = hn::MulAdd(p, t, hn::Set(d, -3.392477732e-01f));
    p = hn::MulAdd(p, t, hn::Set(d, 4.777059308e-01f));
    p = hn::MulAdd(p, t, hn::Set(d, -7.211627342e-01f));
    p = hn::MulAdd(p, t, hn::Set(d, 1.442693257e+00f));
    return hn::MulAdd(t, p, e);
}

// 2^y, y clamped to ±126.
template <class D, class V = hn::VFromD<D>>
HWY_INLINE V Exp2(D d, V y) {
    const hn::RebindToSigned<D> di;
    y = hn::Min(hn::Max(y, hn::Set(d, -126.0f)), hn::Set(d, 126.0f));
    const V fl = hn::Floor(y);
    const V f = hn::Sub(y, fl);
    V p = hn::Set(d, 1.895107290e-03f);
    p = hn::MulAdd(p, f, hn::Set(d, 8.946214669e-03f));
    p = hn::MulAdd(p, f, hn::Set(d, 5.586328266e-02f));
    p = hn::MulAdd(p, f, hn::Set(d, 2.401407701e-01f));
    p = hn::MulAdd(p, f, hn::Set(d, 6.931546200e-01f));
    p = hn::MulAdd(p, f, hn::Set(d, 9.999998958e-01f));
    const auto scale = hn::ShiftLeft<23>(hn::Add(hn::ConvertTo(di, fl), hn::Set(di, 127)));
    return hn::Mul(p, hn::BitCast(d, scale));
}

// x^p for x ≥ 0 (0 stays 0).
template <class D, class V = hn::VFromD<D>>
HWY_INLINE V Pow(D d, V x, V p) {
    const V r = Exp2(d, hn::Mul(p, Log2(d, hn::Max(x, hn::Set(d, 1e-30f)))));
    return hn::IfThenElseZero(hn::Gt(x, hn::Zero(d)), r);
}

// Premultiplied planes to unpremultiplied ones, the tone filters' rule: blocks with every alpha at
// 1 as they are, transparent pixels zero, a channel above its alpha (only the noise generator,
// whose four channels are independent, makes them) taken as it stands.
template <class D, class V = hn::VFromD<D>>
HWY_INLINE void Unpremultiply(D d, V& r, V& g, V& b, V& a) {
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0f);
    if (hn::AllFalse(d, hn::Lt(a, one))) return;
    const auto live = hn::Gt(a, zero);
    const V inv = hn::IfThenElseZero(live, hn::Div(one, hn::Max(a, hn::Set(d, 1e-30f))));
    r = hn::IfThenElseZero(live, hn::IfThenElse(hn::Gt(r, a), r, hn::Mul(r, inv)));
    g = hn::IfThenElseZero(live, hn::IfThenElse(hn::Gt(g, a), g, hn::Mul(g, inv)));
    b = hn::IfThenElseZero(live, hn::IfThenElse(hn::Gt(b, a), b, hn::Mul(b, inv)));
    a = hn::Max(a, zero);
}

// The low 64 bits of a 64-bit product. AVX-512 and the scalar target multiply 64-bit lanes
// directly; the others build the product from 32-bit halves.
template <class D64, class V = hn::VFromD<D64>>
HWY_INLINE V Mul64(D64 d, V a, V b) {
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL || HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128
    (void)d;
    return hn::Mul(a, b);
#else
    const hn::Repartition<uint32_t, D64> d32;
    const auto a32 = hn::BitCast(d32, a), b32 = hn::BitCast(d32, b);
    const V lo = hn::MulEven(a32, b32);
    const V cross = hn::Add(hn::MulEven(a32, hn::BitCast(d32, hn::ShiftRight<32>(b))),
                            hn::MulEven(hn::BitCast(d32, hn::ShiftRight<32>(a)), b32));
    return hn::Add(lo, hn::ShiftLeft<32>(cross));
#endif
}

// The engine's noise: a pure hash of the key (x << 32 | y) · golden ratio, one channel c at a time,
// uniform in 0…1 with 24 bits. `key` holds one pixel's key per 64-bit lane.
template <class D64, class V = hn::VFromD<D64>>
HWY_INLINE V NoiseBits(D64 d, V key, uint64_t c) {
    V h = hn::Add(key, hn::Set(d, c * 0xD1B54A32D192ED03ull));
    h = hn::Xor(h, hn::ShiftRight<33>(h));
    h = Mul64(d, h, hn::Set(d, 0xFF51AFD7ED558CCDull));
    h = hn::Xor(h, hn::ShiftRight<33>(h));
    h = Mul64(d, h, hn::Set(d, 0xC4CEB9FE1A85EC53ull));
    return hn::Xor(h, hn::ShiftRight<33>(h));
}

// o[k] = a[k] + (b[k] − a[k])·w over n floats, a multiply-add each; the tail through the same
// operations in a padded block.
HWY_INLINE void LerpFloats(const float* a, const float* b, size_t n, float w, float* o) {
    const hn::ScalableTag<float> d;
    const size_t N = hn::Lanes(d);
    const auto vw = hn::Set(d, w);
    size_t i = 0;
    for (; i + N <= n; i += N) {
        const auto lo = hn::LoadU(d, a + i);
        hn::StoreU(hn::MulAdd(hn::Sub(hn::LoadU(d, b + i), lo), vw, lo), d, o + i);
    }
    if (i < n) {
        HWY_ALIGN float ta[hn::MaxLanes(d)] = {}, tb[hn::MaxLanes(d)] = {}, to[hn::MaxLanes(d)];
        std::memcpy(ta, a + i, (n - i) * sizeof(float));
        std::memcpy(tb, b + i, (n - i) * sizeof(float));
        const auto lo = hn::Load(d, ta);
        hn::Store(hn::MulAdd(hn::Sub(hn::Load(d, tb), lo), vw, lo), d, to);
        std::memcpy(o + i, to, (n - i) * sizeof(float));
    }
}

// RGBA entry k of a table mixed towards entry k + 1 by f (a multiply-add), into o.
HWY_INLINE void MixEntries(const float* t, int k, float f, float* o) {
    const hn::CappedTag<float, 4> d4;
    const auto vf = hn::Set(d4, f);
    for (size_t c = 0; c < 4; c += hn::Lanes(d4)) {
        const auto e0 = hn::LoadU(d4, t + 4 * k + c), e1 = hn::LoadU(d4, t + 4 * k + 4 + c);
        hn::StoreU(hn::MulAdd(hn::Sub(e1, e0), vf, e0), d4, o + c);
    }
}

// Runs block(q, i) over n RGBA pixels, a register's worth at a time (q points at pixel i), the
// tail through a zero-padded copy, so a row's last pixels go through the same code.
template <class Block>
HWY_INLINE void PixelBlocks(float* p, int n, const Block& block) {
    using DF = hn::ScalableTag<float>;
    const int N = int(hn::Lanes(DF()));
    int i = 0;
    for (; i + N <= n; i += N) block(p + 4 * i, i);
    if (i < n) {
        HWY_ALIGN float tail[4 * hn::MaxLanes(DF())] = {};
        std::memcpy(tail, p + 4 * i, size_t(n - i) * 4 * sizeof(float));
        block(tail, i);
        std::memcpy(p + 4 * i, tail, size_t(n - i) * 4 * sizeof(float));
    }
}

}  // namespace ostrela::engine::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // OSTRELA_ENGINE_SIMD_MATH_INL_H_
