// The standard filters, checked against their formulas at measured pixels. Expected values are
// computed here from the exact sRGB curve, independently of the engine's fast one.
#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/Schedule.h"

#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <cmath>
#include <cstring>

using namespace ostrela::engine;
namespace f = ostrela::engine::filters;

namespace {

double enc(double v) { return color::linearToSRGB(v); }
double dec(double v) { return color::srgbToLinear(std::clamp(v, 0.0, 1.0)); }
double lum(double r, double g, double b) { return 0.2126 * r + 0.7152 * g + 0.0722 * b; }

struct Px { float r, g, b, a; };

// Renders one piece and reads pixels by output coordinates (y up).
struct Probe {
    IRect rect;
    std::vector<float> data;
    Probe(const Image& im, IRect r) : rect(r) {
        Renderer renderer(1, r.h);
        data = renderer.renderFloat(im, r);
    }
    Px at(int x, int y) const {
        const float* p = data.data() + (size_t(y - rect.y) * rect.w + (x - rect.x)) * 4;
        return {p[0], p[1], p[2], p[3]};
    }
};

Px at(const Image& im, int x, int y) { return Probe(im, {x, y, 1, 1}).at(x, y); }

// An opaque picture of one sRGB colour over (0, 0, w, h).
Image flat(int w, int h, double r, double g, double b) {
    return Image::solid(Color::fromSRGB(r, g, b)).cropped({0, 0, double(w), double(h)});
}

void expectLinear(const Px& p, double r, double g, double b, double a, double tol = 2e-3) {
    EXPECT_NEAR(p.r, r, tol);
    EXPECT_NEAR(p.g, g, tol);
    EXPECT_NEAR(p.b, b, tol);
    EXPECT_NEAR(p.a, a, tol);
}

// Linear expectation from encoded components of an opaque result (clamped as the run is).
void expectEncoded(const Px& p, double er, double eg, double eb, double tol = 2e-3) {
    expectLinear(p, dec(er), dec(eg), dec(eb), 1.0, tol);
}

}  // namespace

TEST(FilterCurve, FastSRGBMatchesTheExactCurve) {
    double worstEnc = 0, worstDec = 0;
    for (int i = 0; i <= 4000; ++i) {
        const double v = i / 4000.0;
        worstEnc = std::max(worstEnc, std::abs(f::encodeSRGBFast(float(v)) - enc(v)));
        worstDec = std::max(worstDec, std::abs(f::decodeSRGBFast(float(v)) - dec(v)));
    }
    EXPECT_LT(worstEnc, 5e-5);
    EXPECT_LT(worstDec, 1.3e-4);
    EXPECT_EQ(0.0f, f::encodeSRGBFast(-1.0f));
    EXPECT_NEAR(1.0f, f::encodeSRGBFast(7.0f), 5e-5);
}

TEST(FilterTone, ColorControlsFollowsItsFormulaOnEncodedValues) {
    const double r = 0.6, g = 0.3, b = 0.2;
    const double L = lum(r, g, b);
    auto expected = [&](double v, double s, double br, double c) { return std::clamp((L + s * (v - L) - 0.5) * c + 0.5 + br, 0.0, 1.0); };
    const Image in = flat(8, 8, r, g, b);
    // Saturation only, then a full set (the Old TV grade), then contrast with brightness.
    expectEncoded(at(f::colorControls(in, 0.4, 0, 1), 3, 3), expected(r, 0.4, 0, 1), expected(g, 0.4, 0, 1), expected(b, 0.4, 0, 1));
    expectEncoded(at(f::colorControls(in, 0.0, -0.03, 2.1), 3, 3), expected(r, 0, -0.03, 2.1), expected(g, 0, -0.03, 2.1),
                  expected(b, 0, -0.03, 2.1));
    expectEncoded(at(f::colorControls(in, 1.4, 0.1, 1.05), 3, 3), expected(r, 1.4, 0.1, 1.05), expected(g, 1.4, 0.1, 1.05),
                  expected(b, 1.4, 0.1, 1.05));
    // Mid-grey is the contrast pivot: it stays put.
    expectEncoded(at(f::colorControls(flat(4, 4, 0.5, 0.5, 0.5), 1, 0, 3.0), 1, 1), 0.5, 0.5, 0.5);
    // Neutral parameters return the very same image.
    EXPECT_EQ(in.node(), f::colorControls(in, 1, 0, 1).node());
}

TEST(FilterTone, EveryVectorTargetAgreesWithTheScalarOne) {
    // 203 pixels a row: twelve groups of sixteen, one of eight and a tail of three.
    QImage q(203, 37, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < q.height(); ++y)
        for (int x = 0; x < q.width(); ++x) {
            const int a = (x * 7 + y * 13) % 256;
            q.setPixel(x, y, qRgba((x * 5) % 256 * a / 255, (y * 11) % 256 * a / 255, (x + y) % 256 * a / 255, a));
        }
    const Image src = Image::fromQImage(q);
    const Image g = f::falseColor(f::colorMonochrome(f::colorControls(src, 0.3, 0.05, 1.7), Color::fromSRGB(0.5, 0.8, 0.8), 0.6),
                                  Color::fromSRGB(0, 0, 0, 0), Color::fromSRGB(0.9, 0.95, 1.0));
    const IRect r{0, 0, 203, 37};
    // Straight from the bytes (the run reads encoded values) and through the decoded picture (the
    // run encodes first).
    const Image viaDecode = f::falseColor(f::colorMonochrome(f::colorControls(src.clampedToExtent().cropped(src.extent()), 0.3, 0.05, 1.7),
                                                             Color::fromSRGB(0.5, 0.8, 0.8), 0.6),
                                          Color::fromSRGB(0, 0, 0, 0), Color::fromSRGB(0.9, 0.95, 1.0));
    std::vector<Probe> results, decodedResults;
    ostrela::test::forEachSimdTarget([&] {
        results.emplace_back(g, r);
        decodedResults.emplace_back(viaDecode, r);
    });
    ASSERT_GE(results.size(), 2u);
    const Probe& scalar = results.back();  // the fallback comes last
    for (size_t t = 0; t + 1 < results.size(); ++t) {
        SCOPED_TRACE(ostrela::test::simdTargetName(ostrela::test::simdTargets()[t]));
        for (size_t i = 0; i < scalar.data.size(); ++i) ASSERT_NEAR(results[t].data[i], scalar.data[i], 1e-5) << i;
        for (size_t i = 0; i < scalar.data.size(); ++i) ASSERT_NEAR(decodedResults[t].data[i], decodedResults.back().data[i], 1e-5) << i;
    }
    const Probe& wide = results.front();
    // Straight from the bytes or through the decoded picture: the same values.
    for (size_t i = 0; i < wide.data.size(); ++i) ASSERT_NEAR(wide.data[i], decodedResults.front().data[i], 5e-4) << i;
}

TEST(FilterTone, BrightnessAfterContrastThresholdsNoise) {
    // Contrast 9 with brightness −4.9946 keeps only noise values above 0.9994 (encoded).
    const Image flakes = f::colorControls(f::randomNoise(), 1.0, -4.9946, 9.0);
    const IRect r{0, 0, 400, 400};
    Probe p(flakes, r);
    int lit = 0;
    for (int y = 0; y < r.h; ++y)
        for (int x = 0; x < r.w; ++x) {
            const Px v = p.at(x, y);
            const double n = NoiseNode::value(x, y, 0), a = NoiseNode::value(x, y, 3);
            // The formula runs on c / a, or on c where the independent channel exceeds alpha.
            const double e = std::clamp((enc(n <= a ? n / a : n) - 0.5) * 9 + 0.5 - 4.9946, 0.0, 1.0);
            EXPECT_NEAR(v.r, dec(e) * a, 1e-3) << x << "," << y;
            if (v.r > 0) ++lit;
        }
    EXPECT_GT(lit, 0);
    EXPECT_LT(lit, r.w * r.h / 300);
}

TEST(FilterTone, InvertMonochromeFalseColorAndHue) {
    const double r = 0.7, g = 0.4, b = 0.1;
    const Image in = flat(8, 8, r, g, b);
    const double L = lum(r, g, b);
    expectEncoded(at(f::colorInvert(in), 2, 2), 1 - r, 1 - g, 1 - b);

    const double mc[3] = {0.55, 0.78, 0.82};
    auto mono = [&](double v, double c) { return v + 0.6 * (L * c - v); };
    expectEncoded(at(f::colorMonochrome(in, Color::fromSRGB(mc[0], mc[1], mc[2]), 0.6), 2, 2), mono(r, mc[0]), mono(g, mc[1]),
                  mono(b, mc[2]));

    const double c0[3] = {0.01, 0.02, 0.07}, c1[3] = {0.78, 0.93, 1.0};
    auto fc = [&](int i) { return c0[i] + (c1[i] - c0[i]) * L; };
    expectEncoded(at(f::falseColor(in, Color::fromSRGB(c0[0], c0[1], c0[2]), Color::fromSRGB(c1[0], c1[1], c1[2])), 2, 2), fc(0), fc(1),
                  fc(2));

    // A transparent colour 0: the mix is premultiplied, so the result is colour 1 at alpha L.
    const Image grey = flat(4, 4, 0.5, 0.5, 0.5);
    const Px t = at(f::falseColor(grey, Color::fromSRGB(0, 0, 0, 0), Color::fromSRGB(0.9, 0.95, 1.0, 1.0)), 1, 1);
    EXPECT_NEAR(t.a, 0.5, 2e-3);
    EXPECT_NEAR(t.r / t.a, dec(0.9), 3e-3);
    EXPECT_NEAR(t.b / t.a, dec(1.0), 3e-3);

    // Hue: a third of a turn takes red to green and green to blue.
    expectEncoded(at(f::hueAdjust(flat(4, 4, 1, 0, 0), 2 * M_PI / 3), 1, 1), 0, 1, 0);
    expectEncoded(at(f::hueAdjust(flat(4, 4, 0, 1, 0), 2 * M_PI / 3), 1, 1), 0, 0, 1);
    // Grey is the axis.
    expectEncoded(at(f::hueAdjust(grey, 1.0), 1, 1), 0.5, 0.5, 0.5);
}

TEST(FilterTone, ARunOfToneFiltersIsOnePassWithOneComposedMatrix) {
    const Image src = Image::fromQImage([] {
        QImage q(16, 16, QImage::Format_ARGB32_Premultiplied);
        q.fill(QColor(180, 90, 40));
        return q;
    }());
    // The X-Ray grade: controls, invert, controls, false colour.
    auto xray = [](const Image& in) {
        return f::falseColor(f::colorControls(f::colorInvert(f::colorControls(in, 0, 0, 1.1)), 1, 0.03, 1.5),
                             Color::fromSRGB(0.01, 0.02, 0.07), Color::fromSRGB(0.78, 0.93, 1.0));
    };
    // On a decoded 8-bit picture the run reads the bytes itself: one node, no inputs.
    const Image xr = xray(src);
    EXPECT_EQ(0, xr.node()->inputCount());
    // On anything else it is one per-pixel op in one pass over its input.
    const Image other = src.clampedToExtent().cropped(src.extent());
    const Image xo = xray(other);
    auto* pw = dynamic_cast<const PointwiseNode*>(xo.node().get());
    ASSERT_NE(nullptr, pw);
    EXPECT_EQ(other.node(), pw->inputPtr());
    EXPECT_EQ(1u, pw->ops().size());
    const Px a = at(xr, 5, 5), b = at(xo, 5, 5);
    expectLinear(a, b.r, b.g, b.b, b.a, 3e-4);
    // Moved by whole pixels (as fitted camera frames are), it still reads the bytes, in place.
    const Image moved = xray(src.translated(3, -120));
    EXPECT_EQ(0, moved.node()->inputCount());
    EXPECT_EQ((Rect{3, -120, 16, 16}), moved.extent());
    const Px m = at(moved, 8, -115);
    expectLinear(m, b.r, b.g, b.b, b.a, 3e-4);
    EXPECT_EQ(0.0f, at(moved, 2, -115).a);
    // And the value is the chain's: no clamp between the composed steps, luminance clamped.
    const double e[3] = {180 / 255.0, 90 / 255.0, 40 / 255.0};
    const double L0 = lum(e[0], e[1], e[2]);
    double v = (L0 - 0.5) * 1.1 + 0.5;  // grey after the first controls
    v = 1 - v;
    v = (v - 0.5) * 1.5 + 0.5 + 0.03;
    const double L = std::clamp(v, 0.0, 1.0);
    expectEncoded(at(xr, 5, 5), 0.01 + 0.77 * L, 0.02 + 0.91 * L, 0.07 + 0.93 * L);
}

TEST(FilterLight, ColorMatrixWithBiasOnLinearValues) {
    const Image in = flat(4, 4, 0.8, 0.5, 0.3);
    const double lr = dec(0.8), lg = dec(0.5), lb = dec(0.3);
    const Image only = f::colorMatrixWithBias(in, {1, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1}, {0, 0, 0, 0});
    expectLinear(at(only, 1, 1), lr, 0, 0, 1, 1e-4);
    const Image mixed = f::colorMatrixWithBias(in, {0.5, 0.5, 0, 0}, {0, 1, 0, 0}, {0, 0, 1.06, 0}, {0, 0, 0, 0.6}, {0.1, 0, 0, 0});
    // Alpha scaled to 0.6: premultiplied result.
    expectLinear(at(mixed, 1, 1), (0.5 * lr + 0.5 * lg + 0.1) * 0.6, lg * 0.6, 1.06 * lb * 0.6, 0.6, 1e-4);
}

TEST(FilterLight, VignetteDarkensByDistanceFromTheExtentCentre) {
    ostrela::test::forEachSimdTarget([&] {
        const Image grey = flat(1280, 720, 0.8, 0.8, 0.8).translated(0, -120);  // extent (0, −120, 1280, 720)
        const Image v = f::vignette(grey, 2.2, 1.1);
        EXPECT_EQ(grey.extent(), v.extent());
        const double lin = dec(0.8), halfDiag = 0.5 * std::hypot(1280.0, 720.0);
        auto expected = [&](int x, int y) {
            const double dx = x + 0.5 - 640, dy = y + 0.5 - 240;
            const double q = (dx * dx + dy * dy) / (1.1 * 1.1 * halfDiag * halfDiag);
            return lin / std::pow(1 + 2.2 * q, 2);
        };
        for (auto [x, y] : {std::pair{640, 240}, {0, -120}, {1279, 599}, {640, 599}, {100, 300}}) {
            const Px p = at(v, x, y);
            EXPECT_NEAR(p.r, expected(x, y), 1e-4) << x << "," << y;
            EXPECT_NEAR(p.a, 1.0, 1e-6);
        }
        // Intensity 1, radius 1: a corner pixel keeps about a quarter of its light.
        EXPECT_NEAR(at(f::vignette(grey, 1, 1), 0, -120).g / lin, 0.25, 0.01);
        // Infinite images have no centre and pass through.
        const Image s = Image::solid(Color::fromSRGB(0.5, 0.5, 0.5));
        EXPECT_EQ(s.node(), f::vignette(s, 1, 1).node());
    });
}

TEST(FilterLight, ScreenMultiplyAndMaskBlends) {
    const Color a{0.2f, 0.1f, 0.05f, 0.5f}, b{0.3f, 0.6f, 0.1f, 1.0f};
    const Image top = Image::solid(a).cropped({0, 0, 10, 10}), bg = Image::solid(b).cropped({5, 0, 10, 10});
    const Image sc = f::screenBlend(top, bg);
    EXPECT_EQ((Rect{0, 0, 15, 10}), sc.extent());
    expectLinear(at(sc, 7, 3), a.r + b.r - a.r * b.r, a.g + b.g - a.g * b.g, a.b + b.b - a.b * b.b, 1.0, 1e-6);
    expectLinear(at(sc, 2, 3), a.r, a.g, a.b, a.a, 1e-6);  // top alone
    expectLinear(at(sc, 12, 3), b.r, b.g, b.b, b.a, 1e-6);  // background alone

    const Image mu = f::multiplyComposite(top, bg);
    auto m = [](float s, float d, float sa, float da) { return s * d + s * (1 - da) + d * (1 - sa); };
    expectLinear(at(mu, 7, 3), m(a.r, b.r, a.a, b.a), m(a.g, b.g, a.a, b.a), m(a.b, b.b, a.a, b.a), 1.0, 1e-6);
    expectLinear(at(mu, 2, 3), a.r, a.g, a.b, a.a, 1e-6);

    // Mask: 50 % sRGB grey and half-transparent white both mix half and half; outside, background.
    const Image in = Image::solid(Color::fromSRGB(1, 0, 0));
    const Image back = Image::solid(Color::fromSRGB(0, 0, 1)).cropped({0, 0, 20, 10});
    const Image greyMask = flat(10, 10, 0.5, 0.5, 0.5);
    const Image halfWhite = Image::solid(Color::fromSRGB(1, 1, 1, 0.5)).cropped({10, 0, 10, 10});
    const Image blended = f::blendWithMask(in, back, greyMask.composited(halfWhite));
    expectLinear(at(blended, 3, 3), 0.5, 0, 0.5, 1, 2e-3);
    expectLinear(at(blended, 14, 3), 0.5, 0, 0.5, 1, 2e-3);
    expectLinear(at(f::blendWithMask(in, back, greyMask), 14, 3), 0, 0, 1, 1, 1e-6);
}

TEST(FilterLight, GammaRaisesUnpremultipliedLinearValues) {
    ostrela::test::forEachSimdTarget([&] {
        const Color c{0.4f * 0.5f, 0.1f * 0.5f, 0.9f * 0.5f, 0.5f};
        const Px p = at(f::gammaAdjust(Image::solid(c), 2.2), 0, 0);
        expectLinear(p, std::pow(0.4, 2.2) * 0.5, std::pow(0.1, 2.2) * 0.5, std::pow(0.9, 2.2) * 0.5, 0.5, 2e-5);
        const Px q = at(f::gammaAdjust(Image::solid(Color{0.25f, 0.0f, 1.0f, 1.0f}), 0.5), 0, 0);
        expectLinear(q, 0.5, 0, 1, 1, 2e-5);
    });
}

TEST(FilterLight, BloomIsAScreenedGlow) {
    ostrela::test::forEachSimdTarget([&] {
        // Flat picture: glow equals the picture, so out = k·v + v − k·v².
        const Image grey = flat(64, 64, 0.5, 0.5, 0.5);
        const double v = dec(0.5), k = 0.28;
        const Image bl = f::bloom(grey, 3.0, k);
        EXPECT_EQ(grey.extent(), bl.extent());
        expectLinear(at(bl, 32, 32), k * v + v - k * v * v, k * v + v - k * v * v, k * v + v - k * v * v, 1.0, 1e-4);
        // Clamped source: the border glows like the interior.
        expectLinear(at(bl, 0, 0), k * v + v - k * v * v, k * v + v - k * v * v, k * v + v - k * v * v, 1.0, 1e-4);
        // A bright square on black spreads light around it, falling off with distance.
        QImage q(64, 64, QImage::Format_ARGB32_Premultiplied);
        q.fill(Qt::black);
        QPainter(&q).fillRect(28, 28, 8, 8, Qt::white);
        const Image sq = f::bloom(Image::fromQImage(q), 3.0, 1.0);
        const float near = at(sq, 26, 31).r, far = at(sq, 22, 31).r, out = at(sq, 5, 5).r;
        EXPECT_GT(near, far);
        EXPECT_GT(far, 0.0f);
        EXPECT_NEAR(out, 0.0f, 1e-6);
        EXPECT_NEAR(at(sq, 31, 31).r, 1.0f, 1e-5);
        // The glow's spread is a Gaussian of σ = radius: next to a white half-plane the glow is
        // ½·erfc(d / (σ√2)) at distance d from the edge (radius 3 runs on the half-size grid).
        QImage half(128, 32, QImage::Format_ARGB32_Premultiplied);
        half.fill(Qt::black);
        QPainter(&half).fillRect(64, 0, 64, 32, Qt::white);
        const Image hb = f::bloom(Image::fromQImage(half), 3.0, 1.0);
        for (int x : {63, 61, 58, 55}) {
            const double d = 64 - (x + 0.5);
            EXPECT_NEAR(at(hb, x, 16).r, 0.5 * std::erfc(d / (3.0 * std::sqrt(2.0))), 0.02) << x;
        }
    });
}

TEST(FilterTone, EdgesAreGradientMagnitudeOfEncodedValues) {
    // Left half black, right half 60 % grey (encoded), opaque.
    QImage q(40, 20, QImage::Format_ARGB32_Premultiplied);
    q.fill(Qt::black);
    QPainter(&q).fillRect(20, 0, 20, 20, QColor(153, 153, 153));
    const Image src = Image::fromQImage(q);
    const Image e = f::edges(src, 2.0);
    EXPECT_EQ(src.extent(), e.extent());
    // Next to the step each Sobel sum is 4·0.6; /8 · 2 = 0.6 encoded.
    const Px l = at(e, 19, 10), r = at(e, 20, 10);
    EXPECT_NEAR(enc(l.g), 0.6, 2e-3);
    EXPECT_NEAR(enc(r.g), 0.6, 2e-3);
    EXPECT_NEAR(l.a, 1.0, 1e-6);
    // Flat areas and the picture's own border are black, not edges.
    expectLinear(at(e, 5, 10), 0, 0, 0, 1, 1e-6);
    expectLinear(at(e, 39, 10), 0, 0, 0, 1, 1e-6);
    expectLinear(at(e, 10, 0), 0, 0, 0, 1, 1e-6);
    // Strong steps saturate at white.
    EXPECT_NEAR(at(f::edges(src, 8.0), 20, 10).r, 1.0, 1e-4);
}

TEST(FilterLight, DisplacementReadsAtTheShiftedPointWithAGrownRegion) {
    QImage q(64, 8, QImage::Format_ARGB32_Premultiplied);
    for (int x = 0; x < 64; ++x)
        for (int y = 0; y < 8; ++y) q.setPixel(x, y, qRgb(x * 4, 0, 0));
    const Image in = Image::fromQImage(q);
    // rg = (0.75, 0.5) and scale 8: every pixel reads 2 px to its right.
    const Image disp = Image::solid(Color{0.75f, 0.5f, 0.0f, 1.0f});
    const Image d = f::displacementDistortion(in, disp, 8.0);
    EXPECT_EQ(in.extent(), d.extent());
    for (int x : {0, 10, 40, 61}) EXPECT_NEAR(at(d, x, 4).r, at(in, x + 2, 4).r, 1e-6) << x;
    EXPECT_NEAR(at(d, 62, 4).a, 0.0, 1e-6);  // reads beyond the picture: transparent
    // The region of `in` read is the destination grown by scale / 2 plus the bilinear pixel.
    const IRect dest{10, 20, 30, 40};
    EXPECT_EQ(dest.grown(5, 5), d.node()->roi(0, dest));
    EXPECT_EQ(dest, d.node()->roi(1, dest));
    // A fractional shift interpolates: rg = (0.5625, 0.5) and scale 8 is half a pixel.
    const Image h = f::displacementDistortion(in, Image::solid(Color{0.5625f, 0.5f, 0, 1}), 8.0);
    EXPECT_NEAR(at(h, 20, 4).r, 0.5 * (at(in, 20, 4).r + at(in, 21, 4).r), 1e-6);
}

// Pictures kept in memory are read where they lie: the same pixels as read through their nodes,
// transparent past their edges.
TEST(FilterLight, DisplacementReadsKeptPicturesInPlace) {
    QImage q(40, 30, QImage::Format_ARGB32_Premultiplied);
    for (int x = 0; x < 40; ++x)
        for (int y = 0; y < 30; ++y) q.setPixel(x, y, qRgba(x * 6, y * 8, 90, 255));
    const Image in = Image::fromQImage(q).gaussianBlur(0.8).cropped({0, 0, 40, 30});
    const Image disp = f::randomNoise().cropped({-5, -5, 50, 40});
    const Image a = f::displacementDistortion(in, disp, 12.0);
    const Image b = f::displacementDistortion(materialize(in), materialize(disp), 12.0);
    Renderer r(2, 7);
    const IRect all{-3, -3, 46, 36};
    EXPECT_EQ(r.renderFloat(a, all), r.renderFloat(b, all));
    const std::vector<float> px = r.renderFloat(b, all);
    int lit = 0;
    for (size_t i = 3; i < px.size(); i += 4) lit += px[i] > 0.5f;
    EXPECT_GT(lit, 40 * 30 / 2);
}

TEST(FilterGenerators, GradientsAreInfiniteAndClampedAtTheirEnds) {
    const Color c0 = Color::fromSRGB(1, 0, 0), c1 = Color::fromSRGB(0, 0, 1, 0.5);
    const Image lg = f::linearGradient({100, 0}, {200, 0}, c0, c1);
    EXPECT_TRUE(lg.extent().isInfinite());
    expectLinear(at(lg, -5000, 77), c0.r, c0.g, c0.b, c0.a, 1e-6);
    expectLinear(at(lg, 9000, -3), c1.r, c1.g, c1.b, c1.a, 1e-6);
    // Pixel 149 has its centre at 149.5: t = 0.495.
    const double t = 0.495;
    expectLinear(at(lg, 149, 0), c0.r + (c1.r - c0.r) * t, 0, c0.b + (c1.b - c0.b) * t, c0.a + (c1.a - c0.a) * t, 1e-5);

    const Image rg = f::radialGradient({50, 50}, 10, 30, c0, c1);
    EXPECT_TRUE(rg.extent().isInfinite());
    expectLinear(at(rg, 50, 50), c0.r, c0.g, c0.b, c0.a, 1e-6);
    expectLinear(at(rg, 50, 500), c1.r, c1.g, c1.b, c1.a, 1e-6);
    const Px mid = at(rg, 69, 49);  // centre (69.5, 49.5): distance ≈ 19.506
    const double d = std::hypot(19.5, 0.5), s = (d - 10) / 20;
    EXPECT_NEAR(mid.a, c0.a + (c1.a - c0.a) * s, 1e-5);
}

TEST(FilterNoise, DeterministicAndMovesWithTranslation) {
    ostrela::test::forEachSimdTarget([&] {
        const Image n = f::randomNoise();
        EXPECT_TRUE(n.extent().isInfinite());
        const IRect r{-40, 17, 64, 32};
        Probe a(n, r), b(Image::noise(), r);
        Probe far(n, {1 << 20, -(1 << 21), 40, 3});
        for (int x = 0; x < 40; ++x) EXPECT_EQ(far.at((1 << 20) + x, -(1 << 21) + 1).g, NoiseNode::value((1 << 20) + x, -(1 << 21) + 1, 1));
        EXPECT_EQ(0, std::memcmp(a.data.data(), b.data.data(), a.data.size() * sizeof(float)));
        double sum = 0;
        for (int y = r.y; y < r.maxY(); ++y)
            for (int x = r.x; x < r.maxX(); ++x) {
                const Px p = a.at(x, y);
                EXPECT_EQ(p.r, NoiseNode::value(x, y, 0));
                EXPECT_EQ(p.a, NoiseNode::value(x, y, 3));
                sum += p.g;
            }
        EXPECT_NEAR(sum / (r.w * r.h), 0.5, 0.05);
        // Translated by whole pixels it is the same field, moved.
        Probe moved(n.translated(7, -95), r);
        for (int y = r.y; y < r.maxY(); y += 5)
            for (int x = r.x; x < r.maxX(); x += 3) EXPECT_EQ(moved.at(x, y).b, NoiseNode::value(x - 7, y + 95, 2));
    });
}

TEST(FilterTiles, EveryFilterRendersTheSameInTilesAsInOnePiece) {
    ostrela::test::forEachSimdTarget([&] {
        QImage q(320, 240, QImage::Format_ARGB32_Premultiplied);
        {
            QPainter p(&q);
            QLinearGradient g(0, 0, 320, 240);
            g.setColorAt(0, QColor(20, 40, 200));
            g.setColorAt(1, QColor(230, 180, 40));
            p.fillRect(q.rect(), g);
            p.setPen(QPen(Qt::white, 3));
            for (int i = 0; i < 12; ++i) p.drawLine(i * 27, 0, 320 - i * 27, 240);
        }
        const Image src = Image::fromQImage(q).scaled(4, 3).cropped({0, 0, 1280, 720});
        const Image grade = f::hueAdjust(f::colorMonochrome(f::colorControls(src, 0.3, -0.02, 1.4), Color::fromSRGB(0.5, 0.8, 0.8), 0.5), 0.3);
        const Image e = f::edges(grade, 2.0);
        const Image b = f::bloom(f::bloom(f::falseColor(grade, Color::fromSRGB(0, 0, 0, 0), Color::fromSRGB(1, 0.9, 0.8)), 6.0, 0.4), 3.0, 0.3);
        const Image disp = f::displacementDistortion(src.clampedToExtent(), f::randomNoise().translated(0.3, 11.7), 20.0);
        const Image g = f::linearGradient({0, 0}, {1280, 720}, Color::fromSRGB(1, 0, 0), Color::fromSRGB(0, 0, 1));
        const Image r = f::radialGradient({640, 360}, 50, 500, Color::fromSRGB(1, 1, 1, 0.8), Color::fromSRGB(0, 0, 0, 0));
        Image all = f::screenBlend(e, f::multiplyComposite(g, b));
        all = f::blendWithMask(disp, all, r);
        all = f::vignette(f::gammaAdjust(f::colorInvert(all.cropped({0, 0, 1280, 720})), 1.3), 1.5, 1.2);
        all = f::colorMatrixWithBias(all, {1, 0.1, 0, 0}, {0, 1, 0, 0}, {0, 0, 0.9, 0}, {0, 0, 0, 1}, {0.01, 0, 0, 0});

        const IRect rect{0, 0, 1280, 720};
        Renderer onePiece(1, 720), tiled(2, 64), odd(2, 7);
        std::vector<uint8_t> a(1280 * 720 * 4), bb(a.size()), c(a.size());
        onePiece.render(all, rect, a.data(), 1280 * 4);
        tiled.render(all, rect, bb.data(), 1280 * 4);
        odd.render(all, rect, c.data(), 1280 * 4);
        EXPECT_EQ(0, std::memcmp(a.data(), bb.data(), a.size()));
        EXPECT_EQ(0, std::memcmp(a.data(), c.data(), a.size()));
        const IRect off{-21, 33, 301, 250};
        std::vector<float> fa = onePiece.renderFloat(all, off), fb = odd.renderFloat(all, off);
        EXPECT_EQ(0, std::memcmp(fa.data(), fb.data(), fa.size() * sizeof(float)));
        EXPECT_NE(0, std::memcmp(a.data(), a.data() + (360 * 1280 + 640) * 4, 4));
        // A rectangle inside the frame (tiles narrower than the picture) gives the same pixels.
        std::vector<float> whole = onePiece.renderFloat(all, rect), part = odd.renderFloat(all, {300, 200, 500, 300});
        for (int y = 0; y < 300; ++y)
            ASSERT_EQ(0, std::memcmp(part.data() + size_t(y) * 500 * 4, whole.data() + (size_t(200 + y) * 1280 + 300) * 4, 500 * 4 * sizeof(float)))
                << "row " << y;
    });
}

TEST(FilterCurve, FrameWriteDependsOnEachPixelAloneAndMatchesTheCurve) {
    ostrela::test::forEachSimdTarget([&] {
        // 37 pixels, opaque and translucent mixed: a row written at once equals each pixel written
        // alone, and opaque codes are the exact curve's rounded value (within one code at a tie).
        std::vector<float> px(37 * 4);
        for (int i = 0; i < 37; ++i) {
            const float a = i % 5 == 3 ? 0.5f : 1.0f;
            px[4 * i] = a * (i / 36.0f);
            px[4 * i + 1] = a * std::fmod(i * 0.377f, 1.0f);
            px[4 * i + 2] = a * (1.0f - i / 36.0f);
            px[4 * i + 3] = a;
        }
        std::vector<uint8_t> row(37 * 4), one(4);
        color::encodeRow(px.data(), 37, row.data());
        for (int i = 0; i < 37; ++i) {
            color::encodeRow(px.data() + 4 * i, 1, one.data());
            EXPECT_EQ(0, std::memcmp(one.data(), row.data() + 4 * i, 4)) << i;
            if (px[4 * i + 3] == 1.0f) {
                EXPECT_NEAR(row[4 * i + 2], std::lround(enc(px[4 * i]) * 255), 1) << i;
                EXPECT_NEAR(row[4 * i + 1], std::lround(enc(px[4 * i + 1]) * 255), 1) << i;
                EXPECT_NEAR(row[4 * i], std::lround(enc(px[4 * i + 2]) * 255), 1) << i;
                EXPECT_EQ(row[4 * i + 3], 255);
            }
        }
        // Blurred opaque pictures come out a hair below alpha 1; they write as the opaque colour.
        const float nearly[8] = {0.2f * 0.9999999f, 0.5f * 0.9999999f, 0.9f * 0.9999999f, 0.9999999f, 0.2f, 0.5f, 0.9f, 1.0f};
        uint8_t two[8];
        color::encodeRow(nearly, 2, two);
        EXPECT_EQ(0, std::memcmp(two, two + 4, 4));
        EXPECT_EQ(two[3], 255);
    });
}

// Every code in every channel, with the blocks of a long row around one see-through pixel.
TEST(FilterCurve, FrameReadGivesEveryCodeItsLinearValue) {
    ostrela::test::forEachSimdTarget([&] {
        for (int odd : {-1, 0, 200, 262}) {
            const int n = 263;
            std::vector<uint8_t> px(size_t(n) * 4);
            for (int i = 0; i < n; ++i) {
                px[4 * i] = uint8_t(i);
                px[4 * i + 1] = uint8_t(255 - i % 256);
                px[4 * i + 2] = uint8_t(i * 37 % 256);
                px[4 * i + 3] = i == odd ? 0 : 255;
            }
            std::vector<float> row(size_t(n) * 4, -1.0f);
            color::decodeRow(px.data(), n, row.data());
            for (int i = 0; i < n; ++i) {
                if (i == odd) {
                    for (int c = 0; c < 4; ++c) EXPECT_EQ(row[4 * i + c], 0.0f) << i;
                    continue;
                }
                const float* o = row.data() + 4 * i;
                EXPECT_EQ(o[0], float(color::srgbToLinear((i * 37 % 256) / 255.0))) << odd << " " << i;
                EXPECT_EQ(o[1], float(color::srgbToLinear((255 - i % 256) / 255.0))) << odd << " " << i;
                EXPECT_EQ(o[2], float(color::srgbToLinear((i % 256) / 255.0))) << odd << " " << i;
                EXPECT_EQ(o[3], 1.0f) << odd << " " << i;
            }
        }
    });
}

TEST(FilterCurve, FrameReadDependsOnEachPixelAlone) {
    ostrela::test::forEachSimdTarget([&] {
        // With see-through pixels among opaque ones, and all opaque (the widest blocks).
        for (bool translucent : {true, false}) {
            std::vector<uint8_t> px(37 * 4);
            for (int i = 0; i < 37; ++i) {
                const int a = translucent && i % 7 == 5 ? 128 : 255;
                px[4 * i] = uint8_t(i * 7 * a / 255);
                px[4 * i + 1] = uint8_t((255 - i * 5) * a / 255);
                px[4 * i + 2] = uint8_t((i * 13 % 256) * a / 255);
                px[4 * i + 3] = uint8_t(a);
            }
            std::vector<float> row(37 * 4), one(4);
            color::decodeRow(px.data(), 37, row.data());
            for (int i = 0; i < 37; ++i) {
                color::decodeRow(px.data() + 4 * i, 1, one.data());
                EXPECT_EQ(0, std::memcmp(one.data(), row.data() + 4 * i, 4 * sizeof(float))) << i;
                if (px[4 * i + 3] == 255) {
                    EXPECT_EQ(row[4 * i], color::decodeComponent(px[4 * i + 2])) << i;  // BGRA in, RGBA out
                    EXPECT_EQ(row[4 * i + 1], color::decodeComponent(px[4 * i + 1])) << i;
                    EXPECT_EQ(row[4 * i + 2], color::decodeComponent(px[4 * i])) << i;
                    EXPECT_EQ(row[4 * i + 3], 1.0f);
                }
            }
        }
    });
}

// A per-pixel run over 8-bit pixels that starts with colour controls: at saturation 0 opaque
// pixels are read through a table of their luminance, and at other saturations, when all that
// follows works per channel, through one table a channel; within a level of the run itself.
// Pixels that are not opaque are made by the run, and pieces of the picture agree with the
// whole. Any other run reads the bytes as before, to the bit.
TEST(FilterTone, RunsOverBytesReadTablesOfOneValue) {
    QImage q(301, 97, QImage::Format_ARGB32_Premultiplied);
    uint32_t s = 777;
    for (int y = 0; y < q.height(); ++y) {
        auto* row = reinterpret_cast<uint32_t*>(q.scanLine(y));
        for (int x = 0; x < q.width(); ++x) {
            s = s * 1664525u + 1013904223u;
            row[x] = 0xFF000000u | (s >> 8);
        }
    }
    {
        QPainter p(&q);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.fillRect(QRect(20, 10, 40, 20), QColor(200, 60, 30, 128));
        p.fillRect(QRect(250, 60, 10, 10), Qt::transparent);
    }
    const Image src = Image::fromQImage(q);
    using Run = Image (*)(const Image&);
    const Run nightOps = [](const Image& in) {
        return f::colorMatrixWithBias(f::colorControls(in, 0.0, -0.05, 2.2), {1, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1},
                                      {0, 0, 0, 0});
    };
    const Run xray = [](const Image& in) {
        return f::falseColor(f::colorControls(f::colorInvert(f::colorControls(in, 0, 0, 1.1)), 1, 0.03, 1.5),
                             Color::fromSRGB(0.01, 0.02, 0.07), Color::fromSRGB(0.78, 0.93, 1.0));
    };
    const Run snow = [](const Image& in) {
        return f::colorMatrixWithBias(f::colorControls(in, 0.92, 0.0, 1.0), {0.97, 0, 0, 0}, {0, 0.99, 0, 0}, {0, 0, 1.06, 0},
                                      {0, 0, 0, 1}, {0, 0, 0, 0});
    };
    const Run warm = [](const Image& in) {  // a gamma and a biased matrix after the controls
        return f::colorMatrixWithBias(f::gammaAdjust(f::colorControls(in, 0.75, 0.02, 0.88), 0.9), {1.1, 0, 0, 0}, {0, 1.0, 0, 0},
                                      {0, 0, 0.85, 0}, {0, 0, 0, 1}, {0.02, 0.01, -0.02, 0});
    };
    // Not read by table: a tint mixes the channels (in the first stage, or after it).
    const Run tinted = [](const Image& in) { return f::colorMonochrome(f::colorControls(in, 0.5, 0.02, 1.2), Color::fromSRGB(0.9, 0.5, 0.2), 0.4); };
    const Run mixed = [](const Image& in) {
        return f::colorMatrixWithBias(f::colorControls(in, 0.6, 0.0, 1.3), {0.5, 0.5, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1},
                                      {0, 0, 0, 0});
    };
    // Not read by table either (saturation above 1), but the light matrix after it only scales
    // colour: the run reading the bytes takes it in.
    const Run graded = [](const Image& in) {
        return f::colorMatrixWithBias(f::colorControls(in, 1.1, -0.01, 1.05), {1.1, 0, 0, 0}, {0, 0.96, 0, 0}, {0, 0, 0.75, 0},
                                      {0, 0, 0, 1}, {0, 0, 0, 0});
    };
    {
        setStraightforwardChains(false);
        EXPECT_EQ(0, graded(src).node()->inputCount());
        EXPECT_EQ(0, graded(src.translated(2, 5)).node()->inputCount());
        // Over other pictures it joins the tone run: one op.
        const Image other = graded(src.clampedToExtent().cropped(src.extent()));
        auto* pw = dynamic_cast<const PointwiseNode*>(other.node().get());
        ASSERT_NE(nullptr, pw);
        EXPECT_EQ(1u, pw->ops().size());
    }
    const IRect r{0, 0, 301, 97}, part{5, 3, 200, 50};
    ostrela::test::forEachSimdTarget([&] {
        for (const Run run : {nightOps, xray, snow, warm, tinted, mixed, graded}) {
            SCOPED_TRACE(run == nightOps ? "night" : run == xray ? "x-ray" : run == snow ? "snow" : run == warm ? "warm" : run == tinted ? "tinted" : run == graded ? "graded" : "mixed");
            setStraightforwardChains(true);
            const Image exact = run(src);
            setStraightforwardChains(false);
            const Image fast = run(src);
            Renderer one(1, 97), odd(2, 7);
            const std::vector<float> a = one.renderFloat(fast, r), b = one.renderFloat(exact, r);
            EXPECT_EQ(odd.renderFloat(fast, r), a);
            const std::vector<float> p = odd.renderFloat(fast, part);
            for (int y = 0; y < part.h; ++y)
                for (int x = 0; x < part.w * 4; ++x)
                    ASSERT_EQ(p[size_t(y) * part.w * 4 + x], a[(size_t(y + part.y) * r.w + part.x) * 4 + x]) << x << "," << y;
            // The frame's bytes.
            const QImage qa = one.renderQImage(fast, r), qb = one.renderQImage(exact, r);
            int worst = 0;
            double sum = 0;
            for (int y = 0; y < r.h; ++y)
                for (int x = 0; x < r.w * 4; ++x) {
                    const int d = std::abs(int(qa.constScanLine(y)[x]) - int(qb.constScanLine(y)[x]));
                    worst = std::max(worst, d);
                    sum += d;
                }
            if (run == tinted || run == mixed) {
                EXPECT_EQ(a, b);
            } else {
                EXPECT_LE(worst, 1);
                EXPECT_LT(sum / (r.w * r.h * 4.0), 0.01);
            }
            // The translucent block and the transparent square are the run's own (rows count up
            // from the bottom of the picture).
            for (const QRect& rc : {QRect(20, 10, 40, 20), QRect(250, 60, 10, 10)})
                for (int y = rc.top(); y <= rc.bottom(); ++y)
                    for (int x = rc.left(); x <= rc.right(); ++x) {
                        const size_t i = (size_t(r.h - 1 - y) * r.w + x) * 4;
                        // (The gain scales premultiplied colour where the matrix divides and
                        // multiplies by alpha again: the same to a rounding.)
                        for (int c = 0; c < 4; ++c)
                            if (run == graded) ASSERT_NEAR(a[i + c], b[i + c], 1e-6f * (1.0f + std::abs(b[i + c]))) << x << "," << y;
                            else ASSERT_EQ(a[i + c], b[i + c]) << x << "," << y;
                    }
        }
    });
}
