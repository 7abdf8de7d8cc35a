#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/Schedule.h"

#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>

#include <QImage>

#include <cmath>
#include <functional>

using namespace ostrela::engine;

namespace {

Rect rectOf(const IRect& r) { return {double(r.x), double(r.y), double(r.w), double(r.h)}; }

// A stored picture of `b` whose channel c at pixel (x, y) is f(x, y, c).
Image stored(const IRect& b, const std::function<float(int, int, int)>& f) {
    auto px = pooledPixels(size_t(b.w) * b.h * 4);
    float* d = px->data();
    for (int y = b.y; y < b.maxY(); ++y)
        for (int x = b.x; x < b.maxX(); ++x)
            for (int c = 0; c < 4; ++c) *d++ = f(x, y, c);
    return storedImage(std::move(px), b, rectOf(b));
}

Image faded(const Image& in, float alpha) {
    ColorMatrix m = identityMatrix();
    m[18] = alpha;
    return in.colorMatrix(m);
}

Image scaledAbout(const Image& in, double s, double cx, double cy) {
    return in.transformed(Affine::translation(-cx, -cy).then(Affine::scale(s, s)).then(Affine::translation(cx, cy)));
}

// Copies of p scaled about (cx, cy), faded and screened together, as a zoom burst is.
Image burst(const Image& p, double cx, double cy, int copies) {
    Image layer;
    for (int k = 1; k <= copies; ++k)
        layer = filters::screenBlend(faded(scaledAbout(p, 1 + 0.1 * k, cx, cy).cropped(p.extent()), 0.3f), layer);
    return layer;
}

// The alpha-weighted centre of the pixels of r.
Point centroid(const std::vector<float>& px, const IRect& r) {
    double sx = 0, sy = 0, s = 0;
    for (int j = 0; j < r.h; ++j)
        for (int i = 0; i < r.w; ++i) {
            const double a = px[(size_t(j) * r.w + i) * 4 + 3];
            sx += a * (r.x + i + 0.5), sy += a * (r.y + j + 0.5), s += a;
        }
    return {sx / s, sy / s};
}

}  // namespace

// A burst of a smooth picture made on the half grid stays within a hundredth and a half of the
// layer made at full size, every tiling giving the same pixels, on every vector target.
TEST(SoftLayers, BurstOfASmoothPictureIsItsLayerToAHundredthAndAHalf) {
    const IRect b{-3, 5, 161, 97};
    const Image p = stored(b, [](int x, int y, int c) {
        return c == 3 ? 1.0f : float(0.5 + 0.4 * std::sin(x / 9.0 + c) * std::cos(y / 7.0));
    });
    const Image layer = burst(p, 70.5, 50, 4);
    ostrela::test::forEachSimdTarget([&] {
        const Image soft = softLayer(layer);
        ASSERT_NE(soft.node(), layer.node());
        EXPECT_EQ(soft.extent(), layer.extent());
        Renderer whole(1, 4096), tiled(2, 7);
        const IRect r = b.grown(4, 4);
        const std::vector<float> want = whole.renderFloat(layer, r), got = whole.renderFloat(soft, r);
        EXPECT_EQ(tiled.renderFloat(soft, r), got);
        double worst = 0, sum = 0, outside = 0;
        int n = 0;
        for (int j = 0; j < r.h; ++j)
            for (int i = 0; i < r.w; ++i)
                for (int c = 0; c < 4; ++c) {
                    const size_t k = (size_t(j) * r.w + i) * 4 + c;
                    const bool in = b.contains({r.x + i, r.y + j, 1, 1});
                    // The picture's edge cells are half transparent on the grid: its outer pixel ring is left out.
                    if (in && b.grown(-1, -1).contains({r.x + i, r.y + j, 1, 1})) {
                        worst = std::max(worst, double(std::abs(got[k] - want[k])));
                        sum += std::abs(got[k] - want[k]), ++n;
                    }
                    if (!in) outside = std::max(outside, double(std::abs(got[k])));
                }
        EXPECT_LT(worst, 0.015);
        EXPECT_LT(sum / n, 0.002);
        EXPECT_EQ(outside, 0.0);
    });
}

// Detail below two pixels is averaged away: a one-pixel checkerboard faded to half is a flat
// quarter grey on the grid, where the full-size layer alternates between 0 and a half.
TEST(SoftLayers, DetailBelowTwoPixelsIsAveraged) {
    const IRect b{0, 0, 40, 30};
    const Image p = stored(b, [](int x, int y, int c) { return c == 3 ? 1.0f : float((x + y) & 1); });
    const Image layer = faded(p.cropped(rectOf(b)), 0.5f);
    Renderer renderer(2, 8);
    const std::vector<float> soft = renderer.renderFloat(softLayer(layer), b), full = renderer.renderFloat(layer, b);
    for (int y = 2; y < 28; ++y)
        for (int x = 2; x < 38; ++x) {
            const size_t k = (size_t(y) * b.w + x) * 4;
            EXPECT_NEAR(soft[k], 0.25f, 1e-6) << x << "," << y;
            EXPECT_NEAR(soft[k + 3], 0.5f, 1e-6);
            EXPECT_FLOAT_EQ(full[k], 0.5f * float((x + y) & 1));
        }
}

// Moves and scales land where they do at full size: a block scaled about a point, and moved by
// fractions of a pixel, has its centre within a tenth of a pixel of the full-size layer's.
TEST(SoftLayers, CopiesLandWhereTheirTransformPutsThem) {
    const IRect b{0, 0, 120, 90};
    const Image p = stored(b, [](int x, int y, int) { return x >= 60 && x < 64 && y >= 40 && y < 44 ? 1.0f : 0.0f; });
    Renderer renderer(2, 16);
    const Image scaled = faded(scaledAbout(p, 1.5, 20, 10).cropped(rectOf(b)), 0.8f);
    const Image moved = faded(p.translated(7.25, -3.5).cropped(rectOf(b)), 0.8f);
    for (const Image& layer : {scaled, moved}) {
        const Point want = centroid(renderer.renderFloat(layer, b), b), got = centroid(renderer.renderFloat(softLayer(layer), b), b);
        EXPECT_NEAR(got.x, want.x, 0.1);
        EXPECT_NEAR(got.y, want.y, 0.1);
    }
    // The block's centre (62, 42) scaled by 1.5 about (20, 10).
    const Point c = centroid(renderer.renderFloat(softLayer(scaled), b), b);
    EXPECT_NEAR(c.x, 83, 0.1);
    EXPECT_NEAR(c.y, 58, 0.1);
}

// A layer holding anything the grid cannot remake (a gradient placed in the frame), an empty
// one, and any layer when the plain chains are asked for, is handed back as it is.
TEST(SoftLayers, OtherLayersAreLeftAsTheyAre) {
    const IRect b{0, 0, 20, 20};
    const Image p = stored(b, [](int, int, int) { return 0.5f; });
    const Image withGradient =
        filters::screenBlend(filters::radialGradient({10, 10}, 1, 8, Color{1, 1, 1, 1}, Color{}).cropped(rectOf(b)), faded(p, 0.5f));
    EXPECT_EQ(softLayer(withGradient).node(), withGradient.node());
    EXPECT_TRUE(softLayer(Image()).isNull());
    const Image layer = burst(p, 10, 10, 2);
    setStraightforwardChains(true);
    const Image plain = softLayer(layer);
    setStraightforwardChains(false);
    EXPECT_EQ(plain.node(), layer.node());
    EXPECT_NE(softLayer(layer).node(), layer.node());
}

// A picture not yet stored is read by a turn as its stored self would be, bit for bit, and a
// move that takes it wholly out of the frame gives nothing.
TEST(Resampling, AnUnstoredPictureIsStoredOverWhatTheMoveReads) {
    const IRect b{0, 0, 200, 120};
    const Image p = faded(stored(b, [](int x, int y, int c) { return c == 3 ? 1.0f : float(((x / 5 + y / 3 + c) % 7) / 7.0); }), 0.9f);
    const Affine turn = Affine::translation(-100, -60)
                            .then(Affine{std::cos(0.01), std::sin(0.01), -std::sin(0.01), std::cos(0.01), 0, 0})
                            .then(Affine::scale(1.04, 1.04))
                            .then(Affine::translation(101.5, 59.25));
    Renderer renderer(2, 16);
    const Rect e = rectOf(b);
    EXPECT_EQ(renderer.renderFloat(resampled(p, turn, e), b), renderer.renderFloat(resampled(materialize(p), turn, e), b));
    EXPECT_TRUE(resampled(p, Affine::translation(500, 0), e).extent().isEmpty());
}

// The half grid gathered while a picture is made, against 2×2 averages taken here (transparent
// beyond the picture), and a soft layer read from it gives the pixels of one that reduces the
// stored picture itself. Tiles whose rows cannot pair up (an odd first row) gather nothing.
TEST(SoftLayers, HalfGridGatheredWhileMakingIsThePictureReduced) {
    QImage img(37, 24, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 37; ++x) img.setPixel(x, y, qRgba((x * 37) % 256, (y * 11) % 256, (x * y) % 256, 255));
    const Image src = Image::fromQImage(img).translated(-3, 4);
    const IRect b{-3, 4, 37, 24};
    const Image made = materializeWithHalfGrid(src.cropped(src.extent()), 6);
    const PixelView mv = pixelsOf(made);
    ASSERT_TRUE(mv);
    ASSERT_EQ(mv.bounds, b);
    const NodePtr grid = detail::keptHalfGrid(*made.node());
    ASSERT_TRUE(grid);
    IRect gb;
    const float* g = grid->storedPixels(&gb);
    ASSERT_TRUE(g);
    EXPECT_EQ(gb, (IRect{-2, 2, 19, 12}));
    auto px = [&](int x, int y, int c) -> double {
        const float* p = mv.at(x, y);
        return p ? p[c] : 0.0;
    };
    double worst = 0;
    for (int v = gb.y; v < gb.maxY(); ++v)
        for (int u = gb.x; u < gb.maxX(); ++u)
            for (int c = 0; c < 4; ++c) {
                const double want = (px(2 * u, 2 * v, c) + px(2 * u + 1, 2 * v, c) + px(2 * u, 2 * v + 1, c) + px(2 * u + 1, 2 * v + 1, c)) / 4;
                worst = std::max(worst, std::abs(g[(size_t(v - gb.y) * gb.w + (u - gb.x)) * 4 + c] - want));
            }
    EXPECT_LT(worst, 1e-6);
    // The picture starts on an odd column: the first cells hold two of its pixels and two beyond.
    EXPECT_NEAR(g[3], 0.5, 1e-6);

    Renderer renderer(2, 8);
    const Image plain = materialize(src.cropped(src.extent()));
    EXPECT_FALSE(detail::keptHalfGrid(*plain.node()));
    auto layerOf = [&](const Image& p) { return softLayer(faded(scaledAbout(p, 1.3, 10, 12).cropped(p.extent()), 0.5f)); };
    EXPECT_EQ(renderer.renderFloat(layerOf(made), b), renderer.renderFloat(layerOf(plain), b));

    const Image odd = materializeWithHalfGrid(src.translated(0, 1).cropped({-3, 5, 37, 24}), 6);
    EXPECT_TRUE(pixelsOf(odd));
    EXPECT_FALSE(detail::keptHalfGrid(*odd.node()));
}
