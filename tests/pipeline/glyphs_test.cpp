#include "pipeline/engine/Glyphs.h"
#include "pipeline/engine/Renderer.h"

#include <gtest/gtest.h>

#include <QFontMetricsF>
#include <QImage>
#include <QPainter>

#include <cmath>
#include <limits>

using namespace ostrela::engine;

namespace {

QFont monoBold() {
    QFont f(QStringLiteral("DejaVu Sans Mono"));
    f.setBold(true);
    f.setPointSizeF(16.2);
    return f;
}

// A transparent bitmap at one pixel per point, as the layer assumes.
QImage referenceBitmap(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    const int dotsPerMeter = int(std::lround(72.0 / 0.0254));
    img.setDotsPerMeterX(dotsPerMeter);
    img.setDotsPerMeterY(dotsPerMeter);
    img.fill(Qt::transparent);
    return img;
}

struct Sample {
    QChar ch;
    int x, baseline;
    double r, g, b, a;  // sRGB components and alpha
};

int maxDifference(const QImage& a, const QImage& b) {
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                              std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
        }
    return worst;
}

}  // namespace

TEST(GlyphLayer, GivesThePixelsAPainterDrawsTextWithAtWholePixels) {
    // Glyphs over each other, translucent ones, one cut by the left edge and one by the bottom:
    // the layer is a painter drawing the same text in order onto a transparent bitmap.
    const std::vector<Sample> samples = {
        {'A', 10, 30, 0.1, 1.0, 0.15, 1.0},  {'W', 34, 34, 1.0, 0.3, 0.2, 0.6}, {'#', 60, 24, 0.0, 0.5, 1.0, 0.25},
        {'@', -5, 50, 1.0, 1.0, 1.0, 1.0},   {'7', 90, 62, 0.8, 0.8, 0.1, 0.9}, {'Q', 120, 40, 0.05, 0.5, 0.075, 0.5},
    };
    const int w = 140, h = 64;
    QImage painted = referenceBitmap(w, h);
    {
        QPainter p(&painted);
        p.setFont(monoBold());
        for (const Sample& s : samples) {
            p.setPen(QColor::fromRgbF(float(s.r), float(s.g), float(s.b), float(s.a)));
            p.drawText(QPointF(s.x, s.baseline), QString(s.ch));
        }
    }
    auto cache = std::make_shared<GlyphCache>(monoBold());
    std::vector<PlacedGlyph> placed;
    for (const Sample& s : samples)
        placed.push_back({s.ch, double(s.x), double(s.baseline), Color::fromSRGB(s.r, s.g, s.b, s.a)});
    // Fractions round to the whole pixel the painter's own positions were given at.
    placed[1].x += 0.3;
    placed[2].baseline -= 0.4;
    const Image layer = glyphLayer(cache, w, h, placed);
    EXPECT_EQ(layer.extent(), (Rect{0, 0, double(w), double(h)}));
    Renderer whole(1, 1024), tiled(2, 16);
    const QImage a = whole.renderQImage(layer, {0, 0, w, h});
    const QImage b = tiled.renderQImage(layer, {0, 0, w, h});
    EXPECT_LE(maxDifference(a, painted), 1);
    EXPECT_EQ(maxDifference(a, b), 0);
    // Ink is there: the first glyph's stem at full green.
    int ink = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) ink += qAlpha(a.pixel(x, y)) > 0;
    EXPECT_GT(ink, 300);
    // Outside the layer nothing is drawn.
    const QImage around = whole.renderQImage(layer, {-10, -10, w + 20, h + 20});
    for (int x = 0; x < w + 20; ++x) {
        EXPECT_EQ(qAlpha(around.pixel(x, 0)), 0);
        EXPECT_EQ(qAlpha(around.pixel(x, h + 19)), 0);
    }
}

TEST(GlyphLayer, GlyphsOverEachOtherMixInLinearLight) {
    // Source over, premultiplied, in linear light as every composite of the engine: a half
    // transparent red 'O' over an opaque green one.
    auto cache = std::make_shared<GlyphCache>(monoBold());
    const Color green = Color::fromSRGB(0, 1, 0), red = Color::fromSRGB(1, 0, 0, 0.5);
    const Image layer = glyphLayer(cache, 30, 30, {{'O', 5, 22, green}, {'O', 5, 22, red}});
    Renderer r(1, 64);
    const std::vector<float> px = r.renderFloat(layer, {0, 0, 30, 30});
    const GlyphCoverage& o = cache->glyph('O');
    int checked = 0;
    for (int k = 0; k < o.h; ++k)
        for (int i = 0; i < o.w; ++i) {
            const float c = o.coverage[size_t(k) * o.w + i];
            if (c <= 0) continue;
            // Coverage row k lies on row 22 − baselineRow + k from the top; the engine's rows run up.
            const int x = 5 - o.originX + i, yTop = 22 - o.baselineRow + k;
            ASSERT_TRUE(x >= 0 && x < 30 && yTop >= 0 && yTop < 30);
            const float* p = &px[(size_t(29 - yTop) * 30 + x) * 4];
            const float under[4] = {green.r * c, green.g * c, green.b * c, green.a * c};
            for (int ch = 0; ch < 4; ++ch) {
                const float over = (&red.r)[ch] * c;
                EXPECT_NEAR(p[ch], over + under[ch] * (1 - red.a * c), 1e-6) << i << "," << k << " channel " << ch;
            }
            ++checked;
        }
    EXPECT_GT(checked, 40);
}

TEST(GlyphLayer, DrawsEachCharacterOnceAndSkipsPositionsItCannotPlace) {
    auto cache = std::make_shared<GlyphCache>(monoBold());
    EXPECT_EQ(cache->count(), 0);
    const GlyphCoverage& a = cache->glyph('A');
    EXPECT_EQ(&a, &cache->glyph('A'));
    EXPECT_EQ(cache->count(), 1);
    // The coverage holds the glyph's ink with room around it, its baseline at the font's ascent.
    EXPECT_GT(a.w, 10);
    EXPECT_GT(a.h, 16);
    EXPECT_NEAR(a.baselineRow - 4, QFontMetricsF(monoBold(), nullptr).ascent(), 8);
    float sum = 0;
    for (float c : a.coverage) sum += c;
    EXPECT_GT(sum, 20);

    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const Image layer = glyphLayer(cache, 0, -3,
                                   {{'B', nan, 10, Color::fromSRGB(1, 1, 1)},
                                    {'C', 5, inf, Color::fromSRGB(1, 1, 1)},
                                    {'D', 1e12, 10, Color::fromSRGB(1, 1, 1)},
                                    {'E', 0, 0.6, Color::fromSRGB(1, 1, 1)}});
    EXPECT_EQ(layer.extent(), (Rect{0, 0, 1, 1}));
    EXPECT_EQ(cache->count(), 2);  // only 'E' was placed
    Renderer r(1, 64);
    EXPECT_FALSE(r.renderQImage(layer, {0, 0, 1, 1}).isNull());
}
