#include "effects/Effects.h"
#include "effects/MissionControlEffect.h"
#include "pipeline/engine/Renderer.h"

#include <gtest/gtest.h>

#include <QImage>

#include <cmath>

using namespace ostrela;
using namespace ostrela::effects;
using engine::Image;

namespace {

// Pixel of a top-row-first bitmap addressed y up.
QRgb at(const QImage& img, int x, int yUp) { return img.pixel(x, img.height() - 1 - yUp); }

// The lowest row (y up) where the two bitmaps differ, or -1.
int lowestDifferingRow(const QImage& a, const QImage& b) {
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (at(a, x, y) != at(b, x, y)) return y;
    return -1;
}

}  // namespace

TEST(MissionControl, TextsAndValuesAtTimeZero) {
    EXPECT_DOUBLE_EQ(mission::pulse(0), 0.75);
    const auto left = mission::leftBlock(0);
    EXPECT_EQ(left[0], "CAM 01");
    EXPECT_EQ(left[1], "SIGNAL 92.0");
    EXPECT_EQ(left[2], "RANGE 42.8m");
    EXPECT_EQ(left[3], "ORBIT 131.6");
    EXPECT_EQ(left[4], "ALT 415km");
    const auto right = mission::rightBlock(0);
    EXPECT_EQ(right[0], "TELEMETRY");
    EXPECT_EQ(right[1], QString::fromUtf8("VECTOR 000\u00B0"));
    EXPECT_EQ(right[2], "COMMS 70%");
    EXPECT_EQ(right[3], "STATUS NOMINAL");
    EXPECT_EQ(right[4], "UPLINK ACTIVE");
    EXPECT_EQ(mission::heartRate(0), "BIO 70 BPM");
    EXPECT_EQ(mission::missionClock(0), "T+00:00:00");
    EXPECT_EQ(mission::sweepAngle(0), 0);
    // RECON-1 sits at angle 0.4 on its ring of 0.35 r, r = 0.62 × 720.
    const QPointF recon = mission::contactPosition(0, 1280, 720, 0);
    EXPECT_NEAR(recon.x(), 640 + std::cos(0.4) * 0.35 * 0.62 * 720, 1e-9);
    EXPECT_NEAR(recon.y(), 360 + std::sin(0.4) * 0.35 * 0.62 * 720, 1e-9);
    EXPECT_EQ(mission::contacts()[1].name, std::string("COMSAT-4"));
    EXPECT_EQ(mission::contacts()[2].name, std::string("ORBITER-9"));
}

TEST(MissionControl, ClockAndVectorFormats) {
    EXPECT_EQ(mission::missionClock(3723.9), "T+01:02:03");
    EXPECT_EQ(mission::missionClock(99 * 3600 + 59 * 60 + 59.99), "T+99:59:59");
    EXPECT_EQ(mission::missionClock(100 * 3600 + 5), "T+00:00:05");  // hours modulo 100
    EXPECT_EQ(mission::missionClock(820000000.5).size(), 10);
    const QString deg = QString::fromUtf8("\u00B0");
    EXPECT_EQ(mission::rightBlock(1)[1], "VECTOR 011" + deg);
    EXPECT_EQ(mission::rightBlock(40)[1], "VECTOR 092" + deg);   // 452 modulo 360
    EXPECT_EQ(mission::rightBlock(31.8)[1], "VECTOR 359" + deg);
    EXPECT_EQ(mission::rightBlock(31.86)[1], "VECTOR 000" + deg);  // 360
    for (double t : {0.5, 7.0, 123.4, 820000000.25}) {
        const QString v = mission::rightBlock(t)[1];
        ASSERT_EQ(v.size(), 11) << v.toStdString();
        EXPECT_TRUE(v.mid(7, 3).toInt() >= 0 && v.mid(7, 3).toInt() < 360);
    }
}

TEST(MissionControl, BlipsFlashBrieflyAndInTurn) {
    // At t = 0 only blip 0 is lit, at its highest alpha 0.5 × 0.75.
    ASSERT_TRUE(mission::blipAlpha(0, 0).has_value());
    EXPECT_DOUBLE_EQ(*mission::blipAlpha(0, 0), 0.375);
    for (int i = 1; i < 5; ++i) EXPECT_FALSE(mission::blipAlpha(i, 0).has_value()) << i;
    // f = 0.6 exactly is dark; just before it is lit, nearly faded.
    EXPECT_FALSE(mission::blipAlpha(0, 1.5).has_value());
    ASSERT_TRUE(mission::blipAlpha(0, 1.49).has_value());
    EXPECT_LT(*mission::blipAlpha(0, 1.49), 0.01);
    // Measured: the ring around blip 0's grid crossing is drawn at t = 0 and gone at t = 2.
    const QImage lit = mission::headsUpDisplay(1280, 720, 0, 0), later = mission::headsUpDisplay(1280, 720, 2, 0);
    const double fs = 0.024 * 720, rr = 0.15 * fs;
    const int bx = int(1280 / 6.0 + rr * 0.7071), by = int(720 / 6.0 + rr * 0.7071);
    EXPECT_GT(qGreen(at(lit, bx, by)), 20);
    EXPECT_EQ(qAlpha(at(later, bx, by)), 0);
    const int b1x = int(5 * 1280 / 6.0 + rr * 0.7071);
    EXPECT_EQ(qAlpha(at(lit, b1x, by)), 0);  // blip 1 is dark at t = 0
}

TEST(MissionControl, RecordDotAndProgressBar) {
    const double fs = 0.024 * 720, m = 0.0125 * 1280;
    const int dx = int(m + 0.25 * fs), dy = int(720 - m - 7.5 * fs + 0.25 * fs);
    const QImage even = mission::headsUpDisplay(1280, 720, 0, 0), odd = mission::headsUpDisplay(1280, 720, 1, 0);
    EXPECT_GT(qAlpha(at(even, dx, dy)), 150);  // bright: 0.9 × 0.75
    EXPECT_EQ(qAlpha(at(odd, dx, dy)), 0);
    // The progress bar under the clock: empty at t = 0, a third full after 20/9 s.
    const int barY = int(720 - m - 1.3 * fs - 1.7 * fs + 2);
    // Filled in the bright colour, 0.9 p; the outline is dim, 0.28 p. Only the middle of the
    // frame: the corner marks are bright too.
    auto filledRun = [&](const QImage& img, double t) {
        int n = 0;
        for (int x = 400; x < 880; ++x) n += qAlpha(at(img, x, barY)) > 0.7 * 0.9 * mission::pulse(t) * 255;
        return n;
    };
    EXPECT_EQ(filledRun(even, 0), 0);
    const int third = filledRun(mission::headsUpDisplay(1280, 720, 20.0 / 9, 0), 20.0 / 9);
    EXPECT_GT(third, 40);
    EXPECT_LT(third, 90);
}

TEST(MissionControl, KeepsClearOfTheBarReserve) {
    const double t = 1234.5;
    const double fs = 0.024 * 720, m = 0.0125 * 1280;
    // Far above any bar: what is left in the bottom strip is what does not depend on the bar.
    const QImage away = mission::headsUpDisplay(1280, 720, t, 400);
    for (double R : {0.0, 82.8, 118.8}) {
        const QImage hud = mission::headsUpDisplay(1280, 720, t, R);
        const int low = lowestDifferingRow(hud, away);
        // The lowest thing that follows the bar is the bottom of the block frames, at R + m − 0.3 fs.
        const double frameBottom = R + m - 0.3 * fs;
        EXPECT_GE(low, int(std::floor(frameBottom - 1))) << R;
        EXPECT_LE(low, int(std::ceil(frameBottom + 1))) << R;
        EXPECT_GE(low, int(std::ceil(R))) << R;
        // The level bars move up with the blocks.
        const int barX = int(m + 0.25 * fs), barY = int(R + m + 7.4 * fs + 0.2 * fs);
        EXPECT_GT(qAlpha(at(hud, barX, barY)), 80) << R;
    }
    // Through the whole effect: the bottom 82 rows with the bar on are those of a HUD far above.
    QImage grey(1280, 720, QImage::Format_ARGB32_Premultiplied);
    grey.fill(QColor(100, 100, 100));
    const Image src = Image::fromQImage(grey);
    engine::Renderer r(2, 64);
    const QImage on = r.renderQImage(renderMissionControl(src, t, 82.8), {0, 0, 1280, 720});
    const QImage high = r.renderQImage(renderMissionControl(src, t, 400), {0, 0, 1280, 720});
    EXPECT_GE(lowestDifferingRow(on, high), 83);
}

TEST(MissionControl, GreenFeedUnderTheDisplay) {
    QImage grey(1280, 720, QImage::Format_ARGB32_Premultiplied);
    grey.fill(QColor(128, 128, 128));
    engine::Renderer r(2, 64);
    const QImage out = r.renderQImage(renderMissionControl(Image::fromQImage(grey), 0, 0), {0, 0, 1280, 720});
    const QRgb p = out.pixel(300, 300);  // away from every HUD line
    EXPECT_GT(qGreen(p), qRed(p) + 30);
    EXPECT_GT(qGreen(p), qBlue(p) + 10);
    EXPECT_EQ(qAlpha(p), 255);
    // The radar sweep turns counter-clockwise at 0.5 rad/s: at t = π/2 it points up and right.
    const QImage quarter = mission::headsUpDisplay(1280, 720, M_PI / 2, 0), start = mission::headsUpDisplay(1280, 720, 0, 0);
    const int sx = int(640 + 200 * std::cos(M_PI / 4)), sy = int(360 + 200 * std::sin(M_PI / 4));
    EXPECT_GT(qAlpha(at(quarter, sx, sy)), 0);
    EXPECT_EQ(qAlpha(at(start, sx, sy)), 0);
}

namespace {

// The published 1280×720 frame of the look over a black camera picture of w × h, aspect-filled
// as the app does; top row first, so rows count down from the top edge.
QImage publishedFrame(int w, int h, double t, double R) {
    QImage cam(w, h, QImage::Format_ARGB32_Premultiplied);
    cam.fill(Qt::black);
    engine::Renderer r(2, 64);
    return r.renderQImage(renderMissionControl(fitToOutput(Image::fromQImage(cam)), t, R), {0, 0, 1280, 720});
}

struct Box {
    int left = 1 << 20, top = 1 << 20, right = -1, bottom = -1;
    bool empty() const { return right < 0; }
};

// Bounding box of the pixels whose green exceeds `level` within [x0, x1] × [y0, y1] (rows down).
Box inkBox(const QImage& img, int x0, int y0, int x1, int y1, int level) {
    Box b;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            if (qGreen(img.pixel(x, y)) > level) {
                b.left = std::min(b.left, x);
                b.right = std::max(b.right, x);
                b.top = std::min(b.top, y);
                b.bottom = std::max(b.bottom, y);
            }
    return b;
}

// Green-weighted centre of a thin line crossing row y between columns a and b (or column x
// between rows a and b); NaN when nothing is drawn there.
double centreAlongRow(const QImage& img, int y, int a, int b) {
    double sw = 0, s = 0;
    for (int x = a; x <= b; ++x) {
        const int g = qGreen(img.pixel(x, y));
        if (g > 10) sw += g, s += g * (x + 0.5);
    }
    return sw > 0 ? s / sw : std::nan("");
}
double centreAlongColumn(const QImage& img, int x, int a, int b) {
    double sw = 0, s = 0;
    for (int y = a; y <= b; ++y) {
        const int g = qGreen(img.pixel(x, y));
        if (g > 10) sw += g, s += g * (y + 0.5);
    }
    return sw > 0 ? s / sw : std::nan("");
}

}  // namespace

// A 4:3 or 3:2 camera is aspect-filled past the top and bottom edges of the published frame; the
// display is laid out in the part that is shown, exactly where a 16:9 camera has it.
TEST(MissionControl, DisplayLaidOutInThePublishedFrameForEveryCameraShape) {
    const double t = 0, R = 82.8;  // bracket at rest (scale 1), pulse 0.75, sweep along +x
    const double W = 1280, H = 720, fs = 0.024 * H, m = 0.0125 * W, c = 0.018 * W, L = 0.045 * W;
    // Over black, composited in linear light: bright pixels read about 214 in green, dim ones at
    // most about 150.
    const int bright = 180;
    const QImage wide = publishedFrame(1280, 720, t, R);
    struct Camera {
        int w, h;
    };
    for (const Camera cam : {Camera{1280, 720}, Camera{640, 480}, Camera{720, 480}, Camera{640, 360}}) {
        SCOPED_TRACE(std::to_string(cam.w) + "x" + std::to_string(cam.h));
        const QImage out = publishedFrame(cam.w, cam.h, t, R);
        ASSERT_EQ(out.size(), QSize(1280, 720));
        EXPECT_LT(qGreen(out.pixel(300, 300)), 10);  // the black picture stays dark between lines

        // Corner marks: all four outer marks with their corner c in from both edges.
        for (int corner = 0; corner < 4; ++corner) {
            const bool right = corner & 1, bottom = corner & 2;
            const double cx = right ? W - c : c, cy = bottom ? H - c : c;  // rows down
            const int armX = int(right ? cx - 0.5 * L : cx + 0.5 * L), armY = int(bottom ? cy - 0.5 * L : cy + 0.5 * L);
            EXPECT_NEAR(centreAlongColumn(out, armX, int(cy) - 8, int(cy) + 8), cy, 0.5) << corner;
            EXPECT_NEAR(centreAlongRow(out, armY, int(cx) - 8, int(cx) + 8), cx, 0.5) << corner;
            EXPECT_GT(qGreen(out.pixel(armX, int(cy))), 100) << corner;
        }

        // Mission clock: bright, centred, its baseline m + 1.3 fs below the top edge.
        const double clockBase = m + 1.3 * fs;
        const Box clock = inkBox(out, 400, 6, 880, 50, bright);
        ASSERT_FALSE(clock.empty());
        EXPECT_NEAR((clock.left + clock.right + 1) / 2.0, 640, 3);
        EXPECT_NEAR(clock.bottom + 1, clockBase, 1.5);
        EXPECT_GE(clock.top, int(m));
        EXPECT_GT(clock.right - clock.left, 100);  // ten characters of 1.3 fs

        // "ANALYZING" below it, dim only, from the clock's left edge; then the progress bar's outline.
        // (Between the grid lines at x = 426.7 and 640.)
        const Box analyzing = inkBox(out, 440, int(clockBase) + 3, 636, int(clockBase + 1.3 * fs) + 1, 25);
        ASSERT_FALSE(analyzing.empty());
        EXPECT_NEAR(analyzing.bottom + 1, clockBase + 1.3 * fs, 1.5);
        EXPECT_NEAR(analyzing.left, clock.left, 3);
        EXPECT_TRUE(inkBox(out, 400, int(clockBase) + 3, 880, int(clockBase + 1.3 * fs) + 1, bright).empty());
        const double barTop = H - (H - m - 1.3 * fs - 1.7 * fs + 4);  // rows down
        EXPECT_NEAR(centreAlongColumn(out, 600, int(barTop) - 1, int(barTop) + 1), barTop, 0.6);

        // "LOCK" above the bracket: baseline 0.6 fs over its top, from its middle less 1.1 fs.
        const double lockBase = H - (0.56 * H + 0.22 * H + 0.6 * fs);
        const Box lock = inkBox(out, 600, int(lockBase) - 25, 690, int(lockBase) + 4, bright);
        ASSERT_FALSE(lock.empty());
        EXPECT_NEAR(lock.bottom + 1, lockBase, 1.5);
        EXPECT_NEAR(lock.left, 640 - 1.1 * fs, 3);

        // Radar: both rings centred on the frame's middle, of radius 0.35 r and 0.62 r.
        const double r = 0.62 * H;
        for (double ring : {0.35 * r, 0.62 * r}) {
            const double dy = 450 - 360, half = std::sqrt(ring * ring - dy * dy);
            const double l = centreAlongRow(out, 450, int(640 - half) - 8, int(640 - half) + 8);
            const double rr = centreAlongRow(out, 450, int(640 + half) - 8, int(640 + half) + 8);
            EXPECT_NEAR((l + rr) / 2, 640, 0.5) << ring;
            EXPECT_NEAR((rr - l) / 2, half, 1.0) << ring;
            const double dx = 560 - 640, halfV = std::sqrt(ring * ring - dx * dx);
            const double top = centreAlongColumn(out, 560, int(360 - halfV) - 8, int(360 - halfV) + 8);
            const double bot = centreAlongColumn(out, 560, int(360 + halfV) - 8, int(360 + halfV) + 8);
            EXPECT_NEAR((top + bot) / 2, 360, 0.5) << ring;
            EXPECT_NEAR((bot - top) / 2, halfV, 1.0) << ring;
        }

        // What follows the bar: "CAM 01" and "TELEMETRY" stand on y0 = R + m, above the strip.
        const double base0 = H - (R + m);
        const Box cam01 = inkBox(out, 8, int(base0) - 30, 200, int(base0) + 3, bright);
        ASSERT_FALSE(cam01.empty());
        EXPECT_NEAR(cam01.bottom + 1, base0, 1.5);
        EXPECT_NEAR(cam01.left, m, 3);
        const Box telemetry = inkBox(out, 1080, int(base0) - 30, 1271, int(base0) + 3, bright);
        ASSERT_FALSE(telemetry.empty());
        EXPECT_NEAR(telemetry.bottom + 1, base0, 1.5);
        EXPECT_NEAR(telemetry.right + 1, W - m, 3);
        // Raised far above, nothing in the bar's strip changes: the lowest change is above it.
        const QImage high = publishedFrame(cam.w, cam.h, t, 400);
        int lowest = -1;
        for (int y = 719; y >= 0 && lowest < 0; --y)
            for (int x = 0; x < 1280; ++x)
                if (out.pixel(x, y) != high.pixel(x, y)) {
                    lowest = y;
                    break;
                }
        EXPECT_LE(lowest, 720 - int(std::ceil(R)) - 1);
        EXPECT_GE(lowest, int(H - (R + m - 0.3 * fs)) - 2);  // the block frames' bottom edge

        // Over a black picture the published frame is that of a 16:9 camera, pixel for pixel.
        int differing = 0;
        for (int y = 0; y < 720; ++y)
            for (int x = 0; x < 1280; ++x) differing += out.pixel(x, y) != wide.pixel(x, y);
        EXPECT_EQ(differing, 0);
    }
}
