#include "pipeline/OverlayController.h"
#include "pipeline/PerformanceMonitor.h"
#include "tests/support/TestEnv.h"

#include <QBuffer>
#include <QImage>
#include <QCoreApplication>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include <sys/stat.h>

using namespace ostrela;
namespace fs = std::filesystem;

namespace {

QByteArray encoded(const QImage& img, const char* format) {
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, format);
    return bytes;
}

QImage solid(int w, int h, QColor c) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(c);
    return img;
}

class OverlayControllerTest : public ::testing::Test {
protected:
    test::ScopedTestEnv env;
    std::string overlayPath() const { return env.containerDir() + "/overlay.png"; }
    std::string put(const std::string& name, const QByteArray& bytes) {
        std::string p = env.root() + "/" + name;
        test::writeFile(p, bytes.toStdString());
        return p;
    }
};

TEST_F(OverlayControllerTest, StartsFromSettingsAndTheStoredPicture) {
    settings::setOverlayPlacement(OverlayPlacement::topLeft);
    settings::setOverlayWidthFraction(0.45);
    fs::create_directories(env.containerDir());
    test::writeFile(overlayPath(), encoded(solid(40, 30, Qt::red), "png").toStdString());
    OverlayController c;
    EXPECT_EQ(c.placement(), OverlayPlacement::topLeft);
    EXPECT_DOUBLE_EQ(c.widthFraction(), 0.45);
    ASSERT_TRUE(c.hasOverlayImage());
    EXPECT_EQ(c.overlayImage().size(), QSize(40, 30));
    EXPECT_FALSE(c.isFullScreen());
    EXPECT_TRUE(c.lastError().isNull());
}

TEST_F(OverlayControllerTest, JpegIsConvertedToPngAndPngIsStoredByteForByte) {
    OverlayController c;
    std::string jpeg = put("photo.jpg", encoded(solid(64, 48, QColor(0, 0, 255)), "jpg"));
    ASSERT_TRUE(c.setImage(QString::fromStdString(jpeg)));
    std::string stored = test::readFile(overlayPath());
    ASSERT_GE(stored.size(), 8u);
    EXPECT_EQ(stored.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    QImage back(QString::fromStdString(overlayPath()));
    EXPECT_EQ(back.size(), QSize(64, 48));
    EXPECT_GT(qBlue(back.pixel(32, 24)), 200);
    EXPECT_TRUE(c.lastError().isNull());

    // An upper-case PNG extension keeps the file's own bytes, even when they are another format.
    QByteArray bmp = encoded(solid(10, 10, Qt::green), "bmp");
    std::string fake = put("odd.PNG", bmp);
    ASSERT_TRUE(c.setImage(QString::fromStdString(fake)));
    EXPECT_EQ(test::readFile(overlayPath()), bmp.toStdString());
    EXPECT_EQ(c.overlayImage().size(), QSize(10, 10));
}

TEST_F(OverlayControllerTest, FailuresLeaveEverythingAsItWas) {
    OverlayController c;
    std::string good = put("good.png", encoded(solid(20, 20, Qt::red), "png"));
    ASSERT_TRUE(c.setImage(QString::fromStdString(good)));
    const std::string before = test::readFile(overlayPath());
    QSignalSpy errors(&c, &OverlayController::lastErrorChanged);

    EXPECT_FALSE(c.setImage(QString::fromStdString(env.root() + "/missing.png")));
    EXPECT_EQ(c.lastError(), "Could not read missing.png");
    EXPECT_FALSE(c.setImage(QString::fromStdString(put("notes.txt", "just words"))));
    EXPECT_EQ(c.lastError(), "notes.txt isn't a readable image");
    EXPECT_FALSE(c.setImage(QString::fromStdString(put("broken.png", "\x89PNG garbage"))));
    EXPECT_EQ(c.lastError(), "broken.png isn't a readable image");
    EXPECT_EQ(errors.count(), 3);
    EXPECT_EQ(test::readFile(overlayPath()), before);
    EXPECT_EQ(c.overlayImage().size(), QSize(20, 20));

    // Things that are not files to read.
    fs::create_directories(env.root() + "/folder.png");
    EXPECT_FALSE(c.setImage(QString::fromStdString(env.root() + "/folder.png")));
    EXPECT_EQ(c.lastError(), "Could not read folder.png");
    const std::string fifo = env.root() + "/pipe.png";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(c.setImage(QString::fromStdString(fifo)));  // returns instead of waiting for a writer
    EXPECT_EQ(c.lastError(), "Could not read pipe.png");
    EXPECT_EQ(test::readFile(overlayPath()), before);

    // The container goes missing.
    std::string blocker = env.root() + "/file";
    test::writeFile(blocker, "x");
    setenv("OSTRELA_CONTAINER_DIR", (blocker + "/c").c_str(), 1);
    EXPECT_FALSE(c.setImage(QString::fromStdString(good)));
    EXPECT_EQ(c.lastError(), "App group container is unavailable");
    auto err = c.writeOverlayFile("x");
    ASSERT_TRUE(err);
    EXPECT_EQ(err->domain, "OverlayStore");
    EXPECT_EQ(err->code, 1);
    EXPECT_EQ(c.overlayImage().size(), QSize(20, 20));

    // A later success clears the message.
    setenv("OSTRELA_CONTAINER_DIR", env.containerDir().c_str(), 1);
    EXPECT_TRUE(c.setImage(QString::fromStdString(good)));
    EXPECT_TRUE(c.lastError().isNull());
    c.removeOverlayFile();
    EXPECT_FALSE(fs::exists(overlayPath()));
    c.removeOverlayFile();  // no file: ignored
}

TEST_F(OverlayControllerTest, WritesAtomicallyAndTheEngineSeesEachNewPicture) {
    OverlayController c;
    ASSERT_TRUE(c.setImage(QString::fromStdString(put("a.png", encoded(solid(30, 20, Qt::red), "png")))));
    struct stat before {};
    ASSERT_EQ(::stat(overlayPath().c_str(), &before), 0);
    ASSERT_TRUE(c.setImage(QString::fromStdString(put("b.jpg", encoded(solid(30, 20, Qt::blue), "jpg")))));
    struct stat after {};
    ASSERT_EQ(::stat(overlayPath().c_str(), &after), 0);
    // Replaced by a rename, not rewritten in place: a reader holding the old file keeps it whole.
    EXPECT_NE(before.st_ino, after.st_ino);
    // Nothing but the picture is left in the container.
    int files = 0;
    for (const auto& e : fs::directory_iterator(env.containerDir())) {
        ++files;
        EXPECT_EQ(e.path().filename(), "overlay.png");
    }
    EXPECT_EQ(files, 1);
    // A new controller starts from the stored picture.
    OverlayController next;
    ASSERT_TRUE(next.hasOverlayImage());
    EXPECT_GT(qBlue(next.overlayImage().pixel(15, 10)), 200);
}

TEST_F(OverlayControllerTest, FullScreenFractionAndToggleRoundTrip) {
    OverlayController c;
    EXPECT_DOUBLE_EQ(c.fullScreenFraction(), 0.32);  // no picture
    c.setOverlayImage(solid(400, 300, Qt::red));
    EXPECT_NEAR(c.fullScreenFraction(), 0.7, 1e-12);
    settings::setLowerThirdEnabled(true);
    EXPECT_NEAR(c.fullScreenFraction(), 589.2 * 4 / 3 / 1280, 1e-12);
    settings::setLowerThirdGoogleMeetSafeArea(true);
    EXPECT_NEAR(c.fullScreenFraction(), 553.2 * 4 / 3 / 1280, 1e-12);
    c.setOverlayImage(solid(1000, 100, Qt::red));
    EXPECT_DOUBLE_EQ(c.fullScreenFraction(), 0.9625);
    c.setOverlayImage(solid(10, 1000, Qt::red));
    EXPECT_DOUBLE_EQ(c.fullScreenFraction(), 0.15);

    c.setWidthFraction(0.28);
    c.toggleFullScreen(0.7);
    EXPECT_TRUE(c.isFullScreen());
    EXPECT_DOUBLE_EQ(c.widthFraction(), 0.7);
    EXPECT_EQ(c.savedWidthFraction(), 0.28);
    EXPECT_TRUE(settings::isOverlayFullScreen());
    EXPECT_DOUBLE_EQ(settings::overlayWidthFraction(), 0.7);
    c.toggleFullScreen(0.7);
    EXPECT_FALSE(c.isFullScreen());
    EXPECT_DOUBLE_EQ(c.widthFraction(), 0.28);
    EXPECT_FALSE(c.savedWidthFraction());
    EXPECT_FALSE(settings::isOverlayFullScreen());
    EXPECT_DOUBLE_EQ(settings::overlayWidthFraction(), 0.28);

    // Quitting in full screen keeps the enlarged size; the next run starts in normal mode with it.
    c.toggleFullScreen(0.9);
    OverlayController relaunched;
    EXPECT_DOUBLE_EQ(relaunched.widthFraction(), 0.9);
    EXPECT_FALSE(relaunched.isFullScreen());
    relaunched.toggleFullScreen(0.95);
    EXPECT_EQ(relaunched.savedWidthFraction(), 0.9);
}

TEST(PerformanceMonitorTest, DividesByTheRealIntervalAndCountsFrames) {
    double clock = 100, cpu = 10, resident = 256.0 * 1024 * 1024;
    PerformanceMonitor m;
    m.setSourcesForTesting([&] { return clock; }, [&] { return cpu; }, [&] { return resident; });
    m.start();
    for (int i = 0; i < 45; ++i) m.recordFrame();
    clock += 1.5;  // a late tick
    cpu += 3.0;    // two cores fully busy
    m.sample();
    EXPECT_DOUBLE_EQ(m.fps(), 30.0);
    EXPECT_DOUBLE_EQ(m.cpuPercent(), 200.0);
    EXPECT_DOUBLE_EQ(m.memoryMB(), 256.0);
    EXPECT_EQ(m.statsLine(), QString::fromUtf8("30 fps · 200% CPU · 256 MB"));
    clock += 1.0;  // feed stopped: no frames
    m.sample();
    EXPECT_DOUBLE_EQ(m.fps(), 0.0);
    EXPECT_DOUBLE_EQ(m.cpuPercent(), 0.0);
    EXPECT_DOUBLE_EQ(m.memoryMB(), 256.0);
    m.sample();  // no time passed: nothing changes
    EXPECT_DOUBLE_EQ(m.memoryMB(), 256.0);
    // A second start keeps one timer and a fresh processor-time baseline.
    cpu += 5;
    m.start();
    m.start();
    EXPECT_EQ(m.findChildren<QTimer*>().size(), 1);
    clock += 1.0;
    cpu += 0.25;
    m.sample();
    EXPECT_DOUBLE_EQ(m.cpuPercent(), 25.0);
}

TEST(PerformanceMonitorTest, RealReadingsArePlausible) {
    EXPECT_GT(PerformanceMonitor::residentBytes(), 1024.0 * 1024);
    EXPECT_GT(PerformanceMonitor::processCPUSeconds(), 0.0);
}

TEST(PerformanceMonitorTest, ResidentMemoryComesFromTheStatusFile) {
    test::ScopedTestEnv env;
    const std::string path = env.root() + "/status";
    test::writeFile(path, "Name:\tostrela\nVmPeak:\t  999999 kB\nVmRSS:\t  262144 kB\nThreads:\t4\n");
    EXPECT_DOUBLE_EQ(PerformanceMonitor::residentBytesFromStatus(path.c_str()), 262144.0 * 1024);
    test::writeFile(path, "Name:\tkernel thread\n");
    EXPECT_EQ(PerformanceMonitor::residentBytesFromStatus(path.c_str()), 0.0);
    EXPECT_EQ(PerformanceMonitor::residentBytesFromStatus((env.root() + "/missing").c_str()), 0.0);
    // The real reading agrees with the kernel's own page count within a few pages.
    long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    ASSERT_TRUE(f);
    ASSERT_EQ(std::fscanf(f, "%ld %ld", &pages, &resident), 2);
    std::fclose(f);
    EXPECT_NEAR(PerformanceMonitor::residentBytes() / 4096.0, double(resident), 2048);
}

TEST(PerformanceMonitorTest, TheTimerSamplesThroughTheEventLoop) {
    double clock = 50, cpu = 1, resident = 64.0 * 1024 * 1024;
    auto* m = new PerformanceMonitor;
    m->setSourcesForTesting([&] { return clock; }, [&] { return cpu; }, [&] { return resident; });
    m->start();
    EXPECT_TRUE(m->isRunning());
    for (int i = 0; i < 12; ++i) m->recordFrame();
    clock += 1.2;
    QSignalSpy fps(m, &PerformanceMonitor::fpsChanged);
    ASSERT_TRUE(fps.wait(5000));  // the 1-second tick, queued onto this thread
    EXPECT_NEAR(m->fps(), 10.0, 1e-9);
    EXPECT_DOUBLE_EQ(m->memoryMB(), 64.0);
    // Gone with its monitor: nothing runs afterwards.
    delete m;
    QCoreApplication::processEvents();
}

}  // namespace
