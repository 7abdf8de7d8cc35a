// Security Cam and Local Cable, measured on rendered frames: readout line positions, the blinking
// marks, the zoom, determinism and extents.
#include "effects/Effects.h"
#include "effects/RetroEffects.h"
#include "effects/SurveillanceEffects.h"
#include "pipeline/FrameComposer.h"
#include "pipeline/engine/Renderer.h"
#include "tests/effects/Looks.h"

#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QImage>
#include <QPainter>

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

QImage renderFrame(const Image& im) {
    engine::Renderer r(2, 64);
    return r.renderQImage(im, {0, 0, 1280, 720});
}

// Pixels of readout text colour (0.8, 0.95, 0.85) or close, in a top-down area.
int textPixels(const QImage& f, QRect area) {
    int n = 0;
    for (int y = std::max(0, area.top()); y <= std::min(719, area.bottom()); ++y)
        for (int x = area.left(); x <= area.right(); ++x) n += qGreen(f.pixel(x, y)) > 180;
    return n;
}

bool isRed(QRgb p) { return qRed(p) > 200 && qGreen(p) < 110 && qBlue(p) < 110; }
bool isYellow(QRgb p) { return qRed(p) > 200 && qGreen(p) > 160 && qBlue(p) < 90; }

// Frame time whose local wall-clock time is 2001-02-01 01:01:01 plus `frac`.
double localTime(double frac) {
    const QDateTime local(QDate(2001, 2, 1), QTime(1, 1, 1));
    return double(local.toSecsSinceEpoch()) - kReferenceDateUnixSeconds + frac;
}

}  // namespace

TEST(SecurityCam, ReadoutTextsComeFromTheFrameTime) {
    const double t = localTime(0.7);
    EXPECT_EQ(securityDateText(t), QStringLiteral("02/01/01"));
    EXPECT_EQ(securityTimeText(t), QStringLiteral("01:01:01"));  // the whole second, not rounded
    EXPECT_EQ(cableTimeText(t), QStringLiteral("01:01:01"));
    EXPECT_EQ(securityTimeText(t + 1.0), QStringLiteral("01:01:02"));
    EXPECT_TRUE(blinkOn(10.2));
    EXPECT_FALSE(blinkOn(11.9));
}

TEST(SecurityCam, LinePositionsAt1280x720) {
    const CameraReadoutLayout L = cameraReadoutLayout(1280, 720);
    EXPECT_NEAR(L.fontSize, 37.44, 1e-9);
    EXPECT_NEAR(L.lineHeight, 50.544, 1e-9);
    EXPECT_NEAR(L.margin, 16.0, 1e-12);
    EXPECT_NEAR(720 - L.baseline(1), 66.544, 1e-9);  // first baseline below the top edge

    const Image dark = Image::fromQImage(solidImage(1280, 720, QColor(40, 40, 40)));
    const double tOn = 1000.0, tOff = 1001.0;  // floor even, floor odd
    const QImage on = renderFrame(renderSecurityCam(dark, tOn));
    const QImage off = renderFrame(renderSecurityCam(dark, tOff));
    for (int line = 1; line <= 4; ++line) {
        const int base = int(std::lround(720 - L.baseline(line)));  // top-down baseline row
        const bool drawn = line != 2;
        // Caps sit on the baseline: text just above it, nothing a few rows below.
        EXPECT_GT(textPixels(off, {16, base - 20, 300, 18}), drawn ? 40 : -1) << line;
        EXPECT_EQ(textPixels(off, {16, base + 4, 300, 10}), 0) << line;
        EXPECT_EQ(textPixels(on, {16, base + 4, 300, 10}), 0) << line;
        if (drawn) {
            EXPECT_GT(textPixels(on, {16, base - 20, 300, 18}), 40) << line;
        }
    }
    // Line 2 only while REC is on: dot and "REC".
    const int base2 = int(std::lround(720 - L.baseline(2)));
    EXPECT_GT(textPixels(on, {16 + 25, base2 - 20, 120, 18}), 40);
    EXPECT_EQ(textPixels(off, {0, base2 - 25, 400, 24}), 0);
    const QPoint dot(int(L.margin + L.dotDiameter() / 2), int(720 - (L.dotY() + L.dotDiameter() / 2)));
    EXPECT_TRUE(isRed(on.pixel(dot)));
    EXPECT_FALSE(isRed(off.pixel(dot)));
    // The date line does not move when REC blinks (same date, pixel for pixel); the time line,
    // one second apart, inks the same rows.
    const int base3 = int(std::lround(720 - L.baseline(3))), base4 = int(std::lround(720 - L.baseline(4)));
    for (int y = base3 - 30; y < base3 + 2; ++y)
        for (int x = 16; x < 260; ++x) ASSERT_EQ(qGreen(on.pixel(x, y)) > 180, qGreen(off.pixel(x, y)) > 180) << x << "," << y;
    for (int y = base4 - 32; y < base4 + 4; ++y)
        EXPECT_EQ(textPixels(on, {16, y, 250, 1}) > 0, textPixels(off, {16, y, 250, 1}) > 0) << y;
}

TEST(SecurityCam, CoolNearlyColourlessGrade) {
    const Image red = Image::fromQImage(solidImage(1280, 720, QColor(220, 40, 40)));
    const QImage f = renderFrame(renderSecurityCam(red, 1001.0));
    const QRgb c = f.pixel(640, 500);
    // The monochrome tint (0.55, 0.78, 0.82) pulls red towards cyan-grey.
    EXPECT_LT(qRed(c) - qBlue(c), 60);
    EXPECT_GT(qGreen(c), qRed(c) - 40);
    // Vignette: corners darker than the centre.
    EXPECT_LT(qGray(f.pixel(1279, 719)), qGray(f.pixel(640, 500)) - 15);
}

TEST(LocalCable, LiveLineStaysPutWhileTheDotBlinks) {
    const double f = 0.062 * 720, gap = 1.3 * f, margin = 16, top = 720 - margin;
    engine::Renderer r(1, 720);
    const QImage on = r.renderQImage(stationReadout(1280, 720, 2000.5), {0, 0, 1280, 720});
    const QImage off = r.renderQImage(stationReadout(1280, 720, 2001.5), {0, 0, 1280, 720});
    const QPoint dot(int(margin + 0.2 * f), int(720 - (top - 2 * gap + 0.18 * f + 0.2 * f)));
    EXPECT_TRUE(isYellow(on.pixel(dot)));
    EXPECT_EQ(qAlpha(off.pixel(dot)), 0);
    // "LIVE" starts at margin + 0.75 f whatever the dot does: its first inked column is the same.
    const int base2 = int(std::lround(720 - (top - 2 * gap)));
    auto firstInk = [&](const QImage& img) {
        for (int x = int(margin + 0.5 * f); x < 400; ++x)
            for (int y = base2 - int(0.6 * f); y < base2; ++y)
                if (qAlpha(img.pixel(x, y)) > 128) return x;
        return -1;
    };
    EXPECT_EQ(firstInk(on), firstInk(off));
    EXPECT_NEAR(firstInk(on), margin + 0.75 * f, 4);
    // Line 1 baseline at margin + gap from the top: ink above it, none well below before line 2.
    const int base1 = int(std::lround(720 - (top - gap)));
    int above = 0, between = 0;
    for (int x = 16; x < 600; ++x) {
        above += qAlpha(on.pixel(x, base1 - 10)) > 128;
        between += qAlpha(on.pixel(x, base1 + 6)) > 128;
    }
    EXPECT_GT(above, 30);
    EXPECT_EQ(between, 0);
    // Its size is 44.64 px per point size: the line runs well past x = 450, and is not cut off.
    int farInk = 0, beyond = 0;
    for (int y = base1 - 30; y < base1; ++y) {
        for (int x = 450; x < 520; ++x) farInk += qAlpha(on.pixel(x, y)) > 128;
        for (int x = 560; x < 700; ++x) beyond += qAlpha(on.pixel(x, y)) > 128;
    }
    EXPECT_GT(farInk, 20);
    EXPECT_EQ(beyond, 0);
    // Yellow fill inside the letters, black outline at their edges.
    bool sawYellow = false, sawBlack = false;
    for (int x = 16; x < 600; ++x) {
        const QRgb p = on.pixel(x, base1 - 10);
        sawYellow |= isYellow(p);
        sawBlack |= qAlpha(p) > 200 && qGray(p) < 60;
    }
    EXPECT_TRUE(sawYellow);
    EXPECT_TRUE(sawBlack);
}

TEST(LocalCable, ZoomsSixPercentAboutTheCentreAndBlursTheReadout) {
    QImage src = solidImage(1280, 720, Qt::black);
    QPainter(&src).fillRect(740, 0, 540, 720, Qt::white);
    const QImage f = renderFrame(renderCableAccess(Image::fromQImage(src), 3000.2));
    // The edge at x = 740 moves to 640 + 1.06 × 100 = 746 (a soft, grainy ramp: take the mid-point
    // of a row average).
    double best = 0;
    int at = -1;
    for (int x = 700; x < 800; ++x) {
        double d = 0;
        for (int y = 300; y < 420; ++y) d += qGray(f.pixel(x + 1, y)) - qGray(f.pixel(x - 1, y));
        if (d > best) best = d, at = x;
    }
    EXPECT_NEAR(at, 746, 1.5);
    // The readout is part of the blurred picture: its letters' edges are soft (no pixel of pure
    // yellow next to pure black), but the fill is still yellow.
    const double fs = 0.062 * 720;
    const int base1 = int(std::lround(16 + 1.3 * fs));
    int yellow = 0;
    for (int x = 16; x < 600; ++x) yellow += isYellow(f.pixel(x, base1 - 10));
    EXPECT_GT(yellow, 5);
}

TEST(SurveillanceEffects, SameTimeSamePictureAndExtentOfAFourByThreeSource) {
    QImage q = solidImage(640, 480, QColor(90, 130, 170));
    QPainter(&q).fillRect(100, 100, 200, 200, Qt::white);
    const Image fitted = fitToOutput(Image::fromQImage(q), 1280, 720);
    ASSERT_EQ(fitted.extent(), (Rect{0, -120, 1280, 960}));
    for (auto render : std::initializer_list<Image (*)(const Image&, double)>{renderSecurityCam, renderCableAccess}) {
        EXPECT_EQ(render(fitted, 4321.5).extent(), fitted.extent());
        const QImage a = renderFrame(render(fitted, 4321.5)), b = renderFrame(render(fitted, 4321.5));
        EXPECT_EQ(0, std::memcmp(a.constBits(), b.constBits(), size_t(a.sizeInBytes())));
    }
    EXPECT_EQ(applyVideoEffect(VideoEffect::securityCam, fitted, 1.0, 0).extent(), fitted.extent());
    EXPECT_EQ(applyVideoEffect(VideoEffect::cableAccess, fitted, 1.0, 0).extent(), fitted.extent());
    // The readout is in the published picture for a 4:3 camera too.
    const CameraReadoutLayout L = cameraReadoutLayout(1280, 720);
    const QImage f = renderFrame(renderSecurityCam(fitted, 1000.0));
    EXPECT_GT(textPixels(f, {16, int(720 - L.baseline(1)) - 20, 300, 18}), 40);
}

TEST(SurveillanceEffects, TiledRenderEqualsOnePiece) {
    ostrela::test::forEachSimdTarget([&] {
        QImage q = solidImage(1280, 720, QColor(90, 130, 170));
        QPainter(&q).fillRect(300, 100, 400, 300, Qt::white);
        const Image src = Image::fromQImage(q);
        for (auto render : std::initializer_list<Image (*)(const Image&, double)>{renderSecurityCam, renderCableAccess}) {
            const Image im = render(src, 5555.5);
            engine::Renderer one(1, 720), odd(2, 7);
            const QImage a = one.renderQImage(im, {0, 0, 1280, 720}), b = odd.renderQImage(im, {0, 0, 1280, 720});
            EXPECT_EQ(0, std::memcmp(a.constBits(), b.constBits(), size_t(a.sizeInBytes())));
        }
    });
}

TEST(SurveillanceEffects, OddSizesAndEmptyInputsNeverFail) {
    const Image tiny = Image::fromQImage(solidImage(3, 2, Qt::gray));
    const Image odd = Image::fromQImage(solidImage(37, 19, Qt::darkCyan)).transformed(engine::Affine::scale(1.37, 2.1).then(engine::Affine::translation(100.5, 50.25)));
    const Image infinite = Image::solid(engine::Color::fromSRGB(0.5, 0.5, 0.5));
    for (auto render : std::initializer_list<Image (*)(const Image&, double)>{renderSecurityCam, renderCableAccess, renderOldTV, renderVHS}) {
        for (const Image& in : {tiny, odd}) {
            const Image out = render(in, 777.7);
            EXPECT_EQ(out.extent(), in.extent());
            engine::Renderer r(2, 16);
            const std::vector<float> px = r.renderFloat(out, engine::enclosingIRect(in.extent()));
            EXPECT_FALSE(px.empty());
        }
        EXPECT_TRUE(render(Image::empty(), 1.0).isNull());
        EXPECT_EQ(render(infinite, 1.0).node(), infinite.node());  // nothing to crop to: unchanged
    }
}

TEST(LocalCable, ZoomOfAFourByThreeCameraIsAboutTheCentreOfItsExtent) {
    // 640×480, white below row 200 from the top; fitted ×2 into (0, −120, 1280, 960) the edge is
    // at y = 840 − 400 = 440 (y up); zoomed about y = 360 it moves to 360 + 1.06 × 80 = 444.8.
    QImage q = solidImage(640, 480, Qt::black);
    QPainter(&q).fillRect(0, 200, 640, 280, Qt::white);
    QImage scratch;
    const Image fitted = FrameComposer::fitFrame(q, &scratch);
    ASSERT_EQ(fitted.extent(), (Rect{0, -120, 1280, 960}));
    const QImage f = renderFrame(renderCableAccess(fitted, 3000.2));
    int at = -1;
    double best = 0;
    for (int row = 250; row < 300; ++row) {
        double d = 0;
        for (int x = 500; x < 780; ++x) d += qGray(f.pixel(x, row + 1)) - qGray(f.pixel(x, row - 1));
        if (d > best) best = d, at = row;
    }
    EXPECT_NEAR(at, 720 - 444.8, 1.5);  // top-down row of the edge
}
