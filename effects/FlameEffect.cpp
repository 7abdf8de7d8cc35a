#include "effects/FlameEffect.h"

#include "effects/DrunkEffect.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Renderer.h"

#include <smmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace ostrela::effects {

using engine::Color;
using engine::Image;
using engine::Rect;
namespace filters = engine::filters;

namespace {

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

// Scaling by s, moving by off·s and scaling back compose into a plain upward move by off, so the
// noise is sampled at full resolution, shifted.
Image octave(const Rect& E, double speed, double phase, double sigma, double t) {
    return filters::randomNoise().translated(0, octaveOffset(speed, phase, t)).gaussianBlur(sigma).cropped(E);
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
// The mask depends on the extent only: kept, evaluated, for the extent last used.
Image cachedFireMask(const Rect& E, const Rect& band) {
    static Rect key, keyBand;
    static Image mask;
    if (mask.isNull() || !(key == E) || !(keyBand == band)) {
        key = E;
        keyBand = band;
        mask = materialize(fireMask(E).cropped(band));
    }
    return mask;
}

std::shared_ptr<const MaskWeights> cachedFireWeights(const Rect& E, const Rect& band) {
    static Rect key, keyBand;
    static std::shared_ptr<const MaskWeights> w;
    if (!w || !(key == E) || !(keyBand == band)) {
        key = E;
        keyBand = band;
        w = weightsOf(cachedFireMask(E, band), band, false);
    }
    return w;
}

std::shared_ptr<const MaskWeights> cachedFadeWeights(const Image& fade, const Rect& E) {
    static Rect key;
    static std::shared_ptr<const MaskWeights> w;
    if (!w || !(key == E)) {
        key = E;
        w = weightsOf(fade, E, true);  // a vertical gradient: one weight a row
    }
    return w;
}
}  // namespace

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
        S = materializeInBands(S.cropped(band.insetBy(-16, -16).intersected(E)));
    }
    // C is read without a margin, but its blur has one: evaluated per frame tile, that margin
    // would be blurred again for every tile.
    const Image Cb = band == E ? C : materializeInBands(C.cropped(band));
    const Image D = filters::displacementDistortion(S, Cb, 28).cropped(E);
    Image core = filters::colorControls(D, 1.0, 0.05, 1.7);
    core = filters::falseColor(core, Color::fromSRGB(0.02, 0, 0, 0), Color::fromSRGB(1.0, 0.85, 0.45, 1.0));
    const Image outer = filters::falseColor(D, Color::fromSRGB(0.05, 0, 0, 0), Color::fromSRGB(0.9, 0.3, 0.03, 1.0));
    const Image F = filters::screenBlend(core, outer);
    // The mask is the product of the height and spread masks: masking by one and then the other
    // applies exactly that product.
    if (!(band == E) && !straightforwardChains()) return maskedBy(F, cachedFireMask(E, band), cachedFireWeights(E, band));
    return filters::blendWithMask(filters::blendWithMask(F, Image::empty(), heightMask(E)), Image::empty(),
                                  spreadMask(E));
}

Image emberLayer(const Rect& E, double t) {
    if (filters::randomNoise().isNull()) return Image::empty();
    const engine::Point off = emberOffset(E.w, t);
    Image specks = filters::randomNoise().translated(off.x, off.y).cropped(E);
    specks = filters::colorControls(specks, 1.0, -0.72, 10);
    specks = specks.gaussianBlur(1.4).cropped(E);
    specks = filters::falseColor(specks, Color::fromSRGB(0, 0, 0, 0), Color::fromSRGB(1.0, 0.75, 0.25, 1.0));
    const double mx = E.x + E.w / 2;
    Image fade = filters::linearGradient({mx, E.y}, {mx, E.maxY()}, Color::fromSRGB(1, 1, 1, 0.6), kWhite0);
    fade = fade.isNull() ? Image::empty() : fade.cropped(E);
    if (!straightforwardChains() && !fade.isNull() && !E.isInfinite()) return maskedBy(specks, fade, cachedFadeWeights(fade, E));
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
