#include "library/VideoPlaybackService.h"
#include "pipeline/CameraEngine.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/capture/SyntheticCamera.h"
#include "pipeline/Settings.h"
#include "tests/library/LibraryTestUtil.h"
#include "tests/support/TestEnv.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>

using namespace ostrela;

namespace {

// 1 s at 25 fps, a white 16×16 box at x = 10·n + 10 in frame n.
std::string boxClip() {
    static QTemporaryDir dir;
    static std::string path;
    if (path.empty()) {
        path = dir.path().toStdString() + "/box.mp4";
        std::string out;
        const int rc = test::runCommand(
            "ffmpeg -v error -y -f lavfi -i \"color=c=black:s=320x64:r=25:d=1[bg];color=c=white:s=16x16:r=25[b];"
            "[bg][b]overlay=x=10*n:y=10:shortest=1[out0]\" -c:v libx264 -g 10 -pix_fmt yuv420p '" + path + "' 2>&1",
            &out);
        EXPECT_EQ(rc, 0) << out;
    }
    return path;
}

int boxCentreX(const QImage& image) {
    int first = -1, last = -1;
    for (int x = 0; x < image.width(); ++x)
        if (qGray(image.pixel(x, 18)) > 200) {
            if (first < 0) first = x;
            last = x;
        }
    return first < 0 ? -1 : (first + last) / 2;
}

class VideoPlaybackTest : public ::testing::Test {
protected:
    VideoPlaybackTest() { service.setClockForTesting([this] { return clock; }); }
    // Waits until the frame for the clock's present moment is the one starting at `seconds`.
    bool frameArrives(double seconds) {
        return test::waitUntil(
            [&] {
                service.currentFrame();
                return std::abs(service.currentFrameSeconds() - seconds) < 1e-3;
            },
            15000);
    }

    test::ScopedTestEnv env;
    double clock = 100.0;
    VideoPlaybackService service;
};

}  // namespace

TEST_F(VideoPlaybackTest, LoadSeekAndFrameExactPictures) {
    EXPECT_FALSE(service.currentFrame().has_value());
    service.seek(30);  // nothing known yet: the request itself
    EXPECT_EQ(service.currentTime(), 30);

    const QString clip = QString::fromStdString(boxClip());
    service.load(clip);
    EXPECT_EQ(service.loadedURL(), clip);
    EXPECT_FALSE(service.isPlaying());
    EXPECT_EQ(service.currentTime(), 0);
    ASSERT_TRUE(test::waitUntil([&] { return service.duration() > 0; }, 15000));
    EXPECT_NEAR(service.duration(), 1.0, 0.05);

    ASSERT_TRUE(frameArrives(0.0));
    auto first = service.currentFrame();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size(), QSize(320, 64));
    EXPECT_EQ(first->format(), QImage::Format_RGB32);
    EXPECT_NEAR(boxCentreX(*first), 17, 2);
    // No new frame due: the very same pixels come back without a copy.
    EXPECT_EQ(service.currentFrame()->constBits(), first->constBits());

    service.seek(0.53);  // inside frame 13
    EXPECT_DOUBLE_EQ(service.currentTime(), 0.53);
    ASSERT_TRUE(frameArrives(0.52));
    EXPECT_NEAR(boxCentreX(*service.currentFrame()), 147, 2);

    service.seek(-5);
    EXPECT_EQ(service.currentTime(), 0);
    service.seek(1000);
    EXPECT_DOUBLE_EQ(service.currentTime(), service.duration());
    ASSERT_TRUE(frameArrives(0.96));  // the last frame

    service.unload();
    EXPECT_TRUE(service.loadedURL().isEmpty());
    EXPECT_EQ(service.duration(), 0);
    EXPECT_FALSE(service.currentFrame().has_value());
}

TEST_F(VideoPlaybackTest, PlaysWithTheClockAndStopsAtTheEnd) {
    service.load(QString::fromStdString(boxClip()));
    ASSERT_TRUE(frameArrives(0.0));
    service.togglePlayPause();
    EXPECT_TRUE(service.isPlaying());
    clock += 0.2;
    ASSERT_TRUE(frameArrives(0.2));
    EXPECT_NEAR(boxCentreX(*service.currentFrame()), 10 * 5 + 17, 2);
    service.tick();
    EXPECT_NEAR(service.currentTime(), 0.2, 1e-9);

    // Rewind while playing keeps playing from the start.
    service.rewind();
    EXPECT_TRUE(service.isPlaying());
    EXPECT_EQ(service.currentTime(), 0);
    ASSERT_TRUE(frameArrives(0.0));

    // Pause holds the clock.
    service.togglePlayPause();
    clock += 5;
    service.tick();
    EXPECT_EQ(service.currentTime(), 0);
    service.togglePlayPause();

    clock += 3.0;  // well past the end
    ASSERT_TRUE(test::waitUntil(
        [&] {
            service.currentFrame();
            service.tick();
            return !service.isPlaying();
        },
        15000));
    EXPECT_EQ(service.currentTime(), 0);
    EXPECT_FALSE(service.loadedURL().isEmpty());
    // Back at the start, paused, showing the first frame again.
    ASSERT_TRUE(frameArrives(0.0));

    service.togglePlayPause();
    clock += 0.4;
    service.stop();
    EXPECT_FALSE(service.isPlaying());
    EXPECT_EQ(service.currentTime(), 0);
    ASSERT_TRUE(frameArrives(0.0));
}

TEST_F(VideoPlaybackTest, MissingAndUndecodableFiles) {
    const QString missing = QString::fromStdString(env.root() + "/gone.mp4");
    service.load(missing);
    EXPECT_EQ(service.loadedURL(), missing);
    EXPECT_EQ(service.lastError(),
              "This video's file is missing — it may have been moved or deleted. Remove it from the library "
              "(right-click → Delete Video) and add the file again.");
    EXPECT_FALSE(service.currentFrame().has_value());
    service.togglePlayPause();
    service.tick();

    // Loading another file clears the message; a file that is no video simply shows nothing.
    const std::string junk = env.root() + "/junk.mp4";
    test::writeFile(junk, std::string(2048, 'j'));
    service.load(QString::fromStdString(junk));
    EXPECT_TRUE(service.lastError().isEmpty());
    EXPECT_FALSE(service.isPlaying());
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents();
        EXPECT_FALSE(service.currentFrame().has_value());
    }
    EXPECT_EQ(service.duration(), 0);
}

TEST_F(VideoPlaybackTest, VolumeIsStoredAndSurvivesARestart) {
    EXPECT_EQ(service.volume(), 1.0);
    service.setVolume(0.35);
    EXPECT_EQ(settings::videoPlaybackVolume(), 0.35);
    VideoPlaybackService next;
    EXPECT_EQ(next.volume(), 0.35);
    next.load(QString::fromStdString(boxClip()));
    EXPECT_EQ(next.volume(), 0.35);
}

TEST(RenderTool, RendersTheVideoFrameAtAGivenPosition) {
    test::ScopedTestEnv env;
    const std::string png = env.root() + "/at.png";
    std::string out;
    ASSERT_EQ(test::runCommand("QT_QPA_PLATFORM=offscreen '" + test::programPath("ostrela-render") + "' --video '" + boxClip() +
                                   "' --position 0.6 --effect none --set lowerThirdEnabled=false --set overlayImageEnabled=false -o '" +
                                   png + "' 2>&1",
                               &out),
              0)
        << out;
    QImage frame(QString::fromStdString(png));
    ASSERT_EQ(frame.size(), QSize(1280, 720));
    // Frame 15 has the box at x 160..176 of 320; the 320×64 clip is aspect-filled to 3600×720 and
    // centred, so the box lands at 640..820 of the output, rows 112..292.
    int first = -1, last = -1;
    for (int x = 0; x < 1280; ++x)
        if (qGray(frame.pixel(x, 200)) > 200) {
            if (first < 0) first = x;
            last = x;
        }
    EXPECT_NEAR(first, 640, 6);
    EXPECT_NEAR(last, 820, 6);
    EXPECT_LT(qGray(frame.pixel(730, 60)), 40);

    EXPECT_NE(test::runCommand("'" + test::programPath("ostrela-render") + "' --video /nonexistent.mp4 -o '" + png + "' 2>&1", &out), 0);
    EXPECT_NE(out.find("cannot read \"/nonexistent.mp4\""), std::string::npos) << out;
}

// A loaded video replaces the camera picture in what the engine publishes; unloading brings the
// camera back.
TEST(VideoPlayout, TheEnginePublishesTheVideoInsteadOfTheCamera) {
    test::ScopedTestEnv env;
    settings::setVideoEffect(VideoEffect::none);
    settings::setLowerThirdEnabled(false);
    settings::setOverlayImageEnabled(false);
    auto backend = std::make_shared<capture::SyntheticCaptureBackend>(std::vector<capture::SyntheticCameraSpec>{
        {"Webcam", "w", {{capture::kPixelFormatYUYV, 640, 360, 30}}, {}, {}}});
    CameraEngine engine(backend);
    VideoPlaybackService service;
    engine.setVideoPlayback(&service, service.frameSource());
    service.load(QString::fromStdString(boxClip()));
    service.seek(0.6);
    ASSERT_TRUE(test::waitUntil([&] {
        service.currentFrame();
        return std::abs(service.currentFrameSeconds() - 0.6) < 1e-3;
    }, 15000));
    engine.start();
    ASSERT_TRUE(test::waitUntil([&] { return engine.generation() >= 3; }, 15000)) << engine.lastError().toStdString();
    const uint8_t* buffer = openFrameBuffer(false);
    ASSERT_NE(buffer, nullptr);
    auto rgbAt = [&](int x, int y) {
        const uint8_t* p = buffer + size_t(y) * kFrameStride + size_t(x) * 4;
        return std::array<int, 3>{p[2], p[1], p[0]};
    };
    // Frame 15: the box at 160..176 of 320 lands at 640..820 after the fill; black around it.
    EXPECT_GT(rgbAt(730, 200)[0], 200);
    EXPECT_LT(rgbAt(300, 200)[0], 30);
    service.unload();
    const uint64_t g = engine.generation();
    ASSERT_TRUE(test::waitUntil([&] { return engine.generation() >= g + 3; }, 15000));
    // The camera's first bar is white, its last black.
    EXPECT_GT(rgbAt(80, 200)[1], 200);
    EXPECT_LT(rgbAt(1200, 200)[1], 30);
    engine.stop();
}
