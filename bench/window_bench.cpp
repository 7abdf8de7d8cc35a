// The outgoing feed's per-frame step with the main window open versus closed. The synthetic
// camera delivers 1280×720 frames at 30 fps; each benchmark iteration is one published frame, timed
// from the start of its composite to the end of everything the main thread does on publication
// (with the window open that includes the preview's copy of the frame). Between frames the event
// loop runs as in the program, so the window's painting competes with the feed for the main thread.
#include "ui/Application.h"
#include "extension/ScriptedExtensionPlatform.h"
#include "pipeline/CameraEngine.h"
#include "pipeline/Settings.h"
#include "pipeline/capture/SyntheticCamera.h"
#include "ui/ContentViewModel.h"
#include "ui/MainWindow.h"
#include "ui/PreviewSource.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

using namespace ostrela;

namespace {

struct WindowBenchEnv {
    QTemporaryDir dir;
    WindowBenchEnv() {
        setenv("OSTRELA_CONFIG_DIR", (dir.path() + "/wconfig").toUtf8().constData(), 1);
        setenv("OSTRELA_DATA_DIR", (dir.path() + "/wdata").toUtf8().constData(), 1);
        setenv("OSTRELA_CONTAINER_DIR", (dir.path() + "/wcontainer").toUtf8().constData(), 1);
        SettingsStore::resetForTesting();
        settings::setHasSeenOnboarding(true);
        settings::setHasAttemptedInitialActivation(true);
        // An effect with preview particles, the bar and its text: the window has the most to draw.
        settings::setVideoEffect(VideoEffect::snow);
        settings::setLowerThirdEnabled(true);
        settings::setLowerThirdText(QStringLiteral("Live from the kitchen table"));
    }
};

double p95(const std::vector<double>& v) {
    std::vector<double> s = v;
    std::sort(s.begin(), s.end());
    return s.empty() ? 0 : s[std::min(s.size() - 1, size_t(0.95 * double(s.size() - 1) + 0.5))];
}

// Times each published frame of `engine` while the event loop runs.
void runFeed(benchmark::State& state, CameraEngine& engine, std::function<void()> afterFrame = {}) {
    QElapsedTimer clock;
    clock.start();
    qint64 frameStart = -1;
    double lastStep = -1;
    engine.setFrameRenderer([inner = CameraEngine::composedFrameRenderer(), &frameStart, &clock](
                                const QImage& cam, const QImage* video, double t, uint8_t* dst) {
        frameStart = clock.nsecsElapsed();
        inner(cam, video, t, dst);
    });
    // Connected after the window's own handlers, so it ends after them.
    auto conn = QObject::connect(&engine, &CameraEngine::framePublished, [&] {
        if (frameStart >= 0) lastStep = double(clock.nsecsElapsed() - frameStart) * 1e-9;
    });
    engine.start();
    QDeadlineTimer guard(20000);
    while (!engine.isRunning() && !guard.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!engine.isRunning()) {
        state.SkipWithError("camera did not start");
        return;
    }
    // Settle: the first frames warm caches.
    for (int warm = 0; warm < 10;) {
        lastStep = -1;
        while (lastStep < 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        ++warm;
    }
    const qint64 t0 = clock.nsecsElapsed();
    const uint64_t g0 = engine.generation();
    std::vector<double> steps;
    for (auto _ : state) {
        lastStep = -1;
        while (lastStep < 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        state.SetIterationTime(lastStep);
        steps.push_back(lastStep * 1e3);
        if (afterFrame) afterFrame();
    }
    const double seconds = double(clock.nsecsElapsed() - t0) * 1e-9;
    state.counters["published_fps"] = double(engine.generation() - g0) / seconds;
    // Per-frame spread within this run (milliseconds).
    std::vector<double> sorted = steps;
    std::sort(sorted.begin(), sorted.end());
    if (!sorted.empty()) {
        state.counters["frame_median_ms"] = sorted[sorted.size() / 2];
        state.counters["frame_p95_ms"] = p95(steps);
    }
    engine.stop();
    QObject::disconnect(conn);
    engine.setFrameRenderer(nullptr);
}

void BM_FeedFrameStep_WindowClosed(benchmark::State& state) {
    static WindowBenchEnv env;
    CameraEngine engine(std::make_shared<capture::SyntheticCaptureBackend>());
    runFeed(state, engine);
}

void BM_FeedFrameStep_WindowOpen(benchmark::State& state) {
    static WindowBenchEnv env;
    OstrelaApp::Options o;
    o.extensionPlatform = std::make_shared<ScriptedExtensionPlatform>();
    o.captureBackend = std::make_shared<capture::SyntheticCaptureBackend>();
    o.startUpdater = false;
    OstrelaApp app(o);
    MainWindow window(&app);
    window.resize(1180, 820);
    window.show();
    QCoreApplication::processEvents();
    PreviewSource* preview = window.preview()->source();
    const uint64_t taken0 = preview->framesTaken();
    runFeed(state, *window.model()->cameraEngine());
    state.counters["preview_frames"] = double(preview->framesTaken() - taken0);
}

}  // namespace

BENCHMARK(BM_FeedFrameStep_WindowClosed)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(150)
    ->Repetitions(5)->ReportAggregatesOnly(true)->ComputeStatistics("p95", p95);
BENCHMARK(BM_FeedFrameStep_WindowOpen)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(150)
    ->Repetitions(5)->ReportAggregatesOnly(true)->ComputeStatistics("p95", p95);
