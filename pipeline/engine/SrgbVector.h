#pragma once
// The sRGB curves as the tone filters evaluate them, four, eight and sixteen lanes wide. Fused passes
// elsewhere include these so their results equal the filters' to the bit.
#include <immintrin.h>

namespace ostrela::engine::vec {

inline __m128 clamp01(__m128 v) { return _mm_min_ps(_mm_max_ps(v, _mm_setzero_ps()), _mm_set1_ps(1.0f)); }

// Refined reciprocal square root (relative error ~1e-7); x^¼ = rsqrt(rsqrt(x)) is far cheaper
// than two square roots. Lanes below 1e-20 give values the callers' toe select discards.
inline __m128 refinedRsqrt(__m128 x) {
    const __m128 y = _mm_rsqrt_ps(x);
    return _mm_mul_ps(y, _mm_sub_ps(_mm_set1_ps(1.5f), _mm_mul_ps(_mm_mul_ps(_mm_set1_ps(0.5f), x), _mm_mul_ps(y, y))));
}
inline __m128 fourthRoot(__m128 x) { return refinedRsqrt(refinedRsqrt(_mm_max_ps(x, _mm_set1_ps(1e-20f)))); }

// sRGB encode, lanes independent, input clamped to 0…1. Above the linear toe a degree-5
// polynomial in x^¼ (max error 4e-5).
inline __m128 encodeV(__m128 x) {
    x = clamp01(x);
    const __m128 t = fourthRoot(x);
    __m128 p = _mm_set1_ps(7.885579970e-02f);
    p = _mm_add_ps(_mm_mul_ps(p, t), _mm_set1_ps(-3.293718701e-01f));
    p = _mm_add_ps(_mm_mul_ps(p, t), _mm_set1_ps(1.117347004e+00f));
    p = _mm_add_ps(_mm_mul_ps(p, t), _mm_set1_ps(1.980407774e-01f));
    p = _mm_add_ps(_mm_mul_ps(p, t), _mm_set1_ps(-6.484378023e-02f));
    const __m128 toe = _mm_mul_ps(x, _mm_set1_ps(12.92f));
    return _mm_blendv_ps(p, toe, _mm_cmplt_ps(x, _mm_set1_ps(0.0031308f)));
}

// sRGB decode, input clamped to 0…1. Above the toe a degree-4 polynomial (max error 1.2e-4).
inline __m128 decodeV(__m128 s) {
    s = clamp01(s);
    __m128 p = _mm_set1_ps(-8.564527276e-02f);
    p = _mm_add_ps(_mm_mul_ps(p, s), _mm_set1_ps(4.667377888e-01f));
    p = _mm_add_ps(_mm_mul_ps(p, s), _mm_set1_ps(5.962257185e-01f));
    p = _mm_add_ps(_mm_mul_ps(p, s), _mm_set1_ps(2.122565121e-02f));
    p = _mm_add_ps(_mm_mul_ps(p, s), _mm_set1_ps(1.382283144e-03f));
    const __m128 toe = _mm_mul_ps(s, _mm_set1_ps(1.0f / 12.92f));
    return _mm_blendv_ps(p, toe, _mm_cmplt_ps(s, _mm_set1_ps(0.04045f)));
}

// ---- Eight lanes (AVX2 + FMA; callers choose them at run time) ----
#define OSTRELA_VEC_AVX2 __attribute__((target("avx2,fma")))

OSTRELA_VEC_AVX2 inline __m256 clamp01x8(__m256 v) { return _mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), _mm256_set1_ps(1.0f)); }

// The refined reciprocal square root eight lanes wide. Square roots and divisions share one
// slow unit; this runs on the multiply-add units instead, which pays where that unit is the
// bottleneck (the frame encode, which also divides by alpha).
OSTRELA_VEC_AVX2 inline __m256 refinedRsqrtX8(__m256 x) {
    const __m256 y = _mm256_rsqrt_ps(x);
    return _mm256_mul_ps(y, _mm256_fnmadd_ps(_mm256_mul_ps(_mm256_set1_ps(0.5f), x), _mm256_mul_ps(y, y), _mm256_set1_ps(1.5f)));
}
OSTRELA_VEC_AVX2 inline __m256 fourthRootX8(__m256 x) {
    return refinedRsqrtX8(refinedRsqrtX8(_mm256_max_ps(x, _mm256_set1_ps(1e-20f))));
}

// The same curves; x^¼ as two square roots, which cost no more here.
OSTRELA_VEC_AVX2 inline __m256 encodeX8(__m256 x) {
    x = clamp01x8(x);
    const __m256 t = _mm256_sqrt_ps(_mm256_sqrt_ps(x));
    __m256 p = _mm256_set1_ps(7.885579970e-02f);
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(-3.293718701e-01f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(1.117347004e+00f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(1.980407774e-01f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(-6.484378023e-02f));
    const __m256 toe = _mm256_mul_ps(x, _mm256_set1_ps(12.92f));
    return _mm256_blendv_ps(p, toe, _mm256_cmp_ps(x, _mm256_set1_ps(0.0031308f), _CMP_LT_OQ));
}

OSTRELA_VEC_AVX2 inline __m256 decodeX8(__m256 s) {
    s = clamp01x8(s);
    __m256 p = _mm256_set1_ps(-8.564527276e-02f);
    p = _mm256_fmadd_ps(p, s, _mm256_set1_ps(4.667377888e-01f));
    p = _mm256_fmadd_ps(p, s, _mm256_set1_ps(5.962257185e-01f));
    p = _mm256_fmadd_ps(p, s, _mm256_set1_ps(2.122565121e-02f));
    p = _mm256_fmadd_ps(p, s, _mm256_set1_ps(1.382283144e-03f));
    const __m256 toe = _mm256_mul_ps(s, _mm256_set1_ps(1.0f / 12.92f));
    return _mm256_blendv_ps(p, toe, _mm256_cmp_ps(s, _mm256_set1_ps(0.04045f), _CMP_LT_OQ));
}

// Premultiplied planes to unpremultiplied ones, the tone filters' rule: blocks with every alpha
// at 1 as they are, transparent pixels zero, a channel above its alpha taken as it stands.
OSTRELA_VEC_AVX2 inline void unpremultiplyX8(__m256& r, __m256& g, __m256& b, __m256& a) {
    const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
    if (_mm256_movemask_ps(_mm256_cmp_ps(a, one, _CMP_LT_OQ)) == 0) return;
    const __m256 live = _mm256_cmp_ps(a, zero, _CMP_GT_OQ);
    const __m256 inv = _mm256_and_ps(live, _mm256_div_ps(one, _mm256_max_ps(a, _mm256_set1_ps(1e-30f))));
    r = _mm256_and_ps(live, _mm256_blendv_ps(_mm256_mul_ps(r, inv), r, _mm256_cmp_ps(r, a, _CMP_GT_OQ)));
    g = _mm256_and_ps(live, _mm256_blendv_ps(_mm256_mul_ps(g, inv), g, _mm256_cmp_ps(g, a, _CMP_GT_OQ)));
    b = _mm256_and_ps(live, _mm256_blendv_ps(_mm256_mul_ps(b, inv), b, _mm256_cmp_ps(b, a, _CMP_GT_OQ)));
    a = _mm256_max_ps(a, zero);
}

// In-lane 4×4 transposes: pixels 0–3 in the low halves, 4–7 in the high ones.
OSTRELA_VEC_AVX2 inline void transpose8(__m256& a, __m256& b, __m256& c, __m256& d) {
    const __m256 t0 = _mm256_unpacklo_ps(a, b), t1 = _mm256_unpacklo_ps(c, d);
    const __m256 t2 = _mm256_unpackhi_ps(a, b), t3 = _mm256_unpackhi_ps(c, d);
    a = _mm256_shuffle_ps(t0, t1, 0x44);
    b = _mm256_shuffle_ps(t0, t1, 0xEE);
    c = _mm256_shuffle_ps(t2, t3, 0x44);
    d = _mm256_shuffle_ps(t2, t3, 0xEE);
}

// Pixels i and i + 4 of a RGBA float row, one in each half.
OSTRELA_VEC_AVX2 inline __m256 loadPair(const float* p, int i) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p + 4 * i)), _mm_loadu_ps(p + 4 * i + 16), 1);
}
OSTRELA_VEC_AVX2 inline void storePair(float* p, int i, __m256 v) {
    _mm_storeu_ps(p + 4 * i, _mm256_castps256_ps128(v));
    _mm_storeu_ps(p + 4 * i + 16, _mm256_extractf128_ps(v, 1));
}

// ---- Sixteen lanes (AVX-512F), the eight-lane curves operation for operation ----
#define OSTRELA_VEC_AVX512 __attribute__((target("avx512f")))

// Minimum and maximum through their masked forms: GCC 12 warns that the plain ones read an
// undefined register.
OSTRELA_VEC_AVX512 inline __m512 max16(__m512 a, __m512 b) { return _mm512_maskz_max_ps(0xFFFF, a, b); }
OSTRELA_VEC_AVX512 inline __m512 min16(__m512 a, __m512 b) { return _mm512_maskz_min_ps(0xFFFF, a, b); }
OSTRELA_VEC_AVX512 inline __m512 clamp01x16(__m512 v) { return min16(max16(v, _mm512_setzero_ps()), _mm512_set1_ps(1.0f)); }

// unpremultiplyX8, sixteen lanes wide.
OSTRELA_VEC_AVX512 inline void unpremultiplyX16(__m512& r, __m512& g, __m512& b, __m512& a) {
    const __m512 zero = _mm512_setzero_ps(), one = _mm512_set1_ps(1.0f);
    if (_mm512_cmp_ps_mask(a, one, _CMP_LT_OQ) == 0) return;
    const __mmask16 live = _mm512_cmp_ps_mask(a, zero, _CMP_GT_OQ);
    const __m512 inv = _mm512_maskz_div_ps(live, one, max16(a, _mm512_set1_ps(1e-30f)));
    r = _mm512_maskz_mov_ps(live, _mm512_mask_blend_ps(_mm512_cmp_ps_mask(r, a, _CMP_GT_OQ), _mm512_mul_ps(r, inv), r));
    g = _mm512_maskz_mov_ps(live, _mm512_mask_blend_ps(_mm512_cmp_ps_mask(g, a, _CMP_GT_OQ), _mm512_mul_ps(g, inv), g));
    b = _mm512_maskz_mov_ps(live, _mm512_mask_blend_ps(_mm512_cmp_ps_mask(b, a, _CMP_GT_OQ), _mm512_mul_ps(b, inv), b));
    a = max16(a, zero);
}

// The refined reciprocal square root sixteen lanes wide (the estimate good to 2^-14, so one
// refinement leaves less than 1e-7).
OSTRELA_VEC_AVX512 inline __m512 refinedRsqrtX16(__m512 x) {
    const __m512 y = _mm512_maskz_rsqrt14_ps(0xFFFF, x);
    return _mm512_mul_ps(y, _mm512_fnmadd_ps(_mm512_mul_ps(_mm512_set1_ps(0.5f), x), _mm512_mul_ps(y, y), _mm512_set1_ps(1.5f)));
}
OSTRELA_VEC_AVX512 inline __m512 fourthRootX16(__m512 x) { return refinedRsqrtX16(refinedRsqrtX16(max16(x, _mm512_set1_ps(1e-20f)))); }

OSTRELA_VEC_AVX512 inline __m512 encodeX16(__m512 x) {
    x = clamp01x16(x);
    const __m512 t = _mm512_maskz_sqrt_ps(0xFFFF, _mm512_maskz_sqrt_ps(0xFFFF, x));
    __m512 p = _mm512_set1_ps(7.885579970e-02f);
    p = _mm512_fmadd_ps(p, t, _mm512_set1_ps(-3.293718701e-01f));
    p = _mm512_fmadd_ps(p, t, _mm512_set1_ps(1.117347004e+00f));
    p = _mm512_fmadd_ps(p, t, _mm512_set1_ps(1.980407774e-01f));
    p = _mm512_fmadd_ps(p, t, _mm512_set1_ps(-6.484378023e-02f));
    const __m512 toe = _mm512_mul_ps(x, _mm512_set1_ps(12.92f));
    return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(x, _mm512_set1_ps(0.0031308f), _CMP_LT_OQ), p, toe);
}

OSTRELA_VEC_AVX512 inline __m512 decodeX16(__m512 s) {
    s = clamp01x16(s);
    __m512 p = _mm512_set1_ps(-8.564527276e-02f);
    p = _mm512_fmadd_ps(p, s, _mm512_set1_ps(4.667377888e-01f));
    p = _mm512_fmadd_ps(p, s, _mm512_set1_ps(5.962257185e-01f));
    p = _mm512_fmadd_ps(p, s, _mm512_set1_ps(2.122565121e-02f));
    p = _mm512_fmadd_ps(p, s, _mm512_set1_ps(1.382283144e-03f));
    const __m512 toe = _mm512_mul_ps(s, _mm512_set1_ps(1.0f / 12.92f));
    return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(s, _mm512_set1_ps(0.04045f), _CMP_LT_OQ), p, toe);
}

// Sixteen RGBA pixels (four registers of four) to four planes of sixteen, and back.
OSTRELA_VEC_AVX512 inline void toPlanes16(__m512& a, __m512& b, __m512& c, __m512& d) {
    const __m512i lo = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29);
    const __m512i hi = _mm512_setr_epi32(2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31);
    const __m512 rg0 = _mm512_permutex2var_ps(a, lo, b), ba0 = _mm512_permutex2var_ps(a, hi, b);
    const __m512 rg1 = _mm512_permutex2var_ps(c, lo, d), ba1 = _mm512_permutex2var_ps(c, hi, d);
    a = _mm512_maskz_shuffle_f32x4(0xFFFF, rg0, rg1, 0x44);
    b = _mm512_maskz_shuffle_f32x4(0xFFFF, rg0, rg1, 0xEE);
    c = _mm512_maskz_shuffle_f32x4(0xFFFF, ba0, ba1, 0x44);
    d = _mm512_maskz_shuffle_f32x4(0xFFFF, ba0, ba1, 0xEE);
}
OSTRELA_VEC_AVX512 inline void toPixels16(__m512& r, __m512& g, __m512& b, __m512& a) {
    const __m512i lo = _mm512_setr_epi32(0, 8, 16, 24, 1, 9, 17, 25, 2, 10, 18, 26, 3, 11, 19, 27);
    const __m512i hi = _mm512_setr_epi32(4, 12, 20, 28, 5, 13, 21, 29, 6, 14, 22, 30, 7, 15, 23, 31);
    const __m512 rg0 = _mm512_maskz_shuffle_f32x4(0xFFFF, r, g, 0x44), rg1 = _mm512_maskz_shuffle_f32x4(0xFFFF, r, g, 0xEE);
    const __m512 ba0 = _mm512_maskz_shuffle_f32x4(0xFFFF, b, a, 0x44), ba1 = _mm512_maskz_shuffle_f32x4(0xFFFF, b, a, 0xEE);
    r = _mm512_permutex2var_ps(rg0, lo, ba0);
    g = _mm512_permutex2var_ps(rg0, hi, ba0);
    b = _mm512_permutex2var_ps(rg1, lo, ba1);
    a = _mm512_permutex2var_ps(rg1, hi, ba1);
}

}  // namespace ostrela::engine::vec
