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
