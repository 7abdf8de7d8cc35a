// Old TV, VHS, Security Cam and Local Cable: the whole per-frame step (fit, effect, cards, crop,
// render into the mapped frame and publish) at 1280×720, as the camera engine runs it.
#include "pipeline/FrameBuffer.h"
#include "pipeline/FrameComposer.h"
#include "pipeline/Settings.h"
#include "pipeline/SettingsKeys.h"

#include <benchmark/benchmark.h>

#include <QPainter>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>
#include <vector>

using namespace ostrela;

namespace {

double p95(const std::vector<double>& v) {
    std::vector<double> s = v;
    std::sort(s.begin(), s.end());
    return s.empty() ? 0 : s[std::min(s.size() - 1, size_t(0.95 * double(s.size() - 1) + 0.5))];
}

struct RetroBenchEnv {
    QTemporaryDir dir;
    RetroBenchEnv() {
        setenv("OSTRELA_CONFIG_DIR", (dir.path() + "/config").toUtf8().constData(), 1);
        setenv("OSTRELA_CONTAINER_DIR", (dir.path() + "/container").toUtf8().constData(), 1);
        SettingsStore::resetForTesting();
    }
};

QImage cameraFrame(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, QColor(20, 40, 200));
    g.setColorAt(0.5, QColor(230, 180, 40));
    g.setColorAt(1, QColor(10, 120, 60));
    p.fillRect(img.rect(), g);
    p.setPen(QPen(Qt::white, 3));
    for (int i = 0; i < 40; ++i) p.drawLine(i * w / 40, 0, w - i * w / 40, h);
    return img;
}

// One frame per iteration; the frame time advances by 1/30 s, so the readouts blink and the
// seconds tick as they do live (their bitmaps are redrawn when their text changes).
void effectStep(benchmark::State& state, const char* effect, int w, int h) {
    static RetroBenchEnv env;
    SettingsStore* suite = SettingsStore::suite();
    uint8_t* frame = openFrameBuffer(true);
    if (!suite || !frame) {
        state.SkipWithError("no settings suite or frame buffer");
        return;
    }
    suite->set(keys::videoEffect, QString::fromUtf8(effect));
    const QImage cam = cameraFrame(w, h);
    static FrameComposer composer;  // kept across frames, as the engine keeps it
    static uint64_t generation = 0;
    static double t = 820000000.0;
    for (auto _ : state) {
        composer.render(cam, nullptr, t, frame);
        writeFrameState(++generation);
        t += 1.0 / 30;
    }
    if (composer.lastEffect() != videoEffectFromRaw(effect).value_or(VideoEffect::none)) state.SkipWithError("effect not applied");
}

void BM_FrameStep_OldTV(benchmark::State& s) { effectStep(s, "oldTV", 1280, 720); }
void BM_FrameStep_VHS(benchmark::State& s) { effectStep(s, "vhs", 1280, 720); }
void BM_FrameStep_SecurityCam(benchmark::State& s) { effectStep(s, "securityCam", 1280, 720); }
void BM_FrameStep_LocalCable(benchmark::State& s) { effectStep(s, "cableAccess", 1280, 720); }
void BM_FrameStep_OldTV_640x480(benchmark::State& s) { effectStep(s, "oldTV", 640, 480); }
void BM_FrameStep_VHS_640x480(benchmark::State& s) { effectStep(s, "vhs", 640, 480); }
void BM_FrameStep_SecurityCam_640x480(benchmark::State& s) { effectStep(s, "securityCam", 640, 480); }
void BM_FrameStep_LocalCable_640x480(benchmark::State& s) { effectStep(s, "cableAccess", 640, 480); }

}  // namespace

#define RETRO_BENCH(fn) \
    BENCHMARK(fn)->Unit(benchmark::kMillisecond)->Iterations(30)->Repetitions(10)->ReportAggregatesOnly(true) \
        ->ComputeStatistics("p95", p95)->UseRealTime()

RETRO_BENCH(BM_FrameStep_OldTV);
RETRO_BENCH(BM_FrameStep_VHS);
RETRO_BENCH(BM_FrameStep_SecurityCam);
RETRO_BENCH(BM_FrameStep_LocalCable);
RETRO_BENCH(BM_FrameStep_OldTV_640x480);
RETRO_BENCH(BM_FrameStep_VHS_640x480);
RETRO_BENCH(BM_FrameStep_SecurityCam_640x480);
RETRO_BENCH(BM_FrameStep_LocalCable_640x480);
