// The main window's live preview against the published feed: how many of the published frames the
// preview shows, and what the whole process spends on processor time, with the preview on screen
// and with the window hidden (no preview work at all). Each run publishes from the synthetic
// camera (30 fps) for a few seconds while the event loop runs as in the program.
//
// Counters: published_fps, preview_fps (scaled frames that reached the widget), paints_per_s
// (paint events of the preview widget) and cpu_percent (user + system time of the process over
// wall time, 100 = one core).
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
#include <QEventLoop>
#include <QTimer>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdlib>
#include <memory>

using namespace ostrela;

namespace {

struct PreviewBenchEnv {
    QTemporaryDir dir;
    PreviewBenchEnv() {
        setenv("OSTRELA_CONFIG_DIR", (dir.path() + "/pconfig").toUtf8().constData(), 1);
        setenv("OSTRELA_DATA_DIR", (dir.path() + "/pdata").toUtf8().constData(), 1);
        setenv("OSTRELA_CONTAINER_DIR", (dir.path() + "/pcontainer").toUtf8().constData(), 1);
        SettingsStore::resetForTesting();
        settings::setHasSeenOnboarding(true);
        settings::setHasAttemptedInitialActivation(true);
        settings::setLowerThirdEnabled(true);
        settings::setLowerThirdText(QStringLiteral("Live from the kitchen table"));
    }
};

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++paints;
        return false;
    }
};

// Runs the event loop as the program does: sleeping until something happens.
void pump(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// state.range(0): 1 with the preview on screen, 0 with the window hidden; state.range(1): 1 with
// the Snow effect, whose preview particles the window draws over the frames.
void BM_PreviewFollowsTheFeed(benchmark::State& state) {
    static PreviewBenchEnv env;
    const bool shown = state.range(0) != 0;
    settings::setVideoEffect(state.range(1) ? VideoEffect::snow : VideoEffect::none);
    OstrelaApp::Options o;
    o.extensionPlatform = std::make_shared<ScriptedExtensionPlatform>();
    o.captureBackend = std::make_shared<capture::SyntheticCaptureBackend>();
    o.startUpdater = false;
    OstrelaApp app(o);
    MainWindow window(&app);
    window.resize(1180, 820);
    window.show();
    QCoreApplication::processEvents();
    PaintCounter counter;
    window.preview()->installEventFilter(&counter);
    CameraEngine* engine = window.model()->cameraEngine();
    PreviewSource* source = window.preview()->source();
    int images = 0;
    QObject::connect(source, &PreviewSource::imageChanged, [&] { ++images; });
    engine->start();
    QDeadlineTimer guard(20000);
    while (!engine->isRunning() && !guard.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!engine->isRunning()) {
        state.SkipWithError("camera did not start");
        return;
    }
    if (!shown) window.hide();
    pump(1000);  // settle

    double published = 0, previewed = 0, paints = 0, cpu = 0, wall = 0;
    for (auto _ : state) {
        const uint64_t g0 = engine->generation();
        const int i0 = images, p0 = counter.paints;
        const double c0 = cpuSeconds();
        QElapsedTimer clock;
        clock.start();
        pump(4000);
        const double seconds = double(clock.nsecsElapsed()) * 1e-9;
        state.SetIterationTime(seconds);
        published += double(engine->generation() - g0);
        previewed += images - i0;
        paints += counter.paints - p0;
        cpu += cpuSeconds() - c0;
        wall += seconds;
    }
    state.counters["published_fps"] = published / wall;
    state.counters["preview_fps"] = previewed / wall;
    state.counters["paints_per_s"] = paints / wall;
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
    state.counters["preview_width"] = source->targetSize().width();
    engine->stop();
    pump(200);
}

}  // namespace

BENCHMARK(BM_PreviewFollowsTheFeed)->Args({1, 0})->Args({0, 0})->Args({1, 1})->Args({0, 1})->UseManualTime()->Unit(benchmark::kSecond)->Iterations(2);
