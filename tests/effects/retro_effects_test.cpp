// Old TV and VHS, measured on rendered frames: band and readout positions, blinking, battery bars,
// determinism and extents.
#include "effects/Effects.h"
#include "effects/RetroEffects.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"
#include "tests/effects/Looks.h"

#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace ostrela;
using namespace ostrela::effects;
using namespace ostrela::effects::testing;
using engine::Image;
using engine::Rect;

namespace {

QImage solidImage(int w, int h, QColor c) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(c);
    return img;
}

// Left of x = split black, right white.
QImage stepImage(int w, int h, int split) {
    QImage img = solidImage(w, h, Qt::black);
    QPainter(&img).fillRect(split, 0, w - split, h, Qt::white);
    return img;
}

QImage renderFrame(const Image& im) {
    engine::Renderer r(2, 64);
    return r.renderQImage(im, {0, 0, 1280, 720});
}

// Row index from the top for a y-up pixel row.
int td(int yUp) { return 719 - yUp; }

// First x ≥ from where the grey level reaches 128 and stays there for five pixels (a grain
// speck is not an edge), in the given top-down row.
int risingEdge(const QImage& img, int row, int from, int to) {
    for (int x = from; x < to; ++x) {
        bool run = true;
        for (int k = 0; k < 5 && run; ++k) run = qGray(img.pixel(x + k, row)) >= 128;
        if (run) return x;
    }
    return -1;
}

int maxGreen(const QImage& img, QRect area) {
    int m = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) m = std::max(m, qGreen(img.pixel(x, y)));
    return m;
}

// A time near `around` at which neither VHS glitch band reaches the top 200 rows.
double quietVHSTime(double around) {
    for (double t = around;; t += 0.05) {
        const double y1 = (std::sin(0.35 * t) * 0.42 + 0.5) * 720, y2 = (std::sin(0.7 * t + 2.1) * 0.42 + 0.5) * 720;
        if (y1 < 480 && y2 < 480) return t;
    }
}

}  // namespace

TEST(OldTV, BandIsACopyMovedRightAcrossTheMiddleRowsAtTimeZero) {
    // t = 0: tear phase 0, band centred at 360 and 15.84 px high: rows 352…367.
    const Image out = renderOldTV(Image::fromQImage(stepImage(1280, 720, 640)), 0.0);
    const QImage f = renderFrame(out);
    auto baseEdge = [](int yUp) {
        const float dy = float(yUp) + 0.5f;
        return 640.0 - 14.0f * std::sin(dy * 0.07f);  // the tear reads x + dx
    };
    for (int y : {352, 355, 360, 367}) {
        const int e = risingEdge(f, td(y), 560, 760);
        EXPECT_NEAR(e, baseEdge(y) + 26, 1.5) << "band row " << y;
    }
    for (int y : {340, 351, 368, 380}) {
        const int e = risingEdge(f, td(y), 560, 760);
        EXPECT_NEAR(e, baseEdge(y), 1.5) << "row " << y;
    }
}

TEST(OldTV, GradeIsBlackAndWhiteWithDarkCornersAndGrain) {
    QImage src = solidImage(1280, 720, QColor(255, 250, 245));
    const QImage f = renderFrame(renderOldTV(Image::fromQImage(src), 1000.3));
    // No colour survives the grade (grain and lines are grey too).
    for (int x = 100; x < 1200; x += 97)
        for (int y = 50; y < 700; y += 83) {
            const QRgb p = f.pixel(x, y);
            EXPECT_LE(std::abs(qRed(p) - qGreen(p)), 1);
            EXPECT_LE(std::abs(qGreen(p) - qBlue(p)), 1);
        }
    // The vignette darkens the corners against the centre.
    auto mean = [&](QRect r) {
        double s = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) s += qGray(f.pixel(x, y));
        return s / (r.width() * r.height());
    };
    EXPECT_GT(mean({600, 300, 80, 40}), mean({0, 0, 40, 40}) + 60);
    // Grain: neighbouring pixels of a flat source differ.
    int differ = 0;
    for (int x = 500; x < 700; ++x) differ += f.pixel(x, 250) != f.pixel(x + 1, 250);
    EXPECT_GT(differ, 50);
}

TEST(OldTV, ShortFramesKeepTheFourPixelBand) {
    const Image src = Image::fromQImage(stepImage(1280, 100, 640));
    const Rect F{0, 0, 1280, 100};
    // t = 0: the band is centred at 50: rows 48…51.
    const Image banded = compositeBand(src, F, 0.0, 0.022, 0.22, 0.0, 26);
    engine::Renderer r(1, 100);
    const QImage f = r.renderQImage(banded, {0, 0, 1280, 100});
    auto moved = [&](int yUp) { return risingEdge(f, 99 - yUp, 600, 700) == 666; };
    EXPECT_FALSE(moved(47));
    EXPECT_TRUE(moved(48));
    EXPECT_TRUE(moved(51));
    EXPECT_FALSE(moved(52));
}

TEST(VHS, ReadoutBlinksWithAOneSecondPeriod) {
    EXPECT_TRUE(vhsReadoutVisible(0.0));
    EXPECT_TRUE(vhsReadoutVisible(0.49));
    EXPECT_FALSE(vhsReadoutVisible(0.5));
    EXPECT_FALSE(vhsReadoutVisible(0.99));
    EXPECT_TRUE(vhsReadoutVisible(1.0));
    EXPECT_FALSE(vhsReadoutVisible(700000001.7));

    const Image grey = Image::fromQImage(solidImage(1280, 720, QColor(110, 110, 110)));
    const double on = quietVHSTime(500.0);
    double tOn = on, tOff = on;
    while (!vhsReadoutVisible(tOn)) tOn = quietVHSTime(tOn + 0.05);
    while (vhsReadoutVisible(tOff)) tOff = quietVHSTime(tOff + 0.05);
    // "▶ PLAY" is drawn 5× from its 24-pixel-high bitmap: rows 16…135 from the top at x ≥ 16,
    // "12:00" 6 px below it.
    const QImage shown = renderFrame(renderVHS(grey, tOn));
    const QImage hidden = renderFrame(renderVHS(grey, tOff));
    EXPECT_GE(maxGreen(shown, {16, 16, 400, 120}), 250);
    EXPECT_GE(maxGreen(shown, {16, 142, 300, 60}), 250);
    EXPECT_LT(maxGreen(hidden, {16, 16, 400, 190}), 200);
    // Nothing white above or left of the readout's rectangle.
    EXPECT_LT(maxGreen(shown, {0, 0, 400, 12}), 200);
    EXPECT_LT(maxGreen(shown, {0, 20, 14, 100}), 200);
}

TEST(VHS, PixelTextBitmapSizeFollowsTheFontSize) {
    const QImage a = pixelText(QString::fromUtf8("\u25B6 PLAY"), 0.11 * 720, 5);
    EXPECT_EQ(a.height(), 24);  // ceil(1.5 × 15.84)
    EXPECT_GT(a.width(), 40);
    const QImage b = pixelText(QStringLiteral("12:00"), 0.06 * 720, 3);
    EXPECT_EQ(b.height(), 22);  // ceil(1.5 × 14.4)
    // White ink, opaque somewhere, transparent at the border columns.
    int ink = 0;
    for (int y = 0; y < a.height(); ++y) {
        EXPECT_EQ(qAlpha(a.pixel(0, y)), 0);
        for (int x = 0; x < a.width(); ++x) ink += qAlpha(a.pixel(x, y)) == 255 && qRed(a.pixel(x, y)) == 255;
    }
    EXPECT_GT(ink, 20);
}

TEST(VHS, BatteryDrainsFromFourBarsToOneEveryTwentyFourSeconds) {
    EXPECT_EQ(vhsBatteryLevel(0.0), 4);
    EXPECT_EQ(vhsBatteryLevel(5.99), 4);
    EXPECT_EQ(vhsBatteryLevel(6.0), 3);
    EXPECT_EQ(vhsBatteryLevel(12.5), 2);
    EXPECT_EQ(vhsBatteryLevel(18.0), 1);
    EXPECT_EQ(vhsBatteryLevel(18.001), 1);
    EXPECT_EQ(vhsBatteryLevel(23.99), 1);
    EXPECT_EQ(vhsBatteryLevel(24.0), 4);
    EXPECT_EQ(vhsBatteryLevel(24.0 * 1000000 + 0.5), 4);

    // Bar centres from the layout at 1280×720.
    const double W = 1280, H = 720, bodyW = 0.052 * W, margin = 0.0125 * W, nubW = 0.1 * bodyW, bodyH = 0.46 * bodyW;
    const double lw = std::max(1.5, 0.09 * bodyH), x = W - margin - nubW - bodyW, y = H - margin - bodyH;
    const double ix = x + 1.6 * lw, iy = y + 1.6 * lw, iw = bodyW - 3.2 * lw, ih = bodyH - 3.2 * lw;
    const double gap = 0.06 * bodyW, barW = (iw - 3 * gap) * 0.25;
    auto barCentre = [&](int i) { return QPoint(int(ix + i * (barW + gap) + barW / 2), int(H - (iy + ih / 2))); };
    const Image grey = Image::fromQImage(solidImage(1280, 720, QColor(90, 90, 90)));
    for (double t : {quietVHSTime(240.0), quietVHSTime(258.2)}) {
        const int level = vhsBatteryLevel(t);
        const QImage f = renderFrame(renderVHS(grey, t));
        for (int i = 0; i < 4; ++i) {
            const QRgb p = f.pixel(barCentre(i));
            if (i < level)
                EXPECT_GE(qGray(p), 250) << "bar " << i << " at level " << level;
            else
                EXPECT_LT(qGray(p), 160) << "bar " << i << " at level " << level;
        }
        // The outline's top edge: white at the middle of the body, lw / 2 inside its top.
        EXPECT_GE(qGray(f.pixel(int(x + bodyW / 2), int(H - (y + bodyH - lw / 2)))), 240);
        // The nub, right of the body.
        EXPECT_GE(qGray(f.pixel(int(x + bodyW + nubW / 2), int(H - (y + bodyH / 2)))), 240);
    }
    EXPECT_EQ(vhsBatteryLevel(quietVHSTime(240.0)), 4);
    EXPECT_EQ(vhsBatteryLevel(quietVHSTime(258.2)), 1);
}

TEST(VHS, ChromaBleedMovesRedRightAndBlueLeft) {
    // A white vertical bar on black: red spills 5 px to the right, blue 5 px to the left.
    QImage src = solidImage(1280, 720, Qt::black);
    QPainter(&src).fillRect(600, 0, 80, 720, Qt::white);
    const double t = quietVHSTime(77.0);
    const QImage f = renderFrame(renderVHS(Image::fromQImage(src), t));
    // Row 400 (top-down), well below the readout; the wobble moves all channels alike, so compare
    // the channel edges with each other.
    const int row = 400;
    auto edge = [&](int channel) {
        for (int x = 500; x < 800; ++x) {
            const QRgb p = f.pixel(x, row);
            const int v = channel == 0 ? qRed(p) : channel == 1 ? qGreen(p) : qBlue(p);
            if (v >= 128) return x;
        }
        return -1;
    };
    EXPECT_NEAR(edge(0) - edge(1), 5, 1);
    EXPECT_NEAR(edge(1) - edge(2), 5, 1);
}

TEST(RetroEffects, SameTimeSamePictureAndTheyMove) {
    const Image src = Image::fromQImage(stepImage(1280, 720, 500));
    for (auto render : std::initializer_list<Image (*)(const Image&, double)>{renderOldTV, renderVHS}) {
        const QImage a = renderFrame(render(src, 12345.6)), b = renderFrame(render(src, 12345.6));
        EXPECT_EQ(0, std::memcmp(a.constBits(), b.constBits(), size_t(a.sizeInBytes())));
        const QImage c = renderFrame(render(src, 12346.1));
        EXPECT_NE(0, std::memcmp(a.constBits(), c.constBits(), size_t(a.sizeInBytes())));
    }
}

TEST(RetroEffects, KeepTheExtentOfAFourByThreeSource) {
    const Image fitted = fitToOutput(Image::fromQImage(solidImage(640, 480, QColor(128, 128, 128))), 1280, 720);
    ASSERT_EQ(fitted.extent(), (Rect{0, -120, 1280, 960}));
    EXPECT_EQ(renderOldTV(fitted, 99.0).extent(), fitted.extent());
    EXPECT_EQ(renderVHS(fitted, 99.0).extent(), fitted.extent());
    EXPECT_EQ(applyVideoEffect(VideoEffect::oldTV, fitted, 5.0, 0).extent(), fitted.extent());
    EXPECT_EQ(applyVideoEffect(VideoEffect::vhs, fitted, 5.0, 0).extent(), fitted.extent());
    // The readouts are laid out in the part of the picture that is published.
    EXPECT_EQ(layoutFrame(fitted.extent()), (Rect{0, 0, 1280, 720}));
    const double t = quietVHSTime(300.0);
    double tOn = t;
    while (!vhsReadoutVisible(tOn)) tOn = quietVHSTime(tOn + 0.05);
    const QImage f = renderFrame(renderVHS(fitted, tOn));
    EXPECT_GE(maxGreen(f, {16, 16, 400, 120}), 250);
}

TEST(DropoutLines, ShadeRowsAsTheOverlayDoes) {
    // t = 0: line 0 at y = 0, one pixel thick, alpha 0.1 — the bottom row is 10 % darker.
    const Image white = Image::fromQImage(solidImage(1280, 720, Qt::white));
    engine::Renderer r(1, 720);
    const std::vector<float> px = r.renderFloat(shadeDropoutLines(white, {0, 0, 1280, 720}, 0.0), {0, 0, 1280, 720});
    EXPECT_NEAR(px[0], 0.9f, 1e-5);
    EXPECT_NEAR(px[3], 1.0f, 1e-6);
    // And every line matches its formula: rows fully inside a line are darkened by its alpha.
    for (int i = 1; i < 16; ++i) {
        const double x = i * 37.13;
        const double y = std::fmod(x * 13.7, 720.0), th = std::trunc(std::fmod(x, 3.0)) + 1, a = (std::sin(x) * 0.5 + 0.5) * 0.1 + 0.05;
        const int row = int(std::ceil(y));
        if (row + 1 > y + th) continue;  // no row fully covered
        const float v = px[(size_t(row) * 1280 + 640) * 4];
        EXPECT_LE(v, 1.0 - a + 1e-4) << "line " << i;
    }
}

TEST(RetroEffects, TiledRenderEqualsOnePiece) {
    ostrela::test::forEachSimdTarget([&] {
        QImage q = stepImage(1280, 720, 500);
        QPainter(&q).fillRect(100, 100, 300, 200, QColor(200, 30, 90));
        const Image src = Image::fromQImage(q);
        for (auto render : std::initializer_list<Image (*)(const Image&, double)>{renderOldTV, renderVHS}) {
            const Image im = render(src, 4444.4);
            engine::Renderer one(1, 720), odd(2, 7);
            const QImage a = one.renderQImage(im, {0, 0, 1280, 720}), b = odd.renderQImage(im, {0, 0, 1280, 720});
            EXPECT_EQ(0, std::memcmp(a.constBits(), b.constBits(), size_t(a.sizeInBytes())));
            // A rectangle narrower than the picture takes the general paths; it agrees too.
            const QImage c = odd.renderQImage(im, {300, 200, 500, 300});
            const QImage ac = a.copy(300, 720 - 500, 500, 300);
            int bad = 0;
            for (int y = 0; y < 300; ++y)
                for (int x = 0; x < 500; ++x)
                    if (ac.pixel(x, y) != c.pixel(x, y) && bad++ < 3)
                        ADD_FAILURE() << x << "," << y << " " << std::hex << ac.pixel(x, y) << " vs " << c.pixel(x, y);
            EXPECT_EQ(bad, 0);
        }
    });
}

// The grain is made once per extent and kept at half precision: each pixel must still be the
// noise's own grey (the noise unpremultiplied, encoded, its luminance decoded) at the noise's
// alpha, at its own place, to 11 significant bits, on every vector target and on an extent that
// is not tile-aligned.
TEST(Grain, IsTheNoiseGreyAtItsPlace) {
    const Rect E{3, -5, 301, 77};
    const Image clear = Image::solid(engine::Color{}).cropped(E);
    test::forEachSimdTarget([&] {
        engine::Renderer renderer(2, 16);
        const engine::IRect r{3, -5, 301, 77};
        const std::vector<float> out = renderer.renderFloat(compositeGrain(clear, E, 1.0f), r);
        double worst = 0;
        for (int y = r.y; y < r.maxY(); ++y)
            for (int x = r.x; x < r.maxX(); ++x) {
                const float a = engine::NoiseNode::value(x, y, 3);
                float e[3];
                for (int c = 0; c < 3; ++c) {
                    const float v = engine::NoiseNode::value(x, y, c);
                    e[c] = engine::filters::encodeSRGBFast(v <= a ? v / a : v);
                }
                const float L = std::clamp(engine::filters::kLumR * e[0] + engine::filters::kLumG * e[1] +
                                               engine::filters::kLumB * e[2], 0.0f, 1.0f);
                const float grey = engine::filters::decodeSRGBFast(L) * a;
                const float* p = &out[(size_t(y - r.y) * r.w + (x - r.x)) * 4];
                for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(p[c] - grey) / (grey / 2048 + 1e-7));
                worst = std::max(worst, std::abs(p[3] - a) / (a / 2048 + 1e-7));
            }
        EXPECT_LT(worst, 1.0);
    });
}
