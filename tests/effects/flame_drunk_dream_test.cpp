#include "effects/ColorGradeEffects.h"
#include "effects/DreamEffect.h"
#include "effects/DrunkEffect.h"
#include "pipeline/engine/Schedule.h"
#include "effects/Effects.h"
#include "effects/FlameEffect.h"
#include "effects/MissionControlEffect.h"
#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Renderer.h"
#include "tests/effects/Looks.h"

#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <cmath>

using namespace ostrela;
using namespace ostrela::effects;
using namespace ostrela::effects::testing;
using engine::Image;
using engine::Rect;
using engine::materialize;
using engine::TileWatcher;
using engine::materializeWatched;
using engine::PixelView;
using engine::pixelsOf;
using engine::setStraightforwardChains;

namespace {

QImage filled(int w, int h, QColor c) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(c);
    return img;
}

engine::Renderer& renderer() {
    static engine::Renderer r(2, 64);
    return r;
}

// Linear premultiplied floats of rect, bottom row first.
struct Pixels {
    engine::IRect rect;
    std::vector<float> v;
    const float* at(int x, int y) const { return v.data() + (size_t(y - rect.y) * rect.w + (x - rect.x)) * 4; }
    // Mean of channel c over rows [y0, y1) and columns [x0, x1).
    double mean(int c, int x0, int y0, int x1, int y1) const {
        double s = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) s += at(x, y)[c];
        return s / (double(x1 - x0) * (y1 - y0));
    }
    double max(int c, int x0, int y0, int x1, int y1) const {
        double m = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) m = std::max(m, double(at(x, y)[c]));
        return m;
    }
};

Pixels render(const Image& im, engine::IRect r = {0, 0, 1280, 720}) { return {r, renderer().renderFloat(im, r)}; }

// A 1280×720 picture that changes everywhere: red across, green up, blue in diagonal bands.
Image rampFrame() {
    QImage img(1280, 720, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < 720; ++y)
        for (int x = 0; x < 1280; ++x) img.setPixel(x, y, qRgb((x * 255) / 1279, (y * 255) / 719, (x + y) % 256));
    return Image::fromQImage(img);
}

Image frameOf(QColor c) { return Image::fromQImage(filled(1280, 720, c)); }

// Per-byte differences of two images of one size: the largest, the mean over every byte, how
// many bytes differ by more than one level, and the 99.9th percentile.
struct Difference {
    int max = 0;
    double mean = 0;
    long over1 = 0;
    int p999 = 0;
};
Difference difference(const QImage& a, const QImage& b) {
    Difference d;
    if (a.size() != b.size() || a.format() != b.format()) {
        ADD_FAILURE() << "images differ in size or format";
        d.max = 255;
        return d;
    }
    const int n = a.width() * 4;
    double sum = 0;
    long histogram[256] = {};
    for (int y = 0; y < a.height(); ++y) {
        const uchar* p = a.constScanLine(y);
        const uchar* q = b.constScanLine(y);
        for (int x = 0; x < n; ++x) {
            const int e = std::abs(int(p[x]) - int(q[x]));
            d.max = std::max(d.max, e);
            d.over1 += e > 1;
            sum += e;
            ++histogram[e];
        }
    }
    const double count = double(n) * std::max(a.height(), 1);
    d.mean = sum / count;
    long below = 0;
    while (d.p999 < 255 && double(below + histogram[d.p999]) < 0.999 * count) below += histogram[d.p999++];
    return d;
}

}  // namespace

// ---- Flame ----

TEST(Flame, ValuesAtTimeZero) {
    EXPECT_NEAR(flame::flicker(0), 0.00487, 5e-6);
    EXPECT_NEAR(flame::flicker(0), std::sin(1.7) * 0.015 - 0.01, 1e-15);
    EXPECT_EQ(flame::octaveOffset(22, 0, 0), 0);
    EXPECT_EQ(flame::octaveOffset(48, 3071, 0), 3071);
    EXPECT_EQ(flame::octaveOffset(-30, 8842, 0), 8842);
    // The scroll wraps every 10000 pixels: just after 10000 / 22 s octave A starts again.
    EXPECT_NEAR(flame::octaveOffset(22, 0, 10000.0 / 22 + 0.5), 11, 1e-6);
    const engine::Point e = flame::emberOffset(1280, 0);
    EXPECT_EQ(e.x, 0);
    EXPECT_EQ(e.y, 0);
    for (double t : {0.0, 0.3, 1.1, 77.7, 1e6})
        EXPECT_TRUE(flame::flicker(t) >= -0.045 && flame::flicker(t) <= 0.025) << t;
}

TEST(Flame, FireStaysOutOfTheTopSixtyPercent) {
    const Rect E{0, 0, 1280, 720};
    for (double t : {0.0, 12.5, 812345.25}) {
        // The layer as built, without the renderer's crop to the bottom band.
        const Pixels fire = render(flame::fireLayer(E, t));
        EXPECT_EQ(fire.max(3, 0, 288, 1280, 720), 0.0) << t;  // rows from 40 % of the height up
        // The fire is there along the bottom, in tongues with gaps between them, strongest at the
        // centre: its brightest tongues there outshine any at the sides, where the spread mask
        // lets through at most three quarters as much.
        const double centre = fire.max(3, 440, 0, 840, 40);
        const double side = std::max(fire.max(3, 0, 0, 64, 40), fire.max(3, 1216, 0, 1280, 40));
        std::printf("t=%.2f: fire's strongest alpha along the bottom %.3f at the centre, %.3f at the sides\n", t, centre, side);
        EXPECT_GT(centre, 0.3) << t;
        EXPECT_GT(centre, side) << t;
        EXPECT_GT(fire.mean(0, 320, 0, 960, 40), fire.mean(2, 320, 0, 960, 40)) << t;  // warm
    }
    // On a black frame the rendered effect is black above the fire, apart from the embers, which
    // fade out completely at the top.
    const Pixels out = render(flameLook().render(frameOf(Qt::black), 3.0));
    const Pixels embers = render(flame::emberLayer(E, 3.0));
    for (int y : {300, 450, 600, 719})
        for (int x = 0; x < 1280; x += 7) {
            const float* o = out.at(x, y);
            const float* e = embers.at(x, y);
            // Screened over opaque black, the picture is the embers' colour.
            for (int c = 0; c < 3; ++c) ASSERT_NEAR(o[c], e[c], 1e-5) << x << "," << y;
        }
    EXPECT_GT(embers.max(3, 0, 0, 1280, 200), 0.02);
    EXPECT_LT(embers.max(3, 0, 716, 1280, 720), 0.01);
    EXPECT_GT(out.mean(0, 540, 0, 740, 60), 0.05);  // fire in the bottom centre
}

TEST(Flame, GradeIsWarm) {
    const Pixels g = render(flame::grade(frameOf(QColor(128, 128, 128)), 0));
    const float* p = g.at(640, 360);
    EXPECT_GT(p[0], p[1]);
    EXPECT_GT(p[1], p[2]);
    EXPECT_FLOAT_EQ(p[3], 1.0f);
}

// Flame's kept rows, kept mask and banded octaves against the plain chain, at
// the camera's frame size and at a late frame time: within 2 levels of 8 bits, over ten frames
// (Drunk Mode's trails in use from the second on; where its breathing blur is on the half grid,
// within what a soft layer may be off by).
TEST(Flame, FastPathsMatchThePlainChainAtFullSize) {
    const Image src = Image::fromQImage([] {
        QImage cam(1280, 720, QImage::Format_ARGB32_Premultiplied);
        QPainter p(&cam);
        QLinearGradient g(0, 0, 1280, 720);
        g.setColorAt(0, QColor(40, 60, 180));
        g.setColorAt(0.5, QColor(220, 170, 60));
        g.setColorAt(1, QColor(20, 110, 70));
        p.fillRect(cam.rect(), g);
        p.setPen(QPen(Qt::white, 3));
        for (int i = 0; i < 40; ++i) p.drawLine(i * 32, 0, 1280 - i * 32, 720);
        return cam;
    }());
    for (VideoEffect e : {VideoEffect::flame, VideoEffect::drunkMode}) {
        resetDrunk();
        constexpr int kFrames = 10;
        QImage fast[kFrames], plain[kFrames];
        for (int f = 0; f < kFrames; ++f) {
            const double t = 820000123.4 + f / 30.0;
            fast[f] = renderer().renderQImage(applyVideoEffect(e, src, t, 82.8), {0, 0, 1280, 720});
        }
        resetDrunk();
        setStraightforwardChains(true);
        for (int f = 0; f < kFrames; ++f) {
            const double t = 820000123.4 + f / 30.0;
            plain[f] = renderer().renderQImage(applyVideoEffect(e, src, t, 82.8), {0, 0, 1280, 720});
        }
        setStraightforwardChains(false);
        int worst = 0;
        double worstMean = 0;
        for (int f = 0; f < kFrames; ++f) {
            const Difference d = difference(fast[f], plain[f]);
            if (e == VideoEffect::drunkMode && drunk::blurSigma(820000123.4 + f / 30.0) >= 2.0) {
                // Drunk Mode's breathing blur, a soft layer, is on the half grid here.
                EXPECT_LT(d.mean, 0.5) << rawValue(e) << " frame " << f;
                EXPECT_LE(d.p999, 8) << rawValue(e) << " frame " << f;
            } else {
                EXPECT_LE(d.max, 2) << rawValue(e) << " frame " << f;
                EXPECT_LT(d.mean, 0.05) << rawValue(e) << " frame " << f;
            }
            worst = std::max(worst, d.max);
            worstMean = std::max(worstMean, d.mean);
        }
        std::printf("%s at 1280x720: max %d, mean %.5f (8-bit units)\n", rawValue(e), worst, worstMean);
    }
    resetDrunk();
}

// The embers alone, a translucent picture and a moved one against the plain chain: in
// flame_look_test.cpp, on every vector target.

// ---- Drunk Mode ----

TEST(DrunkMode, ShakeAndBlurAtTimeZero) {
    const drunk::Shake s = drunk::shake(0);
    EXPECT_EQ(s.dx, 0);
    EXPECT_DOUBLE_EQ(s.dy, 17);
    EXPECT_EQ(s.angle, 0);
    EXPECT_DOUBLE_EQ(s.zoom, 1.14);
    EXPECT_DOUBLE_EQ(drunk::blurSigma(0), 2.55);
    // The centre moves by zoom × (dx, dy); a point 100 px right of it is 114 px right after.
    const engine::Affine a = drunk::shakeTransform(0, 640, 360);
    engine::Point c = a.map({640, 360}), r = a.map({740, 360});
    EXPECT_NEAR(c.x, 640, 1e-9);
    EXPECT_NEAR(c.y, 360 + 1.14 * 17, 1e-9);
    EXPECT_NEAR(r.x - c.x, 114, 1e-9);
    // A quarter period of sin(0.7 t) later the angle is 8 degrees, counter-clockwise.
    const double tq = M_PI / 2 / 0.7;
    EXPECT_NEAR(drunk::shake(tq).angle, 8 * M_PI / 180, 1e-12);
    const engine::Affine b = drunk::shakeTransform(tq, 0, 0);
    const engine::Point u = b.map({1, 0}), o = b.map({0, 0});
    EXPECT_NEAR(std::atan2(u.y - o.y, u.x - o.x), 8 * M_PI / 180, 1e-12);
}

TEST(DrunkMode, TrailsFillAndSurviveOtherEffects) {
    resetDrunk();
    const Image red = frameOf(QColor(200, 30, 30)), blue = frameOf(QColor(30, 30, 200));
    const double t = 0;  // no sway of the ghost sideways, no rotation
    // The first frame has no trails: a flat frame stays flat and equals its own grade (blurred
    // flatness is flatness).
    const Pixels first = render(applyVideoEffect(VideoEffect::drunkMode, red, t, 0));
    const Pixels gradedRed = render(drunk::grade(red));
    EXPECT_EQ(drunkLook().historyDepth(), 1);
    EXPECT_NEAR(first.at(640, 360)[0], gradedRed.at(640, 360)[0], 1e-4);
    EXPECT_NEAR(first.at(640, 360)[2], gradedRed.at(640, 360)[2], 1e-4);
    for (int i = 2; i <= 4; ++i) {
        applyVideoEffect(VideoEffect::drunkMode, red, t, 0);
        EXPECT_EQ(drunkLook().historyDepth(), std::min(i, 3));
    }
    // Other looks leave the history alone.
    for (VideoEffect e : {VideoEffect::none, VideoEffect::flame, VideoEffect::missionControl, VideoEffect::dreamSequence})
        applyVideoEffect(e, blue, 5, 82.8);
    EXPECT_EQ(drunkLook().historyDepth(), 3);
    // Back on Drunk Mode with a blue picture: the red frames of the last period show through.
    const Pixels back = render(applyVideoEffect(VideoEffect::drunkMode, blue, t, 0));
    resetDrunk();
    const Pixels fresh = render(applyVideoEffect(VideoEffect::drunkMode, blue, t, 0));
    const float* b = back.at(640, 360);
    const float* f = fresh.at(640, 360);
    EXPECT_GT(b[0], f[0] + 0.1);
    EXPECT_LT(b[2], f[2] - 0.1);
    // Trails at 0.45, 0.3, 0.18 over the blue acc: red share 1 − 0.55·0.7·0.82 of the way.
    const Pixels gradedBlue = render(drunk::grade(blue));
    const double share = 1 - 0.55 * 0.7 * 0.82;
    const double expected = gradedBlue.at(640, 360)[0] + share * (gradedRed.at(640, 360)[0] - gradedBlue.at(640, 360)[0]);
    EXPECT_NEAR(b[0], expected, 0.01);
}

TEST(DrunkMode, HistoryHoldsTheGradedPictureOnly) {
    resetDrunk();
    // A sharp vertical edge: the ghost (blurred, moved 22 px at most) would smear it.
    QImage half = filled(1280, 720, Qt::black);
    QPainter(&half).fillRect(0, 0, 640, 720, Qt::white);
    const Image src = Image::fromQImage(half);
    for (int i = 0; i < 3; ++i) applyVideoEffect(VideoEffect::drunkMode, src, 1.0 + i, 0);
    const Pixels graded = render(drunk::grade(src));
    for (int slot = 0; slot < 3; ++slot) {
        const Pixels h = render(drunkLook().history()[size_t(slot)]);
        for (int x : {600, 638, 639, 640, 641, 700}) {
            // Kept at half precision: 11 significant bits.
            EXPECT_NEAR(h.at(x, 360)[0], graded.at(x, 360)[0], graded.at(x, 360)[0] / 2048 + 1e-7) << slot << " " << x;
            EXPECT_EQ(h.at(x, 360)[3], 1.0f);
        }
    }
    resetDrunk();
}

// The look as scheduled (pictures kept, runs of overs in one pass, the tone table, the breathing
// blur a soft layer on the half grid from sigma 2) against its chain done literally, where the
// breathing blur is thinnest (sigma 0.9), just past 2, at 3.9 (8 degrees of roll) and widest
// (4.3), each with the trails full. With the blur on the full grid in both, within one level of
// 8 bits; on the half grid, under half a level on average and at most 8 at the 99.9th percentile.
TEST(DrunkMode, SchedulesGiveThePlainChainAcrossTheBreath) {
    ostrela::test::forEachSimdTarget([&] {
        const Image src = Image::fromQImage([] {
            QImage cam(1280, 720, QImage::Format_ARGB32_Premultiplied);
            QPainter p(&cam);
            QLinearGradient g(0, 0, 1280, 720);
            g.setColorAt(0, QColor(10, 20, 90));
            g.setColorAt(0.5, QColor(240, 200, 60));
            g.setColorAt(1, QColor(5, 60, 30));
            p.fillRect(cam.rect(), g);
            p.setPen(QPen(Qt::white, 2));
            for (int i = 0; i < 60; ++i) p.drawLine(i * 22, 0, 1280 - i * 22, 720);
            p.fillRect(100, 100, 200, 150, Qt::black);
            return cam;
        }());
        for (double t0 : {-2.5, -0.4, 1.76, 3.1416}) {
            constexpr int kFrames = 4;
            QImage fast[kFrames], plain[kFrames];
            resetDrunk();
            for (int f = 0; f < kFrames; ++f)
                fast[f] = renderer().renderQImage(drunkLook().render(src, t0 + f / 30.0), {0, 0, 1280, 720});
            resetDrunk();
            setStraightforwardChains(true);
            for (int f = 0; f < kFrames; ++f)
                plain[f] = renderer().renderQImage(drunkLook().render(src, t0 + f / 30.0), {0, 0, 1280, 720});
            setStraightforwardChains(false);
            for (int f = 0; f < kFrames; ++f) {
                const Difference d = difference(fast[f], plain[f]);
                if (drunk::blurSigma(t0 + f / 30.0) < 2.0) {
                    EXPECT_LE(d.max, 1) << "t " << t0 << " frame " << f;
                    EXPECT_LT(d.mean, 0.01) << "t " << t0 << " frame " << f;
                } else {
                    EXPECT_LT(d.mean, 0.5) << "t " << t0 << " frame " << f;
                    EXPECT_LE(d.p999, 8) << "t " << t0 << " frame " << f;
                }
                if (f == kFrames - 1)
                    std::printf("drunkMode t=%.2f sigma %.2f: max %d, mean %.4f, 99.9th percentile %d\n", t0,
                                drunk::blurSigma(t0 + f / 30.0), d.max, d.mean, d.p999);
            }
        }
        resetDrunk();
    });
}

// ---- Dream Sequence ----

TEST(DreamSequence, ValuesAtTimeZero) {
    EXPECT_EQ(dream::hueAngle(0), 0);
    EXPECT_EQ(dream::fringeOffset(0), 2);
    EXPECT_DOUBLE_EQ(dream::burstPulse(0), 0.6);
    EXPECT_DOUBLE_EQ(dream::burstScale(1, 0), 1.045);
    EXPECT_DOUBLE_EQ(dream::burstScale(9, 0), 1.405);
    const dream::Drift d = dream::drift(0);
    EXPECT_EQ(d.dx, 0);
    EXPECT_EQ(d.dy, 3);
    EXPECT_DOUBLE_EQ(d.zoom, 1.045);
    EXPECT_EQ(d.angle, 0);
    const engine::Affine a = dream::driftTransform(0, 640, 360);
    EXPECT_NEAR(a.map({640, 360}).y, 360 + 1.045 * 3, 1e-9);
    const Rect E{0, 0, 1280, 720};
    const engine::Point o = dream::orbCentre(0, E, 0);
    EXPECT_DOUBLE_EQ(o.x, 640);
    EXPECT_DOUBLE_EQ(o.y, 360 + 0.28 * 720);
    EXPECT_NEAR(std::abs(dream::hueAngle(M_PI / 2 / 0.12)), 55 * M_PI / 180, 1e-12);
}

TEST(DreamSequence, SparklesFadeAndDarkOnesAreNotDrawn) {
    // Sparkle 0 sits at (0.5 W, 1.0 H) with b = sin(t) × 0.5 + 0.5; sparkle 1 at x = 47.3.
    auto alphaAt = [](const QImage& img, double fx, double fy) {
        const int x = std::clamp(int(fx), 0, img.width() - 1), y = std::clamp(img.height() - 1 - int(fy), 0, img.height() - 1);
        return qAlpha(img.pixel(x, y));
    };
    const double x1 = 47.3;
    const double cx = (std::sin(x1) * 0.5 + 0.5) * 1280, cy = (std::cos(1.7 * x1) * 0.5 + 0.5) * 720;
    const double tBright = M_PI / 2 - x1 + 200 * M_PI;  // b = 1
    const double tDark = -M_PI / 2 - x1 + 200 * M_PI;   // b = 0
    // The squares put together on the frame's bitmap; each holds its disc whole.
    auto bitmap = [](double t) {
        QImage img(1280, 720, QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
        QPainter p(&img);
        for (const dream::SparkleSquare& s : dream::sparkles(1280, 720, t)) {
            const QImage& q = s.image;
            EXPECT_EQ(q.width(), q.height());
            for (int i = 0; i < q.width(); ++i)
                for (int e : {0, q.width() - 1}) {
                    EXPECT_EQ(qAlpha(q.pixel(i, e)), 0);
                    EXPECT_EQ(qAlpha(q.pixel(e, i)), 0);
                }
            p.drawImage(s.x, s.y, q);
        }
        return img;
    };
    const QImage bright = bitmap(tBright), dark = bitmap(tDark);
    EXPECT_NEAR(alphaAt(bright, cx, cy), 0.55 * 255, 40);
    EXPECT_EQ(alphaAt(dark, cx, cy), 0);
    // b = 0.35 exactly is not drawn either; just above it is, faintly.
    const double tEdge = std::asin(0.35 * 2 - 1) - x1 + 200 * M_PI;
    EXPECT_EQ(alphaAt(bitmap(tEdge - 1e-9), cx, cy), 0);
    EXPECT_GT(alphaAt(bitmap(tEdge + 0.05), cx, cy), 0);
}

namespace {
// A look's last of `frames` frames from empty memory slots, a thirtieth of a second apart from
// t, with the plain chains or the shortcuts, handed to `draw` before the switch is put back.
template <class Draw>
auto lastFrame(VideoEffect e, const Image& src, double t, int frames, double elapsed, bool plain, Draw draw) {
    resetDrunk();
    resetDream();
    setStraightforwardChains(plain);
    Image im;
    for (int f = 0; f < frames; ++f) im = applyVideoEffect(e, src, t + f / 30.0, elapsed);
    auto out = draw(im);
    setStraightforwardChains(false);
    resetDrunk();
    resetDream();
    return out;
}
}  // namespace

// On a frame whose extent does not start at the origin the sparkles lie where the bitmap's
// rows say, counted from the extent's bottom edge, in the fast and the plain chain alike.
TEST(DreamSequence, SparklesSitOnTheExtent) {
    const Image src = fitToOutput(Image::fromQImage(filled(640, 480, QColor(10, 10, 10))));
    ASSERT_EQ(src.extent(), (Rect{0, -120, 1280, 960}));
    const double x1 = 47.3;
    const double t = M_PI / 2 - x1 + 200 * M_PI;  // sparkle 1 at full strength
    const int cx = int((std::sin(x1) * 0.5 + 0.5) * 1280), cy = int(-120 + (std::cos(1.7 * x1) * 0.5 + 0.5) * 960);
    for (bool plain : {false, true}) {
        const Pixels p = lastFrame(VideoEffect::dreamSequence, src, t, 1, 0, plain,
                                   [&](const Image& im) { return render(im, {cx - 20, cy - 20, 41, 41}); });
        const double spot = p.max(1, cx - 2, cy - 2, cx + 3, cy + 3);
        const double around = std::max(p.max(1, cx - 20, cy - 20, cx + 21, cy - 10), p.max(1, cx - 20, cy + 11, cx + 21, cy + 21));
        EXPECT_GT(spot, around + 0.1) << (plain ? "plain" : "fast");
    }
}

TEST(DreamSequence, EchoSurvivesOtherEffects) {
    resetDrunk();
    resetDream();
    const Image red = frameOf(QColor(220, 40, 40)), blue = frameOf(QColor(30, 40, 210));
    EXPECT_TRUE(dreamLook().echo().isNull());
    applyVideoEffect(VideoEffect::dreamSequence, red, 100, 0);
    EXPECT_FALSE(dreamLook().echo().isNull());
    for (VideoEffect e : {VideoEffect::none, VideoEffect::flame, VideoEffect::drunkMode, VideoEffect::missionControl})
        applyVideoEffect(e, blue, 100, 0);
    EXPECT_FALSE(dreamLook().echo().isNull());
    // The echo holds a fringed picture of the red frame: far more red than blue.
    const Pixels echo = render(dreamLook().echo());
    EXPECT_GT(echo.at(640, 360)[0], echo.at(640, 360)[2] + 0.2);
    const Pixels back = render(applyVideoEffect(VideoEffect::dreamSequence, blue, 100, 0));
    resetDream();
    const Pixels fresh = render(applyVideoEffect(VideoEffect::dreamSequence, blue, 100, 0));
    // The red frame shows through at 16 %; the first frame of a fresh period has no echo.
    const double dr = back.mean(0, 600, 330, 680, 390) - fresh.mean(0, 600, 330, 680, 390);
    EXPECT_GT(dr, 0.02);
    EXPECT_LT(dr, 0.3);
    resetDream();
    resetDrunk();
}

TEST(DreamSequence, RippleTimeKeepsMovingLateInTheCentury) {
    // Seconds since 2001 are far beyond single precision's whole seconds; the ripple must still
    // change between frames a thirtieth of a second apart.
    resetDream();
    const Image src = [] {
        QImage img = filled(1280, 720, Qt::black);
        QPainter p(&img);
        for (int x = 0; x < 1280; x += 16) p.fillRect(x, 0, 8, 720, Qt::white);
        return Image::fromQImage(img);
    }();
    const double t = 820000000.0;
    const Pixels a = render(applyWarp(src, std::make_shared<DreamRippleKernel>(9.0f, float(std::fmod(t, 20 * M_PI)))));
    const Pixels b = render(applyWarp(src, std::make_shared<DreamRippleKernel>(9.0f, float(std::fmod(t + 0.5, 20 * M_PI)))));
    double diff = 0;
    for (int x = 0; x < 1280; ++x) diff += std::abs(a.at(x, 360)[0] - b.at(x, 360)[0]);
    EXPECT_GT(diff, 10);
    // The reduction is exact: both sines have 20π as a period.
    for (double tt : {0.0, 1.234, 100.5})
        EXPECT_NEAR(std::sin(0.6 * (tt + 20 * M_PI)), std::sin(0.6 * tt), 1e-12);
}

// ---- All four ----

TEST(HeavyLooks, KeepTheFourByThreeExtent) {
    const Image src = fitToOutput(Image::fromQImage(filled(640, 480, QColor(90, 120, 150))));
    ASSERT_EQ(src.extent(), (Rect{0, -120, 1280, 960}));
    for (VideoEffect e : {VideoEffect::flame, VideoEffect::drunkMode, VideoEffect::missionControl,
                          VideoEffect::dreamSequence}) {
        for (int frame = 0; frame < 2; ++frame) {  // the second with memory in the slots
            const Image out = applyVideoEffect(e, src, 500 + frame / 30.0, 82.8);
            EXPECT_EQ(out.extent(), (Rect{0, -120, 1280, 960})) << rawValue(e);
            const Pixels p = render(out, {0, -120, 1280, 960});
            EXPECT_GT(p.mean(3, 600, -100, 680, 800), 0.9) << rawValue(e);  // covered, not transparent
        }
    }
    resetDrunk();
    resetDream();
}

TEST(HeavyLooks, SameTimeSamePicture) {
    const Image src = frameOf(QColor(100, 150, 90));
    for (VideoEffect e : {VideoEffect::flame, VideoEffect::missionControl}) {
        const Pixels a = render(applyVideoEffect(e, src, 4242.125, 0));
        const Pixels b = render(applyVideoEffect(e, src, 4242.125, 0));
        EXPECT_EQ(a.v, b.v) << rawValue(e);
    }
}

// The shortcuts (pictures evaluated once, fused passes, the fire band) against the plain chains,
// over three frames so the memory slots are in use: the same picture within 8-bit rounding.
TEST(HeavyLooks, ShortcutsMatchThePlainChains) {
    ostrela::test::forEachSimdTarget([&] {
        // Half the frame size keeps the plain chains' time down; every look works on any extent.
        QImage cam(640, 360, QImage::Format_ARGB32_Premultiplied);
        {
            QPainter p(&cam);
            QLinearGradient g(0, 0, 640, 360);
            g.setColorAt(0, QColor(40, 60, 180));
            g.setColorAt(0.5, QColor(220, 170, 60));
            g.setColorAt(1, QColor(20, 110, 70));
            p.fillRect(cam.rect(), g);
            p.setPen(QPen(Qt::white, 3));
            for (int i = 0; i < 40; ++i) p.drawLine(i * 16, 0, 640 - i * 16, 360);
        }
        const Image src = Image::fromQImage(cam);
        for (VideoEffect e : {VideoEffect::flame, VideoEffect::drunkMode, VideoEffect::dreamSequence, VideoEffect::missionControl}) {
            QImage out[2];
            for (int plain = 0; plain < 2; ++plain)
                out[plain] = lastFrame(e, src, 820000000.0, 3, 82.8, plain == 1,
                                       [](const Image& im) { return renderer().renderQImage(im, {0, 0, 640, 360}); });
            const Difference d = difference(out[0], out[1]);
            const int maxErr = d.max;
            const double mean = d.mean;
            RecordProperty(std::string(rawValue(e)) + "_max", maxErr);
            std::printf("%s: max %d, 99.9th percentile %d, mean %.4f (8-bit units)\n", rawValue(e), maxErr, d.p999, mean);
            if (e == VideoEffect::dreamSequence) {
                // Dream's zoom burst is a soft layer made on the half grid: it may move the look by
                // a mean of half a level, and a thousandth of the values by more than 8.
                EXPECT_LE(d.p999, 8);
                EXPECT_LT(mean, 0.5);
                continue;
            }
            EXPECT_LE(maxErr, 3) << rawValue(e);
            EXPECT_LT(mean, 0.1) << rawValue(e);
        }
    });
}

// The half-grid blurs, the paired echo and the burst's pair tables on a picture of odd size at
// an odd offset: the grid cells straddle its edges and no tile starts on an even column.
TEST(DreamSequence, ShortcutsMatchThePlainChainOnAnOddlyPlacedPicture) {
    ostrela::test::forEachSimdTarget([&] {
        QImage cam(321, 183, QImage::Format_ARGB32_Premultiplied);
        {
            QPainter p(&cam);
            p.fillRect(cam.rect(), QColor(30, 90, 160));
            p.fillRect(QRect(0, 0, 160, 90), QColor(240, 220, 40));
            p.setPen(QPen(Qt::white, 1));
            for (int i = 0; i < 20; ++i) p.drawLine(i * 16 + 1, 0, 320 - i * 16, 182);
        }
        const Image src = Image::fromQImage(cam).translated(3, -7);
        const Rect E = src.extent();
        ASSERT_EQ(E, (Rect{3, -7, 321, 183}));
        QImage out[2];
        for (int plain = 0; plain < 2; ++plain)
            out[plain] = lastFrame(VideoEffect::dreamSequence, src, 41.0, 2, 0, plain == 1, [&](const Image& im) {
                EXPECT_EQ(im.extent(), E);
                return renderer().renderQImage(im, {3, -7, 321, 183});
            });
        const Difference d = difference(out[0], out[1]);
        std::printf("odd picture: max %d, 99.9th percentile %d, mean %.4f (8-bit units)\n", d.max, d.p999, d.mean);
        // The burst's layer is made on the half grid (see ShortcutsMatchThePlainChains).
        EXPECT_LE(d.p999, 8);
        EXPECT_LT(d.mean, 0.5);
        // Not transparent anywhere: the edges of the picture are drawn, not lost to the grid.
        for (int y : {0, 91, 182})
            for (int x : {0, 160, 320}) EXPECT_EQ(qAlpha(out[0].pixel(x, y)), 255) << x << "," << y;
    });
}
// Stored pictures reuse their buffers from frame to frame, also when a picture's size follows
// the time and when a frame asks for pictures of other sizes in between.
TEST(StoredPictures, BuffersAreReusedAcrossSizesThatDrift) {
    const Image src = Image::fromQImage(filled(1013, 1009, QColor(200, 120, 40)));
    auto made = [&](int w, int h) { return materialize(src.cropped({0, 0, double(w), double(h)})); };
    const float* first = nullptr;
    {
        const Image a = made(1013, 1000);
        ASSERT_TRUE(pixelsOf(a));
        first = pixelsOf(a).data;
    }
    for (int frame = 0; frame < 6; ++frame) {
        // A small picture in between must not make the pool drop the large buffer.
        const Image small = made(97, 89);
        ASSERT_TRUE(pixelsOf(small));
        const int h = 1000 + (frame % 3) * 9 - 9;  // 991, 1000, 1009 rows
        const Image big = made(1013, h);
        const PixelView v = pixelsOf(big);
        ASSERT_TRUE(v);
        EXPECT_EQ(v.bounds, (engine::IRect{0, 0, 1013, h}));
        EXPECT_EQ(v.data, first) << "frame " << frame << ", " << h << " rows";
        // The reused buffer holds this picture, not what was left in it.
        const float* p = v.at(1012, h - 1);
        ASSERT_NE(p, nullptr);
        EXPECT_NEAR(p[3], 1.0, 1e-6);
        EXPECT_GT(p[0], p[1]);
        EXPECT_GT(p[1], p[2]);
    }
}

// The one-pass grade the filters form by themselves against the three filters each on its own
// (the reference schedule), on a row long enough for every block width and a tail, with
// see-through and transparent pixels among opaque ones, on every vector target.
TEST(DreamSequence, OnePassGradeEqualsTheThreeFilters) {
    ostrela::test::forEachSimdTarget([&] {
        QImage img(45, 1, QImage::Format_ARGB32_Premultiplied);
        for (int x = 0; x < 45; ++x) {
            const int a = x % 7 == 3 ? 0 : x % 5 == 1 ? 90 + x : 255;
            img.setPixel(x, 0, qRgba((x * 53) % 256 * a / 255, (x * 29 + 40) % 256 * a / 255, (255 - x * 5) * a / 255, a));
        }
        // Moved by a fraction, as the ripple's picture is: not a plain 8-bit picture.
        const Image src = Image::fromQImage(img).translated(0.25, 0).cropped({0, 0, 45, 1});
        const auto grade = [&] {
            const Image g = engine::filters::colorControls(src, 0.92, 0.015, 0.88);
            return engine::filters::hueAdjust(engine::filters::gammaAdjust(g, 0.9), 0.7);
        };
        const Image chain = grade();
        const auto* pw = dynamic_cast<const engine::PointwiseNode*>(chain.node().get());
        ASSERT_TRUE(pw);
        ASSERT_EQ(pw->ops().size(), 1u);  // one op, not three
        const Pixels fused = render(chain, {0, 0, 45, 1});
        engine::setStraightforwardChains(true);
        const Image plain = grade();
        // The switch is the calling thread's: a chain built on another thread meanwhile is fused.
        size_t elsewhere = 0;
        std::thread([&] { elsewhere = dynamic_cast<const engine::PointwiseNode*>(grade().node().get())->ops().size(); }).join();
        engine::setStraightforwardChains(false);
        EXPECT_EQ(elsewhere, 1u);
        ASSERT_EQ(dynamic_cast<const engine::PointwiseNode*>(plain.node().get())->ops().size(), 3u);
        const Pixels want = render(plain, {0, 0, 45, 1});
        for (int x = 0; x < 45; ++x)
            for (int c = 0; c < 4; ++c) EXPECT_NEAR(fused.at(x, 0)[c], want.at(x, 0)[c], 1e-3) << x << "," << c;
        EXPECT_EQ(fused.at(3, 0)[3], want.at(3, 0)[3]);
        EXPECT_EQ(fused.at(0, 0)[3], want.at(0, 0)[3]);
    });
}

// With the colour controls and the hue left neutral the grade is the power alone: over a grey
// ramp of every encoded value, what comes out is the fast decode of the exact curve at the fast
// encode of what went in. The difference, taken back through the decode's slope, is the curve's
// own error: in sixteen-pixel blocks over 2^-8 ≤ e < 1 (the cubics, or the table where a kink
// leaves no cubic close enough, as under the power 1.6) at most 3e-5; elsewhere (the darkest
// values, white, the eight-lane tail, all from the table) within its step.
TEST(DreamSequence, OnePassGradeFollowsThePowerOverTheWholeRange) {
    ostrela::test::forEachSimdTarget([&] {
        constexpr int n = 4099;  // 256 blocks of sixteen and a tail of three
        auto slope = [](double c) { return c < 0.04045 ? 1 / 12.92 : 2.4 / 1.055 * std::pow((c + 0.055) / 1.055, 1.4); };
        for (double power : {0.9, 1.6}) {
            const engine::PixelOpPtr op = engine::filters::toneCurveOp(engine::identityMatrix(), power, engine::identityMatrix());
            ASSERT_TRUE(op);
            std::vector<float> px(size_t(n) * 4);
            for (int i = 0; i < n; ++i) {
                const float v = float(engine::color::srgbToLinear(double(i) / (n - 1)));
                px[size_t(i) * 4 + 0] = px[size_t(i) * 4 + 1] = px[size_t(i) * 4 + 2] = v;
                px[size_t(i) * 4 + 3] = 1.0f;
            }
            const std::vector<float> in = px;
            op->apply(px.data(), n);
            double worstCubic = 0, worstTable = 0;
            for (int i = 0; i < n; ++i) {
                const double e = engine::filters::encodeSRGBFast(in[size_t(i) * 4]);
                const double lin = engine::color::srgbToLinear(e);
                const double c = lin > 0 ? engine::color::linearToSRGB(std::pow(lin, power)) : 0.0;
                const double want = engine::filters::decodeSRGBFast(float(c));
                const bool cubic = i < n - 3 && e >= 1.0 / 256 && e < 1.0;
                for (int ch = 0; ch < 3; ++ch) {
                    const double err = std::abs(px[size_t(i) * 4 + ch] - want) / slope(c);
                    (cubic ? worstCubic : worstTable) = std::max(cubic ? worstCubic : worstTable, err);

                }
                ASSERT_EQ(px[size_t(i) * 4 + 3], 1.0f);
            }
            EXPECT_LT(worstCubic, 3e-5) << power;
            EXPECT_LT(worstTable, 1.5e-4) << power;
            EXPECT_NEAR(px[0], 0.0f, 1e-6);
            EXPECT_NEAR(px[size_t(n - 1) * 4], 1.0f, 1e-4);
        }
    });
}

// A picture with a see-through band: the burst keeps the alpha of its copies where the picture
// under them is not opaque, its layer made on the half grid or not, on every vector target.
TEST(DreamSequence, BurstKeepsASeeThroughBand) {
    ostrela::test::forEachSimdTarget([&] {
        QImage cam(650, 360, QImage::Format_ARGB32_Premultiplied);
        {
            QPainter p(&cam);
            QLinearGradient g(0, 0, 650, 0);
            g.setColorAt(0, QColor(200, 40, 60));
            g.setColorAt(1, QColor(30, 160, 220));
            p.fillRect(cam.rect(), g);
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.fillRect(QRect(0, 150, 650, 60), QColor(250, 250, 120, 40));
            p.setPen(QPen(Qt::white, 2));
            for (int i = 0; i < 30; ++i) p.drawLine(i * 22, 0, 640 - i * 22, 360);
        }
        const Image src = Image::fromQImage(cam);
        auto frame = [&](bool plain) {
            return lastFrame(VideoEffect::dreamSequence, src, 300.0, 2, 0, plain, [](const Image& im) { return render(im, {0, 0, 650, 360}); });
        };
        const Pixels soft = frame(false), plain = frame(true);
        double worst = 0;
        for (size_t i = 0; i < soft.v.size(); ++i) worst = std::max(worst, double(std::abs(soft.v[i] - plain.v[i])));
        // The half grid softens the copies' edges (the lines here) by a few levels; a copy read
        // from the wrong place differs far more.
        EXPECT_LT(worst, 0.1);
        // Through the band, away from the centre's light, the frame stays see-through; beside it,
        // opaque.
        EXPECT_LT(soft.at(8, 180)[3], 0.97);
        EXPECT_NEAR(plain.at(8, 180)[3], soft.at(8, 180)[3], 1e-3);
        EXPECT_NEAR(soft.at(8, 40)[3], 1.0, 1e-6);
    });
}

TEST(HeavyLooks, EmptyAndTinyPicturesDoNotBreakThem) {
    for (VideoEffect e : {VideoEffect::flame, VideoEffect::drunkMode, VideoEffect::missionControl,
                          VideoEffect::dreamSequence}) {
        for (int f = 0; f < 2; ++f) {
            const Image none = applyVideoEffect(e, Image(), 10 + f, 82.8);
            EXPECT_TRUE(none.extent().isEmpty()) << rawValue(e);
            render(none, {0, 0, 8, 8});
            const Image tiny = applyVideoEffect(e, Image::fromQImage(filled(1, 1, Qt::red)), 10 + f, 82.8);
            EXPECT_EQ(tiny.extent(), (Rect{0, 0, 1, 1})) << rawValue(e);
            render(tiny, {0, 0, 1, 1});
        }
    }
    // Memory from a tiny picture, then a full frame: the trails and the echo of another size
    // are drawn where they lie.
    const Image full = frameOf(QColor(10, 200, 10));
    for (VideoEffect e : {VideoEffect::drunkMode, VideoEffect::dreamSequence}) {
        const Pixels p = render(applyVideoEffect(e, full, 11, 0));
        EXPECT_GT(p.at(640, 360)[1], p.at(640, 360)[0]) << rawValue(e);
    }
    resetDrunk();
    resetDream();
}

// A look switched away gives back what it can make again; trails and echo stay for its return.
TEST(EffectSet, SwitchingAwayDropsCachesAndKeepsMemory) {
    EffectSet set;
    const Image src = Image::fromQImage(filled(1280, 720, QColor(200, 120, 60)));
    auto frame = [&](VideoEffect e, double t) { return render(applyVideoEffect(set, e, src, t, 0)); };
    frame(VideoEffect::flame, 50);
    auto& flame = static_cast<Flame&>(*set.existing(VideoEffect::flame));
    EXPECT_TRUE(flame.holdsCaches());
    frame(VideoEffect::snow, 50.1);
    EXPECT_FALSE(flame.holdsCaches());
    auto& snow = static_cast<Snow&>(*set.existing(VideoEffect::snow));
    EXPECT_TRUE(snow.holdsSpecks());
    frame(VideoEffect::drunkMode, 50.2);
    frame(VideoEffect::dreamSequence, 50.3);
    EXPECT_FALSE(snow.holdsSpecks());
    frame(VideoEffect::none, 50.4);
    EXPECT_EQ(static_cast<DrunkMode&>(*set.existing(VideoEffect::drunkMode)).historyDepth(), 1);
    EXPECT_FALSE(static_cast<DreamSequence&>(*set.existing(VideoEffect::dreamSequence)).echo().isNull());
    // Back on Flame: the same picture as a new object's, caches made again.
    const Pixels again = frame(VideoEffect::flame, 60);
    EXPECT_TRUE(flame.holdsCaches());
    Flame other;
    EXPECT_TRUE(again.v == render(other.render(src, 60.0)).v);
    // A set of its own shares none of it.
    EffectSet second;
    EXPECT_EQ(second.existing(VideoEffect::drunkMode), nullptr);
    EXPECT_EQ(static_cast<DrunkMode&>(*second.instance(VideoEffect::drunkMode)).historyDepth(), 0);
}

// The trails and the echo are kept at half precision from the frame after they were made: half
// the bytes of their floats. Another look shown, they stay as they are, and the look resumes with
// exactly the frame of an object never switched away.
TEST(DrunkMode, TrailsKeptAtHalfPrecisionResumeTheSameLook) {
    const Image src = rampFrame();
    DrunkMode switched, staying;
    for (const double t : {3.0, 3.033, 3.066}) {
        switched.render(src, t);
        staying.render(src, t);
    }
    EXPECT_EQ(switched.historyDepth(), 3);
    EXPECT_EQ(switched.historyBytes(), size_t(3) * 1280 * 720 * 4 * 2);
    switched.suspend();
    EXPECT_EQ(switched.historyBytes(), size_t(3) * 1280 * 720 * 4 * 2);
    EXPECT_TRUE(render(switched.render(src, 3.1)).v == render(staying.render(src, 3.1)).v);
}

TEST(DreamSequence, EchoKeptAtHalfPrecisionResumesTheSameLook) {
    const Image src = rampFrame();
    DreamSequence switched, staying;
    for (const double t : {3.0, 3.033}) {
        switched.render(src, t);
        staying.render(src, t);
    }
    EXPECT_EQ(switched.echoBytes(), size_t(1280) * 720 * 4 * 2);
    switched.suspend();
    EXPECT_EQ(switched.echoBytes(), size_t(1280) * 720 * 4 * 2);
    EXPECT_TRUE(render(switched.render(src, 3.066)).v == render(staying.render(src, 3.066)).v);
}
