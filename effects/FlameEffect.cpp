#include "effects/FlameEffect.h"

#include "effects/DrunkEffect.h"
#include "pipeline/engine/Filters.h"

#include "pipeline/engine/Nodes.h"

#include <cmath>
#include <immintrin.h>

namespace ostrela::effects {

using engine::Color;
using engine::Image;
using engine::Rect;
namespace filters = engine::filters;

namespace {

// The engine's random noise, the same values bit for bit (a pure hash of the integer pixel
// coordinates per channel), computed eight pixels at a time where the processor has 64-bit
// vector multiplies. The fire reads a few million noise values a frame.
class FastNoiseNode final : public engine::Node {
public:
    Rect extent() const override { return Rect::infinite(); }
    void render(engine::TileContext&, const engine::IRect& r, float* out) const override {
        static const bool wide = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
        for (int j = 0; j < r.h; ++j) {
            float* o = out + size_t(j) * r.w * 4;
            int i = 0;
            if (wide) i = rowWide(r.x, r.y + j, r.w, o);
            for (; i < r.w; ++i)
                for (int c = 0; c < 4; ++c) o[4 * i + c] = engine::NoiseNode::value(r.x + i, r.y + j, c);
        }
    }

private:
    __attribute__((target("avx512f,avx512dq"))) static int rowWide(int x0, int y, int n, float* o) {
        const __m512i lane = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
        const __m512i k1 = _mm512_set1_epi64(int64_t(0x9E3779B97F4A7C15ull));
        const __m512i k3 = _mm512_set1_epi64(int64_t(0xFF51AFD7ED558CCDull));
        const __m512i k4 = _mm512_set1_epi64(int64_t(0xC4CEB9FE1A85EC53ull));
        const __m512i yy = _mm512_set1_epi64(int64_t(uint64_t(uint32_t(y))));
        const __m256 scale = _mm256_set1_ps(1.0f / 16777216.0f);
        int i = 0;
        alignas(32) float ch[4][8];
        for (; i + 8 <= n; i += 8) {
            const __m512i xs = _mm512_and_si512(_mm512_add_epi64(_mm512_set1_epi64(int64_t(x0) + i), lane),
                                                _mm512_set1_epi64(0xFFFFFFFFll));
            const __m512i key = _mm512_or_si512(_mm512_slli_epi64(xs, 32), yy);
            const __m512i base = _mm512_mullo_epi64(key, k1);
            for (int c = 0; c < 4; ++c) {
                __m512i h = _mm512_add_epi64(base, _mm512_set1_epi64(int64_t(uint64_t(c) * 0xD1B54A32D192ED03ull)));
                h = _mm512_xor_si512(h, _mm512_srli_epi64(h, 33));
                h = _mm512_mullo_epi64(h, k3);
                h = _mm512_xor_si512(h, _mm512_srli_epi64(h, 33));
                h = _mm512_mullo_epi64(h, k4);
                h = _mm512_xor_si512(h, _mm512_srli_epi64(h, 33));
                const __m256i lo = _mm256_srli_epi32(_mm512_cvtepi64_epi32(h), 8);
                _mm256_store_ps(ch[c], _mm256_mul_ps(_mm256_cvtepi32_ps(lo), scale));
            }
            for (int q = 0; q < 8; ++q)
                for (int c = 0; c < 4; ++c) o[4 * (i + q) + c] = ch[c][q];
        }
        return i;
    }
};

Image noise() {
    if (straightforwardChains()) return filters::randomNoise();
    static const Image n(std::make_shared<FastNoiseNode>());
    return n;
}

}  // namespace

Image fastNoiseForTesting() { return Image(std::make_shared<FastNoiseNode>()); }

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

// Scaling by s, moving by off·s and scaling back compose into a plain upward move by off, so the
// noise is sampled at full resolution, shifted.
Image octave(const Rect& E, double speed, double phase, double sigma, double t) {
    return noise().translated(0, octaveOffset(speed, phase, t)).gaussianBlur(sigma).cropped(E);
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
    // The product of the two masks, component by component; both are white, so the product is
    // white at the product of the alphas, which is what masking twice applies.
    const Image white = Image::solid(Color{1, 1, 1, 1}).cropped(E);
    return filters::blendWithMask(filters::blendWithMask(white, Image::empty(), heightMask(E)), Image::empty(),
                                  spreadMask(E));
}

Image fireLayer(const Rect& E, double t) { return fireLayer(E, t, E); }

Image fireLayer(const Rect& E, double t, const Rect& band) {
    if (filters::randomNoise().isNull()) return Image::empty();
    const Image A = octave(E, 22, 0, 4.0, t);
    const Image B = octave(E, 48, 3071, 3.0, t);
    const Image C = octave(E, -30, 8842, 6.0, t);
    const Image Bp = filters::colorControls(B, 1.0, -0.15, 1.6);
    const Image Ap = filters::colorControls(A, 1.0, -0.05, 1.8);
    Image S = filters::screenBlend(Bp, Ap);
    if (!(band == E)) {
        // Only `band` of the fire is wanted. The displacement reads S up to 14 px (plus the
        // bilinear footprint) around each pixel, and every output tile would evaluate that margin
        // again: evaluate S once over the band and its margin.
        S = materialize(S.cropped(band.insetBy(-16, -16).intersected(E)));
    }
    const Image D = filters::displacementDistortion(S, C, 28).cropped(E);
    Image core = filters::colorControls(D, 1.0, 0.05, 1.7);
    core = filters::falseColor(core, Color::fromSRGB(0.02, 0, 0, 0), Color::fromSRGB(1.0, 0.85, 0.45, 1.0));
    const Image outer = filters::falseColor(D, Color::fromSRGB(0.05, 0, 0, 0), Color::fromSRGB(0.9, 0.3, 0.03, 1.0));
    const Image F = filters::screenBlend(core, outer);
    // The mask is the product of the height and spread masks: masking by one and then the other
    // applies exactly that product.
    return filters::blendWithMask(filters::blendWithMask(F, Image::empty(), heightMask(E)), Image::empty(),
                                  spreadMask(E));
}

Image emberLayer(const Rect& E, double t) {
    if (filters::randomNoise().isNull()) return Image::empty();
    const engine::Point off = emberOffset(E.w, t);
    Image specks = noise().translated(off.x, off.y).cropped(E);
    specks = filters::colorControls(specks, 1.0, -0.72, 10);
    specks = specks.gaussianBlur(1.4).cropped(E);
    specks = filters::falseColor(specks, Color::fromSRGB(0, 0, 0, 0), Color::fromSRGB(1.0, 0.75, 0.25, 1.0));
    const double mx = E.x + E.w / 2;
    Image fade = filters::linearGradient({mx, E.y}, {mx, E.maxY()}, Color::fromSRGB(1, 1, 1, 0.6), kWhite0);
    fade = fade.isNull() ? Image::empty() : fade.cropped(E);
    return filters::blendWithMask(specks, Image::empty(), fade);
}

}  // namespace flame

Image renderFlame(const Image& image, double t) {
    const Rect E = image.extent();
    const Image graded = flame::grade(image, t);
    // The fire's mask is zero from 40 % of the height up, so only that bottom band is evaluated.
    const Rect band{E.x, E.y, E.w, 0.4 * E.h};
    const Image fire = straightforwardChains() ? flame::fireLayer(E, t) : flame::fireLayer(E, t, band).cropped(band);
    const Image embers = flame::emberLayer(E, t);
    Image out = filters::screenBlend(fire, graded);
    out = filters::screenBlend(embers, out);
    return out.cropped(E);
}

}  // namespace ostrela::effects
