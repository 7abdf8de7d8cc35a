#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/Cpu.h"
#include "pipeline/engine/SrgbVector.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <immintrin.h>

namespace ostrela::engine::color {

double srgbToLinear(double v) {
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

double linearToSRGB(double v) {
    v = std::clamp(v, 0.0, 1.0);
    return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
}

namespace {
// 16-bit linear index: the step (1.5e-5) is far finer than the darkest sRGB code step (3e-4), so
// every opaque 8-bit value survives decode → encode exactly.
constexpr int kEncodeSize = 65536;

struct Tables {
    float decode[256];
    uint8_t encode[kEncodeSize];
    Tables() {
        for (int i = 0; i < 256; ++i) decode[i] = float(srgbToLinear(i / 255.0));
        for (int i = 0; i < kEncodeSize; ++i)
            encode[i] = uint8_t(std::lrint(linearToSRGB(double(i) / (kEncodeSize - 1)) * 255.0));
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

inline int encodeIndex(float v) {
    // Clamp first: NaN goes to 0 through the comparison order.
    float c = v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
    return int(c * float(kEncodeSize - 1) + 0.5f);
}
}  // namespace

uint8_t encodeComponent(float linear) { return tables().encode[encodeIndex(linear)]; }
float decodeComponent(uint8_t code) { return tables().decode[code]; }

void decodeRowScalar(const uint8_t* bgra, int n, float* rgba);

namespace {
// Eight opaque pixels through the same table with gathers; returns false (nothing written) when
// one of them is not opaque.
__attribute__((target("avx2,fma"))) bool decodeOpaque8(const uint8_t* bgra, const float* table, float* o) {
    const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bgra));
    const __m256i alpha = _mm256_set1_epi32(int(0xFF000000u));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(_mm256_and_si256(px, alpha), alpha)) != -1) return false;
    const __m256i byte = _mm256_set1_epi32(0xFF);
    __m256 r = _mm256_i32gather_ps(table, _mm256_and_si256(_mm256_srli_epi32(px, 16), byte), 4);
    __m256 g = _mm256_i32gather_ps(table, _mm256_and_si256(_mm256_srli_epi32(px, 8), byte), 4);
    __m256 b = _mm256_i32gather_ps(table, _mm256_and_si256(px, byte), 4);
    __m256 a = _mm256_set1_ps(1.0f);
    // Planes → pixels: in-lane transposes give (p0 | p4), (p1 | p5), (p2 | p6), (p3 | p7).
    const __m256 t0 = _mm256_unpacklo_ps(r, g), t1 = _mm256_unpacklo_ps(b, a);
    const __m256 t2 = _mm256_unpackhi_ps(r, g), t3 = _mm256_unpackhi_ps(b, a);
    r = _mm256_shuffle_ps(t0, t1, 0x44);
    g = _mm256_shuffle_ps(t0, t1, 0xEE);
    b = _mm256_shuffle_ps(t2, t3, 0x44);
    a = _mm256_shuffle_ps(t2, t3, 0xEE);
    _mm256_storeu_ps(o, _mm256_permute2f128_ps(r, g, 0x20));
    _mm256_storeu_ps(o + 8, _mm256_permute2f128_ps(b, a, 0x20));
    _mm256_storeu_ps(o + 16, _mm256_permute2f128_ps(r, g, 0x31));
    _mm256_storeu_ps(o + 24, _mm256_permute2f128_ps(b, a, 0x31));
    return true;
}

// The 256 entries of the table held in sixteen registers.
struct Table16 {
    __m512 t[16];
};
// One code per lane looked up in registers: a permute picks within each pair of registers (the
// low five bits), three blends on the next three bits pick the pair; here this beats a gather.
__attribute__((target("avx512f"), always_inline)) inline __m512 lookup16(const Table16& T, __m512i code) {
    const __m512 p0 = _mm512_permutex2var_ps(T.t[0], code, T.t[1]), p1 = _mm512_permutex2var_ps(T.t[2], code, T.t[3]);
    const __m512 p2 = _mm512_permutex2var_ps(T.t[4], code, T.t[5]), p3 = _mm512_permutex2var_ps(T.t[6], code, T.t[7]);
    const __m512 p4 = _mm512_permutex2var_ps(T.t[8], code, T.t[9]), p5 = _mm512_permutex2var_ps(T.t[10], code, T.t[11]);
    const __m512 p6 = _mm512_permutex2var_ps(T.t[12], code, T.t[13]), p7 = _mm512_permutex2var_ps(T.t[14], code, T.t[15]);
    const __mmask16 b5 = _mm512_test_epi32_mask(code, _mm512_set1_epi32(32));
    const __mmask16 b6 = _mm512_test_epi32_mask(code, _mm512_set1_epi32(64));
    const __mmask16 b7 = _mm512_test_epi32_mask(code, _mm512_set1_epi32(128));
    const __m512 q0 = _mm512_mask_blend_ps(b5, p0, p1), q1 = _mm512_mask_blend_ps(b5, p2, p3);
    const __m512 q2 = _mm512_mask_blend_ps(b5, p4, p5), q3 = _mm512_mask_blend_ps(b5, p6, p7);
    return _mm512_mask_blend_ps(b7, _mm512_mask_blend_ps(b6, q0, q1), _mm512_mask_blend_ps(b6, q2, q3));
}

// Runs of sixteen opaque pixels; returns how many pixels were done (a multiple of sixteen,
// stopping before the first block holding a pixel that is not opaque).
__attribute__((target("avx512f"))) int decodeOpaque16(const uint8_t* bgra, int n, const float* table, float* o) {
    Table16 T;
    for (int q = 0; q < 16; ++q) T.t[q] = _mm512_loadu_ps(table + 16 * q);
    const __m512i byte = _mm512_set1_epi32(0xFF), alpha = _mm512_set1_epi32(int(0xFF000000u));
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512i px = _mm512_loadu_si512(bgra + 4 * i);
        if (_mm512_cmpneq_epi32_mask(_mm512_and_si512(px, alpha), alpha)) break;
        __m512 r = lookup16(T, _mm512_and_si512(_mm512_maskz_srli_epi32(0xFFFF, px, 16), byte));
        __m512 g = lookup16(T, _mm512_and_si512(_mm512_maskz_srli_epi32(0xFFFF, px, 8), byte));
        __m512 b = lookup16(T, _mm512_and_si512(px, byte));
        __m512 a = _mm512_set1_ps(1.0f);
        vec::toPixels16(r, g, b, a);
        float* d = o + 4 * i;
        _mm512_storeu_ps(d, r);
        _mm512_storeu_ps(d + 16, g);
        _mm512_storeu_ps(d + 32, b);
        _mm512_storeu_ps(d + 48, a);
    }
    return i;
}
}  // namespace

void decodeRow(const uint8_t* bgra, int n, float* rgba) {
    const Tables& t = tables();
    if (cpu::hasAvx512()) {
        int i = 0;
        while (i < n) {
            i += decodeOpaque16(bgra + 4 * i, n - i, t.decode, rgba + 4 * i);
            if (i + 16 > n) break;
            // A block with a pixel that is not opaque.
            decodeRowScalar(bgra + 4 * i, 16, rgba + 4 * i);
            i += 16;
        }
        if (i < n) decodeRowScalar(bgra + 4 * i, n - i, rgba + 4 * i);
        return;
    }
    if (cpu::hasAvx2Fma()) {
        int i = 0;
        while (i + 8 <= n) {
            if (decodeOpaque8(bgra + 4 * i, t.decode, rgba + 4 * i)) {
                i += 8;
                continue;
            }
            decodeRowScalar(bgra + 4 * i, 8, rgba + 4 * i);
            i += 8;
        }
        if (i < n) decodeRowScalar(bgra + 4 * i, n - i, rgba + 4 * i);
        return;
    }
    decodeRowScalar(bgra, n, rgba);
}

void decodeRowScalar(const uint8_t* bgra, int n, float* rgba) {
    const Tables& t = tables();
    for (int i = 0; i < n; ++i) {
        const uint8_t* p = bgra + 4 * i;
        float* o = rgba + 4 * i;
        unsigned a = p[3];
        if (a == 255) {
            o[0] = t.decode[p[2]];
            o[1] = t.decode[p[1]];
            o[2] = t.decode[p[0]];
            o[3] = 1.0f;
        } else if (a == 0) {
            o[0] = o[1] = o[2] = o[3] = 0.0f;
        } else {
            // Decode the unpremultiplied colour, then premultiply in linear light.
            float af = float(a) * (1.0f / 255.0f);
            auto un = [a](unsigned c) { return std::min(255u, (c * 255u + a / 2) / a); };
            o[0] = t.decode[un(p[2])] * af;
            o[1] = t.decode[un(p[1])] * af;
            o[2] = t.decode[un(p[0])] * af;
            o[3] = af;
        }
    }
}

void encodeRowTable(const float* rgba, int n, uint8_t* bgra);

namespace {
// Opaque pixels eight at a time without the table: the sRGB curve as a polynomial in x^¼ (max
// error 8e-6, a thousandth of a code step, so every opaque code still survives decode → encode).
// Random-looking pictures (grain, noise) would otherwise miss the cache on every lookup.
__attribute__((target("avx2,fma"))) inline __m256 encode8(__m256 v) {
    const __m256 x = _mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), _mm256_set1_ps(1.0f));
    const __m256 t = vec::fourthRootX8(x);
    __m256 p = _mm256_set1_ps(-6.538063706e-02f);
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(2.809710546e-01f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(-5.673877387e-01f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(1.249779974e+00f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(1.634954933e-01f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(-6.148333535e-02f));
    p = _mm256_blendv_ps(p, _mm256_mul_ps(x, _mm256_set1_ps(12.92f)), _mm256_cmp_ps(x, _mm256_set1_ps(0.0031308f), _CMP_LT_OQ));
    return _mm256_fmadd_ps(p, _mm256_set1_ps(255.0f), _mm256_set1_ps(0.5f));
}

constexpr float kOpaqueAlpha = 254.5f / 255.0f;

__attribute__((target("avx2,fma"))) inline __m256 unpremultiplied8(__m256 v) {
    const __m256 a = _mm256_permute_ps(v, 0xFF);
    return _mm256_div_ps(v, _mm256_max_ps(a, _mm256_set1_ps(0.5f)));
}

// Eight pixels: every lane through the polynomial; translucent pixels are then redone by the
// table path, so each pixel's code depends on its own value only (tiles of any width agree).
__attribute__((target("avx2,fma"))) void encode8Pixels(const float* p, uint8_t* o) {
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i swap = _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15,
                                          2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    const __m256i opaque = _mm256_set1_epi32(int(0xFF000000u));
    // Alpha that writes as 255 (blurred opaque pictures come out at 1 − 1e-7) counts as opaque:
    // the colour is divided by it, as the table path's unpremultiply would.
    const __m256 v0 = unpremultiplied8(_mm256_loadu_ps(p)), v1 = unpremultiplied8(_mm256_loadu_ps(p + 8)),
                 v2 = unpremultiplied8(_mm256_loadu_ps(p + 16)), v3 = unpremultiplied8(_mm256_loadu_ps(p + 24));
    const __m256i a = _mm256_packus_epi32(_mm256_cvttps_epi32(encode8(v0)), _mm256_cvttps_epi32(encode8(v1)));
    const __m256i b = _mm256_packus_epi32(_mm256_cvttps_epi32(encode8(v2)), _mm256_cvttps_epi32(encode8(v3)));
    __m256i px = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(a, b), order);
    px = _mm256_or_si256(_mm256_shuffle_epi8(px, swap), opaque);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), px);
    for (int k = 0; k < 8; ++k)
        if (!(p[4 * k + 3] >= kOpaqueAlpha)) encodeRowTable(p + 4 * k, 1, o + 4 * k);
}

// Sixteen lanes, the same curve. Where these exist every pixel goes through them (the tail in a
// padded block), so a pixel's code still depends on its value only.
__attribute__((target("avx512f"))) inline __m512 encode16(__m512 v) {
    const __m512 x = vec::clamp01x16(v);
    const __m512 t = vec::fourthRootX16(x);
    __m512 p = _mm512_set1_ps(-6.538063706e-02f);
    p = _mm512_fmadd_ps(p, t, _mm512_set1_ps(2.809710546e-01f));
    p = _mm512_fmadd_ps(p, t, _mm512_set1_ps(-5.673877387e-01f));
    p = _mm512_fmadd_ps(p, t, _mm512_set1_ps(1.249779974e+00f));
    p = _mm512_fmadd_ps(p, t, _mm512_set1_ps(1.634954933e-01f));
    p = _mm512_fmadd_ps(p, t, _mm512_set1_ps(-6.148333535e-02f));
    p = _mm512_mask_blend_ps(_mm512_cmp_ps_mask(x, _mm512_set1_ps(0.0031308f), _CMP_LT_OQ), p,
                             _mm512_mul_ps(x, _mm512_set1_ps(12.92f)));
    return _mm512_fmadd_ps(p, _mm512_set1_ps(255.0f), _mm512_set1_ps(0.5f));
}

// Sixteen codes of one channel, as bytes.
__attribute__((target("avx512f"))) inline __m128i codes16(__m512 v) {
    const __m512i c = _mm512_maskz_cvttps_epi32(0xFFFF, encode16(v));
    return _mm512_maskz_cvtusepi32_epi8(0xFFFF, _mm512_maskz_max_epi32(0xFFFF, c, _mm512_setzero_si512()));
}

// Sixteen pixels as planes: three curves a pixel instead of four, the alpha test for free.
__attribute__((target("avx512f"))) void encode16Pixels(const float* p, uint8_t* o) {
    __m512 r = _mm512_loadu_ps(p), g = _mm512_loadu_ps(p + 16), b = _mm512_loadu_ps(p + 32), a = _mm512_loadu_ps(p + 48);
    vec::toPlanes16(r, g, b, a);
    // Opaque blocks (most frames are wholly so) skip the division, which by 1 changes nothing.
    if (_mm512_cmp_ps_mask(a, _mm512_set1_ps(1.0f), _CMP_NEQ_UQ)) {
        const __m512 d = vec::max16(a, _mm512_set1_ps(0.5f));
        r = _mm512_div_ps(r, d), g = _mm512_div_ps(g, d), b = _mm512_div_ps(b, d);
    }
    const __m128i R = codes16(r), G = codes16(g), B = codes16(b), A = _mm_set1_epi8(char(0xFF));
    // Blue, green, red, alpha: the frame's byte order.
    const __m128i bgLo = _mm_unpacklo_epi8(B, G), bgHi = _mm_unpackhi_epi8(B, G);
    const __m128i raLo = _mm_unpacklo_epi8(R, A), raHi = _mm_unpackhi_epi8(R, A);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi16(bgLo, raLo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16), _mm_unpackhi_epi16(bgLo, raLo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 32), _mm_unpacklo_epi16(bgHi, raHi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 48), _mm_unpackhi_epi16(bgHi, raHi));
    // Translucent pixels are redone by the table path.
    for (unsigned m = _mm512_cmp_ps_mask(a, _mm512_set1_ps(kOpaqueAlpha), _CMP_NGE_UQ); m; m &= m - 1) {
        const int k = __builtin_ctz(m);
        encodeRowTable(p + 4 * k, 1, o + 4 * k);
    }
}

}  // namespace

namespace {
// A row in blocks of Width pixels, the tail through the same block in a padded copy.
template <int Width, class Block>
void encodeBlocks(const float* rgba, int n, uint8_t* bgra, Block block) {
    int i = 0;
    for (; i + Width <= n; i += Width) block(rgba + 4 * i, bgra + 4 * i);
    if (i < n) {
        float tail[4 * Width] = {};
        uint8_t codes[4 * Width];
        std::memcpy(tail, rgba + 4 * i, size_t(n - i) * 4 * sizeof(float));
        block(tail, codes);
        std::memcpy(bgra + 4 * i, codes, size_t(n - i) * 4);
    }
}
}  // namespace

void encodeRow(const float* rgba, int n, uint8_t* bgra) {
    if (cpu::hasAvx512())
        encodeBlocks<16>(rgba, n, bgra, encode16Pixels);
    else if (cpu::hasAvx2Fma())
        encodeBlocks<8>(rgba, n, bgra, encode8Pixels);
    else
        encodeRowTable(rgba, n, bgra);
}

void encodeRowTable(const float* rgba, int n, uint8_t* bgra) {
    const Tables& t = tables();
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f), scale = _mm_set1_ps(float(kEncodeSize - 1));
    const __m128 half = _mm_set1_ps(0.5f);
    for (int i = 0; i < n; ++i) {
        const float* p = rgba + 4 * i;
        uint8_t* o = bgra + 4 * i;
        float a = p[3];
        if (a >= 1.0f) {
            // Clamp and index all channels at once (max/min order sends NaN to 0); the lookups stay scalar.
            __m128 v = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(p), zero), one);
            __m128i idx = _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(v, scale), half));
            o[0] = t.encode[_mm_extract_epi32(idx, 2)];
            o[1] = t.encode[_mm_extract_epi32(idx, 1)];
            o[2] = t.encode[_mm_extract_epi32(idx, 0)];
            o[3] = 255;
        } else if (!(a > 0.5f / 255.0f)) {
            o[0] = o[1] = o[2] = o[3] = 0;
        } else {
            unsigned a8 = unsigned(a * 255.0f + 0.5f);
            float inv = 1.0f / a;
            auto pre = [a8](unsigned c) { return uint8_t((c * a8 + 127u) / 255u); };
            o[0] = pre(t.encode[encodeIndex(p[2] * inv)]);
            o[1] = pre(t.encode[encodeIndex(p[1] * inv)]);
            o[2] = pre(t.encode[encodeIndex(p[0] * inv)]);
            o[3] = uint8_t(a8);
        }
    }
}

}  // namespace ostrela::engine::color
