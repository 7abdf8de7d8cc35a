#include "effects/Effects.h"
#include "effects/Kernels.h"
#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"
#include "tests/effects/Looks.h"

#include <gtest/gtest.h>

#include <QImage>

#include <cmath>
#include <cstring>

using namespace ostrela;
using namespace ostrela::effects;
using namespace ostrela::effects::testing;
using engine::Image;
using engine::Rect;

namespace {
QImage filled(int w, int h, QColor c) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(c);
    return img;
}
}  // namespace

TEST(EffectTable, DeclarationOrderNamesAndSymbols) {
    const auto& t = effectTable();
    const char* raw[] = {"none", "oldTV", "securityCam", "flame", "vhs", "thermal", "snow", "anaglyph3D",
                         "nightOps", "cyberOps", "cableAccess", "xray", "noir", "drunkMode", "missionControl",
                         "dreamSequence"};
    const char* names[] = {"None", "Old TV", "Security Cam", "Flame", "VHS", "Thermal", "Snow", "3D", "NightOps",
                           "CyberOps", "Local Cable", "X-Ray", "Noir", "Drunk Mode", "Mission Control",
                           "Dream Sequence"};
    const char* symbols[] = {"circle.slash", "tv", "video.circle", "flame.fill", "recordingtape",
                             "thermometer.medium", "snowflake", "eyeglasses", "target", "cloud.rain.fill",
                             "antenna.radiowaves.left.and.right", "bone.fill", "film", "wineglass.fill",
                             "viewfinder", "moon.stars.fill"};
    const bool timed[] = {false, true, true, true, true, false, true, false, false, true, true, false, false,
                          true, true, true};
    ASSERT_EQ(t.size(), 16u);
    for (size_t i = 0; i < t.size(); ++i) {
        EXPECT_EQ(int(t[i].effect), int(i));
        EXPECT_EQ(t[i].effect, kAllVideoEffects[i]);
        EXPECT_STREQ(t[i].rawValue, raw[i]);
        EXPECT_STREQ(t[i].rawValue, rawValue(t[i].effect));
        EXPECT_STREQ(t[i].displayName, names[i]);
        EXPECT_STREQ(t[i].symbol, symbols[i]);
        EXPECT_EQ(t[i].usesTime, timed[i]) << raw[i];
        EXPECT_EQ(t[i].usesBarReserve, t[i].effect == VideoEffect::missionControl);
        EXPECT_EQ(&effectInfo(t[i].effect), &t[i]);
    }
}

TEST(FitToOutput, SixteenByNineScalesToTheFrame) {
    Image src = Image::fromQImage(filled(1920, 1080, Qt::red));
    Image fit = fitToOutput(src, 1280, 720);
    Rect e = fit.extent();
    EXPECT_NEAR(e.x, 0, 1e-9);
    EXPECT_NEAR(e.y, 0, 1e-9);
    EXPECT_NEAR(e.w, 1280, 1e-9);
    EXPECT_NEAR(e.h, 720, 1e-9);
}

TEST(FitToOutput, FourByThreeCoversTheFrameAndIsCentred) {
    // Top 60 source rows red, the rest green: 120 output rows are cut off at the top.
    QImage img = filled(640, 480, Qt::green);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 640; ++x) img.setPixel(x, y, qRgb(255, 0, 0));
    Image fit = fitToOutput(Image::fromQImage(img), 1280, 720);
    EXPECT_EQ(fit.extent(), (Rect{0, -120, 1280, 960}));
    engine::Renderer r(2, 64);
    QImage out = r.renderQImage(fit, {0, 0, 1280, 720});
    // Top output row samples source row 60.25 from the top: a quarter of the red row above.
    QRgb top = out.pixel(640, 0);
    EXPECT_GT(qRed(top), 60);
    EXPECT_GT(qGreen(top), 200);
    EXPECT_EQ(out.pixel(640, 1), qRgb(0, 255, 0));
    EXPECT_EQ(out.pixel(640, 719), qRgb(0, 255, 0));
    // Edges are sampled clamped: no half-transparent rim.
    EXPECT_EQ(out.pixel(0, 400), qRgb(0, 255, 0));
    EXPECT_EQ(out.pixel(1279, 400), qRgb(0, 255, 0));
    // Visible part of the 960-row picture above the frame: output rows above 720 hold the red band.
    QImage above = r.renderQImage(fit, {0, 720, 1280, 120});
    EXPECT_EQ(above.pixel(10, 0), qRgb(255, 0, 0));
}

TEST(FitToOutput, ExactSizeAndEmptyImagesPassUnchanged) {
    Image src = Image::fromQImage(filled(1280, 720, Qt::blue)).translated(5, 7);
    Image fit = fitToOutput(src, 1280, 720);
    EXPECT_EQ(fit.node(), src.node());  // origin not looked at
    EXPECT_EQ(fit.extent(), (Rect{5, 7, 1280, 720}));
    Image none;
    EXPECT_TRUE(fitToOutput(none).isNull());
    // Portrait: widths fill, the picture hangs over top and bottom equally.
    Image tall = fitToOutput(Image::fromQImage(filled(720, 1280, Qt::blue)));
    Rect e = tall.extent();
    EXPECT_NEAR(e.x, 0, 1e-9);
    EXPECT_NEAR(e.w, 1280, 1e-9);
    EXPECT_NEAR(e.y + e.h / 2, 360, 1e-9);
    EXPECT_NEAR(e.h, 1280.0 * 1280.0 / 720.0, 1e-6);
}

TEST(ApplyVideoEffect, NoneAndUnbuiltLooksPassThrough) {
    Image src = fitToOutput(Image::fromQImage(filled(640, 480, Qt::gray)));
    EXPECT_EQ(applyVideoEffect(VideoEffect::none, src, 1000, 0).node(), src.node());
    for (const auto& e : effectTable()) {
        Image out = applyVideoEffect(e.effect, src, 12345.5, 82.8);
        EXPECT_EQ(out.extent(), (Rect{0, -120, 1280, 960})) << e.rawValue;
    }
}

TEST(FrameTime, SecondsSinceTwoThousandOne) {
    EXPECT_DOUBLE_EQ(frameTimeFromUnix(978307200.0), 0.0);
    EXPECT_DOUBLE_EQ(frameTimeFromUnix(978307200.0 + 86400.5), 86400.5);
    double now = frameTimeNow();
    EXPECT_GT(now, 7.0e8);  // after 2023
    EXPECT_LT(now, 3.0e9);
}

TEST(Kernels, WarpFormulasAtSamplePixels) {
    OldTVWaveKernel tv(3.5f, 0.07f, 1.25f);
    VHSWaveKernel vhs(4.0f, 0.031f, 0.5f, 1.5f, 0.27f, 2.0f);
    DreamRippleKernel dream(6.0f, 777.25f);
    float sx[5], sy[5];
    for (int y : {0, 1, 119, 360, 719}) {
        const float dy = y + 0.5f;
        tv.mapRow(10, y, 5, sx, sy);
        for (int i = 0; i < 5; ++i) {
            const float dx = 10 + i + 0.5f;
            EXPECT_FLOAT_EQ(sx[i], dx + 3.5f * std::sin(dy * 0.07f + 1.25f));
            EXPECT_FLOAT_EQ(sy[i], dy);
            Vec2 m = tv.map({dx, dy});
            EXPECT_FLOAT_EQ(m.x, sx[i]);
        }
        vhs.mapRow(600, y, 5, sx, sy);
        for (int i = 0; i < 5; ++i) {
            const float dx = 600 + i + 0.5f;
            EXPECT_FLOAT_EQ(sx[i], dx + (4.0f * std::sin(dy * 0.031f + 0.5f) + 1.5f * std::sin(dy * 0.27f + 2.0f)));
            EXPECT_FLOAT_EQ(sy[i], dy);
        }
        dream.mapRow(1200, y, 5, sx, sy);
        for (int i = 0; i < 5; ++i) {
            const float dx = 1200 + i + 0.5f;
            EXPECT_FLOAT_EQ(sx[i], dx + 6.0f * std::sin(dy * 0.015f + 777.25f * 0.6f));
            EXPECT_FLOAT_EQ(sy[i], dy + 6.0f * std::sin(dx * 0.013f + 777.25f * 0.5f));
        }
    }
}

TEST(Kernels, RegionOfInterestMargins) {
    const Rect dest{100, 200, 300, 64};
    EXPECT_EQ(OldTVWaveKernel(1, 1, 1).roi(dest), (Rect{86, 200, 328, 64}));
    EXPECT_EQ(VHSWaveKernel(1, 1, 1, 1, 1, 1).roi(dest), (Rect{74, 200, 352, 64}));
    EXPECT_EQ(DreamRippleKernel(5.5f, 0).roi(dest), (Rect{94, 194, 312, 76}));
    // The node adds the one-pixel bilinear footprint to the kernel's rule.
    Image src = Image::fromQImage(filled(64, 64, Qt::gray));
    engine::WarpNode node(src.clampedToExtent().node(), std::make_shared<OldTVWaveKernel>(1, 1, 1), src.extent());
    EXPECT_EQ(node.roi(0, {0, 0, 64, 16}), (engine::IRect{-15, -1, 94, 18}));
}

TEST(Kernels, RenderedWarpSamplesTheSourceAtTheFormula) {
    // Horizontal ramp: red code = x, so the expected value is the bilinear mix at the warped x.
    QImage ramp(256, 32, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 256; ++x) ramp.setPixel(x, y, qRgb(x, 0, 0));
    Image src = Image::fromQImage(ramp);
    const float amp = 7.0f, freq = 0.4f, phase = 0.3f;
    Image warped = applyWarp(src, std::make_shared<OldTVWaveKernel>(amp, freq, phase));
    EXPECT_EQ(warped.extent(), src.extent());
    engine::Renderer r(2, 8);
    std::vector<float> f = r.renderFloat(warped, {0, 0, 256, 32});
    for (int y : {0, 5, 17, 31})
        for (int x : {0, 3, 100, 200, 255}) {
            float sxp = (x + 0.5f) + amp * std::sin((y + 0.5f) * freq + phase) - 0.5f;
            sxp = std::clamp(sxp, 0.0f, 255.0f);  // clamped to the extent
            int x0 = int(std::floor(sxp));
            float w = sxp - x0;
            int x1 = std::min(x0 + 1, 255);
            float expected = engine::color::decodeComponent(uint8_t(x0)) * (1 - w) +
                             engine::color::decodeComponent(uint8_t(x1)) * w;
            EXPECT_NEAR(f[(size_t(y) * 256 + x) * 4], expected, 1e-5) << x << "," << y;
            EXPECT_FLOAT_EQ(f[(size_t(y) * 256 + x) * 4 + 3], 1.0f);
        }
}

TEST(Kernels, ThermalPaletteStops) {
    auto at = [](float lum) { return thermalMap({lum, lum, lum, 1.0f}); };  // grey has lum = value
    auto expectColour = [](Vec4 c, float r, float g, float b) {
        EXPECT_NEAR(c.r, r, 1e-5);
        EXPECT_NEAR(c.g, g, 1e-5);
        EXPECT_NEAR(c.b, b, 1e-5);
    };
    expectColour(at(0.0f), 0, 0, 0.25f);
    expectColour(at(0.125f), 0, 0.05f, 0.625f);
    expectColour(at(0.25f), 0, 0.1f, 1.0f);
    expectColour(at(0.5f), 0, 1.0f, 0.4f);
    expectColour(at(0.75f), 1.0f, 0.95f, 0.0f);
    expectColour(at(1.0f), 1.0f, 0.05f, 0.0f);
    // Weights 0.299, 0.587, 0.114 and alpha kept.
    Vec4 red = thermalMap({1, 0, 0, 0.5f});
    expectColour(red, 0, 0.1f + 0.9f * (0.299f - 0.25f) / 0.25f, 1.0f - 0.6f * (0.299f - 0.25f) / 0.25f);
    EXPECT_FLOAT_EQ(red.a, 0.5f);
    EXPECT_NE(std::strstr(kThermalMapSource, "vec3(0.299, 0.587, 0.114)"), nullptr);
}

TEST(DropoutLines, LinesAtTheirFormulaPositions) {
    Image lines = dropoutLines(1279.6, 720.2, 0.0);
    EXPECT_EQ(lines.extent(), (Rect{0, 0, 1280, 720}));
    engine::Renderer r(1, 64);
    QImage out = r.renderQImage(lines, {0, 0, 1280, 720});
    // Line 0 at t = 0: y = 0, one pixel thick, alpha 0.1 → the bottom row, black at 10 %.
    QRgb bottom = out.pixel(640, 719);
    EXPECT_NEAR(qAlpha(bottom), 26, 1);
    EXPECT_EQ(qRed(bottom), 0);
    EXPECT_EQ(qAlpha(out.pixel(640, 718)), 0);
    // Line 1: x = 37.13, y = fmod(37.13 × 13.7, 720) = 508.681, two pixels thick.
    const double x = 37.13, y = std::fmod(x * 13.7, 720.0);
    const double alpha = (std::sin(x) * 0.5 + 0.5) * 0.1 + 0.05;
    const int fullRow = 719 - 509;  // y-up row 509 is fully covered (508.681 … 510.681)
    EXPECT_NEAR(qAlpha(out.pixel(100, fullRow)), alpha * 255, 1.5);
    EXPECT_EQ(qAlpha(out.pixel(100, 719 - 512)), 0);
    (void)y;
    // The lines move up: at t = 1 line 0 is at y = 25.
    QImage later = r.renderQImage(dropoutLines(1280, 720, 1.0), {0, 0, 1280, 720});
    EXPECT_EQ(qAlpha(later.pixel(640, 719)), 0);
    EXPECT_NEAR(qAlpha(later.pixel(640, 719 - 25)), 26, 1);
    // Degenerate sizes still give a 1×1 image.
    EXPECT_EQ(dropoutLines(0, -3, 5).extent(), (Rect{0, 0, 1, 1}));
}

TEST(EffectResources, AreSharedOnce) {
    const EffectResources& res = EffectResources::shared();
    EXPECT_EQ(&res, &EffectResources::shared());
    EXPECT_EQ(std::strlen(EffectResources::kGlyphs), size_t(EffectResources::kGlyphCount));
    EXPECT_EQ(res.dateFormat, "MM/dd/yy");
    EXPECT_EQ(res.timeFormat, "HH:mm:ss");
    EXPECT_EQ(res.cableTimeFormat, "HH:mm:ss");
    EXPECT_NE(&res.timeFormat, &res.cableTimeFormat);
    EXPECT_DOUBLE_EQ(res.glyphFont().pointSizeF(), 16.2);
    EXPECT_TRUE(res.glyphFont().bold());
}
