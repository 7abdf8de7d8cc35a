#include "pipeline/CameraEngine.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/Settings.h"
#include "pipeline/capture/SyntheticCamera.h"
#include "pipeline/capture/V4L2Backend.h"
#include "tests/support/TestEnv.h"

#include <QCoreApplication>
#include <QProcess>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>

using namespace ostrela;
using namespace ostrela::capture;
using ostrela::test::ScopedTestEnv;

namespace {

const QString kDenied =
    QStringLiteral("Camera access denied — enable it by adding yourself to the video group, then log in again");

// Counts emissions of one signal while it lives.
struct SignalCount {
    template <typename Signal>
    SignalCount(CameraEngine* e, Signal signal) {
        QObject::connect(e, signal, &context, [this] { ++n; });
    }
    int count() const { return n; }
    QObject context;
    int n = 0;
};

// Runs the event loop until `done` holds; false if it never does within a generous limit.
template <typename P>
bool waitFor(P done, int limitMs = 15000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Starts and waits for the outcome (running or an error).
void startAndSettle(CameraEngine& e) {
    SignalCount running(&e, &CameraEngine::isRunningChanged);
    SignalCount error(&e, &CameraEngine::lastErrorChanged);
    e.start();
    ASSERT_TRUE(waitFor([&] { return running.count() > 0 || error.count() > 0; }));
}

SyntheticCameraSpec cam(const QString& name, const QString& id, std::vector<CaptureFormat> formats = {{kPixelFormatYUYV, 1280, 720, 60}}) {
    SyntheticCameraSpec s;
    s.localizedName = name;
    s.uniqueID = id;
    s.formats = std::move(formats);
    return s;
}

CaptureDeviceInfo device(std::vector<CaptureFormat> formats) { return {"Cam", "id", "", std::move(formats)}; }

std::vector<QString> names(const std::vector<CaptureDeviceInfo>& list) {
    std::vector<QString> out;
    for (const auto& d : list) out.push_back(d.localizedName);
    return out;
}

}  // namespace

TEST(CameraDiscovery, LeavesOutOnlyTheExactVirtualCameraNameAndKeepsOrder) {
    auto backend = std::make_shared<SyntheticCaptureBackend>(std::vector<SyntheticCameraSpec>{
        cam("Integrated Webcam", "a"), cam("Ostrela", "v"), cam("ostrela", "b"), cam("Ostrela ", "c"),
        cam("USB Camera", "d")});
    CameraEngine e(backend);
    EXPECT_EQ(names(e.discoverPhysicalCameras()),
              (std::vector<QString>{"Integrated Webcam", "ostrela", "Ostrela ", "USB Camera"}));
}

TEST(CameraFormatChoice, NearestTo1280x720WithEarlierWinningTies) {
    auto pick = [](std::vector<CaptureFormat> f) { return CameraEngine::pickCleanFormat(device(std::move(f))); };
    auto r = pick({{kPixelFormatYUYV, 1920, 1080, 30}, {kPixelFormatYUYV, 1280, 720, 30}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->width, 1280);
    r = pick({{kPixelFormatYUYV, 960, 540, 30}, {kPixelFormatYUYV, 1280, 960, 30}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->height, 960);
    // 1280×700 and 1280×740 are both 25,600 pixels away: the first listed wins, either way round.
    r = pick({{kPixelFormatYUYV, 1280, 700, 30}, {kPixelFormatYUYV, 1280, 740, 30}});
    EXPECT_EQ(r->height, 700);
    r = pick({{kPixelFormatYUYV, 1280, 740, 30}, {kPixelFormatYUYV, 1280, 700, 30}});
    EXPECT_EQ(r->height, 740);
    r = pick({{kPixelFormatYUYV, 1280, 720, 10}, {kPixelFormatMJPEG, 1280, 720, 30}});
    EXPECT_EQ(r->pixelFormat, kPixelFormatYUYV);
    // Formats with a platform effect are never chosen; when all have one there is no choice.
    CaptureFormat effect{kPixelFormatYUYV, 1280, 720, 30};
    effect.supportsStudioLight = true;
    r = pick({effect, {kPixelFormatYUYV, 640, 480, 30}});
    EXPECT_EQ(r->width, 640);
    CaptureFormat portrait = effect;
    portrait.supportsStudioLight = false;
    portrait.supportsPortraitEffect = true;
    CaptureFormat reactions = effect;
    reactions.supportsStudioLight = false;
    reactions.supportsReactionEffects = true;
    CaptureFormat background = effect;
    background.supportsStudioLight = false;
    background.supportsBackgroundReplacement = true;
    EXPECT_FALSE(pick({effect, portrait, reactions, background}));
    EXPECT_FALSE(pick({}));
}

TEST(CameraFailures, EveryMessageExactly) {
    ScopedTestEnv env;
    auto backend = std::make_shared<SyntheticCaptureBackend>();
    CameraEngine e(backend);

    backend->setAuthorization(CaptureAuthorization::restricted);
    startAndSettle(e);
    EXPECT_EQ(e.lastError(), kDenied);
    EXPECT_FALSE(e.isRunning());

    backend->setAuthorization(CaptureAuthorization::notDetermined);
    backend->setAccessAnswer(false);
    startAndSettle(e);
    EXPECT_EQ(e.lastError(), QStringLiteral("Camera access was not granted"));

    backend->setAuthorization(CaptureAuthorization::denied);
    startAndSettle(e);
    EXPECT_EQ(e.lastError(), kDenied);

    backend->setAuthorization(CaptureAuthorization::authorized);
    backend->setCameras({cam("Ostrela", "virtual")});
    startAndSettle(e);
    EXPECT_EQ(e.lastError(), QStringLiteral("No physical camera device available (only found: Ostrela)"));

    backend->setCameras({cam("Ostrela", "virtual"), cam("Ostrela", "virtual2")});
    startAndSettle(e);
    EXPECT_EQ(e.lastError(), QStringLiteral("No physical camera device available (only found: Ostrela, Ostrela)"));

    backend->setCameras({});
    startAndSettle(e);
    EXPECT_EQ(e.lastError(), QStringLiteral("No physical camera device available (only found: )"));

    auto busy = cam("Webcam", "w");
    busy.openError = QStringLiteral("Device or resource busy");
    backend->setCameras({busy});
    startAndSettle(e);
    EXPECT_EQ(e.lastError(), QStringLiteral("Camera permission denied or unavailable: Device or resource busy"));
    EXPECT_FALSE(e.isRunning());
    EXPECT_EQ(e.generation(), 0u);
    EXPECT_FALSE(e.isBroadcastTimerActive());

    // The message stays until a start succeeds, then clears.
    backend->setCameras({cam("Webcam", "w")});
    startAndSettle(e);
    EXPECT_TRUE(e.isRunning());
    EXPECT_TRUE(e.lastError().isNull());
    e.stop();
}

TEST(CameraFailures, PermissionGrantedNowStartsCapture) {
    ScopedTestEnv env;
    auto backend = std::make_shared<SyntheticCaptureBackend>();
    backend->setAuthorization(CaptureAuthorization::notDetermined);
    backend->setAccessAnswer(true);
    CameraEngine e(backend);
    startAndSettle(e);
    EXPECT_TRUE(e.isRunning());
    EXPECT_TRUE(e.lastError().isNull());
}

TEST(CameraFailures, MissingContainerFailsWithoutStartingOrCreatingFiles) {
    ScopedTestEnv env;
    // A container path below a regular file can never be created.
    ostrela::test::writeFile(env.root() + "/blocker", "x");
    setenv("OSTRELA_CONTAINER_DIR", (env.root() + "/blocker/container").c_str(), 1);
    auto backend = std::make_shared<SyntheticCaptureBackend>();
    CameraEngine e(backend);
    startAndSettle(e);
    EXPECT_EQ(e.lastError(), QStringLiteral("Could not open the shared frame buffer"));
    EXPECT_FALSE(e.isRunning());
    EXPECT_EQ(backend->runningStreams(), 0);
    struct stat st {};
    EXPECT_NE(::stat((env.root() + "/blocker/container/frame.raw").c_str(), &st), 0);
    EXPECT_NE(::stat((env.containerDir() + "/frame.raw").c_str(), &st), 0);
    EXPECT_NE(::stat((env.containerDir() + "/frame_state.bin").c_str(), &st), 0);
}

TEST(CameraSelection, SelectedIdWinsAndUnpluggedFallsBackSilently) {
    ScopedTestEnv env;
    auto backend = std::make_shared<SyntheticCaptureBackend>(std::vector<SyntheticCameraSpec>{
        cam("Ostrela", "virtual"), cam("First", "first"),
        cam("Second", "second", {{kPixelFormatYUYV, 640, 480, 30}, {kPixelFormatMJPEG, 1280, 960, 30},
                                 {kPixelFormatMJPEG, 1920, 1080, 30}})});
    CameraEngine e(backend);
    settings::setSelectedCameraUniqueID("second");
    startAndSettle(e);
    EXPECT_TRUE(e.isRunning());
    EXPECT_EQ(backend->lastOpenedID(), "second");
    ASSERT_TRUE(backend->lastActiveFormat());
    EXPECT_EQ(backend->lastActiveFormat()->height, 960);

    // Starting again replaces the input: one stream runs, on the newly chosen camera.
    settings::setSelectedCameraUniqueID("unplugged-camera");
    e.start();
    ASSERT_TRUE(waitFor([&] { return backend->lastOpenedID() == "first"; }));
    EXPECT_TRUE(e.lastError().isNull());
    EXPECT_EQ(backend->runningStreams(), 1);
    e.stop();
    EXPECT_FALSE(e.isRunning());
    ASSERT_TRUE(waitFor([&] { return backend->runningStreams() == 0; }));
}

TEST(CameraEngineFrames, GenerationContinuesAcrossStopAndStartWithoutReopening) {
    ScopedTestEnv env;
    auto backend = std::make_shared<SyntheticCaptureBackend>(
        std::vector<SyntheticCameraSpec>{cam("Webcam", "w", {{kPixelFormatYUYV, 320, 240, 120}})});
    CameraEngine e(backend);
    std::vector<quint64> published;
    QObject::connect(&e, &CameraEngine::framePublished, [&](quint64 g) { published.push_back(g); });
    const double before = wallClockSeconds();

    startAndSettle(e);
    ASSERT_TRUE(waitFor([&] { return e.generation() >= 3; }));
    e.stop();
    ASSERT_TRUE(waitFor([&] { return backend->runningStreams() == 0; }));
    // Frames already handed over still publish; let them drain.
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const uint64_t afterFirstRun = e.generation();

    std::string state = ostrela::test::readFile(env.containerDir() + "/frame_state.bin");
    ASSERT_EQ(state.size(), 16u);
    FrameState fs = decodeFrameState(reinterpret_cast<const uint8_t*>(state.data()));
    EXPECT_EQ(fs.generation, afterFirstRun);
    // Little-endian u64 in the first 8 bytes.
    EXPECT_EQ(uint8_t(state[0]), uint8_t(afterFirstRun & 0xFF));
    EXPECT_EQ(state[7], 0);
    EXPECT_GE(fs.timestamp, before - 1);
    EXPECT_LE(fs.timestamp, wallClockSeconds() + 1);

    // Restarting does not reopen the file: the same one stays mapped.
    const std::string framePath = env.containerDir() + "/frame.raw";
    struct stat st {};
    ASSERT_EQ(::stat(framePath.c_str(), &st), 0);
    const ino_t inode = st.st_ino;
    startAndSettle(e);
    ASSERT_TRUE(waitFor([&] { return e.generation() >= afterFirstRun + 3; }));
    ASSERT_EQ(::stat(framePath.c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, inode);

    // Removed or cut short while running: the next frame puts it back whole instead of publishing
    // into a file nobody can open again (or faulting on one that shrank).
    ASSERT_EQ(::unlink(framePath.c_str()), 0);
    const uint64_t removedAt = e.generation();
    ASSERT_TRUE(waitFor([&] { return e.generation() >= removedAt + 2; }));
    ASSERT_EQ(::stat(framePath.c_str(), &st), 0);
    EXPECT_EQ(size_t(st.st_size), kFrameBytes);
    ASSERT_EQ(::truncate(framePath.c_str(), 100), 0);
    const uint64_t cutAt = e.generation();
    ASSERT_TRUE(waitFor([&] { return e.generation() >= cutAt + 3; }));
    ASSERT_EQ(::stat(framePath.c_str(), &st), 0);
    EXPECT_EQ(size_t(st.st_size), kFrameBytes);
    const std::string pixels = ostrela::test::readFile(framePath);
    ASSERT_EQ(pixels.size(), kFrameBytes);
    EXPECT_EQ(uint8_t(pixels[kFrameBytes - 1]), 255) << "a whole opaque frame landed in it again";
    e.stop();
    ASSERT_TRUE(waitFor([&] { return backend->runningStreams() == 0; }));
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);

    ASSERT_FALSE(published.empty());
    for (size_t i = 0; i < published.size(); ++i) ASSERT_EQ(published[i], i + 1) << "generations run 1, 2, 3, …";
    auto last = readFrameState();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->generation, e.generation());
    EXPECT_GT(last->generation, afterFirstRun);
}

namespace {

struct Sampled { int r, g, b, a; };
Sampled sample(const uint8_t* frame, int x, int y) {
    const uint8_t* p = frame + size_t(y) * kFrameStride + size_t(x) * 4;
    return {p[2], p[1], p[0], p[3]};
}

// Checks the test pattern's bars in a published frame and returns the white square's extent
// in row `squareRow`.
std::pair<int, int> checkPattern(const uint8_t* frame, int barsRow, int squareRow, int tol) {
    for (int i = 0; i < 8; ++i) {
        Sampled s = sample(frame, i * 160 + 80, barsRow);
        EXPECT_NEAR(s.r, kTestPatternBars[i].r, tol) << "bar " << i;
        EXPECT_NEAR(s.g, kTestPatternBars[i].g, tol) << "bar " << i;
        EXPECT_NEAR(s.b, kTestPatternBars[i].b, tol) << "bar " << i;
        EXPECT_EQ(s.a, 255);
    }
    int first = -1, last = -1;
    for (int x = 0; x < kFrameWidth; ++x)
        if (sample(frame, x, squareRow).g > 128) {
            if (first < 0) first = x;
            last = x;
        }
    return {first, last};
}

void runPatternThroughEngine(const CaptureFormat& format, int barsRow, int squareRow, int squareWidth, int tol) {
    ScopedTestEnv env;
    auto backend = std::make_shared<SyntheticCaptureBackend>(std::vector<SyntheticCameraSpec>{cam("Webcam", "w", {format})});
    CameraEngine e(backend);
    // Capture what lands in "frame.raw" right after each publish, through its own mapping.
    std::vector<std::pair<int, int>> squares;
    QObject::connect(&e, &CameraEngine::framePublished, [&](quint64) {
        const uint8_t* reader = openFrameBuffer(false);
        ASSERT_NE(reader, nullptr);
        squares.push_back(checkPattern(reader, barsRow, squareRow, tol));
    });
    startAndSettle(e);
    ASSERT_TRUE(e.isRunning()) << e.lastError().toStdString();
    ASSERT_TRUE(waitFor([&] { return squares.size() >= 4; }));
    e.stop();
    bool moved = false;
    for (auto [first, last] : squares) {
        ASSERT_GE(first, 0);
        EXPECT_NEAR(last - first + 1, squareWidth, 4);
        moved |= first != squares.front().first;
    }
    EXPECT_TRUE(moved) << "the pattern moves from frame to frame";
}

}  // namespace

TEST(CameraEngineFrames, SyntheticYuyvCameraReachesTheFrameFile) {
    // 1280×720: bars in rows 0..539, the 180-pixel square in rows 540..719.
    runPatternThroughEngine({kPixelFormatYUYV, 1280, 720, 60}, 270, 600, 180, 6);
}

TEST(CameraEngineFrames, SyntheticMjpegAt4x3IsFittedByFill) {
    // 640×480 scaled by 2 and cropped by 120 rows: bars in output rows 0..599, square 240 wide.
    runPatternThroughEngine({kPixelFormatMJPEG, 640, 480, 60}, 300, 660, 240, 12);
}

TEST(CameraEngineFrames, SyntheticNv12At1080pIsScaledDown) {
    runPatternThroughEngine({kPixelFormatNV12, 1920, 1080, 60}, 270, 600, 180, 8);
}

TEST(CameraEngineFrames, VideoFramesReplaceTheCameraAndMonitorCountsFrames) {
    ScopedTestEnv env;
    auto backend = std::make_shared<SyntheticCaptureBackend>(
        std::vector<SyntheticCameraSpec>{cam("Webcam", "w", {{kPixelFormatYUYV, 320, 180, 120}})});
    CameraEngine e(backend);
    auto player = std::make_unique<QObject>();
    QImage video(1280, 720, QImage::Format_ARGB32_Premultiplied);
    video.fill(QColor(200, 20, 40));
    e.setVideoPlayback(player.get(), [&] { return video; });
    QObject monitor;
    int counted = 0;
    e.setPerformanceMonitor(&monitor, [&] { ++counted; });
    std::vector<double> times;
    std::vector<bool> hadVideo;
    e.setFrameRenderer([&](const QImage& camera, const QImage* v, double t, uint8_t* dst) {
        times.push_back(t);
        hadVideo.push_back(v != nullptr);
        CameraEngine::renderFittedFrame(camera, v, t, dst);
    });
    startAndSettle(e);
    ASSERT_TRUE(waitFor([&] { return e.generation() >= 2; }));
    Sampled s = sample(openFrameBuffer(false), 640, 360);
    EXPECT_EQ(s.r, 200);
    EXPECT_EQ(s.g, 20);
    EXPECT_EQ(s.b, 40);

    // Once the player is gone the camera is shown again.
    player.reset();
    const uint64_t g = e.generation();
    ASSERT_TRUE(waitFor([&] { return e.generation() >= g + 2; }));
    e.stop();
    ASSERT_TRUE(waitFor([&] { return backend->runningStreams() == 0; }));
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_FALSE(hadVideo.back());
    Sampled cameraPixel = sample(openFrameBuffer(false), 80, 100);  // first bar: white
    EXPECT_GT(cameraPixel.r, 240);
    EXPECT_GT(cameraPixel.b, 240);
    EXPECT_EQ(uint64_t(counted), e.generation());

    // The frame time counts from 2001-01-01 00:00:00 UTC.
    const QDateTime reference(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    const double expected = double(reference.msecsTo(QDateTime::currentDateTimeUtc())) / 1000.0;
    ASSERT_FALSE(times.empty());
    EXPECT_NEAR(times.back(), expected, 30.0);
    for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i], times[i - 1]);
}

TEST(BroadcastClock, TicksFromTheFirstStartAndResetsOnStop) {
    ScopedTestEnv env;
    auto backend = std::make_shared<SyntheticCaptureBackend>(
        std::vector<SyntheticCameraSpec>{cam("Webcam", "w", {{kPixelFormatYUYV, 160, 120, 5}})});
    CameraEngine e(backend);
    QDateTime fake = QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);
    e.setClockForTesting([&] { return fake; });

    e.tickBroadcastClock();  // no start date: nothing happens
    EXPECT_EQ(e.broadcastElapsedSeconds(), 0);

    startAndSettle(e);
    ASSERT_TRUE(e.isRunning());
    EXPECT_TRUE(e.isBroadcastTimerActive());
    ASSERT_TRUE(e.broadcastStartDate());
    EXPECT_EQ(*e.broadcastStartDate(), fake);
    const QDateTime firstStart = fake;

    fake = fake.addMSecs(65'900);
    e.tickBroadcastClock();
    EXPECT_EQ(e.broadcastElapsedSeconds(), 65);  // truncated
    EXPECT_EQ(e.broadcastClockText(), "1:05");

    // A second start keeps the first start time.
    e.start();
    ASSERT_TRUE(waitFor([&] { return backend->openCount() == 2; }));
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_EQ(*e.broadcastStartDate(), firstStart);
    fake = fake.addSecs(3600);
    e.tickBroadcastClock();
    EXPECT_EQ(e.broadcastElapsedSeconds(), 3665);
    EXPECT_EQ(e.broadcastClockText(), "1:01:05");

    SignalCount elapsed(&e, &CameraEngine::broadcastElapsedSecondsChanged);
    e.stop();
    EXPECT_FALSE(e.isRunning());
    EXPECT_EQ(e.broadcastElapsedSeconds(), 0);
    EXPECT_EQ(elapsed.count(), 1);
    EXPECT_FALSE(e.broadcastStartDate());
    EXPECT_FALSE(e.isBroadcastTimerActive());
    e.tickBroadcastClock();
    EXPECT_EQ(e.broadcastElapsedSeconds(), 0);
}

TEST(BroadcastClock, StopBeforeTheStartCompletesStaysStopped) {
    ScopedTestEnv env;
    auto backend = std::make_shared<SyntheticCaptureBackend>();
    CameraEngine e(backend);
    e.start();
    e.stop();
    ASSERT_TRUE(waitFor([&] { return backend->openCount() == 1 && backend->runningStreams() == 0; }));
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_FALSE(e.isRunning());
    EXPECT_FALSE(e.isBroadcastTimerActive());
}

TEST(BroadcastClock, FormatterTexts) {
    EXPECT_EQ(CameraEngine::formatBroadcastClock(0), "0:00");
    EXPECT_EQ(CameraEngine::formatBroadcastClock(9), "0:09");
    EXPECT_EQ(CameraEngine::formatBroadcastClock(75), "1:15");
    EXPECT_EQ(CameraEngine::formatBroadcastClock(600), "10:00");
    EXPECT_EQ(CameraEngine::formatBroadcastClock(3599), "59:59");
    EXPECT_EQ(CameraEngine::formatBroadcastClock(3600), "1:00:00");
    EXPECT_EQ(CameraEngine::formatBroadcastClock(3725), "1:02:05");
    EXPECT_EQ(CameraEngine::formatBroadcastClock(36000 + 59), "10:00:59");
    EXPECT_EQ(CameraEngine::formatBroadcastClock(-5), "0:00");
}

TEST(CameraEngineFrames, ASlowFrameStepSeesOnlyTheNewestFrameNeverABacklog) {
    ScopedTestEnv env;
    auto backend = std::make_shared<SyntheticCaptureBackend>(
        std::vector<SyntheticCameraSpec>{cam("Webcam", "w", {{kPixelFormatYUYV, 320, 240, 500}})});
    CameraEngine e(backend);
    std::vector<int> squareX;
    e.setFrameRenderer([&](const QImage& camera, const QImage* v, double t, uint8_t* dst) {
        // Where the moving square is tells which camera frame this was.
        for (int x = 0; x < camera.width(); ++x)
            if (qGreen(camera.pixel(x, 200)) > 128) {
                squareX.push_back(x);
                break;
            }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        CameraEngine::renderFittedFrame(camera, v, t, dst);
    });
    startAndSettle(e);
    ASSERT_TRUE(waitFor([&] { return e.generation() >= 5; }));
    e.stop();
    ASSERT_TRUE(waitFor([&] { return backend->runningStreams() == 0; }));
    const uint64_t atStop = e.generation();
    for (int i = 0; i < 40; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    // At most the one frame waiting in the hand-over slot is still published.
    EXPECT_LE(e.generation(), atStop + 1);
    // The camera ran far ahead of the slow step, so consecutive published frames skip frames.
    ASSERT_GE(squareX.size(), 3u);
    int skipped = 0;
    for (size_t i = 1; i < squareX.size(); ++i)
        if (std::abs(squareX[i] - squareX[i - 1]) > 8) ++skipped;
    EXPECT_GT(skipped, 0);
}

TEST(CameraFailures, V4L2WithoutAnyDeviceReportsAnEmptyList) {
    ScopedTestEnv env;
    // An empty device directory stands in for a machine without cameras.
    auto backend = std::make_shared<V4L2Backend>(env.root(), env.root() + "/sys");
    CameraEngine e(backend);
    EXPECT_TRUE(e.discoverPhysicalCameras().empty());
    startAndSettle(e);
    EXPECT_EQ(e.lastError(), QStringLiteral("No physical camera device available (only found: )"));
    EXPECT_FALSE(e.isRunning());
}

// The whole path a call app sees: synthetic camera → capture conversion → engine with its own
// composed renderer → "frame.raw" → the camera program → a Y4M stream decoded by ffmpeg.
TEST(CameraEngineEndToEnd, CameraFramesReachTheCameraProgramThroughTheComposer) {
    if (test::runCommand("command -v ffmpeg >/dev/null") != 0) GTEST_SKIP() << "ffmpeg is not installed";
    ScopedTestEnv env;
    settings::setVideoEffect(VideoEffect::none);
    settings::setLowerThirdEnabled(false);
    auto backend = std::make_shared<SyntheticCaptureBackend>(
        std::vector<SyntheticCameraSpec>{cam("Webcam", "w", {{kPixelFormatYUYV, 640, 480, 30}})});
    CameraEngine e(backend);
    startAndSettle(e);
    ASSERT_TRUE(e.isRunning()) << e.lastError().toStdString();
    ASSERT_TRUE(waitFor([&] { return e.generation() >= 3; }));

    const std::string out = env.root() + "/engine.y4m";
    QProcess camera;
    QProcessEnvironment penv = QProcessEnvironment::systemEnvironment();
    penv.insert("OSTRELA_CONTAINER_DIR", QString::fromStdString(env.containerDir()));
    camera.setProcessEnvironment(penv);
    camera.start(QString::fromStdString(test::programPath("ostrela-camera")),
                 {"--y4m", QString::fromStdString(out), "--frames", "10"});
    ASSERT_TRUE(camera.waitForStarted());
    // The engine publishes on this thread, so keep the event loop turning while the program reads.
    ASSERT_TRUE(waitFor([&] { return camera.state() == QProcess::NotRunning; }, 30000));
    EXPECT_EQ(camera.exitCode(), 0) << camera.readAllStandardError().toStdString();
    e.stop();

    std::string rgb;
    ASSERT_EQ(test::runCommand("ffmpeg -v error -i '" + out + "' -vf select='eq(n\\,9)' -frames:v 1 -f rawvideo -pix_fmt rgb24 -", &rgb), 0);
    ASSERT_EQ(rgb.size(), size_t(1280) * 720 * 3);
    // 640×480 is aspect-filled to 1280×960 and centred, so the eight bars span the full width
    // and reach down to row 600; below them the pattern is black.
    for (int bar = 0; bar < 8; ++bar) {
        const size_t at = (size_t(300) * 1280 + size_t(80 + 160 * bar)) * 3;
        const PatternColor& c = kTestPatternBars[bar];
        EXPECT_NEAR(uint8_t(rgb[at]), c.r, 14) << "bar " << bar;
        EXPECT_NEAR(uint8_t(rgb[at + 1]), c.g, 14) << "bar " << bar;
        EXPECT_NEAR(uint8_t(rgb[at + 2]), c.b, 14) << "bar " << bar;
    }
    const size_t below = (size_t(700) * 1280 + 20) * 3;
    EXPECT_LE(uint8_t(rgb[below]), 20);
}
