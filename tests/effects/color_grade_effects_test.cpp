// The colour-grade looks, checked by measured pixels of their rendered results.
#include "effects/ColorGradeEffects.h"
#include "effects/Effects.h"
#include "effects/Kernels.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/FrameComposer.h"
#include "pipeline/Settings.h"
#include "pipeline/SettingsKeys.h"
#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/Schedule.h"
#include "pipeline/engine/SimdTargets.h"
#include "tests/support/TestEnv.h"
#include "tests/effects/Looks.h"

#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace ostrela;
using namespace ostrela::effects;
using namespace ostrela::effects::testing;
using engine::Color;
using engine::Image;
using engine::IRect;
using engine::Rect;

namespace {

const Rect kFrame{0, 0, 1280, 720};
const Rect kFourByThree{0, -120, 1280, 960};

// A picture in working (linear) values, exactly, with the extent of a fitted 16:9 frame.
Image uniform(float r, float g, float b, const Rect& extent = kFrame) {
    return Image::solid(Color{r, g, b, 1.0f}).cropped(extent);
}

// Colour bars with a grey ramp below, as a camera would give them.
QImage bars(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    const QColor c[] = {Qt::white, Qt::yellow, Qt::cyan, Qt::green, Qt::magenta, Qt::red, Qt::blue, Qt::black};
    for (int i = 0; i < 8; ++i) p.fillRect(QRect(i * w / 8, 0, (i + 1) * w / 8 - i * w / 8, h / 2), c[i]);
    QLinearGradient g(0, 0, w, 0);
    g.setColorAt(0, Qt::black);
    g.setColorAt(1, Qt::white);
    p.fillRect(QRect(0, h / 2, w, h - h / 2), g);
    return img;
}

struct Pixels {
    IRect rect;
    std::vector<float> f;  // linear premultiplied RGBA, bottom row first
    const float* at(int x, int y) const { return f.data() + (size_t(y - rect.y) * rect.w + (x - rect.x)) * 4; }
};

Pixels renderFloat(const Image& img, const IRect& r) {
    engine::Renderer renderer(2, 64);
    return {r, renderer.renderFloat(img, r)};
}

// Mean of one channel over a rectangle (engine coordinates).
double mean(const Pixels& p, const IRect& r, int channel) {
    double s = 0;
    for (int y = r.y; y < r.maxY(); ++y)
        for (int x = r.x; x < r.maxX(); ++x) s += p.at(x, y)[channel];
    return s / (double(r.w) * r.h);
}

Image fitted(const QImage& img) { return fitToOutput(Image::fromQImage(img), 1280, 720); }

using Renderer = Image (*)(const Image&, double);
struct Look {
    const char* name;
    VideoEffect effect;
};
const Look kLooks[] = {{"thermal", VideoEffect::thermal},       {"nightOps", VideoEffect::nightOps},
                       {"xray", VideoEffect::xray},             {"noir", VideoEffect::noir},
                       {"anaglyph3D", VideoEffect::anaglyph3D}, {"snow", VideoEffect::snow},
                       {"cyberOps", VideoEffect::cyberOps}};

}  // namespace

// ---- Thermal ----

TEST(Thermal, PaletteStopsAtTheCentreOfTheFrame) {
    // Black, luminance exactly 0.5 and white; the vignette leaves the centre as it is, so the
    // colours are the palette's stops, and the blur of a uniform picture changes nothing there.
    struct Case { float v; float r, g, b; };
    for (Case c : {Case{0.0f, 0, 0, 0.25f}, Case{0.5f, 0, 1.0f, 0.4f}, Case{1.0f, 1.0f, 0.05f, 0.0f}}) {
        Image out = renderThermal(uniform(c.v, c.v, c.v));
        EXPECT_EQ(out.extent(), kFrame);
        Pixels p = renderFloat(out, {636, 356, 8, 8});
        const float* px = p.at(640, 360);
        EXPECT_NEAR(px[0], c.r, 2e-3) << c.v;
        EXPECT_NEAR(px[1], c.g, 2e-3) << c.v;
        EXPECT_NEAR(px[2], c.b, 2e-3) << c.v;
        EXPECT_NEAR(px[3], 1.0f, 1e-6) << c.v;
    }
}

TEST(Thermal, VignetteDarkensTheCornersAndBlurSoftensEdges) {
    Image out = renderThermal(uniform(1, 1, 1));
    Pixels p = renderFloat(out, {0, 0, 1280, 720});
    // White maps to (1, 0.05, 0): the corners are darker than the centre.
    EXPECT_LT(mean(p, {20, 20, 10, 10}, 0), 0.8 * mean(p, {635, 355, 10, 10}, 0));
    // A hard black/white edge comes out spread over several pixels by the blur (sigma 2.5).
    QImage half(1280, 720, QImage::Format_ARGB32_Premultiplied);
    half.fill(Qt::black);
    QPainter(&half).fillRect(QRect(640, 0, 640, 720), Qt::white);
    Pixels e = renderFloat(renderThermal(fitted(half)), {630, 360, 20, 1});
    int intermediate = 0;
    for (int x = 630; x < 650; ++x) {
        const float* px = e.at(x, 360);
        // Between the stops blue (0,0,0.25) and red (1,0.05,0) the palette passes green.
        if (px[1] > 0.3f) ++intermediate;
    }
    EXPECT_GE(intermediate, 2);
    EXPECT_LE(intermediate, 8);
}

// ---- NightOps ----

TEST(NightOps, OnlyRedSurvives) {
    Image out = renderNightOps(fitted(bars(1280, 720)));
    Pixels p = renderFloat(out, {0, 0, 1280, 720});
    float maxG = 0, maxB = 0, maxR = 0;
    for (size_t i = 0; i < p.f.size(); i += 4) {
        maxR = std::max(maxR, p.f[i]);
        maxG = std::max(maxG, std::abs(p.f[i + 1]));
        maxB = std::max(maxB, std::abs(p.f[i + 2]));
    }
    EXPECT_EQ(maxG, 0.0f);
    EXPECT_EQ(maxB, 0.0f);
    EXPECT_GT(maxR, 0.5f);
    // The grey picture becomes red: the white bar (top left) is red, the black one dark.
    EXPECT_GT(mean(p, {40, 600, 40, 40}, 0), 0.25);
    EXPECT_LT(mean(p, {1200, 600, 40, 40}, 0), 0.02);
    // White at the centre, where the vignette leaves the picture as it is: full red.
    Pixels w = renderFloat(renderNightOps(uniform(1, 1, 1)), {638, 358, 4, 4});
    EXPECT_NEAR(w.at(640, 360)[0], 1.0f, 1e-3);
    // The vignette darkens the corners.
    Pixels c = renderFloat(renderNightOps(uniform(1, 1, 1)), {0, 0, 4, 4});
    EXPECT_LT(c.at(0, 0)[0], 0.5f);
}

// ---- 3D ----

TEST(Anaglyph3D, UniformGreyKeepsOnlyOneColourInTheEdgeStrips) {
    for (const Rect& ext : {kFrame, kFourByThree}) {
        Image out = renderAnaglyph3D(uniform(0.4f, 0.4f, 0.4f, ext));
        EXPECT_EQ(out.extent(), ext);
        Pixels p = renderFloat(out, {0, 0, 1280, 720});
        const int y = 300;
        const float* mid = p.at(640, y);
        // The middle: red from one eye, green and blue from the other, a grey again.
        EXPECT_GT(mid[0], 0.05f);
        EXPECT_NEAR(mid[0], mid[1], 1e-5);
        EXPECT_NEAR(mid[1], mid[2], 1e-5);
        for (int x : {10, 100, 1269}) {
            const float* q = p.at(x, y);
            for (int c = 0; c < 4; ++c) EXPECT_NEAR(q[c], mid[c], 1e-5) << x;
        }
        // Left strip x = 0 … 9: red only. Right strip 1270 … 1279: green and blue only.
        for (int x : {0, 5, 9}) {
            const float* q = p.at(x, y);
            EXPECT_NEAR(q[0], mid[0], 1e-5) << x;
            EXPECT_EQ(q[1], 0.0f) << x;
            EXPECT_EQ(q[2], 0.0f) << x;
        }
        for (int x : {1270, 1275, 1279}) {
            const float* q = p.at(x, y);
            EXPECT_EQ(q[0], 0.0f) << x;
            EXPECT_NEAR(q[1], mid[1], 1e-5) << x;
            EXPECT_NEAR(q[2], mid[2], 1e-5) << x;
        }
        // Every row alike.
        for (int yy : {0, 719}) EXPECT_NEAR(p.at(640, yy)[0], mid[0], 1e-5);
    }
}

TEST(Anaglyph3D, EyesAreShiftedTenPixelsApart) {
    // A white vertical line at x = 640 on black: its red copy sits at 630, the cyan one at 650.
    QImage img(1280, 720, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::black);
    QPainter(&img).fillRect(QRect(640, 0, 1, 720), Qt::white);
    Pixels p = renderFloat(renderAnaglyph3D(fitted(img)), {600, 360, 80, 1});
    EXPECT_GT(p.at(630, 360)[0], 0.5f);
    EXPECT_LT(p.at(630, 360)[1], 0.05f);
    EXPECT_GT(p.at(650, 360)[1], 0.5f);
    EXPECT_GT(p.at(650, 360)[2], 0.5f);
    EXPECT_LT(p.at(650, 360)[0], 0.05f);
    EXPECT_LT(p.at(640, 360)[0] + p.at(640, 360)[1], 0.1f);
}

TEST(Anaglyph3D, FourByThreeCameraInTheFrameStep) {
    // The camera path: a 640×480 grey frame resampled once to 1280×960 and shown 120 rows down.
    test::ScopedTestEnv env;
    SettingsStore::resetForTesting();
    settings::setVideoEffect(VideoEffect::anaglyph3D);
    FrameComposer composer(2);
    std::vector<uint8_t> frame(kFrameBytes);
    QImage cam(640, 480, QImage::Format_ARGB32_Premultiplied);
    cam.fill(QColor(128, 128, 128));
    composer.render(cam, nullptr, 1000, frame.data());
    auto px = [&](int x, int y) { return reinterpret_cast<const QRgb*>(frame.data() + size_t(y) * kFrameStride)[x]; };
    for (int y : {0, 360, 719}) {
        const QRgb mid = px(640, y);
        EXPECT_EQ(qRed(mid), qGreen(mid));
        EXPECT_EQ(qGreen(mid), qBlue(mid));
        EXPECT_GT(qRed(mid), 100);
        for (int x : {0, 9}) {
            EXPECT_EQ(qRed(px(x, y)), qRed(mid)) << x;
            EXPECT_EQ(qGreen(px(x, y)), 0) << x;
            EXPECT_EQ(qBlue(px(x, y)), 0) << x;
        }
        EXPECT_EQ(px(10, y), mid);
        for (int x : {1270, 1279}) {
            EXPECT_EQ(qRed(px(x, y)), 0) << x;
            EXPECT_EQ(qGreen(px(x, y)), qGreen(mid)) << x;
        }
        EXPECT_EQ(px(1269, y), mid);
    }
    SettingsStore::resetForTesting();
}

TEST(NightOps, HalfTransparentPictureKeepsItsAlpha) {
    // A 50 % white picture: half-covered, and what covers it is full red at the centre.
    QImage img(1280, 720, QImage::Format_ARGB32_Premultiplied);
    img.fill(qRgba(128, 128, 128, 128));
    Pixels p = renderFloat(renderNightOps(fitted(img)), {638, 358, 4, 4});
    const float* c = p.at(640, 360);
    EXPECT_NEAR(c[3], 128 / 255.0f, 1e-6);
    EXPECT_NEAR(c[0] / c[3], 1.0f, 1e-3);
    EXPECT_EQ(c[1], 0.0f);
    EXPECT_EQ(c[2], 0.0f);
}

// ---- X-Ray and Noir ----

TEST(Xray, NegativeInNavyAndIce) {
    // Black becomes the light end (ice), white the dark end (navy); blue dominates both.
    Pixels dark = renderFloat(renderXray(uniform(1, 1, 1)), {636, 356, 8, 8});
    Pixels light = renderFloat(renderXray(uniform(0, 0, 0)), {636, 356, 8, 8});
    const float* d = dark.at(640, 360);
    const float* l = light.at(640, 360);
    EXPECT_GT(l[1], d[1] + 0.3f);
    EXPECT_GE(l[2], l[0]);
    EXPECT_GE(d[2], d[0]);
    EXPECT_LT(d[0] + d[1] + d[2], 0.15f);
}

// Thermal's heat haze and X-Ray's glow are soft layers the engine makes on the half grid, and
// Thermal's palette is read from a table: against the looks done literally (full-grid blurs,
// the palette per pixel), on a camera-like picture of bars, shapes and a ramp, the 8-bit frames
// are off by under half a level on average and at most 8 levels at the 99.9th percentile.
TEST(SoftLayers, ThermalAndXRayStayWithinWhatASoftLayerMayBeOff) {
    QImage cam = bars(1280, 720);
    {
        QPainter p(&cam);
        p.setRenderHint(QPainter::Antialiasing);  // edges as a lens draws them
        QLinearGradient g(0, 0, 1280, 0);
        g.setColorAt(0, QColor(0, 0, 0));
        g.setColorAt(1, QColor(255, 240, 220));
        p.fillRect(QRect(0, 500, 1280, 120), g);
        p.setBrush(QColor(230, 180, 140));
        p.drawEllipse(QRect(500, 120, 280, 340));
        p.setPen(QPen(Qt::white, 2));
        for (int i = 0; i < 30; ++i) p.drawLine(i * 43, 0, 1280 - i * 43, 720);
    }
    const Image src = fitted(cam);
    engine::Renderer renderer(2, 64);
    for (const auto& [name, look] : {std::pair{"Thermal", &renderThermal}, std::pair{"X-Ray", &renderXray}}) {
        QImage out[2];
        for (int plain = 0; plain < 2; ++plain) {
            engine::setStraightforwardChains(plain == 1);
            out[plain] = renderer.renderQImage(look(src), {0, 0, 1280, 720});
        }
        engine::setStraightforwardChains(false);
        std::vector<int> hist(256);
        double sum = 0;
        for (int y = 0; y < 720; ++y)
            for (int x = 0; x < 1280 * 4; ++x) {
                const int d = std::abs(int(out[0].constScanLine(y)[x]) - int(out[1].constScanLine(y)[x]));
                ++hist[size_t(d)];
                sum += d;
            }
        const double n = 1280.0 * 720 * 4;
        int p999 = 0;
        for (double below = 0; p999 < 255 && (below += hist[size_t(p999)]) < 0.999 * n;) ++p999;
        EXPECT_LT(sum / n, 0.5) << name;
        EXPECT_LE(p999, 8) << name;
        EXPECT_GT(sum, 0.0) << name << ": the soft layers were not made on the half grid";
        std::printf("%s against the literal look: mean %.3f levels, 99.9th percentile %d\n", name, sum / n, p999);
    }
}

TEST(Noir, GreyscaleWithTintedEnds) {
    Image out = renderNoir(fitted(bars(1280, 720)));
    Pixels p = renderFloat(out, {0, 0, 1280, 720});
    // Red, green and blue stay nearly equal everywhere: a black-and-white picture.
    double maxSpread = 0;
    for (size_t i = 0; i < p.f.size(); i += 4) {
        const float r = p.f[i], g = p.f[i + 1], b = p.f[i + 2];
        maxSpread = std::max(maxSpread, double(std::max({r, g, b}) - std::min({r, g, b})));
    }
    EXPECT_LT(maxSpread, 0.08);
    // White bar light, black bar dark.
    EXPECT_GT(mean(p, {60, 560, 40, 40}, 1), 0.5);
    EXPECT_LT(mean(p, {1180, 560, 40, 40}, 1), 0.1);
}

// Noir's pictures are grey until the false colour: the engine finds its edges from one channel
// and reads its tone steps from tables of the grey level. Against the filters done literally, on
// hard bar edges, a ramp and translucent shapes (whose pixels the tables do not give).
TEST(Noir, GreyTablesAndOneChannelEdgesMatchTheFilters) {
    ostrela::test::forEachSimdTarget([&] {
        QImage cam = bars(1280, 720);
        {
            QPainter p(&cam);
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.fillRect(QRect(300, 100, 200, 120), QColor(200, 60, 30, 128));
            p.setPen(QPen(QColor(255, 255, 255, 90), 3));
            p.drawEllipse(QRect(820, 80, 300, 200));
        }
        const Image src = Image::fromQImage(cam);
        engine::Renderer renderer(2, 64);
        QImage out[2];
        for (int plain = 0; plain < 2; ++plain) {
            engine::setStraightforwardChains(plain == 1);
            out[plain] = renderer.renderQImage(renderNoir(src), {0, 0, 1280, 720});
        }
        engine::setStraightforwardChains(false);
        int maxErr = 0;
        double sum = 0;
        for (int y = 0; y < 720; ++y) {
            const uchar* a = out[0].constScanLine(y);
            const uchar* b = out[1].constScanLine(y);
            for (int x = 0; x < 1280 * 4; ++x) {
                const int d = std::abs(int(a[x]) - int(b[x]));
                maxErr = std::max(maxErr, d);
                sum += d;
            }
        }
        EXPECT_LE(maxErr, 2);
        EXPECT_LT(sum / (1280.0 * 720 * 4), 0.01);
        EXPECT_GT(sum, 0.0) << "the tables were not used";
        std::printf("%s: max %d, mean %.4f levels\n", engine::simd::targetName(), maxErr, sum / (1280.0 * 720 * 4));
        // The lines are there: the boundary between the green and magenta bars (x = 640) is lighter
        // than the magenta bar a few pixels away.
        const int edge = qGreen(out[0].pixel(640, 250)), magenta = qGreen(out[0].pixel(660, 250));
        EXPECT_GT(edge, magenta + 20);
    });
}

// Transparent and half-transparent parts of the camera picture keep their alpha with the grey
// tables as without them (the plain chain leaves a transparent area transparent).
TEST(Noir, TransparentAreasStayTransparentWithTheGreyTables) {
    ostrela::test::forEachSimdTarget([&] {
        QImage cam = bars(1280, 720);
        {
            QPainter p(&cam);
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.fillRect(QRect(0, 0, 400, 720), Qt::transparent);            // fully transparent
            p.fillRect(QRect(700, 0, 300, 720), QColor(200, 200, 200, 128)); // half transparent
        }
        const Image src = Image::fromQImage(cam);
        engine::Renderer renderer(2, 64);
        QImage out[2];
        for (int plain = 0; plain < 2; ++plain) {
            engine::setStraightforwardChains(plain == 1);
            // Rendered twice: the first frame leaves its tile memory behind for the second.
            renderer.renderQImage(renderNoir(fitted(bars(1280, 720))), {0, 0, 1280, 720});
            out[plain] = renderer.renderQImage(renderNoir(src), {0, 0, 1280, 720});
        }
        engine::setStraightforwardChains(false);
        // Well inside the regions (the bloom spreads a little glow, and alpha, over their borders).
        for (int y = 100; y < 620; y += 50) {
            EXPECT_EQ(qAlpha(out[1].pixel(200, y)), 0) << y;
            EXPECT_EQ(qAlpha(out[0].pixel(200, y)), 0) << y;
            EXPECT_GT(qAlpha(out[1].pixel(850, y)), 100) << y;
            EXPECT_LT(qAlpha(out[1].pixel(850, y)), 250) << y;
            EXPECT_NEAR(qAlpha(out[0].pixel(850, y)), qAlpha(out[1].pixel(850, y)), 1) << y;
        }
        int maxAlphaErr = 0;
        for (int y = 0; y < 720; ++y)
            for (int x = 0; x < 1280; ++x)
                maxAlphaErr = std::max(maxAlphaErr, std::abs(qAlpha(out[0].pixel(x, y)) - qAlpha(out[1].pixel(x, y))));
        EXPECT_LE(maxAlphaErr, 2);
    });
}

// ---- Snow ----

TEST(Snow, LayerOffsetsAtTimeZeroAndLater) {
    SnowOffsets o = snowOffsets(0, 1280);
    EXPECT_EQ(o.ax, 0.0);
    EXPECT_EQ(o.ay, 0.0);
    EXPECT_DOUBLE_EQ(o.bx, std::sin(5531.0) * 0.035 * 1280);
    EXPECT_DOUBLE_EQ(o.by, -5531.0);
    // 95 and 45 pixels a second downwards, wrapping every 10000 pixels.
    SnowOffsets l = snowOffsets(2.0, 1280);
    EXPECT_DOUBLE_EQ(l.ay, -190.0);
    EXPECT_DOUBLE_EQ(l.by, -(90.0 + 5531.0));
    EXPECT_DOUBLE_EQ(l.ax, std::sin(1.2) * 12.8);
    EXPECT_NEAR(snowOffsets(10000.0 / 95.0 + 1.0, 1280).ay, -95.0, 1e-6);
}

TEST(Snow, FlakesAreVisibleAndFallDownwards) {
    // Over a dark grey picture the grade alone is uniform; flakes are the pixels well above it.
    const Image src = uniform(0.05f, 0.05f, 0.05f);
    auto flakeMask = [&](double t, int* count, double* meanY) {
        Pixels p = renderFloat(renderSnow(src, t), {0, 0, 1280, 720});
        const float base = p.at(0, 0)[1];
        (void)base;
        // The grade of 0.05 grey is below 0.06 in every channel.
        std::vector<uint8_t> mask(1280 * 720);
        int n = 0;
        double sy = 0;
        for (int y = 0; y < 720; ++y)
            for (int x = 0; x < 1280; ++x)
                if (p.at(x, y)[1] > 0.12f) {
                    mask[size_t(y) * 1280 + x] = 1;
                    ++n;
                    sy += y;
                }
        *count = n;
        *meanY = n ? sy / n : 0;
        return mask;
    };
    for (bool shortcuts : {true, false}) {
    SCOPED_TRACE(shortcuts ? "kept noise, spread points" : "filters alone");
    engine::setStraightforwardChains(!shortcuts);
    int n0 = 0, n1 = 0;
    double y0 = 0, y1 = 0;
    const double t = 3000.25;
    std::vector<uint8_t> a = flakeMask(t, &n0, &y0);
    std::vector<uint8_t> b = flakeMask(t + 0.1, &n1, &y1);
    // Flakes are there, and they are specks, not a veil.
    EXPECT_GT(n0, 200);
    EXPECT_LT(n0, 1280 * 720 / 20);
    // A tenth of a second later the fine flakes are 9.5 pixels lower: the mask shifted down by
    // 9 or 10 rows overlaps the new one far better than the unshifted mask does.
    auto overlap = [&](int dy) {
        int o = 0;
        for (int y = 0; y + dy < 720; ++y)
            for (int x = 0; x < 1280; ++x) o += a[size_t(y + dy) * 1280 + x] & b[size_t(y) * 1280 + x];
        return o;
    };
    EXPECT_GT(std::max(overlap(9), overlap(10)), 3 * overlap(0) + 10);
    }
    engine::setStraightforwardChains(false);
}

TEST(Snow, KeptPatternsGiveThePixelsOfTheFiltersFrameAfterFrame) {
    // Three frames of one look: the first makes the noise's blocks, the next read them kept (and
    // one, 40 seconds on, meets rows the layers had not reached). The plain filters read every
    // pixel of fresh noise each time.
    const Image src = fitted(bars(1280, 720));
    Snow kept;
    for (double t : {3000.25, 3000.25 + 1 / 30.0, 3040.0}) {
        SCOPED_TRACE(t);
        const std::vector<float> a = renderFloat(kept.render(src, FrameContext{t, VideoEffect::none, {}}), {0, 0, 1280, 720}).f;
        engine::setStraightforwardChains(true);
        const std::vector<float> b = renderFloat(renderSnow(src, t), {0, 0, 1280, 720}).f;
        engine::setStraightforwardChains(false);
        float worst = 0;
        for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
        EXPECT_LT(worst, 1e-5f);
    }
    EXPECT_TRUE(kept.holdsSpecks());
}

TEST(Snow, GradeIsCool) {
    Pixels p = renderFloat(renderSnow(uniform(0.5f, 0.5f, 0.5f), 100.0), {0, 0, 1280, 720});
    // Medians of the channels: the flakes are too few to move them.
    auto median = [&](int c) {
        std::vector<float> v;
        for (size_t i = 0; i < p.f.size(); i += 4) v.push_back(p.f[i + size_t(c)]);
        std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    const float r = median(0), g = median(1), b = median(2);
    EXPECT_LT(r, g);
    EXPECT_LT(g, b);
    EXPECT_NEAR(b / r, 1.06f / 0.97f, 0.02f);
}

// ---- CyberOps and the glyph rain ----

namespace {
// Ink (alpha) of the rain per 18-pixel column, over the whole height.
std::vector<int> inkPerColumn(const QImage& rain, int columns) {
    std::vector<int> ink(size_t(columns) + 1, 0);
    for (int y = 0; y < rain.height(); ++y)
        for (int x = 0; x < rain.width(); ++x)
            if (qAlpha(rain.pixel(x, y)) > 0) ink[size_t(std::min(x / 18, columns))]++;
    return ink;
}
}  // namespace

TEST(GlyphRain, ColumnCountFollowsTheWidth) {
    engine::Renderer r(2, 64);
    struct Case { double w; int columns; };
    for (Case c : {Case{1280, 71}, Case{100, 5}, Case{10, 1}, Case{17.9, 1}, Case{36, 2}}) {
        const double t = 5001.0;
        GlyphRainLayout l = glyphRainLayout(c.w, 3000, t);
        EXPECT_EQ(l.columns, c.columns) << c.w;
        Image rain = glyphRain(c.w, 3000, t);
        EXPECT_EQ(rain.extent(), (Rect{0, 0, std::max(1.0, std::round(c.w)), 3000})) << c.w;
        QImage img = r.renderQImage(rain, {0, 0, int(std::lround(c.w)), 3000});
        std::vector<int> ink = inkPerColumn(img, c.columns);
        // A column shows ink exactly when its trail is on screen; nothing right of the last one.
        std::vector<int> placed(size_t(c.columns), 0);
        for (const GlyphPlacement& g : l.glyphs) placed[size_t(g.column)]++;
        int shown = 0;
        for (int k = 0; k < c.columns; ++k) {
            if (placed[size_t(k)]) {
                ++shown;
                EXPECT_GT(ink[size_t(k)], 20) << c.w << " column " << k;
            } else {
                EXPECT_EQ(ink[size_t(k)], 0) << c.w << " column " << k;
            }
        }
        EXPECT_GE(shown, c.columns * 9 / 10) << c.w;  // 3000 rows: nearly all trails are on screen
        EXPECT_EQ(ink[size_t(c.columns)], 0) << c.w;
    }
}

TEST(GlyphRain, LeadingGlyphAtFullBrightnessAndTrailFading) {
    const double t = 12345.75;
    GlyphRainLayout l = glyphRainLayout(1280, 720, t);
    engine::Renderer r(2, 64);
    QImage img = r.renderQImage(glyphRain(1280, 720, t), {0, 0, 1280, 720});
    int leading = 0;
    for (const GlyphPlacement& g : l.glyphs) {
        // The glyph's ink lies in its 18-pixel cell above the baseline (top down: top … top + 18).
        const int x0 = int(g.x), y0 = int(std::ceil(g.top)) + 2, y1 = std::min(int(g.top) + 18, 720);
        int best = 0;
        QRgb bestPx = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x0 + 18; ++x) {
                QRgb px = img.pixel(x, y);
                if (qAlpha(px) > best) {
                    best = qAlpha(px);
                    bestPx = px;
                }
            }
        if (y1 - y0 < 14) continue;  // cut by the frame edge
        if (g.trail == 0) {
            ++leading;
            // (0.1, 1.0, 0.15) at alpha 1, in 8-bit sRGB: (26, 255, 38).
            EXPECT_EQ(qAlpha(bestPx), 255) << g.column;
            EXPECT_EQ(qGreen(bestPx), 255) << g.column;
            EXPECT_NEAR(qRed(bestPx), 26, 1) << g.column;
            EXPECT_NEAR(qBlue(bestPx), 38, 1) << g.column;
        } else {
            const double f = 1.0 - g.trail / 14.0;
            EXPECT_NEAR(qAlpha(bestPx), f * f * 255, 2) << g.column << "/" << g.trail;
            // Premultiplied 8-bit green: g × alpha with g = f / 2.
            EXPECT_NEAR(qGreen(bestPx), f * 0.5 * qAlpha(bestPx), 1.5) << g.column << "/" << g.trail;
        }
    }
    EXPECT_GT(leading, 20);
}

TEST(GlyphRain, LayoutFormulas) {
    // Column 0 moves at 80 px/s from phase 0: head = fmod(80 t, Hp + 252) − 252.
    const double t = 0.15;  // head = −240: below −234, nothing of column 0 is on screen
    GlyphRainLayout l = glyphRainLayout(1280, 720, t);
    for (const GlyphPlacement& g : l.glyphs) EXPECT_NE(g.column, 0);
    engine::Renderer r(2, 64);
    QImage img = r.renderQImage(glyphRain(1280, 720, t), {0, 0, 1280, 720});
    EXPECT_EQ(inkPerColumn(img, 71)[0], 0);
    // At t = 3.3, head = 12: glyphs r = 0 … 13 at top 12 + 18 (13 − r); the leading one lowest.
    l = glyphRainLayout(1280, 720, 3.3);
    std::vector<GlyphPlacement> c0;
    for (const GlyphPlacement& g : l.glyphs)
        if (g.column == 0) c0.push_back(g);
    ASSERT_EQ(c0.size(), 14u);
    for (int k = 0; k < 14; ++k) {
        EXPECT_EQ(c0[size_t(k)].trail, k);
        EXPECT_NEAR(c0[size_t(k)].top, 12 + 18 * (13 - k), 1e-9);
        EXPECT_NEAR(c0[size_t(k)].baselineY, 720 - (12 + 18 * (13 - k)) - 18, 1e-9);
        // step = floor(13.2) = 13, phase 0: index = trunc(fmod(3.7 k + 13, 42)).
        EXPECT_EQ(c0[size_t(k)].glyph, int(std::fmod(3.7 * k + 13, 42.0)));
    }
    // Column 1: speed fmod(12.9898, 140) + 80, head from fmod(12.9898, 1000).
    const double head1 = std::fmod(12.9898 + 92.9898 * 3.3, 972.0) - 252;
    for (const GlyphPlacement& g : l.glyphs)
        if (g.column == 1) {
            EXPECT_NEAR(g.top, head1 + 18 * (13 - g.trail), 1e-9);
            EXPECT_EQ(g.x, 18.0);
        }
    // The glyph changes four times a second.
    EXPECT_NE(glyphRainLayout(1280, 720, 3.3).glyphs[0].glyph, glyphRainLayout(1280, 720, 3.55).glyphs[0].glyph);
    // Degenerate sizes still give one column and a 1×1 overlay.
    EXPECT_EQ(glyphRainLayout(0, 0, 1).columns, 1);
    EXPECT_EQ(glyphRain(0, -5, 1).extent(), (Rect{0, 0, 1, 1}));
}

namespace {
// The glyphs of one 18-pixel column as seen in the picture, top to bottom: each a run of rows with
// some green, separated by empty rows, with its brightest green and its first row.
struct SeenGlyph {
    int top = 0;
    int peak = 0;
};
std::vector<SeenGlyph> seenGlyphs(const QImage& img, int column) {
    std::vector<SeenGlyph> out;
    bool inside = false;
    for (int y = 0; y < img.height(); ++y) {
        int best = 0;
        for (int x = column * 18; x < column * 18 + 18; ++x) best = std::max(best, qGreen(img.pixel(x, y)));
        if (best > 0 && !inside) out.push_back({y, 0});
        if (best > 0) out.back().peak = std::max(out.back().peak, best);
        inside = best > 0;
    }
    return out;
}
}  // namespace

TEST(GlyphRain, TheBrightHeadLeadsTheFallWithItsTrailFadingAbove) {
    // Column 0 falls at 80 px/s; at t = 5 its whole trail is on screen and at t = 5.1 it has
    // fallen 8 px showing the same glyphs (they change every quarter second).
    engine::Renderer r(2, 64);
    const Image black = uniform(0, 0, 0);
    {
        CyberOps look;
        const QImage a = r.renderQImage(look.render(black, FrameContext{5.0, VideoEffect::none, {}}), {0, 0, 1280, 720});
        const QImage b = r.renderQImage(look.render(black, FrameContext{5.1, VideoEffect::none, {}}), {0, 0, 1280, 720});
        const std::vector<SeenGlyph> ga = seenGlyphs(a, 0), gb = seenGlyphs(b, 0);
        // The faintest glyphs at the end of the trail may round to nothing; most are seen.
        ASSERT_GE(ga.size(), 10u);
        ASSERT_LE(ga.size(), 14u);
        // Green grows downwards, glyph after glyph, up to the full head at the bottom.
        for (size_t k = 1; k < ga.size(); ++k) EXPECT_GT(ga[k].peak, ga[k - 1].peak) << k;
        EXPECT_EQ(ga.back().peak, 255);
        EXPECT_LT(ga.front().peak, 40);
        // Nothing of the column lies below its head.
        EXPECT_LT(ga.back().top, 720 - 18);
        // The head moves down with time, by 80 px/s × 0.1 s.
        ASSERT_EQ(gb.size(), ga.size());
        EXPECT_EQ(gb.back().peak, 255);
        EXPECT_NEAR(gb.back().top - ga.back().top, 8, 1);
        EXPECT_NEAR(gb.front().top - ga.front().top, 8, 1);
    }
}

TEST(GlyphRain, GlyphsAreDrawnAtSixteenPixelsAndFillTheGlyphCache) {
    engine::Renderer r(1, 64);
    // One column; the leading glyph's ink is about 12 px tall (the cap height of a 16.2-pixel
    // font), not the 16 px a 96-dpi rendering of 16.2 points gives. At t = 3.3 its cell is rows
    // 246 … 263, its baseline at 264; the glyph above it ends on row 246.
    GlyphRainLayout l = glyphRainLayout(18, 400, 3.3);
    ASSERT_FALSE(l.glyphs.empty());
    QImage img = r.renderQImage(glyphRain(18, 400, 3.3), {0, 0, 18, 400});
    int top = 400, bottom = -1;
    for (int y = 247; y < 247 + 30; ++y)
        for (int x = 0; x < 18; ++x)
            if (qAlpha(img.pixel(x, y)) > 128) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    EXPECT_GE(bottom - top + 1, 10);
    EXPECT_LE(bottom - top + 1, 14);
    EXPECT_GE(top, 248);
    EXPECT_LE(bottom, 246 + 18);  // above the baseline at top + 18
}

TEST(CyberOps, DarkGreenPictureUnderTheRain) {
    const double t = 12345.75;
    CyberOps look;
    EXPECT_EQ(look.preparedGlyphs(), 0);
    Image out = look.render(fitted(bars(1280, 720)), FrameContext{t, VideoEffect::none, {}});
    EXPECT_GT(look.preparedGlyphs(), 0);
    EXPECT_LE(look.preparedGlyphs(), EffectResources::kGlyphCount);
    EXPECT_EQ(out.extent(), kFrame);
    engine::Renderer r(2, 64);
    QImage img = r.renderQImage(out, {0, 0, 1280, 720});
    // Between the glyphs (columns are 18 px apart, glyphs 10 px wide) the white bar is dark green.
    for (int x : {14, 32, 50, 140}) {
        QRgb px = img.pixel(x, 100);
        EXPECT_GT(qGreen(px), 40) << x;
        EXPECT_LT(qGreen(px), 120) << x;
        EXPECT_GT(qGreen(px), qRed(px) + 20) << x;
        EXPECT_GT(qGreen(px), qBlue(px) + 20) << x;
    }
    // A leading glyph screened over the picture keeps green at its full 255.
    GlyphRainLayout l = glyphRainLayout(1280, 720, t);
    int full = 0, leading = 0;
    for (const GlyphPlacement& gp : l.glyphs) {
        if (gp.trail != 0 || gp.top + 18 > 720) continue;
        ++leading;
        int best = 0;
        for (int y = int(gp.top) + 2; y < int(gp.top) + 18; ++y)
            for (int x = int(gp.x); x < int(gp.x) + 18; ++x) best = std::max(best, qGreen(img.pixel(x, y)));
        full += best == 255;
    }
    EXPECT_GT(leading, 20);
    EXPECT_EQ(full, leading);
}

// ---- All seven ----

TEST(ColorGrades, KeepTheFittedExtentOfAFourByThreeSource) {
    const Image src = fitted(bars(640, 480));
    ASSERT_EQ(src.extent(), kFourByThree);
    for (const Look& look : kLooks) {
        Image out = applyVideoEffect(look.effect, src, 7.7e8, 0);
        EXPECT_EQ(out.extent(), kFourByThree) << look.name;
        EXPECT_NE(out.node(), src.node()) << look.name;
    }
}

TEST(ColorGrades, EmptyTinyAndEndlessPicturesAreHarmless) {
    engine::Renderer r(2, 64);
    const Image tiny = Image::fromQImage([] {
        QImage q(40, 2, QImage::Format_ARGB32_Premultiplied);
        q.fill(Qt::white);
        return q;
    }());
    const Image endless = Image::solid(Color{0.2f, 0.3f, 0.4f, 1.0f});
    for (const Look& look : kLooks) {
        EXPECT_TRUE(r.renderQImage(applyVideoEffect(look.effect, Image(), 100, 0), {0, 0, 8, 8}).pixel(0, 0) == 0u)
            << look.name;
        Image small = applyVideoEffect(look.effect, tiny, 100, 0);
        EXPECT_EQ(small.extent(), (Rect{0, 0, 40, 2})) << look.name;
        QImage out = r.renderQImage(small, {0, 0, 40, 2});
        EXPECT_EQ(qAlpha(out.pixel(20, 1)), 255) << look.name;  // 3D: both eyes cover the middle
        // A picture without bounds (nothing fitted) still renders.
        QImage e = r.renderQImage(applyVideoEffect(look.effect, endless, 100, 0), {0, 0, 16, 16});
        EXPECT_FALSE(e.isNull()) << look.name;
    }
}

TEST(ColorGrades, SameTimeSamePictureAndTimedLooksMove) {
    const Image src = fitted(bars(1280, 720));
    engine::Renderer r(2, 64);
    for (const Look& look : kLooks) {
        const double t = 7.77e8 + 0.123;
        QImage a = r.renderQImage(applyVideoEffect(look.effect, src, t, 0), {0, 0, 1280, 720});
        QImage b = r.renderQImage(applyVideoEffect(look.effect, src, t, 0), {0, 0, 1280, 720});
        EXPECT_TRUE(a == b) << look.name;
        QImage later = r.renderQImage(applyVideoEffect(look.effect, src, t + 0.5, 0), {0, 0, 1280, 720});
        EXPECT_EQ(a == later, !effectInfo(look.effect).usesTime) << look.name;
        // Tiling is invisible: one tile for the whole frame gives the same bytes.
        engine::Renderer whole(1, 720);
        EXPECT_TRUE(whole.renderQImage(applyVideoEffect(look.effect, src, t, 0), {0, 0, 1280, 720}) == a) << look.name;
    }
}

TEST(ColorGrades, RunInTheFrameStepAndTheRenderTool) {
    test::ScopedTestEnv env;
    SettingsStore::resetForTesting();
    SettingsStore* suite = SettingsStore::suite();
    ASSERT_NE(suite, nullptr);
    FrameComposer composer(2);
    std::vector<uint8_t> none(kFrameBytes), frame(kFrameBytes);
    const QImage cam = bars(640, 480);
    composer.render(cam, nullptr, 1000, none.data());
    const std::string tool = test::programPath("ostrela-render");
    for (const Look& look : kLooks) {
        suite->set(keys::videoEffect, QString::fromUtf8(look.name));
        composer.render(cam, nullptr, 1000, frame.data());
        EXPECT_EQ(composer.lastEffect(), look.effect) << look.name;
        EXPECT_NE(frame, none) << look.name;
        // The render tool picks the look by its raw value.
        const std::string out = env.root() + "/" + look.name + ".raw";
        std::string log;
        ASSERT_EQ(0, test::runCommand(tool + " --synthetic 640x480 --time 1000 --effect " + look.name + " -o " + out + " 2>&1", &log))
            << log;
        const std::string bytes = test::readFile(out);
        ASSERT_EQ(bytes.size(), kFrameBytes) << look.name;
        if (look.effect == VideoEffect::nightOps) {
            // BGRA: blue and green bytes are 0 everywhere.
            bool onlyRed = true;
            for (size_t i = 0; i < bytes.size(); i += 4) onlyRed &= bytes[i] == 0 && bytes[i + 1] == 0;
            EXPECT_TRUE(onlyRed);
        }
    }
    SettingsStore::resetForTesting();
}
