#include "pipeline/FrameBuffer.h"
#include "pipeline/FrameComposer.h"
#include "pipeline/Settings.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <QImage>

#include <cstring>
#include <thread>
#include <vector>

using namespace ostrela;

namespace {
QImage filled(int w, int h, QColor c) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(c);
    return img;
}
uint32_t pixelAt(const std::vector<uint8_t>& frame, int x, int rowFromTop) {
    uint32_t v;
    std::memcpy(&v, frame.data() + (size_t(rowFromTop) * kFrameWidth + x) * 4, 4);
    return v;  // 0xAARRGGBB on little-endian, like QRgb
}
}  // namespace

TEST(BarReservation, FollowsTheBarAndTheSafeArea) {
    test::ScopedTestEnv env;
    BarReservation off = readBarReservation();
    EXPECT_FALSE(off.barEnabled);
    EXPECT_EQ(off.barReserve, 0);
    EXPECT_EQ(off.barLift, 0);
    EXPECT_EQ(off.topInset, 0);

    settings::setLowerThirdEnabled(true);
    BarReservation on = readBarReservation();
    EXPECT_TRUE(on.barEnabled);
    EXPECT_NEAR(on.barReserve, 82.8, 1e-9);
    EXPECT_EQ(on.barLift, 0);
    EXPECT_EQ(on.topInset, 0);

    settings::setLowerThirdGoogleMeetSafeArea(true);
    BarReservation meet = readBarReservation();
    EXPECT_NEAR(meet.barReserve, 118.8, 1e-9);
    EXPECT_NEAR(meet.barLift, 36, 1e-9);
    EXPECT_EQ(meet.topInset, 36);

    settings::setLowerThirdEnabled(false);
    BarReservation insetOnly = readBarReservation();
    EXPECT_FALSE(insetOnly.barEnabled);
    EXPECT_EQ(insetOnly.barReserve, 0);
    EXPECT_EQ(insetOnly.barLift, 0);
    EXPECT_EQ(insetOnly.topInset, 36);  // independent of the bar
}

TEST(FrameComposer, PublishesTheCameraPictureTopRowFirst) {
    test::ScopedTestEnv env;
    QImage cam = filled(1280, 720, QColor(10, 20, 30));
    for (int x = 0; x < 1280; ++x) cam.setPixel(x, 0, qRgb(255, 0, 0));
    for (int y = 0; y < 720; ++y) cam.setPixel(1279, y, qRgb(0, 255, 0));
    std::vector<uint8_t> frame(kFrameBytes, 0xAB);
    FrameComposer composer(2);
    composer.render(cam, nullptr, 100.0, frame.data());
    EXPECT_EQ(pixelAt(frame, 5, 0), qRgb(255, 0, 0));
    EXPECT_EQ(pixelAt(frame, 5, 1), qRgb(10, 20, 30));
    EXPECT_EQ(pixelAt(frame, 1279, 400), qRgb(0, 255, 0));
    EXPECT_EQ(0, std::memcmp(frame.data() + kFrameStride * 100, cam.constScanLine(100), kFrameStride));
    EXPECT_EQ(composer.lastEffect(), VideoEffect::none);
}

TEST(FrameComposer, FitsOtherSizesAndCoversTheWholeFrame) {
    test::ScopedTestEnv env;
    QImage cam = filled(640, 480, Qt::green);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 640; ++x) cam.setPixel(x, y, qRgb(255, 0, 0));  // cut off by the fit
    std::vector<uint8_t> frame(kFrameBytes, 0);
    FrameComposer composer(2);
    composer.render(cam, nullptr, 0, frame.data());
    EXPECT_EQ(pixelAt(frame, 640, 1), qRgb(0, 255, 0));
    EXPECT_EQ(pixelAt(frame, 640, 719), qRgb(0, 255, 0));
    EXPECT_EQ(pixelAt(frame, 0, 360), qRgb(0, 255, 0));
    EXPECT_GT(qRed(pixelAt(frame, 640, 0)), 0);  // row 0 still blends the last red row
    // A tiny frame is scaled up to cover everything; nothing stays transparent.
    composer.render(filled(3, 2, Qt::blue), nullptr, 0, frame.data());
    for (int row : {0, 359, 719})
        for (int x : {0, 640, 1279}) EXPECT_EQ(pixelAt(frame, x, row), qRgb(0, 0, 255)) << x << "," << row;
}

TEST(FrameComposer, VideoFrameBecomesTheBaseAndSettingsAreReadEachFrame) {
    test::ScopedTestEnv env;
    QImage cam = filled(1280, 720, Qt::red);
    QImage video = filled(1920, 1080, Qt::blue);
    std::vector<uint8_t> frame(kFrameBytes, 0);
    FrameComposer composer(2);
    composer.render(cam, &video, 0, frame.data());
    EXPECT_EQ(pixelAt(frame, 640, 360), qRgb(0, 0, 255));
    QImage nullVideo;
    composer.render(cam, &nullVideo, 0, frame.data());  // an empty video frame means camera mode
    EXPECT_EQ(pixelAt(frame, 640, 360), qRgb(255, 0, 0));

    settings::setVideoEffect(VideoEffect::vhs);
    settings::setLowerThirdEnabled(true);
    composer.render(cam, nullptr, 0, frame.data());
    EXPECT_EQ(composer.lastEffect(), VideoEffect::vhs);
    EXPECT_NEAR(composer.lastBars().barReserve, 82.8, 1e-9);
    SettingsStore::suite()->set(keys::videoEffect, QString("sparkles"));
    composer.render(cam, nullptr, 0, frame.data());
    EXPECT_EQ(composer.lastEffect(), VideoEffect::none);
    // The graph always ends cropped to the frame.
    EXPECT_EQ(composer.compose(filled(640, 480, Qt::gray), nullptr, 0).extent(), (engine::Rect{0, 0, 1280, 720}));
}

namespace {
// A picture with detail everywhere, different for each seed.
QImage pattern(int seed) {
    QImage img(1280, 720, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < img.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < img.width(); ++x)
            row[x] = qRgb((x * (3 + seed) + y) & 255, (y * (2 + seed) + 40 * seed) & 255, ((x ^ y) + 90 * seed) & 255);
    }
    return img;
}

struct Step {
    VideoEffect effect;
    double t;
};

// Renders one step of a sequence: the effect is chosen in the settings just before, as the
// picker would.
std::vector<uint8_t> renderStep(FrameComposer& composer, const QImage& camera, const Step& step) {
    settings::setVideoEffect(step.effect);
    std::vector<uint8_t> frame(kFrameBytes, 0);
    composer.render(camera, nullptr, step.t, frame.data());
    return frame;
}
}  // namespace

// Each composer keeps its own effect objects: trails, echo and prepared noise of one never show
// in the other's frames, so rendering two interleaved gives what each gives alone.
TEST(FrameComposer, TwoComposersInterleavedMatchEachAlone) {
    test::ScopedTestEnv env;
    const QImage camA = pattern(1), camB = pattern(2);
    const std::vector<Step> a = {{VideoEffect::drunkMode, 500.0},       {VideoEffect::drunkMode, 500.033},
                                 {VideoEffect::flame, 500.066},         {VideoEffect::drunkMode, 500.1},
                                 {VideoEffect::dreamSequence, 500.133}, {VideoEffect::dreamSequence, 500.166},
                                 {VideoEffect::snow, 500.2},            {VideoEffect::drunkMode, 500.233}};
    const std::vector<Step> b = {{VideoEffect::dreamSequence, 9000.0}, {VideoEffect::dreamSequence, 9000.5},
                                 {VideoEffect::drunkMode, 9001.0},     {VideoEffect::cyberOps, 9001.5},
                                 {VideoEffect::drunkMode, 9002.0},     {VideoEffect::flame, 9002.5},
                                 {VideoEffect::snow, 9003.0},          {VideoEffect::dreamSequence, 9003.5}};
    std::vector<std::vector<uint8_t>> aloneA, aloneB;
    {
        FrameComposer composer(2);
        for (const Step& s : a) aloneA.push_back(renderStep(composer, camA, s));
    }
    {
        FrameComposer composer(2);
        for (const Step& s : b) aloneB.push_back(renderStep(composer, camB, s));
    }
    FrameComposer first(2), second(2);
    for (size_t i = 0; i < a.size(); ++i) {
        const std::vector<uint8_t> fa = renderStep(first, camA, a[i]);
        const std::vector<uint8_t> fb = renderStep(second, camB, b[i]);
        EXPECT_TRUE(fa == aloneA[i]) << "first composer, frame " << i;
        EXPECT_TRUE(fb == aloneB[i]) << "second composer, frame " << i;
    }
    // The looks with memory did remember: Drunk Mode's frame after Flame differs from a first
    // Drunk Mode frame at the same time (its trails came along).
    FrameComposer fresh(2);
    EXPECT_FALSE(renderStep(fresh, camA, a[3]) == aloneA[3]);
}

// Two composers on two threads at once, each with its own looks and times, give the frames each
// gives alone: nothing a look keeps, prepares or draws is shared between them.
TEST(FrameComposer, TwoComposersOnTwoThreadsMatchEachAlone) {
    test::ScopedTestEnv env;
    const QImage camA = pattern(3), camB = pattern(4);
    const std::vector<Step> a = {{VideoEffect::drunkMode, 700.0},     {VideoEffect::drunkMode, 700.033},
                                 {VideoEffect::flame, 700.066},       {VideoEffect::dreamSequence, 700.1},
                                 {VideoEffect::dreamSequence, 700.133}, {VideoEffect::drunkMode, 700.166}};
    const std::vector<Step> b = {{VideoEffect::dreamSequence, 4000.0}, {VideoEffect::snow, 4000.5},
                                 {VideoEffect::dreamSequence, 4001.0}, {VideoEffect::drunkMode, 4001.5},
                                 {VideoEffect::flame, 4002.0},         {VideoEffect::drunkMode, 4002.5}};
    auto run = [](FrameComposer& composer, const QImage& camera, const std::vector<Step>& steps) {
        std::vector<std::vector<uint8_t>> frames;
        for (const Step& s : steps) {
            FrameSettings settings;
            settings.effect = s.effect;
            frames.emplace_back(kFrameBytes, 0);
            composer.render(camera, nullptr, s.t, frames.back().data(), settings);
        }
        return frames;
    };
    std::vector<std::vector<uint8_t>> aloneA, aloneB, sideA, sideB;
    {
        FrameComposer composer(2);
        aloneA = run(composer, camA, a);
    }
    {
        FrameComposer composer(2);
        aloneB = run(composer, camB, b);
    }
    for (int round = 0; round < 2; ++round) {
        FrameComposer first(2), second(2);
        std::thread other([&] { sideB = run(second, camB, b); });
        sideA = run(first, camA, a);
        other.join();
        for (size_t i = 0; i < a.size(); ++i) {
            EXPECT_TRUE(sideA[i] == aloneA[i]) << "first composer, frame " << i << ", round " << round;
            EXPECT_TRUE(sideB[i] == aloneB[i]) << "second composer, frame " << i << ", round " << round;
        }
    }
}

TEST(FrameComposer, NullDestinationAndEmptyCameraAreHarmless) {
    test::ScopedTestEnv env;
    FrameComposer composer(1);
    composer.render(filled(8, 8, Qt::red), nullptr, 0, nullptr);
    std::vector<uint8_t> frame(kFrameBytes, 0x7F);
    composer.render(QImage(), nullptr, 0, frame.data());
    EXPECT_EQ(pixelAt(frame, 10, 10), 0u);  // nothing to show: transparent black
}

TEST(RenderTool, WritesPngAndRawAndRejectsBadInput) {
    test::ScopedTestEnv env;
    const std::string tool = test::programPath("ostrela-render");
    const std::string raw = env.root() + "/out.raw", png = env.root() + "/out.png";
    std::string out;
    ASSERT_EQ(0, test::runCommand(tool + " --synthetic 640x480 --time 12.5 --set lowerThirdEnabled=true -o " + raw + " 2>&1", &out)) << out;
    std::string bytes = test::readFile(raw);
    ASSERT_EQ(bytes.size(), kFrameBytes);
    // Synthetic frame: white bar at the top left, opaque everywhere.
    std::vector<uint8_t> frame(bytes.begin(), bytes.end());
    EXPECT_EQ(pixelAt(frame, 20, 10), qRgb(255, 255, 255));
    EXPECT_EQ(qAlpha(pixelAt(frame, 1279, 719)), 255);
    // --set does not touch the stored settings.
    EXPECT_FALSE(settings::lowerThirdEnabled());

    ASSERT_EQ(0, test::runCommand(tool + " --effect thermal -o " + png + " 2>&1", &out)) << out;
    QImage img(QString::fromStdString(png));
    ASSERT_FALSE(img.isNull());
    EXPECT_EQ(img.size(), QSize(1280, 720));

    // The input file is read as the camera frame.
    QImage in = filled(1280, 720, QColor(1, 2, 3));
    ASSERT_TRUE(in.save(QString::fromStdString(env.root() + "/in.png")));
    ASSERT_EQ(0, test::runCommand(tool + " " + env.root() + "/in.png -o " + raw + " 2>&1", &out)) << out;
    bytes = test::readFile(raw);
    std::vector<uint8_t> f2(bytes.begin(), bytes.end());
    EXPECT_EQ(pixelAt(f2, 600, 300), qRgb(1, 2, 3));

    EXPECT_NE(0, test::runCommand(tool + " --effect sparkles -o " + raw + " 2>&1", &out));
    EXPECT_NE(out.find("unknown effect \"sparkles\""), std::string::npos) << out;
    test::writeFile(env.root() + "/broken.png", "not a png at all");
    EXPECT_NE(0, test::runCommand(tool + " " + env.root() + "/broken.png -o " + raw + " 2>&1", &out));
    EXPECT_NE(out.find("cannot read"), std::string::npos) << out;
    EXPECT_NE(0, test::runCommand(tool + " --synthetic 0x5 -o " + raw + " 2>&1", &out));
    EXPECT_NE(0, test::runCommand(tool + " -o " + env.root() + "/out.bmp 2>&1", &out));
    EXPECT_NE(0, test::runCommand(tool + " 2>&1", &out));
    EXPECT_NE(out.find("nothing to do"), std::string::npos);

    ASSERT_EQ(0, test::runCommand(tool + " --bench 5 2>/dev/null", &out));
    EXPECT_NE(out.find("median"), std::string::npos);
    EXPECT_NE(out.find("p95"), std::string::npos);
}

// A heavy look grows the renderer's tile scratch; switching to a light one gives it back (the
// process would otherwise keep the heaviest look's scratch until it quits), and the heavy look
// renders the same frame again after its scratch was released.
TEST(FrameComposer, SwitchingToALighterLookGivesTheTileScratchBack) {
    test::ScopedTestEnv env;
    FrameComposer composer(2);
    const QImage camera = filled(1280, 720, QColor(90, 140, 200));
    std::vector<uint8_t> first(kFrameBytes), again(kFrameBytes);
    auto render = [&](VideoEffect effect, double t, std::vector<uint8_t>& out) {
        FrameSettings settings;
        settings.effect = effect;
        composer.render(camera, nullptr, t, out.data(), settings);
    };
    render(VideoEffect::noir, 10.0, first);
    render(VideoEffect::noir, 10.0, first);
    const size_t heavy = composer.renderer().arenaBytes();
    ASSERT_GT(heavy, size_t(4) << 20);
    std::vector<uint8_t> light(kFrameBytes);
    render(VideoEffect::none, 10.0, light);
    render(VideoEffect::none, 10.0, light);
    EXPECT_LT(composer.renderer().arenaBytes(), heavy / 4);
    render(VideoEffect::noir, 10.0, again);
    EXPECT_TRUE(again == first);
}
