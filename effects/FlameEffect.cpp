#include "effects/FlameEffect.h"

#include "pipeline/engine/Schedule.h"
#include "pipeline/engine/Cpu.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/SrgbVector.h"

#include <immintrin.h>
#include <smmintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace ostrela::effects {

using engine::Color;
using engine::Image;
using engine::Rect;
using engine::materialize;
using engine::materializeInBands;
using engine::PixelView;
using engine::pixelsOf;
using engine::straightforwardChains;
using engine::resampled;
namespace filters = engine::filters;

namespace {

// The look's scales and thresholds, one set for the plain chain and the fused passes below.

// A scrolling noise octave: its speed and phase of scroll, its factor s and its blur.
struct OctaveSpec {
    double speed, phase, factor, sigma;
};
constexpr OctaveSpec kOctaveA{22, 0, 0.035, 4.0}, kOctaveB{48, 3071, 0.09, 3.0}, kOctaveC{-30, 8842, 0.06, 6.0};
// Octave noise is resampled on cells 1/s wide and this many times as tall: per-pixel noise blurs
// to a flat veil, while cells taller than wide give blobs that stand up like tongues.
constexpr double kTongueStretch = 4.0;

// colorControls with saturation 1: e' = (e − 0.5)·contrast + 0.5 + brightness, zero below
// e = 0.5 − (0.5 + brightness) / contrast.
struct ToneSpec {
    double contrast, brightness;
    float bias() const { return float(0.5 * (1.0 - contrast) + brightness); }
};
// The octaves' thresholds leave dark gaps between the tongues: A keeps encoded values from 0.82 up,
// B (the finer detail) from 0.94 up; the steeper contrast keeps what passes bright.
constexpr ToneSpec kToneA{4.0, -1.78}, kToneB{4.0, -2.26}, kToneCore{1.7, 0.05};
// The embers keep a channel only from encoded 0.9998 up (full at 1): on uniform noise about
// 0.2 % of the pixels, which the blur spreads into specks covering about 1 %.
constexpr ToneSpec kToneEmbers{5000.0, -2499.5};

// The noise an octave scrolls, as a picture of its own pixels: random values on cells 1/s wide and
// kTongueStretch/s tall, mixed bilinearly between the cells' centres, taken at pixel centres.
// Moved by a fraction of a pixel it is resampled from those pixels, as any picture is (not from
// the cells again), so the move commutes with the blur and kept blurred rows give the same octave.
class CellNoiseNode final : public engine::Node {
public:
    explicit CellNoiseNode(double factor)
        : cells_(filters::randomNoise().scaled(1.0 / factor, kTongueStretch / factor).node()) {}
    Rect extent() const override { return Rect::infinite(); }
    int inputCount() const override { return 1; }
    const engine::Node* input(int) const override { return cells_.get(); }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override { ctx.renderInto(*cells_, r, out); }

private:
    engine::NodePtr cells_;
};

Image octaveNoise(double factor) {
    const Image noise = filters::randomNoise();
    return noise.isNull() ? noise : Image(std::make_shared<CellNoiseNode>(factor));
}

// A blend with a mask over an empty background, with the mask's weights worked out once: k is
// the mask's encoded luminance times its alpha, the value the blend computes for every pixel,
// and the result is k times the input. The weights are kept per pixel, or per row when the mask
// changes along y only.
struct MaskWeights {
    engine::IRect bounds;
    bool perRow = false;
    std::vector<float> k;  // bounds.w × bounds.h, or bounds.h when per row; bottom row first
};

float weightOf(const float* m) {
    const __m128 mv = _mm_loadu_ps(m);
    const float ma = std::clamp(m[3], 0.0f, 1.0f);
    if (!(ma > 0.0f)) return 0.0f;
    const __m128 lumW = _mm_setr_ps(filters::kLumR, filters::kLumG, filters::kLumB, 0.0f);
    const float y = _mm_cvtss_f32(_mm_dp_ps(mv, lumW, 0x71)) / ma;
    return filters::encodeSRGBFast(y) * ma;
}

// The weights of `mask` over `region`; per row reads one column only.
std::shared_ptr<const MaskWeights> weightsOf(const Image& mask, const Rect& region, bool perRow) {
    auto w = std::make_shared<MaskWeights>();
    w->bounds = engine::pixelBounds(region.intersected(mask.extent()));
    w->perRow = perRow;
    if (w->bounds.isEmpty()) return w;
    const engine::IRect b = w->bounds;
    const Image px = materialize(mask.cropped(Rect{double(b.x), double(b.y), perRow ? 1.0 : double(b.w), double(b.h)}));
    const PixelView v = pixelsOf(px);
    w->k.assign(perRow ? size_t(b.h) : size_t(b.w) * b.h, 0.0f);
    for (int y = 0; y < b.h; ++y)
        for (int x = 0; x < (perRow ? 1 : b.w); ++x) {
            const float* m = v ? v.at(b.x + x, b.y + y) : nullptr;
            w->k[size_t(y) * (perRow ? 1 : b.w) + x] = m ? weightOf(m) : 0.0f;
        }
    return w;
}

class MaskScaleNode final : public engine::Node {
public:
    MaskScaleNode(engine::NodePtr in, std::shared_ptr<const MaskWeights> w, const Rect& maskExtent)
        : in_(std::move(in)), w_(std::move(w)), extent_(in_->extent().intersected(maskExtent)),
          region_(engine::pixelBounds(extent_).intersected(w_->bounds)) {}
    Rect extent() const override { return extent_; }
    int inputCount() const override { return 1; }
    const engine::Node* input(int) const override { return in_.get(); }
    engine::IRect roi(int, const engine::IRect& dest) const override { return dest.intersected(region_); }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override {
        const engine::IRect fb = region_.intersected(r);
        if (!(fb == r)) std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        if (fb.isEmpty()) return;
        const float* f = ctx.pull(*in_, fb);
        const engine::IRect& b = w_->bounds;
        for (int j = 0; j < fb.h; ++j) {
            const float* fp = f + size_t(j) * fb.w * 4;
            float* op = out + (size_t(fb.y - r.y + j) * r.w + (fb.x - r.x)) * 4;
            const size_t row = size_t(fb.y + j - b.y);
            if (w_->perRow) {
                const float k = w_->k[row];
                for (int i = 0; i < fb.w * 4; ++i) op[i] = k * fp[i];
            } else {
                const float* kp = w_->k.data() + row * b.w + (fb.x - b.x);
                for (int i = 0; i < fb.w; ++i)
                    for (int c = 0; c < 4; ++c) op[4 * i + c] = kp[i] * fp[4 * i + c];
            }
        }
    }

private:
    engine::NodePtr in_;
    std::shared_ptr<const MaskWeights> w_;
    Rect extent_;
    engine::IRect region_;
};

// `in` masked by `mask` over an empty background, as blendWithMask gives it, with the weights
// cached for the last key (they depend on the extent only).
Image maskedBy(const Image& in, const Image& mask, std::shared_ptr<const MaskWeights> w) {
    if (in.isNull() || mask.isNull()) return filters::blendWithMask(in, Image::empty(), mask);
    return Image(std::make_shared<MaskScaleNode>(in.node(), std::move(w), mask.extent()));
}

// ---- The fire's tail in one pass ----
// Displacement, the core and outer false colours, their screen blend and the mask, per pixel,
// reading S and C straight from their pixels. The tone steps are the engine's: the same
// unpremultiply rule, the same sRGB curve approximations, one encode shared by both colourings.

using namespace engine::vec;

// ---- Eight-wide helpers (AVX2 + FMA, chosen at run time) ----
#define FLAME_AVX2 __attribute__((target("avx2,fma")))

// The engine's unpremultiply rule: channels above alpha stay, transparent lanes become zero.
FLAME_AVX2 inline void unpremulX8(__m256& r, __m256& g, __m256& b, __m256& a) {
    const __m256 zero = _mm256_setzero_ps();
    const __m256 live = _mm256_cmp_ps(a, zero, _CMP_GT_OQ);
    // A reciprocal estimate and one Newton step: within a few float steps of the division.
    const __m256 am = _mm256_max_ps(a, _mm256_set1_ps(1e-30f));
    __m256 inv = _mm256_rcp_ps(am);
    inv = _mm256_and_ps(live, _mm256_mul_ps(inv, _mm256_fnmadd_ps(am, inv, _mm256_set1_ps(2.0f))));
    r = _mm256_and_ps(live, _mm256_blendv_ps(_mm256_mul_ps(r, inv), r, _mm256_cmp_ps(r, a, _CMP_GT_OQ)));
    g = _mm256_and_ps(live, _mm256_blendv_ps(_mm256_mul_ps(g, inv), g, _mm256_cmp_ps(g, a, _CMP_GT_OQ)));
    b = _mm256_and_ps(live, _mm256_blendv_ps(_mm256_mul_ps(b, inv), b, _mm256_cmp_ps(b, a, _CMP_GT_OQ)));
    a = _mm256_max_ps(a, zero);
}

// Premultiplied encoded colour of an opaque-or-transparent false-colour end, as the filter has it.
std::array<float, 4> encodedEnd(const Color& c) {
    if (!(c.a > 0.0f)) return {0, 0, 0, 0};
    const float inv = 1.0f / c.a, a = std::clamp(c.a, 0.0f, 1.0f);
    return {filters::encodeSRGBFast(c.r * inv) * a, filters::encodeSRGBFast(c.g * inv) * a,
            filters::encodeSRGBFast(c.b * inv) * a, a};
}

// Eight interleaved RGBA pixels as four planes; pixels 0–3 in the low halves, 4–7 in the high ones.
FLAME_AVX2 inline void toPlanesX8(__m256 v0, __m256 v1, __m256 v2, __m256 v3, __m256& r, __m256& g, __m256& b, __m256& a) {
    const __m256 t0 = _mm256_unpacklo_ps(v0, v1), t1 = _mm256_unpacklo_ps(v2, v3);
    const __m256 t2 = _mm256_unpackhi_ps(v0, v1), t3 = _mm256_unpackhi_ps(v2, v3);
    r = _mm256_shuffle_ps(t0, t1, 0x44), g = _mm256_shuffle_ps(t0, t1, 0xEE);
    b = _mm256_shuffle_ps(t2, t3, 0x44), a = _mm256_shuffle_ps(t2, t3, 0xEE);
}

FLAME_AVX2 inline __m256 pixelPairX8(const float* s, int k) {
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(s + 4 * k)), _mm_loadu_ps(s + 4 * k + 16), 1);
}

// The planes back to eight interleaved pixels at `o`.
FLAME_AVX2 inline void storePlanesX8(__m256 r, __m256 g, __m256 b, __m256 a, float* o) {
    const __m256 t0 = _mm256_unpacklo_ps(r, g), t1 = _mm256_unpacklo_ps(b, a);
    const __m256 t2 = _mm256_unpackhi_ps(r, g), t3 = _mm256_unpackhi_ps(b, a);
    const __m256 v[4] = {_mm256_shuffle_ps(t0, t1, 0x44), _mm256_shuffle_ps(t0, t1, 0xEE), _mm256_shuffle_ps(t2, t3, 0x44),
                         _mm256_shuffle_ps(t2, t3, 0xEE)};
    for (int k = 0; k < 4; ++k) {
        _mm_storeu_ps(o + 4 * k, _mm256_castps256_ps128(v[k]));
        _mm_storeu_ps(o + 4 * k + 16, _mm256_extractf128_ps(v[k], 1));
    }
}

// Both false colourings have a transparent colour 0 and an opaque colour 1, so each is its
// colour 1 (a constant, linear) at alpha a·clamp(L). The core's L is the contrast of the same
// luminance: its weights sum to one.
struct FireColours {
    float core[3], outer[3];
};

// One row of the fire's tail, eight pixels at a time: the displaced bilinear read of S, one
// encode and luminance for both colourings, their screen and the mask. `cp`, `kp`: C's pixels
// and the mask weights from column x0; `n` pixels.
FLAME_AVX2 void fireTailRowX8(const float* S, const engine::IRect& sb, const float* cp, const float* kp, int x0, int y,
                              int n, const FireColours& fc, float* op) {
    const __m256 one = _mm256_set1_ps(1.0f), half = _mm256_set1_ps(0.5f);
    const __m256 reach = _mm256_set1_ps(28.0f);
    const __m256 cm = _mm256_set1_ps(float(kToneCore.contrast)), cb = _mm256_set1_ps(kToneCore.bias());
    const __m256 lr = _mm256_set1_ps(filters::kLumR), lg = _mm256_set1_ps(filters::kLumG), lb = _mm256_set1_ps(filters::kLumB);
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i stride = _mm256_set1_epi32(sb.w), lastX = _mm256_set1_epi32(sb.w - 1), lastY = _mm256_set1_epi32(sb.h - 1);
    const __m256i minus1 = _mm256_set1_epi32(-1);
    const size_t rowStep = size_t(sb.w) * 4;
    __m256 kc[3], ko[3], kco[3];
    for (int c = 0; c < 3; ++c) {
        kc[c] = _mm256_set1_ps(fc.core[c]);
        ko[c] = _mm256_set1_ps(fc.outer[c]);
        kco[c] = _mm256_set1_ps(fc.core[c] * fc.outer[c]);
    }
    alignas(32) float ctail[32], otail[32], ktail[8];
    alignas(32) float wxs[8], wys[8], dxs[8], dys[8];
    alignas(32) int offs[8];
    for (int i = 0; i < n; i += 8) {
        const int m = std::min(8, n - i);
        const float* c = cp + 4 * i;
        const float* k = kp + i;
        if (m < 8) {
            std::memset(ctail, 0, sizeof ctail);
            std::memset(ktail, 0, sizeof ktail);
            std::memcpy(ctail, c, size_t(m) * 4 * sizeof(float));
            std::memcpy(ktail, k, size_t(m) * sizeof(float));
            c = ctail, k = ktail;
        }
        __m256 cr, cg, unusedB, unusedA;
        toPlanesX8(pixelPairX8(c, 0), pixelPairX8(c, 1), pixelPairX8(c, 2), pixelPairX8(c, 3), cr, cg, unusedB, unusedA);
        const __m256 dx = _mm256_mul_ps(reach, _mm256_sub_ps(clamp01x8(cr), half));
        const __m256 dy = _mm256_mul_ps(reach, _mm256_sub_ps(clamp01x8(cg), half));
        const __m256 flx = _mm256_floor_ps(dx), fly = _mm256_floor_ps(dy);
        // Whole pixels plus a displacement under 15 px: the floor and the weights are exact in float.
        const __m256i ix = _mm256_add_epi32(_mm256_add_epi32(_mm256_cvtps_epi32(flx), lane), _mm256_set1_epi32(x0 + i - sb.x));
        const __m256i iy = _mm256_add_epi32(_mm256_cvtps_epi32(fly), _mm256_set1_epi32(y - sb.y));
        const __m256i in = _mm256_and_si256(
            _mm256_and_si256(_mm256_cmpgt_epi32(ix, minus1), _mm256_cmpgt_epi32(lastX, ix)),
            _mm256_and_si256(_mm256_cmpgt_epi32(iy, minus1), _mm256_cmpgt_epi32(lastY, iy)));
        const int inside = _mm256_movemask_ps(_mm256_castsi256_ps(in));
        _mm256_store_si256(reinterpret_cast<__m256i*>(offs), _mm256_slli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(iy, stride), ix), 2));
        _mm256_store_ps(wxs, _mm256_sub_ps(dx, flx));
        _mm256_store_ps(wys, _mm256_sub_ps(dy, fly));
        __m128 px[8];
        for (int q = 0; q < 8; ++q) {
            if (inside >> q & 1) {
                const float* p0 = S + offs[q];
                const __m256 lo = _mm256_loadu_ps(p0), hi = _mm256_loadu_ps(p0 + rowStep);
                const __m256 v = _mm256_fmadd_ps(_mm256_sub_ps(hi, lo), _mm256_broadcast_ss(wys + q), lo);
                const __m128 l = _mm256_castps256_ps128(v), h = _mm256_extractf128_ps(v, 1);
                px[q] = _mm_fmadd_ps(_mm_sub_ps(h, l), _mm_broadcast_ss(wxs + q), l);
            } else if (q < m) {
                _mm256_store_ps(dxs, dx);
                _mm256_store_ps(dys, dy);
                alignas(16) float o[4];
                engine::detail::sampleBilinear(S, sb, double(x0 + i + q) + 0.5 + dxs[q], double(y) + 0.5 + dys[q], o);
                px[q] = _mm_load_ps(o);
            } else {
                px[q] = _mm_setzero_ps();
            }
        }
        __m256 r, g, b, a;
        toPlanesX8(_mm256_set_m128(px[4], px[0]), _mm256_set_m128(px[5], px[1]), _mm256_set_m128(px[6], px[2]),
                   _mm256_set_m128(px[7], px[3]), r, g, b, a);
        if (_mm256_movemask_ps(_mm256_cmp_ps(a, one, _CMP_LT_OQ)) != 0) unpremulX8(r, g, b, a);
        const __m256 L = _mm256_fmadd_ps(lb, encodeX8(b), _mm256_fmadd_ps(lg, encodeX8(g), _mm256_mul_ps(lr, encodeX8(r))));
        const __m256 oc = clamp01x8(_mm256_mul_ps(a, clamp01x8(_mm256_fmadd_ps(cm, L, cb))));
        const __m256 oo = clamp01x8(_mm256_mul_ps(a, clamp01x8(L)));
        const __m256 both = _mm256_mul_ps(oc, oo);
        const __m256 kv = _mm256_loadu_ps(k);
        __m256 f[3];
        for (int ch = 0; ch < 3; ++ch)
            f[ch] = _mm256_mul_ps(kv, _mm256_fnmadd_ps(kco[ch], both, _mm256_fmadd_ps(kc[ch], oc, _mm256_mul_ps(ko[ch], oo))));
        const __m256 fa = _mm256_mul_ps(kv, _mm256_sub_ps(_mm256_add_ps(oc, oo), both));
        if (m == 8) {
            storePlanesX8(f[0], f[1], f[2], fa, op + 4 * i);
        } else {
            storePlanesX8(f[0], f[1], f[2], fa, otail);
            std::memcpy(op + 4 * i, otail, size_t(m) * 4 * sizeof(float));
        }
    }
}

class FireTailNode final : public engine::Node {
public:
    FireTailNode(Image S, Image C, std::shared_ptr<const MaskWeights> w, const Rect& extent)
        : S_(std::move(S)), C_(std::move(C)), s_(pixelsOf(S_)), c_(pixelsOf(C_)), w_(std::move(w)), extent_(extent) {
        const auto c0 = encodedEnd(Color::fromSRGB(0.02, 0, 0, 0)), c1 = encodedEnd(Color::fromSRGB(1.0, 0.85, 0.45, 1.0));
        const auto o0 = encodedEnd(Color::fromSRGB(0.05, 0, 0, 0)), o1 = encodedEnd(Color::fromSRGB(0.9, 0.3, 0.03, 1.0));
        for (int i = 0; i < 4; ++i) {
            core0_[i] = c0[size_t(i)], coreD_[i] = c1[size_t(i)] - c0[size_t(i)];
            out0_[i] = o0[size_t(i)], outD_[i] = o1[size_t(i)] - o0[size_t(i)];
        }
        for (int c = 0; c < 3; ++c) {
            colours_.core[c] = filters::decodeSRGBFast(c1[size_t(c)]);
            colours_.outer[c] = filters::decodeSRGBFast(o1[size_t(c)]);
        }
    }
    static bool usable(const Image& S, const Image& C) { return bool(pixelsOf(S)) && bool(pixelsOf(C)); }
    Rect extent() const override { return extent_; }
    void render(engine::TileContext&, const engine::IRect& r, float* out) const override {
        std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        const engine::IRect fb = r.intersected(w_->bounds).intersected(c_.bounds).intersected(engine::pixelBounds(extent_));
        if (fb.isEmpty()) return;
        const engine::IRect sb = s_.bounds;
        if (engine::cpu::hasAvx2Fma()) {
            for (int y = fb.y; y < fb.maxY(); ++y)
                fireTailRowX8(s_.data, sb, c_.at(fb.x, y), w_->k.data() + size_t(y - w_->bounds.y) * w_->bounds.w + (fb.x - w_->bounds.x),
                              fb.x, y, fb.w, colours_, out + (size_t(y - r.y) * r.w + (fb.x - r.x)) * 4);
            return;
        }
        // Core: its contrast and brightness (saturation 1), on each encoded channel.
        const __m128 cm = _mm_set1_ps(float(kToneCore.contrast)), cb = _mm_set1_ps(kToneCore.bias());
        const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f), tiny = _mm_set1_ps(1e-30f);
        const __m128 lr = _mm_set1_ps(filters::kLumR), lg = _mm_set1_ps(filters::kLumG), lb = _mm_set1_ps(filters::kLumB);
        alignas(16) float d[16];
        for (int j = 0; j < fb.h; ++j) {
            const int y = fb.y + j;
            const double py = y + 0.5;
            const float* kp = w_->k.data() + size_t(y - w_->bounds.y) * w_->bounds.w + (fb.x - w_->bounds.x);
            const float* cp = c_.at(fb.x, y);
            float* op = out + (size_t(y - r.y) * r.w + (fb.x - r.x)) * 4;
            for (int i0 = 0; i0 < fb.w; i0 += 4) {
                const int n = std::min(4, fb.w - i0);
                for (int q = 0; q < 4; ++q) {
                    if (q >= n) {
                        d[4 * q] = d[4 * q + 1] = d[4 * q + 2] = d[4 * q + 3] = 0.0f;
                        continue;
                    }
                    const float* dp = cp + 4 * (i0 + q);
                    const float dx = 28.0f * (std::clamp(dp[0], 0.0f, 1.0f) - 0.5f);
                    const float dy = 28.0f * (std::clamp(dp[1], 0.0f, 1.0f) - 0.5f);
                    sample(s_.data, sb, fb.x + i0 + q + 0.5 + dx, py + dy, d + 4 * q);
                }
                __m128 r0 = _mm_load_ps(d), g0 = _mm_load_ps(d + 4), b0 = _mm_load_ps(d + 8), a = _mm_load_ps(d + 12);
                _MM_TRANSPOSE4_PS(r0, g0, b0, a);
                if (_mm_movemask_ps(_mm_cmplt_ps(a, one)) != 0) {
                    const __m128 live = _mm_cmpgt_ps(a, zero);
                    const __m128 inv = _mm_and_ps(live, _mm_div_ps(one, _mm_max_ps(a, tiny)));
                    auto un = [&](__m128 c) { return _mm_and_ps(live, _mm_blendv_ps(_mm_mul_ps(c, inv), c, _mm_cmpgt_ps(c, a))); };
                    r0 = un(r0);
                    g0 = un(g0);
                    b0 = un(b0);
                    a = _mm_max_ps(a, zero);
                }
                r0 = encodeV(r0);
                g0 = encodeV(g0);
                b0 = encodeV(b0);
                __m128 cr, cg, cbl, ca, orr, og, ob, oa;
                colour(_mm_add_ps(_mm_mul_ps(cm, r0), cb), _mm_add_ps(_mm_mul_ps(cm, g0), cb), _mm_add_ps(_mm_mul_ps(cm, b0), cb), a,
                       core0_, coreD_, lr, lg, lb, cr, cg, cbl, ca);
                colour(r0, g0, b0, a, out0_, outD_, lr, lg, lb, orr, og, ob, oa);
                __m128 kv = _mm_setr_ps(kp[i0], n > 1 ? kp[i0 + 1] : 0, n > 2 ? kp[i0 + 2] : 0, n > 3 ? kp[i0 + 3] : 0);
                auto screen = [&](__m128 t, __m128 b) { return _mm_mul_ps(kv, _mm_sub_ps(_mm_add_ps(t, b), _mm_mul_ps(t, b))); };
                __m128 fr = screen(cr, orr), fg = screen(cg, og), fbv = screen(cbl, ob), fa = screen(ca, oa);
                _MM_TRANSPOSE4_PS(fr, fg, fbv, fa);
                alignas(16) float res[16];
                _mm_store_ps(res, fr);
                _mm_store_ps(res + 4, fg);
                _mm_store_ps(res + 8, fbv);
                _mm_store_ps(res + 12, fa);
                std::memcpy(op + 4 * i0, res, size_t(n) * 4 * sizeof(float));
            }
        }
    }

private:
    // The engine's bilinear read, with the four pixels inside the buffer taken inline (the same
    // weights, summed in the same order).
    static void sample(const float* buf, const engine::IRect& br, double px, double py, float* o) {
        const double fx = px - 0.5, fy = py - 0.5;
        const double flx = std::floor(fx), fly = std::floor(fy);
        if (std::abs(flx) < 1e9 && std::abs(fly) < 1e9) {
            const int x0 = int(flx) - br.x, y0 = int(fly) - br.y;
            if (x0 >= 0 && y0 >= 0 && x0 + 1 < br.w && y0 + 1 < br.h) {
                const float wx = float(fx - flx), wy = float(fy - fly);
                const float* p0 = buf + (size_t(y0) * br.w + x0) * 4;
                const float* p1 = p0 + size_t(br.w) * 4;
                __m128 acc = _mm_mul_ps(_mm_set1_ps((1 - wx) * (1 - wy)), _mm_loadu_ps(p0));
                acc = _mm_add_ps(acc, _mm_mul_ps(_mm_set1_ps(wx * (1 - wy)), _mm_loadu_ps(p0 + 4)));
                acc = _mm_add_ps(acc, _mm_mul_ps(_mm_set1_ps((1 - wx) * wy), _mm_loadu_ps(p1)));
                acc = _mm_add_ps(acc, _mm_mul_ps(_mm_set1_ps(wx * wy), _mm_loadu_ps(p1 + 4)));
                _mm_storeu_ps(o, acc);
                return;
            }
        }
        engine::detail::sampleBilinear(buf, br, px, py, o);
    }

    // A false-colour stage from encoded (r, g, b, a), then back to linear premultiplied.
    static void colour(__m128 r, __m128 g, __m128 b, __m128 a, const float* c0, const float* dd, __m128 lr, __m128 lg,
                       __m128 lb, __m128& orr, __m128& og, __m128& ob, __m128& oa) {
        const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
        const __m128 L = clamp01(_mm_add_ps(_mm_add_ps(_mm_mul_ps(lr, r), _mm_mul_ps(lg, g)), _mm_mul_ps(lb, b)));
        const __m128 am = _mm_add_ps(_mm_set1_ps(c0[3]), _mm_mul_ps(_mm_set1_ps(dd[3]), L));
        const __m128 live = _mm_cmpgt_ps(am, zero);
        const __m128 inv = _mm_and_ps(live, _mm_div_ps(one, _mm_max_ps(am, _mm_set1_ps(1e-30f))));
        r = _mm_mul_ps(_mm_add_ps(_mm_set1_ps(c0[0]), _mm_mul_ps(_mm_set1_ps(dd[0]), L)), inv);
        g = _mm_mul_ps(_mm_add_ps(_mm_set1_ps(c0[1]), _mm_mul_ps(_mm_set1_ps(dd[1]), L)), inv);
        b = _mm_mul_ps(_mm_add_ps(_mm_set1_ps(c0[2]), _mm_mul_ps(_mm_set1_ps(dd[2]), L)), inv);
        oa = clamp01(_mm_mul_ps(a, am));
        orr = _mm_mul_ps(decodeV(r), oa);
        og = _mm_mul_ps(decodeV(g), oa);
        ob = _mm_mul_ps(decodeV(b), oa);
    }

    Image S_, C_;
    PixelView s_, c_;
    std::shared_ptr<const MaskWeights> w_;
    Rect extent_;
    float core0_[4], coreD_[4], out0_[4], outD_[4];
    FireColours colours_;
};

// ---- Octave B from blurred noise kept across frames ----
// B's blur is a plain full-resolution Gaussian, which commutes with the octave's move: B is its
// blurred coarse noise, moved. The noise scrolls by under two rows a frame, so the blurred rows are
// kept and only the rows that scroll in are blurred.
// A ring of blurred noise rows: row y lives in slot y mod cap; rows [y0, y0 + n) are valid.
struct BlurredRows {
    int x0 = 0, w = 0, y0 = 0, n = 0, cap = 0;  // noise coordinates
    // cap rows of w RGBA pixels, each written before it is read (so never zeroed first)
    std::vector<float, engine::LargeAllocator<float>> px;
    float* slot(int y) { return px.data() + size_t(((y % cap) + cap) % cap) * w * 4; }
    const float* row(int y) const { return px.data() + size_t(((y % cap) + cap) % cap) * w * 4; }
};

// The octave over its extent: destination row y mixes noise row y + q (from `lower`) and y + q + 1
// (from `upper`) with the move's bilinear weights, q = floor(−off). The move and the blur are
// both linear, so this is the blur of the moved noise; for a blur on a grid of every other row the
// two rows come from the grid phases the two whole-row moves give.
class ShiftedRowsNode final : public engine::Node {
public:
    ShiftedRowsNode(std::shared_ptr<const BlurredRows> lower, std::shared_ptr<const BlurredRows> upper, double off,
                    const Rect& extent)
        : lower_(std::move(lower)), upper_(std::move(upper)), off_(off), extent_(extent) {}
    Rect extent() const override { return extent_; }
    // The two kept rows that row y mixes over columns [x0, x0 + w) and the upper one's weight, when
    // both grids hold all of them inside the extent (as render() reads them); false otherwise.
    bool rowSources(int y, int x0, int w, const float** bot, const float** top, float* vy) const {
        const engine::IRect e = engine::pixelBounds(extent_);
        if (y < e.y || y >= e.maxY() || x0 < e.x || x0 + w > e.maxX()) return false;
        const BlurredRows& g0 = *lower_;
        const BlurredRows& g1 = *upper_;
        const double f = (y + 0.5) - off_ - 0.5, fl = std::floor(f);
        const int q = int(fl);
        if (!(q >= g0.y0 && q < g0.y0 + g0.n && q + 1 >= g1.y0 && q + 1 < g1.y0 + g1.n)) return false;
        if (x0 < std::max(g0.x0, g1.x0) || x0 + w > std::min(g0.x0 + g0.w, g1.x0 + g1.w)) return false;
        *bot = g0.row(q) + size_t(x0 - g0.x0) * 4;
        *top = g1.row(q + 1) + size_t(x0 - g1.x0) * 4;
        *vy = float(f - fl);
        return true;
    }
    void render(engine::TileContext&, const engine::IRect& r, float* out) const override {
        const BlurredRows& g0 = *lower_;
        const BlurredRows& g1 = *upper_;
        for (int j = 0; j < r.h; ++j) {
            // The move's bilinear read, as the engine's translation does it (no sideways part).
            const double f = (r.y + j + 0.5) - off_ - 0.5, fl = std::floor(f);
            const int y = int(fl);
            const __m128 vy = _mm_set1_ps(float(f - fl));
            float* o = out + size_t(j) * r.w * 4;
            const bool rowsIn = y >= g0.y0 && y < g0.y0 + g0.n && y + 1 >= g1.y0 && y + 1 < g1.y0 + g1.n;
            // Columns [i0, i1) of the tile are held by both grids (they share their columns).
            const int i0 = rowsIn ? std::clamp(std::max(g0.x0, g1.x0) - r.x, 0, r.w) : 0;
            const int i1 = rowsIn ? std::clamp(std::min(g0.x0 + g0.w, g1.x0 + g1.w) - r.x, i0, r.w) : 0;
            std::memset(o, 0, size_t(i0) * 4 * sizeof(float));
            std::memset(o + size_t(i1) * 4, 0, size_t(r.w - i1) * 4 * sizeof(float));
            if (i1 > i0) {
                const float* bp = g0.row(y) + size_t(r.x + i0 - g0.x0) * 4;
                const float* tp = g1.row(y + 1) + size_t(r.x + i0 - g1.x0) * 4;
                float* op = o + size_t(i0) * 4;
                for (int i = 0; i < i1 - i0; ++i) {
                    const __m128 bot = _mm_loadu_ps(bp + 4 * i), top = _mm_loadu_ps(tp + 4 * i);
                    _mm_storeu_ps(op + 4 * i, _mm_add_ps(bot, _mm_mul_ps(_mm_sub_ps(top, bot), vy)));
                }
            }
        }
        engine::detail::clearOutside(out, r, extent_);
    }

private:
    std::shared_ptr<const BlurredRows> lower_, upper_;
    double off_;
    Rect extent_;
};

// Brings `g` to noise rows [y0, y0 + n), columns [x0, x0 + w), blurred with `sigma`, blurring
// only the rows it does not hold yet. `phase` (0 or 1): blurs of large sigma work on a grid of
// every other row; the grid's rows are those of this parity, in noise coordinates.
void updateRows(BlurredRows& g, double factor, double sigma, int x0, int w, int y0, int n, int phase) {
    const size_t rowFloats = size_t(w) * 4;
    if (g.x0 != x0 || g.w != w || g.cap < n) {
        g = BlurredRows{};
        g.x0 = x0, g.w = w, g.cap = n + 8;
        g.px.resize(rowFloats * size_t(g.cap));
    }
    auto fill = [&](int lo, int hi) {  // blur rows [lo, hi) afresh
        if (hi <= lo) return;
        // Moved up by the phase (a whole row, so no resampling), the grid's even rows are the
        // noise rows of that parity.
        const Image b = materialize(octaveNoise(factor).translated(0, phase).gaussianBlur(sigma).cropped(
            Rect{double(x0), double(lo + phase), double(w), double(hi - lo)}));
        const PixelView v = pixelsOf(b);
        for (int y = lo; y < hi; ++y) {
            float* dst = g.slot(y);
            if (const float* src = v ? v.at(x0, y + phase) : nullptr) std::memcpy(dst, src, rowFloats * sizeof(float));
            else std::memset(dst, 0, rowFloats * sizeof(float));
        }
    };
    const int keepLo = std::max(y0, g.y0), keepHi = std::min(y0 + n, g.y0 + g.n);
    if (g.n == 0 || keepHi <= keepLo) {
        fill(y0, y0 + n);
    } else {
        fill(y0, keepLo);
        fill(keepHi, y0 + n);
    }
    g.y0 = y0, g.n = n;
}

// Octave `slot` over `region` of E from its kept rows. Blurs of sigma 4 and up work on a grid of
// every other row, anchored at even rows of what they blur, so their rows are kept in both phases.
}  // namespace

namespace flame {
// What one Flame object keeps between frames: the octaves' blurred rows and the masks' weights.
// All of it can be made again from the frame time and the extent.
struct Caches {
    // Rewritten in place each frame: an octave is read only while its frame's S is evaluated,
    // before fireLayer returns.
    std::shared_ptr<BlurredRows> keptRows[3][2];
    double keptSigmas[3] = {};
    // The fire mask depends on the extent only: kept, evaluated, for the extent last used.
    Rect maskKey, maskBand;
    Image mask;
    Rect weightsKey, weightsBand;
    std::shared_ptr<const MaskWeights> weights;
    Rect fadeKey;
    std::shared_ptr<const MaskWeights> fade;
};
}  // namespace flame

namespace {

Image cachedOctave(flame::Caches& caches, int slot, const Rect& E, const Rect& region, double off, const OctaveSpec& o) {
    const double sigma = o.sigma;
    auto& keptRows = caches.keptRows;
    auto& keptSigmas = caches.keptSigmas;
    const int q = int(std::floor(-off));
    const bool phased = sigma >= 4;
    const engine::IRect b = engine::pixelBounds(region);
    const int lo = int(std::floor(b.y - off)), hi = int(std::floor(b.maxY() - 1 - off)) + 2;
    for (int p = 0; p < (phased ? 2 : 1); ++p) {
        auto& g = keptRows[slot][p];
        if (!g || keptSigmas[slot] != sigma) g = std::make_shared<BlurredRows>();
        updateRows(*g, o.factor, sigma, b.x, b.w, lo, hi - lo, p);
    }
    keptSigmas[slot] = sigma;
    // Row y + q is row y of the noise moved by −q; that move puts the grid on rows of q's parity.
    const int pLow = phased ? (q % 2 + 2) % 2 : 0, pHigh = phased ? 1 - pLow : 0;
    return Image(std::make_shared<ShiftedRowsNode>(keptRows[slot][pLow], keptRows[slot][pHigh], off, region.intersected(E)));
}

// ---- The embers in one pass ----
// Noise moved by a constant sub-pixel offset, the hard tone, the 1.4 px blur, the false colour and
// the fade, per tile in the tile's own buffers. The move's weights are the same for every pixel,
// so a moved row is two noise rows mixed. The hard tone is flat outside its steep span, so its
// curve is only worked out for the pixels inside it.

// The engine's noise hash, a row at a time.
__attribute__((target_clones("arch=x86-64-v4", "default"))) void emberNoiseRow(int x0, int y, int n, float* __restrict out) {
    const uint64_t yy = uint32_t(y);
    for (int i = 0; i < n; ++i) {
        const uint64_t key = (uint64_t(uint32_t(x0 + i)) << 32 | yy) * 0x9E3779B97F4A7C15ull;
        for (int c = 0; c < 4; ++c) {
            uint64_t h = key + uint64_t(c) * 0xD1B54A32D192ED03ull;
            h ^= h >> 33;
            h *= 0xFF51AFD7ED558CCDull;
            h ^= h >> 33;
            h *= 0xC4CEB9FE1A85EC53ull;
            h ^= h >> 33;
            out[4 * i + c] = float(uint32_t(h) >> 8) * (1.0f / 16777216.0f);
        }
    }
}

// The embers' contrast and brightness as a function of the unpremultiplied value u: zero up to
// u0, full from u1, and two polynomials between, split where the decode leaves its linear toe (a
// kink a single polynomial fits badly). Fitted once to the engine's own curve.
struct EmberTone {
    float u0, ut, u1, top;
    float mid[2], scale[2];
    float lo[3], hi[7];  // coefficients in z = (u − mid)·scale, lowest first
};

float emberToneScalar(float u) {
    return filters::decodeSRGBFast(float(kToneEmbers.contrast) * filters::encodeSRGBFast(u) + kToneEmbers.bias());
}

// The last float of [lo, hi] for which pred holds, pred monotone (true then false).
template <typename Pred>
float lastWhere(float lo, float hi, Pred pred) {
    while (std::nextafter(lo, hi) < hi) {
        const float m = 0.5f * (lo + hi);
        if (m <= lo || m >= hi) break;
        (pred(m) ? lo : hi) = m;
    }
    return pred(hi) ? hi : lo;
}

// Least squares of f over [a, b] in powers of z, at Chebyshev points.
template <typename F>
void fitPolynomial(F f, double a, double b, int degree, float mid, float scale, float* out) {
    constexpr int kPoints = 400;
    const int m = degree + 1;
    double A[8][8] = {}, B[8] = {};
    for (int i = 0; i < kPoints; ++i) {
        const double u = 0.5 * (a + b) + 0.5 * (b - a) * std::cos(M_PI * (i + 0.5) / kPoints);
        const double z = (double(float(u)) - mid) * scale, y = f(float(u));
        double pw[8];
        pw[0] = 1;
        for (int k = 1; k < m; ++k) pw[k] = pw[k - 1] * z;
        for (int r = 0; r < m; ++r) {
            B[r] += pw[r] * y;
            for (int c = 0; c < m; ++c) A[r][c] += pw[r] * pw[c];
        }
    }
    for (int c = 0; c < m; ++c) {  // Gauss–Jordan with partial pivoting
        int piv = c;
        for (int r = c + 1; r < m; ++r)
            if (std::abs(A[r][c]) > std::abs(A[piv][c])) piv = r;
        std::swap(A[c], A[piv]);
        std::swap(B[c], B[piv]);
        for (int r = 0; r < m; ++r) {
            if (r == c) continue;
            const double k = A[r][c] / A[c][c];
            for (int q = 0; q < m; ++q) A[r][q] -= k * A[c][q];
            B[r] -= k * B[c];
        }
    }
    for (int k = 0; k < m; ++k) out[k] = float(B[k] / A[k][k]);
}

const EmberTone& emberTone() {
    static const EmberTone tone = [] {
        EmberTone t{};
        t.top = filters::decodeSRGBFast(1.0f);
        const float bias = kToneEmbers.bias(), contrast = float(kToneEmbers.contrast);
        t.u0 = lastWhere(0.0f, 1.0f, [](float u) { return emberToneScalar(u) <= 0.0f; });
        t.u1 = std::nextafter(lastWhere(0.0f, 1.0f, [&](float u) { return emberToneScalar(u) < t.top; }), 2.0f);
        t.ut = lastWhere(t.u0, t.u1, [&](float u) { return contrast * filters::encodeSRGBFast(u) + bias < 0.04045f; });
        const double ends[2][2] = {{t.u0, t.ut}, {std::nextafter(t.ut, 1.0f), t.u1}};
        for (int p = 0; p < 2; ++p) {
            t.mid[p] = float(0.5 * (ends[p][0] + ends[p][1]));
            t.scale[p] = float(2.0 / (ends[p][1] - ends[p][0]));
            fitPolynomial(emberToneScalar, ends[p][0], ends[p][1], p == 0 ? 2 : 6, t.mid[p], t.scale[p], p == 0 ? t.lo : t.hi);
        }
        return t;
    }();
    return tone;
}

FLAME_AVX2 inline __m256 emberToneX8(__m256 u, const EmberTone& t) {
    const __m256 z1 = _mm256_mul_ps(_mm256_sub_ps(u, _mm256_set1_ps(t.mid[1])), _mm256_set1_ps(t.scale[1]));
    __m256 hi = _mm256_set1_ps(t.hi[6]);
    for (int k = 5; k >= 0; --k) hi = _mm256_fmadd_ps(hi, z1, _mm256_set1_ps(t.hi[k]));
    const __m256 z0 = _mm256_mul_ps(_mm256_sub_ps(u, _mm256_set1_ps(t.mid[0])), _mm256_set1_ps(t.scale[0]));
    __m256 lo = _mm256_fmadd_ps(_mm256_fmadd_ps(_mm256_set1_ps(t.lo[2]), z0, _mm256_set1_ps(t.lo[1])), z0, _mm256_set1_ps(t.lo[0]));
    __m256 v = _mm256_blendv_ps(hi, lo, _mm256_cmp_ps(u, _mm256_set1_ps(t.ut), _CMP_LE_OQ));
    v = _mm256_and_ps(v, _mm256_cmp_ps(u, _mm256_set1_ps(t.u0), _CMP_GT_OQ));
    return _mm256_blendv_ps(v, _mm256_set1_ps(t.top), _mm256_cmp_ps(u, _mm256_set1_ps(t.u1), _CMP_GE_OQ));
}

// One toned row, planar (four planes `sw` apart), from two sideways-mixed moved noise rows,
// eight pixels at a time; `n` is a multiple of 8 (the rows are padded).
FLAME_AVX2 void emberToneRowX8(const float* h0, const float* h1, float wy, int n, int valid, const EmberTone& tone, float* t,
                               size_t sw) {
    const __m256 vy = _mm256_set1_ps(wy);
    for (int i = 0; i < n; i += 8) {
        __m256 v[4];
        for (int q = 0; q < 4; ++q) {
            const __m256 a = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(h0 + 4 * (i + q))), _mm_loadu_ps(h0 + 4 * (i + q + 4)), 1);
            const __m256 b = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(h1 + 4 * (i + q))), _mm_loadu_ps(h1 + 4 * (i + q + 4)), 1);
            v[q] = _mm256_fmadd_ps(_mm256_sub_ps(b, a), vy, a);
        }
        // In-lane 4×4 transposes: pixels 0–3 in the low halves, 4–7 in the high ones.
        const __m256 t0 = _mm256_unpacklo_ps(v[0], v[1]), t1 = _mm256_unpacklo_ps(v[2], v[3]);
        const __m256 t2 = _mm256_unpackhi_ps(v[0], v[1]), t3 = _mm256_unpackhi_ps(v[2], v[3]);
        __m256 r = _mm256_shuffle_ps(t0, t1, 0x44), g = _mm256_shuffle_ps(t0, t1, 0xEE);
        __m256 b = _mm256_shuffle_ps(t2, t3, 0x44), a = _mm256_shuffle_ps(t2, t3, 0xEE);
        unpremulX8(r, g, b, a);
        a = clamp01x8(a);
        const int m = std::min(8, valid - i);
        if (m <= 0) break;
        const __m256 res[4] = {_mm256_mul_ps(emberToneX8(r, tone), a), _mm256_mul_ps(emberToneX8(g, tone), a),
                               _mm256_mul_ps(emberToneX8(b, tone), a), a};
        if (m == 8) {
            for (int c = 0; c < 4; ++c) _mm256_storeu_ps(t + c * sw + i, res[c]);
        } else {
            alignas(32) float tail[8];
            for (int c = 0; c < 4; ++c) {
                _mm256_store_ps(tail, res[c]);
                std::memcpy(t + c * sw + i, tail, size_t(m) * sizeof(float));
            }
        }
    }
}

// The vertical pass of the 1.4 px blur for one row: `rows[k]` are the planar rows k − R … k + R.
FLAME_AVX2 void emberBlurDownX8(const float* const* rows, const float* w, int R, size_t floats, float* v) {
    for (size_t i = 0; i < floats; i += 8) {
        __m256 s = _mm256_mul_ps(_mm256_set1_ps(w[0]), _mm256_loadu_ps(rows[R] + i));
        for (int k = 1; k <= R; ++k)
            s = _mm256_fmadd_ps(_mm256_set1_ps(w[k]), _mm256_add_ps(_mm256_loadu_ps(rows[R + k] + i), _mm256_loadu_ps(rows[R - k] + i)), s);
        _mm256_storeu_ps(v + i, s);
    }
}

// The horizontal pass, the false colour (a constant colour at alpha × luminance) and the fade for
// one output row of `n` pixels.
FLAME_AVX2 void emberColourRowX8(const float* V, size_t sw, const float* w, int R, int n, const float* ember, float k, float* o) {
    const __m256 lr = _mm256_set1_ps(filters::kLumR), lg = _mm256_set1_ps(filters::kLumG), lb = _mm256_set1_ps(filters::kLumB);
    const __m128 em = _mm_mul_ps(_mm_loadu_ps(ember), _mm_set1_ps(k));
    const __m256 em2 = _mm256_set_m128(em, em);
    for (int i = 0; i < n; i += 8) {
        __m256 ch[4];
        for (int c = 0; c < 4; ++c) {
            const float* cc = V + c * sw + i + R;
            __m256 s = _mm256_mul_ps(_mm256_set1_ps(w[0]), _mm256_loadu_ps(cc));
            for (int q = 1; q <= R; ++q) s = _mm256_fmadd_ps(_mm256_set1_ps(w[q]), _mm256_add_ps(_mm256_loadu_ps(cc - q), _mm256_loadu_ps(cc + q)), s);
            ch[c] = s;
        }
        unpremulX8(ch[0], ch[1], ch[2], ch[3]);
        const __m256 L = clamp01x8(_mm256_fmadd_ps(lr, encodeX8(ch[0]), _mm256_fmadd_ps(lg, encodeX8(ch[1]), _mm256_mul_ps(lb, encodeX8(ch[2])))));
        const __m256 oa = clamp01x8(_mm256_mul_ps(ch[3], L));
        const int m = std::min(8, n - i);
        if (m == 8) {
            // Pixel q is the ember colour times lane q: two pixels a store.
            for (int q = 0; q < 4; ++q) {
                const __m256i idx = _mm256_setr_epi32(2 * q, 2 * q, 2 * q, 2 * q, 2 * q + 1, 2 * q + 1, 2 * q + 1, 2 * q + 1);
                _mm256_storeu_ps(o + 4 * i + 8 * q, _mm256_mul_ps(em2, _mm256_permutevar8x32_ps(oa, idx)));
            }
        } else {
            alignas(32) float lanes[8];
            _mm256_store_ps(lanes, oa);
            for (int q = 0; q < m; ++q) _mm_storeu_ps(o + 4 * (i + q), _mm_mul_ps(em, _mm_set1_ps(lanes[q])));
        }
    }
}

class EmberNode final : public engine::Node {
public:
    static constexpr int kR = 5;  // the blur's reach: ceil(3 σ)
    EmberNode(const Rect& E, engine::Point off, std::shared_ptr<const MaskWeights> fade)
        : E_(E), eb_(engine::pixelBounds(E)), fade_(std::move(fade)) {
        top_ = filters::decodeSRGBFast(1.0f);
        const double fx = std::floor(-off.x), fy = std::floor(-off.y);
        qx_ = int(fx), qy_ = int(fy);
        wx_ = float(-off.x - fx), wy_ = float(-off.y - fy);
        double sum = 0;
        for (int i = 0; i <= kR; ++i) {
            const double g = std::exp(-0.5 * i * i / (1.4 * 1.4));
            w_[i] = float(g);
            sum += i == 0 ? g : 2 * g;
        }
        for (float& g : w_) g = float(g / sum);
        const Color c1 = Color::fromSRGB(1.0, 0.75, 0.25, 1.0);
        for (int c = 0; c < 3; ++c) {
            const float lin = c == 0 ? c1.r : c == 1 ? c1.g : c1.b;
            ember_[c] = filters::decodeSRGBFast(filters::encodeSRGBFast(lin / c1.a) * std::clamp(c1.a, 0.0f, 1.0f));
        }
        ember_[3] = 1.0f;
    }
    Rect extent() const override { return E_; }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override {
        const engine::IRect fb = r.intersected(eb_).intersected(fade_->bounds);
        // The wide pass writes every pixel of fb.
        if (!(fb == r) || !engine::cpu::hasAvx2Fma()) std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        if (fb.isEmpty()) return;
        if (engine::cpu::hasAvx2Fma()) return renderWide(ctx, r, fb, out);
        // The toned rows over the tile grown by the blur's reach, zero outside E, one plane a
        // channel so four pixels share each step; a ring of the rows the vertical blur reads.
        const engine::IRect sr = fb.grown(kR, kR);
        const engine::IRect in = sr.intersected(eb_);
        constexpr int kRing = 2 * kR + 1;
        const size_t sw = (size_t(sr.w) + 3) & ~size_t(3), rowFloats = sw * 4;
        float* T = ctx.alloc(rowFloats * kRing + 16);
        std::memset(T, 0, (rowFloats * kRing + 16) * sizeof(float));
        auto slot = [&](int y) { return T + size_t(((y % kRing) + kRing) % kRing) * rowFloats; };
        const int nw = (in.w + 3) & ~3;
        float* n0 = ctx.alloc(size_t(nw + 1) * 4);
        float* h0 = ctx.alloc(size_t(nw) * 4);
        float* h1 = ctx.alloc(size_t(nw) * 4);
        std::memset(h0, 0, size_t(nw) * 4 * sizeof(float));
        std::memset(h1, 0, size_t(nw) * 4 * sizeof(float));
        const __m128 vx = _mm_set1_ps(wx_), vy = _mm_set1_ps(wy_);
        auto moveRow = [&](int ny, float* hbuf) {  // noise row ny, mixed sideways
            emberNoiseRow(in.x + qx_, ny, in.w + 1, n0);
            for (int i = 0; i < in.w; ++i) {
                const __m128 a = _mm_loadu_ps(n0 + 4 * i), b = _mm_loadu_ps(n0 + 4 * i + 4);
                _mm_storeu_ps(hbuf + 4 * i, _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(b, a), vx)));
            }
        };
        const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f), tiny = _mm_set1_ps(1e-30f);
        // The tone is zero up to u0 and full from u1.
        const __m128 lo = _mm_set1_ps(emberTone().u0), hi = _mm_set1_ps(emberTone().u1), top = _mm_set1_ps(top_);
        const __m128 tm = _mm_set1_ps(float(kToneEmbers.contrast)), tb = _mm_set1_ps(kToneEmbers.bias());
        auto unpremul = [&](__m128& r0, __m128& g0, __m128& b0, __m128& a) {
            const __m128 live = _mm_cmpgt_ps(a, zero);
            const __m128 inv = _mm_and_ps(live, _mm_div_ps(one, _mm_max_ps(a, tiny)));
            auto un = [&](__m128 c) { return _mm_and_ps(live, _mm_blendv_ps(_mm_mul_ps(c, inv), c, _mm_cmpgt_ps(c, a))); };
            r0 = un(r0);
            g0 = un(g0);
            b0 = un(b0);
            a = _mm_max_ps(a, zero);
        };
        auto tone = [&](__m128 u) {
            // Zero below lo, full above hi; the curve itself only where some lane needs it.
            const __m128 mid = _mm_and_ps(_mm_cmpgt_ps(u, lo), _mm_cmplt_ps(u, hi));
            const __m128 flat = _mm_and_ps(_mm_cmpge_ps(u, hi), top);
            if (_mm_movemask_ps(mid) == 0) return flat;
            const __m128 c = decodeV(_mm_add_ps(_mm_mul_ps(tm, encodeV(u)), tb));
            return _mm_blendv_ps(flat, c, mid);
        };
        float* V = ctx.alloc(sw * 4 + 16);
        std::memset(V, 0, (sw * 4 + 16) * sizeof(float));
        __m128 wv[kR + 1];
        for (int i = 0; i <= kR; ++i) wv[i] = _mm_set1_ps(w_[i]);
        const __m128 lr = _mm_set1_ps(filters::kLumR), lg = _mm_set1_ps(filters::kLumG), lb = _mm_set1_ps(filters::kLumB);
        if (in.h > 0) moveRow(in.y + qy_, h0);
        for (int yy = sr.y; yy < sr.maxY(); ++yy) {
            float* t = slot(yy);
            if (yy < in.y || yy >= in.maxY()) {
                std::memset(t, 0, rowFloats * sizeof(float));
            } else {
                moveRow(yy + qy_ + 1, h1);
                t += size_t(in.x - sr.x);
                for (int i = 0; i < in.w; i += 4) {
                    auto mixed = [&](int q) {
                        const __m128 a = _mm_loadu_ps(h0 + 4 * (i + q)), b = _mm_loadu_ps(h1 + 4 * (i + q));
                        return _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(b, a), vy));
                    };
                    __m128 r0 = mixed(0), g0 = mixed(1), b0 = mixed(2), a = mixed(3);
                    _MM_TRANSPOSE4_PS(r0, g0, b0, a);
                    unpremul(r0, g0, b0, a);
                    a = clamp01(a);
                    alignas(16) float res[16];
                    _mm_store_ps(res, _mm_mul_ps(tone(r0), a));
                    _mm_store_ps(res + 4, _mm_mul_ps(tone(g0), a));
                    _mm_store_ps(res + 8, _mm_mul_ps(tone(b0), a));
                    _mm_store_ps(res + 12, a);
                    const int n = std::min(4, in.w - i);
                    for (int c = 0; c < 4; ++c) std::memcpy(t + c * sw + i, res + 4 * c, size_t(n) * sizeof(float));
                }
                std::swap(h0, h1);
            }
            const int y = yy - kR;  // the output row whose vertical reach is now complete
            if (y < fb.y) continue;
            // Down the columns, then along the row, then the false colour and the fade.
            for (int c = 0; c < 4; ++c) {
                float* v = V + c * sw;
                const float* mid0 = slot(y) + c * sw;
                for (size_t i = 0; i < sw; i += 4) _mm_storeu_ps(v + i, _mm_mul_ps(wv[0], _mm_loadu_ps(mid0 + i)));
                for (int k = 1; k <= kR; ++k) {
                    const float* up = slot(y + k) + c * sw;
                    const float* dn = slot(y - k) + c * sw;
                    for (size_t i = 0; i < sw; i += 4)
                        _mm_storeu_ps(v + i, _mm_add_ps(_mm_loadu_ps(v + i), _mm_mul_ps(wv[k], _mm_add_ps(_mm_loadu_ps(up + i), _mm_loadu_ps(dn + i)))));
                }
            }
            const float k = fade_->k[size_t(y - fade_->bounds.y)];
            float* o = out + (size_t(y - r.y) * r.w + (fb.x - r.x)) * 4;
            const __m128 ember = _mm_mul_ps(_mm_setr_ps(ember_[0], ember_[1], ember_[2], ember_[3]), _mm_set1_ps(k));
            for (int i = 0; i < fb.w; i += 4) {
                __m128 ch[4];
                for (int c = 0; c < 4; ++c) {
                    const float* cc = V + c * sw + i + kR;
                    __m128 s = _mm_mul_ps(wv[0], _mm_loadu_ps(cc));
                    for (int q = 1; q <= kR; ++q) s = _mm_add_ps(s, _mm_mul_ps(wv[q], _mm_add_ps(_mm_loadu_ps(cc - q), _mm_loadu_ps(cc + q))));
                    ch[c] = s;
                }
                unpremul(ch[0], ch[1], ch[2], ch[3]);
                const __m128 L = clamp01(_mm_add_ps(_mm_add_ps(_mm_mul_ps(lr, encodeV(ch[0])), _mm_mul_ps(lg, encodeV(ch[1]))),
                                                    _mm_mul_ps(lb, encodeV(ch[2]))));
                alignas(16) float oa[4];
                _mm_store_ps(oa, clamp01(_mm_mul_ps(ch[3], L)));
                const int n = std::min(4, fb.w - i);
                for (int q = 0; q < n; ++q) _mm_storeu_ps(o + 4 * (i + q), _mm_mul_ps(ember, _mm_set1_ps(oa[q])));
            }
        }
    }

    // The same, eight pixels at a time.
    void renderWide(engine::TileContext& ctx, const engine::IRect& r, const engine::IRect& fb, float* out) const {
        const engine::IRect sr = fb.grown(kR, kR);
        const engine::IRect in = sr.intersected(eb_);
        constexpr int kRing = 2 * kR + 1;
        const size_t sw = (size_t(sr.w) + 7) & ~size_t(7), rowFloats = sw * 4;
        float* T = ctx.alloc(rowFloats * kRing + 32);
        std::memset(T, 0, (rowFloats * kRing + 32) * sizeof(float));
        auto slot = [&](int y) { return T + size_t(((y % kRing) + kRing) % kRing) * rowFloats; };
        const int nw = (in.w + 7) & ~7;
        float* n0 = ctx.alloc(size_t(nw + 1) * 4);
        float* h0 = ctx.alloc(size_t(nw + 8) * 4);
        float* h1 = ctx.alloc(size_t(nw + 8) * 4);
        std::memset(h0, 0, size_t(nw + 8) * 4 * sizeof(float));
        std::memset(h1, 0, size_t(nw + 8) * 4 * sizeof(float));
        const __m128 vx = _mm_set1_ps(wx_);
        auto moveRow = [&](int ny, float* hbuf) {  // noise row ny, mixed sideways
            emberNoiseRow(in.x + qx_, ny, in.w + 1, n0);
            for (int i = 0; i < in.w; ++i) {
                const __m128 a = _mm_loadu_ps(n0 + 4 * i), b = _mm_loadu_ps(n0 + 4 * i + 4);
                _mm_storeu_ps(hbuf + 4 * i, _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(b, a), vx)));
            }
        };
        float* V = ctx.alloc(rowFloats + 32);
        std::memset(V, 0, (rowFloats + 32) * sizeof(float));
        if (in.h > 0) moveRow(in.y + qy_, h0);
        const float* rows[kRing];
        for (int yy = sr.y; yy < sr.maxY(); ++yy) {
            float* t = slot(yy);
            if (yy < in.y || yy >= in.maxY()) {
                std::memset(t, 0, rowFloats * sizeof(float));
            } else {
                moveRow(yy + qy_ + 1, h1);
                emberToneRowX8(h0, h1, wy_, nw, in.w, emberTone(), t + size_t(in.x - sr.x), sw);
                std::swap(h0, h1);
            }
            const int y = yy - kR;  // the output row whose vertical reach is now complete
            if (y < fb.y) continue;
            for (int k = 0; k < kRing; ++k) rows[k] = slot(y - kR + k);
            emberBlurDownX8(rows, w_, kR, rowFloats, V);
            const float k = fade_->k[size_t(y - fade_->bounds.y)];
            emberColourRowX8(V, sw, w_, kR, fb.w, ember_, k, out + (size_t(y - r.y) * r.w + (fb.x - r.x)) * 4);
        }
    }

private:
    Rect E_;
    engine::IRect eb_;
    std::shared_ptr<const MaskWeights> fade_;
    float top_;
    int qx_, qy_;
    float wx_, wy_;
    float w_[kR + 1];
    float ember_[4];
};

// ---- S (the two octaves toned and screened) in one pass ----

// colorControls with saturation 1 (contrast c, bias b on encoded values) as a function of one
// unpremultiplied channel u: zero up to u0, full from u1, and eight pieces between, the first up to
// the decode's linear toe, seven equal ones after it; each a quintic fitted once to the engine's
// own curve (within 1e-6). A piece's coefficients are picked per lane by a permute.
struct PiecewiseCurve {
    float u0, ut, u1, top, step;
    alignas(32) float mid[8], scale[8];
    alignas(32) float c[6][8];  // lowest power first, in z = (u − mid)·scale
};

PiecewiseCurve contrastCurve(float contrast, float bias) {
    PiecewiseCurve k{};
    auto f = [=](float u) { return filters::decodeSRGBFast(contrast * filters::encodeSRGBFast(u) + bias); };
    k.top = filters::decodeSRGBFast(1.0f);
    k.u0 = lastWhere(0.0f, 1.0f, [&](float u) { return f(u) <= 0.0f; });
    k.u1 = std::nextafter(lastWhere(0.0f, 1.0f, [&](float u) { return f(u) < k.top; }), 2.0f);
    k.ut = lastWhere(k.u0, k.u1, [&](float u) { return contrast * filters::encodeSRGBFast(u) + bias < 0.04045f; });
    k.step = float(7.0 / (double(k.u1) - k.ut));
    for (int p = 0; p < 8; ++p) {
        const double a = p == 0 ? k.u0 : k.ut + (double(k.u1) - k.ut) * (p - 1) / 7.0;
        const double b = p == 0 ? k.ut : k.ut + (double(k.u1) - k.ut) * p / 7.0;
        k.mid[p] = float(0.5 * (a + b));
        k.scale[p] = float(2.0 / (b - a));
        float co[6];
        fitPolynomial(f, a, b, 5, k.mid[p], k.scale[p], co);
        for (int q = 0; q < 6; ++q) k.c[q][p] = co[q];
    }
    return k;
}

FLAME_AVX2 inline __m256 curveX8(__m256 u, const PiecewiseCurve& k) {
    const __m256 above = _mm256_cmp_ps(u, _mm256_set1_ps(k.ut), _CMP_GT_OQ);
    __m256i seg = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_max_ps(_mm256_sub_ps(u, _mm256_set1_ps(k.ut)), _mm256_setzero_ps()),
                                                     _mm256_set1_ps(k.step)));
    seg = _mm256_add_epi32(_mm256_min_epi32(seg, _mm256_set1_epi32(6)), _mm256_set1_epi32(1));
    seg = _mm256_and_si256(seg, _mm256_castps_si256(above));
    const __m256 z = _mm256_mul_ps(_mm256_sub_ps(u, _mm256_permutevar8x32_ps(_mm256_load_ps(k.mid), seg)),
                                   _mm256_permutevar8x32_ps(_mm256_load_ps(k.scale), seg));
    // Estrin's scheme: three dependent steps instead of five.
    __m256 c[6];
    for (int q = 0; q < 6; ++q) c[q] = _mm256_permutevar8x32_ps(_mm256_load_ps(k.c[q]), seg);
    const __m256 z2 = _mm256_mul_ps(z, z);
    const __m256 p01 = _mm256_fmadd_ps(c[1], z, c[0]), p23 = _mm256_fmadd_ps(c[3], z, c[2]), p45 = _mm256_fmadd_ps(c[5], z, c[4]);
    __m256 v = _mm256_fmadd_ps(_mm256_fmadd_ps(p45, z2, p23), z2, p01);
    v = _mm256_and_ps(v, _mm256_cmp_ps(u, _mm256_set1_ps(k.u0), _CMP_GT_OQ));
    return _mm256_blendv_ps(v, _mm256_set1_ps(k.top), _mm256_cmp_ps(u, _mm256_set1_ps(k.u1), _CMP_GE_OQ));
}

// The contrast on linear premultiplied pixels, in place: unpremultiply, the curve, premultiply.
// `n` pixels.
FLAME_AVX2 void contrastRowX8(float* p, int n, const PiecewiseCurve& k) {
    const __m256 one = _mm256_set1_ps(1.0f);
    alignas(32) float tail[32];
    for (int i = 0; i < n; i += 8) {
        float* q = p + 4 * i;
        const int m = std::min(8, n - i);
        if (m < 8) {
            std::memset(tail, 0, sizeof tail);
            std::memcpy(tail, q, size_t(m) * 4 * sizeof(float));
            q = tail;
        }
        __m256 r, g, b, a;
        toPlanesX8(pixelPairX8(q, 0), pixelPairX8(q, 1), pixelPairX8(q, 2), pixelPairX8(q, 3), r, g, b, a);
        if (_mm256_movemask_ps(_mm256_cmp_ps(a, one, _CMP_LT_OQ)) != 0) unpremulX8(r, g, b, a);
        a = clamp01x8(a);
        storePlanesX8(_mm256_mul_ps(curveX8(r, k), a), _mm256_mul_ps(curveX8(g, k), a), _mm256_mul_ps(curveX8(b, k), a), a, q);
        if (m < 8) std::memcpy(p + 4 * i, tail, size_t(m) * 4 * sizeof(float));
    }
}

// Eight pixels of one octave: the move's mix of its two kept rows, then its contrast.
FLAME_AVX2 inline void octaveX8(const float* bot, const float* top, __m256 vy, const PiecewiseCurve& k, __m256& r, __m256& g,
                                __m256& b, __m256& a) {
    __m256 v[4];
    for (int q = 0; q < 4; ++q) {
        const __m256 lo = pixelPairX8(bot, q), hi = pixelPairX8(top, q);
        v[q] = _mm256_fmadd_ps(_mm256_sub_ps(hi, lo), vy, lo);
    }
    toPlanesX8(v[0], v[1], v[2], v[3], r, g, b, a);
    if (_mm256_movemask_ps(_mm256_cmp_ps(a, _mm256_set1_ps(1.0f), _CMP_LT_OQ)) != 0) unpremulX8(r, g, b, a);
    a = clamp01x8(a);
    r = _mm256_mul_ps(curveX8(r, k), a);
    g = _mm256_mul_ps(curveX8(g, k), a);
    b = _mm256_mul_ps(curveX8(b, k), a);
}

// One row of S straight from the kept rows of both octaves; `n` pixels, whole groups of eight
// only (the caller does the rest).
FLAME_AVX2 void fireSRowX8(const float* a0, const float* a1, float wa, const float* b0, const float* b1, float wb, int n,
                           const PiecewiseCurve& ka, const PiecewiseCurve& kb, float* o) {
    const __m256 va = _mm256_set1_ps(wa), vb = _mm256_set1_ps(wb);
    for (int i = 0; i + 8 <= n; i += 8) {
        __m256 ar, ag, ab, aa, br, bg, bb, ba;
        octaveX8(a0 + 4 * i, a1 + 4 * i, va, ka, ar, ag, ab, aa);
        octaveX8(b0 + 4 * i, b1 + 4 * i, vb, kb, br, bg, bb, ba);
        auto screen = [](__m256 t, __m256 u) FLAME_AVX2 { return _mm256_fnmadd_ps(t, u, _mm256_add_ps(t, u)); };
        storePlanesX8(screen(br, ar), screen(bg, ag), screen(bb, ab), screen(ba, aa), o + 4 * i);
    }
}

// screen(colorControls(B, 1, −0.15, 1.6), colorControls(A, 1, −0.05, 1.8)) from the two kept
// octaves: row by row from their kept rows where both hold the row, else a few rows at a time
// through their nodes.
class FireSNode final : public engine::Node {
public:
    FireSNode(std::shared_ptr<const ShiftedRowsNode> A, std::shared_ptr<const ShiftedRowsNode> B)
        : A_(std::move(A)), B_(std::move(B)), extent_(A_->extent().united(B_->extent())) {}
    Rect extent() const override { return extent_; }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override {
        static const PiecewiseCurve curveA = contrastCurve(float(kToneA.contrast), kToneA.bias());
        static const PiecewiseCurve curveB = contrastCurve(float(kToneB.contrast), kToneB.bias());
        float* b = ctx.alloc(size_t(r.w) * 4);
        const int whole = r.w & ~7;
        for (int j = 0; j < r.h; ++j) {
            const int y = r.y + j;
            float* o = out + size_t(j) * r.w * 4;
            const float *a0, *a1, *b0, *b1;
            float wa, wb;
            int done = 0;
            if (whole > 0 && A_->rowSources(y, r.x, r.w, &a0, &a1, &wa) && B_->rowSources(y, r.x, r.w, &b0, &b1, &wb)) {
                fireSRowX8(a0, a1, wa, b0, b1, wb, whole, curveA, curveB, o);
                done = whole;
            }
            if (done == r.w) continue;
            const engine::IRect sub{r.x + done, y, r.w - done, 1};
            float* os = o + size_t(done) * 4;
            A_->render(ctx, sub, os);
            B_->render(ctx, sub, b);
            contrastRowX8(os, sub.w, curveA);
            contrastRowX8(b, sub.w, curveB);
            for (int i = 0; i < sub.w; ++i) {
                const __m128 t = _mm_loadu_ps(b + 4 * i), g = _mm_loadu_ps(os + 4 * i);
                _mm_storeu_ps(os + 4 * i, _mm_sub_ps(_mm_add_ps(t, g), _mm_mul_ps(t, g)));
            }
        }
    }

private:
    std::shared_ptr<const ShiftedRowsNode> A_, B_;
    Rect extent_;
};

// ---- The frame: the warm grade's matrix and both screens in one pass ----
// The grade's matrix is diagonal with no bias and an identity alpha row: on linear premultiplied
// pixels it scales the colour channels (unpremultiplying and premultiplying again cancel for
// alpha in (0, 1]). Then the fire and the embers are screened over it, row by row from the tile's
// own buffers, instead of three full passes over the tile.
void compositeRow(float* o, const float* fire, const float* embers, int n, const float* scale);

FLAME_AVX2 void compositeRowX8(float* o, const float* fire, const float* embers, int n, const float* scale) {
    const __m256 m = _mm256_setr_ps(scale[0], scale[1], scale[2], 1.0f, scale[0], scale[1], scale[2], 1.0f);
    const __m256 one = _mm256_set1_ps(1.0f);
    int i = 0;
    for (; i + 2 <= n; i += 2) {
        __m256 g = _mm256_loadu_ps(o + 4 * i);
        const __m256 a = _mm256_permute_ps(g, 0xFF);
        if (_mm256_movemask_ps(_mm256_cmp_ps(a, one, _CMP_LT_OQ)) != 0) {
            // Translucent: as the matrix filter does it, on unpremultiplied colour.
            const __m256 live = _mm256_cmp_ps(a, _mm256_setzero_ps(), _CMP_GT_OQ);
            const __m256 inv = _mm256_and_ps(live, _mm256_div_ps(one, _mm256_max_ps(a, _mm256_set1_ps(1e-30f))));
            const __m256 na = _mm256_and_ps(live, _mm256_min_ps(a, one));
            g = _mm256_blend_ps(_mm256_mul_ps(_mm256_mul_ps(_mm256_mul_ps(g, inv), m), na), na, 0x88);
        } else {
            g = _mm256_blend_ps(_mm256_mul_ps(g, m), one, 0x88);
        }
        if (fire) {
            const __m256 f = _mm256_loadu_ps(fire + 4 * i);
            g = _mm256_fnmadd_ps(f, g, _mm256_add_ps(f, g));
        }
        const __m256 e = _mm256_loadu_ps(embers + 4 * i);
        _mm256_storeu_ps(o + 4 * i, _mm256_fnmadd_ps(e, g, _mm256_add_ps(e, g)));
    }
    if (i < n) compositeRow(o + 4 * i, fire ? fire + 4 * i : nullptr, embers + 4 * i, n - i, scale);
}

void compositeRow(float* o, const float* fire, const float* embers, int n, const float* scale) {
    for (int i = 0; i < n; ++i) {
        float g[4];
        std::memcpy(g, o + 4 * i, sizeof g);
        const float a = g[3];
        const float k = a >= 1.0f ? 1.0f : a > 0.0f ? std::min(a, 1.0f) / a : 0.0f;
        for (int c = 0; c < 3; ++c) g[c] = g[c] * k * scale[c];
        g[3] = a >= 1.0f ? 1.0f : a > 0.0f ? std::min(a, 1.0f) : 0.0f;
        for (int c = 0; c < 4; ++c) {
            if (fire) g[c] = fire[4 * i + c] + g[c] - fire[4 * i + c] * g[c];
            const float e = embers[4 * i + c];
            o[4 * i + c] = e + g[c] - e * g[c];
        }
    }
}

// The grade's colour controls read straight from an 8-bit picture, as the engine's tone run on a
// picture does it: the codes (unpremultiplied, rounded as the decoder does) are the encoded
// values, then the matrix, the decode and alpha. One row of `n` pixels from BGRA `src`.
struct GradeTone {
    float m[9], bias;
};

void gradeRow(const uint8_t* src, int n, const GradeTone& g, float* o) {
    for (int i = 0; i < n; ++i, src += 4, o += 4) {
        const unsigned a = src[3];
        if (a == 0) {
            o[0] = o[1] = o[2] = o[3] = 0.0f;
            continue;
        }
        auto code = [a](unsigned c) { return a == 255 ? float(c) : float(std::min(255u, (c * 255u + a / 2) / a)); };
        const float e[3] = {code(src[2]) / 255.0f, code(src[1]) / 255.0f, code(src[0]) / 255.0f};
        const float al = float(a) / 255.0f;
        for (int c = 0; c < 3; ++c)
            o[c] = filters::decodeSRGBFast(g.m[3 * c] * e[0] + g.m[3 * c + 1] * e[1] + g.m[3 * c + 2] * e[2] + g.bias) * al;
        o[3] = al;
    }
}

FLAME_AVX2 void gradeRowX8(const uint8_t* src, int n, const GradeTone& g, float* o) {
    const __m256i low = _mm256_set1_epi32(0xFF);
    const __m256 k = _mm256_set1_ps(1.0f / 255.0f), c255 = _mm256_set1_ps(255.0f);
    __m256 m[9];
    for (int q = 0; q < 9; ++q) m[q] = _mm256_set1_ps(g.m[q]);
    const __m256 bias = _mm256_set1_ps(g.bias);
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 4 * i));
        __m256 b = _mm256_cvtepi32_ps(_mm256_and_si256(v, low));
        __m256 gr = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(v, 8), low));
        __m256 r = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(v, 16), low));
        const __m256 a = _mm256_cvtepi32_ps(_mm256_srli_epi32(v, 24));
        if (_mm256_movemask_ps(_mm256_cmp_ps(a, c255, _CMP_LT_OQ)) != 0) {
            // The decoder's rounded unpremultiply: min(255, ⌊(255 c + ⌊a/2⌋) / a⌋), exact in float.
            const __m256 live = _mm256_cmp_ps(a, _mm256_setzero_ps(), _CMP_GT_OQ);
            const __m256 halfA = _mm256_floor_ps(_mm256_mul_ps(a, _mm256_set1_ps(0.5f)));
            const __m256 safe = _mm256_max_ps(a, _mm256_set1_ps(1.0f));
            auto un = [&](__m256 c) FLAME_AVX2 {
                const __m256 q = _mm256_floor_ps(_mm256_div_ps(_mm256_fmadd_ps(c, c255, halfA), safe));
                return _mm256_and_ps(live, _mm256_min_ps(q, c255));
            };
            const __m256 opaque = _mm256_cmp_ps(a, c255, _CMP_GE_OQ);
            r = _mm256_blendv_ps(un(r), r, opaque);
            gr = _mm256_blendv_ps(un(gr), gr, opaque);
            b = _mm256_blendv_ps(un(b), b, opaque);
        }
        r = _mm256_mul_ps(r, k), gr = _mm256_mul_ps(gr, k), b = _mm256_mul_ps(b, k);
        const __m256 al = _mm256_mul_ps(a, k);
        const __m256 nr = _mm256_fmadd_ps(m[0], r, _mm256_fmadd_ps(m[1], gr, _mm256_fmadd_ps(m[2], b, bias)));
        const __m256 ng = _mm256_fmadd_ps(m[3], r, _mm256_fmadd_ps(m[4], gr, _mm256_fmadd_ps(m[5], b, bias)));
        const __m256 nb = _mm256_fmadd_ps(m[6], r, _mm256_fmadd_ps(m[7], gr, _mm256_fmadd_ps(m[8], b, bias)));
        storePlanesX8(_mm256_mul_ps(decodeX8(nr), al), _mm256_mul_ps(decodeX8(ng), al), _mm256_mul_ps(decodeX8(nb), al), al,
                      o + 4 * i);
    }
    if (i < n) gradeRow(src + 4 * i, n - i, g, o + 4 * i);
}

// colorControls(saturation s, brightness, contrast c) as the engine builds its matrix.
GradeTone gradeTone(double saturation, double brightness, double contrast) {
    GradeTone g{};
    const float s = float(saturation), c = float(contrast);
    const float w[3] = {filters::kLumR, filters::kLumG, filters::kLumB};
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col) g.m[row * 3 + col] = c * ((1.0f - s) * w[col] + (row == col ? s : 0.0f));
    g.bias = float(0.5 * (1.0 - contrast) + brightness);
    return g;
}

// The 8-bit picture under `image` when it is one moved by whole pixels (a fitted camera frame).
const engine::SourceNode* pictureOf(const Image& image, int* dx, int* dy) {
    *dx = *dy = 0;
    const engine::Node* n = image.node().get();
    if (auto* t = dynamic_cast<const engine::TransformNode*>(n)) {
        if (!t->isIntegerTranslation(dx, dy)) return nullptr;
        n = t->inputPtr().get();
    }
    auto* src = dynamic_cast<const engine::SourceNode*>(n);
    if (!src || src->image().format() != QImage::Format_ARGB32_Premultiplied) return nullptr;
    return src;
}

class FlameFrameNode final : public engine::Node {
public:
    FlameFrameNode(engine::NodePtr base, engine::NodePtr fire, engine::NodePtr embers, std::array<float, 3> scale)
        : base_(std::move(base)), fire_(std::move(fire)), embers_(std::move(embers)), scale_(scale),
          extent_(base_->extent().united(fire_->extent()).united(embers_->extent())) {}
    // The graded picture read from `picture` (moved by dx, dy) instead of through `base`.
    void readPicture(QImage picture, int dx, int dy, const GradeTone& tone) {
        picture_ = std::move(picture);
        dx_ = dx, dy_ = dy;
        tone_ = tone;
    }
    Rect extent() const override { return extent_; }
    int inputCount() const override { return 3; }
    const engine::Node* input(int i) const override { return i == 0 ? base_.get() : i == 1 ? fire_.get() : embers_.get(); }
    engine::IRect roi(int i, const engine::IRect& dest) const override {
        return i == 0 ? dest : dest.intersected(engine::pixelBounds((i == 1 ? fire_ : embers_)->extent()));
    }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override {
        if (picture_.isNull()) ctx.renderInto(*base_, r, out);
        else renderPicture(r, out);
        const engine::IRect fb = engine::pixelBounds(fire_->extent()).intersected(r);
        const engine::IRect eb = engine::pixelBounds(embers_->extent()).intersected(r);
        const float* f = fb.isEmpty() ? nullptr : ctx.pull(*fire_, fb);
        // The embers cover the frame; where they do not, a zero row screens as nothing.
        float* e = ctx.alloc(size_t(r.w) * r.h * 4);
        if (eb == r) {
            ctx.renderInto(*embers_, r, e);
        } else {
            std::memset(e, 0, size_t(r.w) * r.h * 4 * sizeof(float));
            if (!eb.isEmpty()) {
                const float* ep = ctx.pull(*embers_, eb);
                for (int j = 0; j < eb.h; ++j)
                    std::memcpy(e + (size_t(eb.y - r.y + j) * r.w + (eb.x - r.x)) * 4, ep + size_t(j) * eb.w * 4,
                                size_t(eb.w) * 4 * sizeof(float));
            }
        }
        const bool wide = engine::cpu::hasAvx2Fma();
        for (int j = 0; j < r.h; ++j) {
            const int y = r.y + j;
            float* o = out + size_t(j) * r.w * 4;
            const float* er = e + size_t(j) * r.w * 4;
            const bool fireRow = !fb.isEmpty() && y >= fb.y && y < fb.maxY();
            // Columns without fire in a fire row (only at the frame's sides, if ever) go separately.
            const int fx0 = fireRow ? fb.x - r.x : r.w, fx1 = fireRow ? fb.maxX() - r.x : r.w;
            const float* fr = fireRow ? f + size_t(y - fb.y) * fb.w * 4 : nullptr;
            auto run = [&](int i0, int i1, const float* fp) {
                if (i1 <= i0) return;
                if (wide) compositeRowX8(o + 4 * i0, fp, er + 4 * i0, i1 - i0, scale_.data());
                else compositeRow(o + 4 * i0, fp, er + 4 * i0, i1 - i0, scale_.data());
            };
            run(0, fx0, nullptr);
            run(fx0, fx1, fr);
            run(fx1, r.w, nullptr);
        }
    }

private:
    void renderPicture(const engine::IRect& dest, float* out) const {
        const engine::IRect r{dest.x - dx_, dest.y - dy_, dest.w, dest.h};  // in the picture's pixels
        const int w = picture_.width(), h = picture_.height();
        const int x0 = std::clamp(-r.x, 0, r.w), x1 = std::clamp(w - r.x, 0, r.w);
        const bool wide = engine::cpu::hasAvx2Fma();
        for (int j = 0; j < r.h; ++j) {
            float* row = out + size_t(j) * r.w * 4;
            const int qy = h - 1 - (r.y + j);  // the picture's first row is the top of the extent
            if (qy < 0 || qy >= h || x1 <= x0) {
                std::memset(row, 0, size_t(r.w) * 4 * sizeof(float));
                continue;
            }
            std::memset(row, 0, size_t(x0) * 4 * sizeof(float));
            std::memset(row + size_t(x1) * 4, 0, size_t(r.w - x1) * 4 * sizeof(float));
            const uint8_t* src = picture_.constScanLine(qy) + size_t(r.x + x0) * 4;
            if (wide) gradeRowX8(src, x1 - x0, tone_, row + size_t(x0) * 4);
            else gradeRow(src, x1 - x0, tone_, row + size_t(x0) * 4);
        }
    }

    engine::NodePtr base_, fire_, embers_;
    std::array<float, 3> scale_;
    Rect extent_;
    QImage picture_;
    int dx_ = 0, dy_ = 0;
    GradeTone tone_{};
};

}  // namespace

namespace flame {

double flicker(double t) { return std::sin(9 * t) * 0.02 + std::sin(23 * t + 1.7) * 0.015 - 0.01; }

double octaveOffset(double speed, double phase, double t) { return std::fmod(speed * t, 10000.0) + phase; }

engine::Point emberOffset(double width, double t) {
    return {width * std::sin(1.3 * t) * 0.02, std::fmod(130 * t, 10000.0)};
}

Image grade(const Image& image, double t) {
    Image g = filters::colorControls(image, 1.1, flicker(t), 1.05);
    return filters::colorMatrixWithBias(g, {1.1, 0, 0, 0}, {0, 0.96, 0, 0}, {0, 0, 0.75, 0}, {0, 0, 0, 1}, {0, 0, 0, 0});
}

namespace {

// The octave's coarse noise moved up by its offset, blurred and cropped.
Image octave(const Rect& E, const OctaveSpec& o, double t) {
    return octaveNoise(o.factor).translated(0, octaveOffset(o.speed, o.phase, t)).gaussianBlur(o.sigma).cropped(E);
}

const Color kWhite0 = Color::fromSRGB(1, 1, 1, 0);

Image heightMask(const Rect& E) {
    const double mx = E.x + E.w / 2;
    Image m = filters::linearGradient({mx, E.y}, {mx, E.y + 0.4 * E.h}, Color::fromSRGB(1, 1, 1, 0.6), kWhite0);
    return m.isNull() ? Image::empty() : m.cropped(E);
}

Image spreadMask(const Rect& E) {
    Image m = filters::radialGradient({E.x + E.w / 2, E.y}, 0.35 * E.w, 0.85 * E.w, Color::fromSRGB(1, 1, 1, 1),
                                      Color::fromSRGB(1, 1, 1, 0.15));
    return m.isNull() ? Image::empty() : m.cropped(E);
}

}  // namespace

Image fireMask(const Rect& E) {
    // The product of the two masks, component by component: the height mask (white) masked by
    // the spread mask (white) is white at the product of their alphas.
    return filters::blendWithMask(heightMask(E), Image::empty(), spreadMask(E));
}

namespace {
Image cachedFireMask(Caches& c, const Rect& E, const Rect& band) {
    if (c.mask.isNull() || !(c.maskKey == E) || !(c.maskBand == band)) {
        c.maskKey = E;
        c.maskBand = band;
        c.mask = materialize(fireMask(E).cropped(band));
    }
    return c.mask;
}

std::shared_ptr<const MaskWeights> cachedFireWeights(Caches& c, const Rect& E, const Rect& band) {
    if (!c.weights || !(c.weightsKey == E) || !(c.weightsBand == band)) {
        c.weightsKey = E;
        c.weightsBand = band;
        c.weights = weightsOf(cachedFireMask(c, E, band), band, false);
    }
    return c.weights;
}

std::shared_ptr<const MaskWeights> cachedFadeWeights(Caches& c, const Image& fade, const Rect& E) {
    if (!c.fade || !(c.fadeKey == E)) {
        c.fadeKey = E;
        c.fade = weightsOf(fade, E, true);  // a vertical gradient: one weight a row
    }
    return c.fade;
}
}  // namespace

Image fireLayer(const Rect& E, double t) { return fireLayer(E, t, E); }

Image fireLayer(const Rect& E, double t, const Rect& band) {
    Caches caches;
    return fireLayer(E, t, band, caches);
}

Image fireLayer(const Rect& E, double t, const Rect& band, Caches& caches) {
    if (filters::randomNoise().isNull()) return Image::empty();
    const bool keptAll = !(band == E) && !straightforwardChains() && !E.isInfinite();
    const Image A = keptAll ? cachedOctave(caches, 0, E, band.insetBy(-16, -16).intersected(E), octaveOffset(kOctaveA.speed, kOctaveA.phase, t), kOctaveA) : octave(E, kOctaveA, t);
    // The region of S the band reads (the displacement's reach and the bilinear footprint).
    const Rect wide = band.insetBy(-16, -16).intersected(E);
    const bool kept = !(band == E) && !straightforwardChains() && !E.isInfinite();
    const Image B = kept ? cachedOctave(caches, 1, E, wide, octaveOffset(kOctaveB.speed, kOctaveB.phase, t), kOctaveB) : octave(E, kOctaveB, t);
    const Image C = keptAll ? cachedOctave(caches, 2, E, band, octaveOffset(kOctaveC.speed, kOctaveC.phase, t), kOctaveC) : octave(E, kOctaveC, t);
    const Image Bp = filters::colorControls(B, 1.0, kToneB.brightness, kToneB.contrast);
    const Image Ap = filters::colorControls(A, 1.0, kToneA.brightness, kToneA.contrast);
    Image S = filters::screenBlend(Bp, Ap);
    if (keptAll && kept && engine::cpu::hasAvx2Fma() && !A.extent().isEmpty() && !B.extent().isEmpty() &&
        std::dynamic_pointer_cast<const ShiftedRowsNode>(A.node()) && std::dynamic_pointer_cast<const ShiftedRowsNode>(B.node()))
        S = Image(std::make_shared<FireSNode>(std::dynamic_pointer_cast<const ShiftedRowsNode>(A.node()),
                                              std::dynamic_pointer_cast<const ShiftedRowsNode>(B.node())));
    if (!(band == E)) {
        // Only `band` of the fire is wanted. The displacement reads S up to 14 px (plus the
        // bilinear footprint) around each pixel, and every output tile would evaluate that margin
        // again: evaluate S once over the band and its margin.
        S = materializeInBands(S.cropped(wide));
    }
    // C is read without a margin, but its blur has one: evaluated per frame tile, that margin
    // would be blurred again for every tile.
    const Image Cb = band == E ? C : materializeInBands(C.cropped(band));
    if (!(band == E) && !straightforwardChains() && FireTailNode::usable(S, Cb)) {
        const auto w = cachedFireWeights(caches, E, band);
        return Image(std::make_shared<FireTailNode>(S, Cb, w, S.extent().intersected(E).intersected(cachedFireMask(caches, E, band).extent())));
    }
    const Image D = filters::displacementDistortion(S, Cb, 28).cropped(E);
    Image core = filters::colorControls(D, 1.0, kToneCore.brightness, kToneCore.contrast);
    core = filters::falseColor(core, Color::fromSRGB(0.02, 0, 0, 0), Color::fromSRGB(1.0, 0.85, 0.45, 1.0));
    const Image outer = filters::falseColor(D, Color::fromSRGB(0.05, 0, 0, 0), Color::fromSRGB(0.9, 0.3, 0.03, 1.0));
    const Image F = filters::screenBlend(core, outer);
    // The mask is the product of the height and spread masks: masking by one and then the other
    // applies exactly that product.
    if (!(band == E) && !straightforwardChains()) return maskedBy(F, cachedFireMask(caches, E, band), cachedFireWeights(caches, E, band));
    return filters::blendWithMask(filters::blendWithMask(F, Image::empty(), heightMask(E)), Image::empty(),
                                  spreadMask(E));
}

Image emberLayer(const Rect& E, double t) {
    Caches caches;
    return emberLayer(E, t, caches);
}

Image emberLayer(const Rect& E, double t, Caches& caches) {
    if (filters::randomNoise().isNull()) return Image::empty();
    const engine::Point off = emberOffset(E.w, t);
    Image specks = filters::randomNoise().translated(off.x, off.y).cropped(E);
    specks = filters::colorControls(specks, 1.0, kToneEmbers.brightness, kToneEmbers.contrast);
    specks = specks.gaussianBlur(1.4).cropped(E);
    specks = filters::falseColor(specks, Color::fromSRGB(0, 0, 0, 0), Color::fromSRGB(1.0, 0.75, 0.25, 1.0));
    const double mx = E.x + E.w / 2;
    Image fade = filters::linearGradient({mx, E.y}, {mx, E.maxY()}, Color::fromSRGB(1, 1, 1, 0.6), kWhite0);
    fade = fade.isNull() ? Image::empty() : fade.cropped(E);
    if (!straightforwardChains() && !fade.isNull() && !E.isInfinite() && !E.isEmpty())
        return Image(std::make_shared<EmberNode>(E, off, cachedFadeWeights(caches, fade, E)));
    if (!straightforwardChains() && !fade.isNull() && !E.isInfinite()) return maskedBy(specks, fade, cachedFadeWeights(caches, fade, E));
    return filters::blendWithMask(specks, Image::empty(), fade);
}

}  // namespace flame

Flame::Flame() = default;
Flame::~Flame() = default;

void Flame::suspend() { caches_.reset(); }

flame::Caches& Flame::caches() {
    if (!caches_) caches_ = std::make_unique<flame::Caches>();
    return *caches_;
}

Image Flame::render(const Image& image, const FrameContext& frame) {
    const double t = frame.t;
    flame::Caches& kept = caches();
    const Rect E = image.extent();
    // The fire's mask is zero from 40 % of the height up, so only that bottom band is evaluated.
    const Rect band{E.x, E.y, E.w, 0.4 * E.h};
    const Image fire = straightforwardChains() ? flame::fireLayer(E, t) : flame::fireLayer(E, t, band, kept).cropped(band);
    const Image embers = flame::emberLayer(E, t, kept);
    if (!straightforwardChains() && !fire.isNull() && !embers.isNull()) {
        const Image base = filters::colorControls(image, 1.1, flame::flicker(t), 1.05);
        if (!base.isNull()) {
            auto node = std::make_shared<FlameFrameNode>(base.node(), fire.node(), embers.node(), std::array<float, 3>{1.1f, 0.96f, 0.75f});
            int dx, dy;
            if (const engine::SourceNode* pic = pictureOf(image, &dx, &dy))
                node->readPicture(pic->image(), dx, dy, gradeTone(1.1, flame::flicker(t), 1.05));
            return Image(std::move(node)).cropped(E);
        }
    }
    Image out = filters::screenBlend(fire, flame::grade(image, t));
    out = filters::screenBlend(embers, out);
    return out.cropped(E);
}

}  // namespace ostrela::effects
