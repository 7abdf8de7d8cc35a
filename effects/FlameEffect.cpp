#include "effects/FlameEffect.h"

#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Schedule.h"

#include <cmath>
#include <memory>

namespace ostrela::effects {

using engine::Color;
using engine::Image;
using engine::Rect;
using engine::materializeInBands;
namespace filters = engine::filters;

namespace {

// The look's scales and thresholds.

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
};
// The octaves' thresholds leave dark gaps between the tongues: A keeps encoded values from 0.82 up,
// B (the finer detail) from 0.94 up; the steeper contrast keeps what passes bright.
constexpr ToneSpec kToneA{4.0, -1.78}, kToneB{4.0, -2.26}, kToneCore{1.7, 0.05};
// The embers keep a channel only from encoded 0.9998 up (full at 1): on uniform noise about
// 0.2 % of the pixels, which the blur spreads into specks covering about 1 %.
constexpr ToneSpec kToneEmbers{5000.0, -2499.5};

// The noise an octave scrolls: random values on cells 1/s wide and kTongueStretch/s tall, mixed
// bilinearly between the cells' centres, taken at pixel centres.
Image octaveNoise(double factor) {
    const Image noise = filters::randomNoise();
    return noise.isNull() ? noise : noise.scaled(1.0 / factor, kTongueStretch / factor);
}

// The octave's blurred noise, a picture that never changes: the octave moves it up. (The blur and
// the move commute; blurred first, the picture stays the same from frame to frame and only its
// rows that scroll in are new.)
Image blurredOctave(const OctaveSpec& o) {
    const Image noise = octaveNoise(o.factor);
    return noise.isNull() ? noise : noise.gaussianBlur(o.sigma);
}

// The rows of a picture that a move up by `off` reads over `region` (pixel bounds), with a column
// more: readers of moved rows may read a pixel past the end.
engine::IRect rowsMovedUp(const engine::IRect& b, double off) {
    const int lo = int(std::floor(b.y - off)), hi = int(std::floor(b.maxY() - 1 - off)) + 2;
    return {b.x, lo, b.w + 1, hi - lo};
}

}  // namespace

namespace flame {
// What one Flame object keeps between frames: the rows of the octaves' blurred noise and of the
// embers' noise, and the fire's mask. All of it can be made again from the frame time and the
// extent.
struct Caches {
    std::shared_ptr<engine::KeptRows> octaves[3] = {engine::keptRowsStore(), engine::keptRowsStore(),
                                                    engine::keptRowsStore()};
    std::shared_ptr<engine::KeptRows> noise = engine::keptRowsStore();
    // The fire mask depends on the extent only: kept, evaluated at half precision (a factor of at
    // most 0.6, so far under a level), for the extent last used.
    Rect maskKey, maskBand;
    Image mask;
};
}  // namespace flame

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

// The octave over `region` of E: its blurred noise moved up by its offset, the rows it reads kept
// in `kept` (if any) from frame to frame.
Image octave(const Rect& E, const Rect& region, const OctaveSpec& o, double t, const std::shared_ptr<engine::KeptRows>& kept) {
    const double off = octaveOffset(o.speed, o.phase, t);
    const Rect r = region.intersected(E);
    Image noise = blurredOctave(o);
    if (kept && !r.isEmpty() && !r.isInfinite()) noise = engine::keptRows(noise, rowsMovedUp(engine::pixelBounds(r), off), kept);
    return noise.translated(0, off).cropped(r);
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
        c.mask = engine::keptInHalves(fireMask(E).cropped(band));
    }
    return c.mask;
}
}  // namespace

Image fireLayer(const Rect& E, double t) { return fireLayer(E, t, E, nullptr); }

Image fireLayer(const Rect& E, double t, const Rect& band, Caches* caches) {
    if (filters::randomNoise().isNull()) return Image::empty();
    // The region of S the band reads (the displacement's reach and the bilinear footprint).
    const Rect wide = band.insetBy(-16, -16).intersected(E);
    const auto octaveOf = [&](int slot, const Rect& region, const OctaveSpec& o) {
        return octave(E, region, o, t, caches ? caches->octaves[slot] : nullptr);
    };
    const Image A = octaveOf(0, wide, kOctaveA), B = octaveOf(1, wide, kOctaveB), C = octaveOf(2, band, kOctaveC);
    const Image Bp = filters::colorControls(B, 1.0, kToneB.brightness, kToneB.contrast);
    const Image Ap = filters::colorControls(A, 1.0, kToneA.brightness, kToneA.contrast);
    Image S = filters::screenBlend(Bp, Ap);
    if (!(band == E)) {
        // Only `band` of the fire is wanted. The displacement reads S up to 14 px (plus the
        // bilinear footprint) around each pixel, and every output tile would evaluate that margin
        // again: evaluate S once over the band and its margin.
        S = materializeInBands(S.cropped(wide));
    }
    const Image D = filters::displacementDistortion(S, C, 28).cropped(E);
    Image core = filters::colorControls(D, 1.0, kToneCore.brightness, kToneCore.contrast);
    core = filters::falseColor(core, Color::fromSRGB(0.02, 0, 0, 0), Color::fromSRGB(1.0, 0.85, 0.45, 1.0));
    const Image outer = filters::falseColor(D, Color::fromSRGB(0.05, 0, 0, 0), Color::fromSRGB(0.9, 0.3, 0.03, 1.0));
    const Image F = filters::screenBlend(core, outer);
    // Masked by the product of the height and spread masks, kept evaluated while E stays.
    return filters::blendWithMask(F, Image::empty(), caches ? cachedFireMask(*caches, E, band) : fireMask(E));
}

Image emberLayer(const Rect& E, double t, Caches* caches) {
    if (filters::randomNoise().isNull()) return Image::empty();
    const engine::Point off = emberOffset(E.w, t);
    Image noise = filters::randomNoise();
    if (caches && !E.isEmpty() && !E.isInfinite()) {
        // The noise at whole pixels never changes; the embers rise over it (about four rows a
        // frame) and sway by at most 2 % of the width: its rows for every sway are kept.
        const engine::IRect eb = engine::pixelBounds(E);
        const int sway = int(std::ceil(0.02 * E.w)) + 1, qy = int(std::floor(-off.y));
        noise = engine::keptRows(noise, {eb.x - sway, eb.y + qy, eb.w + 2 * sway + 1, eb.h + 1}, caches->noise);
    }
    Image specks = noise.translated(off.x, off.y).cropped(E);
    specks = filters::colorControls(specks, 1.0, kToneEmbers.brightness, kToneEmbers.contrast);
    specks = specks.gaussianBlur(1.4).cropped(E);
    specks = filters::falseColor(specks, Color::fromSRGB(0, 0, 0, 0), Color::fromSRGB(1.0, 0.75, 0.25, 1.0));
    const double mx = E.x + E.w / 2;
    Image fade = filters::linearGradient({mx, E.y}, {mx, E.maxY()}, Color::fromSRGB(1, 1, 1, 0.6), kWhite0);
    fade = fade.isNull() ? Image::empty() : fade.cropped(E);
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
    const Image fire = flame::fireLayer(E, t, band, &kept).cropped(band);
    const Image embers = flame::emberLayer(E, t, &kept);
    Image out = filters::screenBlend(fire, flame::grade(image, t));
    out = filters::screenBlend(embers, out);
    return out.cropped(E);
}

}  // namespace ostrela::effects