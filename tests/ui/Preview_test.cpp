#include "library/OverlayLibraryController.h"
#include "pipeline/CameraEngine.h"
#include "pipeline/FrameBuffer.h"
#include "tests/ui/UiTestUtil.h"
#include "ui/ContentViewModel.h"
#include "ui/EffectPreviewOverlays.h"
#include "ui/MainWindow.h"
#include "ui/PreviewSource.h"
#include "ui/Symbols.h"
#include "ui/VideoPaneModel.h"

#include <QDir>
#include <QFileInfo>
#include <QSemaphore>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <vector>

using namespace ostrela;

// ---- Time labels and small formats ----

TEST(TimeLabels, FormatsRoundingFirst) {
    EXPECT_EQ(videopane::formatTime(75LL), QStringLiteral("1:15"));
    EXPECT_EQ(videopane::formatTime(3725LL), QStringLiteral("1:02:05"));
    EXPECT_EQ(videopane::formatTime(0.0), QStringLiteral("0:00"));
    EXPECT_EQ(videopane::formatTime(59.4), QStringLiteral("0:59"));
    EXPECT_EQ(videopane::formatTime(59.5), QStringLiteral("1:00"));
    EXPECT_EQ(videopane::formatTime(3599.4), QStringLiteral("59:59"));
    EXPECT_EQ(videopane::formatTime(59 * 60 + 59.6), QStringLiteral("1:00:00"));
    EXPECT_EQ(videopane::formatTime(36000.0), QStringLiteral("10:00:00"));
    // Times that can't be read show as zero instead of stopping anything.
    EXPECT_EQ(videopane::formatTime(std::nan("")), QStringLiteral("0:00"));
    EXPECT_EQ(videopane::formatTime(INFINITY), QStringLiteral("0:00"));
    EXPECT_EQ(videopane::formatTime(-3.0), QStringLiteral("0:00"));
}

TEST(SmallFormats, PercentVolumeAndPiP) {
    EXPECT_EQ(videopane::percentText(0.349), QStringLiteral("34%"));
    EXPECT_EQ(videopane::percentText(0.6), QStringLiteral("60%"));
    EXPECT_EQ(videopane::percentText(0.15), QStringLiteral("15%"));
    EXPECT_EQ(videopane::volumeSymbol(0.0), QStringLiteral("speaker.slash.fill"));
    EXPECT_EQ(videopane::volumeSymbol(0.001), QStringLiteral("speaker.slash.fill"));
    EXPECT_EQ(videopane::volumeSymbol(0.002), QStringLiteral("speaker.wave.1.fill"));
    EXPECT_EQ(videopane::volumeSymbol(0.49), QStringLiteral("speaker.wave.1.fill"));
    EXPECT_EQ(videopane::volumeSymbol(0.5), QStringLiteral("speaker.wave.2.fill"));

    test::ScopedTestEnv env;
    VideoPaneModel pane(nullptr, nullptr);
    EXPECT_EQ(pane.pipSymbol(), QStringLiteral("pip"));
    pane.setPiPEnabled(true);
    EXPECT_TRUE(settings::videoCameraPiPEnabled());
    EXPECT_EQ(pane.pipSymbol(), QStringLiteral("pip.fill"));
    pane.setPiPPlacement(OverlayPlacement::topLeft);
    EXPECT_EQ(settings::videoCameraPiPPlacement(), OverlayPlacement::topLeft);
    pane.setPiPWidthFraction(0.9);
    EXPECT_DOUBLE_EQ(settings::videoCameraPiPWidthFraction(), 0.40);
    EXPECT_EQ(pane.pipSizeText(), QStringLiteral("40%"));
    pane.setPiPWidthFraction(0.333);
    EXPECT_EQ(pane.pipSizeText(), QStringLiteral("33%"));
    EXPECT_FALSE(pane.isVisible());
}

// ---- Particle overlays ----

TEST(PreviewOverlays, SnowflakeEnvelopeAndStart) {
    const QSizeF size(640, 360);
    // Flake i at time t has progress (fmod(x, period) + t) / period: pick t so flake 3 starts.
    const double x = 3 * SnowflakesOverlay::kSpacing;
    const double period = std::fmod(x, 3.5) + 4.5;
    const double t = period - std::fmod(x, period);
    const PreviewParticle p = SnowflakesOverlay::particle(3, t, size);
    EXPECT_NEAR(p.progress, 0.0, 1e-9);
    EXPECT_NEAR(p.opacity, 0.0, 1e-9);
    EXPECT_NEAR(p.center.y(), -0.1 * 360, 1e-6) << "starts 0.1 h above the top";
    EXPECT_NEAR(SnowflakesOverlay::opacity(0.08), 0.8, 1e-12);
    EXPECT_NEAR(SnowflakesOverlay::opacity(0.04), 0.4, 1e-12);
    EXPECT_NEAR(SnowflakesOverlay::opacity(0.5), 0.8, 1e-12);
    EXPECT_NEAR(SnowflakesOverlay::opacity(0.925), 0.4, 1e-9);
    EXPECT_EQ(SnowflakesOverlay(0).particles(size).size(), 22u);
    EXPECT_EQ(FlameEmbersOverlay(0).particles(size).size(), 14u);
}

TEST(PreviewOverlays, EmberZeroAndPeriodicity) {
    const QSizeF size(640, 360);
    for (double t : {0.0, 0.7, 2.1}) {
        const PreviewParticle e = FlameEmbersOverlay::particle(0, t, size);
        EXPECT_DOUBLE_EQ(e.period, 3.2);
        EXPECT_DOUBLE_EQ(e.radius, 1.4);
        EXPECT_NEAR(e.center.x(), std::sin(1.6 * t) * 12, 1e-9) << "sways about x = 0";
        EXPECT_NEAR(e.center.y(), 1.05 * 360 - e.progress * 1.4 * 360, 1e-9);
    }
    EXPECT_NEAR(FlameEmbersOverlay::opacity(0.06), 0.5, 1e-12);
    EXPECT_NEAR(FlameEmbersOverlay::opacity(0.85), 0.5, 1e-9);
    // Each particle repeats with its own period (position up to the sway, which has its own rhythm).
    for (int i = 0; i < 22; ++i) {
        const auto a = SnowflakesOverlay::particle(i, 1000.25, size);
        const auto b = SnowflakesOverlay::particle(i, 1000.25 + a.period, size);
        EXPECT_NEAR(a.progress, b.progress, 1e-9) << i;
        EXPECT_NEAR(a.center.y(), b.center.y(), 1e-6) << i;
    }
    for (int i = 0; i < 14; ++i) {
        const auto a = FlameEmbersOverlay::particle(i, 77.5, size);
        const auto b = FlameEmbersOverlay::particle(i, 77.5 + a.period, size);
        EXPECT_NEAR(a.progress, b.progress, 1e-9) << i;
    }
}

TEST(PreviewOverlays, DrawnWhereTheParticlesAre) {
    QImage canvas(640, 360, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::black);
    const double t = 12.34;
    {
        QPainter p(&canvas);
        FlameEmbersOverlay(t).paint(p, canvas.size());
    }
    int checked = 0;
    for (const PreviewParticle& e : FlameEmbersOverlay(t).particles(canvas.size())) {
        const QPoint c = e.center.toPoint();
        if (e.opacity < 0.5 || !canvas.rect().adjusted(3, 3, -3, -3).contains(c)) continue;
        const QColor px = canvas.pixelColor(c);
        // Ember colour (1.0, 0.75, 0.3) over black, at most as strong as its opacity.
        EXPECT_GT(px.red(), 90) << "ember at " << c.x() << "," << c.y();
        EXPECT_GT(px.red(), px.green());
        EXPECT_GT(px.green(), px.blue());
        ++checked;
    }
    EXPECT_GE(checked, 3);
    // Far from every particle the canvas stays black.
    QImage snow(640, 360, QImage::Format_ARGB32_Premultiplied);
    snow.fill(Qt::black);
    QPainter p(&snow);
    SnowflakesOverlay(t).paint(p, snow.size());
    p.end();
    const auto flakes = SnowflakesOverlay(t).particles(snow.size());
    for (int y = 0; y < 360; y += 7)
        for (int x = 0; x < 640; x += 7) {
            bool near = false;
            for (const auto& f : flakes) near = near || std::hypot(f.center.x() - x, f.center.y() - y) < f.radius + 3;
            if (!near) {
                ASSERT_EQ(qGray(snow.pixel(x, y)), 0) << x << "," << y;
            }
        }
}

// ---- The preview takes every published frame it can, never a backlog ----

namespace {

// A frame of one colour (BGRA, opaque) in `frame`.
void fillFrame(std::vector<uint8_t>& frame, uint8_t r, uint8_t g, uint8_t b) {
    for (size_t i = 0; i < kFrameBytes; i += 4) {
        frame[i] = b;
        frame[i + 1] = g;
        frame[i + 2] = r;
        frame[i + 3] = 255;
    }
}

}  // namespace

TEST(PreviewSource, CopiesAndScalesTheFrame) {
    std::vector<uint8_t> frame(kFrameBytes);
    // Left half red, right half blue (BGRA, opaque).
    for (int y = 0; y < kFrameHeight; ++y)
        for (int x = 0; x < kFrameWidth; ++x) {
            uint8_t* p = frame.data() + size_t(y) * kFrameStride + size_t(x) * 4;
            const bool left = x < kFrameWidth / 2;
            p[0] = left ? 0 : 255;
            p[1] = 0;
            p[2] = left ? 255 : 0;
            p[3] = 255;
        }
    PreviewSource source(nullptr);
    source.setFrameMemoryForTesting(frame.data());
    EXPECT_FALSE(source.offerFrame()) << "no size yet";
    source.setTargetSize(QSize(320, 180));
    EXPECT_TRUE(source.offerFrame());
    ASSERT_TRUE(test::waitUntil([&] { return !source.image().isNull(); }, 10000));
    const QImage& img = source.image();
    EXPECT_EQ(img.size(), QSize(320, 180));
    EXPECT_GT(qRed(img.pixel(40, 90)), 240);
    EXPECT_LT(qBlue(img.pixel(40, 90)), 15);
    EXPECT_GT(qBlue(img.pixel(280, 90)), 240);
    EXPECT_EQ(qAlpha(img.pixel(280, 90)), 255);
    // A wider preview gets the frame's aspect filled (cut top and bottom, not stretched).
    source.setTargetSize(QSize(400, 100));
    ASSERT_TRUE(test::waitUntil([&] { return !source.isPending(); }, 10000));
    EXPECT_TRUE(source.offerFrame());
    ASSERT_TRUE(test::waitUntil([&] { return source.image().width() == 400; }, 10000));
    EXPECT_EQ(source.image().height(), 225);
    source.setActive(false);
    test::waitUntil([&] { return !source.isPending(); }, 10000);
    EXPECT_FALSE(source.offerFrame()) << "a hidden preview takes nothing";
}

// Frames published one after another, each after the last one reached the preview: every one of
// them is taken and shown (no fixed rate caps the preview below the camera's).
TEST(PreviewSource, TakesEveryFrameWhileTheWorkerKeepsUp) {
    std::vector<uint8_t> frame(kFrameBytes);
    PreviewSource source(nullptr);
    source.setFrameMemoryForTesting(frame.data());
    source.setTargetSize(QSize(160, 90));
    int shown = 0;
    QObject::connect(&source, &PreviewSource::imageChanged, [&] { ++shown; });
    for (int i = 0; i < 40; ++i) {
        fillFrame(frame, uint8_t(i * 6), 0, uint8_t(255 - i * 6));
        ASSERT_TRUE(source.offerFrame()) << "frame " << i;
        ASSERT_TRUE(test::waitUntil([&] { return !source.isPending(); }, 10000));
        QCoreApplication::processEvents();
        ASSERT_EQ(shown, i + 1);
        EXPECT_NEAR(qRed(source.image().pixel(80, 45)), i * 6, 1) << "frame " << i;
    }
    EXPECT_EQ(source.framesTaken(), 40u);
    EXPECT_EQ(source.framesSkipped(), 0u);
}

// While the worker scales one frame, later ones are not queued: the newest is taken once when it
// is done, then nothing more until the next frame is published.
TEST(PreviewSource, TakesOnlyTheNewestOfTheFramesPublishedMeanwhile) {
    std::vector<uint8_t> frame(kFrameBytes);
    PreviewSource source(nullptr);
    source.setFrameMemoryForTesting(frame.data());
    source.setTargetSize(QSize(160, 90));
    QSemaphore go;
    std::atomic<int> scaledFrames{0};
    source.setScalerForTesting([&](const QImage& f, QSize target) {
        go.acquire();
        ++scaledFrames;
        return f.scaled(target, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    });
    std::vector<QRgb> shown;
    QObject::connect(&source, &PreviewSource::imageChanged, [&] { shown.push_back(source.image().pixel(80, 45)); });

    fillFrame(frame, 10, 0, 0);
    ASSERT_TRUE(source.offerFrame());
    for (int i = 1; i <= 9; ++i) {
        fillFrame(frame, uint8_t(10 + i * 20), 0, 0);
        EXPECT_FALSE(source.offerFrame()) << "one frame in flight at a time";
        EXPECT_TRUE(source.hasNewerFrame());
    }
    EXPECT_EQ(source.framesTaken(), 1u);
    EXPECT_EQ(source.framesSkipped(), 8u) << "passed over for the ninth";

    go.release();  // the first frame is done: the newest (the ninth) follows at once
    ASSERT_TRUE(test::waitUntil([&] { return shown.size() == 1; }, 10000));
    EXPECT_EQ(qRed(shown[0]), 10);
    EXPECT_EQ(source.framesTaken(), 2u);
    EXPECT_TRUE(source.isPending());
    EXPECT_FALSE(source.hasNewerFrame());

    go.release();
    ASSERT_TRUE(test::waitUntil([&] { return shown.size() == 2; }, 10000));
    EXPECT_EQ(qRed(shown[1]), 190);
    QCoreApplication::processEvents();
    EXPECT_FALSE(source.isPending()) << "nothing left over: no backlog";
    EXPECT_EQ(source.framesTaken(), 2u);
    EXPECT_EQ(scaledFrames.load(), 2);

    // Hidden meanwhile: the waiting frame is dropped, not taken later.
    fillFrame(frame, 250, 0, 0);
    ASSERT_TRUE(source.offerFrame());
    EXPECT_FALSE(source.offerFrame());
    source.setActive(false);
    go.release();
    ASSERT_TRUE(test::waitUntil([&] { return !source.isPending(); }, 10000));
    QCoreApplication::processEvents();
    EXPECT_EQ(source.framesTaken(), 3u);
    EXPECT_EQ(source.framesSkipped(), 9u);
    EXPECT_FALSE(source.hasNewerFrame());
    EXPECT_EQ(shown.size(), 2u);
}

// With the engine publishing from the synthetic camera, the preview accounts for every published
// frame: taken, or passed over for a newer one while another was being scaled.
TEST(PreviewSource, FollowsTheEngineFrameForFrame) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    settings::setHasSeenOnboarding(true);
    settings::setVideoEffect(VideoEffect::none);
    MainWindow window(fx.app.get());
    window.resize(1180, 900);
    window.show();
    PreviewSource* source = window.preview()->source();
    CameraEngine* engine = window.model()->cameraEngine();
    window.model()->toggleCamera();
    ASSERT_TRUE(test::waitUntil([&] { return engine->generation() >= 1; }, 20000));
    const uint64_t g0 = engine->generation(), taken0 = source->framesTaken(), skipped0 = source->framesSkipped();
    ASSERT_TRUE(test::waitUntil([&] { return engine->generation() >= g0 + 30; }, 30000));
    window.model()->toggleCamera();
    ASSERT_TRUE(test::waitUntil([&] { return !source->isPending(); }, 10000));
    const uint64_t published = engine->generation() - g0;
    const uint64_t taken = source->framesTaken() - taken0, skipped = source->framesSkipped() - skipped0;
    EXPECT_FALSE(source->hasNewerFrame());
    EXPECT_EQ(taken + skipped, published);
    EXPECT_GE(taken, 1u);
}

// ---- Symbols ----

TEST(Symbols, EveryNameHasADrawingAndThemeNames) {
    for (const char* name :
         {"exclamationmark.triangle.fill", "eye.fill", "eye.slash.fill", "sparkles", "arrow.up.left.and.arrow.down.right",
          "arrow.down.right.and.arrow.up.left", "face.smiling", "text.alignleft", "text.aligncenter", "text.alignright",
          "list.bullet.rectangle", "textformat", "gearshape", "folder.badge.plus", "square.grid.2x2",
          "photo.on.rectangle.angled", "backward.end.fill", "play.fill", "pause.fill", "stop.fill", "speaker.slash.fill",
          "speaker.wave.1.fill", "speaker.wave.2.fill", "pip", "pip.fill", "arrow.up.left", "arrow.up.right",
          "arrow.down.left", "arrow.down.right", "video", "wrench.and.screwdriver"}) {
        const QString n = QString::fromLatin1(name);
        EXPECT_TRUE(symbols::hasBundled(n)) << name;
        EXPECT_FALSE(symbols::themeNames(n).isEmpty()) << name;
        const QImage img = symbols::icon(n, Qt::red).pixmap(24, 24).toImage();
        int ink = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                if (qAlpha(img.pixel(x, y)) > 128 && qRed(img.pixel(x, y)) > 200 && qGreen(img.pixel(x, y)) < 60) ++ink;
        EXPECT_GT(ink, 12) << name << " is drawn in the colour asked for";
    }
}

// ---- Screenshots for a reviewer ----

namespace {

void populate(const test::ScopedTestEnv& env, OstrelaApp& app) {
    OverlayLibraryController* lib = app.libraryController();
    lib->load();
    lib->addFiles({test::writePNG(env, QStringLiteral("Show Logo.png"), QColor(0x18, 0x8A, 0x8A)),
                   test::writePNG(env, QStringLiteral("Sponsor.png"), QColor(0xD3, 0x2F, 0x2F)),
                   test::writePNG(env, QStringLiteral("Guest Photo.png"), QColor(0xFF, 0xD1, 0x00))});
    lib->appendFolder({QUuid::createUuid(), QStringLiteral("Episode 12")});
    lib->moveItemToFolder(lib->items()[2].id, lib->folders()[0].id);
    settings::setHasSeenOnboarding(true);
    settings::setVideoEffect(VideoEffect::snow);
    settings::setLowerThirdText(QStringLiteral("Live from the kitchen table"));
    settings::setLowerThirdPresets({QStringLiteral("Back after the break")});
}

QString shoot(bool dark) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    populate(env, *fx.app);
    settings::setAppearanceIsDark(dark);
    MainWindow window(fx.app.get());
    window.preview()->setFixedTimeForTesting(1234.5);
    window.resize(1180, 900);
    window.show();
    QCoreApplication::processEvents();
    const QImage shot = window.grab().toImage();
    const QString path = test::testOutputDirectory() + (dark ? QStringLiteral("/main-window-dark.png")
                                                               : QStringLiteral("/main-window-light.png"));
    EXPECT_TRUE(shot.save(path));
    std::printf("screenshot: %s\n", QFileInfo(path).absoluteFilePath().toLocal8Bit().constData());
    // The control column's background follows the scheme.
    const QWidget* column = window.findChild<QWidget*>(QStringLiteral("controlColumn"));
    EXPECT_NE(column, nullptr);
    const QPoint inColumn = column->mapTo(&window, QPoint(column->width() - 6, 4));
    const double lightness = shot.pixelColor(inColumn).lightnessF();
    if (dark) EXPECT_LT(lightness, 0.3);
    else EXPECT_GT(lightness, 0.7);
    // The preview shows the mock call background (not a blank), with flakes over it.
    const QWidget* preview = window.preview();
    const QRect pr(preview->mapTo(&window, QPoint(0, 0)), preview->size());
    double sum = 0;
    int n = 0;
    for (int y = pr.top() + pr.height() / 4; y < pr.bottom() - pr.height() / 4; y += 5)
        for (int x = pr.left() + pr.width() / 4; x < pr.right() - pr.width() / 4; x += 5) {
            sum += qGray(shot.pixel(x, y));
            ++n;
        }
    EXPECT_GT(sum / n, 60.0);
    fx.app->setDarkMode(false);
    return path;
}

}  // namespace

TEST(Screenshots, RunningCameraShowsTheOutgoingFrame) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    settings::setHasSeenOnboarding(true);
    settings::setVideoEffect(VideoEffect::none);
    MainWindow window(fx.app.get());
    window.resize(1180, 900);
    window.show();
    window.model()->toggleCamera();
    ASSERT_TRUE(test::waitUntil([&] { return !window.preview()->source()->image().isNull(); }, 20000));
    QCoreApplication::processEvents();
    const QImage shot = window.grab().toImage();
    const QString path = test::testOutputDirectory() + QStringLiteral("/main-window-running.png");
    EXPECT_TRUE(shot.save(path));
    std::printf("screenshot: %s\n", QFileInfo(path).absoluteFilePath().toLocal8Bit().constData());
    window.model()->toggleCamera();
    // The synthetic camera's bars: yellow second, blue seventh, in the upper part of the picture.
    const QWidget* preview = window.preview();
    const int w = std::min(preview->width(), preview->height() * 16 / 9);
    const int h = w * 9 / 16;
    const QPoint origin = preview->mapTo(&window, QPoint((preview->width() - w) / 2, (preview->height() - h) / 2));
    auto at = [&](double fx, double fy) { return shot.pixelColor(origin + QPoint(int(fx * w), int(fy * h))); };
    const QColor yellow = at(1.5 / 8, 0.4), blue = at(6.5 / 8, 0.4), black = at(0.5, 0.88);
    EXPECT_GT(yellow.red(), 200);
    EXPECT_GT(yellow.green(), 200);
    EXPECT_LT(yellow.blue(), 60);
    EXPECT_GT(blue.blue(), 200);
    EXPECT_LT(blue.red(), 60);
    EXPECT_LT(black.lightness(), 60);
}

TEST(Screenshots, MainWindowLightAndDark) {
    const QString light = shoot(false);
    const QString dark = shoot(true);
    EXPECT_TRUE(QFileInfo::exists(light));
    EXPECT_TRUE(QFileInfo::exists(dark));
}
