#include "effects/DreamKernels.h"

#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/Cpu.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/SrgbVector.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <immintrin.h>
#include <memory>
#include <mutex>

namespace ostrela::effects::dream {

namespace {

// The filters' log2 and exp2 polynomials, four lanes.
inline __m128 log2V(__m128 x) {
    const __m128i bits = _mm_castps_si128(x);
    const __m128 e = _mm_cvtepi32_ps(_mm_sub_epi32(_mm_srli_epi32(bits, 23), _mm_set1_epi32(127)));
    const __m128 m = _mm_castsi128_ps(_mm_or_si128(_mm_and_si128(bits, _mm_set1_epi32(0x007FFFFF)), _mm_set1_epi32(0x3F800000)));
    const __m128 t = _mm_sub_ps(m, _mm_set1_ps(1.0f));
    __m128 p = _mm_set1_ps(2.049034609e-02f);
    p = _mm_add_ps(_mm_mul_ps(p, t), _mm_set1_ps(-9.606624941e-02f));
    p = _mm_add_ps(_mm_mul_ps(p, t), _mm_set1_ps(2.155885327e-01f));
    p = _mm_add_ps(_mm_mul_ps(p, t), _mm_set1_ps(-3.392477732e-01f));
    p = _mm_add_ps(_mm_mul_ps(p, t), _mm_set1_ps(4.777059308e-01f));
    p = _mm_add_ps(_mm_mul_ps(p, t), _mm_set1_ps(-7.211627342e-01f));
    p = _mm_add_ps(_mm_mul_ps(p, t), _mm_set1_ps(1.442693257e+00f));
    return _mm_add_ps(e, _mm_mul_ps(t, p));
}
inline __m128 exp2V(__m128 y) {
    y = _mm_min_ps(_mm_max_ps(y, _mm_set1_ps(-126.0f)), _mm_set1_ps(126.0f));
    const __m128 fl = _mm_floor_ps(y);
    const __m128 f = _mm_sub_ps(y, fl);
    __m128 p = _mm_set1_ps(1.895107290e-03f);
    p = _mm_add_ps(_mm_mul_ps(p, f), _mm_set1_ps(8.946214669e-03f));
    p = _mm_add_ps(_mm_mul_ps(p, f), _mm_set1_ps(5.586328266e-02f));
    p = _mm_add_ps(_mm_mul_ps(p, f), _mm_set1_ps(2.401407701e-01f));
    p = _mm_add_ps(_mm_mul_ps(p, f), _mm_set1_ps(6.931546200e-01f));
    p = _mm_add_ps(_mm_mul_ps(p, f), _mm_set1_ps(9.999998958e-01f));
    const __m128i scale = _mm_slli_epi32(_mm_add_epi32(_mm_cvtps_epi32(fl), _mm_set1_epi32(127)), 23);
    return _mm_mul_ps(p, _mm_castsi128_ps(scale));
}
inline __m128 unpremultiply(__m128 v, float a) {
    if (a >= 1.0f) return v;
    if (!(a > 0.0f)) return _mm_setzero_ps();
    const __m128 va = _mm_set1_ps(a);
    const __m128 un = _mm_blendv_ps(_mm_mul_ps(v, _mm_set1_ps(1.0f / a)), v, _mm_cmpgt_ps(v, va));
    return _mm_blend_ps(un, v, 8);
}

// One pixel exactly as the filter does it.
inline void gammaPixel(float* p, __m128 pw) {
    const float a = p[3];
    if (!(a > 0.0f)) {
        p[0] = p[1] = p[2] = p[3] = 0.0f;
        return;
    }
    const __m128 v = _mm_loadu_ps(p);
    const __m128 un = _mm_max_ps(unpremultiply(v, a), _mm_setzero_ps());
    __m128 r = exp2V(_mm_mul_ps(pw, log2V(_mm_max_ps(un, _mm_set1_ps(1e-30f)))));
    r = _mm_and_ps(r, _mm_cmpgt_ps(un, _mm_setzero_ps()));
    const __m128 va = _mm_set1_ps(a);
    _mm_storeu_ps(p, _mm_blend_ps(_mm_mul_ps(r, va), va, 8));
}

// Eight lanes, the same operations in the same order (no fused multiply-adds).
__attribute__((target("avx2"))) inline __m256 log2W(__m256 x) {
    const __m256i bits = _mm256_castps_si256(x);
    const __m256 e = _mm256_cvtepi32_ps(_mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127)));
    const __m256 m = _mm256_castsi256_ps(
        _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x007FFFFF)), _mm256_set1_epi32(0x3F800000)));
    const __m256 t = _mm256_sub_ps(m, _mm256_set1_ps(1.0f));
    __m256 p = _mm256_set1_ps(2.049034609e-02f);
    p = _mm256_add_ps(_mm256_mul_ps(p, t), _mm256_set1_ps(-9.606624941e-02f));
    p = _mm256_add_ps(_mm256_mul_ps(p, t), _mm256_set1_ps(2.155885327e-01f));
    p = _mm256_add_ps(_mm256_mul_ps(p, t), _mm256_set1_ps(-3.392477732e-01f));
    p = _mm256_add_ps(_mm256_mul_ps(p, t), _mm256_set1_ps(4.777059308e-01f));
    p = _mm256_add_ps(_mm256_mul_ps(p, t), _mm256_set1_ps(-7.211627342e-01f));
    p = _mm256_add_ps(_mm256_mul_ps(p, t), _mm256_set1_ps(1.442693257e+00f));
    return _mm256_add_ps(e, _mm256_mul_ps(t, p));
}
__attribute__((target("avx2"))) inline __m256 exp2W(__m256 y) {
    y = _mm256_min_ps(_mm256_max_ps(y, _mm256_set1_ps(-126.0f)), _mm256_set1_ps(126.0f));
    const __m256 fl = _mm256_floor_ps(y);
    const __m256 f = _mm256_sub_ps(y, fl);
    __m256 p = _mm256_set1_ps(1.895107290e-03f);
    p = _mm256_add_ps(_mm256_mul_ps(p, f), _mm256_set1_ps(8.946214669e-03f));
    p = _mm256_add_ps(_mm256_mul_ps(p, f), _mm256_set1_ps(5.586328266e-02f));
    p = _mm256_add_ps(_mm256_mul_ps(p, f), _mm256_set1_ps(2.401407701e-01f));
    p = _mm256_add_ps(_mm256_mul_ps(p, f), _mm256_set1_ps(6.931546200e-01f));
    p = _mm256_add_ps(_mm256_mul_ps(p, f), _mm256_set1_ps(9.999998958e-01f));
    const __m256i scale = _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvtps_epi32(fl), _mm256_set1_epi32(127)), 23);
    return _mm256_mul_ps(p, _mm256_castsi256_ps(scale));
}

// Pairs of opaque pixels eight lanes at a time; anything else one pixel at a time. Returns
// nothing: every pixel is done.
__attribute__((target("avx2"))) void gammaWide(float* p, int n, float power) {
    const __m256 pw = _mm256_set1_ps(power), tiny = _mm256_set1_ps(1e-30f);
    const __m128 pw4 = _mm_set1_ps(power);
    int i = 0;
    for (; i + 2 <= n; i += 2, p += 8) {
        if (!(p[3] >= 1.0f && p[7] >= 1.0f)) {
            gammaPixel(p, pw4);
            gammaPixel(p + 4, pw4);
            continue;
        }
        const __m256 v = _mm256_loadu_ps(p);
        const __m256 un = _mm256_max_ps(v, _mm256_setzero_ps());
        __m256 r = exp2W(_mm256_mul_ps(pw, log2W(_mm256_max_ps(un, tiny))));
        r = _mm256_and_ps(r, _mm256_cmp_ps(un, _mm256_setzero_ps(), _CMP_GT_OQ));
        // Times alpha (lanes 3 and 7 hold it), alpha kept.
        const __m256 va = _mm256_permute_ps(v, 0xFF);
        _mm256_storeu_ps(p, _mm256_blend_ps(_mm256_mul_ps(r, va), va, 0x88));
    }
    for (; i < n; ++i, p += 4) gammaPixel(p, pw4);
}

class WideGammaOp final : public engine::PixelOp {
public:
    explicit WideGammaOp(float power) : power_(power), wide_(engine::cpu::hasAvx2()) {}
    void apply(float* p, int n) const override {
        if (wide_) {
            gammaWide(p, n, power_);
            return;
        }
        const __m128 pw = _mm_set1_ps(power_);
        for (int i = 0; i < n; ++i, p += 4) gammaPixel(p, pw);
    }

private:
    float power_;
    bool wide_;
};

}  // namespace

engine::PixelOpPtr wideGammaOp(float power) { return std::make_shared<WideGammaOp>(power); }

namespace {

#define DREAM_AVX2 __attribute__((target("avx2,fma")))

using namespace engine::vec;  // the filters' own curves and lane shuffles

DREAM_AVX2 inline __m256 rowW(const float* m, __m256 r, __m256 g, __m256 b, __m256 bias) {
    const __m256 v = _mm256_fmadd_ps(_mm256_set1_ps(m[0]), r, bias);
    return _mm256_fmadd_ps(_mm256_set1_ps(m[2]), b, _mm256_fmadd_ps(_mm256_set1_ps(m[1]), g, v));
}

constexpr int kCurveSteps = 16384;

class GradeGammaHueOp final : public engine::PixelOp {
public:
    GradeGammaHueOp(double saturation, double brightness, double contrast, double power, double angle) {
        // The colour controls' matrix as the filter builds it.
        const float sat = float(saturation), c = float(contrast);
        const float w[3] = {engine::filters::kLumR, engine::filters::kLumG, engine::filters::kLumB};
        for (int row = 0; row < 3; ++row) {
            for (int col = 0; col < 3; ++col) grade_[row * 4 + col] = c * ((1.0f - sat) * w[col] + (row == col ? sat : 0.0f));
            grade_[row * 4 + 3] = float(0.5 * (1.0 - contrast) + brightness);
        }
        // The hue rotation about the grey axis, as the filter builds it.
        const double co = std::cos(angle), si = std::sin(angle);
        const double d = co + (1 - co) / 3.0, p = (1 - co) / 3.0 + si / std::sqrt(3.0), q = (1 - co) / 3.0 - si / std::sqrt(3.0);
        const double rows[3][3] = {{d, q, p}, {p, d, q}, {q, p, d}};
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col) hue_[row * 3 + col] = float(rows[row][col]);
        curve_ = curveFor(power);
    }
    void apply(float* p, int n) const override {
        const bool wide = engine::cpu::hasAvx512();
        int i = 0;
        if (wide)
            for (; i + 16 <= n; i += 16) block16(p + 4 * i);
        for (; i + 8 <= n; i += 8) block(p + 4 * i);
        if (i < n) {
            alignas(32) float tail[32] = {};
            std::memcpy(tail, p + 4 * i, size_t(n - i) * 4 * sizeof(float));
            block(tail);
            std::memcpy(p + 4 * i, tail, size_t(n - i) * 4 * sizeof(float));
        }
    }

private:
    DREAM_AVX2 __m256 gammaCurve(__m256 e) const {
        const __m256 f = _mm256_mul_ps(clamp01x8(e), _mm256_set1_ps(float(kCurveSteps)));
        // The nearest entry: at this many steps within 1e-4 of the curve.
        return _mm256_i32gather_ps(curve_->data(), _mm256_cvtps_epi32(f), 4);
    }

    DREAM_AVX2 void block(float* p) const {
        __m256 r = loadPair(p, 0), g = loadPair(p, 1), b = loadPair(p, 2), a = loadPair(p, 3);
        transpose8(r, g, b, a);
        const __m256 zero = _mm256_setzero_ps();
        unpremultiplyX8(r, g, b, a);  // as the tone filters do it
        r = encodeX8(r);
        g = encodeX8(g);
        b = encodeX8(b);
        const __m256 gr = gammaCurve(rowW(grade_, r, g, b, _mm256_set1_ps(grade_[3])));
        const __m256 gg = gammaCurve(rowW(grade_ + 4, r, g, b, _mm256_set1_ps(grade_[7])));
        const __m256 gb = gammaCurve(rowW(grade_ + 8, r, g, b, _mm256_set1_ps(grade_[11])));
        a = clamp01x8(a);
        r = _mm256_mul_ps(decodeX8(rowW(hue_, gr, gg, gb, zero)), a);
        g = _mm256_mul_ps(decodeX8(rowW(hue_ + 3, gr, gg, gb, zero)), a);
        b = _mm256_mul_ps(decodeX8(rowW(hue_ + 6, gr, gg, gb, zero)), a);
        transpose8(r, g, b, a);
        storePair(p, 0, r);
        storePair(p, 1, g);
        storePair(p, 2, b);
        storePair(p, 3, a);
    }

    // The same, sixteen pixels at a time.
    __attribute__((target("avx512f"))) static __m512 rowX16(const float* m, __m512 r, __m512 g, __m512 b, __m512 bias) {
        const __m512 v = _mm512_fmadd_ps(_mm512_set1_ps(m[0]), r, bias);
        return _mm512_fmadd_ps(_mm512_set1_ps(m[2]), b, _mm512_fmadd_ps(_mm512_set1_ps(m[1]), g, v));
    }
    // The curve from [2^-8, 1) as sixteen cubics picked by the value's exponent and top mantissa
    // bit (their coefficients in four registers), within 2e-5 of it; below that, where the curve
    // is steepest, and at 1 the table, as the eight-lane path reads it.
    __attribute__((target("avx512f"))) __m512 gammaCurve16(__m512 e) const {
        const __m512 x = clamp01x16(e);
        const __m512i bits = _mm512_castps_si512(x);
        const __m512i seg = _mm512_sub_epi32(_mm512_maskz_srli_epi32(0xFFFF, bits, 22), _mm512_set1_epi32(kFirstSegment));
        const __m512 t = _mm512_sub_ps(
            _mm512_castsi512_ps(_mm512_or_si512(_mm512_maskz_slli_epi32(0xFFFF, _mm512_and_si512(bits, _mm512_set1_epi32(0x3FFFFF)), 1),
                                                _mm512_set1_epi32(0x3F800000))),
            _mm512_set1_ps(1.0f));
        const Curve& c = *curve_;
        __m512 p = _mm512_maskz_permutexvar_ps(0xFFFF, seg, _mm512_load_ps(c.cubic[3]));
        p = _mm512_fmadd_ps(p, t, _mm512_maskz_permutexvar_ps(0xFFFF, seg, _mm512_load_ps(c.cubic[2])));
        p = _mm512_fmadd_ps(p, t, _mm512_maskz_permutexvar_ps(0xFFFF, seg, _mm512_load_ps(c.cubic[1])));
        p = _mm512_fmadd_ps(p, t, _mm512_maskz_permutexvar_ps(0xFFFF, seg, _mm512_load_ps(c.cubic[0])));
        __mmask16 ends = _mm512_cmp_ps_mask(x, _mm512_set1_ps(kCubicsFrom), _CMP_LT_OQ) | _mm512_cmp_ps_mask(x, _mm512_set1_ps(1.0f), _CMP_GE_OQ);
        if (c.loose) ends |= _mm512_cmp_ps_mask(_mm512_maskz_permutexvar_ps(0xFFFF, seg, _mm512_load_ps(c.tableInstead)), _mm512_setzero_ps(), _CMP_NEQ_UQ);
        if (ends == 0) return p;
        const __m512i at = _mm512_maskz_cvtps_epi32(0xFFFF, _mm512_mul_ps(x, _mm512_set1_ps(float(kCurveSteps))));
        return _mm512_mask_i32gather_ps(p, ends, at, c.table.data(), 4);
    }
    __attribute__((target("avx512f"))) void block16(float* p) const {
        __m512 r = _mm512_loadu_ps(p), g = _mm512_loadu_ps(p + 16), b = _mm512_loadu_ps(p + 32), a = _mm512_loadu_ps(p + 48);
        toPlanes16(r, g, b, a);
        const __m512 zero = _mm512_setzero_ps();
        unpremultiplyX16(r, g, b, a);
        r = encodeX16(r);
        g = encodeX16(g);
        b = encodeX16(b);
        const __m512 gr = gammaCurve16(rowX16(grade_, r, g, b, _mm512_set1_ps(grade_[3])));
        const __m512 gg = gammaCurve16(rowX16(grade_ + 4, r, g, b, _mm512_set1_ps(grade_[7])));
        const __m512 gb = gammaCurve16(rowX16(grade_ + 8, r, g, b, _mm512_set1_ps(grade_[11])));
        a = clamp01x16(a);
        r = _mm512_mul_ps(decodeX16(rowX16(hue_, gr, gg, gb, zero)), a);
        g = _mm512_mul_ps(decodeX16(rowX16(hue_ + 3, gr, gg, gb, zero)), a);
        b = _mm512_mul_ps(decodeX16(rowX16(hue_ + 6, gr, gg, gb, zero)), a);
        toPixels16(r, g, b, a);
        _mm512_storeu_ps(p, r);
        _mm512_storeu_ps(p + 16, g);
        _mm512_storeu_ps(p + 32, b);
        _mm512_storeu_ps(p + 48, a);
    }

    float grade_[12];
    float hue_[9];
    static constexpr float kCubicsFrom = 1.0f / 256;  // 2^-8
    static constexpr int kFirstSegment = (127 - 8) * 2;  // its exponent and top mantissa bit
    struct Curve {
        std::array<float, kCurveSteps + 2> table;
        alignas(64) float cubic[4][16];  // per segment: c0 + c1·t + c2·t² + c3·t³, t ∈ [0, 1)
        alignas(64) float tableInstead[16];  // non-zero for segments no cubic fits closely enough
        bool loose = false;
        const float* data() const { return table.data(); }
    };
    static double curveAt(double e, double power) {
        const double lin = engine::color::srgbToLinear(e);
        return lin > 0 ? engine::color::linearToSRGB(std::pow(lin, power)) : 0.0;
    }
    // Segment s covers 2^(s/2 − 8) · (1 + (s mod 2) / 2) on by half that octave. Each cubic
    // meets the curve at four Chebyshev points of its segment; where the curve has a kink inside
    // one (sRGB's toe under some powers) and the cubic strays by more than 3e-5, the table serves.
    static void fitCubics(Curve& c, double power) {
        for (int sgm = 0; sgm < 16; ++sgm) {
            const double lo = std::ldexp(1.0 + 0.5 * (sgm % 2), sgm / 2 - 8), w = std::ldexp(0.5, sgm / 2 - 8);
            double a[4][5];
            for (int i = 0; i < 4; ++i) {
                const double t = 0.5 - 0.5 * std::cos((2 * i + 1) * M_PI / 8);
                for (int k = 0; k < 4; ++k) a[i][k] = std::pow(t, k);
                a[i][4] = curveAt(lo + w * t, power);
            }
            for (int col = 0; col < 4; ++col)  // the nodes are distinct: no pivot vanishes
                for (int row = 0; row < 4; ++row) {
                    if (row == col) continue;
                    const double f = a[row][col] / a[col][col];
                    for (int k = col; k < 5; ++k) a[row][k] -= f * a[col][k];
                }
            for (int k = 0; k < 4; ++k) c.cubic[k][sgm] = float(a[k][4] / a[k][k]);
            double worst = 0;
            for (int q = 0; q <= 64; ++q) {
                const double t = q / 64.0;
                const double v = ((c.cubic[3][sgm] * t + c.cubic[2][sgm]) * t + c.cubic[1][sgm]) * t + c.cubic[0][sgm];
                worst = std::max(worst, std::abs(v - curveAt(lo + w * t, power)));
            }
            c.tableInstead[sgm] = worst > 3e-5 ? 1.0f : 0.0f;
            c.loose = c.loose || worst > 3e-5;
        }
    }
    // The table for a power, made once (every frame asks for the same one).
    static std::shared_ptr<const Curve> curveFor(double power) {
        static std::mutex lock;
        static std::shared_ptr<const Curve> last;
        static double lastPower = 0;
        std::lock_guard<std::mutex> hold(lock);
        if (last && lastPower == power) return last;
        auto c = std::make_shared<Curve>();
        for (int i = 0; i <= kCurveSteps; ++i) c->table[size_t(i)] = float(curveAt(double(i) / kCurveSteps, power));
        c->table[kCurveSteps + 1] = c->table[kCurveSteps];
        fitCubics(*c, power);
        last = c;
        lastPower = power;
        return last;
    }
    std::shared_ptr<const Curve> curve_;
};

}  // namespace

engine::PixelOpPtr gradeGammaHueOp(double saturation, double brightness, double contrast, double power, double hueAngle) {
    const bool has = engine::cpu::hasAvx2Fma();
    if (!has) return nullptr;
    return std::make_shared<GradeGammaHueOp>(saturation, brightness, contrast, power, hueAngle);
}

namespace {

class LightsNode final : public engine::Node {
public:
    LightsNode(engine::NodePtr under, std::vector<Light> lights, const engine::Rect& extent)
        : under_(std::move(under)), lights_(std::move(lights)), extent_(extent) {}
    engine::Rect extent() const override { return extent_; }
    int inputCount() const override { return 1; }
    const engine::Node* input(int) const override { return under_.get(); }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override {
        ctx.renderInto(*under_, r, out);
        for (const Light& l : lights_) {
            // Pixels whose centres can lie within r1 (a pixel of margin, as the orbs' crop keeps).
            const int x0 = std::max(r.x, int(std::floor(l.cx - l.r1 - 1))), x1 = std::min(r.maxX(), int(std::ceil(l.cx + l.r1 + 1)));
            const int y0 = std::max(r.y, int(std::floor(l.cy - l.r1 - 1))), y1 = std::min(r.maxY(), int(std::ceil(l.cy + l.r1 + 1)));
            if (x0 >= x1 || y0 >= y1) continue;
            const __m128 c0 = _mm_loadu_ps(l.inner.data());
            const __m128 d = _mm_sub_ps(_mm_loadu_ps(l.outer.data()), c0);
            const double span = l.r1 - l.r0;
            const float inv = span != 0 ? float(1.0 / span) : 0.0f;
            const float r0 = float(l.r0);
            const int n = x1 - x0;
            for (int y = y0; y < y1; ++y) {
                const float dy = float(y + 0.5 - l.cy);
                const float dy2 = dy * dy;
                float* o = out + (size_t(y - r.y) * r.w + (x0 - r.x)) * 4;
                int i = 0;
                const bool wide = engine::cpu::hasAvx2Fma(), wide16 = engine::cpu::hasAvx512();
                if (span != 0 && wide16) i = rowWide16(o, n, float(x0 + 0.5 - l.cx), dy2, r0, inv, l.inner.data(), l.outer.data());
                if (span != 0 && wide)
                    i += rowWide(o + 4 * i, n - i, float(x0 + i + 0.5 - l.cx), dy2, r0, inv, l.inner.data(), l.outer.data());
                if (span != 0) {
                    // Four distances at a time; the same single-precision steps per pixel.
                    const __m128 vdy2 = _mm_set1_ps(dy2), vr0 = _mm_set1_ps(r0), vinv = _mm_set1_ps(inv);
                    for (; i + 4 <= n; i += 4) {
                        alignas(16) float dxs[4], ts[4];
                        for (int q = 0; q < 4; ++q) dxs[q] = float(x0 + i + q + 0.5 - l.cx);
                        const __m128 dx = _mm_load_ps(dxs);
                        const __m128 dist = _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(dx, dx), vdy2));
                        __m128 t = _mm_mul_ps(_mm_sub_ps(dist, vr0), vinv);
                        t = _mm_min_ps(_mm_max_ps(t, _mm_setzero_ps()), _mm_set1_ps(1.0f));
                        _mm_store_ps(ts, t);
                        for (int q = 0; q < 4; ++q) {
                            const __m128 g = _mm_add_ps(c0, _mm_mul_ps(d, _mm_set1_ps(ts[q])));
                            const __m128 b = _mm_loadu_ps(o + 4 * (i + q));
                            _mm_storeu_ps(o + 4 * (i + q), _mm_sub_ps(_mm_add_ps(g, b), _mm_mul_ps(g, b)));
                        }
                    }
                }
                for (; i < n; ++i) {
                    const float dx = float(x0 + i + 0.5 - l.cx);
                    const float dist = std::sqrt(dx * dx + dy2);
                    float t = span != 0 ? (dist - r0) * inv : (dist < r0 ? 0.0f : 1.0f);
                    t = std::clamp(t, 0.0f, 1.0f);
                    const __m128 g = _mm_add_ps(c0, _mm_mul_ps(d, _mm_set1_ps(t)));
                    const __m128 b = _mm_loadu_ps(o + 4 * i);
                    _mm_storeu_ps(o + 4 * i, _mm_sub_ps(_mm_add_ps(g, b), _mm_mul_ps(g, b)));
                }
            }
        }
        engine::detail::clearOutside(out, r, extent_);
    }

private:
    // Eight distances at a time, then pairs of pixels; returns how many it did.
    __attribute__((target("avx2,fma"))) static int rowWide(float* o, int n, float dx0, float dy2, float r0, float inv,
                                                           const float* inner, const float* outer) {
        const __m256 lane = _mm256_setr_ps(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256 c0 = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(inner));
        const __m256 d = _mm256_sub_ps(_mm256_broadcast_ps(reinterpret_cast<const __m128*>(outer)), c0);
        const __m256 vdy2 = _mm256_set1_ps(dy2), vr0 = _mm256_set1_ps(r0), vinv = _mm256_set1_ps(inv);
        const __m256 one = _mm256_set1_ps(1.0f), zero = _mm256_setzero_ps();
        const __m256i pick[4] = {_mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1), _mm256_setr_epi32(2, 2, 2, 2, 3, 3, 3, 3),
                                 _mm256_setr_epi32(4, 4, 4, 4, 5, 5, 5, 5), _mm256_setr_epi32(6, 6, 6, 6, 7, 7, 7, 7)};
        int i = 0;
        for (; i + 8 <= n; i += 8) {
            const __m256 dx = _mm256_add_ps(_mm256_set1_ps(dx0 + float(i)), lane);
            const __m256 dist = _mm256_sqrt_ps(_mm256_fmadd_ps(dx, dx, vdy2));
            const __m256 t = _mm256_min_ps(_mm256_max_ps(_mm256_mul_ps(_mm256_sub_ps(dist, vr0), vinv), zero), one);
            for (int q = 0; q < 4; ++q) {
                const __m256 g = _mm256_fmadd_ps(d, _mm256_permutevar8x32_ps(t, pick[q]), c0);
                float* p = o + 4 * (i + 2 * q);
                const __m256 b = _mm256_loadu_ps(p);
                _mm256_storeu_ps(p, _mm256_fmadd_ps(g, _mm256_sub_ps(one, b), b));  // g + b − g·b
            }
        }
        return i;
    }

    // The same sixteen distances at a time.
    __attribute__((target("avx512f"))) static int rowWide16(float* o, int n, float dx0, float dy2, float r0, float inv,
                                                             const float* inner, const float* outer) {
        const __m512 lane = _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m512 c0 = _mm512_maskz_broadcast_f32x4(0xFFFF, _mm_loadu_ps(inner));
        const __m512 d = _mm512_sub_ps(_mm512_maskz_broadcast_f32x4(0xFFFF, _mm_loadu_ps(outer)), c0);
        const __m512 vdy2 = _mm512_set1_ps(dy2), vr0 = _mm512_set1_ps(r0), vinv = _mm512_set1_ps(inv);
        const __m512 one = _mm512_set1_ps(1.0f), zero = _mm512_setzero_ps();
        int i = 0;
        for (; i + 16 <= n; i += 16) {
            const __m512 dx = _mm512_add_ps(_mm512_set1_ps(dx0 + float(i)), lane);
            const __m512 dist = _mm512_maskz_sqrt_ps(0xFFFF, _mm512_fmadd_ps(dx, dx, vdy2));
            const __m512 t = min16(max16(_mm512_mul_ps(_mm512_sub_ps(dist, vr0), vinv), zero), one);
            for (int q = 0; q < 4; ++q) {
                const __m512i pick = _mm512_setr_epi32(4 * q, 4 * q, 4 * q, 4 * q, 4 * q + 1, 4 * q + 1, 4 * q + 1, 4 * q + 1, 4 * q + 2,
                                                       4 * q + 2, 4 * q + 2, 4 * q + 2, 4 * q + 3, 4 * q + 3, 4 * q + 3, 4 * q + 3);
                const __m512 g = _mm512_fmadd_ps(d, _mm512_maskz_permutexvar_ps(0xFFFF, pick, t), c0);
                float* p = o + 4 * (i + 4 * q);
                const __m512 b = _mm512_loadu_ps(p);
                _mm512_storeu_ps(p, _mm512_fmadd_ps(g, _mm512_sub_ps(one, b), b));
            }
        }
        return i;
    }

    engine::NodePtr under_;
    std::vector<Light> lights_;
    engine::Rect extent_;
};

}  // namespace

engine::Image screenLights(const engine::Image& under, std::vector<Light> lights, const engine::Rect& extent) {
    if (under.isNull()) return under;
    return engine::Image(std::make_shared<LightsNode>(under.node(), std::move(lights), extent));
}

}  // namespace ostrela::effects::dream
